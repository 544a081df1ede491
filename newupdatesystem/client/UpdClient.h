// The update client as other programs see it: an abstract client made by the
// exported factory IUpdateClient::create, and the callback through which it
// reports. One client runs exactly one job on its own worker thread.
//
// Hosts call, in this order: create; configuration (setCallback, setCheckMode
// or setFullCheck, setRecheckList, setLogin, addExclusions, setRateLimit);
// exactly one job setter; start; wait(0) from a timer until it returns true;
// getStatus (and getSelfUpdateBatch or the echo queries); release. To cancel:
// stop, then wait(10.0). Nothing but the rate limit may be configured after
// start.
//
// The order of the virtual operations below is a binary interface that other
// programs rely on: never reorder, insert or remove one; new ones go last.
#pragma once

#if defined(_WIN32) && defined(UPD_CLIENT_BUILD)
#define UPD_CALL __stdcall
#define UPD_API __declspec(dllexport)
#elif defined(_WIN32)
#define UPD_CALL __stdcall
#define UPD_API __declspec(dllimport)
#else
#define UPD_CALL
#define UPD_API __attribute__((visibility("default")))
#endif

// What the worker reports through IUpdateCallback::onUpdateEvent.
enum UpdEvent : int
{
    UPD_EVENT_SCANNING = 1,      // before the local scan
    UPD_EVENT_CONNECTING = 2,    // before connecting
    UPD_EVENT_BUILDING_LIST = 3, // server lists fetched, before the comparison
    UPD_EVENT_FILE_REQUEST = 4,  // text: the file name as requested
    UPD_EVENT_FILE_RECEIVED = 5, // text: the file name, before unpacking
    UPD_EVENT_CREATING_FOLDERS = 6,
    UPD_EVENT_DELETING = 7,
    UPD_EVENT_SAVING_LIST = 8,
    UPD_EVENT_TRAFFIC = 9,   // value: bytes received with the packet (0 when sent);
                             // under a rate limit, in shares as the limit lets them pass
    UPD_EVENT_PROGRESS = 10, // value: finished share of the download, 0..1
};

// The result that getStatus returns; hosts index their message texts by it.
enum UpdStatus : int
{
    UPD_OK = 1,
    UPD_SELF_UP_TO_DATE = 2,
    UPD_CONNECT_FAILED = 3,
    UPD_NETWORK_ERROR = 4,
    UPD_PROTO_VERSION = 5,
    UPD_AUTH_FAILED = 6, // the server did not prove itself over TLS (wrong certificate, no offer)
    UPD_SERVER_REFUSED = 7,
    UPD_PROTO_ERROR = 8,
    UPD_READ_ERROR = 9,
    UPD_WRITE_ERROR = 10,
    UPD_MODIFY_ERROR = 11,
    UPD_SYSTEM_ERROR = 12,
    UPD_DATA_CORRUPTED = 13,
    UPD_LAUNCH_FAILED = 14,  // never set by the client (the launcher's own)
    UPD_INTERNAL_ERROR = 15, // the initial value
};

enum UpdJob : int
{
    JOB_NONE = 0,
    JOB_COMMAND = 1,
    JOB_UPDATE = 2,
    JOB_UPLOAD = 3,
    JOB_SELF_UPDATE = 4,
};

// How files are judged equal: the local scan, then the comparison with the server.
enum CheckMode : int
{
    CHECK_BY_TIME = 0, // scan by size and time; compare size, checksum and time
    CHECK_NORMAL = 1,  // scan by size and time; compare size and checksum
    CHECK_FULL = 2,    // recompute every checksum; compare size and checksum
};

// Why a job failed, as far as the client can tell; hosts name it to the user.
enum UpdFailure : int
{
    UPD_FAILURE_NONE = 0,
    UPD_FAILURE_NO_SPACE = 1,  // the disk is full, or lacks the room the update needs
    UPD_FAILURE_READ_ONLY = 2, // a file or folder may not be written (access, read-only disk)
    UPD_FAILURE_FILE = 3,      // another error of the file or folder in path
};

