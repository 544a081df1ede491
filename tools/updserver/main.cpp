// updserver: the reference update server. Publishes a content tree to update
// clients over loopback or a network, with the launcher's own files and the
// ignore patterns, and accepts uploads and commands from operators.
//
// Exit status: 0 after SIGTERM or SIGINT, 1 when the server cannot start,
// 2 for a usage error.

#include <CLI/CLI.hpp>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/Common/LogControl.h"
#include "tools/updserver/UpdServer.h"
#include "platform/StopRequest.h"

namespace
{
std::atomic<bool> stopRequested{false};

void onStopSignal()
{
    stopRequested = true;
}

const char* kDescription =
    "The reference update server: serves CONTENT_DIR to update clients.\n"
    "\n"
    "Published names: \"list\" (the file list of CONTENT_DIR with MD5 checksums),\n"
    "\"ignore\" (the text of --ignore), \"self_upd\" (the files of --self-update),\n"
    "and every file of those trees. Operators' commands: help, status, suspend, up.\n"
    "When the server listens it prints \"listening on ADDRESS:PORT\" on stdout.";
} // namespace

int main(int argc, char** argv)
{
    ServerOptions o;
    std::string root, self, ignore, users, portFile, logDir;
    unsigned port = o.port;
    unsigned cacheMb = static_cast<unsigned>(o.cacheBytes >> 20);

    CLI::App app(kDescription, "updserver");
    app.add_option("--root", root, "the content folder to publish")->required()->check(CLI::ExistingDirectory);
    app.add_option("--self-update", self, "folder of the launcher's own files (files only)")
        ->check(CLI::ExistingDirectory);
    app.add_option("--ignore", ignore, "item-list text published as \"ignore\"")->check(CLI::ExistingFile);
    app.add_option("--bind", o.bindAddress, "IPv4 address to listen on (default 127.0.0.1)");
    app.add_option("--port", port, "TCP port; 0 lets the system choose (default 25859)")
        ->check(CLI::Range(0u, 65535u));
    app.add_option("--port-file", portFile, "write the bound port to this file once listening");
    app.add_option("--users", users, "NAME:PASSWORD lines; control sessions and changes then need a login")
        ->check(CLI::ExistingFile);
    app.add_option("--max-clients", o.maxClients, "sessions served at once; more get \"Busy\" (default 64)")
        ->check(CLI::Range(1u, 4096u));
    app.add_option("--timeout", o.ioTimeoutSeconds, "seconds of silence before a session is closed (default 60)")
        ->check(CLI::Range(1u, 3600u));
    app.add_option("--cache-mb", cacheMb, "MiB of packed files kept in memory (default 256)");
    app.add_flag("--prepack", o.prepack, "pack every published file into the cache before listening");
    app.add_option("--log-dir", logDir, "folder for the daily log file (default: the current folder)")
        ->check(CLI::ExistingDirectory);
    CLI11_PARSE(app, argc, argv);

    // Absolute, because --log-dir changes the current folder.
    auto absolute = [](const std::string& p) {
        return p.empty() ? std::filesystem::path() : std::filesystem::absolute(p);
    };
    o.root = absolute(root);
    o.selfUpdateDir = absolute(self);
    o.ignoreFile = absolute(ignore);
    o.usersFile = absolute(users);
    if (!portFile.empty())
        portFile = absolute(portFile).string();
    o.port = static_cast<uint16_t>(port);
    o.cacheBytes = static_cast<uint64_t>(cacheMb) << 20;

    // The log writes its daily file into the current folder.
    if (!logDir.empty()) {
        std::error_code ec;
        std::filesystem::current_path(logDir, ec);
        if (!ec)
            logRestart();
    }
    logSetConsoleStream(stderr);

    platform::onStopRequest(onStopSignal);

    CUpdServer server(o);
    try {
        server.start();
    } catch (const CExcep& e) {
        std::fprintf(stderr, "updserver: cannot start: exception %d at %s\n", e.code, e.formatSource().c_str());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "updserver: cannot start: %s\n", e.what());
        return 1;
    }
    if (!portFile.empty()) {
        // Written under a temporary name and renamed, so a reader never sees half a number.
        std::string temp = portFile + ".tmp";
        std::ofstream(temp) << server.port() << "\n";
        std::rename(temp.c_str(), portFile.c_str());
    }
    std::printf("listening on %s:%u\n", o.bindAddress.c_str(), server.port());
    std::fflush(stdout);
    logInfo("Listening on %s:%u", o.bindAddress.c_str(), server.port());

    server.run(stopRequested);
    logInfo("Server stopped");
    return 0;
}
