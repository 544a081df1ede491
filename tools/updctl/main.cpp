// updctl: the operator's tool for running update servers.
//
//   updctl [--server H:P]... command TEXT     run a control command, print its echo
//   updctl [--server H:P]... release --dir D --from F [--name N] [--keep K]
//     (without --server: stage and switch only, for the first release or
//     servers reloaded by SIGHUP; nothing old is deleted)
//   updctl [--server H:P]... switch --dir D NAME
//   updctl list --dir D
//
// Exit status: 0 done, 1 the operation failed (the message says what stands),
// 2 usage error.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "newupdatesystem/Common/Excep.h"
#include "platform/Console.h"
#include "platform/LocalTime.h"
#include "tools/common/PasswordSource.h"
#include "tools/updctl/ControlSession.h"
#include "tools/updctl/ReleaseStore.h"

namespace
{
// Results; the client library's log lines go to stderr.
std::FILE* out = stdout;

const char* kDescription = "Operator's tool for update servers.\n"
                           "\n"
                           "A served tree with releases is a folder DIR holding releases/NAME (one\n"
                           "read-only folder per release) and current, a symbolic link to the release\n"
                           "served; the servers run with --root DIR/current.\n"
                           "\n"
                           "  release  copy --from into a new release, check it, switch current to it,\n"
                           "           make every --server rebuild its lists (\"up\"), then delete old\n"
                           "           releases beyond --keep that no server still serves to a session.\n"
                           "           When a server cannot take the release, current goes back.\n"
                           "  switch   point current at an existing release and rebuild the servers.\n"
                           "  command  send TEXT to every --server and print the echoed lines.\n"
                           "  list     the releases, newest first; the current one is marked.";

struct Options
{
    std::vector<std::string> servers;
    std::string login, password;
    std::string tlsCa;
    unsigned deadline = 600;
    std::string dir, from, name, text;
    unsigned keep = 2;
};

std::vector<ControlTarget> targets(const Options& o)
{
    std::vector<ControlTarget> list;
    for (const std::string& s : o.servers)
    {
        ControlTarget t;
        if (!parseServer(s, t))
            throw CLI::ValidationError("--server", "'" + s + "' is not HOST[:PORT]");
        t.login = o.login;
        t.password = o.password;
        t.tlsCa = o.tlsCa;
        t.deadlineSeconds = o.deadline;
        list.push_back(t);
    }
    return list;
}

std::string describe(const ControlTarget& t)
{
    return t.host + ":" + std::to_string(t.port);
}

// "up" on one server, which must then serve the release expected.
bool rebuild(const ControlTarget& t, const std::string& expected, std::string& why)
{
    std::vector<std::string> echoes;
    int status = runControlCommand(t, "up", echoes);
    if (status != 1)
    {
        why = "the command failed with status " + std::to_string(status);
        return false;
    }
    for (const std::string& e : echoes)
    {
        if (e.rfind("Rebuilding the lists failed", 0) == 0)
        {
            why = e;
            return false;
        }
        if (e == "release: " + expected)
            return true;
    }
    why = "it does not serve '" + expected + "' after rebuilding (is its --root the link " + "DIR/current?)";
    return false;
}

// Every release some server still serves to a session.
bool releasesInUse(const std::vector<ControlTarget>& servers, std::vector<std::string>& names)
{
    for (const ControlTarget& t : servers)
    {
        std::vector<std::string> echoes;
        if (runControlCommand(t, "status", echoes) != 1)
            return false;
        bool found = false;
        for (const std::string& e : echoes)
        {
            const std::string prefix = "releases in use:";
            if (e.rfind(prefix, 0) != 0)
                continue;
            found = true;
            size_t pos = prefix.size();
            while (pos < e.size())
            {
                size_t start = e.find_first_not_of(' ', pos);
                if (start == std::string::npos)
                    break;
                size_t end = e.find(' ', start);
                names.push_back(e.substr(start, end - start));
                pos = end == std::string::npos ? e.size() : end;
            }
        }
        if (!found)
            return false;
    }
    return true;
}

// Switches the link and rebuilds every server; on a failure the link and the
// servers already rebuilt go back to the previous release.
int switchAndRebuild(CReleaseStore& store, const std::vector<ControlTarget>& servers, const std::string& name)
{
    std::string previous = store.current();
    store.switchTo(name);
    std::fprintf(out, "current -> %s (was %s)\n", name.c_str(), previous.empty() ? "none" : previous.c_str());
    if (servers.empty())
        std::fprintf(out, "no --server given: start the servers or reload them (SIGHUP)\n");
    for (size_t i = 0; i < servers.size(); ++i)
    {
        std::string why;
        if (rebuild(servers[i], name, why))
        {
            std::fprintf(out, "%s serves %s\n", describe(servers[i]).c_str(), name.c_str());
            continue;
        }
        std::fprintf(stderr, "updctl: %s cannot take release %s: %s\n", describe(servers[i]).c_str(),
                     name.c_str(), why.c_str());
        if (previous.empty())
        {
            std::fprintf(stderr, "updctl: there is no previous release to go back to\n");
            return 1;
        }
        store.switchTo(previous);
        std::fprintf(stderr, "updctl: current -> %s again\n", previous.c_str());
        for (size_t j = 0; j <= i; ++j)
        {
            std::string again;
            if (!rebuild(servers[j], previous, again))
                std::fprintf(stderr, "updctl: %s did not go back to %s: %s\n", describe(servers[j]).c_str(),
                             previous.c_str(), again.c_str());
        }
        return 1;
    }
    return 0;
}

std::string defaultName()
{
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    platform::utcTime(int64_t(now), utc);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &utc);
    return buf;
}
} // namespace

