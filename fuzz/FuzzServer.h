// An update server for the session fuzzer: a temporary content folder with one
// file and one launcher file, the log silent, the peer's early close harmless.
// Inputs may change the content (modification mode); restore() puts it back so
// that every input meets the same server, and traps when anything was written
// beside the content folder.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "newupdatesystem/Common/LogControl.h"
#include "platform/Process.h"
#include "platform/Signals.h"
#include "tools/updserver/UpdServer.h"

struct FuzzServer
{
    std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                   ("upd-fuzz-session-" + std::to_string(platform::currentProcessId()));
    std::unique_ptr<CUpdServer> server;
    std::string pristine;

    FuzzServer()
    {
        logStop();
        logSetConsoleStream(nullptr);
        platform::ignoreBrokenPipe();
        makeContent();
        std::filesystem::create_directories(folder / "self");
        std::ofstream(folder / "self/Zelvan") << "launcher";
        ServerOptions o;
        o.root = folder / "content";
        o.selfUpdateDir = folder / "self";
        o.port = 0;
        o.ioTimeoutSeconds = 1; // the input ends with the peer's close; nothing waits long
        server = std::make_unique<CUpdServer>(o);
        server->start();
        pristine = tree(folder / "content");
    }
    void makeContent()
    {
        std::filesystem::create_directories(folder / "content/data");
        std::ofstream(folder / "content/data/a.txt") << "alpha";
    }

    static std::string tree(const std::filesystem::path& root)
    {
        std::vector<std::string> names;
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        {
            std::ifstream in(it->path(), std::ios::binary);
            std::ostringstream bytes;
            bytes << in.rdbuf();
            names.push_back(it->path().lexically_relative(root).string() + "=" + bytes.str());
        }
        std::sort(names.begin(), names.end());
        std::string text;
        for (const std::string& n : names)
            text += n + "\n";
        return text;
    }

    void restore()
    {
        std::string now = tree(folder / "content");
        if (now == pristine && !server->suspended())
            return;
        std::vector<std::string> top;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            top.push_back(entry.path().filename().string());
        std::sort(top.begin(), top.end());
        if (top != std::vector<std::string>{"content", "self"} ||
            tree(folder / "self") != "Zelvan=launcher\n")
            __builtin_trap(); // written outside the served folder
        std::filesystem::remove_all(folder / "content");
        makeContent();
        std::vector<std::string> out;
        server->execCommand("up", out);
    }

    ~FuzzServer()
    {
        server.reset();
        std::filesystem::remove_all(folder);
    }
};
