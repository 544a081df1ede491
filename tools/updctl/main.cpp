// updctl: the operator's tool for running update servers.
//
//   updctl [--server H:P]... command TEXT     run a control command, print its echo
//   updctl [--server H:P]... release --dir D --from F [--name N] [--keep K]
//     (without --server: stage and switch only, for the first release or
//     servers reloaded by SIGHUP; nothing old is deleted)
//   updctl [--server H:P]... switch --dir D NAME
//   updctl list --dir D
//   updctl keygen FILE                         a signing key pair: FILE and FILE.pub
//   updctl sign --key FILE --root D [--self-update S] [--ignore I] [--version N]
//          [--expires DAYS] [--next-key PUB]   sign the folder's release manifest
//
// Exit status: 0 done, 1 the operation failed (the message says what stands),
// 2 usage error.

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "newupdatesystem/Common/Excep.h"
#include "newupdatesystem/Common/LogControl.h"
#include "newupdatesystem/client/UpdClient.h"
#include "platform/Console.h"
#include "platform/LocalTime.h"
#include "tools/common/PasswordSource.h"
#include "tools/common/Version.h"
#include "tools/updctl/ControlSession.h"
#include "tools/updctl/ReleaseSigner.h"
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
                           "  list     the releases, newest first; the current one is marked.\n"
                           "  keygen   make a signing key pair; keep FILE off the servers.\n"
                           "  sign     sign the manifest of a served folder (with the server's --root,\n"
                           "           --self-update and --ignore) into the folder.";

struct Options
{
    std::vector<std::string> servers;
    std::string login, password;
    std::string tlsCa;
    unsigned deadline = 600;
    std::string dir, from, name, text;
    unsigned keep = 2;
    SignRequest signing;
    uint64_t version = 0;
    bool verbose = false;
};

// What a failed control session means to the operator, and what to do.
std::string explain(int status, const Options& o)
{
    switch (status)
    {
    case UPD_CONNECT_FAILED:
        return "cannot connect: is the server running, and is this the address and port it listens on?";
    case UPD_NETWORK_ERROR:
        return "the connection broke off; try again";
    case UPD_PROTO_VERSION:
        return "the server speaks another protocol version";
    case UPD_AUTH_FAILED:
    case UPD_SERVER_REFUSED:
        if (o.login.empty())
            return "the server refused the command: give --login NAME and --password-file FILE (or "
                   "UPD_PASSWORD) for an account of the server's users file; a server whose configuration "
                   "names no users file ('users = ...') refuses every command";
        return "the server refused the login or the command: check that '" + o.login +
               "' and its password are in the server's users file (reload the server with SIGHUP after "
               "changing it)";
    case UPD_INTERNAL_ERROR:
        return "no answer within --deadline " + std::to_string(o.deadline) + " seconds";
    default:
        return "the session failed with status " + std::to_string(status) + " (--verbose shows its log)";
    }
}

// Signs the folder, and says what was signed.
void signFolder(Options& o)
{
    if (o.version != 0)
        o.signing.release = o.version;
    ReleaseManifest m = CReleaseSigner::sign(o.signing);
    std::fprintf(out, "signed release %llu of %s: %zu entries, %zu self-update files, expires in %u days\n",
                 static_cast<unsigned long long>(m.release), o.signing.root.string().c_str(), m.tree.size(),
                 m.self.size(), o.signing.expiresDays);
}

