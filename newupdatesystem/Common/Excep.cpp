#include "newupdatesystem/Common/Excep.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "platform/ErrorText.h"

namespace
{

struct CodeName
{
    int32_t code;
    const char* name;
};

constexpr CodeName kNetNames[] = {
    {NET_INVALID, "NET_INVALID"},
    {NET_OPEN_SOCKET, "NET_OPEN_SOCKET"},
    {NET_SET_OPT, "NET_SET_OPT"},
    {NET_BIND, "NET_BIND"},
    {NET_LISTEN, "NET_LISTEN"},
    {NET_SELECT, "NET_SELECT"},
    {NET_ACCEPT, "NET_ACCEPT"},
    {NET_CONNECT, "NET_CONNECT"},
    {NET_SEND, "NET_SEND"},
    {NET_RECEIVE, "NET_RECEIVE"},
    {NET_OTHER, "NET_OTHER"},
    {NET_TIMEOUT, "NET_TIMEOUT"},
    {0, ""},
};

constexpr CodeName kFileNames[] = {
    {FILE_CREATE, "FILE_CREATE"},
    {FILE_OPEN, "FILE_OPEN"},
    {FILE_WRITE, "FILE_WRITE"},
    {FILE_READ, "FILE_READ"},
    {FILE_CLOSE, "FILE_CLOSE"},
    {FILE_DELETE, "FILE_DELETE"},
    {FILE_RENAME, "FILE_RENAME"},
    {FILE_SET_ATTR, "FILE_SET_ATTR"},
    {FILE_GET_ATTR, "FILE_GET_ATTR"},
    {FILE_SET_TIME, "FILE_SET_TIME"},
    {DIR_CREATE, "DIR_CREATE"},
    {DIR_DELETE, "DIR_DELETE"},
    {FIND_FIRST, "FIND_FIRST"},
    {HANDLE_CLOSE, "HANDLE_CLOSE"},
    {Z_OUT_OF_BUFFER, "Z_OUT_OF_BUFFER"},
    {Z_CORRUPTED, "Z_CORRUPTED"},
    {0, ""},
};

const char* findCodeName(const CodeName* table, int32_t code)
{
    for (const CodeName* row = table; row->name[0] != '\0'; ++row)
        if (row->code == code)
            return row->name;
    return "Unknown error code";
}

constexpr const char* kProtoTexts[] = {
    "Превышен интервал ожидания",
    "Битый пакет",
    "Ошибка передачи данных",
    "Нарушение сетевого протокола",
    "Несоответствие версий протоколов",
    "Получено неизвестное сообщение",
    "Нет прав доступа для запрошенной операции",
    "Ошибка авторизации",
    "Сервер занят",
    "Получена команда разрыва соединения",
    "Попытка передать слишком большой файл",
    "Соединение передано плагину",
    "Не удалось установить защищённое соединение",
};
static_assert(sizeof(kProtoTexts) / sizeof(kProtoTexts[0]) == PROTO_TLS + 1);

struct WinsockName
{
    const char* name;
    int32_t number;
};

constexpr WinsockName kWinsockNames[] = {
    {"No error", 0},
    {"WSAEINTR", 10004},
    {"WSAEBADF", 10009},
    {"WSAEACCES", 10013},
    {"WSAEFAULT", 10014},
    {"WSAEINVAL", 10022},
    {"WSAEMFILE", 10024},
    {"WSAEWOULDBLOCK", 10035},
    {"WSAEINPROGRESS", 10036},
    {"WSAEALREADY", 10037},
    {"WSAENOTSOCK", 10038},
    {"WSAEDESTADDRREQ", 10039},
    {"WSAEMSGSIZE", 10040},
    {"WSAEPROTOTYPE", 10041},
    {"WSAENOPROTOOPT", 10042},
    {"WSAEPROTONOSUPPORT", 10043},
    {"WSAESOCKTNOSUPPORT", 10044},
    {"WSAEOPNOTSUPP", 10045},
    {"WSAEPFNOSUPPORT", 10046},
    {"WSAEAFNOSUPPORT", 10047},
    {"WSAEADDRINUSE", 10048},
    {"WSAEADDRNOTAVAIL", 10049},
    {"WSAENETDOWN", 10050},
    {"WSAENETUNREACH", 10051},
    {"WSAENETRESET", 10052},
    {"WSAECONNABORTED", 10053},
    {"WSAECONNRESET", 10054},
    {"WSAENOBUFS", 10055},
    {"WSAEISCONN", 10056},
    {"WSAENOTCONN", 10057},
    {"WSAESHUTDOWN", 10058},
    {"WSAETOOMANYREFS", 10059},
    {"WSAETIMEDOUT", 10060},
    {"WSAECONNREFUSED", 10061},
    {"WSAELOOP", 10062},
    {"WSAENAMETOOLONG", 10063},
    {"WSAEHOSTDOWN", 10064},
    {"WSAEHOSTUNREACH", 10065},
    {"WSAENOTEMPTY", 10066},
    {"WSAEPROCLIM", 10067},
    {"WSAEUSERS", 10068},
    {"WSAEDQUOT", 10069},
    {"WSAESTALE", 10070},
    {"WSAEREMOTE", 10071},
    {"WSASYSNOTREADY", 10091},
    {"WSAVERNOTSUPPORTED", 10092},
    {"WSANOTINITIALISED", 10093},
    {"WSAEDISCON", 10101},
    {"WSAENOMORE", 10102},
    {"WSAECANCELLED", 10103},
    {"WSAEINVALIDPROCTABLE", 10104},
    {"WSAEINVALIDPROVIDER", 10105},
    {"WSAEPROVIDERFAILEDINIT", 10106},
    {"WSASYSCALLFAILURE", 10107},
    {"WSASERVICE_NOT_FOUND", 10108},
    {"WSATYPE_NOT_FOUND", 10109},
    {"WSA_E_NO_MORE", 10110},
    {"WSA_E_CANCELLED", 10111},
    {"WSAEREFUSED", 10112},
    {"WSAHOST_NOT_FOUND", 11001},
    {"WSATRY_AGAIN", 11002},
    {"WSANO_RECOVERY", 11003},
    {"WSANO_DATA", 11004},
};

} // namespace

