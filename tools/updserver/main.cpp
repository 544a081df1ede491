// updserver: the reference update server. Publishes a content tree to update
// clients over loopback or a network, with the launcher's own files and the
// ignore patterns, and accepts uploads and commands from operators.
//
// Exit status: 0 after SIGTERM or SIGINT, 1 when the server cannot start,
// 2 for a usage error.

#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/Log.h"
#include "newupdatesystem/Common/LogControl.h"
#include "platform/Environment.h"
#include "platform/Signals.h"
#include "platform/StopRequest.h"
#include "tools/common/ConfigFile.h"
#include "tools/common/Version.h"
#include "tools/updserver/UpdServer.h"

namespace
{
namespace fs = std::filesystem;

const char* kDescription =
    "The reference update server: serves CONTENT_DIR to update clients.\n"
    "\n"
    "Published names: \"list\" (the file list of CONTENT_DIR with MD5 checksums),\n"
    "\"ignore\" (the text of --ignore), \"self_upd\" (the files of --self-update),\n"
    "and every file of those trees. Operators' commands: help, status, suspend, up.\n"
    "Commands and changes need a login from --users, unless --allow-anonymous-changes.\n"
    "When the server listens it prints \"listening on ADDRESS:PORT\" on stdout.\n"
    "\n"
    "--config FILE reads \"option = value\" lines (the long names without dashes,\n"
    "flags as true or false); options on the command line win; an unknown or\n"
    "repeated option is an error naming the file's line. SIGHUP reads the --users\n"
    "file again and rebuilds the lists like \"up\" (the --ignore file too); other\n"
    "options need a restart. SIGTERM stops accepting, lets running sessions finish\n"
    "for up to --grace seconds, then exits.";
} // namespace

