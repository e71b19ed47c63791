// The I/O handler: the single entry of every data-path request, from Quillets and from peer
// Pellars. A request is checked in one fixed order (first failure wins), runs on its comb with the
// extent lock of its range, and is answered with a Mos_RC and the payload its type carries.
//
// Order of the checks of a client read or write on the primary: shape of the request; the range
// lies in the comb and in one tooth (in 64 bits: an offset near 2^32 plus a size must not wrap
// past the check); statistics; the comb is held here (16); the handler is not quiesced (214); the
// volume exists (15); the comb's first access (20); the extent lock and the primary role (12, or
// 20 when maintenance-degraded) - a write finds or allocates its tooth here (56); the volume's
// generations (17, 51, 52, 53); writes: T10-DIF agreement (409); the Ostrel's link is not blocked
// (14); writes: guards and obfuscation (411); the wait for the extent lock stayed under the
// threshold (20). A trim validates its volume before the first access and the lock.
//
// The handler reaches the controller's objects (combs, volumes, volume trees, the Ostrel link)
// and the comb's mirroring object only through IohHooks, which the layers above register at their
// start; the mirroring object owns forwarding, dirty marks and degrade. What a hook is not given
// for is not done: there is no mirroring here.
//
// Client reads and writes that succeed are charged to the client-I/O limiter after their locks
// and references are released (a charge may wait while copies run; nothing is held across it),
// and are counted
// in the comb's bandwidth counters: reads as PRI_IO or SEC_IO and, on 65, as coming from the RAM
// read cache or the device. A copy write of a rebuild or migration that a secondary receives is
// throttled by its device before it takes any lock, and the throttle is ended after the locks.
//
// Malformed requests come from the network and never stop the process: a wrong shape, a range
// that leaves the comb or crosses a tooth, a copy reason outside 1-7, a time of 0 in a write, a
// tooth outside the comb, or a tooth list longer than 32 are answered MOS_RC__INVALID. A tooth
// allocated for a write that then fails is given back, whatever the failure.
#pragma once

#include "mos/mos_fastlock.h"
#include "mos/mos_obj.h"
#include "mos/mos_rc.h"
#include "mos/mos_t10dif.h"
#include "mos/mos_ticks.h"
#include "mos/mos_timer.h"
#include "mos/mos_types.h"
#include "tgt/elock/elock.h"
#include "tgt/ioh/ioh_msg.h"
#include "tgt/phy/phy_comb.h"

struct Cont;
struct RaidComb; // the comb's mirroring object
struct IohVol;   // the controller's volume
struct IohResp;

#define IOH__MAX_IO_SIZE_IN_LBS 2048u
#define IOH__POWER_OF_MIN_IO_SIZE_IN_LBS 3u
#define IOH__POWER_OF_MAX_IO_SIZE_IN_LBS 11u
#define IOH__POWER_OF_MIN_IO_LAT_IN_USEC 6u
#define IOH__NUM_IO_SIZES 9u
#define IOH__NUM_LAT_BUCKETS 12u
#define IOH__WATCHDOG_QUEUE MOS_TIMER_QUEUE_ID__5MIN

// Bandwidth counter kinds of a comb; 1 to 4 and 6 are the copy reasons'.
enum CombBwcIoCounter : UINT32 {
    CONT_BWC_IO_COUNTER__PRI_IO = 7,
    CONT_BWC_IO_COUNTER__PRI_IO_FROM_DEV = 8,
    CONT_BWC_IO_COUNTER__SEC_IO = 9,
    CONT_BWC_IO_COUNTER__SEC_IO_FROM_DEV = 10,
    CONT_BWC_IO_COUNTER__PRI_IO_FROM_RAMCACHE = 13,
    CONT_BWC_IO_COUNTER__SEC_IO_FROM_RAMCACHE = 14,
};

struct IohIoFlowQuery {
    UINT32 allocBuffer, startToRun, read, write, send, sendRsp, cacheAlloc, cacheInsert, devRead;
};