std::vector<ControlTarget> targets(const Options& o)
{
    std::vector<ControlTarget> list;
    for (const std::string& s : o.servers)
    {
        ControlTarget t;
        if (!parseServer(s, t))
            throw std::invalid_argument("--server '" + s + "' is not HOST[:PORT]");
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
bool rebuild(const ControlTarget& t, const std::string& expected, const Options& o, std::string& why)
{
    std::vector<std::string> echoes;
    int status = runControlCommand(t, "up", echoes);
    if (status != UPD_OK)
    {
        why = explain(status, o);
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
int switchAndRebuild(CReleaseStore& store, const std::vector<ControlTarget>& servers, const std::string& name,
                     const Options& o)
{
    std::string previous = store.current();
    store.switchTo(name);
    std::fprintf(out, "current -> %s (was %s)\n", name.c_str(), previous.empty() ? "none" : previous.c_str());
    if (servers.empty())
        std::fprintf(out, "no --server given: start the servers or reload them (SIGHUP)\n");
    for (size_t i = 0; i < servers.size(); ++i)
    {
        std::string why;
        if (rebuild(servers[i], name, o, why))
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
            if (!rebuild(servers[j], previous, o, again))
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
    app.set_version_flag("--version", std::string("updctl ") + UPD_VERSION);
    app.add_flag("--verbose", o.verbose, "show the client library's log lines on stderr");
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
    release->add_option("--sign-key", o.signing.keyFile, "sign the release with this private key (as sign)")
        ->check(CLI::ExistingFile);
    auto* keygen = app.add_subcommand("keygen", "make a signing key pair");
    keygen->add_option("FILE", o.signing.keyFile, "the private key; the public one goes to FILE.pub")
        ->required();
    auto* sign = app.add_subcommand("sign", "sign a served folder's release manifest");
    sign->add_option("--key", o.signing.keyFile, "the private key")->required()->check(CLI::ExistingFile);
    sign->add_option("--root", o.signing.root, "the content folder")
        ->required()
        ->check(CLI::ExistingDirectory);
    for (CLI::App* signer : {sign, release})
    {
        signer->add_option("--self-update", o.signing.selfDir, "the server's --self-update folder")
            ->check(CLI::ExistingDirectory);
        signer->add_option("--ignore", o.signing.ignoreFile, "the server's --ignore file")
            ->check(CLI::ExistingFile);
        signer->add_option("--version", o.version, "the release number (default: one more than the last)")
            ->check(CLI::Range(uint64_t(1), ReleaseManifest::kMaxNumber));
        signer->add_option("--expires", o.signing.expiresDays, "days the signature holds (default 30)")
            ->check(CLI::Range(1u, 3650u));
        signer->add_option("--next-key", o.signing.nextKeyFile, "a public key the clients move to (rotation)")
            ->check(CLI::ExistingFile);
    }
    try
    {
        app.parse(argc, argv);
    }
    catch (const CLI::ParseError& e)
    {
        // A mistyped subcommand is left over as a word, not missing.
        std::vector<std::string> words = app.remaining();
        if (app.get_subcommands().empty() && !words.empty() && words.front().rfind("-", 0) != 0)
        {
            std::fprintf(stderr,
                         "updctl: unknown subcommand '%s': use release, switch, list, command, keygen or "
                         "sign (see --help)\n",
                         words.front().c_str());
            return 2;
        }
        return app.exit(e);
    }
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
    // The library logs every echo line; the results already carry them once.
    logSetConsoleStream(o.verbose ? stderr : nullptr);

    try
    {
        if (keygen->parsed())
        {
            CReleaseSigner::generateKeys(o.signing.keyFile);
            std::fprintf(out, "wrote %s (keep it off the servers) and %s.pub\n",
                         o.signing.keyFile.string().c_str(), o.signing.keyFile.string().c_str());
            return 0;
        }
        if (sign->parsed())
        {
            signFolder(o);
            return 0;
        }
        std::vector<ControlTarget> servers = targets(o);
        if (command->parsed() && servers.empty())
            throw std::invalid_argument("command needs at least one --server HOST[:PORT]");
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
                if (status != UPD_OK)
                {
                    std::fprintf(stderr, "updctl: %s: %s\n", describe(t).c_str(), explain(status, o).c_str());
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
            return switchAndRebuild(store, servers, o.name, o);

        if (o.name.empty())
            o.name = defaultName();
        if (!o.signing.keyFile.empty())
        {
            // Signed in the source, so that the copy carries the manifest; the
            // number goes on from the release served now.
            o.signing.root = o.from;
            if (o.version == 0 && !store.current().empty())
                o.signing.release =
                    std::max(CReleaseSigner::lastRelease(o.from), CReleaseSigner::lastRelease(store.link())) +
                    1;
            signFolder(o);
        }
        CReleaseStore::Staged staged = store.stage(o.from, o.name);
        std::fprintf(out, "staged %s: %u files, %llu bytes\n", staged.name.c_str(), staged.files,
                     static_cast<unsigned long long>(staged.bytes));
        if (switchAndRebuild(store, servers, o.name, o) != 0)
        {
            std::fprintf(stderr,
                         "updctl: release %s stays staged; 'updctl --server ... switch --dir %s %s' "
                         "retries it\n",
                         o.name.c_str(), o.dir.c_str(), o.name.c_str());
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
    catch (const std::invalid_argument& e)
    {
        std::fprintf(stderr, "updctl: %s (see --help)\n", e.what());
        return 2;
    }
    catch (const CSystemExcep& e)
    {
        std::string reason;
        e.errorText(reason);
        std::fprintf(stderr, "updctl: %s '%s': %s\n", e.codeName(), e.subject.c_str(), reason.c_str());
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
