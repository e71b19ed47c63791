// The root controller object: one per process (cont_g), owning by value every layer and manager
// of the storage server that is part of it, built in one fixed order by cont_Init on the main
// uthread before the network listens, and never torn down while the process runs (stopping only
// pauses the network and stops the watchdogs).
//
// Lower layers reach the objects of other layers through the accessors here and in cont_root.h:
// registered objects through the registry by id (a counted acquire, released after use), members
// by a plain pointer (members never move). The root's own parts include only cont_root.h. rwLock is the Ostrel's command lock; fastLock guards only the
// copy-receive blocking flag.
#pragma once

#include "mos/mos_blocking.h"
#include "mos/mos_cpu.h"
#include "mos/mos_dynamic_mempool.h"
#include "mos/mos_mempool.h"
#include "mos/mos_osc_cnt.h"
#include "mos/mos_ticks.h"
#include "mos/umt/mos_umt_bound.h"
#include "mos/umt/mos_umt_rwlock.h"
#include "mos/umt/mos_umt_semaphore.h"
#include "net/net.h"
#include "tgt/cont/cont_cmd_state.h"
#include "tgt/cont/cont_comb_state.h"
#include "tgt/cont/cont_dev_state.h"
#include "tgt/cont/cont_example.h"
#include "tgt/cont/cont_flcache_dev_state.h"
#include "tgt/cont/cont_head.h"
#include "tgt/cont/cont_io.h"
#include "tgt/cont/cont_net.h"
#include "tgt/cont/cont_obj.h"
#include "tgt/cont/cont_ostrel.h"
#include "tgt/cont/cont_root.h"
#include "tgt/cont/cont_tgt.h"
#include "tgt/cont/cont_volume.h"
#include "tgt/cont/cont_vtree.h"
#include "tgt/cont/cont_yarrin_state.h"
#include "tgt/flcache/flcache.h"
#include "tgt/phy/phy_devset.h"
#include "tgt/phy/tgt_dump.h"
#include "tgt/phy/zmp.h"
#include "tgt/raid/raid.h"
#include "tgt/rcache/rcache.h"
#include "tgt/rcache/rcache_net_buf.h"

// One copy (resync) buffer: 1 MiB of data and its 4 KiB of T10-DIF guards.
#define CONT__COPY_UNIT_SIZE 1052672u
#define CONT__IO_CTX_SIZE 72u
#define CONT__ZMP_BUFFER_SIZE_IN_LBS 2056u
#define CONT__STAGE_BUILT 100u
#define CONT__VMWARE_VENDOR "VMwareVMware"

// A change of the parameters of one oscillation counter (types 30-34).
struct ContOscCntUpdateParams {
    MosOscCnt_CounterType type;
    BOOL bReset; // reset the counter instead of setting windows
    MosOscCnt_WindowParams windowParams[MOS_OSC_CNT__NUM_WINDOWS];
};

struct Cont {
    MosFastlock_Base fastLock; // guards bCopyRcvAllocFailed
    MosUmt_RWLock rwLock;      // the command lock
    MosUmt_Bound umtBound;     // the watchdogs' OS-bound thread
    ContObj objs;
    ContOstrel ostrel;
    ContNet net;
    ContTgtMngr tgtMngr;
    ContExampleMngr exampleMngr;
    ContVtreeMngr vtreeMngr;
    ContVolMngr volMngr;
    ContHeadMngr headMngr;
    Elock elock; // built at the first accepted attach; no comb is locked before
    Ioh ioh;
    Raid raid; // the mirroring layer, reaching the controller through contRaid_GetHooks
    ContCmd cmd;
    ContCombMngr combMngr;
    HNetCon hOstrelCon; // 0 until the first add-manager command
    DumpMgr dumpMgr;
    Phy phy;             // the physical layer: device set, comb map, device map
    ContDevMngr devMngr; // the device objects
    RcacheNetBuf cachePri;
    RcacheNetBuf cacheSec;
    Cache readCache;
    ContFlcacheDevMngr flcacheDevMngr;
    ContRaidCtrl raidCtrl;
    ContYarrin yarrin; // set up with the network
    Flcache flcache;
    MosDynamicMemPool copySndBufferPool;
    MosDynamicMemPool copyRcvBufferPool;
    MosMemPool ioCtxPool;
    Zmp zmpPri;
    Zmp zmpSec;
    void *pAddCombTest;
    MosBlocking *pBlockingRcacheAlloc;
    BOOL bReconfigDoneReceived;
    BOOL bReconfigInProgress;
    BOOL bRecvAddOstrel;
    BOOL bRecvReconStartAtleastOnce;
    UINT16 ostrelTgtConnectionGenNum;
    UINT32 runId;
    BOOL bCopyRcvAllocFailed;
    BOOL bIsVmware;
    UINT32 cacheSizeLimitInMb;
    MosUmt_Sem handleUpdatePerfParamsRequestSem;
    MosOscCnt_CounterParams perTypeOscCntParams[MOS_OSC_CNT_TYPE__LAST];
    MosOscCnt_Counter memFailOscCnt;
    MosOscCnt_Counter sockFailOscCnt;
    MosOscCnt_Counter longOpOscCnt;
    MosOscCnt_Counter rcvBufferAllocFailureOscCnt;
    MosOscCnt_Counter netPauseToggleOscCnt;
    UINT8 *zeroedBuffer;
    UINT8 *zeroedT10DifBuff;
    BOOL bWasShutdownCalled;
    MosTicks_Cnt umtSchedLastNotStuckTicks;
};

extern Cont cont_g;

// Builds everything in the fixed order; a failed step stops the process. bInitNet: also the
// network (listening on port); the server passes the configured port, 0 and TRUE, TRUE.
void cont_Init(Cont *pCont, UINT16 port, UINT64 myConId, BOOL bInitRecvGrps, BOOL bInitNet);

// The end of start-up, run by the add-manager command that adopts the server from the cleared state:
// builds the extent locks, one block per user-mode thread (tgt_umt_num). A failure stops the
// process: the locks' settings were checked when the process started.
void cont_InitEnd(Cont *pCont);

// The cache size limit in MiB from the node's RAM in KiB: the low percentage below the
// threshold, the high one from it on.
UINT32 cont_CalcCacheSizeLimitInMb(UINT64 totalRamKb, UINT64 thresholdKb, UINT64 lowPercent, UINT64 highPercent);
// Whether the processor reports a hypervisor whose vendor is VMware.
BOOL cont_IsVmwareGuest(const MosCpu_X86CpuInfo *pCpu);

void cont_UpdateOscCounter(Cont *pCont, const ContOscCntUpdateParams *pParams);
// Copies the counters (in type order 30-34) that changed within timeDelta; returns how many.
UINT32 cont_GatherOscCounters(Cont *pCont, MosOscCnt_QueryCounter *pArray, UINT32 maxCounters, UINT64 timeDelta);

// The Ostrel's leave to degrade combs shared with the peer: 65 granted, MOS_RC__ABORTED refused,
// MOS_RC__RETRY no answer yet or the peer not known.
Mos_RC cont_CheckDegradePermit(Cont *pCont, UINT64 peerTgtId);
// A run id that differs from every earlier run's with overwhelming likelihood (a real random
// source, never 0).
UINT32 cont_DrawRunId(void);
