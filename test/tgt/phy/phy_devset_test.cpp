// The device set and the device map: slots (the 129th device, a failed add), the reopen scan
// that gives combs their teeth and frees teeth of unknown combs, comb slots running out, removal
// (refused while a comb is counted; a removed device is not found again), and discovery of
// devices offered as plain files: bad headers, duplicate ids, reads that outlast the threshold.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "test/support/fake_aio_backend.h"
#include "test/support/tgt_test_support.h"
#include "tgt/file/file.h"
#include "tgt/phy/phy_devset.h"
#include "tgt/phy/stmp.h"
#include "tgt/rcache/rcache.h"
#include "tgt/tgt_umt_class.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv(tgt_UmtClassInit));

constexpr UINT64 kDevLbs = 4194304; // 2 GB
constexpr TgtId kTgt = 0x7007;

void run(const std::function<void()> &fn) { umtTest_RunAsUmt(fn); }

class PhyDevSetTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        tgtConf_SetDefaults();
        tgtInitParam_G.phyDevMinCapacityInLbs = kDevLbs - 4096;
        tgtInitParam_G.devReadIdThresholdInMillis = 1000;
        stmp_Init(&stmp_g, (UINT32)tgtInitParam_G.stmpMemorySizeInLbs);
        partFile = dir.file("partitions");
        setenv("PELLAR_PARTITION_FILE", partFile.c_str(), 1);
        phyDevMap_SetDevDir((dir.path() + "/").c_str());
        writePartitions({});
    }
    void TearDown() override
    {
        if (bPhyUp) {
            run([&] {
                for (auto &d : devs) {
                    if (d->pDev != nullptr) {
                        EXPECT_EQ(phy_RemDev(&phy, d->pDev), MOS_RC__SUCCESS);
                    }
                }
            });
        }
        for (auto &d : devs)
            closeDev(*d);
        if (bPhyUp)
            phy_Destroy(&phy);
        phyDevMap_SetDevDir(nullptr);
        unsetenv("PELLAR_PARTITION_FILE");
        stmp_Destroy(&stmp_g);
    }

    struct Dev {
        std::string name;
        std::string path;
        File file;
        bool bOpen = false;
        PhyDev *pDev = nullptr;
    };

    void upPhy(const MosAsyncIO_Backend *pBackend = nullptr)
    {
        phy_InitEx(&phy, nullptr, pBackend, FALSE);
        bPhyUp = true;
    }
    Dev &newDev(const std::string &name, UINT64 lbs = kDevLbs)
    {
        devs.push_back(std::make_unique<Dev>());
        Dev &d = *devs.back();
        d.name = name;
        d.path = tgtTest_MakeSparseFile(dir, name, lbs * 512);
        return d;
    }
    void openDev(Dev &d)
    {
        file_Init(&d.file, nullptr, nullptr);
        Mos_RC rc = MOS_RC__ERROR;
        run([&] { rc = file_Open(&d.file, d.path.c_str(), phyMultiDev_GetAsyncIO(&phy.mDev)); });
        ASSERT_EQ(rc, MOS_RC__SUCCESS);
        d.bOpen = true;
    }
    void closeDev(Dev &d)
    {
        if (!d.bOpen)
            return;
        run([&] { file_Close(&d.file); });
        file_Destroy(&d.file);
        d.bOpen = false;
    }
    Mos_RC addDev(Dev &d, TgtDevId devId, BOOL bNew, UINT64 lbs = kDevLbs, const PhyAddDevOptions *pOpts = nullptr)
    {
        if (!d.bOpen)
            openDev(d);
        Mos_RC rc = MOS_RC__ERROR;
        PhyDev *pDev = nullptr;
        run([&] {
            rc = phy_AddDev(&phy, nullptr, &d.file, lbs, 2048, kTgt, devId, FALSE, 0, bNew, nullptr, &pDev, pOpts);
        });
        if (rc == MOS_RC__SUCCESS)
            d.pDev = pDev;
        return rc;
    }
    Mos_RC remDev(Dev &d)
    {
        Mos_RC rc = MOS_RC__ERROR;
        run([&] { rc = phy_RemDev(&phy, d.pDev); });
        if (rc == MOS_RC__SUCCESS)
            d.pDev = nullptr;
        return rc;
    }
    void writePartitions(const std::vector<std::string> &names)
    {
        std::ofstream f(partFile);
        f << "major minor  #blocks  name\n\n";
        for (size_t i = 0; i < names.size(); i++)
            f << "   7        " << i << "    2097152 " << names[i] << "\n";
    }
    Mos_RC reload()
    {
        Mos_RC rc = MOS_RC__ERROR;
        run([&] { rc = phy_ReloadDevMap(&phy, nullptr, nullptr); });
        return rc;
    }
    std::string pathOf(TgtDevId devId)
    {
        char path[PHY_DEV_MAP__PATH_LEN] = {};
        UINT32 n = 0;
        BOOL bFound = FALSE;
        run([&] { bFound = phy_GetDevPath(&phy, devId, path, &n); });
        return bFound ? std::string(path, n) : std::string();
    }
    // A header of ours (or with another signature) written straight into a file.
    void stampHeader(const std::string &path, TgtDevId devId, bool bOurSignature)
    {
        PhyDevOffsets o{};
        ASSERT_EQ(phyDev_CalcDevOffsets(kDevLbs, (UINT32)tgtInitParam_G.bmWriteSizeInLbs, 2048, &o), MOS_RC__SUCCESS);
        PhyDevHeader h{};
        phyDev_BuildPhyDevHeader(&h, kTgt, devId, &o, 0, DEV_TYPE__NONE);
        if (!bOurSignature)
            h.sigStart ^= 1;
        UINT8 buf[512] = {};
        phyDevHeader_Encode(&h, buf);
        int fd = ::open(path.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, buf, sizeof(buf), PHY_DEV__HEADER_OFFSET * 512), (ssize_t)sizeof(buf));
        ::close(fd);
    }

    ScratchDir dir;
    FakeAioBackend fake; // outlives the device set that may use it
    std::string partFile;
    Phy phy{};
    bool bPhyUp = false;
    std::vector<std::unique_ptr<Dev>> devs;
};

