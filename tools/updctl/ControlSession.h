// Runs one operator command on an update server through the update client
// library's control session and collects the lines the server echoes.
#pragma once

#include <string>
#include <vector>

struct ControlTarget
{
    std::string host;
    unsigned port = 25859;
    std::string login; // empty: no login
    std::string password;
    std::string tlsCa;              // empty: the session stays in clear
    unsigned deadlineSeconds = 600; // for the whole command, connection included
};

// Parses HOST or HOST:PORT into target; false when malformed.
bool parseServer(const std::string& text, ControlTarget& target);

// The job's status (1 is done); echoes gets the server's lines. A command
// that outlives the deadline is stopped and reported as status 15.
int runControlCommand(const ControlTarget& target, const std::string& text, std::vector<std::string>& echoes);
