// CUpdateClient: the update client behind IUpdateClient. It is at the same
// time the protocol thread of its one session: the host configures it, starts
// the worker, polls for its end and releases it. The worker scans the local
// folder, connects and logs in, runs the job and ends; every failure ends as a
// status code (getStatus), never as an exception to the host.
#pragma once

#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "newupdatesystem/Common/AsyncTCP.h"
#include "newupdatesystem/Common/BasicThread.h"
#include "newupdatesystem/Common/ChangeList.h"
#include "newupdatesystem/Common/FileList.h"
#include "newupdatesystem/Common/FileListSync.h"
#include "newupdatesystem/Common/ProtoThread.h"
#include "newupdatesystem/Common/TransferThrottle.h"
#include "newupdatesystem/client/SelfUpdateScript.h"
#include "newupdatesystem/client/UpdClient.h"

class CChunkSources;
class CDataFile;
class CFileReplacer;
class CReleaseCheck;
class CWriteBehind;

// The one place that turns the exception family into UpdStatus codes.
UpdStatus statusForProtoExcep(int32_t code);
UpdStatus statusForSocketExcep(int32_t code, int32_t socketError);
UpdStatus statusForSystemExcep(int32_t code);

class CUpdateClient : public IUpdateClient, public CProtoThread
{
public:
    static constexpr int kSourceRevision = 4103;
    // A broken frame or chunk makes the worker run the whole job again on the
    // same connection; a server that keeps sending them would hold the client
    // forever, so the job runs at most this often.
    static constexpr unsigned kMaxJobRuns = 8;
    static constexpr unsigned kMaxEchoes = 1024;
    static constexpr unsigned kSelfUpdateFolderTries = 1024;

    CUpdateClient(const char* host, unsigned port, const char* listFileName);
    ~CUpdateClient() override;

    // IUpdateClient, in slot order.
    void release() override;
    void setCallback(IUpdateCallback* callback) override;
    void setCheckMode(int mode) override;
    void setLogin(const char* login, const char* password) override;
    void setCommand(const char* command) override;
    bool isCommandDone() override;
    int getEchoCount() override;
    const char* getEcho(unsigned index) override;
    const char* findEcho(const char* text) override;
    const char* findEchoPrefix(const char* prefix) override;
    void setUpdateJob(const char* localDir, const char* serverListCache) override;
    void setRecheckList(const char* itemListText) override;
    void setFullCheck(bool full) override;
    void setUploadJob(const char* localDir) override;
    void setSelfUpdateJob(const char* realm) override;
    const char* getSelfUpdateBatch() override;
    int start() override;
    bool wait(double seconds) override;
    void stop() override;
    int getStatus() override;
    void addExclusions(const char* itemListText) override;
    void setRateLimit(unsigned long long bytesPerSecond) override;
    void setStreaming(bool enabled) override;
    void setTlsTrust(const char* trustFile) override;
    void setTrustKey(const char* publicKeyFile) override;
    bool getJobInfo(UpdJobInfo* info) override;

protected:
    // For tests: a shorter I/O time-out than the protocol's 30 seconds.
    CUpdateClient(const char* host, unsigned port, const char* listFileName, double ioTimeout);
    // For tests: the rate limit's clock and sleeper; before start only.
    void setThrottleTime(CTransferThrottle::Clock clock, CTransferThrottle::Sleeper sleeper);

    // The worker's course.
    void onStart() override;
    void onSystemExcep(const CSystemExcep& e) override;
    bool protoHandshake() override;
    bool protoProcess() override { return runJob(); }
    void onProtoExcep(const CProtoExcep& e) override;
    void onSocketExcep(const CSocketExcep& e) override;
    void onTraffic(uint32_t sent, uint32_t received) override;

    // Job loop (UpdateClient.cpp), connection (UpdateClientLogin.cpp).
    bool runJob();
    void connect();
    void setStatus(UpdStatus code);
    void emitEvent(int event, const char* text = nullptr, float value = 0.0f);

