// CUpdateClient: construction, the host's operations and the worker's job loop.
#include "newupdatesystem/client/UpdateClient.h"
#include "newupdatesystem/client/ClientLock.h"

#include <cstring>
#include <new>

#include "newupdatesystem/Common/Log.h"

namespace
{

char upperAscii(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

UpdStatus statusForProtoExcep(int32_t code)
{
    switch (code)
    {
    case PROTO_TIMEOUT:
        return UPD_CONNECT_FAILED;
    case PROTO_VERSION:
        return UPD_PROTO_VERSION;
    case PROTO_ACCESS:
    case PROTO_AUTH:
    case PROTO_BUSY:
        return UPD_SERVER_REFUSED;
    case PROTO_TLS:
        return UPD_AUTH_FAILED;
    default:
        return UPD_PROTO_ERROR;
    }
}

UpdStatus statusForSocketExcep(int32_t code, int32_t socketError)
{
    constexpr int32_t kWsaeTimedOut = 10060;
    constexpr int32_t kWsaeConnRefused = 10061;
    if (code == NET_CONNECT || socketError == kWsaeTimedOut || socketError == kWsaeConnRefused)
        return UPD_CONNECT_FAILED;
    return UPD_NETWORK_ERROR;
}

UpdStatus statusForSystemExcep(int32_t code)
{
    switch (code)
    {
    case FILE_OPEN:
    case FILE_READ:
    case FILE_GET_ATTR:
    case FIND_FIRST:
        return UPD_READ_ERROR;
    case FILE_CREATE:
    case FILE_WRITE:
    case FILE_CLOSE:
    case DIR_CREATE:
        return UPD_WRITE_ERROR;
    case FILE_DELETE:
    case FILE_RENAME:
    case FILE_SET_ATTR:
    case FILE_SET_TIME:
    case DIR_DELETE:
    case HANDLE_CLOSE:
        return UPD_MODIFY_ERROR;
    case Z_OUT_OF_BUFFER:
    case Z_CORRUPTED:
        return UPD_DATA_CORRUPTED;
    default:
        return UPD_SYSTEM_ERROR;
    }
}

CUpdateClient::CUpdateClient(const char* host, unsigned port, const char* listFileName)
    : CProtoThread(), m_host(host ? host : ""), m_port(port), m_listFileName(listFileName ? listFileName : "")
{
    init();
}

CUpdateClient::CUpdateClient(const char* host, unsigned port, const char* listFileName, double ioTimeout)
    : CProtoThread(ioTimeout), m_host(host ? host : ""), m_port(port),
      m_listFileName(listFileName ? listFileName : "")
{
    init();
}

void CUpdateClient::init()
{
    logWarning("Update client source code revision is %i", kSourceRevision);
}

CUpdateClient::~CUpdateClient() = default;

void CUpdateClient::release()
{
    // Destroying a running worker would pull its object away under it: ask it
    // to stop and wait (it leaves at its next check point, at the latest one
    // I/O time-out later). A worker that was never started never runs.
    if (m_started && !Threading::CThread::wait(0))
    {
        setRunning(false);
        Threading::CThread::wait(-1.0);
    }
    delete this;
}

void CUpdateClient::setCallback(IUpdateCallback* cb)
{
    m_callback = cb;
}

void CUpdateClient::setCheckMode(int mode)
{
    CLocked hold(m_lock);
    m_checkMode = static_cast<CheckMode>(mode);
}

void CUpdateClient::setLogin(const char* name, const char* pass)
{
    CLocked hold(m_lock);
    m_login = name ? name : "";
    m_password = pass ? pass : "";
}

bool CUpdateClient::refuseAfterStart(const char* what)
{
    if (!m_started)
        return false;
    logWarning("Update client already started, %s ignored!", what);
    return true;
}

void CUpdateClient::setCommand(const char* text)
{
    CLocked hold(m_lock);
    if (refuseAfterStart("setCommand"))
        return;
    m_job = JOB_COMMAND;
    m_command = text ? text : "";
    m_echoes.clear();
    m_commandDone = false;
}

bool CUpdateClient::isCommandDone()
{
    CLocked hold(m_lock);
    return m_commandDone;
}

int CUpdateClient::getEchoCount()
{
    CLocked hold(m_lock);
    return static_cast<int>(m_echoes.size());
}

const char* CUpdateClient::getEcho(unsigned index)
{
    CLocked hold(m_lock);
    return index < m_echoes.size() ? m_echoes[index].c_str() : nullptr;
}

const char* CUpdateClient::findEcho(const char* text)
{
    if (!text)
        return nullptr;
    CLocked hold(m_lock);
    size_t length = std::strlen(text);
    for (const auto& line : m_echoes)
    {
        if (line.size() != length)
            continue;
        bool same = true;
        for (size_t i = 0; i < length && same; ++i)
            same = upperAscii(line[i]) == upperAscii(text[i]);
        if (same)
            return line.c_str();
    }
    return nullptr;
}

const char* CUpdateClient::findEchoPrefix(const char* prefix)
{
    if (!prefix)
        return nullptr;
    CLocked hold(m_lock);
    size_t length = std::strlen(prefix);
    for (const auto& line : m_echoes)
    {
        if (line.size() < length)
            continue;
        bool same = true;
        for (size_t i = 0; i < length && same; ++i)
            same = upperAscii(line[i]) == upperAscii(prefix[i]);
        if (same)
            return line.c_str();
    }
    return nullptr;
}

void CUpdateClient::setUpdateJob(const char* dir, const char* cache)
{
    CLocked hold(m_lock);
    if (refuseAfterStart("setUpdateJob"))
        return;
    m_job = JOB_UPDATE;
    m_localDir = dir ? dir : "";
    m_serverListCache = cache ? cache : "";
    m_localList.clear();
}

void CUpdateClient::setRecheckList(const char* text)
{
    CLocked hold(m_lock);
    m_recheckText = text ? text : "";
}

void CUpdateClient::setFullCheck(bool full)
{
    m_checkMode = full ? CHECK_FULL : CHECK_NORMAL;
}

void CUpdateClient::setUploadJob(const char* dir)
{
    CLocked hold(m_lock);
    if (refuseAfterStart("setUploadJob"))
        return;
    m_job = JOB_UPLOAD;
    m_localDir = dir ? dir : "";
    m_localList.clear();
}

void CUpdateClient::setSelfUpdateJob(const char* realmName)
{
    CLocked hold(m_lock);
    if (refuseAfterStart("setSelfUpdateJob"))
        return;
    m_job = JOB_SELF_UPDATE;
    m_localDir = ".";
    m_realm = realmName ? realmName : "";
    m_localList.clear();
}

const char* CUpdateClient::getSelfUpdateBatch()
{
    return m_selfUpdateBatch.empty() ? nullptr : m_selfUpdateBatch.c_str();
}

int CUpdateClient::start()
{
    m_started = true;
    return resume();
}

bool CUpdateClient::wait(double seconds)
{
    return Threading::CThread::wait(seconds);
}

void CUpdateClient::stop()
{
    setRunning(false);
}

int CUpdateClient::getStatus()
{
    CLocked hold(m_lock);
    return m_status;
}

void CUpdateClient::addExclusions(const char* text)
{
    if (!text)
        return;
    CLocked hold(m_lock);
    logInfo("Exclude directory name '%s'!", text);
    parseItemList(m_exclusions, text, 0);
}

void CUpdateClient::setRateLimit(unsigned long long bytesPerSecond)
{
    m_throttle->setRate(bytesPerSecond);
    if (m_throttle->rate() != bytesPerSecond)
        logWarning("Rate limit of %llu bytes/s taken as %llu!", bytesPerSecond,
                   static_cast<unsigned long long>(m_throttle->rate()));
    else if (bytesPerSecond != 0)
        logInfo("Rate limit %llu bytes/s", bytesPerSecond);
}

void CUpdateClient::setThrottleTime(CTransferThrottle::Clock clock, CTransferThrottle::Sleeper sleeper)
{
    uint64_t rate = m_throttle->rate();
    m_throttle = std::make_unique<CTransferThrottle>(std::move(clock), std::move(sleeper));
    m_throttle->setRate(rate);
}

void CUpdateClient::setStatus(UpdStatus code)
{
    CLocked hold(m_lock);
    m_status = code;
}

void CUpdateClient::emitEvent(int event, const char* text, float value)
{
    if (m_callback)
        m_callback->onUpdateEvent(event, text, value);
}

uint32_t CUpdateClient::serverCompareMode() const
{
    return m_checkMode == CHECK_BY_TIME ? CMP_SIZE | CMP_CHECKSUM | CMP_TIME : CMP_SIZE | CMP_CHECKSUM;
}

void CUpdateClient::onStart()
{
    emitEvent(UPD_EVENT_SCANNING);
    try
    {
        syncLocalList();
    }
    catch (const std::bad_alloc&)
    {
        // A list or file too large for memory: end as a failure, not an abort.
        logError("Out of memory!");
        setStatus(UPD_SYSTEM_ERROR);
        stopRun();
    }
    CProtoThread::onStart();
}

bool CUpdateClient::runJob()
{
    if (++m_jobRuns > kMaxJobRuns)
    {
        logError("Job failed %u times, giving up!", kMaxJobRuns);
        return false;
    }
    try
    {
        if (m_jobRuns > 1)
        {
            logInfo("Repeating the job, attempt %u...", m_jobRuns);
            // A streaming server may still be answering requests the failed
            // run sent ahead: the job starts again on a connection of its own.
            if (m_streamAgreed)
            {
                packetChannel().restart();
                if (!protoHandshake())
                    return false;
            }
        }
        switch (m_job)
        {
        case JOB_COMMAND:
            if (m_command.empty())
                break;
            execCommand(m_command.c_str());
            sendMsg(TAG_QUIT);
            setStatus(UPD_OK);
            return false;
        case JOB_UPDATE:
            if (m_listFileName.empty())
                break;
            runUpdate();
            sendMsg(TAG_QUIT);
            setStatus(finalStatus());
            return false;
        case JOB_UPLOAD:
            if (m_listFileName.empty())
                break;
            runUpload();
            sendMsg(TAG_QUIT);
            setStatus(UPD_OK);
            return false;
        case JOB_SELF_UPDATE:
            if (m_listFileName.empty())
                break;
            try
            {
                selfUpdate();
            }
            catch (const CUpdExcep&)
            {
                setStatus(UPD_INTERNAL_ERROR);
                return false;
            }
            sendMsg(TAG_QUIT);
            return false;
        default:
            break;
        }
    }
    catch (const std::bad_alloc&)
    {
        logError("Out of memory!");
        setStatus(UPD_SYSTEM_ERROR);
        return false;
    }
    logError("Client has nothing to do!");
    return false;
}

void CUpdateClient::onSystemExcep(const CSystemExcep& e)
{
    CProtoThread::onSystemExcep(e);
    noteFailure(e);
    setStatus(statusForSystemExcep(e.code));
}

void CUpdateClient::onProtoExcep(const CProtoExcep& e)
{
    CProtoThread::onProtoExcep(e);
    setStatus(statusForProtoExcep(e.code));
}

void CUpdateClient::onSocketExcep(const CSocketExcep& e)
{
    CProtoThread::onSocketExcep(e);
    setStatus(statusForSocketExcep(e.code, e.socketError));
}

// Every received packet passes here before it is answered: holding it back
// holds back the next one, as the server sends a chunk only after the
// acknowledgement of the last.
void CUpdateClient::onTraffic(uint32_t /*sent*/, uint32_t received)
{
    if (received == 0 || m_throttle->rate() == 0)
    {
        emitEvent(UPD_EVENT_TRAFFIC, nullptr, static_cast<float>(received));
        return;
    }
    m_throttle->pass(
        received, [this] { checkRun(); },
        [this](uint64_t bytes) { emitEvent(UPD_EVENT_TRAFFIC, nullptr, static_cast<float>(bytes)); });
}
