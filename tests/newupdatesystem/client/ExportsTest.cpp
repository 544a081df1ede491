// The shared library as another program sees it: loaded with dlopen, the two
// functions found by their decorated names, a job driven through the
// interface pointer only.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdint>
#include <cstring>

#include "ClientTestSupport.h"
#include "support/Sandbox.h"

#ifndef UPDCLIENT_LIBRARY
#error "UPDCLIENT_LIBRARY names the built libupdclient.so"
#endif

namespace
{
using CreateFn = IUpdateClient* (*)(const char*, unsigned int, const char*);
using LogFn = void (*)(const char*);

class ExportsTest : public SandboxTest
{
};
} // namespace

TEST_F(ExportsTest, DlopenFindsBothExportsAndRunsACommand)
{
    void* library = ::dlopen(UPDCLIENT_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, library) << ::dlerror();
    auto create = reinterpret_cast<CreateFn>(::dlsym(library, "_ZN13IUpdateClient6createEPKcjS1_"));
    auto log = reinterpret_cast<LogFn>(::dlsym(library, "_ZN13IUpdateClient6UpdLogEPKc"));
    ASSERT_NE(nullptr, create);
    ASSERT_NE(nullptr, log);
    // Nothing else leaves the library.
    EXPECT_EQ(nullptr, ::dlsym(library, "_ZN13CUpdateClient6runJobEv"));
    EXPECT_EQ(nullptr, ::dlsym(library, "_Z7logInfoPKcz"));

    log("loaded through dlopen");
    FakeServer server;
    server.echoes = {"pong"};
    RecordingCallback events;
    IUpdateClient* client = create("127.0.0.1", server.port(), "Files.lst");
    ASSERT_NE(nullptr, client);
    client->setCallback(&events);
    client->setCommand("ping");
    client->start();
    EXPECT_TRUE(client->wait(-1.0));
    EXPECT_EQ(UPD_OK, client->getStatus());
    EXPECT_TRUE(client->isCommandDone());
    EXPECT_STREQ("pong", client->getEcho(0));
    client->release();
    EXPECT_FALSE(events.codes(true).empty());
    // The library stays loaded, as it does in a host: its process-wide log
    // lives until the process ends.
}

TEST_F(ExportsTest, ReleaseStopsAndWaitsForARunningWorker)
{
    ScriptedPeer silent;
    IUpdateClient* client = IUpdateClient::create("127.0.0.1", silent.port(), "Files.lst");
    client->setCommand("x");
    client->start();
    ASSERT_TRUE(silent.waitConnected());
    client->release(); // must not pull the object away under the worker
    SUCCEED();
}

#if defined(__x86_64__) && !defined(_WIN32)
// Hosts built against an older header call through fixed table positions: a
// new operation only ever goes after the last. On this ABI a pointer to a
// virtual member holds one plus its byte offset in the table, and the
// destructor takes two entries, so slot n (counted as in the header) sits at
// entry n + 1.
namespace
{
template <typename Member> std::ptrdiff_t tableEntry(Member member)
{
    struct
    {
        std::uintptr_t pointer;
        std::ptrdiff_t adjust;
    } raw;
    static_assert(sizeof(member) == sizeof(raw));
    std::memcpy(&raw, &member, sizeof(raw));
    return static_cast<std::ptrdiff_t>((raw.pointer - 1) / sizeof(void*));
}
} // namespace

TEST(ExportsLayout, OperationsKeepTheirTablePositions)
{
    EXPECT_EQ(2, tableEntry(&IUpdateClient::release));
    EXPECT_EQ(6, tableEntry(&IUpdateClient::setCommand));
    EXPECT_EQ(12, tableEntry(&IUpdateClient::setUpdateJob));
    EXPECT_EQ(18, tableEntry(&IUpdateClient::start));
    EXPECT_EQ(21, tableEntry(&IUpdateClient::getStatus));
    EXPECT_EQ(22, tableEntry(&IUpdateClient::addExclusions));
    EXPECT_EQ(23, tableEntry(&IUpdateClient::setRateLimit));
}
#endif
