// Crash replay of a device's metadata: a run of random tooth allocations, updates, frees and
// hardens, dirty-region sets and resets on a 2 GB sparse device, with every device write logged.
// Each prefix of the log is replayed onto a copy of the formatted device, which is then reopened:
// it must reopen, every tooth it names must hold the data written for that label, free and found
// teeth must account for every tooth once, every acknowledged tooth must be there until its free
// began, and every region dirty when its set was acknowledged must stay dirty until a reset began.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <map>
#include <random>
#include <set>

#include "test/support/tgt_dev_fixture.h"
#include "tgt/phy/phy_dev.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

constexpr UINT64 kDevLbs = 4194304; // 2 GB
constexpr CombId kComb = 0x8000 | 3;
constexpr UINT32 kPositions = 40;
constexpr UINT32 kOps = 300;
constexpr UINT64 kMagic = 0x7EE7DA7A5EEDull;
constexpr size_t kNever = SIZE_MAX;

struct Label {
    UINT64 magic;
    CombTId combTId;
    UINT32 vtoId;
    UINT32 time;
};

struct ToothLife {
    PhyToothIndex t;
    Label label;
    size_t ackedAt;     // writes logged when its harden returned
    size_t freeIssued;  // writes logged when its free began
};

struct DirtyLife {
    UINT32 region;
    size_t ackedAt;
    size_t resetIssued;
};

class CrashReplay : public ::testing::Test {
  protected:
    void SetUp() override
    {
        tgtConf_SetDefaults();
        tgtInitParam_G.phyDevMinCapacityInLbs = kDevLbs;
        dev.open("dev", kDevLbs * 512);
        data = static_cast<UINT8 *>(aligned_alloc(4096, 4096));
    }
    void TearDown() override { free(data); }

    UINT64 toothLb(const PhyDev &d, PhyToothIndex t) { return d.teethOffsetInLbs + (UINT64)t * 2048; }

    void writeLabel(PhyDev &d, PhyToothIndex t, const Label &l)
    {
        memset(data, 0, 4096);
        memcpy(data, &l, sizeof(l));
        Mos_RC rc = MOS_RC__ERROR;
        dev.run([&] { rc = file_Write(&dev.file, data, toothLb(d, t), 8, FILE_IO_TYPE__IO, kComb, 0); });
        ASSERT_EQ(rc, MOS_RC__SUCCESS);
    }

    TgtDevFixture dev;
    UINT8 *data = nullptr;
    UINT64 devId = 0xC4A500000ull;
};

