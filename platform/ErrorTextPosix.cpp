#include "platform/ErrorText.h"

#include <netdb.h>

#include <cerrno>
#include <cstring>

namespace platform
{

namespace
{

struct ErrnoWinsock
{
    int err;
    int32_t wsa;
};

// errno to WinSock: the first row with an errno gives its WinSock number, the
// first row with a WinSock number gives its errno. Would-block and in-progress
// both read as WSAEWOULDBLOCK, which is how WinSock reports a pending
// non-blocking call; the later rows only serve the way back.
constexpr ErrnoWinsock kTable[] = {
    {EINTR, 10004},           {EBADF, 10009},           {EACCES, 10013},        {EFAULT, 10014},
    {EINVAL, 10022},          {EMFILE, 10024},          {EWOULDBLOCK, 10035},   {EAGAIN, 10035},
    {EINPROGRESS, 10035},     {EINPROGRESS, 10036},     {EALREADY, 10037},      {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039},    {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},    {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},    {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},      {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},
    {ENETUNREACH, 10051},     {ENETRESET, 10052},       {ECONNABORTED, 10053},  {ECONNRESET, 10054},
    {EPIPE, 10054}, // writing to a connection the peer has dropped
    {ENOBUFS, 10055},         {EISCONN, 10056},         {ENOTCONN, 10057},      {ESHUTDOWN, 10058},
    {ETOOMANYREFS, 10059},    {ETIMEDOUT, 10060},       {ECONNREFUSED, 10061},  {ELOOP, 10062},
    {ENAMETOOLONG, 10063},    {EHOSTDOWN, 10064},       {EHOSTUNREACH, 10065},  {ENOTEMPTY, 10066},
    {EUSERS, 10068},          {EDQUOT, 10069},          {ESTALE, 10070},        {EREMOTE, 10071},
    {ECANCELED, 10103},
};

constexpr int32_t kHostNotFound = 11001;
constexpr int32_t kNoData = 11004;
constexpr int32_t kFirstWinsock = 10000;

thread_local int32_t lastSocketError = 0;

// The platform's text for an errno value, or null when it has none (strerror
// would make up "Unknown error N").
const char* errnoText(int err)
{
    if (err < 0)
        return nullptr;
    return strerrordesc_np(err);
}

} // namespace

int32_t winsockFromErrno(int err)
{
    for (const auto& row : kTable)
        if (row.err == err)
            return row.wsa;
    return err;
}

int errnoFromWinsock(int32_t wsa)
{
    for (const auto& row : kTable)
        if (row.wsa == wsa)
            return row.err;
    return 0;
}

int32_t winsockFromHostError(int herr)
{
    switch (herr)
    {
    case HOST_NOT_FOUND:
        return 11001;
    case TRY_AGAIN:
        return 11002;
    case NO_RECOVERY:
        return 11003;
    case NO_DATA:
        return 11004;
    default:
        return kHostNotFound;
    }
}

int32_t getLastSocketError()
{
    return lastSocketError;
}

void setLastSocketError(int32_t wsa)
{
    lastSocketError = wsa;
}

int32_t getLastError()
{
    return errno;
}

void setLastError(int32_t err)
{
    errno = err;
}

bool systemMessageText(int32_t number, bool isWinsock, std::string& out)
{
    const char* text = nullptr;
    if (!isWinsock || (number >= 0 && number < kFirstWinsock))
        text = errnoText(number);
    else if (number >= kHostNotFound && number <= kNoData)
        text = hstrerror(number - kHostNotFound + HOST_NOT_FOUND);
    else if (int err = errnoFromWinsock(number); err != 0)
        text = errnoText(err);

    if (!text || !*text)
    {
        out = kMissingErrorText;
        return false;
    }
    out = text;
    return true;
}

std::string errnoMessage(int err)
{
    // The reentrant form, since any thread may format its exception.
    char buffer[256];
    return strerror_r(err, buffer, sizeof buffer);
}

} // namespace platform
