#include "mos/usr/mos_rsyslog.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <sys/time.h>

#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "mos/sdbg/sdbg_exports.h"
#include "mos/usr/linux/mos_net.h"
#include "mos/usr/mos_net.h"
#include "mos/usr/mos_rsyslog_intrn.h"

const char *const g_rsyslogStateNames[MOS_RSYSLOG_STATE__LAST + 1] = {"INIT",    "STARTED",       "BEING_STARTED",
                                                                       "STOPPED", "BEING_STOPPED", "LAST"};

MosRSyslogLayer g_rsyslog;

namespace {

// Indexed by the event log's severity: Undefined, Info, Warning, Error, Critical.
constexpr UINT32 g_SyslogSeverity[] = {7, 6, 4, 3, 2};
constexpr UINT32 kSyslogNotice = 5;
constexpr UINT32 kMosSeverityInfo = 1;

pthread_once_t g_rsyslogOnce = PTHREAD_ONCE_INIT;

void mosRSyslog_OnceInit(void)
{
    memset(&g_rsyslog, 0, sizeof(g_rsyslog));
    MOS_FASTLOCK_CREATE(&g_rsyslog.lock, MOS_RSYSLOG__CONTENTION_LAYER);
}

// ---------------------------------------------------------------------------------------------
// The message text, formatted once per post.

struct MosRSyslog_Fields {
    UINT32 severity;
    tm local;
    int millis;
    char zoneSign;
    int zoneHours;
    int zoneMinutes;
};

MosRSyslog_Fields mosRSyslog_NowFields(UINT32 severity)
{
    MosRSyslog_Fields f{};
    f.severity = severity;
    timeval now;
    gettimeofday(&now, nullptr);
    localtime_r(&now.tv_sec, &f.local);
    f.millis = (int)(now.tv_usec / 1000);
    long offsetMinutes = f.local.tm_gmtoff / 60;
    f.zoneSign = offsetMinutes < 0 ? '-' : '+';
    offsetMinutes = labs(offsetMinutes) % 1440;
    f.zoneHours = (int)(offsetMinutes / 60);
    f.zoneMinutes = (int)(offsetMinutes % 60);
    return f;
}

// A line break inside a text would end the syslog line early and start a bogus one.
void mosRSyslog_CopyOneLine(char *pDst, size_t size, const char *pSrc)
{
    snprintf(pDst, size, "%s", pSrc != nullptr ? pSrc : "");
    for (char *p = pDst; *p != '\0'; p++)
        if (*p == '\r' || *p == '\n')
            *p = ' ';
}

void mosRSyslog_FormatText(char *pText, const MosRSyslog_Fields &f, const char *pInfo, const char *pMoreInfo,
                           const char *pEventCode)
{
    const size_t size = MOS_RSYSLOG__MAX_TEXT_LEN + 1;
    int n = snprintf(pText, size, "%s %.4d-%.2d-%.2dT%.2d:%.2d:%.2d.%3.3d%c%.2d:%.2d %s " MOS_RSYSLOG__APP_NAME
                     " - - - [%s %s%s]\n",
                     MOS_RSYSLOG__VERSION_STR, f.local.tm_year + 1900, f.local.tm_mon + 1, f.local.tm_mday,
                     f.local.tm_hour, f.local.tm_min, f.local.tm_sec, f.millis, f.zoneSign, f.zoneHours,
                     f.zoneMinutes, g_rsyslog.pMachineName, pInfo, pMoreInfo, pEventCode);
    // A line cut to fit still ends the frame, or the next message would be glued to it.
    if (n >= (int)size)
        pText[size - 2] = '\n';
}

void mosRSyslogQueue_GiveBack(MosRSyslogEventsQueue *pQueue, MosRemoteSyslogMsg *pMsg)
{
    mosMemPool_Free(&pQueue->eventsPool, pMsg);
}

// Queues the message while the queue is active (at the head for a resend, which goes first), else
// gives its block back.
void mosRSyslogQueue_PutOrGiveBack(MosRSyslogEventsQueue *pQueue, MosRemoteSyslogMsg *pMsg, BOOL bAtHead)
{
    {
        MosFastlockGuard guard(&pQueue->lock);
        if (pQueue->bActive) {
            if (bAtHead)
                mosDList_InsertHead(&pQueue->postedQueue, &pMsg->node);
            else
                mosDList_InsertTail(&pQueue->postedQueue, &pMsg->node);
            return;
        }
    }
    mosRSyslogQueue_GiveBack(pQueue, pMsg);
}

void mosRSyslogWriter_Signal(MosRSyslogWriter *pWriter)
{
    MosFastlockGuard guard(&pWriter->lock);
    pWriter->bSignaled = TRUE;
    mosOSWCond_Signal(&pWriter->condVar);
}

void mosRSyslogWriter_Enqueue(MosRSyslogWriter *pWriter, const MosRSyslog_Fields &f, const char *pInfo,
                              const char *pMoreInfo, const char *pEventCode)
{
    MosRSyslogEventsQueue *pQueue = &pWriter->queue;
    PVOID pBlock = nullptr;
    if (mosMemPool_AllocNoWait(&pQueue->eventsPool, &pBlock) != MOS_RC__SUCCESS) {
        MosFastlockGuard guard(&pQueue->lock);
        pQueue->overflowCounter++;
        return;
    }
    auto *pMsg = static_cast<MosRemoteSyslogMsg *>(pBlock);
    memset(pMsg, 0, sizeof(*pMsg));
    pMsg->severity = f.severity;
    mosRSyslog_FormatText(pMsg->buffer + MOS_RSYSLOG__EVENT_PRI_SIZE, f, pInfo, pMoreInfo, pEventCode);
    mosRSyslogQueue_PutOrGiveBack(pQueue, pMsg, FALSE);
    mosRSyslogWriter_Signal(pWriter);
}

// ---------------------------------------------------------------------------------------------
// The writer thread.

MosRSyslogState mosRSyslogWriter_State(MosRSyslogWriter *pWriter, BOOL *pbExit)
{
    MosFastlockGuard guard(&pWriter->lock);
    *pbExit = pWriter->bExit;
    return pWriter->state;
}

void mosRSyslogWriter_WaitForSignal(MosRSyslogWriter *pWriter)
{
    MosFastlockGuard guard(&pWriter->lock);
    while (!pWriter->bSignaled && !pWriter->bExit)
        mosOSWCond_Wait(&pWriter->condVar, &pWriter->lock);
    pWriter->bSignaled = FALSE;
}

// The pause between connection attempts; cut short by a state change or the module's end.
void mosRSyslogWriter_ReconnectPause(MosRSyslogWriter *pWriter)
{
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    const UINT64 pauseMillis = g_rsyslog.timeBetweenReconnectsInNanos / 1000000;
    MosFastlockGuard guard(&pWriter->lock);
    while (pWriter->state == MOS_RSYSLOG_STATE__STARTED && !pWriter->bExit) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const UINT64 spent = (UINT64)(now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (spent >= pauseMillis)
            break;
        mosOSWCond_TimedWait(&pWriter->condVar, &pWriter->lock, pauseMillis - spent);
    }
}

void mosRSyslogWriter_Disconnect(MosRSyslogWriter *pWriter)
{
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_MED, "Now disconnected from remote");
    osNet_Shutdown(pWriter->con.socket);
    osNet_Close(pWriter->con.socket);
    pWriter->con.socket = -1;
}

