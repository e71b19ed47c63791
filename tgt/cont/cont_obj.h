// The registry of the controller's objects (peer servers, devices, volume trees, volumes, combs,
// heads, flash-cache devices): found by kind and 64-bit id, used from any thread through a counted
// acquire and release, added while others are in use, and removed only once the last user let go
// - without a global lock on the data path.
//
// One hash per kind, keyed by id, whose value is the object's embedded ContObjLock; 256 fast-lock
// stripes per kind (stripe = id & 0xFF) guard every lock record's usage, state and remover count.
//
// Lock rules (the order that keeps it deadlock-free):
// - A stripe is never held while an object's RW lock or its destroy semaphore is awaited: every
//   path counts itself in under the stripe, lets the stripe go, then waits. The count keeps the
//   object from being finished under the waiter.
// - Between contObj_AddStart returning null with MOS_RC__SUCCESS and contObj_AddSyncDone, the
//   stripe is held: the caller may only build memory there (no waits, no I/O).
// - Plain acquire only counts a user; the RW lock is the object's own lock for updates (write)
//   and long readers (read).
//
// Object states: FREE -> ADD_IN_PROG (add-sync-done) -> NORMAL (add-done) -> REM_IN_PROG (remove)
// -> FREE (the last remover). A remove marks the object REM_IN_PROG at once, so new plain
// acquires fail, and waits until every counted user has released it; of several removers only
// the last to wake unhashes the object and gets it back to free. The registry never frees
// objects.
//
// Rule violations by the server's own code (release without users, release of an unknown id, a
// second add of a registered id, add-done out of ADD_IN_PROG) are internal errors. An add that
// meets a remove in progress is not: a peer's timing can bring the two together, so it is answered
// with MOS_RC__RETRY.
#pragma once

#include "mos/mos_ds_hash.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_rc.h"
#include "mos/mos_types.h"
#include "mos/umt/mos_umt_rwlock.h"
#include "mos/umt/mos_umt_semaphore.h"

enum ContObjType : UINT32 {
    CONT_OBJ_TYPE__NONE = 0,
    CONT_OBJ_TYPE__OSTREL = 1,
    CONT_OBJ_TYPE__TGT = 2, // peer server
    CONT_OBJ_TYPE__DEV = 3,
    CONT_OBJ_TYPE__VTREE = 4,
    CONT_OBJ_TYPE__VOL = 5,
    CONT_OBJ_TYPE__COMB = 6,
    CONT_OBJ_TYPE__HEAD = 7,
    CONT_OBJ_TYPE__FLCACHE = 8,
    CONT_OBJ_TYPE__EXAMPLE = 9,
    CONT_OBJ_TYPE__END = 10,
};

enum ContObjLockState : UINT32 {
    CONT_OBJ_LOCK_STATE__FREE = 0,
    CONT_OBJ_LOCK_STATE__ADD_IN_PROG = 1,
    CONT_OBJ_LOCK_STATE__NORMAL = 2,
    CONT_OBJ_LOCK_STATE__REM_IN_PROG = 3,
};

#define CONT_OBJ__NUM_STRIPES 256u
#define CONT_OBJ__STRIPE_MASK 0xFFu
#define CONT_OBJ__HASH_NAME "cont_obj_hash"
#define CONT_OBJ__HASH_SIZE_DEFAULT 1024u // kinds 1-3 and 7-9
#define CONT_OBJ__HASH_SIZE_VTREE_VOL 65536u
#define CONT_OBJ__HASH_SIZE_COMB 32768u

// Embedded in every registered object.
struct ContObjLock {
    MosUmt_RWLock rwlock;   // the object lock
    MosUmt_Sem destroySem;  // removers wait here for the last user
    UINT32 usage;           // users counted in
    ContObjLockState state;
    void *pUnique;          // the object itself, what acquire returns
    UINT32 numOfDestroy;    // removers waiting
};

struct ContObjHash {
    UINT32 inUse;
    MosHash combHash; // id -> ContObjLock *
    MosFastlock_Base fastLockArray[CONT_OBJ__NUM_STRIPES];
};

struct ContObj {
    ContObjHash *pObjs; // index = kind, for kinds 0 to maxOfObjType
    ContObjType maxOfObjType;
};

// Builds the kinds firstObjType..lastObjType (first below last); kinds outside stay unbuilt.
void contObj_Init(ContObj *pObj, ContObjType firstObjType, ContObjType lastObjType);
// Tears the registry down; every object must have been removed.
void contObj_Destroy(ContObj *pObj);

// Returns the registered object, counted in by force (even while it is still being added) and
// with its lock held for writing: the caller updates it and calls contObj_ReleaseWriteLock
// (*pRc MOS_RC__SUCCESS). Returns null with *pRc MOS_RC__SUCCESS when the id is not registered -
// with the id's stripe STILL HELD: the caller builds its object without blocking and calls
// contObj_AddSyncDone next. Returns null with *pRc MOS_RC__RETRY, holding nothing, when the id is
// being removed: the add may be tried again once the removal has finished.
void *contObj_AddStart(ContObj *pObj, UINT64 objId, ContObjType objType, Mos_RC *pRc);
// Registers the object: its lock ADD_IN_PROG with the caller counted in and holding it for
// writing; releases the stripe that contObj_AddStart left held.
void contObj_AddSyncDone(ContObj *pObj, ContObjLock *pObjLock, UINT64 objId, ContObjType objType, void *pUnique,
                         MosHash_Record *pHashRecord);
// ADD_IN_PROG -> NORMAL, then as contObj_ReleaseWriteLock.
void contObj_AddDone(ContObj *pObj, ContObjLock *pObjLock, UINT64 objId, ContObjType objType);

// Counts a user in and returns the object; null when absent, being added or being removed.
void *contObj_Acquire(ContObj *pObj, UINT64 objId, ContObjType objType);
void contObj_Release(ContObj *pObj, UINT64 objId, ContObjType objType);

// Count in by force (also while being added; null when absent or being removed), then wait for
// the object lock. Must run on a uthread.
void *contObj_AcquireWriteLock(ContObj *pObj, UINT64 objId, ContObjType objType);
void *contObj_AcquireReadLock(ContObj *pObj, UINT64 objId, ContObjType objType);
void contObj_ReleaseWriteLock(ContObj *pObj, UINT64 objId, ContObjType objType);
void contObj_ReleaseReadLock(ContObj *pObj, UINT64 objId, ContObjType objType);

// Removes the id: waits (on a uthread) until every user released it. Returns the object to the
// remover that finishes the removal, null to the others and when the id is absent.
void *contObj_Rem(ContObj *pObj, UINT64 objId, ContObjType objType);

// A small filter record used when devices are scanned.
typedef BOOL (*GenericFilter_Func)(void *pContext, void *pItem);
struct GenericFilter {
    GenericFilter_Func pFilterFunc;
    void *pContext;
    UINT32 numOfItemsInFilter;
};

void genericFilter_Create(GenericFilter *pFilter, GenericFilter_Func pFilterFunc, void *pContext,
                          UINT32 numOfItemsInFilter);
BOOL genericFilter_Filter(const GenericFilter *pFilter, void *pItem);
UINT32 genericFilter_GetNumOfItemsInFilter(const GenericFilter *pFilter);
void genericFilter_SetNumOfItemsInFilter(GenericFilter *pFilter, UINT32 numOfItemsInFilter);
