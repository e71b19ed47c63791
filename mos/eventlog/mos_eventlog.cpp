#include "mos/eventlog/mos_eventlog.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/time.h>

#include "mos/eventlog/mos_eventlog_intrn.h"
#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "mos/usr/mos_net.h"
#include "mos/usr/mos_rsyslog.h"

const char *const mosSeverityNames[mosSeverity_Last + 1] = {"Undefined", "Info",     "Warning",
                                                            "Error",     "Critical", "Last"};

EventLog eventLog_G;
MosEventlogConfig eventLogConfig_G = {"eventlog.db", 1000, 1, 1000, TRUE, 50, TRUE};

namespace {

BOOL bIsInitialized_G = FALSE;

MosConfEntry g_eventLogConfEntries[MOS_EVENTLOG__NUM_CONF_KEYS] = {
    mosConf_StringEntry("eventlog_filename", eventLogConfig_G.filename, "eventlog.db", MOS_EVENTLOG__FILENAME_LEN),
    mosConf_IntEntry("eventlog_queue_size", &eventLogConfig_G.queueSize, 1, 10000, 1, 1000),
    mosConf_IntEntry("eventlog_writer_sleep_sec", &eventLogConfig_G.writerSleepTimeSec, 1, 10000, 1, 1),
    mosConf_IntEntry("eventlog_events_per_burst", &eventLogConfig_G.eventsPerBurst, 100, 1000000, 1, 1000),
    mosConf_BoolEntry("eventlog_dump_events", &eventLogConfig_G.bDumpEvents, TRUE),
    mosConf_IntEntry("eventlog_dump_events_wait_milli", &eventLogConfig_G.milliToDumpEvents, 0, 10000, 1, 50),
    mosConf_BoolEntry("eventlog_rotate_with_python", &eventLogConfig_G.rotateWithPython, TRUE),
};

constexpr const char *kCreateEventsTable =
    " CREATE TABLE IF NOT EXISTS myEvents  (        EventID         INTEGER  PRIMARY KEY AUTOINCREMENT,"
    "         MachineName     TEXT     NOT NULL ,        TimeStamp       DATETIME NOT NULL ,"
    "        EventTypeID     INTEGER  NOT NULL ,        Severity        INTEGER  NOT NULL ,"
    "        Message         TEXT     NOT NULL ,        MoreInfo        TEXT                 )       ";
constexpr const char *kCreateTypesTable =
    " CREATE TABLE IF NOT EXISTS eventTypes  (        EventTypeID   INTEGER  PRIMARY KEY,"
    "        EventTypeCode TEXT     NOT NULL,           Severity      INTEGER  NOT NULL,"
    "           EventScope    INTEGER  NOT NULL      )        ";
constexpr const char *kInsertEvent = " INSERT INTO myEvents  (MachineName, TimeStamp, EventTypeID, Severity, Message, "
                                     "MoreInfo)  VALUES ( ?1, ?2, ?3, ?4, ?5, ?6) ";

// Copies src into a fixed field, cut to fit and always terminated.
template <size_t N> void mosEventLog_CopyText(char (&dst)[N], const char *pSrc)
{
    mosEventLog_Print(dst, N, "%s", pSrc != nullptr ? pSrc : "");
}

// SQLite reports damage to the file itself with these two codes; only then is the file
// renamed aside. Everything else (a full disk, a lock held too long) is worth a retry.
BOOL mosEventLog_IsCorrupt(int sqlRc)
{
    const int primary = sqlRc & 0xFF;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

// ---------------------------------------------------------------------------------------------
// The database.

Mos_RC mosEventLog_Exec(const char *pSql, const char *pWhat, BOOL *pbCorrupt)
{
    char *pErr = nullptr;
    int rc = sqlite3_exec(eventLog_G.pDb, pSql, nullptr, nullptr, &pErr);
    if (rc == SQLITE_OK)
        return MOS_RC__SUCCESS;
    MOS_TRACE(MOS_COMP_EVENTLOG, MOS_FREQ_LOW, "Failed to %s. SQL Error: %s\n", pWhat, pErr != nullptr ? pErr : "");
    sqlite3_free(pErr);
    *pbCorrupt = *pbCorrupt || mosEventLog_IsCorrupt(sqlite3_extended_errcode(eventLog_G.pDb));
    return MOS_RC__ERROR;
}

void mosEventLog_FillTypesTable(void)
{
    for (UINT32 type = 0; type < MOS_EVENT__NUM_OF_TYPES; type++) {
        if (!mosEvent_IsKnownType(type))
            continue;
        char sql[256];
        snprintf(sql, sizeof(sql), "INSERT INTO eventTypes VALUES(%d, '%s', %d, %d);", (int)type, mosEvent_Names[type],
                 (int)mosEvent_Severities[type], (int)mosEvent_Scopes[type]);
        // A reopened database already has its rows; the duplicate inserts fail harmlessly.
        sqlite3_exec(eventLog_G.pDb, sql, nullptr, nullptr, nullptr);
    }
}

// Read by a flush under the queue lock, so set under it.
void mosEventLog_EnterSimulation(void)
{
    MosFastlockGuard guard(&eventLog_G.queueLock);
    eventLog_G.bSimulation = TRUE;
}

} // namespace

void mosEventLog_CloseDB(void)
{
    if (eventLog_G.pInsertStmt != nullptr)
        sqlite3_finalize(eventLog_G.pInsertStmt);
    if (eventLog_G.pDb != nullptr)
        sqlite3_close(eventLog_G.pDb);
    eventLog_G.pInsertStmt = nullptr;
    eventLog_G.pDb = nullptr;
}

Mos_RC mosEventLog_InitDB(BOOL *pbCorrupt)
{
    *pbCorrupt = FALSE;
    if (sqlite3_open(eventLog_G.fileName, &eventLog_G.pDb) != SQLITE_OK) {
        MOS_TRACE(MOS_COMP_EVENTLOG, MOS_FREQ_LOW, "Failed to open DB file %s. Error: %s.", eventLog_G.fileName,
                  eventLog_G.pDb != nullptr ? sqlite3_errmsg(eventLog_G.pDb) : "out of memory");
        mosEventLog_CloseDB();
        return MOS_RC__ERROR;
    }
    // The rotation script works on the same file: wait for it rather than call its lock damage.
    sqlite3_busy_timeout(eventLog_G.pDb, MOS_EVENTLOG__BUSY_TIMEOUT_MILLIS);
    Mos_RC rc = mosEventLog_Exec("PRAGMA cache_size=200", "set cache_size", pbCorrupt);
    if (rc != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_EVENTLOG, MOS_FREQ_LOW, "Failed to configure the DB. Error=%d", rc);
        mosEventLog_CloseDB();
        return rc;
    }
    rc = mosEventLog_Exec(kCreateEventsTable, "create table", pbCorrupt);
    if (rc == MOS_RC__SUCCESS)
        rc = mosEventLog_Exec(kCreateTypesTable, "create table", pbCorrupt);
    if (rc != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_EVENTLOG, MOS_FREQ_LOW, "Failed to create the EventLog table. Error=%d", rc);
        mosEventLog_CloseDB();
        return rc;
    }
    mosEventLog_FillTypesTable();
    int sqlRc = sqlite3_prepare_v2(eventLog_G.pDb, kInsertEvent, -1, &eventLog_G.pInsertStmt, nullptr);
    if (sqlRc != SQLITE_OK) {
        MOS_TRACE(MOS_COMP_EVENTLOG, MOS_FREQ_LOW, "Failed to prepare the Insert statement. Error: %d", sqlRc);
        MOS_TRACE(MOS_COMP_EVENTLOG, MOS_FREQ_LOW, "Failed to prepare insert statement. Error=%d", MOS_RC__ERROR);
        *pbCorrupt = mosEventLog_IsCorrupt(sqlite3_extended_errcode(eventLog_G.pDb));
        mosEventLog_CloseDB();
        return MOS_RC__ERROR;
    }
    MOS_TRACE(MOS_COMP_EVENTLOG, MOS_FREQ_LOW, "After Eventlog DB initialized, sqlite uses %f KB",
              (double)sqlite3_memory_used() / 1024);
    return MOS_RC__SUCCESS;
}