BOOL mosRSyslogWriter_Connect(MosRSyslogWriter *pWriter)
{
    MosRemoteSyslogCon *pCon = &pWriter->con;
    char hostName[MOS_RSYSLOG__HOST_NAME_LEN];
    UINT16 port;
    {
        MosFastlockGuard guard(&pWriter->lock);
        memcpy(hostName, pCon->hostName, sizeof(hostName));
        port = pCon->port;
    }
    if (netAddress_BuildFromNameString(&pCon->addr, hostName, port) != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Failed to resolve host %s, port %d", hostName, port);
        return FALSE;
    }
    SOCKET fd = -1;
    if (osNet_Socket(&fd, netAddress_AddressTypeToSocketType(netAddress_GetType(&pCon->addr))) != MOS_RC__SUCCESS) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to create a socket");
        return FALSE;
    }
    if (pCon->bTcpKeepaliveEnabled)
        osNet_SetSockOpt_KeepAlive(fd);
    if (!osNet_BlockConnect(fd, &pCon->addr, MOS_RSYSLOG__CONNECT_TIMEOUT_MILLIS)) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Failed to connect to host %s through port %d", hostName, port);
        osNet_Close(fd);
        return FALSE;
    }
    pCon->socket = fd;
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_MED, "Now connected to host %s through port %d (KA %s)", hostName, port,
              pCon->bTcpKeepaliveEnabled ? "enabled" : "disabled");
    return TRUE;
}

