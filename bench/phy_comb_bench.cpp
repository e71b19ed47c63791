// Comb teeth with snapshot versions on an O_DIRECT device file, each figure beside an outside
// anchor measured in the same run.
//
//   phy_comb_bench [FILE] [--seconds 3]
//
// Version walk: one read lookup of a position holding 1, 8 and 128 versions (the tree's nodes
// merged with the versions in time order, no garbage collection); the anchor is an ordered-map
// search for the newest label not after a time among as many labels (std::map::upper_bound),
// what the simplest index of versions by time would cost.
// 4 KB tooth writes: lookup plus a 4 KB write in place, and a write that must copy its tooth
// (a snapshot made just before each write: read of the shared 1 MB tooth, write of the new one,
// the new version recorded and hardened in the tooth map, the snapshot then deleted); the anchor
// is fio's 4 KB random-write IOPS at depth 1 on the same file.
// Without FILE a sparse file is made in a temporary directory on a disk file system.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>

#include "bench/bench_fio.h"
#include "bench/bench_harness.h"
#include "mos/mos_load.h"
#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "tgt/file/file.h"
#include "tgt/phy/phy_comb.h"
#include "tgt/phy/stmp.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_sdbg.h"

namespace {

constexpr UINT64 kDevLbs = 2 * GB_IN_LBS + 1000;
constexpr HeadId kHead = 3;
constexpr CombId kComb = combId_Make(kHead, 0, 0);
constexpr VTreeId kTree = 0x42;
constexpr VtoId kVol = 5;

struct Ctx {
    MosUmt_SchedThrd sched;
    MosAsyncIO aio;
    File file;
    PhyDev dev;
    VtreeMap map;
    Vtree tree;
    Head head;
    PhyComb comb;
};
Ctx *ctx_G = nullptr;

const HeadContHooks kHooks = {
    [](Cont *, VTreeId id) -> Vtree * { return id == kTree ? &ctx_G->tree : nullptr; },
    [](Cont *, Vtree *) {},
    [](Cont *, HeadId id) -> Head * { return id == kHead ? &ctx_G->head : nullptr; },
    [](Cont *, Head *) {},
    [](Vtree *) -> BOOL { return FALSE; },
};

void runUmt(Ctx &c, const std::function<void()> &fn)
{
    struct Box {
        const std::function<void()> *pFn;
    } box{&fn};
    HMosUmt_UThread h = mosUmt_CreateUThreadEx([](void *p) { (*static_cast<Box *>(p)->pFn)(); }, &box,
                                               &c.sched.base, nullptr, TRUE, MosUmtClassId{0, 0});
    mosUmt_JoinSync(h);
}

void treeUpdate(Ctx &c, VtoId id, VtoTime time, SnapDelState state, VtoId parent)
{
    OstrelTgtReq_VtreeNode n{kTree, 1, parent, id, time, (UINT32)state};
    BOOL b;
    vtree_Update(&c.tree, 1, &n, TRUE, TRUE, &b);
}

void benchWalk(Ctx &c)
{
    printf("%-10s %14s %18s %8s\n", "versions", "walk ns", "map search ns", "ratio");
    UINT32 position = 16;
    for (UINT32 n : {1u, 8u, 128u}) {
        runUmt(c, [&] {
            for (UINT32 v = 1; v <= n; v++)
                phyComb_AllocToothWithTime(&c.comb, &c.tree, position * TOOTH_SIZE_LB, kVol, v);
        });
        const UINT64 ops = n == 128 ? 20000 : 200000;
        double ns = 0;
        runUmt(c, [&] {
            ns = bench::nsPerOp(ops, [&] {
                for (UINT64 i = 0; i < ops; i++)
                    bench::keep(phyComb_GetToothIndexWithVtree(&c.comb, &c.tree, kVol, position * TOOTH_SIZE_LB,
                                                               FALSE, FALSE, 0, nullptr, nullptr));
            });
        });
        std::map<std::pair<UINT32, UINT32>, UINT32> labels;
        for (UINT32 v = 1; v <= n; v++)
            labels[{v, kVol}] = v;
        double mapNs = bench::nsPerOp(ops, [&] {
            for (UINT64 i = 0; i < ops; i++) {
                auto it = labels.upper_bound({(UINT32)(i % n) + 1, kVol});
                bench::keep(--it);
            }
        });
        printf("%-10u %14.1f %18.1f %8.2f\n", n, ns, mapNs, mapNs > 0 ? ns / mapNs : 0.0);
        fflush(stdout);
        position += 8;
    }
}

// 4 KB writes of the volume through lookup and tooth write; with bCow a snapshot shares the
// tooth at each write, so the write copies it first.
double writeRate(Ctx &c, bool bCow, double seconds)
{
    UINT8 *pBuf = static_cast<UINT8 *>(aligned_alloc(4096, TOOTH_SIZE_LB * 512ull));
    memset(pBuf, 0x3C, TOOTH_SIZE_LB * 512ull);
    const UINT32 off = 100 * TOOTH_SIZE_LB;
    UINT64 ops = 0, failures = 0;
    VtoId nextSnap = 100;
    auto t0 = std::chrono::steady_clock::now();
    runUmt(c, [&] {
        UINT64 x = 0x9E3779B97F4A7C15ull;
        while (bench::secondsSince(t0) < seconds) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            UINT32 inTooth = (UINT32)(x % 256) * 8;
            if (bCow)
                treeUpdate(c, nextSnap, c.tree.time + 1, SNAP_DEL_STATE__NORMAL, kVol);
            PhyCombTooth nt{};
            PhyToothIndex t = phyComb_GetToothIndexWithVtree(&c.comb, &c.tree, kVol, off + inTooth, TRUE, TRUE,
                                                             c.tree.time, &nt, nullptr);
            Mos_RC rc = MOS_RC__ERROR;
            if (nt.dstToothIndex == PHY_TOOTH_INDEX__INVALID) {
                rc = phyComb_WriteTooth(&c.comb, pBuf, nullptr, t, inTooth, 8, WrIoFlags{.flags = 0}, 0,
                                        off + inTooth, 0, nullptr);
            } else {
                if (nt.srcToothIndex != PHY_TOOTH_INDEX__INVALID)
                    rc = phyComb_ReadTooth(&c.comb, pBuf, nullptr, nt.srcToothIndex, 0, TOOTH_SIZE_LB, 0,
                                           RdIoFlags{.flags = 0}, off);
                rc = phyComb_WriteTooth(&c.comb, pBuf, nullptr, nt.dstToothIndex, 0, TOOTH_SIZE_LB,
                                        WrIoFlags{.flags = 0}, 0, off, 0, nullptr);
                if (rc == MOS_RC__SUCCESS)
                    rc = phyComb_UpdateTooth(&c.comb, &c.tree, off, nt.vtoId, nt.time, nt.dstToothIndex, TRUE, FALSE,
                                             FALSE, FALSE);
                if (rc != MOS_RC__SUCCESS)
                    phyComb_RollbackAllocTooth(&c.comb, off, nt.dstToothIndex);
            }
            if (bCow)
                treeUpdate(c, nextSnap, c.tree.time, SNAP_DEL_STATE__DELETED, kVol), nextSnap++;
            ops++;
            failures += rc != MOS_RC__SUCCESS;
        }
    });
    double elapsed = bench::secondsSince(t0);
    free(pBuf);
    if (failures != 0)
        fprintf(stderr, "%llu writes failed\n", (unsigned long long)failures);
    return (double)ops / elapsed;
}

} // namespace