// What getJobInfo reports: the size of the download and the first failure.
struct UpdJobInfo
{
    unsigned long long bytesTotal;  // of the files to download, once known
    unsigned long long spaceNeeded; // with UPD_FAILURE_NO_SPACE from the check before downloading
    unsigned long long spaceFree;
    int failure;       // UpdFailure
    char path[512];    // the file or folder of the failure, or empty
    char logFile[512]; // the log file the client writes, or empty
};

// Called on the client's worker thread; the host makes it thread-safe.
class IUpdateCallback
{
public:
    // text: a file name for events 4 and 5, else null; value: 0 except for 9 and 10.
    virtual void onUpdateEvent(int event, const char* text, float value) = 0;

protected:
    ~IUpdateCallback() = default;
};

class IUpdateClient
{
public:
    virtual ~IUpdateClient() {}                                         // 0
    virtual void release() = 0;                                         // 1
    virtual void setCallback(IUpdateCallback* callback) = 0;            // 2
    virtual void setCheckMode(int mode) = 0;                            // 3
    virtual void setLogin(const char* login, const char* password) = 0; // 4
    virtual void setCommand(const char* command) = 0;                   // 5
    virtual bool isCommandDone() = 0;                                   // 6
    virtual int getEchoCount() = 0;                                     // 7
    // The returned texts stay valid until the next setCommand or release.
    virtual const char* getEcho(unsigned index) = 0;                                  // 8
    virtual const char* findEcho(const char* text) = 0;                               // 9
    virtual const char* findEchoPrefix(const char* prefix) = 0;                       // 10
    virtual void setUpdateJob(const char* localDir, const char* serverListCache) = 0; // 11
    virtual void setRecheckList(const char* itemListText) = 0;                        // 12
    virtual void setFullCheck(bool full) = 0;                                         // 13
    virtual void setUploadJob(const char* localDir) = 0;                              // 14
    virtual void setSelfUpdateJob(const char* realm) = 0;                             // 15
    // The self-update script's path once the worker has ended with UPD_OK.
    virtual const char* getSelfUpdateBatch() = 0; // 16
    virtual int start() = 0;                      // 17
    // Negative: without limit; 0 polls. True when the worker has ended.
    virtual bool wait(double seconds) = 0;                    // 18
    virtual void stop() = 0;                                  // 19
    virtual int getStatus() = 0;                              // 20
    virtual void addExclusions(const char* itemListText) = 0; // 21
    // Holds the job's received bytes to this many per second; 0 (the default)
    // for no limit, rates below 4096 are raised to it. May also be called
    // while the job runs.
    virtual void setRateLimit(unsigned long long bytesPerSecond) = 0; // 22
    // Whether file sessions use the streaming transfer where the server
    // offers it (the default); false keeps to the base protocol. Before start.
    virtual void setStreaming(bool /*enabled*/) {} // 23
    // Moves every session into TLS, trusting only the certificates of this
    // PEM file (the server's own, pinned, or its CA); a server that does not
    // offer TLS or does not match is refused with UPD_AUTH_FAILED. Null or
    // empty: sessions stay in clear (the default). Before start.
    virtual void setTlsTrust(const char* /*trustFile*/) {} // 24
    // A public key file of "updctl keygen": update and self-update jobs then
    // take only releases signed by it (or by the key a signed release rotated
    // to), and refuse anything else with UPD_DATA_CORRUPTED. Before start.
    virtual void setTrustKey(const char* /*publicKeyFile*/) {} // 25
    // Fills info at any time (false when the client cannot tell).
    virtual bool getJobInfo(UpdJobInfo* /*info*/) { return false; } // 26

    // The library's two exports. create returns null only when memory runs out.
    static UPD_API IUpdateClient* UPD_CALL create(const char* host, unsigned int port,
                                                  const char* listFileName);
    // Writes the text as one info line to the update system's log.
    static UPD_API void UPD_CALL UpdLog(const char* text);
};
