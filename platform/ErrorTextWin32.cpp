#include "platform/ErrorText.h"

#include <windows.h>
#include <winsock2.h>

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

// The C library's errno values that have a WinSock counterpart. Sockets report
// WinSock numbers natively here; the table serves callers that hold an errno.
constexpr ErrnoWinsock kTable[] = {
    {EINTR, 10004},           {EBADF, 10009},        {EACCES, 10013},       {EFAULT, 10014},
    {EINVAL, 10022},          {EMFILE, 10024},       {EWOULDBLOCK, 10035},  {EAGAIN, 10035},
    {EINPROGRESS, 10035},     {EINPROGRESS, 10036},  {EALREADY, 10037},     {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039},    {EMSGSIZE, 10040},     {EPROTOTYPE, 10041},   {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043}, {EOPNOTSUPP, 10045},   {EAFNOSUPPORT, 10047}, {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},     {ENETUNREACH, 10051},  {ENETRESET, 10052},
    {ECONNABORTED, 10053},    {ECONNRESET, 10054},   {EPIPE, 10054},        {ENOBUFS, 10055},
    {EISCONN, 10056},         {ENOTCONN, 10057},     {ETIMEDOUT, 10060},    {ECONNREFUSED, 10061},
    {ELOOP, 10062},           {ENAMETOOLONG, 10063}, {EHOSTUNREACH, 10065}, {ENOTEMPTY, 10066},
    {ECANCELED, 10103},
};

constexpr int32_t kHostNotFound = 11001;

// The system's text without the line end FormatMessage appends.
bool formatSystemText(DWORD number, std::string& out)
{
    char buffer[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, number,
                             MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), buffer, sizeof buffer, nullptr);
    while (n > 0 &&
           (buffer[n - 1] == '\n' || buffer[n - 1] == '\r' || buffer[n - 1] == ' ' || buffer[n - 1] == '.'))
        --n;
    if (n == 0)
        return false;
    out.assign(buffer, n);
    return true;
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
    // The resolver reports WinSock numbers here already.
    return herr >= 11001 && herr <= 11004 ? herr : kHostNotFound;
}

int32_t getLastSocketError()
{
    return WSAGetLastError();
}

void setLastSocketError(int32_t wsa)
{
    WSASetLastError(wsa);
}

int32_t getLastError()
{
    return int32_t(GetLastError());
}

void setLastError(int32_t err)
{
    SetLastError(DWORD(err));
}

bool systemMessageText(int32_t number, bool isWinsock, std::string& out)
{
    bool found = false;
    if (isWinsock && number >= 0 && number < 10000)
    {
        // An errno value passed through the socket layer.
        const char* text = number > 0 ? std::strerror(number) : nullptr;
        if (text && *text && std::strncmp(text, "Unknown error", 13) != 0)
        {
            out = text;
            found = true;
        }
    }
    else
        found = formatSystemText(DWORD(number), out);
    if (!found)
        out = kMissingErrorText;
    return found;
}

std::string errnoMessage(int err)
{
    char buffer[256];
    if (strerror_s(buffer, sizeof buffer, err) != 0)
        return "Unknown error " + std::to_string(err);
    return buffer;
}

} // namespace platform