Mos_RC mosEventLog_RenameDbAndReInit(void)
{
    mosEventLog_CloseDB();
    char stamp[MOS_EVENTLOG__TIMESTAMP_LEN];
    mosEventLog_GetTimestampNow(stamp);
    for (char *p = stamp; *p != '\0'; p++)
        if (*p == ' ' || *p == '-' || *p == '.' || *p == ':')
            *p = '_';
    char newName[MOS_EVENTLOG__FILENAME_LEN + MOS_EVENTLOG__TIMESTAMP_LEN + 1];
    mosEventLog_Print(newName, sizeof(newName), "%s_%s", eventLog_G.fileName, stamp);
    if (rename(eventLog_G.fileName, newName) != 0) {
        MOS_TRACE(MOS_COMP_EVENTLOG, MOS_FREQ_LOW,
                  "Failed to rename the eventlog DB file (%s). Eventlog will work in simulation mode.",
                  eventLog_G.fileName);
        mosEventLog_EnterSimulation();
        return MOS_RC__ERROR;
    }
    MOS_TRACE(MOS_COMP_EVENTLOG, MOS_FREQ_HIGH, "The Events DB renamed to %s", newName);
    BOOL bCorrupt = FALSE;
    if (mosEventLog_InitDB(&bCorrupt) != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_EVENTLOG, MOS_FREQ_LOW,
                  "Failed to initialize eventlog DB for the second time.Event log will work in simulation mode.");
        mosEventLog_EnterSimulation();
        return MOS_RC__ERROR;
    }
    return MOS_RC__SUCCESS;
}

