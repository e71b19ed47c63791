// Extent locks: two I/Os that touch the same part of one tooth of a comb never run their device and
// mirroring work together unless both only read, and whole-comb work can shut out every new writer
// (or every new reader and writer) of a comb.
//
// A tooth's 2048 LB are covered by L user-mode read-write locks (L = tgt_elock__lock_in_tooth, a
// power of two, 1 to 256), each guarding 2048 / L LB; a range takes the run of locks that covers
// it, in ascending index order, all shared or all exclusive. A range never crosses its tooth (a
// range that does is the caller's bug). Before any tooth lock an I/O holds its comb's gate of its
// kind shared: entireCombWLock for writes, entireCombRLock for reads; a whole-comb lock takes the
// gates exclusively.
//
// Memory. A comb holds nothing while idle: the first I/O takes the comb's tooth-pointer array from
// one pool and its tooth's lock array from another, and the last one gives them back. Both pools
// hold one block per user-mode thread of the process, so a thread can always hold one of each;
// free lock arrays are counted by elockSegSem and an I/O that finds none waits for one - with its
// comb's fast lock released: it waits, retakes the fast lock and looks again, since another I/O
// may have given its tooth a lock array meanwhile.
//
// Lock order: gate, then tooth locks in index order; extent locks before the comb's mirroring
// fast lock. eCombFastLock is never held across a wait.
#pragma once

#include "mos/mos_fastlock.h"
#include "mos/mos_mempool.h"
#include "mos/mos_rc.h"
#include "mos/mos_types.h"
#include "mos/umt/mos_umt_rwlock.h"
#include "mos/umt/mos_umt_semaphore.h"

#define ELOCK_TEETH_LOCK_ARR__MAGIC 0x12349876u
#define ELOCK__TOOTH_SIZE_IN_LBS 2048u
#define ELOCK__TEETH_IN_COMB 8192u
#define ELOCK__MIN_NUMBER_OF_LOCK_PER_TOOTH 1u
#define ELOCK__MIN_SIZE_COVERED_BY_ONE_LOCK 8u
#define ELOCK__MAX_NUMBER_OF_LOCK_PER_TOOTH (ELOCK__TOOTH_SIZE_IN_LBS / ELOCK__MIN_SIZE_COVERED_BY_ONE_LOCK)

// One tooth with I/O in progress; the locks follow the head in the same pool block.
struct ElockTeethLockArray {
    UINT64 poolWord; // the pool clears a block's first word on every allocation
    UINT32 magic;
    UINT32 usage; // I/Os of the comb holding or waiting for locks of this tooth
    MosUmt_RWLockArr rwLockArray;
};

struct Elock {
    MosUmt_Sem elockSegSem;            // free tooth lock arrays
    MosMemPool combTeethArrPtrPool;    // "Elock - teeth array - G1": 8192 pointers each
    MosMemPool teethLockArrPool;       // "Elock - rw lock array - G2"
    UINT32 locksInTooth;               // L
    UINT32 sizeCoveredByOneLock;       // ELOCK__SIZE_COVERED_BY_ONE_LOCK: 2048 / L
    UINT32 numOfBlocks;                // N: blocks of each pool
    BOOL bInitialized;
};

struct ElockQuery {
    UINT32 pendIos;
    UINT32 inProgIos;
    UINT32 ioCount;
    BOOL bAllCombLock;
};

struct ElockComb {
    MosUmt_RWLock entireCombRLock; // read gate
    MosUmt_RWLock entireCombWLock; // write gate
    MosFastlock_Base eCombFastLock;
    ElockQuery query;
    UINT32 ioInProgress;                  // I/Os holding or waiting for tooth locks
    ElockTeethLockArray **ppTeethLockArr; // null while no I/O is in progress
};

// The locks a range takes: tooth, and locks first to last of its array.
struct ElockRange {
    UINT32 toothInComb;
    UINT32 firstLock;
    UINT32 lastLock;
};

// TRUE for a lock count the locks can be built with: a power of two from 1 to 256.
BOOL elock_IsValidLocksInTooth(UINT64 locksInTooth);
// Builds the pools of numOfBlocks blocks each (the number of user-mode threads of the process) with
// L from tgt_elock__lock_in_tooth. MOS_RC__PARAMETER_OUT_OF_RANGE (and nothing built) when L is not
// a power of two from 1 to 256.
Mos_RC elock_Init(Elock *pElock, UINT32 numOfCombs, UINT32 numOfBlocks);
// Every comb must be idle.
void elock_Destroy(Elock *pElock);
// The locks of a range (see the header comment; a range of size 0 takes lock 0 of tooth 0). A range
// that crosses its tooth is a broken invariant.
ElockRange elock_GetRange(const Elock *pElock, UINT32 offsetInComb, UINT32 sizeInLbs);

void elockComb_Init(ElockComb *pComb);
// The comb must hold no lock memory.
void elockComb_Destroy(ElockComb *pComb);
// Must run on a user-mode thread; may wait on the gate, for a lock array and for the locks.
void elockComb_Lock(ElockComb *pComb, Elock *pElock, BOOL bWrite, UINT32 offsetInComb, UINT32 sizeInLbs);
void elockComb_Unlock(ElockComb *pComb, Elock *pElock, BOOL bWrite, UINT32 offsetInComb, UINT32 sizeInLbs);
// For a caller holding its whole tooth in mode bWrite: releases every lock of that tooth except
// those covering the range; the caller's last unlock is then of the range alone.
void elockComb_UnlockAllXcluding(ElockComb *pComb, Elock *pElock, BOOL bWrite, UINT32 offsetInComb,
                                 UINT32 sizeInLbs);
// bWrite 0: no new write starts and running writes are awaited; 1: no new read either.
void elockComb_LockAll(ElockComb *pComb, BOOL bWrite);
void elockComb_UnlockAll(ElockComb *pComb, BOOL bWrite);
void elockComb_Query(ElockComb *pComb, ElockQuery *pQuery);
// TRUE while the comb holds no lock memory.
BOOL elockComb_IsIdle(ElockComb *pComb);