MosRemoteSyslogMsg *mosRSyslogQueue_TakeOldest(MosRSyslogEventsQueue *pQueue, UINT32 *pOverflows)
{
    MosFastlockGuard guard(&pQueue->lock);
    *pOverflows = pQueue->overflowCounter;
    pQueue->overflowCounter = 0;
    if (MOS_DLIST__IS_EMPTY(&pQueue->postedQueue))
        return nullptr;
    return MOS_CONTAINER_OF(mosDList_RemoveHead(&pQueue->postedQueue), MosRemoteSyslogMsg, node);
}

// Sends one message with its priority prefix; TRUE when the whole line went out.
BOOL mosRSyslogWriter_Send(MosRSyslogWriter *pWriter, MosRemoteSyslogMsg *pMsg)
{
    UINT32 facility;
    {
        MosFastlockGuard guard(&pWriter->lock);
        facility = pWriter->facility;
    }
    char prefix[MOS_RSYSLOG__EVENT_PRI_SIZE + 1];
    const int prefixLen = snprintf(prefix, sizeof(prefix), "<%u>", pMsg->severity + 8 * facility);
    char *pLine = pMsg->buffer + MOS_RSYSLOG__EVENT_PRI_SIZE - prefixLen;
    memcpy(pLine, prefix, (size_t)prefixLen);
    const size_t len = (size_t)prefixLen + strlen(pMsg->buffer + MOS_RSYSLOG__EVENT_PRI_SIZE);
    return osNet_SendFull(pWriter->con.socket, pLine, len) == MOS_RC__SUCCESS;
}

void mosRSyslogWriter_WriteLoop(MosRSyslogWriter *pWriter)
{
    MosRSyslogEventsQueue *pQueue = &pWriter->queue;
    BOOL bFailedBefore = FALSE;
    for (;;) {
        BOOL bExit;
        const BOOL bStarted = mosRSyslogWriter_State(pWriter, &bExit) == MOS_RSYSLOG_STATE__STARTED && !bExit;
        if (pWriter->con.socket == -1) {
            if (!bStarted)
                return;
            if (bFailedBefore)
                mosRSyslogWriter_ReconnectPause(pWriter);
            bFailedBefore = !mosRSyslogWriter_Connect(pWriter);
            continue;
        }
        UINT32 overflows = 0;
        MosRemoteSyslogMsg *pMsg = mosRSyslogQueue_TakeOldest(pQueue, &overflows);
        if (overflows != 0)
            MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Remote syslog writer %p threw %d messages due to lack of resources",
                      (void *)pWriter, (int)overflows);
        if (pMsg == nullptr) {
            if (!bStarted) {
                mosRSyslogWriter_Disconnect(pWriter);
                return;
            }
            mosRSyslogWriter_WaitForSignal(pWriter);
            continue;
        }
        if (mosRSyslogWriter_Send(pWriter, pMsg)) {
            MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_HIGH, "Writer %p posted: %s", (void *)pWriter,
                      pMsg->buffer + MOS_RSYSLOG__EVENT_PRI_SIZE);
            mosRSyslogQueue_GiveBack(pQueue, pMsg);
            continue;
        }
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_MED, "Writer %p failed to send a message, reconnecting", (void *)pWriter);
        // Sent first after reconnecting: events keep their order.
        mosRSyslogQueue_PutOrGiveBack(pQueue, pMsg, TRUE);
        mosRSyslogWriter_Disconnect(pWriter);
        bFailedBefore = TRUE;
    }
}