namespace {

// ---------------------------------------------------------------------------------------------
// The writer.

Mos_RC mosEventLog_BindRecord(const EventRecord *pRec)
{
    sqlite3_stmt *pStmt = eventLog_G.pInsertStmt;
    struct Bind {
        int rc;
        const char *pWhat;
    } binds[] = {
        {sqlite3_bind_text(pStmt, 1, pRec->machineName, -1, SQLITE_STATIC), "MachineName parameter"},
        {sqlite3_bind_text(pStmt, 2, pRec->timestamp, -1, SQLITE_STATIC), "timestamp parameter"},
        {sqlite3_bind_int(pStmt, 3, (int)pRec->eventTypeId), "eventTypeId parameter"},
        {sqlite3_bind_int(pStmt, 4, (int)pRec->severity), "Severity parameter"},
        {sqlite3_bind_text(pStmt, 5, pRec->message, -1, SQLITE_STATIC), "'message' parameter"},
        {sqlite3_bind_text(pStmt, 6, pRec->moreInfo, -1, SQLITE_STATIC), "'moreInfo' parameter"},
    };
    for (const Bind &b : binds) {
        if (b.rc != SQLITE_OK) {
            MOS_TRACE(MOS_COMP_EVENTLOG, MOS_FREQ_LOW, "Failed to bind %s. Error=%d", b.pWhat, b.rc);
            MOS_TRACE(MOS_COMP_EVENTLOG, MOS_FREQ_LOW, "Failed to bind parameters. Error: %d", b.rc);
            return MOS_RC__ERROR;
        }
    }
    return MOS_RC__SUCCESS;
}

// Takes the oldest posted record onto the round's list (oldest first), or null.
EventRecord *mosEventLog_TakeOldestPosted(MosDList_Anchor *pRound)
{
    MosFastlockGuard guard(&eventLog_G.queueLock);
    if (MOS_DLIST__IS_EMPTY(&eventLog_G.postedEventsQueue))
        return nullptr;
    MosDList_Node *pNode = eventLog_G.postedEventsQueue.pLast;
    mosDList_Remove(&eventLog_G.postedEventsQueue, pNode);
    mosDList_InsertTail(pRound, pNode);
    eventLog_G.numInFlight++;
    return MOS_CONTAINER_OF(pNode, EventRecord, queueNode);
}

// Ends a round: committed records go back to the free pool; those of a failed round return to
// the oldest end of the posted queue in their order, to be written by a later round.
void mosEventLog_EndRound(MosDList_Anchor *pRound, BOOL bCommitted)
{
    MosFastlockGuard guard(&eventLog_G.queueLock);
    eventLog_G.numInFlight -= pRound->counter;
    while (!MOS_DLIST__IS_EMPTY(pRound)) {
        MosDList_Node *pNode = bCommitted ? mosDList_RemoveHead(pRound) : pRound->pLast;
        if (!bCommitted) {
            mosDList_Remove(pRound, pNode);
            mosDList_InsertTail(&eventLog_G.postedEventsQueue, pNode);
        } else {
            mosDList_InsertHead(&eventLog_G.freeEventsQueue, pNode);
        }
    }
}

// One round: up to eventsPerBurst records in one exclusive transaction. Returns how many were
// stored.
UINT32 mosEventLog_WriteRound(void)
{
    sqlite3 *pDb = eventLog_G.pDb;
    sqlite3_stmt *pStmt = eventLog_G.pInsertStmt;
    if (sqlite3_exec(pDb, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr) != SQLITE_OK) {
        const int err = sqlite3_extended_errcode(pDb);
        MOS_TRACE(MOS_COMP_EVENTLOG, MOS_FREQ_LOW, "Failed to begin transaction. Error %d, message: %s", err,
                  sqlite3_errmsg(pDb));
        if (mosEventLog_IsCorrupt(err))
            mosEventLog_RenameDbAndReInit();
        return 0;
    }
    MosDList_Anchor round;
    mosDList_InitAnchor(&round);
    BOOL bFailed = FALSE;
    int failRc = SQLITE_OK;
    for (UINT64 i = 0; i < eventLogConfig_G.eventsPerBurst; i++) {
        EventRecord *pRec = mosEventLog_TakeOldestPosted(&round);
        if (pRec == nullptr)
            break;
        if (mosEventLog_BindRecord(pRec) != MOS_RC__SUCCESS) {
            bFailed = TRUE;
        } else if (sqlite3_step(pStmt) != SQLITE_DONE) {
            MOS_TRACE(MOS_COMP_EVENTLOG, MOS_FREQ_LOW, "Failed to add an event. Error: %s", sqlite3_errmsg(pDb));
            bFailed = TRUE;
        }
        if (bFailed)
            failRc = sqlite3_extended_errcode(pDb);
        sqlite3_reset(pStmt);
        sqlite3_clear_bindings(pStmt);
        if (bFailed)
            break;
    }
    // A failed round is still committed as far as it got: the events before the failure are kept.
    BOOL bCommitted = sqlite3_exec(pDb, "COMMIT TRANSACTION", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!bCommitted) {
        failRc = sqlite3_extended_errcode(pDb);
        MOS_TRACE(MOS_COMP_EVENTLOG, MOS_FREQ_LOW, "Failed to commit transaction. Error %d, message: %s", failRc,
                  sqlite3_errmsg(pDb));
        sqlite3_exec(pDb, "ROLLBACK TRANSACTION", nullptr, nullptr, nullptr);
    }
    UINT32 numStored = bCommitted ? round.counter - (bFailed ? 1 : 0) : 0;
    if (bFailed && bCommitted) {
        // The failing record is the round's last: only it goes back to be retried.
        MosDList_Anchor failed;
        mosDList_InitAnchor(&failed);
        MosDList_Node *pLast = round.pLast;
        mosDList_Remove(&round, pLast);
        mosDList_InsertTail(&failed, pLast);
        mosEventLog_EndRound(&round, TRUE);
        mosEventLog_EndRound(&failed, FALSE);
    } else {
        mosEventLog_EndRound(&round, bCommitted);
    }
    if ((bFailed || !bCommitted) && mosEventLog_IsCorrupt(failRc))
        mosEventLog_RenameDbAndReInit();
    return numStored;
}

// Without a database every posted record goes straight back to the pool. Returns how many.
UINT32 mosEventLog_DropPosted(void)
{
    MOS_TRACE(MOS_COMP_EVENTLOG, MOS_FREQ_LOW, "Event Logger works in simulation mode, probably failed to initialize.");
    MosFastlockGuard guard(&eventLog_G.queueLock);
    UINT32 numDropped = 0;
    for (; !MOS_DLIST__IS_EMPTY(&eventLog_G.postedEventsQueue); numDropped++) {
        MosDList_Node *pNode = mosDList_RemoveHead(&eventLog_G.postedEventsQueue);
        mosDList_InsertHead(&eventLog_G.freeEventsQueue, pNode);
    }
    return numDropped;
}

void mosEventLog_OpenOrSimulate(void)
{
    BOOL bCorrupt = FALSE;
    Mos_RC rc = mosEventLog_InitDB(&bCorrupt);
    if (rc == MOS_RC__SUCCESS)
        return;
    MOS_TRACE(MOS_COMP_EVENTLOG, MOS_FREQ_LOW, "Failed to initialize eventlog DB. Will retry. Error: %d", rc);
    if (bCorrupt) {
        mosEventLog_RenameDbAndReInit();
        return;
    }
    // A file that cannot be opened (no directory, no permission) is not damaged: it stays as
    // it is and the log drops its events.
    if (mosEventLog_InitDB(&bCorrupt) != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_EVENTLOG, MOS_FREQ_LOW,
                  "Failed to initialize eventlog DB for the second time.Event log will work in simulation mode.");
        mosEventLog_EnterSimulation();
    }
}