TEST_F(PhyDevSetTest, TheSlotsHold128DevicesAndAFailedAddLeavesItsSlotFree)
{
    upPhy();
    Dev &small = newDev("small", 8192);
    EXPECT_EQ(addDev(small, 0x100, TRUE, 8192), MOS_RC__DEV_SIZE_TOO_SMALL);
    EXPECT_EQ(phy.mDev.devFreeAnchor.count, PHY__MAX_NUMBER_OF_DEVS) << "the slot went back";

    // Simulated device I/O: 128 formats cost nothing.
    tgtInitParam_G.bPhyDevIoEnabled = FALSE;
    tgtInitParam_G.bPhyDevIoEnabledMd = FALSE;
    for (UINT32 i = 0; i < PHY__MAX_NUMBER_OF_DEVS; i++) {
        Dev &d = newDev("d" + std::to_string(i));
        ASSERT_EQ(addDev(d, 0x1000 + i, TRUE), MOS_RC__SUCCESS) << i;
        if (i == 0) {
            EXPECT_EQ(phyMultiDev_GetDevId(&phy.mDev, d.pDev), 0u) << "the failed add left slot 0 free";
        }
    }
    EXPECT_EQ(phy.mDev.devAllocAnchor.count, PHY__MAX_NUMBER_OF_DEVS);
    EXPECT_EQ(phy.mDev.devFreeAnchor.count, 0u);

    tgtInitParam_G.bPhyDevIoEnabled = TRUE;
    tgtInitParam_G.bPhyDevIoEnabledMd = TRUE;
    Dev &extra = newDev("extra");
    EXPECT_EQ(addDev(extra, 0x2000, TRUE), MOS_RC__ERROR);
    PhyDevHeader h{};
    PhyDev probe{};
    probe.pFile = &extra.file;
    run([&] { ASSERT_EQ(phyDev_ReadHeader(&probe, &h), MOS_RC__SUCCESS); });
    EXPECT_NE(phyDev_CheckHeaderSignature(&h), MOS_RC__SUCCESS) << "the 129th file was not formatted";

    tgtInitParam_G.bPhyDevIoEnabled = FALSE;
    tgtInitParam_G.bPhyDevIoEnabledMd = FALSE;
    run([&] {
        for (auto &d : devs)
            if (d->pDev != nullptr) {
                EXPECT_EQ(phy_RemDev(&phy, d->pDev), MOS_RC__SUCCESS);
                d->pDev = nullptr;
            }
    });
    tgtInitParam_G.bPhyDevIoEnabled = TRUE;
    tgtInitParam_G.bPhyDevIoEnabledMd = TRUE;
    EXPECT_EQ(phy.mDev.devFreeAnchor.count, PHY__MAX_NUMBER_OF_DEVS);
}