void mosRSyslogWriter_BeStarted(MosRSyslogWriter *pWriter)
{
    MosFastlockGuard guard(&pWriter->lock);
    MosRSyslogEventsQueue *pQueue = &pWriter->queue;
    if (!pQueue->bInflated) {
        Mos_RC rc = mosMemPool_Resize(&pQueue->eventsPool, pQueue->len);
        if (rc != MOS_RC__SUCCESS) {
            MOS_ERROR(MOS_COMP_MOS, "Writer %p has failed to inflate it's queue with rc %u. stopping", (void *)pWriter,
                      (unsigned)rc);
            pWriter->state = MOS_RSYSLOG_STATE__STOPPED;
            return;
        }
        pQueue->bInflated = TRUE;
    }
    {
        MosFastlockGuard queueGuard(&pQueue->lock);
        pQueue->bActive = TRUE;
    }
    pWriter->state = MOS_RSYSLOG_STATE__STARTED;
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_MED, "Writer %p is now started", (void *)pWriter);
}

void mosRSyslogWriter_ClearAddress(MosRemoteSyslogCon *pCon)
{
    netAddress_Init(&pCon->addr);
    netAddress_SetPort(&pCon->addr, MOS_RSYSLOG__DEFAULT_PORT);
}

void mosRSyslogWriter_BeStopped(MosRSyslogWriter *pWriter)
{
    MosFastlockGuard guard(&pWriter->lock);
    if (mosMemPool_Resize(&pWriter->queue.eventsPool, 1) != MOS_RC__SUCCESS)
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Failed to resize the queue, will remain inflated");
    else
        pWriter->queue.bInflated = FALSE;
    pWriter->state = MOS_RSYSLOG_STATE__STOPPED;
    mosRSyslogWriter_ClearAddress(&pWriter->con);
    pWriter->facility = MOS_RSYSLOG__DEFAULT_FACILITY;
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Writer %p is now stopped", (void *)pWriter);
}

void mosRSyslogWriter_DropQueued(MosRSyslogWriter *pWriter)
{
    MosDList_Anchor taken;
    {
        MosFastlockGuard guard(&pWriter->queue.lock);
        taken = pWriter->queue.postedQueue;
        mosDList_InitAnchor(&pWriter->queue.postedQueue);
    }
    for (UINT32 n = taken.counter; n > 0; n--)
        mosRSyslogQueue_GiveBack(&pWriter->queue,
                                 MOS_CONTAINER_OF(mosDList_RemoveHead(&taken), MosRemoteSyslogMsg, node));
}

void mosRSyslogWriter_Main(void *pArg)
{
    auto *pWriter = static_cast<MosRSyslogWriter *>(pArg);
    for (;;) {
        BOOL bExit;
        const MosRSyslogState state = mosRSyslogWriter_State(pWriter, &bExit);
        if (bExit)
            break;
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_HIGH, "writer %p is in %d state.", (void *)pWriter, (int)state);
        switch (state) {
        case MOS_RSYSLOG_STATE__INIT:
            mosRSyslogWriter_WaitForSignal(pWriter);
            break;
        case MOS_RSYSLOG_STATE__BEING_STARTED:
            mosRSyslogWriter_BeStarted(pWriter);
            break;
        case MOS_RSYSLOG_STATE__STARTED:
            mosRSyslogWriter_WriteLoop(pWriter);
            break;
        case MOS_RSYSLOG_STATE__BEING_STOPPED:
            mosRSyslogWriter_BeStopped(pWriter);
            break;
        case MOS_RSYSLOG_STATE__STOPPED:
            mosRSyslogWriter_DropQueued(pWriter);
            mosRSyslogWriter_WaitForSignal(pWriter);
            break;
        default:
            MOS_UNREACHABLE("unknown writer state");
        }
    }
    if (pWriter->con.socket != -1)
        mosRSyslogWriter_Disconnect(pWriter);
}

