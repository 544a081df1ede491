// An update server for the session fuzzer: a temporary content folder with one
// file and one launcher file, the log silent, the peer's early close harmless.
#pragma once

#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>

#include "newupdatesystem/Common/LogControl.h"
#include "tools/updserver/UpdServer.h"

struct FuzzServer
{
    std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("upd-fuzz-session-" + std::to_string(getpid()));
    std::unique_ptr<CUpdServer> server;

    FuzzServer()
    {
        logStop();
        logSetConsoleStream(nullptr);
        std::signal(SIGPIPE, SIG_IGN);
        std::filesystem::create_directories(folder / "content/data");
        std::filesystem::create_directories(folder / "self");
        std::ofstream(folder / "content/data/a.txt") << "alpha";
        std::ofstream(folder / "self/Zelvan") << "launcher";
        ServerOptions o;
        o.root = folder / "content";
        o.selfUpdateDir = folder / "self";
        o.port = 0;
        o.ioTimeoutSeconds = 1; // the input ends with the peer's close; nothing waits long
        server = std::make_unique<CUpdServer>(o);
        server->start();
    }
    ~FuzzServer()
    {
        server.reset();
        std::filesystem::remove_all(folder);
    }
};