void mosEventLog_WriterThreadFunc(void *pArg)
{
    MOS_UNUSED(pArg);
    mosEventLog_OpenOrSimulate();
    for (;;) {
        UINT32 numPosted;
        BOOL bStop;
        {
            MosFastlockGuard guard(&eventLog_G.queueLock);
            numPosted = eventLog_G.postedEventsQueue.counter;
            bStop = eventLog_G.bStopWriter;
        }
        UINT32 numDone = 0;
        if (numPosted != 0)
            numDone = eventLog_G.bSimulation ? mosEventLog_DropPosted() : mosEventLog_WriteRound();
        MosFastlockGuard guard(&eventLog_G.queueLock);
        const UINT32 numLeft = eventLog_G.postedEventsQueue.counter;
        // A round that stored nothing (the database refused) is not repeated at once, and a
        // waiting flush is told so that it does not wait for ever.
        eventLog_G.bStalled = numPosted != 0 && numDone == 0;
        eventLog_G.numRounds++;
        mosOSWCond_Broadcast(&eventLog_G.dumpCondVar);
        if (bStop && (numLeft == 0 || eventLog_G.bStalled))
            break;
        // A backlog beyond one burst is written at once; otherwise wait for a post.
        if ((numLeft == 0 || eventLog_G.bStalled) && !eventLog_G.bStopWriter)
            mosOSWCond_TimedWait(&eventLog_G.postedCondVar, &eventLog_G.queueLock,
                                 eventLogConfig_G.writerSleepTimeSec * 1000);
    }
    mosEventLog_CloseDB();
}

