#include "newupdatesystem/Common/Excep.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "platform/ErrorText.h"
#include "support/PlatformSkip.h"

namespace
{

const CThrowSite kSite{"newupdatesystem/Common/ProtoThread.cpp", "Jul 18 2012", "14:03:27", 512,
                       "CProtoThread::recvPacket"};

TEST(CExcep, FormatSourcePutsTimeBeforeDateWithNothingElseBetween)
{
    CExcep e(3, kSite);
    EXPECT_EQ(e.formatSource(), "newupdatesystem/Common/ProtoThread.cpp: 512, "
                                "CProtoThread::recvPacket(), compiled: 14:03:27 Jul 18 2012");
    std::string into = "at ";
    e.formatSource(into);
    EXPECT_EQ(into.rfind("at newupdatesystem/", 0), 0u);
}

TEST(CExcep, SiteMacroRecordsWhereItStands)
{
    int line = __LINE__ + 1;
    CUpdExcep e(UPD_SELF_TEMP_DIR, EXCEP_SITE("CUpdateClient::makeTempDir"));
    EXPECT_STREQ(e.file, __FILE__);
    EXPECT_EQ(e.line, line);
    EXPECT_STREQ(e.function, "CUpdateClient::makeTempDir");
    EXPECT_STREQ(e.date, __DATE__);
    EXPECT_STREQ(e.time, __TIME__);
    EXPECT_EQ(e.code, UPD_SELF_TEMP_DIR);
}

struct SiteProbe
{
    CThrowSite member(int) const { return EXCEP_HERE(); }
    template <typename T> static CThrowSite templated(T) { return EXCEP_HERE(); }
    CThrowSite inLambda() const
    {
        return [] { return EXCEP_HERE(); }();
    }
};

CThrowSite freeFunction(const char*)
{
    return EXCEP_HERE();
}

TEST(CExcep, HereNamesTheEnclosingOperationAndAProjectRelativeFile)
{
    EXPECT_STREQ(SiteProbe().member(1).function, "SiteProbe::member");
    EXPECT_STREQ(SiteProbe::templated(std::string()).function, "SiteProbe::templated");
    EXPECT_STREQ(SiteProbe().inLambda().function, "SiteProbe::inLambda");
    EXPECT_STREQ(freeFunction("x").function, "freeFunction");
    // One text per function, however often it throws.
    EXPECT_EQ(SiteProbe().member(1).function, SiteProbe().member(2).function);
    const CThrowSite site = freeFunction("x");
    const std::string file = site.file;
    EXPECT_NE(file.front(), '/') << file;
    EXPECT_TRUE(file.ends_with("tests/newupdatesystem/Common/ExcepTest.cpp")) << file;
}

TEST(CExcep, BaseHandlerCatchesEveryClassOfTheFamily)
{
    auto caught = [](auto thrown)
    {
        try
        {
            throw thrown;
        }
        catch (const CExcep& e)
        {
            return e.code;
        }
    };
    EXPECT_EQ(caught(CProtoExcep(PROTO_BUSY, kSite)), PROTO_BUSY);
    EXPECT_EQ(caught(CSocketExcep(NET_SEND, 10054, kSite)), NET_SEND);
    EXPECT_EQ(caught(CSystemExcep(FILE_OPEN, EK_NONE, 0, "a.txt", kSite)), FILE_OPEN);
    EXPECT_EQ(caught(CFileListExcep(FLIST_NOT_FOUND, kSite)), FLIST_NOT_FOUND);
    EXPECT_EQ(caught(CUpdExcep(UPD_SELF_LIST, kSite)), UPD_SELF_LIST);
}

TEST(CProtoExcep, DescriptionsAreTheFixedRussianTexts)
{
    EXPECT_STREQ(CProtoExcep(PROTO_TIMEOUT, kSite).description(), "Превышен интервал ожидания");
    EXPECT_STREQ(CProtoExcep(PROTO_PACKET, kSite).description(), "Битый пакет");
    EXPECT_STREQ(CProtoExcep(PROTO_AUTH, kSite).description(), "Ошибка авторизации");
    EXPECT_STREQ(CProtoExcep(PROTO_PLUGIN, kSite).description(), "Соединение передано плагину");
    EXPECT_STREQ(CProtoExcep(PROTO_TLS, kSite).description(), "Не удалось установить защищённое соединение");
    EXPECT_STREQ(CProtoExcep(13, kSite).description(), "Неизвестное исключение");
    EXPECT_STREQ(CProtoExcep(-1, kSite).description(), "Неизвестное исключение");
}

TEST(CSocketExcep, CodeNames)
{
    EXPECT_STREQ(CSocketExcep(NET_INVALID, 0, kSite).codeName(), "NET_INVALID");
    EXPECT_STREQ(CSocketExcep(NET_SELECT, 0, kSite).codeName(), "NET_SELECT");
    EXPECT_STREQ(CSocketExcep(NET_TIMEOUT, 0, kSite).codeName(), "NET_TIMEOUT");
    EXPECT_STREQ(CSocketExcep(12, 0, kSite).codeName(), "Unknown error code");
}

TEST(CSocketExcep, ErrorZeroReadsAsGracefulClose)
{
    std::string text;
    CSocketExcep(NET_SELECT, 0, kSite).errorText(text);
    EXPECT_EQ(text, "(No error) Connection was gracefully closed");
}

TEST(CSocketExcep, ErrorTextCarriesTheWinsockNameAndTheSystemText)
{
    SKIP_ON_WINDOWS("WinSock numbers have the system's own texts there");
    std::string text;
    CSocketExcep(NET_SELECT, 10061, kSite).errorText(text);
    EXPECT_EQ(text, std::string("(WSAECONNREFUSED) ") + std::strerror(ECONNREFUSED));

    text.clear();
    CSocketExcep(NET_SELECT, 10067, kSite).errorText(text); // no errno counterpart
    EXPECT_EQ(text, "(WSAEPROCLIM) Missing error text");
}

TEST(CSocketExcep, UnknownNumberGivesTheSameTextEveryTime)
{
    EXPECT_EQ(winsockErrorName(12345), "Unknown WinSock error code (12345)");
    EXPECT_EQ(winsockErrorName(12345), "Unknown WinSock error code (12345)");
    EXPECT_EQ(winsockErrorName(-1), "Unknown WinSock error code (4294967295)");
    EXPECT_EQ(winsockErrorName(10035), "WSAEWOULDBLOCK");
    EXPECT_EQ(winsockErrorName(11004), "WSANO_DATA");
}

TEST(CSocketExcep, ShortFormTakesTheThreadsLastSocketError)
{
    platform::setLastSocketError(10060);
    CSocketExcep e(NET_CONNECT, kSite);
    platform::setLastSocketError(0);
    EXPECT_EQ(e.socketError, 10060);
}

TEST(CSystemExcep, CodeNames)
{
    EXPECT_STREQ(CSystemExcep(FILE_CREATE, EK_NONE, 0, "", kSite).codeName(), "FILE_CREATE");
    EXPECT_STREQ(CSystemExcep(FIND_FIRST, EK_NONE, 0, "", kSite).codeName(), "FIND_FIRST");
    EXPECT_STREQ(CSystemExcep(Z_CORRUPTED, EK_NONE, 0, "", kSite).codeName(), "Z_CORRUPTED");
    EXPECT_STREQ(CSystemExcep(16, EK_NONE, 0, "", kSite).codeName(), "Unknown error code");
}

TEST(CSystemExcep, NoErrorNumberLeavesTheTextAlone)
{
    CSystemExcep e(Z_OUT_OF_BUFFER, EK_NONE, "list", kSite);
    EXPECT_EQ(e.errorNumber, 0);
    std::string text = "kept";
    EXPECT_FALSE(e.errorText(text));
    EXPECT_EQ(text, "kept");
}

TEST(CSystemExcep, ErrnoKindTakesErrnoAtConstructionAndShowsItsMessage)
{
    errno = ENOENT;
    CSystemExcep e(FILE_OPEN, EK_ERRNO, "missing.txt", kSite);
    errno = 0;
    EXPECT_EQ(e.errorNumber, ENOENT);
    EXPECT_EQ(e.subject, "missing.txt");
    std::string text;
    EXPECT_TRUE(e.errorText(text));
    EXPECT_EQ(text, std::strerror(ENOENT));
}

TEST(CSystemExcep, LastErrorKindShowsTheNumberAndItsText)
{
    SKIP_ON_WINDOWS("the last error is GetLastError there, with its own texts");
    platform::setLastError(EACCES);
    CSystemExcep e(FILE_DELETE, EK_LAST_ERROR, "a", kSite);
    std::string text;
    EXPECT_TRUE(e.errorText(text));
    EXPECT_EQ(text, std::to_string(EACCES) + ": " + std::strerror(EACCES));

    text.clear();
    EXPECT_TRUE(CSystemExcep(FILE_DELETE, EK_LAST_ERROR, 999999, "a", kSite).errorText(text));
    EXPECT_EQ(text, "999999: Missing error text");
}

} // namespace