struct IohQuery {
    IohIoFlowQuery ioFlow;
    UINT32 ioCount[IOH__NUM_IO_SIZES];
    UINT32 writeCountPri, writeZeroCountPri, writeTestAndSetCountPri, trimCountPri, readCountPri;
    UINT32 writeCountSec, writeZeroCountSec, trimCountSec, readCountSec;
    UINT32 smallIosCount;
    UINT32 totalInLbs;
    UINT32 ioLatRead[IOH__NUM_LAT_BUCKETS];
    UINT32 ioLatWrite[IOH__NUM_LAT_BUCKETS];
    UINT32 ioLatReadCache[IOH__NUM_LAT_BUCKETS];
};
static_assert(sizeof(IohQuery) == 260);
static_assert(offsetof(IohQuery, ioCount) == 36 && offsetof(IohQuery, smallIosCount) == 108);
static_assert(offsetof(IohQuery, ioLatRead) == 116);

struct IohFlushInfo {
    MosFastlock_Base fastLock;
    UINT32 currentIoCnt;
    UINT32 ioStartedWhileFlushCnt;
    BOOL bIsFlushed;
};

// The comb's handle of the I/O path.
struct IohComb {
    ElockComb *pElock;
    RaidComb *pRaid;
};

// What the mirroring object says of its comb, read under its lock.
struct IohRaidState {
    Mos_RC priRc;           // MOS_RC__SUCCESS, 12 not primary, 20 maintenance-degraded
    BOOL bSecondary;        // this server holds the secondary copy
    BOOL bTPellar;          // comb generations are checked on this copy
    GenNum combGenNum;
    BOOL bReverseRebuild, bMaintNormal, bMaintRebuild, bRebuildDerived;
    BOOL bTranslateZeroRead; // reads of missing teeth are turned into zero writes
    BOOL bT10DifInMemOnly;   // the comb keeps guards in memory only: T10-DIF is forced on
    BOOL bDevInError;        // the comb's device is in error
    BOOL bSkipTrim;
};

// One write of a comb's copy as the handler hands it to the mirroring object.
struct IohCombWrite {
    PhyComb *pPhyComb;
    Vtree *pVtree;
    PhyCombTooth tooth;        // dstToothIndex: the tooth written (new or found); srcToothIndex: unused here
    UINT32 offsetInComb;       // of the data
    UINT32 sizeInLbs;
    const void *pData;
    T10Dif *pDif;
    WrIoFlags wrIoFlags;       // bZeroPad: the data is the whole tooth when the write is a new tooth
    UINT32 copyReason;
    GenNum combGenNum;         // the request's (a primary write must carry the comb's)
    UINT64 obfuscationKey;
    UINT32 *pLbsPerRebuildJobLimit;
    UINT32 *pLbsPerRebalanceJobLimit;
};

// A client read that the RAM read cache may serve. The cache keeps pages as the client sees them,
// so the comb needs the volume tree's key to hand the data back in the stored form.
struct IohCacheRead {
    BOOL bUseCache;        // in: the handler's bypass rule lets the read through the cache
    UINT64 obfuscationKey; // in
    BOOL bFromCache;       // out: the cache held every page
};

