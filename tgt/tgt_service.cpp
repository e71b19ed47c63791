#include "tgt/tgt_service.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "mos/mos_assert.h"
#include "mos/mos_load.h"
#include "mos/mos_service.h"
#include "mos/mos_ticks.h"
#include "mos/mos_trace.h"
#include "mos/umt/mos_umt_pool_allocator.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "mos/usr/security/mos_security.h"
#include "net/net.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_raid_state.h"
#include "tgt/cont/cont_wd.h"
#include "tgt/elock/elock.h"
#include "tgt/phy/tgt_t10dif.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_contention.h"
#include "tgt/tgt_sdbg.h"
#include "tgt/tgt_umt_class.h"

MosUmt_Sem shutDownSem_g;
MosFastlock_Base waitForShutDownToEndLock_g;
MosOsw_CondVar waitForShutDownToEndCondVar_g;

namespace {
MosUmt_SchedThrd tgtUmtSched_G;
MosUmt_PoolAllocator tgtUmtAllocator_G;
// Set under waitForShutDownToEndLock_g by the shutdown thread before it signals.
BOOL bShutdownDone_G = FALSE;
std::atomic<bool> bStopRequested_G{false};

constexpr UINT32 kNumConfTables = 3; // the server's, the security keys, the runtime's (filled by the loader)

void tgt_InitUmtMachinery(void)
{
    const TgtConfParam &c = tgtInitParam_G;
    mosUmtSchedThrd_SetDefaultSchedGuardValues((UINT32)c.schedThrdStuckThreshMilli, c.schedGuardPanicRatio);
    Mos_RC rc = mosUmtSchedThrd_CreateEx(&tgtUmtSched_G, TGT_SERVICE__SCHED_NAME, TGT_SERVICE__SCHED_MAX_OS_THREADS,
                                         tgtPerfInitParam_G.umtOsThrds, (UINT32)c.umtPerThrdQuota, FALSE,
                                         c.bUmtSchedPoll);
    MOS_ASSERT(rc == MOS_RC__SUCCESS);

    UINT8 mask[16];
    tgt_MakeCpuMask(c.umtCpuMask0, c.umtCpuMask1, mask);
    if (mosUmtSchedThrd_BindToCpus(&tgtUmtSched_G, mask, 128) != MOS_RC__SUCCESS)
        MOS_TRACE(MOS_COMP_TGT_GENERAL, MOS_FREQ_LOW, "Failed to bind to CPU masks: %lx,%lx.",
                  (unsigned long)c.umtCpuMask0, (unsigned long)c.umtCpuMask1);
    mosUmtSchedThrd_SetSchedPolicy(&tgtUmtSched_G, (MosUmtSchedThrd_Policy)c.umtSchedPolicy);

    rc = mosUmtPoolAllocator_Create(&tgtUmtAllocator_G, TGT_SERVICE__ALLOCATOR_NAME, (UINT32)c.totalUmts,
                                    (UINT32)(c.umtStackSizeKb * 1024), c.bUmtGuardPage);
    MOS_ASSERT(rc == MOS_RC__SUCCESS);
    mosUmtMgr_SetDefaults(&tgtUmtSched_G.base, &tgtUmtAllocator_G.allocator);
    mosUmtMgr_SetRunThreshTicks(mosTicks_MillisToTicks(c.umtRunThreshMs), c.umtShouldPanicOnThreshTicks);
}
} // namespace

void tgt_MakeCpuMask(UINT64 mask0, UINT64 mask1, UINT8 (&mask)[16])
{
    for (UINT32 i = 0; i < 8; i++) {
        mask[i] = (UINT8)(mask0 >> (8 * i));
        mask[8 + i] = (UINT8)(mask1 >> (8 * i));
    }
}

int tgt_Main(int argc, char **argv)
{
    MosConfEntry *ppEntries[kNumConfTables] = {};
    UINT32 lengths[kNumConfTables] = {};
    tgtConf_Init(&ppEntries[0], &lengths[0]);
    mosSecurity_GetConfEntry(&ppEntries[1], &lengths[1]);

    // The loader keeps the default for a refused value; a port must not be replaced silently.
    if (tgtConf_CheckPort(mosLoad_ParseCommandLine(argc, argv)) != MOS_RC__SUCCESS) {
        fflush(stdout);
        exit(1);
    }
    Mos_RC rc = mosLoad_Load(argc, argv, ppEntries, lengths, kNumConfTables, TGT_SERVICE__LOAD_MODULE,
                             TGT_SERVICE__SDBG_PORT);
    MOS_ASSERT(rc == MOS_RC__SUCCESS);
    // The key's range admits counts that do not divide a tooth into equal locks.
    if (!elock_IsValidLocksInTooth(tgtInitParam_G.elockNumberOfLocksInTooth)) {
        printf("tgt_elock__lock_in_tooth %lu is not a power of two from 1 to 256\n",
               (unsigned long)tgtInitParam_G.elockNumberOfLocksInTooth);
        fflush(stdout);
        exit(1);
    }

    tgtConf_InitPerfParams();
    tgtT10Dif_Init();
    mosUmtMgr_Init(tgt_UmtClassInit);
    tgt_InitUmtMachinery();

    mosUmtSem_Init(&shutDownSem_g);
    MOS_FASTLOCK_CREATE_ADAPTIVE(&waitForShutDownToEndLock_g, TGT_CONTENTION__SHUTDOWN_WAIT);
    mosOSWCond_Init(&waitForShutDownToEndCondVar_g);
    MOS_ASSERT(!(mosUmt_CreateUThreadEx(tgt_ShutdownCode, nullptr, nullptr, nullptr, FALSE,
                                        tgt_GetUmtClassId(MOS_UMT_CLASS_TYPE__TGT_SHUTDOWN)) == nullptr));
    mosService_Start(tgt_ServiceInit, tgt_ServiceStop);
}