void CExcep::formatSource(std::string& out) const
{
    out += file ? file : "";
    out += ": ";
    out += std::to_string(line);
    out += ", ";
    out += function ? function : "";
    out += "(), compiled: ";
    out += time ? time : "";
    out += " ";
    out += date ? date : "";
}

const char* CProtoExcep::description() const
{
    if (code >= 0 && code <= PROTO_TLS)
        return kProtoTexts[code];
    return "Неизвестное исключение";
}

CSocketExcep::CSocketExcep(int32_t code, const CThrowSite& site)
    : CExcep(code, site), socketError(platform::getLastSocketError())
{
}

const char* CSocketExcep::codeName() const
{
    return findCodeName(kNetNames, code);
}

void CSocketExcep::errorText(std::string& out) const
{
    out += "(";
    out += winsockErrorName(socketError);
    out += ") ";
    if (socketError == 0)
    {
        out += "Connection was gracefully closed";
        return;
    }
    std::string text;
    platform::systemMessageText(socketError, true, text);
    out += text;
}

CSystemExcep::CSystemExcep(int32_t code, ErrorKind kind, const std::string& subject, const CThrowSite& site)
    : CExcep(code, site), kind(kind), errorNumber(kind == EK_ERRNO        ? errno
                                                  : kind == EK_LAST_ERROR ? platform::getLastError()
                                                                          : 0),
      subject(subject)
{
}

const char* CSystemExcep::codeName() const
{
    return findCodeName(kFileNames, code);
}

bool CSystemExcep::errorText(std::string& out) const
{
    std::string text;
    switch (kind)
    {
    case EK_LAST_ERROR:
        platform::systemMessageText(errorNumber, false, text);
        out += std::to_string(errorNumber);
        out += ": ";
        out += text;
        return true;
    case EK_ERRNO:
    {
        // The runtime library's own message, whatever it says for the number.
        out += platform::errnoMessage(errorNumber);
        return true;
    }
    default:
        return false;
    }
}

std::string winsockErrorName(int32_t error)
{
    for (const auto& row : kWinsockNames)
        if (row.number == error)
            return row.name;
    char number[16];
    std::snprintf(number, sizeof number, "(%u)", static_cast<unsigned>(error));
    return std::string("Unknown WinSock error code ") + number;
}

namespace
{

// Cuts a signature down to its qualified name: drops the return type, the
// parameters and anything after them (a lambda inside the function keeps the
// enclosing function's name), and the anonymous-namespace qualifier.
std::string trimSignature(const char* signature)
{
    static constexpr std::string_view kAnonymous = "(anonymous namespace)";
    const std::string_view s(signature);
    int depth = 0;
    size_t start = 0;
    size_t end = s.size();
    for (size_t i = 0; i < s.size(); ++i)
    {
        const char c = s[i];
        if (c == '<')
            ++depth;
        else if (c == '>' && depth > 0)
            --depth;
        else if (depth == 0 && c == ' ')
            start = i + 1;
        else if (depth == 0 && c == '(')
        {
            if (s.substr(i, kAnonymous.size()) == kAnonymous)
            {
                i += kAnonymous.size() - 1;
                continue;
            }
            end = i;
            break;
        }
    }
    std::string name(s.substr(start, end - start));
    for (const std::string_view prefix : {"(anonymous namespace)::", "{anonymous}::"})
    {
        const size_t at = name.find(prefix);
        if (at != std::string::npos)
            name.erase(at, prefix.size());
    }
    return name.empty() ? std::string(s) : name;
}

} // namespace

const char* throwSiteName(const char* signature)
{
    // One entry per throwing function; the strings live until the process ends.
    static std::mutex lock;
    static std::unordered_map<const char*, std::string> names;
    std::lock_guard<std::mutex> hold(lock);
    auto [it, added] = names.try_emplace(signature);
    if (added)
        it->second = trimSignature(signature);
    return it->second.c_str();
}
