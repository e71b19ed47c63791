// The I/O handler in process on a device file, for the fuzz target and the benchmark (no GoogleTest):
// one comb of one head owned by one volume tree with one volume, the controller and the comb's
// mirroring object played here with the local half of the comb's I/O (no partner).
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <functional>
#include <string>

#include "mos/mos_load.h"
#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "mos/mos_utils_mem.h"
#include "tgt/file/file.h"
#include "tgt/ioh/ioh.h"
#include "tgt/phy/phy_dev_io.h"
#include "tgt/phy/stmp.h"
#include "tgt/rcache/rcache.h"
#include "test/support/test_ram_cache.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_sdbg.h"

// The local half of a comb write: the data to its tooth, and a new tooth's version recorded.
inline Mos_RC iohRig_LocalWrite(const IohCombWrite *w)
{
    Mos_RC rc = phyComb_WriteTooth(w->pPhyComb, w->pData, w->pDif, w->tooth.dstToothIndex,
                                   w->offsetInComb % TOOTH_SIZE_LB, w->sizeInLbs, w->wrIoFlags, w->copyReason,
                                   w->offsetInComb, w->obfuscationKey, nullptr);
    if (rc == MOS_RC__SUCCESS && w->wrIoFlags.bNewTooth)
        rc = phyComb_UpdateTooth(w->pPhyComb, w->pVtree, w->offsetInComb, w->tooth.vtoId, w->tooth.time,
                                 w->tooth.dstToothIndex, TRUE, w->pVtree->bThin, FALSE, FALSE);
    return rc;
}

// The local half of a comb read, guards made over what was read. With the device's RAM read cache
// on, the read goes through the cache and its pages are copied out (the volumes here have no
// obfuscation key, so cached pages are the data as stored).
inline Mos_RC iohRig_LocalRead(PhyComb *pComb, PhyToothIndex t, UINT32 off, UINT32 n, void *pData, T10Dif *pDif,
                               RdIoFlags rd, UINT32 reason, IohCacheRead *pCache)
{
    rd.bT10Dif = FALSE;
    Mos_RC rc;
    if (pComb->pDev->pRcache != nullptr && pComb->pDev->bUseCache) {
        RCacheIoBuf iob;
        rcacheIoBuf_Init(&iob, 0, nullptr);
        rc = phyComb_ReadTooth(pComb, &iob, t, off % TOOTH_SIZE_LB, n, reason, rd, off);
        if (rc == MOS_RC__SUCCESS && !phyDev_CopyOutCacheIoBuf(&iob, pData, nullptr, n))
            rc = MOS_RC__ERROR;
        if (rc == MOS_RC__SUCCESS && pCache != nullptr)
            pCache->bFromCache = iob.bFoundInCache;
        phyDev_ReleaseCacheIoBuf(pComb->pDev, &iob);
    } else {
        rc = phyComb_ReadTooth(pComb, pData, nullptr, t, off % TOOTH_SIZE_LB, n, reason, rd, off);
    }
    if (rc == MOS_RC__SUCCESS && pDif != nullptr)
        mosT10Dif_GenT10DIF(pData, pDif, 0, 0, 0, n);
    return rc;
}

class IohRig {
  public:
    static constexpr HeadId kHead = 3;
    static constexpr CombId kComb = combId_Make(kHead, 0, 0);
    static constexpr VTreeId kTree = 0x42;
    static constexpr VtoId kVolVto = 5;
    static constexpr UINT64 kVol = 1;

    // The runtime, once per process.
    static bool initRuntime()
    {
        if (mos_Init(nullptr) != MOS_RC__SUCCESS)
            return false;
        mosUmtMgr_Init(nullptr);
        tgtSdbg_Register();
        tgtConf_SetDefaults();
        tgtPerfInitParam_G.maxReqPerAsyncFile = 64;
        tgtInitParam_G.phyDevMinCapacityInLbs = 2 * GB_IN_LBS;
        return true;
    }