TEST_F(PhyDevSetTest, ReopenGivesCombsTheirTeethAndFreesTeethOfUnknownCombs)
{
    upPhy();
    Dev &d = newDev("dev");
    openDev(d);
    constexpr CombId kKnown = 0x8001, kOrphan = 0x8002, kStale = 0x8003;
    constexpr TgtDevId kDevId = 0xD1;
    PhyToothIndex known = 0, orphan = 0, stale = 0;
    {
        // The state a crash leaves: a comb in the array with one tooth, and a tooth whose comb
        // never reached the array.
        PhyDev bare{};
        PhyAddDevProgress progress{};
        run([&] {
            ASSERT_EQ(phyDev_Init(&bare, nullptr, &d.file, kDevLbs, 2048, kTgt, kDevId, FALSE, TRUE, nullptr, FALSE,
                                  FALSE, FALSE, nullptr, nullptr, &progress, FALSE, 0, 0),
                      MOS_RC__SUCCESS);
            UINT32 index = 99;
            ASSERT_TRUE(phyDevComb_Alloc(&bare.devComb, &index));
            EXPECT_EQ(index, 0u);
            phyDevComb_AllocDone(&bare.devComb, index, kKnown);
            ASSERT_TRUE(phyDevComb_Alloc(&bare.devComb, &index));
            phyDevComb_AllocDone(&bare.devComb, index, kStale);
            PhyToothList a, b, c;
            phyToothList_Init(&a);
            phyToothList_Init(&b);
            phyToothList_Init(&c);
            BOOL bFirst = FALSE;
            known = phyDev_AllocToothAndUpdate(&bare, kKnown, 3, 1, 1, &a, FALSE, &bFirst);
            orphan = phyDev_AllocToothAndUpdate(&bare, kOrphan, 4, 1, 1, &b, FALSE, &bFirst);
            stale = phyDev_AllocToothAndUpdate(&bare, kStale, 5, 1, 1, &c, FALSE, &bFirst);
            ASSERT_TRUE(phyDev_HardenCombArr(&bare, TRUE, 0));
            bare.toothMap.currBaseTeeth = 0; // the teeth stay on the device
        });
        phyDev_Destroy(&bare);
    }
    ASSERT_EQ(addDev(d, kDevId, FALSE), MOS_RC__SUCCESS);
    PhyDev *pDev = d.pDev;
    EXPECT_EQ(pDev->devComb.curNumOfCombs, 2u);
    EXPECT_TRUE(phy_IsCombInRebuild(pDev, kKnown, kDevId));
    EXPECT_FALSE(phy_IsCombInRebuild(pDev, kOrphan, kDevId));
    EXPECT_EQ(pDev->devComb.pCombNodeArr[0].toothList.first, known);
    EXPECT_EQ(phyToothMap_GetEntry(&pDev->toothMap, orphan).combTId, 0u) << "the orphan tooth was freed";

    // The comb named again keeps its slot and the teeth found for it.
    BOOL bOnDevice = FALSE;
    PhyDevAddr addr{};
    Mos_RC rc = MOS_RC__ERROR;
    run([&] { rc = phy_AllocComb(&phy, kKnown, kDevId, pDev, &bOnDevice, &addr); });
    EXPECT_EQ(rc, MOS_RC__SUCCESS);
    EXPECT_TRUE(bOnDevice);
    EXPECT_EQ(addr.devAddr, phyMultiDev_CombIndexToDevAddr(&phy.mDev, pDev, 0).devAddr);
    EXPECT_FALSE(phy_IsCombInRebuild(pDev, kKnown, kDevId));
    UINT64 change = 0;
    phy_AllocCombDone(&phy, kKnown, addr, &change);
    EXPECT_GT(change, pDev->devComb.devHardenChangeNumber);
    run([&] { EXPECT_EQ(phy_HardenAllCombArr(&phy), MOS_RC__SUCCESS); });
    EXPECT_GE(pDev->devComb.devHardenChangeNumber, change);

    // The reconfiguration ended without naming the stale comb: it goes with its teeth.
    run([&] { phy_ReconfigureStageDone(&phy); });
    EXPECT_FALSE(phy_IsCombInRebuild(pDev, kStale, kDevId));
    EXPECT_EQ(pDev->devComb.curNumOfCombs, 1u);
    EXPECT_EQ(pDev->devComb.pCombArr[1].combId, PHY_DEV_COMB_ARR__FREE);
    EXPECT_EQ(phyToothMap_GetEntry(&pDev->toothMap, stale).combTId, 0u);

    // A device holding a counted comb is not removed; freeing the comb frees its teeth too.
    EXPECT_EQ(remDev(d), MOS_RC__BUSY);
    PhyDevHeader h{};
    run([&] { ASSERT_EQ(phyDev_ReadHeader(pDev, &h), MOS_RC__SUCCESS); });
    EXPECT_EQ(h.devId, kDevId) << "the header of a refused removal stays";
    run([&] { phy_FreeComb(&phy, kKnown); });
    EXPECT_EQ(pDev->devComb.curNumOfCombs, 0u);
    EXPECT_EQ(phyToothMap_GetEntry(&pDev->toothMap, known).combTId, 0u);
    EXPECT_EQ(remDev(d), MOS_RC__SUCCESS);
}