void mosRSyslogWriter_Init(MosRSyslogWriter *pWriter, UINT32 queueSize, BOOL bTcpKeepaliveEnabled)
{
    memset(pWriter, 0, sizeof(*pWriter));
    mosRSyslogWriter_ClearAddress(&pWriter->con);
    pWriter->con.socket = -1;
    pWriter->con.bTcpKeepaliveEnabled = bTcpKeepaliveEnabled;
    MosRSyslogEventsQueue *pQueue = &pWriter->queue;
    MOS_FASTLOCK_CREATE(&pQueue->lock, MOS_RSYSLOG__CONTENTION_QUEUE);
    pQueue->len = queueSize;
    mosMemPool_Create(&pQueue->eventsPool, sizeof(MosRemoteSyslogMsg), queueSize, 8);
    pQueue->bInflated = TRUE;
    pQueue->bActive = TRUE;
    mosDList_InitAnchor(&pQueue->postedQueue);
    MOS_FASTLOCK_CREATE_ADAPTIVE(&pWriter->lock, MOS_RSYSLOG__CONTENTION_WRITER);
    mosOSWCond_Init(&pWriter->condVar);
    pWriter->facility = MOS_RSYSLOG__DEFAULT_FACILITY;
    pWriter->state = MOS_RSYSLOG_STATE__INIT;
    const Mos_RC rc = mosOsThrd_CreateNamed(&pWriter->writerThrd, mosRSyslogWriter_Main, pWriter, "rsyslog writer");
    MOS_ASSERT_WITH_DESC(rc == MOS_RC__SUCCESS, "the writer thread did not start");
    if (g_rsyslog.bInRegistry)
        mosObjType_RegObj(&g_rsyslog.dbgWriterObjType, &pWriter->dbgObj, "rsyslog writer");
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_HIGH, "Writer %p is now initialized.", (void *)pWriter);
}

void mosRSyslog_AssertInitialized(void)
{
    MOS_ASSERT(g_rsyslog.bInitialized);
}

// The writer of a Start or Stop, or null (with an error line) for an index out of range.
MosRSyslogWriter *mosRSyslog_WriterOfIndex(UINT32 instanceIdx)
{
    mosRSyslog_AssertInitialized();
    if (instanceIdx >= g_rsyslog.numOfWriters) {
        MOS_ERROR(MOS_COMP_MOS, "instance index %u is out of bound, allowed %u", instanceIdx,
                  (unsigned)g_rsyslog.numOfWriters);
        return nullptr;
    }
    return &g_rsyslog.writersArr[instanceIdx];
}

void mosRSyslog_TraceTransition(MosRSyslogWriter *pWriter)
{
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Failed: writer %p is in transition state %d", (void *)pWriter,
              (int)pWriter->state);
}

} // namespace

UINT16 mosRSyslog_GetDefaultPort(void)
{
    return MOS_RSYSLOG__DEFAULT_PORT;
}

UINT8 mosRSyslog_GetDefaultFacility(void)
{
    return MOS_RSYSLOG__DEFAULT_FACILITY;
}

UINT32 mosRSyslog_GetInitialIp(void)
{
    return 0;
}

BOOL mosRSyslog_IsValidIp(UINT32 ipv4)
{
    return ipv4 != 0;
}

BOOL mosRSyslog_ValidateFacilityValue(UINT32 facility)
{
    return facility <= MOS_RSYSLOG__MAX_FACILITY;
}

UINT32 mosRSyslog_SyslogSeverity(UINT32 mosSeverity, BOOL bConf)
{
    if (bConf && mosSeverity <= kMosSeverityInfo)
        return kSyslogNotice;
    return mosSeverity < MOS_ARRAY_SIZE(g_SyslogSeverity) ? g_SyslogSeverity[mosSeverity] : g_SyslogSeverity[0];
}

