// The stand-in game of the Windows tests (tests/support/GameStandIn.cpp):
// where it is and what it recorded.
#pragma once

#include "platform/ExecutablePath.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

// Built beside the test programs.
inline std::filesystem::path standInProgram()
{
    std::string self;
    if (!platform::executablePath(self, 4096))
        return {};
    return std::filesystem::path(self).parent_path() / "game_standin.exe";
}

inline std::string readWholeFile(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The command lines the stand-ins started in the current folder have recorded.
inline std::string standInLog()
{
    return readWholeFile("standin.log");
}

inline size_t standInStarts()
{
    std::string log = standInLog();
    return size_t(std::count(log.begin(), log.end(), '\n'));
}