// Controller and mirroring services the handler calls. Every member must be set.
struct IohHooks {
    IohComb *(*acquireIohComb)(Cont *pCont, CombId combId);
    void (*releaseIohComb)(Cont *pCont, CombId combId);
    IohVol *(*acquireVol)(Cont *pCont, UINT64 volId);
    void (*releaseVol)(Cont *pCont, IohVol *pVol);
    // The volume's tree (held while the volume is), node and obfuscation key.
    Vtree *(*getVolVtree)(IohVol *pVol, VtoId *pVtoId, UINT64 *pObfuscationKey);
    // Volume generation, SCSI generation and registration: 65, 17, 51 (with *pCurScsiGenNum), 52, 53.
    Mos_RC (*validateVol)(IohVol *pVol, UINT64 volGenNum, UINT64 scsiGenNum, UINT64 regKey, UINT64 *pCurScsiGenNum);
    BOOL (*isVolQuiesced)(IohVol *pVol);
    // Hands the answer to the volume to be sent when its quiesce ends; FALSE when the volume is gone.
    BOOL (*hangDelayResponse)(Cont *pCont, UINT64 volId, IohResp *pIoRes);
    BOOL (*isOstrelBlocked)(Cont *pCont);
    // The volume tree owning the comb's head at this offset (null: none); *pbDeleting when it is
    // being deleted. Released with releaseVtree.
    Vtree *(*acquireVtreeFromHead)(Cont *pCont, CombId combId, UINT32 offsetInComb, BOOL *pbDeleting);
    void (*releaseVtree)(Cont *pCont, Vtree *pVtree);
    void (*getState)(RaidComb *pRaid, IohRaidState *pState);
    PhyComb *(*getPhyComb)(RaidComb *pRaid);
    BOOL (*firstAccess)(RaidComb *pRaid);
    // The comb writes its copy (mirrored on the primary) and records a new tooth's version.
    Mos_RC (*write)(RaidComb *pRaid, const IohCombWrite *pWrite);
    // The comb reads its copy (or the partner's, with repair) of a tooth version into pData in the
    // stored form (still obfuscated); pCache (when given) lets a client read go through the RAM
    // read cache and tells whether the cache served it.
    Mos_RC (*read)(RaidComb *pRaid, PhyToothIndex toothIndex, UINT32 offsetInComb, UINT32 sizeInLbs, void *pData,
                   T10Dif *pDif, RdIoFlags rdIoFlags, UINT32 copyReason, IohCacheRead *pCache);
    // The comb trims a whole tooth (bPrimary: and its partner's).
    Mos_RC (*trim)(RaidComb *pRaid, Vtree *pVtree, UINT32 offsetInComb, PhyToothIndex toothIndex, BOOL bPrimary);
    // Reverse rebuild: the partner's tooth list of this tooth is read first.
    Mos_RC (*readRemoteToothList)(RaidComb *pRaid, UINT32 offsetInComb);
    // The comb's copy of this tooth is stale (it needs rebuild).
    BOOL (*toothNeedsRebuild)(RaidComb *pRaid, UINT32 offsetInComb);
    // Rebuild: the partner drops a tooth this copy does not have.
    Mos_RC (*cleanRemoteTooth)(RaidComb *pRaid, UINT32 offsetInComb);
    // Dirty-region log for the partner (fine form); reset of the log.
    BOOL (*readCombDrl)(RaidComb *pRaid, TgtRsp_ReadCombFineDrl *pRsp);
    BOOL (*resetCombDrl)(RaidComb *pRaid);
    // Reverse rebuild's next tooth.
    Mos_RC (*getCombNextTooth)(RaidComb *pRaid, const TgtReq_GetNextTooth *pReq, TgtRsp_GetNextTooth *pRsp);
    // The read cache's own rule: TRUE when an I/O of this size, offset and direction bypasses it.
    BOOL (*cacheSkipRule)(Cont *pCont, UINT32 sizeInLbs, UINT32 offsetInComb, BOOL bWrite);
    BOOL (*isVolCached)(IohVol *pVol);
    // The comb's device is cached (and, for a write, the comb's writes are).
    BOOL (*isCombCached)(RaidComb *pRaid, BOOL bWrite);
    // The device's copy throttling around a copy write of a rebuild or migration received here (the
    // start may wait for the device to let the copy through).
    void (*startThrottling)(RaidComb *pRaid, UINT32 sizeInLbs, UINT32 copyReason);
    void (*endThrottling)(RaidComb *pRaid, UINT32 sizeInLbs, UINT32 copyReason);
    // The comb's device counts sizeInLbs in its bandwidth counter of kind bwcIoCounter (CombBwcIoCounter
    // or a copy reason), as a read or a write.
    void (*updateIoBwc)(RaidComb *pRaid, UINT32 bwcIoCounter, UINT32 sizeInLbs, BOOL bWrite);
    // Charges the client-I/O limiter (the resync pool's) with a served read or write; may wait.
    void (*addToIoLimiter)(Cont *pCont, UINT32 sizeInLbs);
};