MosRSyslogWriter *mosRSyslogWriter_Get(UINT32 writerIndex)
{
    MOS_ASSERT(writerIndex < MOS_RSYSLOG__MAX_WRITERS);
    return &g_rsyslog.writersArr[writerIndex];
}

void mosRSyslog_Init(UINT32 queueSize, UINT64 timeBetweenReconnectsInMillis, UINT32 numOfWriters,
                     BOOL bTcpKeepaliveEnabled)
{
    pthread_once(&g_rsyslogOnce, mosRSyslog_OnceInit);
    MOS_ASSERT(numOfWriters != 0);
    MosFastlockGuard guard(&g_rsyslog.lock);
    if (g_rsyslog.bInitialized) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Error: remote syslog module is already initialized");
        mosError_Do(MOS_COMP_MOS, MOS_FREQ_LOW, "%s:%05u: WARNING: Error: remote syslog module is already initialized\n",
                    __func__, (unsigned)__LINE__);
        return;
    }
    if (numOfWriters > MOS_RSYSLOG__MAX_WRITERS) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: given number of writers(%u)  exceeds limit(%u), overriding",
                  numOfWriters, MOS_RSYSLOG__MAX_WRITERS);
        mosError_Do(MOS_COMP_MOS, MOS_FREQ_LOW, "%s:%05u: WARNING: given number of writers(%u)  exceeds limit(%u), overriding\n",
                    __func__, (unsigned)__LINE__, numOfWriters, MOS_RSYSLOG__MAX_WRITERS);
        numOfWriters = MOS_RSYSLOG__MAX_WRITERS;
    }
    g_rsyslog.numOfWriters = (UINT8)numOfWriters;
    g_rsyslog.timeBetweenReconnectsInNanos = timeBetweenReconnectsInMillis * 1000000;
    if (mosNet_GetHostName(g_rsyslog.pMachineName, sizeof(g_rsyslog.pMachineName)) != MOS_RC__SUCCESS)
        snprintf(g_rsyslog.pMachineName, sizeof(g_rsyslog.pMachineName), "-");
    g_rsyslog.bInRegistry = mosObjLayer_IsRunning();
    if (g_rsyslog.bInRegistry)
        mosObjType_RegObjType(&g_rsyslog.dbgWriterObjType, mosRSyslogWriter_SdbgQueryFunc, nullptr,
                              SDBG_EXPORTS_OBJ_TYPE__RSYSLOG_WRITER, sizeof(MosRSyslogWriterQuery));
    for (UINT32 i = 0; i < numOfWriters; i++)
        mosRSyslogWriter_Init(&g_rsyslog.writersArr[i], queueSize, bTcpKeepaliveEnabled);
    g_rsyslog.bInitialized = TRUE;
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW,
              "The module is now initialized with %d sized queue, %lu millis reconnect time-out and %u writers. TCP "
              "keep-alive is %s.",
              (int)queueSize, (unsigned long)timeBetweenReconnectsInMillis, numOfWriters,
              bTcpKeepaliveEnabled ? "enabled" : "disabled");
}

void mosRSyslog_Destroy(void)
{
    pthread_once(&g_rsyslogOnce, mosRSyslog_OnceInit);
    MosFastlockGuard guard(&g_rsyslog.lock);
    if (!g_rsyslog.bInitialized)
        return;
    for (UINT32 i = 0; i < g_rsyslog.numOfWriters; i++) {
        MosRSyslogWriter *pWriter = &g_rsyslog.writersArr[i];
        {
            MosFastlockGuard writerGuard(&pWriter->lock);
            pWriter->bExit = TRUE;
            mosOSWCond_Signal(&pWriter->condVar);
        }
        mosOsThrd_Destroy(&pWriter->writerThrd);
        mosRSyslogWriter_DropQueued(pWriter);
        if (g_rsyslog.bInRegistry)
            mosObjType_UnregObj(&g_rsyslog.dbgWriterObjType, &pWriter->dbgObj);
        mosMemPool_Destroy(&pWriter->queue.eventsPool);
        mosFastlockBase_Destroy(&pWriter->queue.lock);
        mosFastlockBase_Destroy(&pWriter->lock);
        mosOSWCond_Destroy(&pWriter->condVar);
    }
    if (g_rsyslog.bInRegistry)
        mosObjType_UnregObjType(&g_rsyslog.dbgWriterObjType);
    g_rsyslog.bInitialized = FALSE;
    g_rsyslog.numOfWriters = 0;
}