void tgt_ServiceInit(void)
{
    tgtSdbg_Register();
    mosObjType_RegObj(&pTgtSdbg_g->perfParamsType, &tgtPerfInitParam_G.sdbgObj, "Performance parameters");
    net_GlobalInit();
    HMosUmt_UThread hUmt = mosUmt_CreateUThreadEx(mainThread, nullptr, nullptr, nullptr, FALSE,
                                                  tgt_GetUmtClassId(MOS_UMT_CLASS_TYPE__TGT_SERVICE_INIT));
    MOS_ASSERT(hUmt != nullptr);
}

void mainThread(void *pArg)
{
    (void)pArg;
    cont_Init(&cont_g, (UINT16)tgtInitParam_G.port, 0, TRUE, TRUE);
    MOS_TRACE(MOS_COMP_TGT_GENERAL, MOS_FREQ_LOW, "Pellar started: listening on port %u, waiting for its Ostrel",
              (unsigned)tgtInitParam_G.port);
}

void tgt_ServiceStop(void)
{
    MOS_TRACE(MOS_COMP_TGT_GENERAL, MOS_FREQ_LOW, "tgt_serviceStop() was called");
    if (bStopRequested_G.exchange(true)) {
        MOS_TRACE(MOS_COMP_TGT_GENERAL, MOS_FREQ_LOW, "A stop is already in progress");
        return;
    }
    mosUmtSem_IncInter(&shutDownSem_g, 1, TRUE);

    const MosTicks_Cnt deadline =
        mosTicks_GetCurrentTick() + mosTicks_MillisToTicks(TGT_SERVICE__SHUTDOWN_WAIT_MILLIS);
    mosFastlockBase_Acquire(&waitForShutDownToEndLock_g);
    while (!bShutdownDone_G && mosTicks_IsFirstBigger(deadline, mosTicks_GetCurrentTick())) {
        const UINT64 left = mosTicks_TicksToMillis(mosTicks_DiffInTicks(deadline, mosTicks_GetCurrentTick()));
        mosOSWCond_TimedWait(&waitForShutDownToEndCondVar_g, &waitForShutDownToEndLock_g, left != 0 ? left : 1);
    }
    const BOOL bDone = bShutdownDone_G;
    mosFastlockBase_Release(&waitForShutDownToEndLock_g);
    if (!bDone) {
        // The shutdown thread may still signal: the condition stays for the life of the process.
        MOS_TRACE(MOS_COMP_TGT_GENERAL, MOS_FREQ_LOW, "The shutdown sequence did not end within %u ms",
                  TGT_SERVICE__SHUTDOWN_WAIT_MILLIS);
        return;
    }
    mosOSWCond_Destroy(&waitForShutDownToEndCondVar_g);
}

void tgt_ShutdownCode(void *pArg)
{
    (void)pArg;
    mosUmtSem_DecTimed(&shutDownSem_g, 1, 0);
    __atomic_store_n(&cont_g.bWasShutdownCalled, TRUE, __ATOMIC_RELEASE);

    // A stop that comes while the controller is still being built finds no network to park.
    const BOOL bBuilt = __atomic_load_n(&cont_g.ostrel.stage, __ATOMIC_ACQUIRE) == CONT__STAGE_BUILT;
    if (bBuilt)
        net_Pause(cont_GetNetObj(&cont_g), TRUE, FALSE);
    // The server holds no devices until the Ostrel adds them, so no log changes mode here yet.
    MOS_TRACE(MOS_COMP_TGT_GENERAL, MOS_FREQ_LOW, "Update the DRL mode");
    if (bBuilt)
        netPathMgr_FreezeUnlock(&cont_GetNetObj(&cont_g)->pathMgr);
    // Copies read and write devices and talk to peers: none may outlive the stop.
    if (bBuilt)
        contRaid_Stop(&cont_g);
    // Nor may a device's metadata zeroing, asleep or writing.
    if (bBuilt)
        contDevMngr_StopZeroing(&cont_g.devMngr);
    MOS_TRACE(MOS_COMP_TGT_GENERAL, MOS_FREQ_LOW, "Abort all WD");
    contWd_StopAllWd(&cont_g);

    mosFastlockBase_Acquire(&waitForShutDownToEndLock_g);
    bShutdownDone_G = TRUE;
    mosOSWCond_Signal(&waitForShutDownToEndCondVar_g);
    mosFastlockBase_Release(&waitForShutDownToEndLock_g);
}