TEST_F(PhyDevSetTest, CombSlotsRunOutWithNoResourcesAndCombsOfOtherDevicesAreRefused)
{
    upPhy();
    Dev &a = newDev("a"), &b = newDev("b");
    ASSERT_EQ(addDev(a, 0xA, TRUE), MOS_RC__SUCCESS);
    ASSERT_EQ(addDev(b, 0xB, TRUE), MOS_RC__SUCCESS);
    const UINT32 max = a.pDev->devComb.maxNumOfCombs;
    ASSERT_GT(max, 0u);
    UINT32 allocated = 0;
    Mos_RC last = MOS_RC__SUCCESS;
    BOOL bOnDevice = FALSE;
    PhyDevAddr addr{};
    run([&] {
        for (UINT32 i = 0; i <= max && last == MOS_RC__SUCCESS; i++) {
            last = phy_AllocComb(&phy, 0x10000 + i, 0xA, a.pDev, &bOnDevice, &addr);
            allocated += last == MOS_RC__SUCCESS;
        }
    });
    EXPECT_EQ(last, MOS_RC__NO_RESOURCES);
    EXPECT_EQ(allocated, max);
    Mos_RC rc = MOS_RC__ERROR;
    run([&] { rc = phy_AllocComb(&phy, 0x10000, 0xB, b.pDev, &bOnDevice, &addr); });
    EXPECT_EQ(rc, MOS_RC__NOT_FOUND) << "the comb lives on device a";
    run([&] {
        for (UINT32 i = 0; i < max; i++)
            phy_FreeComb(&phy, 0x10000 + i);
    });
    EXPECT_EQ(a.pDev->devComb.curNumOfCombs, 0u);
}

// A device added to use the RAM read cache joins it (so the cache's memory comes up with its first
// device); the setting command moves a device out and back in.
TEST_F(PhyDevSetTest, ADeviceThatUsesTheRamCacheJoinsItAndTheSettingMovesIt)
{
    upPhy();
    Cache cache{};
    rcache_Init(&cache, nullptr);
    cache.bEnable = FALSE; // membership only: no memory is allocated here
    phy_SetCache(&phy, &cache);
    Dev &a = newDev("a"), &b = newDev("b");
    PhyAddDevOptions cached{};
    cached.bUseCache = TRUE;
    ASSERT_EQ(addDev(a, 0xA, TRUE, kDevLbs, &cached), MOS_RC__SUCCESS);
    ASSERT_EQ(addDev(b, 0xB, TRUE), MOS_RC__SUCCESS);
    EXPECT_TRUE(rcache_IsDeviceCached(&cache, 0xA));
    EXPECT_FALSE(rcache_IsDeviceCached(&cache, 0xB));

    const UINT16 gen = a.pDev->ramcacheGenNum;
    phyDev_UpdateDevRamcacheUse(a.pDev, FALSE);
    phyDev_UpdateDevRamcacheUse(b.pDev, TRUE);
    EXPECT_FALSE(rcache_IsDeviceCached(&cache, 0xA));
    EXPECT_NE(a.pDev->ramcacheGenNum, gen) << "what it cached before is never served";
    EXPECT_TRUE(rcache_IsDeviceCached(&cache, 0xB));
    phyDev_UpdateDevRamcacheUse(a.pDev, TRUE);
    EXPECT_TRUE(rcache_IsDeviceCached(&cache, 0xA));
    EXPECT_EQ(remDev(a), MOS_RC__SUCCESS);
    EXPECT_EQ(remDev(b), MOS_RC__SUCCESS);
    phy_SetCache(&phy, nullptr);
    rcache_Destroy(&cache);
}