struct Ioh {
    Cont *pCont;
    const IohHooks *pHooks;
    Elock *pElock;
    IohQuery query;
    MosObj sdbgObj;
    IohFlushInfo flushInfo;
    MosFastlock_Base fastLock; // bQuiesced and quiesceGenerationNum
    BOOL bQuiesced;
    UINT32 quiesceGenerationNum;
};

// The answer to one request. The caller gives the read buffers (room for 2048 LB and guards, as
// the receive path's pools do) and a fine dirty-list buffer for 2201 and 2227; the handler fills
// rc and points rspBufs at the payload.
struct IohResp {
    BOOL bDelayResp;
    Mos_RC rc;
    UINT8 *pReadData;
    T10Dif *pReadDif;
    TgtRsp_ReadCombFineDrl *pDrlRsp;
    UINT32 numOfRspBufs;
    IohBuf rspBufs[2];
    union {
        TgtRes_IoRW resIoRW;
        TgtRes_WriteSecCopy resWriteSecCopy;
        TgtRsp_GetToothList rspToothList;
        TgtRsp_GetNextTooth rspNextTooth;
    };
    UINT32 checksum;
    TgtRsp_ReadCombDrl oldDrl; // the old form of a 2201 answer
};

struct IohIoTimer {
    MosTimer_Req timerReq;
    const IohReq *pReq;
    HMosUmt_UThread pUmt;
};

void ioh_Init(Ioh *pIoh, Cont *pCont, const IohHooks *pHooks, Elock *pElock);
void ioh_Destroy(Ioh *pIoh);

// Serves one request on the calling user-mode thread; the outcome is in pIoRes.
void ioh_NewRequest(Ioh *pIoh, const IohReq *pReq, IohResp *pIoRes);
BOOL ioh_NewRequestIsRead(Ioh *pIoh, const IohReq *pReq);
// TRUE when the I/O bypasses the RAM read cache: the cache's rule says so, or the volume or comb is
// unknown or not cached (a write also when the comb's writes are not).
BOOL ioh_IsCacheSkip(Ioh *pIoh, UINT64 volId, CombId combId, UINT32 sizeInLbs, UINT32 offsetInComb, BOOL bWrite);

Mos_RC ioh_StartQuiesce(Ioh *pIoh, UINT32 gen);
Mos_RC ioh_StopQuiesce(Ioh *pIoh, UINT32 gen);
void ioh_UpdateQuiesce(Ioh *pIoh, UINT32 gen, BOOL bQuiesced);
BOOL ioh_IsQuiesced(Ioh *pIoh);
UINT32 ioh_GetQuiesceGenNum(Ioh *pIoh);

void ioh_UpdateFlushInfoStartQuery(Ioh *pIoh);
void ioh_UpdateFlushInfoEndQuery(Ioh *pIoh);
void ioh_UpdateFlushInfoStartFlush(Ioh *pIoh);
void ioh_UpdateFlushInfoEndFlush(Ioh *pIoh);
BOOL ioh_QueryIsQuietAndFlushed(Ioh *pIoh);

void ioh_UpdateStats(Ioh *pIoh, UINT32 sizeInLbs, UINT32 msgType, BOOL bWrite, BOOL bPrimary, UINT64 ioLatMicro);
void ioh_UpdateReadCacheStats(Ioh *pIoh, UINT64 ioLatMicro);
// The latency bucket of a histogram (0 under 128 us, 11 from 2^17 us on).
UINT32 ioh_LatBucket(UINT64 ioLatMicro);
BOOL ioh_IsTimeExceededUpToElock(MosTicks_Cnt startTick, CombId combId, UINT32 offsetInComb);
void ioh_Query(MosObj *pObj, const CHAR_A *pName, void *pData);

// Range of a read or write: inside the comb and inside one tooth (MOS_RC__INVALID otherwise).
Mos_RC ioh_CheckRange(UINT32 offsetInComb, UINT32 sizeInLbs);
// Range of a trim: tooth-aligned and inside the comb.
Mos_RC ioh_CheckTrimRange(UINT32 offsetInComb);
