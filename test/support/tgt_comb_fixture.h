// A comb on a formatted device for tests of comb teeth and tooth I/O: a sparse device file, the
// device brought up on it, a controller played by the test (heads and volume trees found by id
// through the hooks the comb layer calls), and helpers that write and read a node's data the way
// the mirroring layer does (lookup, copy of the source tooth, record the new version).
#pragma once

#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "test/support/tgt_dev_fixture.h"
#include "tgt/phy/phy_comb.h"
#include "tgt/phy/phy_devset.h"

// The controller's registry of heads and trees, as far as the comb layer reaches it.
class FakeCombCont {
  public:
    std::map<HeadId, Head *> heads;
    std::map<VTreeId, Vtree *> trees;
    std::set<VTreeId> needDelete;
    int refs = 0;

    FakeCombCont()
    {
        pCur_ = this;
        head_SetContHooks(&kHooks);
    }
    ~FakeCombCont()
    {
        head_SetContHooks(nullptr);
        pCur_ = nullptr;
    }
    Cont *cont() { return reinterpret_cast<Cont *>(this); }

  private:
    static inline FakeCombCont *pCur_ = nullptr;
    static inline const HeadContHooks kHooks = {
        [](Cont *, VTreeId id) -> Vtree * {
            auto it = pCur_->trees.find(id);
            if (it == pCur_->trees.end())
                return nullptr;
            pCur_->refs++;
            return it->second;
        },
        [](Cont *, Vtree *) { pCur_->refs--; },
        [](Cont *, HeadId id) -> Head * {
            auto it = pCur_->heads.find(id);
            if (it == pCur_->heads.end())
                return nullptr;
            pCur_->refs++;
            return it->second;
        },
        [](Cont *, Head *) { pCur_->refs--; },
        [](Vtree *p) -> BOOL { return pCur_->needDelete.count(p->vtreeId) ? TRUE : FALSE; },
    };
};

struct VtreeNodeSpec {
    VtoId vtoId;
    VtoTime time;
    SnapDelState state = SNAP_DEL_STATE__NORMAL;
    VtoId parent = 0;
};

// A device in a device set of its own, where combs are placed the way the controller places them.
struct PlacedDevice {
    static constexpr TgtDevId kDevId = 0xD7;
    Phy phy{};
    File file{};
    PhyDev *pDev = nullptr;
    std::string path;
};

class CombFixture {
  public:
    static constexpr HeadId kHead = 3;
    static constexpr CombId kComb = combId_Make(kHead, 0, 0);

    // A device of devGb gigabytes (teeth from 1 GB on).
    void up(UINT32 devGb = 2)
    {
        tgtConf_SetDefaults();
        tgtInitParam_G.phyDevMinCapacityInLbs = 4194304 - 4096;
        devLbs = (UINT64)devGb * GB_IN_LBS;
        dev.open("dev", devLbs * 512 + 1000 * 512);
        ASSERT_EQ(initDev(TRUE), MOS_RC__SUCCESS);
        vtreeMap_Init(&map);
        VTreeId none[HEAD__USAGE_MAP_SLOTS] = {};
        head_Init(&head, cont.cont(), none);
        cont.heads[kHead] = &head;
        newComb(&comb, FALSE);
    }
    void down()
    {
        if (!bUp)
            return;
        dev.run([&] {
            for (PhyComb *p : combs) {
                phyComb_RemoveAllTeeth(p, FALSE);
                phyComb_Destroy(p);
            }
        });
        combs.clear();
        ownCombs.clear();
        for (auto &t : ownTrees)
            vtree_Destroy(t.get());
        ownTrees.clear();
        cont.trees.clear();
        head_Destroy(&head);
        vtreeMap_Destroy(&map);
        dev.run([&] { phyDev_Destroy(&pd); });
        bUp = false;
        dev.close();
    }
    ~CombFixture() { down(); }

