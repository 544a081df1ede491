// Who may change the served tree and run operators' commands. Closed by
// default: changes and commands need a login with an account of the users
// file, unless the operator allowed anonymous changes in so many words.
// Reading the published files never needs a login.
#pragma once

#include <string>

class CAccessPolicy
{
public:
    enum Anonymous
    {
        CHANGES_NEED_LOGIN,
        ANONYMOUS_CHANGES_ALLOWED,
    };

    CAccessPolicy(bool haveUsers, Anonymous anonymous) : m_haveUsers(haveUsers), m_anonymous(anonymous) {}

    // Entering modification mode, a change and a command. loggedIn is true
    // only after a login checked against an account.
    bool mayChange(bool loggedIn) const
    {
        return m_anonymous == ANONYMOUS_CHANGES_ALLOWED || (m_haveUsers && loggedIn);
    }

    // True for 127.0.0.0/8 and "localhost": only this machine can connect.
    static bool isLoopback(const std::string& bindAddress);

    // The warning for the log when strangers could reach the server and what
    // they could do there; empty when there is nothing to warn about.
    std::string exposureWarning(const std::string& bindAddress) const;

private:
    bool m_haveUsers;
    Anonymous m_anonymous;
};