    // Update run (UpdateClientRun.cpp).
    void syncLocalList();
    // The server keeps its lists and patterns ("list", "ignore", "self_upd")
    // apart from the installation's files.
    enum class ServerFile : uint32_t
    {
        Special,
        Installed,
    };
    void getFile(ServerFile which, const char* name, CDataFile& out);
    void getFileList(CFileList& list, const char* name, const char* cachePath);
    void compareWithServer(ChangeList& toTake, ChangeList& toGive);
    // With itemFailures set (the update), a file that cannot be fetched,
    // checked or written is reported and passed over; otherwise (the
    // self-update) the failure ends the job.
    void downloadFiles(const ChangeList& items, const char* folder);
    // Puts a downloaded file in place once its size and checksum match the
    // item's; Z_CORRUPTED, with the old file untouched, when they do not.
    void saveDownload(const std::string& path, const CDataFile& data, const FileChange& item);
    // Asks for the streaming transfer when the server offered it, and with it
    // (without waiting for its answer) for the lists the job starts with.
    void negotiateStream(uint32_t serverVersion);
    // With a TLS trust file: moves the session into TLS after the opening
    // (UpdateClientTls.cpp), or refuses a server that cannot, with PROTO_TLS.
    void openPrivateChannel(uint32_t serverVersion);
    // Takes the answers to the lists asked for with the streaming transfer;
    // getFile and getFileList then use them instead of asking.
    void receiveStreamedLists();
    // The item through the streaming transfer, written as it arrives and put
    // in place like saveDownload.
    // requested: the request went out ahead (requestAhead).
    void streamDownload(const std::string& path, const FileChange& item, bool requested);
    // Sends the requests of the small files from index on, up to a bounded
    // number and size, so that they arrive without a round trip each; true
    // when the item at index is among those requested.
    bool requestAhead(std::list<FileChange>::const_iterator at, std::list<FileChange>::const_iterator end);
    // PatchDownload.cpp: builds the item from the chunks of the old file at
    // path and the missing ranges; false, with nothing sent, when it is not
    // to be patched (patchable), or when the server has no index for it.
    bool patchDownload(const std::string& path, const FileChange& item);
    // Whether the item is patched: the server serves indexes, the file is
    // large enough, and an old version lies in the download folder.
    bool patchable(const FileChange& item) const;
    // Files the update deletes (toGive): a file new at its place may take
    // chunks from them, a renamed one all of them.
    void choosePatchDonors(const ChangeList& toGive);
    // Puts the file in place if it matches the item, as commitDownload
    // without the log line; may run on the write-behind thread.
    static void commitChecked(CFileReplacer& file, const FileChange& item, const uint8_t* digest = nullptr);
    // digest: of the content, where it was computed beside the file.
    void commitDownload(CFileReplacer& file, const FileChange& item, const uint8_t* digest = nullptr);
    // Reports the files the write-behind thread could not put in place, as a
    // download's own failure would be.
    void reportWritten();
    // Progress in the middle of a large file: fileBytes of it are in.
    void progressWithin(uint64_t fileBytes);
    void runUpdate();
    // The parts of interrupted downloads that the scan found go, but for
    // those of continued's files (UpdateClientSpace.cpp).
    void removeLeftoverParts(const ChangeList* continued);
    // Throws FILE_WRITE (ENOSPC) when the disk lacks the room the files to
    // take need; the parts of earlier downloads then go too.
    enum class DiskUse
    {
        ReplacesFiles, // each file takes the place of the installed one
        AddsFiles,     // the files come beside the installed ones (self-update)
    };
    void checkDiskSpace(const ChangeList& toTake, DiskUse use = DiskUse::ReplacesFiles);
    // Throws PROTO_PROTO for any item path that could leave the folder.
    void checkServerPaths(const ChangeList& items, NameOrigin origin = NameOrigin::Server);
    // Clears a local file where the server has a folder, or a local folder
    // where it has a file, from disk and from the local list.
    void removeConflicts(const ChangeList& toTake, const ChangeList& toGive);
    // Creates the folders of the update; one that cannot be made is reported
    // and the items below it are passed over.
    void createUpdateFolders(const ChangeList& toTake);
    // One item of the update failed: logged by name, remembered so that the
    // items below it are passed over and the list keeps its old state, and
    // the job ends with the first failure's status.
    void itemFailed(const char* path, const CSystemExcep& e);
    // Keeps the first failure's kind and path for getJobInfo (UpdateClientInfo.cpp).
    void noteFailure(const CSystemExcep& e);
    void noteDownloadSize(uint64_t bytes);
    void noteSpaceShort(uint64_t needed, uint64_t available);
    // After a run that ran out of room: the parts of its downloads go, the disk is full.
    void removePartsOf(const ChangeList& items);
    // The path or a folder above it has failed.
    bool isBlocked(const char* path) const;
    // The status the job ends with: UPD_OK, or that of the first failed item.
    UpdStatus finalStatus() const { return m_itemStatus; }