    Mos_RC initDev(BOOL bNew)
    {
        Mos_RC rc = MOS_RC__ERROR;
        dev.run([&] {
            rc = phyDev_Init(&pd, cont.cont(), &dev.file, devLbs + 1000, 2048, 0x7007, 0xC0B0 + devLbs, FALSE, bNew,
                             &throttling, FALSE, FALSE, FALSE, nullptr, nullptr, &progress, FALSE, 0, 0);
        });
        bUp = rc == MOS_RC__SUCCESS;
        if (bUp)
            pd.toothMap.snapReservedTeeth = pd.numOfTeeth;
        return rc;
    }
    void newComb(PhyComb *p, BOOL bThin, CombId id = kComb)
    {
        phyComb_Init(p, bThin);
        phyComb_Attach(p, id, &pd, PhyDevAddr{.devAddr = 1});
        combs.push_back(p);
    }
    // The process ends without freeing anything and the device is opened again: the comb is
    // rebuilt from the teeth the tooth map names, and the trees' usage from them.
    void reopen()
    {
        for (Vtree *t : treesOf())
            t->vtreeUsageMB = t->baseVolUsageMB = 0;
        phyComb_Destroy(&comb);
        combs.erase(std::find(combs.begin(), combs.end(), &comb));
        pd.toothMap.currBaseTeeth = pd.toothMap.currSnapTeeth = pd.toothMap.currThinBaseTeeth = 0;
        dev.run([&] { phyDev_Destroy(&pd); });
        ASSERT_EQ(initDev(FALSE), MOS_RC__SUCCESS);
        newComb(&comb, FALSE);
        PhyToothList found;
        phyToothList_Init(&found);
        dev.run([&] {
            CombTId ctid;
            for (PhyToothIndex x; (x = phyToothMap_PopToothFoundOnDev(&pd.toothMap, &ctid)) != PHY_TOOTH_INDEX__INVALID;)
                phyToothMap_AppendTooth(&pd.toothMap, &found, x);
            phyComb_ReattachTeeth(&comb, &found, FALSE);
        });
    }
    // Brings the file at path up as the only device of u's device set (bNew: formatted).
    void upPlaced(PlacedDevice &u, const std::string &path, BOOL bNew)
    {
        u.path = path;
        phy_InitEx(&u.phy, cont.cont(), nullptr, FALSE);
        file_Init(&u.file, nullptr, nullptr);
        dev.run([&] {
            ASSERT_EQ(file_Open(&u.file, path.c_str(), phyMultiDev_GetAsyncIO(&u.phy.mDev)), MOS_RC__SUCCESS);
            ASSERT_EQ(phy_AddDev(&u.phy, cont.cont(), &u.file, devLbs + 1000, 2048, 0x7007, PlacedDevice::kDevId,
                                 FALSE, 1u << 20, bNew, nullptr, &u.pDev, nullptr),
                      MOS_RC__SUCCESS);
        });
    }
    // Places pComb (initialised here) on u's device; *pbOnDevice: it was found there.
    void placeComb(PlacedDevice &u, PhyComb *pComb, BOOL bRemoveAllTeeth, BOOL *pbOnDevice)
    {
        phyComb_Init(pComb, FALSE);
        dev.run([&] {
            ASSERT_EQ(phyComb_AllocComb(pComb, kComb, PlacedDevice::kDevId, &u.phy, u.pDev, bRemoveAllTeeth,
                                        pbOnDevice),
                      MOS_RC__SUCCESS);
            phyComb_AllocCombDone(pComb, &u.phy);
        });
    }
    // Frees the comb (its teeth and slot) and takes the device and its set down.
    void downPlaced(PlacedDevice &u, PhyComb *pComb)
    {
        dev.run([&] {
            phyComb_FreeComb(pComb, &u.phy);
            phyComb_Destroy(pComb);
            EXPECT_EQ(phy_RemDev(&u.phy, u.pDev), MOS_RC__SUCCESS);
            file_Close(&u.file);
        });
        file_Destroy(&u.file);
        phy_Destroy(&u.phy);
        u.pDev = nullptr;
    }
    // A copy of the device file as it is now, as a crash would leave it.
    std::string crashCopy(const std::string &from, const std::string &name)
    {
        std::string to = dev.dir.file(name);
        EXPECT_EQ(system(("cp --sparse=always " + from + " " + to).c_str()), 0);
        return to;
    }

