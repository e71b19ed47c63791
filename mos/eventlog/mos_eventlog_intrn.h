// Event log internals: the pool records, the log's process-wide state and the rotation thread.
// Only the event log's own files and its tests include this header.
#pragma once

#include <sqlite3.h>

#include "mos/eventlog/mos_eventlog.h"
#include "mos/mos_dlist.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_osthrd.h"
#include "mos/usr/linux/mos_condvar.h"

// Lock classes of the event log.
constexpr MosContentionId MOS_EVENTLOG__CONTENTION_QUEUE = 70;
constexpr MosContentionId MOS_EVENTLOG__CONTENTION_ROTATE = 71;
// Lock ranks: the rotation lock is never held with the queue lock.
constexpr UINT32 MOS_EVENTLOG__QUEUE_LOCK_RANK = 3;
constexpr UINT32 MOS_EVENTLOG__ROTATE_LOCK_RANK = 2;

// How long a statement waits for a database that another process (the rotation script) holds
// before the round gives up and keeps its events for the next one.
constexpr int MOS_EVENTLOG__BUSY_TIMEOUT_MILLIS = 30000;
constexpr UINT64 MOS_EVENTLOG__ROTATE_PERIOD_MILLIS = 600000;

// One pool slot. Texts are NUL-terminated and cut to fit.
struct EventRecord {
    UINT32 eventTypeId;
    UINT32 severity;
    char timestamp[MOS_EVENTLOG__TIMESTAMP_LEN];
    char machineName[MOS_EVENTLOG__MACHINE_NAME_LEN];
    char message[MOS_EVENTLOG__MESSAGE_LEN];
    char moreInfo[MOS_EVENTLOG__MORE_INFO_LEN];
    MosDList_Node queueNode; // on the free or the posted queue, or on the writer's round
};

struct EventLog {
    EventRecord *eventRecs; // the pool
    UINT32 numEventRecs;
    // Posts enter at the head, the writer takes from the tail: events reach the database in
    // posting order. Free records leave from the tail and come back at the head.
    MosDList_Anchor postedEventsQueue;
    MosDList_Anchor freeEventsQueue;
    MosFastlock_Base queueLock;    // guards both queues and the counters below
    MosOsw_CondVar postedCondVar;  // wakes the writer
    char machineName[MOS_EVENTLOG__MACHINE_NAME_LEN];
    char fileName[MOS_EVENTLOG__FILENAME_LEN];
    MosOsThrd writerThrd;
    MosOsw_CondVar dumpCondVar;    // a writer round ended
    BOOL bStopWriter;
    UINT64 numRounds;
    UINT32 numInFlight; // taken by the writer's current round, not yet committed or returned
    BOOL bStalled;      // the last round found events and stored none (the database refuses)
    // Owned by the writer thread.
    sqlite3 *pDb;
    sqlite3_stmt *pInsertStmt;
    BOOL bSimulation; // events are dropped for the rest of the process
};

struct MosEventLogRotateLayer {
    char eventLogFileName[MOS_EVENTLOG__FILENAME_LEN];
    char cmdToExecute[MOS_EVENTLOG__ROTATE_CMD_LEN]; // the command as traced
    // The same command as separate words: the script runs without a shell.
    char scriptPath[MOS_EVENTLOG__ROTATE_CMD_LEN];
    char confDirArg[MOS_EVENTLOG__ROTATE_CMD_LEN];
    char dbFileArg[MOS_EVENTLOG__ROTATE_CMD_LEN];
    MosOsThrd rotateThrd;
    MosOsw_CondVar condVar;
    MosFastlock_Base lock;
    BOOL bInit;
    BOOL bStop;
};

// snprintf for texts that are cut to their fields on purpose (no truncation warning).
void mosEventLog_Print(char *pBuf, size_t size, const char *pFormat, ...) __attribute__((format(printf, 3, 4)));

extern EventLog eventLog_G;
extern MosEventLogRotateLayer eventLogRotate_G;
extern MosEventlogConfig eventLogConfig_G;

// Rotation: builds the command from the paths and starts its thread; stops and joins it.
Mos_RC mosEventLog_InitRotate(const char *pFilename, const char *pLogPath, const char *pBinPath, const char *pCfgPath);
void mosEventLog_DestroyRotate(void);
// Runs the rotation command once; its result.
Mos_RC mosEventLog_RunRotateCmd(void);

// The database: open and prepare, close, and rename aside then open afresh.
Mos_RC mosEventLog_InitDB(BOOL *pbCorrupt);
void mosEventLog_CloseDB(void);
Mos_RC mosEventLog_RenameDbAndReInit(void);
