// updclient: runs one update-client job from the command line.
//
// stdout carries only results (echo lines, the self-update script's path);
// progress, the log's console output and the final status go to stderr.
// Exit status: 0 for UPD_OK and UPD_SELF_UP_TO_DATE, 2 for a usage error,
// otherwise the job's UpdStatus number.

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "newupdatesystem/Common/TransferThrottle.h"
#include "newupdatesystem/client/UpdClient.h"
#include "newupdatesystem/client/UpdLogFile.h"
#include "platform/Console.h"
#include "platform/StopRequest.h"
#include "tools/common/PasswordSource.h"
#include "tools/common/Version.h"
#include "tools/updclient/Progress.h"
#include "tools/updclient/StatusText.h"

namespace
{

constexpr unsigned kDefaultPort = 25859;
constexpr int kUsageError = 2;

volatile std::sig_atomic_t interrupted = 0;

void onInterrupt()
{
    interrupted = 1;
}

struct Options
{
    std::string server;
    std::string host;
    unsigned port = kDefaultPort;
    std::string dir = ".";
    std::string list = "Files.lst";
    std::string cache;
    std::vector<std::string> recheck;
    std::vector<std::string> exclude;
    std::string mode;
    std::string login;
    std::string password;
    std::string realm;
    std::string commandText;
    std::string limitRate;
    uint64_t rateLimit = 0;
    bool noStream = false;
    std::string tlsCa;
    std::string trustKey;
    std::string logDir;
    bool noLog = false;
    UpdJob job = JOB_NONE;
};

// HOST or HOST:PORT with a port from 1 to 65535; false for anything else.
bool splitServer(Options& o)
{
    auto colon = o.server.rfind(':');
    if (colon == std::string::npos)
    {
        o.host = o.server;
        return !o.host.empty();
    }
    o.host = o.server.substr(0, colon);
    std::string digits = o.server.substr(colon + 1);
    if (o.host.empty() || digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long port = std::stoul(digits);
    if (port == 0 || port > 65535)
        return false;
    o.port = static_cast<unsigned>(port);
    return true;
}

std::string joinLines(const std::vector<std::string>& lines)
{
    std::string text;
    for (const auto& l : lines)
        text += l + "\n";
    return text;
}

const char* kDescription =
    "Runs one job of the game's update client against an update server.\n"
    "\n"
    "  updclient [options] update         bring --dir up to the server's state\n"
    "  updclient [options] selfupdate     fetch the launcher's own files (needs --realm);\n"
    "                                     prints the replacement script's path on stdout\n"
    "  updclient [options] command TEXT   send a control command; prints each echo line on stdout\n"
    "  updclient [options] upload         mirror --dir onto the server\n"
    "\n"
    "Progress and log lines go to stderr (a progress bar when stderr is a terminal),\n"
    "then the final status with its text. Ctrl-C stops the job and waits for it.\n"
    "\n"
    "Exit status: 0 when the job ends with status 1 (done) or 2 (self-update not\n"
    "required); 2 for a usage error; otherwise the status number:\n"
    "  3 cannot connect, 4 network error, 5 protocol version, 7 server refused,\n"
    "  8 protocol error, 9 read error, 10 write error, 11 modify error,\n"
    "  12 system error, 13 corrupted data, 15 internal error or stopped.";

// 0 when the options are complete; otherwise prints and gives the exit status.
int parse(int argc, char** argv, Options& o)
{
    CLI::App app(kDescription, "updclient");
    app.fallthrough();
    app.require_subcommand(1);
    app.add_option("--server", o.server, "update server, HOST[:PORT] (port default 25859)")->required();
    app.add_option("--dir", o.dir, "local folder for update (made when missing) or upload (default \".\")");
    app.add_option("--list", o.list,
                   "local file list, relative to the current directory (default \"Files.lst\")");
    app.add_option("--cache", o.cache, "server-list cache file for update (default: none)");
    // One value per occurrence, so that a following word is never taken as a line.
    app.add_option("--recheck", o.recheck, "one line of the recheck item list (repeatable)")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("--exclude", o.exclude, "one line of the exclusion item list (repeatable)")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("--mode", o.mode, "time|normal|full: how files are judged equal (default normal)")
        ->check(CLI::IsMember({"time", "normal", "full"}));
    app.add_option("--login", o.login, "login name (at most 15 bytes)");
    app.add_option(
        "--password", o.password,
        "password (at most 15 bytes; visible to all users: prefer --password-file or UPD_PASSWORD)");
    std::string passwordFile;
    app.add_option("--password-file", passwordFile, "read the password from the first line of this file")
        ->check(CLI::ExistingFile);
    app.add_option("--realm", o.realm, "realm for selfupdate, passed to the restarted launcher");
    auto* limitRate = app.add_option(
        "--limit-rate", o.limitRate,
        "hold received bytes to RATE per second: 2000, 512k, 2M, 1.5G (powers of 1024); 0 for none");
    app.add_option("--log-dir", o.logDir, "folder for the daily log file (default: the current folder)")
        ->check(CLI::ExistingDirectory);
    app.add_flag("--no-log", o.noLog, "write no log file");

    app.add_flag("--no-stream", o.noStream,
                 "keep to the base transfer even where the server offers streaming");
    app.add_option("--tls-ca", o.tlsCa,
                   "talk to the server only over TLS, trusting the certificates of this PEM file (the "
                   "server's own or its CA); refuse a server that does not offer TLS or does not match")
        ->check(CLI::ExistingFile);
    app.add_option("--trust-key", o.trustKey,
                   "public key of updctl keygen: take only releases signed by it (status 13 otherwise)");

    auto* update = app.add_subcommand("update", "update --dir (with --cache, --exclude, --mode)");
    auto* self = app.add_subcommand("selfupdate", "self-update check and download for --realm");
    auto* command = app.add_subcommand("command", "send TEXT as a control command");
    command->add_option("TEXT", o.commandText, "the command text")->required();
    auto* upload = app.add_subcommand("upload", "mirror --dir onto the server");
    app.set_version_flag("--version", std::string("updclient ") + UPD_VERSION);

    try
    {
        app.parse(argc, argv);
    }
    catch (const CLI::CallForHelp&)
    {
        std::fputs(app.help().c_str(), stdout);
        return -1;
    }
    catch (const CLI::CallForAllHelp&)
    {
        std::fputs(app.help("", CLI::AppFormatMode::All).c_str(), stdout);
        return -1;
    }
    catch (const CLI::CallForVersion& e)
    {
        std::printf("%s\n", e.what());
        return -1;
    }
    catch (const CLI::ParseError& e)
    {
        // A mistyped subcommand is left over as a word, not missing.
        std::vector<std::string> words = app.remaining();
        if (app.get_subcommands().empty() && !words.empty() && words.front().rfind("-", 0) != 0)
            std::fprintf(stderr,
                         "updclient: unknown subcommand '%s': use update, selfupdate, command or upload "
                         "(see --help)\n",
                         words.front().c_str());
        else
            std::fprintf(stderr, "updclient: %s (see --help)\n", e.what());
        return kUsageError;
    }

    auto usage = [](const char* message)
    {
        std::fprintf(stderr, "updclient: %s (see --help)\n", message);
        return kUsageError;
    };
    if (!splitServer(o))
        return usage("--server must be HOST or HOST:PORT with a port from 1 to 65535");
    if (std::string error; !choosePassword(passwordFile, o.password, o.password, error))
        return usage(error.c_str());
    if (update->parsed())
        o.job = JOB_UPDATE;
    else if (self->parsed())
        o.job = JOB_SELF_UPDATE;
    else if (command->parsed())
        o.job = JOB_COMMAND;
    else if (upload->parsed())
        o.job = JOB_UPLOAD;
    if (o.job == JOB_SELF_UPDATE && o.realm.empty())
        return usage("selfupdate needs --realm");
    if (o.job == JOB_COMMAND && o.commandText.empty())
        return usage("command needs a non-empty TEXT");
    if (limitRate->count() != 0 && (!CRateLimiter::parseRate(o.limitRate.c_str(), o.rateLimit) ||
                                    (o.rateLimit != 0 && o.rateLimit < CTransferThrottle::MIN_RATE)))
        return usage("--limit-rate must be 0 or a rate from 4k to 16G, digits with an optional k, M or G");
    return 0;
}

void configure(IUpdateClient& client, const Options& o, IUpdateCallback* callback)
{
    client.setCallback(callback);
    if (o.mode == "time")
        client.setCheckMode(CHECK_BY_TIME);
    else if (o.mode == "full")
        client.setCheckMode(CHECK_FULL);
    else
        client.setCheckMode(CHECK_NORMAL);
    if (!o.recheck.empty())
        client.setRecheckList(joinLines(o.recheck).c_str());
    if (!o.login.empty())
        client.setLogin(o.login.c_str(), o.password.c_str());
    if (o.rateLimit != 0)
        client.setRateLimit(o.rateLimit);
    if (o.noStream)
        client.setStreaming(false);
    if (!o.tlsCa.empty())
        client.setTlsTrust(o.tlsCa.c_str());
    if (!o.trustKey.empty())
        client.setTrustKey(o.trustKey.c_str());
    switch (o.job)
    {
    case JOB_UPDATE:
        client.setUpdateJob(o.dir.c_str(), o.cache.empty() ? nullptr : o.cache.c_str());
        break;
    case JOB_SELF_UPDATE:
        client.setSelfUpdateJob(o.realm.c_str());
        break;
    case JOB_COMMAND:
        client.setCommand(o.commandText.c_str());
        break;
    case JOB_UPLOAD:
        client.setUploadJob(o.dir.c_str());
        break;
    default:
        break;
    }
    if (!o.exclude.empty())
        client.addExclusions(joinLines(o.exclude).c_str());
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    int parsed = parse(argc, argv, o);
    if (parsed != 0)
        return parsed < 0 ? 0 : parsed;

    // The library's log writes its console output to stdout; point that at
    // stderr and keep the real stdout for results only.
    std::FILE* results = platform::consoleMoveStdoutToStderr();
    if (!results)
    {
        std::fprintf(stderr, "updclient: cannot set up the output streams\n");
        return UPD_SYSTEM_ERROR;
    }

    platform::onStopRequest(onInterrupt);

    if (o.job == JOB_UPDATE)
    {
        // A new installation starts with its folder.
        std::error_code made;
        std::filesystem::create_directories(o.dir, made);
        if (made)
        {
            std::fprintf(stderr, "updclient: cannot make the folder '%s': %s\n", o.dir.c_str(),
                         made.message().c_str());
            return UPD_WRITE_ERROR;
        }
    }

    if (o.noLog || !o.logDir.empty())
        UpdSetLogFile(o.logDir.c_str(), o.noLog ? 0 : 1);
    IUpdateClient* client = IUpdateClient::create(o.host.c_str(), o.port, o.list.c_str());
    if (!client)
    {
        std::fprintf(stderr, "updclient: out of memory\n");
        return UPD_SYSTEM_ERROR;
    }
    CProgressDisplay display(stderr, platform::consoleIsTerminal(stderr));
    configure(*client, o, &display);
    client->start();

    bool stopping = false;
    while (!client->wait(0.1))
    {
        if (interrupted && !stopping)
        {
            stopping = true;
            display.finish();
            std::fprintf(stderr, "updclient: stopping...\n");
            client->stop();
        }
        display.tick();
    }
    display.finish();

    int status = client->getStatus();
    if (o.job == JOB_COMMAND)
    {
        for (int i = 0; i < client->getEchoCount(); ++i)
            std::fprintf(results, "%s\n", client->getEcho(static_cast<unsigned>(i)));
    }
    if (o.job == JOB_SELF_UPDATE && status == UPD_OK && client->getSelfUpdateBatch())
        std::fprintf(results, "%s\n", client->getSelfUpdateBatch());
    std::fflush(results);
    std::fprintf(stderr, "updclient: status %d: %s\n", status, statusText(status));
    if (status == UPD_DATA_CORRUPTED && !o.trustKey.empty())
        std::fprintf(stderr, "updclient: %s\n", kReleaseRefusedText);
    client->release();
    std::fclose(results);
    return status == UPD_OK || status == UPD_SELF_UP_TO_DATE ? 0 : status;
}