    std::vector<Vtree *> treesOf()
    {
        std::vector<Vtree *> out;
        for (auto &t : ownTrees)
            out.push_back(t.get());
        return out;
    }
    // Another comb on the device, kept until down().
    PhyComb *addComb(CombId id, BOOL bThin = FALSE)
    {
        ownCombs.push_back(std::make_unique<PhyComb>());
        newComb(ownCombs.back().get(), bThin, id);
        return ownCombs.back().get();
    }
    // Frees the comb's teeth and forgets it (the device keeps what the map says).
    void dropComb(PhyComb *p)
    {
        dev.run([&] {
            phyComb_RemoveAllTeeth(p, TRUE);
            phyComb_Destroy(p);
        });
        combs.erase(std::find(combs.begin(), combs.end(), p));
    }

    Vtree *addTree(VTreeId id, BOOL bThin, std::vector<VtreeNodeSpec> nodes, VtoTime time = 1)
    {
        ownTrees.push_back(std::make_unique<Vtree>());
        Vtree *t = ownTrees.back().get();
        vtree_Init(t, id, &map, 0, time, bThin, TRUE);
        updateTree(t, nodes);
        cont.trees[id] = t;
        return t;
    }
    void updateTree(Vtree *t, std::vector<VtreeNodeSpec> nodes)
    {
        std::vector<OstrelTgtReq_VtreeNode> recs;
        for (auto &n : nodes)
            recs.push_back({t->vtreeId, 1, n.parent, n.vtoId, n.time, (UINT32)n.state});
        BOOL b;
        ASSERT_EQ(vtree_Update(t, (UINT32)recs.size(), recs.data(), TRUE, TRUE, &b), MOS_RC__SUCCESS);
    }
    // Blocks [first, last] of the head belong to tree id.
    void own(UINT32 firstBlock, UINT32 lastBlock, VTreeId id)
    {
        for (UINT32 b = firstBlock; b <= lastBlock; b++)
            head.usageMap[b] = id;
    }