int main(int argc, char** argv)
{
    ServerOptions o;
    std::string root, self, ignore, users, portFile, logDir;
    unsigned port = o.port;
    unsigned cacheMb = static_cast<unsigned>(o.cacheBytes >> 20);
    unsigned uploadMb = static_cast<unsigned>(o.maxUploadBytes >> 20);
    std::string cacheDir;
    uint64_t cacheDirMb = o.cacheDirBytes >> 20;

    CLI::App app(kDescription, "updserver");
    app.add_option("--root", root, "the content folder to publish (required)")->check(CLI::ExistingDirectory);
    app.add_option("--self-update", self, "folder of the launcher's own files (files only)")
        ->check(CLI::ExistingDirectory);
    app.add_option("--ignore", ignore, "item-list text published as \"ignore\"")->check(CLI::ExistingFile);
    app.add_option("--bind", o.bindAddress, "IPv4 address to listen on (default 127.0.0.1)");
    app.add_option("--port", port, "TCP port; 0 lets the system choose (default 25859)")
        ->check(CLI::Range(0u, 65535u));
    app.add_option("--port-file", portFile, "write the bound port to this file once listening");
    app.add_option("--users", users,
                   "NAME:PASSWORD lines: the accounts that may run commands and change the content")
        ->check(CLI::ExistingFile);
    app.add_option("--max-clients", o.maxClients, "sessions served at once; more get \"Busy\" (default 64)")
        ->check(CLI::Range(1u, 4096u));
    app.add_option("--timeout", o.ioTimeoutSeconds,
                   "seconds a session may go without a whole packet before it is closed (default 60)")
        ->check(CLI::Range(1u, 3600u));
    app.add_option("--cache-mb", cacheMb, "MiB of packed files kept in memory (default 256)");
    app.add_flag("--allow-anonymous-changes", o.allowAnonymousChanges,
                 "let anyone who connects run commands and change the content; without it they need a login "
                 "from --users");
    app.add_option("--handshake-timeout", o.handshakeTimeoutSeconds,
                   "seconds from connecting to the first request before a connection is closed (default 10)")
        ->check(CLI::Range(1u, 600u));
    app.add_option("--max-per-address", o.maxPerAddress,
                   "sessions one client address may hold at once; more get \"Busy\" (default 32)")
        ->check(CLI::Range(1u, 4096u));
    app.add_option(
           "--login-tries", o.loginTries,
           "failed logins from one address before it must wait, longer after each further one (default 5)")
        ->check(CLI::Range(1u, 1000u));
    app.add_option("--max-upload-mb", uploadMb, "MiB an uploaded file may have once unpacked (default 256)")
        ->check(CLI::Range(1u, 512u));
    app.add_flag(
        "--prepack", o.prepack,
        "pack every published file on the packing threads in the background, while clients are served");
    app.add_option("--pack-threads", o.packThreads,
                   "threads that pack files; 0: one per processor (default 0)")
        ->check(CLI::Range(0u, 256u));
    app.add_option("--pack-wait", o.packWaitSeconds,
                   "seconds a client waits for its file to be packed before it is refused (default 300)")
        ->check(CLI::Range(1u, 86400u));
    app.add_option("--read-ahead", o.packReadAhead,
                   "files of the list packed ahead, on the other threads, of one a client asks for and finds "
                   "unpacked; 0: none (default 4)")
        ->check(CLI::Range(0u, 1024u));
    app.add_option("--cache-dir", cacheDir,
                   "folder where packed files (and packed segments of larger files) persist across restarts, "
                   "keyed by content; must lie outside the published folders and belong to this user alone "
                   "(default: packcache in $STATE_DIRECTORY when the service manager sets it, else "
                   "ROOT.packcache beside the content folder)");
    app.add_option("--cache-dir-mb", cacheDirMb,
                   "MiB the cache folder may hold; 0 keeps packed files in memory only "
                   "(default 4096)");
    app.add_option("--log-dir", logDir,
                   "folder for the daily log file, made when missing (default: the current folder)");
    app.add_option("--grace", o.graceSeconds, "seconds a stop waits for running sessions (default 30)")
        ->check(CLI::Range(0u, 3600u));
    app.add_option("--metrics", o.metricsAddress, "serve Prometheus metrics over HTTP on [HOST:]PORT");
    unsigned minProgressKb = static_cast<unsigned>(o.minProgressBytes >> 10);
    app.add_option(
           "--progress-window", o.progressWindowSeconds,
           "seconds in which a session must take --min-progress-kb or be closed; 0: --timeout (default 0)")
        ->check(CLI::Range(0u, 86400u));
    app.add_option("--min-progress-kb", minProgressKb,
                   "KiB a session must take (acknowledged or uploaded) in each window (default 64)")
        ->check(CLI::Range(0u, 1u << 20));
    app.add_option("--yield-after", o.yieldAfterSeconds,
                   "seconds without progress after which a session gives its slot to a new client when the "
                   "server or its address is full (default 5)")
        ->check(CLI::Range(1u, 3600u));
    std::string tlsCert, tlsKey;
    app.add_option("--tls-cert", tlsCert, "PEM certificate chain: offer TLS to clients that ask for it")
        ->check(CLI::ExistingFile);
    app.add_option("--tls-key", tlsKey, "PEM private key of --tls-cert")->check(CLI::ExistingFile);
    app.add_flag("--tls-required", o.tlsRequired, "refuse sessions that do not move into TLS");
    std::string configFile;
    app.add_option("--config", configFile, "read options from this file; the command line wins")
        ->check(CLI::ExistingFile);
    app.set_version_flag("--version", std::string("updserver ") + UPD_VERSION);
    bool noLog = false;
    app.add_flag("--no-log", noLog, "write no log file (log lines still go to stderr)");
    CLI11_PARSE(app, argc, argv);
    if (CConfigFile config; !configFile.empty())
    {
        std::string error;
        if (!config.load(configFile, error) || !config.applyTo(app, error))
        {
            std::fprintf(stderr, "updserver: %s\n", error.c_str());
            return 2;
        }
    }
    if (root.empty())
    {
        std::fprintf(stderr, "updserver: no content folder: give --root, or root = in the --config file\n");
        return 2;
    }

    // Absolute, so that every log line names them in full.
    auto absolute = [](const std::string& p)
    { return p.empty() ? std::filesystem::path() : std::filesystem::absolute(p); };
    o.root = absolute(root);
    o.selfUpdateDir = absolute(self);
    o.ignoreFile = absolute(ignore);
    o.usersFile = absolute(users);
    o.tlsCertFile = absolute(tlsCert);
    o.tlsKeyFile = absolute(tlsKey);
    if (!portFile.empty())
        portFile = absolute(portFile).string();
    o.port = static_cast<uint16_t>(port);
    o.cacheBytes = static_cast<uint64_t>(cacheMb) << 20;
    o.maxUploadBytes = static_cast<uint64_t>(uploadMb) << 20;
    o.minProgressBytes = static_cast<uint64_t>(minProgressKb) << 10;
    o.cacheDirBytes = std::min<uint64_t>(cacheDirMb, uint64_t(1) << 40) << 20;
    std::string stateDir;
    if (!cacheDir.empty())
    {
        o.cacheDir = absolute(cacheDir);
    }
    else if (platform::getEnvironmentVariable("STATE_DIRECTORY", stateDir) && !stateDir.empty())
    {
        // Run as a service: the content is read-only, the state folder ours.
        o.cacheDir = absolute(stateDir.substr(0, stateDir.find(':'))) / "packcache";
        o.cacheDirOptional = true;
    }
    else
    {
        // Beside the content folder, so one content tree keeps its own packs;
        // a missing permission there only costs the persistence.
        fs::path content = o.root.lexically_normal();
        if (!content.has_filename())
            content = content.parent_path();
        if (content.has_filename() && content.has_parent_path() && content != content.root_path())
        {
            o.cacheDir = content.parent_path() / (content.filename().string() + ".packcache");
            o.cacheDirOptional = true;
        }
    }

    // The daily log file goes into the current folder unless told otherwise.
    if (noLog)
        logStop();
    else if (!logDir.empty())
    {
        std::error_code made;
        fs::create_directories(logDir, made);
        if (made || !fs::is_directory(logDir))
        {
            std::fprintf(stderr, "updserver: cannot make the log folder '%s': %s\n", logDir.c_str(),
                         made ? made.message().c_str() : "not a folder");
            return 1;
        }
        logSetFolder(logDir);
    }
    logSetConsoleStream(stderr);

    platform::watchServerSignals();

    CUpdServer server(o);
    try
    {
        server.start();
    }
    catch (const CExcep& e)
    {
        std::fprintf(stderr, "updserver: cannot start: exception %d at %s\n", e.code,
                     e.formatSource().c_str());
        return 1;
    }
    catch (const std::exception& e)
    {
        std::fprintf(stderr, "updserver: cannot start: %s\n", e.what());
        return 1;
    }
    if (!portFile.empty())
    {
        // Written under a temporary name and renamed, so a reader never sees half a number.
        std::string temp = portFile + ".tmp";
        std::ofstream(temp) << server.port() << "\n";
        std::rename(temp.c_str(), portFile.c_str());
    }
    std::printf("listening on %s:%u\n", o.bindAddress.c_str(), server.port());
    std::fflush(stdout);
    logInfo("Listening on %s:%u", o.bindAddress.c_str(), server.port());

    server.run(platform::stopSignal(), &platform::reloadSignal());
    logInfo("Server stopped");
    return 0;
}