TEST_F(PhyDevSetTest, DiscoveryFindsFilesByHeaderAndNotARemovedDevice)
{
    upPhy();
    Dev &first = newDev("first"), &twin = newDev("twin"), &foreign = newDev("foreign"), &added = newDev("added");
    stampHeader(first.path, 0x51, true);
    stampHeader(twin.path, 0x51, true);
    stampHeader(foreign.path, 0x52, false);
    ASSERT_EQ(addDev(added, 0x53, TRUE), MOS_RC__SUCCESS);
    writePartitions({"first", "twin", "foreign", "missing", "added"});
    ASSERT_EQ(reload(), MOS_RC__SUCCESS);
    EXPECT_EQ(pathOf(0x51), first.path) << "of two devices with one id the first listed keeps it";
    EXPECT_EQ(pathOf(0x52), "") << "another signature is not entered";
    EXPECT_EQ(pathOf(0x53), added.path);
    std::vector<TgtDevId> ids;
    run([&] {
        for (TgtDevId id = phy_GetFirstDev(&phy); id != 0; id = phy_GetNextDev(&phy))
            ids.push_back(id);
    });
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<TgtDevId>{0x51, 0x53}));

    TgtDevId id = 0;
    Mos_RC rc = MOS_RC__ERROR;
    run([&] { rc = phyDevMap_ReloadSpecificPrepare(&phy.devMap, nullptr, foreign.path.c_str(), &id); });
    EXPECT_EQ(rc, MOS_RC__INVALID_DEVICE_HEADER_SIGNATURE);

    ASSERT_EQ(remDev(added), MOS_RC__SUCCESS);
    ASSERT_EQ(reload(), MOS_RC__SUCCESS);
    EXPECT_EQ(pathOf(0x53), "") << "a removed device is not found again";
    EXPECT_EQ(pathOf(0x51), first.path);

    writePartitions({});
    unsetenv("PELLAR_PARTITION_FILE");
    setenv("PELLAR_PARTITION_FILE", dir.file("no-such-list").c_str(), 1);
    EXPECT_EQ(reload(), MOS_RC__ERROR);
    EXPECT_EQ(pathOf(0x51), first.path) << "an unreadable list changes nothing";
}

TEST_F(PhyDevSetTest, AHeaderReadThatOutlastsTheThresholdLeavesItsDeviceOut)
{
    fake.setPassThrough(true);
    upPhy(fake.ops());
    Dev &slow = newDev("slow"), &fast = newDev("fast");
    stampHeader(slow.path, 0x61, true);
    stampHeader(fast.path, 0x62, true);
    writePartitions({"slow"});
    // Held: the read does not end before the reload stops waiting.
    ASSERT_EQ(reload(), MOS_RC__SUCCESS);
    EXPECT_EQ(pathOf(0x61), "");
    ASSERT_TRUE(fake.waitHeld(1));

    // A second request for the path joins the running read instead of starting another.
    TgtDevId id = 0;
    Mos_RC rc = MOS_RC__ERROR;
    std::thread t([&] { run([&] { rc = phyDevMap_ReadDevId(&phy.devMap, nullptr, slow.path.c_str(), &id, nullptr); }); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(fake.heldCount(), 1u) << "one header read per path, not per request";
    fake.setAutoComplete(true);
    fake.completeAll();
    t.join();
    EXPECT_EQ(rc, MOS_RC__SUCCESS);
    EXPECT_EQ(id, 0x61u);

    writePartitions({"slow", "fast"});
    ASSERT_EQ(reload(), MOS_RC__SUCCESS);
    EXPECT_EQ(pathOf(0x61), slow.path) << "the path takes requests again once its read ended";
    EXPECT_EQ(pathOf(0x62), fast.path);
}
TEST_F(PhyDevSetTest, DiscoveryFindsALoopDeviceUnderDev)
{
    upPhy();
    Dev &backing = newDev("backing");
    stampHeader(backing.path, 0x71, true);
    auto loop = LoopDevice::attach(backing.path, false);
    if (loop == nullptr)
        GTEST_SKIP() << "loop devices cannot be set up here";
    phyDevMap_SetDevDir(nullptr);
    const std::string name = loop->path().substr(strlen(PHY_DEV_MAP__DEV_DIR));
    writePartitions({name});
    ASSERT_EQ(reload(), MOS_RC__SUCCESS);
    EXPECT_EQ(pathOf(0x71), loop->path());
}
} // namespace