Mos_RC mosRSyslog_Start(UINT32 instanceIdx, const char *hostName, UINT16 port, UINT8 facility, BOOL bAttachEventCode)
{
    MosRSyslogWriter *pWriter = mosRSyslog_WriterOfIndex(instanceIdx);
    if (pWriter == nullptr)
        return MOS_RC__INVALID;
    MosFastlockGuard guard(&pWriter->lock);
    switch (pWriter->state) {
    case MOS_RSYSLOG_STATE__INIT:
    case MOS_RSYSLOG_STATE__STOPPED:
        pWriter->state = MOS_RSYSLOG_STATE__BEING_STARTED;
        snprintf(pWriter->con.hostName, sizeof(pWriter->con.hostName), "%s", hostName != nullptr ? hostName : "");
        pWriter->con.port = port;
        pWriter->facility = mosRSyslog_ValidateFacilityValue(facility) ? facility : MOS_RSYSLOG__DEFAULT_FACILITY;
        pWriter->bAttachEventCode = bAttachEventCode;
        pWriter->bSignaled = TRUE;
        mosOSWCond_Signal(&pWriter->condVar);
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Writer %p is being started asynchronously", (void *)pWriter);
        return MOS_RC__SUCCESS;
    case MOS_RSYSLOG_STATE__STARTED:
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Writer %p is already in started state", (void *)pWriter);
        return MOS_RC__ALREADY_IN_START_STATE;
    default:
        mosRSyslog_TraceTransition(pWriter);
        return MOS_RC__REMOTE_SYSLOG_IS_BUSY;
    }
}

Mos_RC mosRSyslog_Stop(UINT32 instanceIdx)
{
    MosRSyslogWriter *pWriter = mosRSyslog_WriterOfIndex(instanceIdx);
    if (pWriter == nullptr)
        return MOS_RC__INVALID;
    MosFastlockGuard guard(&pWriter->lock);
    switch (pWriter->state) {
    case MOS_RSYSLOG_STATE__INIT:
    case MOS_RSYSLOG_STATE__STARTED: {
        pWriter->state = MOS_RSYSLOG_STATE__BEING_STOPPED;
        {
            MosFastlockGuard queueGuard(&pWriter->queue.lock);
            pWriter->queue.bActive = FALSE;
        }
        pWriter->bSignaled = TRUE;
        mosOSWCond_Signal(&pWriter->condVar);
        return MOS_RC__SUCCESS;
    }
    case MOS_RSYSLOG_STATE__STOPPED:
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Writer %p is already in stopped state", (void *)pWriter);
        return MOS_RC__ALREADY_IN_STOPPED_STATE;
    default:
        mosRSyslog_TraceTransition(pWriter);
        return MOS_RC__REMOTE_SYSLOG_IS_BUSY;
    }
}

void mosRSyslog_SetFacility(UINT32 instanceIdx, UINT32 facility)
{
    if (!mosRSyslog_ValidateFacilityValue(facility)) {
        MOS_ERROR(MOS_COMP_MOS, "Facility %u is out of bounds. setting to default", facility);
        facility = MOS_RSYSLOG__DEFAULT_FACILITY;
    }
    if (instanceIdx >= g_rsyslog.numOfWriters)
        return;
    MosRSyslogWriter *pWriter = mosRSyslogWriter_Get(instanceIdx);
    MosFastlockGuard guard(&pWriter->lock);
    pWriter->facility = (UINT8)facility;
}

