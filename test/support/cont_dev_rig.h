// A controller with what device objects need - its registry, the physical layer behind a
// pass-through asynchronous-I/O seam, the read cache and the device manager - for tests that add
// devices on sparse files. The test owns the seam and decides what each transfer answers.
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "test/support/fake_aio_backend.h"
#include "test/support/tgt_test_support.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_dev.h"
#include "tgt/phy/stmp.h"

// Devices of at least 2 GB (teeth start at the next 1 GB) are accepted.
inline void contDevTest_Build(Cont *pCont, FakeAioBackend *pFake, UINT64 tgtId,
                              std::function<long(const FakeAioBackend::Seen &)> onTransfer)
{
    tgtConf_SetDefaults();
    tgtInitParam_G.phyDevMinCapacityInLbs = 4194304 - 4096;
    stmp_Init(&stmp_g, (UINT32)tgtInitParam_G.stmpMemorySizeInLbs);
    pFake->setPassThrough(true);
    pFake->setAutoComplete(true);
    pFake->setResultFunc([f = std::move(onTransfer)](const FakeAioBackend::Seen &s, size_t) { return f(s); });
    pCont->ostrel.tgtId = tgtId;
    contObj_Init(&pCont->objs, CONT_OBJ_TYPE__OSTREL, CONT_OBJ_TYPE__EXAMPLE);
    umtTest_RunAsUmt([&] { phy_InitEx(&pCont->phy, pCont, pFake->ops(), FALSE); });
    rcache_Init(&pCont->readCache, pCont);
    contDevMngr_Init(&pCont->devMngr, pCont);
}

// What the device command hands the device manager for one device: no scan, room for 1M teeth of
// snapshots.
inline ContDevAddArgs contDevTest_AddArgs(UINT64 devId, const char *pPath, BOOL bNew)
{
    ContDevAddArgs a{};
    a.devId = devId;
    a.pPath = pPath;
    a.bNew = bNew;
    a.snapReservedTeeth = 1u << 20;
    a.scanInfo = {TGT_SCAN_FLAVOR__OFF, 0};
    return a;
}

// Every device must have been removed.
inline void contDevTest_Destroy(Cont *pCont)
{
    contDevMngr_Destroy(&pCont->devMngr);
    rcache_Destroy(&pCont->readCache);
    EXPECT_TRUE(umtTest_WaitFor([&] { return pCont->phy.mDev.asyncIO.files.counter == 0; }));
    umtTest_RunAsUmt([&] { phy_Destroy(&pCont->phy); });
    contObj_Destroy(&pCont->objs);
    stmp_Destroy(&stmp_g);
}