int main(int argc, char** argv)
{
    Options o;
    CLI::App app(kDescription, "updctl");
    app.require_subcommand(1);
    app.add_option("--server", o.servers, "an update server's control address HOST[:PORT] (repeatable)")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("--login", o.login, "login name for the control sessions");
    app.add_option("--password", o.password,
                   "password for the control sessions (visible to all users: prefer --password-file or "
                   "UPD_PASSWORD)");
    std::string passwordFile;
    app.add_option("--password-file", passwordFile, "read the password from the first line of this file")
        ->check(CLI::ExistingFile);
    app.add_option("--tls-ca", o.tlsCa,
                   "talk to the servers only over TLS, trusting the certificates of this PEM file")
        ->check(CLI::ExistingFile);
    app.add_option("--deadline", o.deadline, "seconds one command may take (default 600)")
        ->check(CLI::Range(1u, 86400u));

    auto* command = app.add_subcommand("command", "send TEXT to every --server");
    command->add_option("TEXT", o.text, "the command")->required();
    auto* release = app.add_subcommand("release", "publish a folder as a new release");
    release->add_option("--dir", o.dir, "the folder holding releases/ and current")->required();
    release->add_option("--from", o.from, "the folder to publish")->required()->check(CLI::ExistingDirectory);
    release->add_option("--name", o.name, "the release's name (default: the UTC time, YYYYMMDD-HHMMSS)");
    release->add_option("--keep", o.keep, "old releases kept besides the current one (default 2)");
    auto* sw = app.add_subcommand("switch", "serve an existing release");
    sw->add_option("--dir", o.dir, "the folder holding releases/ and current")->required();
    sw->add_option("NAME", o.name, "the release")->required();
    auto* list = app.add_subcommand("list", "the releases, newest first");
    list->add_option("--dir", o.dir, "the folder holding releases/ and current")->required();
    CLI11_PARSE(app, argc, argv);
    if (std::string error; !choosePassword(passwordFile, o.password, o.password, error))
    {
        std::fprintf(stderr, "updctl: %s\n", error.c_str());
        return 2;
    }

    // The library logs to stdout: keep the real stdout for results only.
    out = platform::consoleMoveStdoutToStderr();
    if (!out)
        out = stdout;
    std::setvbuf(out, nullptr, _IOLBF, 0);

    try
    {
        std::vector<ControlTarget> servers = targets(o);
        if (command->parsed() && servers.empty())
            throw CLI::ValidationError("--server", "at least one server is needed");
        if (command->parsed())
        {
            int worst = 0;
            for (const ControlTarget& t : servers)
            {
                std::vector<std::string> echoes;
                int status = runControlCommand(t, o.text, echoes);
                if (servers.size() > 1)
                    std::fprintf(out, "== %s\n", describe(t).c_str());
                for (const std::string& e : echoes)
                    std::fprintf(out, "%s\n", e.c_str());
                if (status != 1)
                {
                    std::fprintf(stderr, "updctl: %s: status %d\n", describe(t).c_str(), status);
                    worst = 1;
                }
            }
            return worst;
        }
        CReleaseStore store(o.dir);
        if (list->parsed())
        {
            std::string live = store.current();
            for (const std::string& r : store.releases())
                std::fprintf(out, "%s%s\n", r.c_str(), r == live ? " (current)" : "");
            return 0;
        }
        if (sw->parsed())
            return switchAndRebuild(store, servers, o.name);

        if (o.name.empty())
            o.name = defaultName();
        CReleaseStore::Staged staged = store.stage(o.from, o.name);
        std::fprintf(out, "staged %s: %u files, %llu bytes\n", staged.name.c_str(), staged.files,
                     static_cast<unsigned long long>(staged.bytes));
        if (switchAndRebuild(store, servers, o.name) != 0)
        {
            std::fprintf(stderr, "updctl: release %s stays staged; 'updctl switch %s' retries it\n",
                         o.name.c_str(), o.name.c_str());
            return 1;
        }
        std::vector<std::string> inUse;
        if (servers.empty())
        {
            // Without servers to ask, nothing old is known to be unused.
            return 0;
        }
        if (!releasesInUse(servers, inUse))
        {
            std::fprintf(stderr, "updctl: cannot learn which releases are in use; nothing deleted\n");
            return 0;
        }
        for (const std::string& gone : store.prune(o.keep, inUse))
            std::fprintf(out, "deleted %s\n", gone.c_str());
        return 0;
    }
    catch (const CLI::Error& e)
    {
        return app.exit(e);
    }
    catch (const CExcep& e)
    {
        std::fprintf(stderr, "updctl: exception %d at %s\n", e.code, e.formatSource().c_str());
    }
    catch (const std::exception& e)
    {
        std::fprintf(stderr, "updctl: %s\n", e.what());
    }
    return 1;
}