    // Self-update (UpdateClientSelf.cpp).
    void selfUpdate();
    void getSelfUpdateList(ChangeList& out);

    // Control session (UpdateClientCtrl.cpp).
    void execCommand(const char* text);
    void runUpload();

    // Signed releases (UpdateClientTrust.cpp): with a trusted key, the
    // server must offer them, and the manifest is asked for with the lists.
    void requireSignedRelease(uint32_t serverVersion);
    // Verifies the manifest that came with the streamed lists.
    void acceptRelease();
    std::string trustStatePath() const { return m_listFileName + ".trust"; }

    bool isFullCheck() const { return m_checkMode == CHECK_FULL; }
    uint32_t serverCompareMode() const;

    std::string m_host;
    uint32_t m_port;
    UpdJob m_job = JOB_NONE;
    CheckMode m_checkMode = CHECK_NORMAL;
    std::string m_login;
    std::string m_password;
    std::string m_command;
    bool m_commandDone = false;
    // A deque: the pointers handed to the host stay valid while lines are added.
    std::deque<std::string> m_echoes;
    std::string m_localDir;
    std::string m_listFileName;
    std::string m_serverListCache;
    CFileListSync m_localList;
    CFileList m_serverList;
    ChangeList m_exclusions;
    std::string m_selfUpdateBatch;
    std::string m_recheckText;
    std::string m_realm;
    UpdStatus m_status = UPD_INTERNAL_ERROR;
    IUpdateCallback* m_callback = nullptr;
    CCritSection m_lock;
    CWinSockInit m_winsock;

private:
    void init();
    // Refuses a job setter once the worker runs: it reads the configuration
    // without the lock.
    bool refuseAfterStart(const char* what);

    bool m_started = false;
    UpdJobInfo m_info{}; // under m_lock
    unsigned m_jobRuns = 0;
    bool m_itemFailures = false;
    std::set<std::string> m_failedItems;
    UpdStatus m_itemStatus = UPD_OK;
    bool m_streamWanted = true;
    std::string m_tlsTrust; // empty: sessions in clear
    bool m_streamAgreed = false;
    uint32_t m_streamWindow = 0;
    bool m_indexOffered = false;                      // the server serves chunk indexes
    std::string m_downloadFolder;                     // of the files downloadFiles takes
    std::vector<std::string> m_donorPaths;            // by choosePatchDonors
    std::shared_ptr<CChunkSources> m_donors;          // their chunks, cut on first use
    size_t m_streamAhead = 0;                         // items after the current one already requested
    std::list<FileChange>::const_iterator m_aheadEnd; // the first item after them
    uint64_t m_aheadBytes = 0;                        // their bytes
    CWriteBehind* m_writeBehind = nullptr;            // while streamed files are downloaded
    uint64_t m_progressDone = 0;                      // bytes of the files before the current one
    uint64_t m_progressTotal = 0;                     // of all the files to download
    std::vector<std::string> m_listsRequested;        // by negotiateStream, answers not yet read
    bool m_listChecksumAsked = false;                 // "GetS list" went out before them
    bool m_listCacheCurrent = false;                  // and matched the kept copy of "list"
    std::map<std::string, std::vector<uint8_t>> m_streamedLists; // read, not yet used
    // Received bytes pass through it; reported to the host as they pass.
    std::unique_ptr<CTransferThrottle> m_throttle = std::make_unique<CTransferThrottle>();
    std::string m_trustKeyFile;
    // With a trusted key, from the negotiation on; read by the write-behind
    // thread once the lists are checked.
    std::shared_ptr<CReleaseCheck> m_release;
};