    // A fresh device of devLbs on file (made sparse); false when anything fails.
    bool open(const std::string &file, UINT64 devLbs, UINT32 osThreads = 2)
    {
        pRig_ = this;
        FILE *p = fopen(file.c_str(), "a");
        if (p == nullptr || ftruncate(fileno(p), (off_t)(devLbs * 512)) != 0)
            return false;
        fclose(p);
        head_SetContHooks(&kHeadHooks);
        if (mosUmtSchedThrd_Create(&sched, "ioh rig", osThreads, osThreads, 8) != MOS_RC__SUCCESS ||
            mosAsyncIO_Create(&aio, 256, 1, TRUE) != MOS_RC__SUCCESS)
            return false;
        stmp_Init(&stmp_g, (UINT32)tgtInitParam_G.stmpMemorySizeInLbs);
        file_Init(&fileObj, nullptr, nullptr);
        PhyAddDevProgress progress{};
        PhyDevThrottlingInfo throttling{};
        Mos_RC rc = MOS_RC__ERROR;
        run([&] {
            rc = file_Open(&fileObj, file.c_str(), &aio);
            if (rc == MOS_RC__SUCCESS)
                rc = phyDev_Init(&dev, cont(), &fileObj, devLbs, 2048, 1, 2, FALSE, TRUE, &throttling, FALSE, FALSE,
                                 FALSE, nullptr, nullptr, &progress, FALSE, 0, 0);
        });
        if (rc != MOS_RC__SUCCESS)
            return false;
        dev.toothMap.snapReservedTeeth = dev.numOfTeeth;
        vtreeMap_Init(&map);
        vtree_Init(&tree, kTree, &map, 0, 1, TRUE, TRUE);
        OstrelTgtReq_VtreeNode n{kTree, 1, 0, kVolVto, 1, (UINT32)SNAP_DEL_STATE__NORMAL};
        BOOL b;
        vtree_Update(&tree, 1, &n, TRUE, TRUE, &b);
        static VTreeId usage[HEAD__USAGE_MAP_SLOTS];
        for (auto &u : usage)
            u = kTree;
        head_Init(&head, cont(), usage);
        phyComb_Init(&comb, TRUE);
        phyComb_Attach(&comb, kComb, &dev, PhyDevAddr{.devAddr = 1});
        if (elock_Init(&elock, 1, 2048) != MOS_RC__SUCCESS)
            return false;
        elockComb_Init(&ecomb);
        iohComb = IohComb{&ecomb, reinterpret_cast<RaidComb *>(this)};
        ioh_Init(&ioh, cont(), &kHooks, &elock);
        state.priRc = MOS_RC__SUCCESS;
        bOpen = true;
        return true;
    }
    // Turns the RAM read cache on for the device (its smallest size); false when it does not come up.
    bool cacheOn() { return ramCache.on(&dev, &sched.base); }
    void cacheOff() { ramCache.off(); }
    void close()
    {
        if (!bOpen)
            return;
        cacheOff();
        ioh_Destroy(&ioh);
        elockComb_Destroy(&ecomb);
        elock_Destroy(&elock);
        run([&] {
            phyComb_RemoveAllTeeth(&comb, FALSE);
            phyComb_Destroy(&comb);
        });
        head_Destroy(&head);
        vtree_Destroy(&tree);
        vtreeMap_Destroy(&map);
        run([&] {
            phyDev_Destroy(&dev);
            file_Close(&fileObj);
        });
        file_Destroy(&fileObj);
        head_SetContHooks(nullptr);
        bOpen = false;
    }
    ~IohRig() { close(); }

    void run(const std::function<void()> &fn)
    {
        struct Box {
            const std::function<void()> *pFn;
        } box{&fn};
        HMosUmt_UThread h = mosUmt_CreateUThreadEx([](void *p) { (*static_cast<Box *>(p)->pFn)(); }, &box,
                                                   &sched.base, nullptr, TRUE, MosUmtClassId{0, 0});
        mosUmt_JoinSync(h);
    }
    Cont *cont() { return reinterpret_cast<Cont *>(this); }

    IohRaidState state{};
    bool bCombHere = true;
    MosUmt_SchedThrd sched;
    MosAsyncIO aio;
    File fileObj;
    PhyDev dev{};
    VtreeMap map{};
    Vtree tree{};
    Head head{};
    PhyComb comb{};
    Elock elock{};
    ElockComb ecomb{};
    IohComb iohComb{};
    Ioh ioh{};
    TestRamCache ramCache;
    bool bOpen = false;
    std::atomic<UINT64> bwc[16][2]{}; // LB counted per bandwidth counter kind, read and write

  private:
    static inline IohRig *pRig_ = nullptr;
    static const HeadContHooks kHeadHooks;
    static const IohHooks kHooks;
};