// ---------------------------------------------------------------------------------------------
// Posting.

Mos_RC mosEventLog_PostInternal(UINT32 eventType, const char *pMessage, const char *pMoreInfo)
{
    const MosSeverity severity = mosEvent_Severities[eventType];
    if (!bIsInitialized_G) {
        MOS_TRACE(MOS_COMP_EVENTLOG, MOS_FREQ_LOW,
                  "New event traced. Message: \"%s\". Additional info: \"%s\" Severity: %s", pMessage, pMoreInfo,
                  mosSeverityNames[severity]);
        return MOS_RC__SUCCESS;
    }
    EventRecord *pRec = nullptr;
    {
        MosFastlockGuard guard(&eventLog_G.queueLock);
        if (!MOS_DLIST__IS_EMPTY(&eventLog_G.freeEventsQueue)) {
            MosDList_Node *pNode = eventLog_G.freeEventsQueue.pLast;
            mosDList_Remove(&eventLog_G.freeEventsQueue, pNode);
            pRec = MOS_CONTAINER_OF(pNode, EventRecord, queueNode);
        }
    }
    if (pRec == nullptr) {
        MOS_TRACE(MOS_COMP_EVENTLOG, MOS_FREQ_LOW,
                  "New event arrived, but was not writted, since the queue is full. EventType: %d; Message: "
                  "\"%s\". Additional info: \"%s\" Severity: %s",
                  (int)eventType, pMessage, pMoreInfo, mosSeverityNames[severity]);
        return MOS_RC__NO_RESOURCES;
    }
    pRec->eventTypeId = eventType;
    pRec->severity = severity;
    mosEventLog_CopyText(pRec->message, pMessage);
    mosEventLog_CopyText(pRec->moreInfo, pMoreInfo);
    mosEventLog_CopyText(pRec->machineName, eventLog_G.machineName);
    mosEventLog_GetTimestampNow(pRec->timestamp);
    mosRSyslog_PostMore(eventType, severity, mosEvent_bIsConfArr[eventType], pRec->message, pRec->moreInfo);
    {
        MosFastlockGuard guard(&eventLog_G.queueLock);
        mosDList_InsertHead(&eventLog_G.postedEventsQueue, &pRec->queueNode);
        mosOSWCond_Signal(&eventLog_G.postedCondVar);
    }
    MOS_TRACE(MOS_COMP_EVENTLOG, MOS_FREQ_LOW, "New event added. Message: \"%s\". Additional info: \"%s\" Severity: %s",
              pMessage, pMoreInfo, mosSeverityNames[severity]);
    return MOS_RC__SUCCESS;
}

