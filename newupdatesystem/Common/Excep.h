// The exception family of the update system. Plain value types, thrown by
// value and caught by reference; a handler for CExcep catches all of them.
#pragma once

#include <cstdint>
#include <version>
#if defined(__cpp_lib_source_location)
#include <source_location>
#endif
#include <string>

// Where an exception was raised. The texts are static literals, so copying an
// exception never copies them.
struct CThrowSite
{
    const char* file;
    const char* date;
    const char* time;
    int32_t line;
    const char* function;
};

// "Class::operation" of a compiler-written function signature, e.g.
// "void CBinFile::open(const char*)" gives "CBinFile::open". The text is kept
// for the life of the process, so a throw site may point at it.
const char* throwSiteName(const char* signature);

// The throw-site record of the operation it stands in: EXCEP_HERE() names the
// enclosing function, so the name cannot drift from the code. EXCEP_SITE takes
// the name by hand, for the sites whose text operators and tools rely on.
#if defined(__cpp_lib_source_location)
#define EXCEP_FUNCTION_SIGNATURE() std::source_location::current().function_name()
#else
// Standard libraries whose source_location the compiler cannot back (clang 14
// with libstdc++ 12) give the same text through the compiler's own name.
#define EXCEP_FUNCTION_SIGNATURE() __PRETTY_FUNCTION__
#endif
#define EXCEP_HERE()                                                                                         \
    (CThrowSite{__FILE__, __DATE__, __TIME__, __LINE__, throwSiteName(EXCEP_FUNCTION_SIGNATURE())})
#define EXCEP_SITE(fn) (CThrowSite{__FILE__, __DATE__, __TIME__, __LINE__, (fn)})

enum ProtoCode : int32_t
{
    PROTO_TIMEOUT = 0,
    PROTO_PACKET = 1,
    PROTO_DATA = 2,
    PROTO_PROTO = 3,
    PROTO_VERSION = 4,
    PROTO_UNKN_MSG = 5,
    PROTO_ACCESS = 6,
    PROTO_AUTH = 7,
    PROTO_BUSY = 8,
    PROTO_QUIT = 9,
    PROTO_TOO_LARGE = 10,
    PROTO_PLUGIN = 11,
    PROTO_TLS = 12, // the private channel was asked for and could not be had
};

enum NetCode : int32_t
{
    NET_INVALID = 0,
    NET_OPEN_SOCKET = 1,
    NET_SET_OPT = 2,
    NET_BIND = 3,
    NET_LISTEN = 4,
    NET_SELECT = 5,
    NET_ACCEPT = 6,
    NET_CONNECT = 7,
    NET_SEND = 8,
    NET_RECEIVE = 9,
    NET_OTHER = 10,
    NET_TIMEOUT = 11,
};

enum FileCode : int32_t
{
    FILE_CREATE = 0,
    FILE_OPEN = 1,
    FILE_WRITE = 2,
    FILE_READ = 3,
    FILE_CLOSE = 4,
    FILE_DELETE = 5,
    FILE_RENAME = 6,
    FILE_SET_ATTR = 7,
    FILE_GET_ATTR = 8,
    FILE_SET_TIME = 9,
    DIR_CREATE = 10,
    DIR_DELETE = 11,
    FIND_FIRST = 12,
    HANDLE_CLOSE = 13,
    Z_OUT_OF_BUFFER = 14,
    Z_CORRUPTED = 15,
};

enum FileListCode : int32_t
{
    FLIST_OPEN_NOT_A_LIST = 0,
    FLIST_OPEN_VERSION = 1,
    FLIST_OPEN_CORRUPTED = 2,
    FLIST_READ = 3,
    FLIST_WRITE = 4,
    FLIST_SCAN = 5,
    FLIST_CALC_CRC = 6,
    FLIST_UPDATE_FILE = 7,
    FLIST_NOT_FOUND = 8,
    FLIST_ADD_DIR = 9,
    FLIST_REMOVE_FILE = 10,
    FLIST_REMOVE_DIR = 11,
    FLIST_WRONG_FNAME = 12,
};

enum UpdCode : int32_t
{
    UPD_SELF_LIST = 0,
    UPD_SELF_TEMP_DIR = 1,
};

// Where the error number of a CSystemExcep comes from.
enum ErrorKind : uint32_t
{
    EK_NONE = 0,       // no operating-system error number
    EK_LAST_ERROR = 1, // the operating system's last-error value
    EK_ERRNO = 2,      // the runtime library's errno
};

class CExcep
{
public:
    CExcep(int32_t code, const CThrowSite& site)
        : code(code), file(site.file), date(site.date), time(site.time), line(site.line),
          function(site.function)
    {
    }

    // Appends file ": " line ", " function "(), compiled: " time " " date.
    void formatSource(std::string& out) const;
    std::string formatSource() const
    {
        std::string s;
        formatSource(s);
        return s;
    }

    int32_t code;
    const char* file;
    const char* date;
    const char* time;
    int32_t line;
    const char* function;
};

class CProtoExcep : public CExcep
{
public:
    CProtoExcep(int32_t code, const CThrowSite& site) : CExcep(code, site) {}
    // The fixed (Russian, UTF-8) text of the code.
    const char* description() const;
};

class CSocketExcep : public CExcep
{
public:
    CSocketExcep(int32_t code, int32_t socketError, const CThrowSite& site)
        : CExcep(code, site), socketError(socketError)
    {
    }
    // Takes the socket error from the last WinSock-numbered error of this thread.
    CSocketExcep(int32_t code, const CThrowSite& site);

    const char* codeName() const;
    // Appends "(" name ") " then the message text of the socket error.
    void errorText(std::string& out) const;

    int32_t socketError;
};

class CSystemExcep : public CExcep
{
public:
    // Takes the error number now: the last-error value or errno by kind, 0 for EK_NONE.
    CSystemExcep(int32_t code, ErrorKind kind, const std::string& subject, const CThrowSite& site);
    CSystemExcep(int32_t code, ErrorKind kind, int32_t errorNumber, const std::string& subject,
                 const CThrowSite& site)
        : CExcep(code, site), kind(kind), errorNumber(errorNumber), subject(subject)
    {
    }

    const char* codeName() const;
    // Appends the error text; returns false (string unchanged) for EK_NONE.
    bool errorText(std::string& out) const;

    ErrorKind kind;
    int32_t errorNumber;
    std::string subject;
};

class CFileListExcep : public CExcep
{
public:
    CFileListExcep(int32_t code, const CThrowSite& site) : CExcep(code, site) {}
};

class CUpdExcep : public CExcep
{
public:
    CUpdExcep(int32_t code, const CThrowSite& site) : CExcep(code, site) {}
};

// The WinSock name of an error number, or "Unknown WinSock error code (N)".
std::string winsockErrorName(int32_t error);