inline const HeadContHooks IohRig::kHeadHooks = {
    [](Cont *, VTreeId id) -> Vtree * { return id == kTree ? &pRig_->tree : nullptr; },
    [](Cont *, Vtree *) {},
    [](Cont *, HeadId id) -> Head * { return id == kHead ? &pRig_->head : nullptr; },
    [](Cont *, Head *) {},
    [](Vtree *) -> BOOL { return FALSE; },
};
inline const IohHooks IohRig::kHooks = {
    [](Cont *, CombId id) -> IohComb * { return pRig_->bCombHere && id == kComb ? &pRig_->iohComb : nullptr; },
    [](Cont *, CombId) {},
    [](Cont *, UINT64 volId) -> IohVol * { return volId == kVol ? reinterpret_cast<IohVol *>(pRig_) : nullptr; },
    [](Cont *, IohVol *) {},
    [](IohVol *, VtoId *pVto, UINT64 *pKey) -> Vtree * {
        *pVto = kVolVto;
        *pKey = 0;
        return &pRig_->tree;
    },
    [](IohVol *, UINT64, UINT64, UINT64, UINT64 *pCur) -> Mos_RC {
        *pCur = 0;
        return MOS_RC__SUCCESS;
    },
    [](IohVol *) -> BOOL { return FALSE; },
    [](Cont *, UINT64, IohResp *) -> BOOL { return FALSE; },
    [](Cont *) -> BOOL { return FALSE; },
    [](Cont *, CombId, UINT32, BOOL *pbDel) -> Vtree * {
        *pbDel = FALSE;
        return &pRig_->tree;
    },
    [](Cont *, Vtree *) {},
    [](RaidComb *, IohRaidState *p) { *p = pRig_->state; },
    [](RaidComb *) -> PhyComb * { return &pRig_->comb; },
    [](RaidComb *) -> BOOL { return TRUE; },
    [](RaidComb *, const IohCombWrite *w) -> Mos_RC { return iohRig_LocalWrite(w); },
    [](RaidComb *, PhyToothIndex t, UINT32 off, UINT32 n, void *pData, T10Dif *pDif, RdIoFlags rd, UINT32 reason,
       IohCacheRead *pCache) -> Mos_RC {
        return iohRig_LocalRead(&pRig_->comb, t, off, n, pData, pDif, rd, reason, pCache);
    },
    [](RaidComb *, Vtree *pVtree, UINT32 off, PhyToothIndex, BOOL) -> Mos_RC {
        return phyComb_FreeEntireTooth(&pRig_->comb, off / TOOTH_SIZE_LB, pVtree, TRUE) ? MOS_RC__SUCCESS
                                                                                         : MOS_RC__IO_HARD_ERROR;
    },
    [](RaidComb *, UINT32) -> Mos_RC { return MOS_RC__SUCCESS; },
    [](RaidComb *, UINT32) -> BOOL { return FALSE; },
    [](RaidComb *, UINT32) -> Mos_RC { return MOS_RC__SUCCESS; },
    [](RaidComb *, TgtRsp_ReadCombFineDrl *p) -> BOOL { return phyComb_ReadBits(&pRig_->comb, 0, p, TRUE); },
    [](RaidComb *) -> BOOL { return phyComb_ResetEntireBits(&pRig_->comb, 0, TRUE); },
    [](RaidComb *, const TgtReq_GetNextTooth *q, TgtRsp_GetNextTooth *r) -> Mos_RC {
        r->toothInComb = q->toothInComb;
        return MOS_RC__SUCCESS;
    },
    [](Cont *, UINT32, UINT32, BOOL) -> BOOL { return TRUE; },
    [](IohVol *) -> BOOL { return FALSE; },
    [](RaidComb *, BOOL) -> BOOL { return FALSE; },
    [](RaidComb *, UINT32 n, UINT32 reason) { phyDev_StartThrottling(&pRig_->dev, n, reason, FALSE); },
    [](RaidComb *, UINT32 n, UINT32 reason) { phyDev_EndThrottling(&pRig_->dev, n, reason); },
    [](RaidComb *, UINT32 counter, UINT32 n, BOOL bWrite) {
        if (counter < 16)
            pRig_->bwc[counter][bWrite ? 1 : 0] += n;
    },
    [](Cont *, UINT32) {}, // no copies run here: nothing limits client I/O
};