int main(int argc, char **argv)
{
    const bench::FileBenchArgs args = bench::fileBenchArgs(argc, argv, "pellar-phy-comb-bench");
    const std::string &file = args.file;
    const double seconds = args.seconds;
    const bool bOwnFile = args.bOwnFile;
    if (!bench::sizeFile(file, kDevLbs * 512))
        return 1;
    if (mos_Init(nullptr) != MOS_RC__SUCCESS)
        return 1;
    mosUmtMgr_Init(nullptr);
    tgtSdbg_Register();
    tgtPerfInitParam_G.maxReqPerAsyncFile = 64;
    tgtInitParam_G.phyDevMinCapacityInLbs = 2 * GB_IN_LBS;
    static Ctx c;
    ctx_G = &c;
    head_SetContHooks(&kHooks);
    if (mosUmtSchedThrd_Create(&c.sched, "phy comb bench", 2, 2, 4) != MOS_RC__SUCCESS ||
        mosAsyncIO_Create(&c.aio, 128, 1, TRUE) != MOS_RC__SUCCESS)
        return 1;
    stmp_Init(&stmp_g, (UINT32)tgtInitParam_G.stmpMemorySizeInLbs);
    file_Init(&c.file, nullptr, nullptr);
    Cont *pCont = reinterpret_cast<Cont *>(&c);
    PhyAddDevProgress progress{};
    PhyDevThrottlingInfo throttling{};
    Mos_RC rc = MOS_RC__ERROR;
    runUmt(c, [&] {
        rc = file_Open(&c.file, file.c_str(), &c.aio);
        if (rc == MOS_RC__SUCCESS)
            rc = phyDev_Init(&c.dev, pCont, &c.file, kDevLbs, 2048, 1, 2, FALSE, TRUE, &throttling, FALSE, FALSE,
                             FALSE, nullptr, nullptr, &progress, FALSE, 0, 0);
    });
    if (rc != MOS_RC__SUCCESS) {
        fprintf(stderr, "setup failed: %d\n", (int)rc);
        return 1;
    }
    c.dev.toothMap.snapReservedTeeth = c.dev.numOfTeeth;
    vtreeMap_Init(&c.map);
    vtree_Init(&c.tree, kTree, &c.map, 0, 200, FALSE, TRUE);
    treeUpdate(c, kVol, 1, SNAP_DEL_STATE__NORMAL, 0);
    VTreeId usage[HEAD__USAGE_MAP_SLOTS];
    for (auto &u : usage)
        u = kTree;
    head_Init(&c.head, pCont, usage);
    phyComb_Init(&c.comb, FALSE);
    phyComb_Attach(&c.comb, kComb, &c.dev, PhyDevAddr{.devAddr = 1});

    printf("phy_comb_bench on %s (O_DIRECT, kernel AIO), %.0f s per figure\n\n", file.c_str(), seconds);
    benchWalk(c);
    double inPlace = writeRate(c, false, seconds);
    double cow = writeRate(c, true, seconds);
    runUmt(c, [&] { phyComb_RemoveAllTeeth(&c.comb, TRUE); });
    double fio = bench::fioIops(file, 256ull << 20, "randwrite", 4096, 1, seconds);
    printf("\n%-26s %14s %16s %8s\n", "4 KB tooth writes", "writes/s", "fio 4k IOPS", "ratio");
    printf("%-26s %14.0f %16.0f %8.2f\n", "in place", inPlace, fio, fio > 0 ? inPlace / fio : 0.0);
    printf("%-26s %14.0f %16.0f %8.2f\n", "copy-on-write (1 MB copy)", cow, fio, fio > 0 ? cow / fio : 0.0);

    phyComb_Destroy(&c.comb);
    head_Destroy(&c.head);
    vtree_Destroy(&c.tree);
    vtreeMap_Destroy(&c.map);
    runUmt(c, [&] {
        phyDev_Destroy(&c.dev);
        file_Close(&c.file);
    });
    if (bOwnFile)
        unlink(file.c_str());
    return 0;
}
