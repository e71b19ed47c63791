// The devices found on the machine: a map from device id to path, rebuilt by reading the header of
// every block device, so that the management side can name a device by id even after the
// operating system gave it another path.
//
// Header reads run in user-mode threads of their own, one per path at a time: every request for
// a path joins the waiters of that path's record, and the one read hands its result to all of
// them. A result is written to a waiter and a waiter withdraws its result only under the record's
// fast lock, and the waiter's semaphore is raised under that lock too, so a waiter that gave up
// (its time ran out) is never written after it has withdrawn.
//
// A reload holds the map's write lock while it waits for the reads (at most
// tgt_dev__read_id_threashold ms); lookups take the read side. Reads that do not finish in time
// leave their devices out of this reload; the read itself goes on and its record takes requests
// again once it has ended.
//
// Device paths come from the partition list (PELLAR_PARTITION_FILE, else /proc/partitions) as
// "/dev/<name>". phyDevMap_SetDevDir replaces "/dev/" by another directory, so that tests can
// offer plain files as devices.
//
// Destroy waits for header reads still running; it must not run while a reload or a lookup does.
#pragma once

#include "mos/mos_ds_hash.h"
#include "mos/mos_fastlock.h"
#include "mos/umt/mos_umt_rwlock.h"
#include "mos/umt/mos_umt_semaphore.h"
#include "mos/usr/mos_async_io.h"
#include "tgt/cont/cont_obj.h"
#include "tgt/phy/phy_layout.h"

struct Cont;

#define PHY_DEV_MAP__NUM_OF_BUCKETS 64u
#define PHY_DEV_MAP__PATH_LEN 64u
#define PHY_DEV_MAP__DEV_DIR "/dev/"

struct PhyDevMap_DevRecord {
    MosHash_Record hashRecord;
    TgtDevId devId;
    char path[PHY_DEV_MAP__PATH_LEN];
};

struct PhyDevPath_Record;

// One request for the id of one path.
struct PhyDevPath_Result {
    char path[PHY_DEV_MAP__PATH_LEN];
    MosUmt_Sem *pSem;
    const GenericFilter *pFilter;
    Mos_RC rc;
    TgtDevId devId;
    TgtId tgtId;
    BOOL bAllocated;
    BOOL bDone; // the read's result was written here
    // On its record's waiter list (under the record's lock).
    PhyDevPath_Record *pRecord;
    PhyDevPath_Result *pNextWaiter;
    PhyDevPath_Result *pPrevWaiter;
    PhyDevPath_Result *pGatherNext; // the reload's own list of its requests
};

struct PhyDevMap;

// One path being read (or read before), kept in devPathHash.
struct PhyDevPath_Record {
    MosHash_Record hashRecord;
    char path[PHY_DEV_MAP__PATH_LEN];
    Cont *pCont;
    PhyDevMap *pDevMap;
    Mos_RC rc;
    TgtDevId devId;
    TgtId tgtId;
    MosFastlock_Base fastlock;
    PhyDevPath_Result *pFirstWaiter;
    UINT32 status; // 1 while a read of the path runs
    UINT64 startUsec;
    UINT64 endUsec;
};
static_assert(sizeof(PhyDevPath_Record) <= 248);

struct PhyDevMap {
    MosHash devHash;
    MosHash devPathHash;
    MosUmt_RWLock rwLock;
    MosFastlock_Base pathLock; // serialises finding or creating a path's record
    MosAsyncIO *pAsyncIO;      // header reads go through it
    BOOL bTimedWaitAvailable;  // timers serve user-mode threads: wait with a timed semaphore
    UINT32 runningReads;       // atomic: header-read threads not yet ended
    BOOL bEnumActive;
    BOOL bInit;
};

// Where device nodes are looked for ("/dev/" when null); for tests.
void phyDevMap_SetDevDir(const char *pDir);

void phyDevMap_Init(PhyDevMap *pDevMap, MosAsyncIO *pAsyncIO);
void phyDevMap_Destroy(PhyDevMap *pDevMap);
void phyDevMap_CleanDb(PhyDevMap *pDevMap);
void phyDevMap_CleanPathHash(PhyDevMap *pDevMap);

// Rescans every block device (a filter may exclude some; its item count is set to the number of
// devices seen). MOS_RC__SUCCESS, or MOS_RC__ERROR when the device list cannot be read (the map
// is then unchanged).
Mos_RC phyDevMap_Reload(PhyDevMap *pDevMap, Cont *pCont, GenericFilter *pFilter);
// The id (and owner when pTgtId is not null) in the header of one path: the read's code, or
// MOS_RC__TIMEOUT when it did not end within the threshold (outputs untouched).
Mos_RC phyDevMap_ReadDevId(PhyDevMap *pDevMap, Cont *pCont, const char *pPath, TgtDevId *pDevId, TgtId *pTgtId);
void phyDevMap_ReadDevIdEx(PhyDevMap *pDevMap, Cont *pCont, PhyDevPath_Result *pResult, const char *pPath);
Mos_RC phyDevMap_ReloadSpecificPrepare(PhyDevMap *pDevMap, Cont *pCont, const char *pPath, TgtDevId *pDevId);
Mos_RC phyDevMap_ReloadSpecific(PhyDevMap *pDevMap, Cont *pCont, const char *pPath);
// Under the caller's write lock: MOS_RC__INVALID_DEV_ID for id 0; an id already present keeps
// its entry (MOS_RC__SUCCESS either way).
Mos_RC phyDevMap_ReloadSpecificUpdate(PhyDevMap *pDevMap, TgtDevId devId, const char *pPath);

// The path of a device id; *pCount is the length of the path.
BOOL phyDevMap_GetDevPath(PhyDevMap *pDevMap, TgtDevId devId, char *pPath, UINT32 *pCount);
// Iteration over the ids: the read lock is held from the start until the next call returns 0.
void phyDevMap_StartDevItr(PhyDevMap *pDevMap);
TgtDevId phyDevMap_GetNextDev(PhyDevMap *pDevMap);

void PhyDevPathResult_Init(PhyDevPath_Result *pResult, MosUmt_Sem *pSem, const GenericFilter *pFilter,
                           BOOL bAllocated);
// Withdraws the result from its record's waiters (if it is still there) and frees it when it was
// allocated.
void PhyDevPathResult_Destroy(PhyDevPath_Result *pResult);
// The polling wait for all of count units within thresholdMs.
Mos_RC phyDevMap_SemDecTimed(MosUmt_Sem *pSem, UINT32 count, UINT32 thresholdMs);