Mos_RC mosEventLog_RefuseUnknown(UINT32 eventType)
{
    MOS_TRACE(MOS_COMP_EVENTLOG, MOS_FREQ_LOW, "ERROR: Unknown event type %u, the event is not posted", eventType);
    return MOS_RC__INVALID;
}

} // namespace

void mosEventLog_Print(char *pBuf, size_t size, const char *pFormat, ...)
{
    va_list args;
    va_start(args, pFormat);
    vsnprintf(pBuf, size, pFormat, args);
    va_end(args);
}

void mosEventlog_GetConfVec(MosConfEntry **ppVec, UINT32 *pVecSize)
{
    *ppVec = g_eventLogConfEntries;
    *pVecSize = MOS_EVENTLOG__NUM_CONF_KEYS;
}

Mos_RC mosEventLog_GetTimestampNow(char *out)
{
    timeval now;
    gettimeofday(&now, nullptr);
    tm local;
    localtime_r(&now.tv_sec, &local);
    mosEventLog_Print(out, MOS_EVENTLOG__TIMESTAMP_LEN, "%04d-%02d-%02d %02d:%02d:%02d.%06d", local.tm_year + 1900,
             local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, (int)now.tv_usec);
    return MOS_RC__SUCCESS;
}

Mos_RC mosEvent_Post(UINT32 eventType, ...)
{
    if (!mosEvent_IsKnownType(eventType))
        return mosEventLog_RefuseUnknown(eventType);
    char message[MOS_EVENTLOG__MESSAGE_LEN];
    va_list args;
    va_start(args, eventType);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    vsnprintf(message, sizeof(message), mosEvent_Messages[eventType], args);
#pragma GCC diagnostic pop
    va_end(args);
    return mosEventLog_PostInternal(eventType, message, "");
}

Mos_RC mosEvent_PostMore(UINT32 eventType, const char *moreInfoFormat, ...)
{
    if (!mosEvent_IsKnownType(eventType))
        return mosEventLog_RefuseUnknown(eventType);
    // One format for both texts, so that the arguments are taken in one pass; BEL separates them.
    char format[MOS_EVENTLOG__MESSAGE_LEN + MOS_EVENTLOG__MORE_INFO_LEN];
    mosEventLog_Print(format, sizeof(format), "%s\a%s", mosEvent_Messages[eventType],
             moreInfoFormat != nullptr ? moreInfoFormat : "");
    char whole[MOS_EVENTLOG__MESSAGE_LEN + MOS_EVENTLOG__MORE_INFO_LEN];
    va_list args;
    va_start(args, moreInfoFormat);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    vsnprintf(whole, sizeof(whole), format, args);
#pragma GCC diagnostic pop
    va_end(args);
    char *pBel = strchr(whole, '\a');
    const char *pMoreInfo = "";
    if (pBel != nullptr) {
        *pBel = '\0';
        pMoreInfo = pBel + 1;
    }
    return mosEventLog_PostInternal(eventType, whole, pMoreInfo);
}

