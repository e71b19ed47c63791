// What the copy jobs share: one job's buffer, connection and pacing, and the copy of one range
// (read under its extent lock, sent to the partner as a copy write, paced by the partner's answer
// and the pool's limiters).
#pragma once

#include "mos/mos_limiter.h"
#include "mos/mos_ticks.h"
#include "mos/mos_trace.h"
#include "tgt/ioh/ioh_msg.h"
#include "tgt/raid/raid_comb_intrn.h"
#include "tgt/raid/raid_io.h"
#include "tgt/raid/raid_resync.h"

#define RAID_COPY__BUF_DATA_BYTES ((size_t)TOOTH_SIZE_LB * 512)
#define RAID_COPY__BUF_DIF_BYTES 4096u
#define RAID_COPY__LONG_TRACE_SECS 60u

// A range copy's outcome.
enum RaidCopyRc : UINT32 {
    RAID_COPY_RC__OK = 0,
    RAID_COPY_RC__READ_ERROR,   // the local copy could not be read
    RAID_COPY_RC__BLOCKED,      // the Ostrel's link is blocked
    RAID_COPY_RC__SEND_ERROR,   // the partner did not take the write
    RAID_COPY_RC__ABORTED,      // a limiter wait gave up for an abort
    RAID_COPY_RC__SKIPPED,      // the version is gone (freed meanwhile): nothing to copy
};

const CHAR_A *raidCopy_RcName(RaidCopyRc crc);

struct RaidCopyJob {
    Cont *pCont;
    RaidComb *pComb;
    RaidCombProt *pProt;
    TgtId remoteTgtId;
    RaidCon con;
    BOOL bConHeld;
    BOOL bT10Dif; // the comb keeps guards in memory: they travel with the data
    UINT8 *pBuf;  // 1 MB of data, then the guards
    MosLimiter jobLimiter;
    UINT64 copiedLbs;
    BOOL bReadError;
    MosTicks_Cnt startTick;
    UINT32 longTraces; // "long" traces written
    BOOL bNoPacing;    // the receiver of the copies paces them
    UINT32 partnerRebuildLimit; // LBs per second per job, from the partner's last answer
    UINT32 partnerRebalanceLimit;
};

// Buffer and limiter of a job (FALSE: no memory; the job then ends with an error).
BOOL raidCopyJob_Init(RaidCopyJob *pJob, Cont *pCont, RaidComb *pComb, RaidCombProt *pProt);
void raidCopyJob_Destroy(RaidCopyJob *pJob);
// The job's connection to its partner (FALSE: none).
BOOL raidCopyJob_Connect(RaidCopyJob *pJob);
void raidCopyJob_Disconnect(RaidCopyJob *pJob);
// Seconds the job has run; writes the "long" trace once every 60 s.
UINT32 raidCopyJob_Seconds(RaidCopyJob *pJob);
void raidCopyJob_TraceLong(RaidCopyJob *pJob, BOOL bReverse);

// Copies one range of one tooth version: device throttling with throttleReason, a shared extent
// lock of the range, the read, then a 2105 with sentReason; paces with the partner's limit of
// the kind (bRebalanceLimit) and the pool's limiters for poolReason. A version that is no longer
// there is skipped.
RaidCopyRc raidCopyJob_CopyRange(RaidCopyJob *pJob, PhyToothIndex toothIndex, UINT32 offsetInComb, UINT32 sizeInLbs,
                                 UINT32 throttleReason, UINT32 sentReason, UINT32 poolReason, BOOL bRebalanceLimit,
                                 const CHAR_A *pWhat);

BOOL raidComb_IsOstrelBlocked(RaidComb *pComb);
// Extent locks of a range, through the controller's tables (the whole comb without them).
void raidComb_LockRange(RaidComb *pComb, BOOL bWrite, UINT32 offsetInComb, UINT32 sizeInLbs);
void raidComb_UnlockRange(RaidComb *pComb, BOOL bWrite, UINT32 offsetInComb, UINT32 sizeInLbs);
// A pseudo-random request id.
UINT32 raidCopy_RandId(void);
// Whether the comb keeps T10-DIF in memory only (the device's checksum flag).
BOOL raidComb_IsT10DIFNonPersistentEnabled(RaidComb *pComb);