    // Writes n LB of `fill` at LB offset off of the comb for node vtoId of tree t, copying a
    // shared version to a new tooth first. The result of the last step.
    Mos_RC write(PhyComb *pComb, Vtree *t, VtoId vtoId, UINT32 off, UINT32 n, UINT8 fill, BOOL *pbCow = nullptr)
    {
        Mos_RC rc = MOS_RC__ERROR;
        dev.run([&] {
            PhyCombTooth nt{};
            BOOL bIgn = FALSE;
            PhyToothIndex tooth = phyComb_GetToothIndexWithVtree(pComb, t, vtoId, off, TRUE, TRUE, t->time, &nt, &bIgn);
            UINT32 inTooth = off % TOOTH_SIZE_LB;
            if (pbCow != nullptr)
                *pbCow = nt.dstToothIndex != PHY_TOOTH_INDEX__INVALID;
            if (tooth == PHY_TOOTH_INDEX__INVALID) {
                rc = MOS_RC__IO_FAULT_NO_SPACE;
                return;
            }
            if (nt.dstToothIndex == PHY_TOOTH_INDEX__INVALID) {
                Buf b(n, fill);
                rc = phyComb_WriteTooth(pComb, b.p, nullptr, tooth, inTooth, n, WrIoFlags{.flags = 0}, 0, off, 0,
                                        nullptr);
                return;
            }
            Buf whole(TOOTH_SIZE_LB, 0);
            if (nt.srcToothIndex != PHY_TOOTH_INDEX__INVALID) {
                rc = phyComb_ReadTooth(pComb, whole.p, nullptr, nt.srcToothIndex, 0, TOOTH_SIZE_LB, 0,
                                       RdIoFlags{.flags = 0}, off - inTooth);
                if (rc != MOS_RC__SUCCESS)
                    return;
            }
            memset(whole.p + (size_t)inTooth * 512, fill, (size_t)n * 512);
            rc = phyComb_WriteTooth(pComb, whole.p, nullptr, nt.dstToothIndex, 0, TOOTH_SIZE_LB,
                                    WrIoFlags{.flags = 0}, 0, off - inTooth, 0, nullptr);
            if (rc == MOS_RC__SUCCESS)
                rc = phyComb_UpdateTooth(pComb, t, off, nt.vtoId, nt.time, nt.dstToothIndex, TRUE, t->bThin, FALSE,
                                         FALSE);
            if (rc != MOS_RC__SUCCESS)
                phyComb_RollbackAllocTooth(pComb, off, nt.dstToothIndex);
        });
        return rc;
    }
    // The first byte of each LB of [off, off + n) as node vtoId sees it (0 where nothing was written).
    std::vector<UINT8> read(PhyComb *pComb, Vtree *t, VtoId vtoId, UINT32 off, UINT32 n)
    {
        std::vector<UINT8> out(n, 0xEE);
        dev.run([&] {
            PhyToothIndex tooth =
                phyComb_GetToothIndexWithVtree(pComb, t, vtoId, off, FALSE, FALSE, 0, nullptr, nullptr);
            if (tooth == PHY_TOOTH_INDEX__INVALID) {
                std::fill(out.begin(), out.end(), 0);
                return;
            }
            Buf b(n, 0xEE);
            if (phyComb_ReadTooth(pComb, b.p, nullptr, tooth, off % TOOTH_SIZE_LB, n, 0, RdIoFlags{.flags = 0}, off) !=
                MOS_RC__SUCCESS)
                return;
            for (UINT32 i = 0; i < n; i++)
                out[i] = b.p[(size_t)i * 512];
        });
        return out;
    }
    // (vtoId, time) of the versions of a position, oldest first.
    std::vector<std::pair<VtoId, VtoTime>> versions(PhyComb *pComb, UINT32 toothInComb)
    {
        VtoOnDev v[PHY_COMB__MAX_VERSIONS];
        UINT32 n = phyComb_ReadToothList(pComb, toothInComb * TOOTH_SIZE_LB, v, PHY_COMB__MAX_VERSIONS);
        std::vector<std::pair<VtoId, VtoTime>> out;
        for (UINT32 i = 0; i < n; i++)
            out.emplace_back(v[i].vtoId, v[i].time);
        return out;
    }
    UINT64 usedTeeth() { return pd.toothMap.currBaseTeeth + pd.toothMap.currSnapTeeth; }

    struct Buf {
        Buf(UINT32 lbs, UINT8 fill)
        {
            size_t bytes = ((size_t)lbs * 512 + 4095) / 4096 * 4096;
            p = static_cast<UINT8 *>(aligned_alloc(4096, bytes));
            memset(p, fill, (size_t)lbs * 512);
        }
        ~Buf() { free(p); }
        UINT8 *p;
    };

    TgtDevFixture dev;
    PhyDev pd{};
    PhyAddDevProgress progress{};
    PhyDevThrottlingInfo throttling{};
    UINT64 devLbs = 0;
    FakeCombCont cont;
    VtreeMap map{};
    Head head{};
    PhyComb comb{};
    std::vector<PhyComb *> combs;
    std::vector<std::unique_ptr<PhyComb>> ownCombs;
    std::vector<std::unique_ptr<Vtree>> ownTrees;
    bool bUp = false;
};