Mos_RC mosEventLog_Init(const char *pLogPath, const char *pBinPath, const char *pCfgPath)
{
    MOS_ASSERT(pLogPath != nullptr);
    MOS_ASSERT(!bIsInitialized_G);
    memset(&eventLog_G, 0, sizeof(eventLog_G));
    mosEventLog_Print(eventLog_G.fileName, sizeof(eventLog_G.fileName), "%s/%s", pLogPath, eventLogConfig_G.filename);
    if (mosNet_GetHostName(eventLog_G.machineName, sizeof(eventLog_G.machineName)) != MOS_RC__SUCCESS)
        MOS_TRACE(MOS_COMP_EVENTLOG, MOS_FREQ_LOW, "Error getting hostname. Error=%d", errno);
    mosOSWCond_Init(&eventLog_G.postedCondVar);
    mosOSWCond_Init(&eventLog_G.dumpCondVar);
    // Waited on with OS condition variables, so always an adaptive lock.
    MOS_FASTLOCK_CREATE_ADAPTIVE(&eventLog_G.queueLock, MOS_EVENTLOG__CONTENTION_QUEUE);
    mosDList_InitAnchor(&eventLog_G.postedEventsQueue);
    mosDList_InitAnchor(&eventLog_G.freeEventsQueue);
    eventLog_G.numEventRecs = (UINT32)eventLogConfig_G.queueSize;
    eventLog_G.eventRecs = (EventRecord *)calloc(eventLog_G.numEventRecs, sizeof(EventRecord));
    MOS_ASSERT(eventLog_G.eventRecs != nullptr);
    for (UINT32 i = 0; i < eventLog_G.numEventRecs; i++) {
        mosDList_InitNode(&eventLog_G.eventRecs[i].queueNode);
        mosDList_InsertTail(&eventLog_G.freeEventsQueue, &eventLog_G.eventRecs[i].queueNode);
    }
    Mos_RC rc = mosOsThrd_CreateNamed(&eventLog_G.writerThrd, mosEventLog_WriterThreadFunc, nullptr, "eventlog writer");
    if (rc != MOS_RC__SUCCESS) {
        free(eventLog_G.eventRecs);
        mosFastlockBase_Destroy(&eventLog_G.queueLock);
        mosOSWCond_Destroy(&eventLog_G.postedCondVar);
        mosOSWCond_Destroy(&eventLog_G.dumpCondVar);
        return rc;
    }
    bIsInitialized_G = TRUE;
    mosDbg_SetEventlogDumpHook(mosEventlog_DumpNow);
    rc = mosEventLog_InitRotate(eventLog_G.fileName, pLogPath, pBinPath, pCfgPath);
    if (rc != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_EVENTLOG, MOS_FREQ_LOW, "Failed stating mosEventLog_InitRotate=%d", rc);
        return rc;
    }
    return MOS_RC__SUCCESS;
}

void mosEventLog_Destroy(void)
{
    if (!bIsInitialized_G)
        return;
    mosEventLog_DestroyRotate();
    mosDbg_SetEventlogDumpHook(nullptr);
    {
        MosFastlockGuard guard(&eventLog_G.queueLock);
        eventLog_G.bStopWriter = TRUE;
        mosOSWCond_Signal(&eventLog_G.postedCondVar);
    }
    mosOsThrd_Destroy(&eventLog_G.writerThrd);
    bIsInitialized_G = FALSE;
    free(eventLog_G.eventRecs);
    eventLog_G.eventRecs = nullptr;
    mosFastlockBase_Destroy(&eventLog_G.queueLock);
    mosOSWCond_Destroy(&eventLog_G.postedCondVar);
    mosOSWCond_Destroy(&eventLog_G.dumpCondVar);
}

void mosEventlog_DumpNow(void)
{
    if (!bIsInitialized_G || !eventLogConfig_G.bDumpEvents)
        return;
    // The writer itself, or a thread that panicked holding the queue lock, would wait for ever.
    if (mosOsThrd_EqualCurr(&eventLog_G.writerThrd) || mosFastlockBase_IsLockedByCurrentThread(&eventLog_G.queueLock))
        return;
    const UINT64 limit = eventLogConfig_G.milliToDumpEvents;
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    MosFastlockGuard guard(&eventLog_G.queueLock);
    // One round writes at most a burst: wait for rounds until nothing is queued or in flight, or
    // until a round that started after this call stored nothing.
    const UINT64 firstRound = eventLog_G.numRounds + 1;
    while (eventLog_G.postedEventsQueue.counter + eventLog_G.numInFlight != 0 && !eventLog_G.bSimulation) {
        if (eventLog_G.bStalled && eventLog_G.numRounds > firstRound) {
            MOS_TRACE(MOS_COMP_EVENTLOG, MOS_FREQ_LOW, "The database refuses events; %u are not flushed",
                      eventLog_G.postedEventsQueue.counter + eventLog_G.numInFlight);
            break;
        }
        mosOSWCond_Signal(&eventLog_G.postedCondVar);
        if (limit == 0) {
            mosOSWCond_Wait(&eventLog_G.dumpCondVar, &eventLog_G.queueLock);
            continue;
        }
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const INT64 spent = (INT64)(now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (spent >= (INT64)limit ||
            mosOSWCond_TimedWait(&eventLog_G.dumpCondVar, &eventLog_G.queueLock, limit - (UINT64)spent) ==
                MOS_RC__TIMEOUT)
            break;
    }
}