TEST_F(CrashReplay, EveryPrefixOfTheWriteLogReopensConsistent)
{
    PhyDev d;
    Mos_RC rc = MOS_RC__ERROR;
    dev.run([&] { rc = phyDev_Init(&d, nullptr, &dev.file, kDevLbs, 2048, 1, devId, FALSE, TRUE, nullptr, FALSE, FALSE,
                                       FALSE, nullptr, nullptr, nullptr, FALSE, 0, 0); });
    ASSERT_EQ(rc, MOS_RC__SUCCESS);
    d.toothMap.snapReservedTeeth = 1000000;
    std::string copyPath = dev.dir.file("copy");
    ASSERT_EQ(system(("cp --sparse=always " + dev.path + " " + copyPath).c_str()), 0);
    dev.logWrites(true);

    std::mt19937 rng(2026);
    PhyToothList lists[kPositions];
    for (auto &l : lists)
        phyToothList_Init(&l);
    std::vector<ToothLife> teeth;
    std::map<PhyToothIndex, size_t> owned; // tooth -> index in teeth
    std::vector<DirtyLife> dirty;
    std::map<UINT32, size_t> openDirty; // region -> index in dirty
    UINT32 clock = 0;
    for (UINT32 op = 0; op < kOps; op++) {
        UINT32 kind = rng() % 100;
        if (kind < 35) {
            UINT32 pos = rng() % kPositions;
            PhyToothIndex t = phyDev_AllocTooth(&d);
            ASSERT_NE(t, PHY_TOOTH_INDEX__INVALID);
            Label l{kMagic, combTId_Make(kComb, pos), (UINT32)(1 + rng() % 3), ++clock};
            writeLabel(d, t, l); // data before the entry that points at it
            UINT32 update = 0;
            BOOL bFirst;
            ASSERT_TRUE(phyDev_UpdateTooth(&d, kComb, pos, l.vtoId, l.time, &lists[pos], t, FALSE, FALSE, FALSE, &bFirst,
                                           &update));
            BOOL ok = FALSE;
            dev.run([&] { ok = phyDev_HardenToothArr(&d, update); });
            ASSERT_TRUE(ok);
            owned[t] = teeth.size();
            teeth.push_back({t, l, dev.log().size(), kNever});
        } else if (kind < 55 && !owned.empty()) {
            auto it = owned.begin();
            std::advance(it, rng() % owned.size());
            ToothLife &life = teeth[it->second];
            life.freeIssued = dev.log().size();
            BOOL bLast;
            phyDev_FreeTooth(&d, life.label.combTId, &lists[combTId_GetTooth(life.label.combTId)], life.t, TRUE, &bLast);
            owned.erase(it);
        } else if (kind < 65) {
            BOOL ok = FALSE;
            dev.run([&] { ok = phyDev_HardenToothArr(&d, 0); });
            ASSERT_TRUE(ok);
        } else if (kind < 85) {
            UINT32 region = rng() % (UINT32)d.numOfTeeth;
            UINT32 off = 8 * (rng() % 256);
            BOOL ok = FALSE;
            dev.run([&] { ok = phyDev_SetDirty(&d, PHY_DEV_DRL_TYPE__ACTIVE, toothLb(d, region) + off, 8, TRUE, off, TRUE); });
            ASSERT_TRUE(ok);
            if (!openDirty.count(region)) {
                openDirty[region] = dirty.size();
                dirty.push_back({region, dev.log().size(), kNever});
            }
        } else if (!openDirty.empty()) {
            auto it = openDirty.begin();
            std::advance(it, rng() % openDirty.size());
            dirty[it->second].resetIssued = dev.log().size();
            UINT32 region = it->first;
            openDirty.erase(it);
            BOOL ok = FALSE;
            dev.run([&] { ok = phyDev_ResetDirty(&d, PHY_DEV_DRL_TYPE__ACTIVE, toothLb(d, region), 2048, TRUE); });
            ASSERT_TRUE(ok);
        }
    }
    dev.logWrites(false);
    std::vector<TgtDevFixture::Logged> log = dev.log();
    ASSERT_GE(teeth.size(), 60u);
    ASSERT_GE(dirty.size(), 30u);
    phyDev_Destroy(&d);
    dev.close();

    TgtDevFixture copy;
    copy.openPath(copyPath);
    int fd = ::open(copyPath.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    UINT8 *pRead = static_cast<UINT8 *>(aligned_alloc(4096, 4096));
    for (size_t k = 0; k <= log.size(); k++) {
        SCOPED_TRACE("prefix of " + std::to_string(k) + " writes");
        if (k > 0) {
            ASSERT_EQ(pwrite(fd, log[k - 1].data.data(), log[k - 1].data.size(), (off_t)log[k - 1].offset),
                      (ssize_t)log[k - 1].data.size());
        }
        PhyDev r;
        copy.run([&] { rc = phyDev_Init(&r, nullptr, &copy.file, kDevLbs, 2048, 1, devId, FALSE, FALSE, nullptr, FALSE,
                                            FALSE, FALSE, nullptr, nullptr, nullptr, FALSE, 0, 0); });
        ASSERT_EQ(rc, MOS_RC__SUCCESS);
        std::map<PhyToothIndex, CombTId> found;
        CombTId ct;
        for (PhyToothIndex t; (t = phyToothMap_PopToothFoundOnDev(&r.toothMap, &ct)) != PHY_TOOTH_INDEX__INVALID;)
            found[t] = ct;
        UINT64 freeCount = 0;
        std::set<PhyToothIndex> seen;
        for (PhyToothIndex t; (t = phyToothMap_AllocTooth(&r.toothMap)) != PHY_TOOTH_INDEX__INVALID; freeCount++) {
            ASSERT_FALSE(found.count(t)) << "tooth " << t << " both found and free";
            ASSERT_TRUE(seen.insert(t).second);
        }
        ASSERT_EQ(found.size() + freeCount, r.numOfTeeth) << "every tooth once";
        for (auto [t, combTId] : found) {
            PhyToothData e = phyToothMap_GetEntry(&r.toothMap, t);
            Mos_RC rd = MOS_RC__ERROR;
            copy.run([&] {
                rd = file_Read(&copy.file, pRead, nullptr, toothLb(r, t), 8, FILE_IO_TYPE__IO, TRUE, kComb, 0,
                               RdIoFlags{.flags = 0});
            });
            ASSERT_EQ(rd, MOS_RC__SUCCESS);
            Label l;
            memcpy(&l, pRead, sizeof(l));
            ASSERT_EQ(l.magic, kMagic) << "tooth " << t << " names data never written";
            ASSERT_EQ(l.combTId, combTId) << "tooth " << t << " holds another owner's data";
            ASSERT_EQ(l.vtoId, e.devVto.vtoId);
            ASSERT_EQ(l.time, e.devVto.time);
        }
        for (const ToothLife &life : teeth) {
            if (life.ackedAt <= k && k <= life.freeIssued) {
                ASSERT_TRUE(found.count(life.t)) << "acknowledged tooth " << life.t << " lost";
                ASSERT_EQ(phyToothMap_GetEntry(&r.toothMap, life.t).devVto.time, life.label.time);
            }
        }
        for (const DirtyLife &dl : dirty) {
            if (dl.ackedAt <= k && k <= dl.resetIssued) {
                ASSERT_FALSE(phyDev_IsClean(&r, PHY_DEV_DRL_TYPE__ACTIVE, toothLb(r, dl.region)))
                    << "region " << dl.region << " was dirty when acknowledged";
            }
        }
        phyDev_Destroy(&r);
    }
    free(pRead);
    ::close(fd);
    copy.close();
}
} // namespace