void mosRSyslog_PostMore(UINT32 eventTypeId, UINT32 mosSeverity, BOOL bConf, const char *pInfo, const char *pMoreInfo)
{
    mosRSyslog_AssertInitialized();
    const MosRSyslog_Fields f = mosRSyslog_NowFields(mosRSyslog_SyslogSeverity(mosSeverity, bConf));
    char eventCode[32];
    snprintf(eventCode, sizeof(eventCode), "(EventCode %d)", (int)eventTypeId);
    char info[MOS_RSYSLOG__MAX_TEXT_LEN];
    char moreInfo[MOS_RSYSLOG__MAX_TEXT_LEN];
    mosRSyslog_CopyOneLine(info, sizeof(info), pInfo);
    mosRSyslog_CopyOneLine(moreInfo, sizeof(moreInfo), pMoreInfo);
    for (UINT32 i = 0; i < g_rsyslog.numOfWriters; i++) {
        MosRSyslogWriter *pWriter = &g_rsyslog.writersArr[i];
        BOOL bActive, bAttach;
        {
            MosFastlockGuard guard(&pWriter->queue.lock);
            bActive = pWriter->queue.bActive;
        }
        {
            MosFastlockGuard guard(&pWriter->lock);
            bAttach = pWriter->bAttachEventCode;
        }
        if (bActive)
            mosRSyslogWriter_Enqueue(pWriter, f, info, moreInfo, bAttach ? eventCode : "");
    }
}

void mosRSyslog_Post(UINT32 eventTypeId, UINT32 mosSeverity, BOOL bConf, const char *pMsg)
{
    mosRSyslog_PostMore(eventTypeId, mosSeverity, bConf, pMsg, nullptr);
}

UINT32 mosRSyslog_GetNumOfWriters(void)
{
    return g_rsyslog.numOfWriters;
}

void mosRSyslogWriter_QueryFunc(MosRSyslogWriterQuery *pQuery, UINT32 writerIdx, BOOL *pbConfigured)
{
    MosRSyslogWriter *pWriter = mosRSyslogWriter_Get(writerIdx);
    memset(pQuery, 0, sizeof(*pQuery));
    {
        MosFastlockGuard guard(&pWriter->queue.lock);
        pQuery->bQueueActive = pWriter->queue.bActive;
        pQuery->overflows = pWriter->queue.overflowCounter;
        pQuery->numOfEnqueued = pWriter->queue.postedQueue.counter;
    }
    MosFastlockGuard guard(&pWriter->lock);
    pQuery->bQueueInflated = pWriter->queue.bInflated;
    pQuery->queueLen = pWriter->queue.len;
    snprintf(pQuery->hostName, sizeof(pQuery->hostName), "%s", pWriter->con.hostName);
    netAddress_ToStrCopyBuf(&pWriter->con.addr, pQuery->resolvedHostName, sizeof(pQuery->resolvedHostName), FALSE);
    pQuery->port = pWriter->con.port;
    pQuery->socket = pWriter->con.socket;
    pQuery->pWriter = (UINT64)(uintptr_t)pWriter;
    snprintf(pQuery->state, sizeof(pQuery->state), "%s",
             pWriter->state <= MOS_RSYSLOG_STATE__BEING_STOPPED ? g_rsyslogStateNames[pWriter->state] : "UNKNOWN");
    pQuery->facility = pWriter->facility;
    pQuery->bSignaled = pWriter->bSignaled;
    pQuery->bAttachEventCode = pWriter->bAttachEventCode;
    if (pbConfigured != nullptr)
        *pbConfigured = pWriter->state == MOS_RSYSLOG_STATE__STARTED;
}

void mosRSyslogWriter_SdbgQueryFunc(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    MOS_UNUSED(pName);
    MosRSyslogWriter *pWriter = MOS_CONTAINER_OF(pObj, MosRSyslogWriter, dbgObj);
    mosRSyslogWriter_QueryFunc(static_cast<MosRSyslogWriterQuery *>(pData),
                               (UINT32)(pWriter - g_rsyslog.writersArr), nullptr);
}
