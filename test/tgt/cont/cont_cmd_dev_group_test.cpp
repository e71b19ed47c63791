// The device group and the end of a cycle on the in-process controller, its devices sparse files
// seen through a pass-through I/O seam: a comb-array harden that fails makes RECONF_DONE answer the
// failure and is written later by the watchdog's retry; the devices of a group are added in
// parallel; a path reload finds a known device that moved; clean-up behind a long in-flight I/O
// ends in the planned crash (here a hook that records it).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "test/support/cont_cmd_rig.h"
#include "test/support/fake_aio_backend.h"
#include "test/support/trace_capture.h"
#include "test/support/scratch_dir.h"
#include "test/support/tgt_test_support.h"
#include "tgt/cont/cont_cmd_intrn.h"
#include "tgt/cont/cont_comb.h"
#include "tgt/cont/cont_dev.h"
#include "tgt/tgt_umt_class.h"

namespace {

constexpr UINT16 kGen = 3;
constexpr UINT64 kDevBytes = (2ull << 30) + (64ull << 20);

// The seam and what the monitoring asked for; they live as long as the controller (the process).
struct Seam {
    FakeAioBackend fake;
    std::mutex m;
    UINT64 failFromLb = 0, failToLb = 0; // writes into [from, to) fail while to > from
    std::vector<UINT64> writtenLbs;
    std::vector<std::string> crashes;
};
Seam *seam_G = nullptr;
std::string partFile_G;

const ContDevMonitorHooks kHooks = {
    [](Cont *, UINT32, const void *, UINT32) { return MOS_RC__SUCCESS; },
    [](Cont *) {},
    [](Cont *) {},
    [](Cont *) {},
    [](const char *pDesc) {
        std::lock_guard<std::mutex> g(seam_G->m);
        seam_G->crashes.emplace_back(pDesc);
    },
    [](const char *) { return MOS_RC__SUCCESS; },
    [] {},
    nullptr,
};

class ContCmdDevGroupEnv : public ::testing::Environment {
  public:
    void SetUp() override
    {
        ASSERT_TRUE(ContCmdRig::initRuntime());
        seam_G = new Seam; // the controller keeps using it until the process ends
        FakeAioBackend &f = seam_G->fake;
        f.setPassThrough(true);
        f.setAutoComplete(true);
        f.setResultFunc([](const FakeAioBackend::Seen &s, size_t) -> long {
            if (!s.bWrite)
                return FakeAioBackend::kFull;
            std::lock_guard<std::mutex> g(seam_G->m);
            const UINT64 lb = s.offset / LB_SIZE_IN_BYTES;
            seam_G->writtenLbs.push_back(lb);
            return lb >= seam_G->failFromLb && lb < seam_G->failToLb ? -EIO : FakeAioBackend::kFull;
        });
        phy_SetInitBackend(f.ops());
        // The device map lists what the partitions file names, in each test's directory.
        partFile_G = dir_.file("partitions");
        setenv("PELLAR_PARTITION_FILE", partFile_G.c_str(), 1);
        phyDevMap_SetDevDir((dir_.path() + "/").c_str());
        std::ofstream(partFile_G) << "major minor  #blocks  name\n\n";
        tgtInitParam_G.phyDevMinCapacityInLbs = 4194304 - 4096;
        tgtInitParam_G.bWriteZeroesToNewDev = FALSE;
        contDev_SetMonitorHooks(&kHooks);
        ContCmdRig::buildController();
    }
    // A new device's delayed metadata zeroing sleeps a 10 s tick first; no such thread may still be
    // parked when the process ends. The manager's stop cuts the sleep short and waits for them.
    void TearDown() override
    {
        ContCmdRig::run([] { contDevMngr_StopZeroing(&cont_g.devMngr); });
        const MosDList_Anchor *pList = mosUmtClassMgr_GetList(tgt_GetUmtClassId(MOS_UMT_CLASS_TYPE__TGT_ADD_DEVICE));
        for (int i = 0; i < 1200 && __atomic_load_n(&pList->counter, __ATOMIC_ACQUIRE) != 0; i++)
            usleep(50000);
        EXPECT_EQ(pList->counter, 0u);
    }

  private:
    ScratchDir dir_;
};
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new ContCmdDevGroupEnv);

std::vector<UINT8> devElem(UINT64 devId, const std::string &path, BOOL bNew, BOOL bRefresh = FALSE)
{
    OstrelTgtReq_AddDev e{};
    e.devId = devId;
    e.bNew = bNew;
    e.bRefresh = bRefresh;
    e.snapReservedTeeth = 1u << 20;
    e.pathMaxLen = sizeof(e.path);
    snprintf(e.path, sizeof(e.path), "%s", path.c_str());
    e.scanFlavor = TGT_SCAN_FLAVOR__OFF;
    std::vector<UINT8> b(sizeof(e));
    memcpy(b.data(), &e, sizeof(e));
    return b;
}

class ContCmdDevGroup : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ContCmdRig::adopt(kGen, FALSE);
        std::ofstream(partFile_G) << "major minor  #blocks  name\n\n";
        phyDevMap_SetDevDir((dir_.path() + "/").c_str());
    }
    // An empty cycle removes every device, before the files go.
    void TearDown() override
    {
        release();
        EXPECT_EQ(cycle([] { EXPECT_EQ(addDevs({}, TRUE, FALSE), MOS_RC__SUCCESS); }), MOS_RC__SUCCESS);
        EXPECT_EQ(contMngr_Count(&cont_g.devMngr.devs), 0u);
        std::lock_guard<std::mutex> g(seam_G->m);
        seam_G->failFromLb = seam_G->failToLb = 0;
    }
    static void release()
    {
        seam_G->fake.setAutoComplete(true);
        seam_G->fake.completeAll();
    }
    static Mos_RC reconf(BOOL bStart)
    {
        std::vector<UINT8> rec(2);
        memcpy(rec.data(), &kGen, 2);
        return ContCmdRig::send(bStart ? TGT_MSG_TYPE__RECONF_START : TGT_MSG_TYPE__RECONF_DONE, 0, rec);
    }
    // RECONF_START, body, RECONF_DONE: the answer of RECONF_DONE.
    template <class F> static Mos_RC cycle(F body)
    {
        EXPECT_EQ(reconf(TRUE), MOS_RC__SUCCESS);
        body();
        return reconf(FALSE);
    }
    // One device group: the command's code, each entry's (id, specRc).
    static Mos_RC addDevs(const std::vector<std::vector<UINT8>> &elems, BOOL bInCycle, BOOL bUpdatePath,
                          std::vector<std::pair<UINT64, UINT32>> *pOut = nullptr)
    {
        OstrelTgtReq_AddDevArr head{(UINT32)elems.size(), sizeof(OstrelTgtReq_AddDev), (UINT32)bInCycle, kGen,
                                    (UINT32)bUpdatePath};
        std::vector<UINT8> rec(sizeof(head));
        memcpy(rec.data(), &head, sizeof(head));
        for (const auto &e : elems)
            rec.insert(rec.end(), e.begin(), e.end());
        std::vector<UINT8> ans;
        const Mos_RC rc = ContCmdRig::send(TGT_MSG_TYPE__ADD_DEV, 0, rec, &ans);
        if (pOut != nullptr) {
            pOut->clear();
            for (size_t off = sizeof(OstrelTgtRsp_AddDevArr); off + sizeof(OstrelTgtRsp_AddDev) <= ans.size();
                 off += sizeof(OstrelTgtRsp_AddDev)) {
                OstrelTgtRsp_AddDev a;
                memcpy(&a, ans.data() + off, sizeof(a));
                pOut->emplace_back(a.devId, a.specRc);
            }
        }
        return rc;
    }
    static ContDev *dev(UINT64 devId)
    {
        ContDev *p = nullptr;
        contMngr_ForEach(&cont_g.devMngr.devs, [&](ContDev *d) {
            if (d->devId == devId)
                p = d;
        });
        return p;
    }
    std::string file(const std::string &name) { return tgtTest_MakeSparseFile(dir_, name, kDevBytes); }

    ScratchDir dir_;
};

using Entries = std::vector<std::pair<UINT64, UINT32>>;

TEST_F(ContCmdDevGroup, AFailedHardenIsAnsweredAndTheWatchdogWritesItOnceTheDeviceTakesWrites)
{
    Entries out;
    const std::string path = file("d0");
    EXPECT_EQ(cycle([&] { EXPECT_EQ(addDevs({devElem(0x61, path, TRUE)}, TRUE, FALSE, &out), MOS_RC__SUCCESS); }),
              MOS_RC__SUCCESS);
    ASSERT_EQ(out, (Entries{{0x61, MOS_RC__SUCCESS}}));
    ASSERT_NE(dev(0x61), nullptr);
    const PhyDevComb &c = dev(0x61)->pPhyDev->devComb;
    {
        std::lock_guard<std::mutex> g(seam_G->m);
        seam_G->failFromLb = c.mapOffsetInLbs;
        seam_G->failToLb = c.mapOffsetInLbs + c.mapSizeInLbs;
    }
    // The cycle ends (the objects are in place) but its answer says the arrays are not on disk.
    EXPECT_EQ(cycle([&] { EXPECT_EQ(addDevs({devElem(0x61, path, FALSE)}, TRUE, FALSE), MOS_RC__SUCCESS); }),
              MOS_RC__IO_HARD_ERROR);
    EXPECT_FALSE(cont_g.bReconfigInProgress);
    EXPECT_TRUE(cont_g.cmd.bHardenPending);
    BOOL bDone = TRUE;
    ContCmdRig::run([&] { bDone = contCmd_RetryHardenCombArr(&cont_g); });
    EXPECT_FALSE(bDone) << "the device still refuses the write";

    // The device is mended; until the Ostrel refreshes it, the device object holds it failed.
    auto mapWrites = [&] {
        std::lock_guard<std::mutex> g(seam_G->m);
        seam_G->failFromLb = seam_G->failToLb = 0;
        size_t n = 0;
        for (UINT64 lb : seam_G->writtenLbs)
            n += lb == c.mapOffsetInLbs;
        return n;
    };
    const size_t before = mapWrites();
    ContCmdRig::run([&] { bDone = contCmd_RetryHardenCombArr(&cont_g); });
    EXPECT_FALSE(bDone);
    EXPECT_EQ(addDevs({devElem(0x61, path, FALSE, TRUE)}, FALSE, FALSE, &out), MOS_RC__SUCCESS);
    EXPECT_EQ(out, (Entries{{0x61, MOS_RC__ALREADY_EXISTS}}));
    EXPECT_TRUE(cont_g.cmd.bHardenPending);
    ContCmdRig::run([&] { bDone = contCmd_RetryHardenCombArr(&cont_g); });
    EXPECT_TRUE(bDone);
    EXPECT_FALSE(cont_g.cmd.bHardenPending);
    EXPECT_EQ(mapWrites(), before + 1) << "the retry wrote the array";
    ContCmdRig::run([&] { bDone = contCmd_RetryHardenCombArr(&cont_g); });
    EXPECT_TRUE(bDone);
    EXPECT_EQ(mapWrites(), before + 1) << "nothing pending: nothing written";
}

// While the first device's transfers are held, the second device's add goes on: the group's adds
// run side by side. A second element naming a path already listed is refused, not added twice.
TEST_F(ContCmdDevGroup, DevicesOfOneGroupAreAddedSideBySide)
{
    const std::string a = file("a"), b = file("b");
    seam_G->fake.setAutoComplete(false);
    Entries out;
    Mos_RC rc = MOS_RC__ERROR;
    std::thread cmd([&] {
        rc = addDevs({devElem(0x71, a, TRUE), devElem(0x72, b, TRUE), devElem(0x73, a, TRUE)}, FALSE, FALSE, &out);
    });
    bool bSideBySide = false;
    for (int i = 0; i < 6000 && !bSideBySide; i++) {
        std::set<int> fds;
        for (const auto &s : seam_G->fake.held())
            fds.insert(s.pIocb->aio_fildes);
        bSideBySide = fds.size() >= 2;
        if (!bSideBySide)
            usleep(10000);
    }
    release();
    cmd.join();
    EXPECT_TRUE(bSideBySide) << "transfers of both devices were never in flight together";
    EXPECT_EQ(rc, MOS_RC__SUCCESS);
    EXPECT_EQ(out, (Entries{{0x71, MOS_RC__SUCCESS}, {0x72, MOS_RC__SUCCESS}, {0x73, MOS_RC__INVALID}}));
    EXPECT_EQ(tgtTest_ReadHeader(a).devId, 0x71u);
}

// A known device whose file the system now shows under another name: a refresh through the old
// path fails; with the path reload the device map finds it under its new name.
TEST_F(ContCmdDevGroup, APathReloadFindsAKnownDeviceThatMoved)
{
    const std::string oldPath = file("old");
    Entries out;
    ASSERT_EQ(addDevs({devElem(0x81, oldPath, TRUE)}, FALSE, FALSE, &out), MOS_RC__SUCCESS);
    ASSERT_EQ(out, (Entries{{0x81, MOS_RC__SUCCESS}}));
    const std::string newPath = dir_.file("moved");
    ASSERT_EQ(rename(oldPath.c_str(), newPath.c_str()), 0);
    std::ofstream(partFile_G) << "major minor  #blocks  name\n\n   7        0    2097152 moved\n";

    ASSERT_EQ(addDevs({devElem(0x81, oldPath, FALSE, TRUE)}, FALSE, FALSE, &out), MOS_RC__SUCCESS);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_NE(out[0].second, (UINT32)MOS_RC__SUCCESS) << "no map entry: the old path cannot be opened";

    ASSERT_EQ(addDevs({devElem(0x81, oldPath, FALSE, TRUE)}, FALSE, TRUE, &out), MOS_RC__SUCCESS);
    EXPECT_EQ(out, (Entries{{0x81, MOS_RC__ALREADY_EXISTS}}));
    ASSERT_NE(dev(0x81), nullptr);
    EXPECT_STREQ(contDev_GetDevPath(dev(0x81)), newPath.c_str());
}

// Clean-up cannot let go of a device whose I/O has been in flight too long: it ends the server by
// the planned crash. Without such an I/O it empties the server.
TEST_F(ContCmdDevGroup, CleanUpBehindALongInFlightIoEndsInThePlannedCrash)
{
    const std::string path = file("slow");
    ASSERT_EQ(addDevs({devElem(0x91, path, TRUE)}, FALSE, FALSE), MOS_RC__SUCCESS);
    ASSERT_NE(dev(0x91), nullptr);
    // A device still zeroing its metadata is not watched for long I/O: its delayed zeroing ends first.
    for (int i = 0; i < 1200 && !contDev_IsDeviceZeroingDone(dev(0x91)); i++)
        usleep(50000);
    ASSERT_TRUE(contDev_IsDeviceZeroingDone(dev(0x91)));
    TgtConfParam &c = tgtInitParam_G;
    const UINT64 threshold = c.devLongSuccessfulIosTimeMs;
    c.devLongSuccessfulIosTimeMs = 1;
    seam_G->fake.setAutoComplete(false);
    PhyDev *pPhyDev = dev(0x91)->pPhyDev;
    std::thread reader([&] {
        PhyDevHeader h{};
        ContCmdRig::run([&] { (void)phyDev_ReadHeader(pPhyDev, &h); });
    });
    ASSERT_TRUE(seam_G->fake.waitHeld(1));
    usleep(20000);
    Mos_RC rc = MOS_RC__ERROR;
    ContCmdRig::run([&] { rc = contCmd_CleanUp(&cont_g); });
    EXPECT_EQ(rc, MOS_RC__NOT_READY);
    {
        std::lock_guard<std::mutex> g(seam_G->m);
        EXPECT_EQ(seam_G->crashes, (std::vector<std::string>{"Pellar planned crash due to long IO on cleanup"}));
        seam_G->crashes.clear();
    }
    release();
    reader.join();
    c.devLongSuccessfulIosTimeMs = threshold;
    // The I/O came back; the device watchdog reports the gap it saw and forgets it.
    ContCmdRig::run([] { contDevMngr_CheckLongInflightIos(&cont_g.devMngr, TRUE); });
    ContCmdRig::run([&] { rc = contCmd_CleanUp(&cont_g); });
    EXPECT_EQ(rc, MOS_RC__SUCCESS);
    EXPECT_EQ(contMngr_Count(&cont_g.devMngr.devs), 0u);
    EXPECT_TRUE(seam_G->crashes.empty());
}

// Per-device throttling reaches the physical device, entry by entry, up to the first unknown one;
// the in-flight limit of the performance parameters reaches every device file.
TEST_F(ContCmdDevGroup, ThrottlingAndTheInFlightLimitReachTheDevices)
{
    ASSERT_EQ(addDevs({devElem(0xA1, file("t"), TRUE)}, FALSE, FALSE), MOS_RC__SUCCESS);
    ASSERT_NE(dev(0xA1), nullptr);
    PhyDev *pPhyDev = dev(0xA1)->pPhyDev;
    auto throttle = [](std::vector<UINT64> ids, UINT32 rebuildKb) {
        OstrelTgtReq_UpdateThrottleConf head{(UINT32)ids.size(), sizeof(OstrelTgt_DevThrottleConf), kGen};
        std::vector<UINT8> rec(sizeof(head));
        memcpy(rec.data(), &head, sizeof(head));
        for (UINT64 id : ids) {
            OstrelTgt_DevThrottleConf e{};
            e.devId = id;
            e.throttleConf.rebuildConcurrentIOLimit = 4;
            e.throttleConf.rebuildBWLimitKB = rebuildKb;
            const size_t off = rec.size();
            rec.resize(off + sizeof(e));
            memcpy(rec.data() + off, &e, sizeof(e));
        }
        return ContCmdRig::send(TGT_MSG_TYPE__UPDATE_DEV_THROTTLING_CONF, 0, rec);
    };
    EXPECT_EQ(throttle({0xA1}, 1000), MOS_RC__SUCCESS);
    EXPECT_EQ(pPhyDev->rebuildLimiter.maxLbsDuringHighPrio, 2000u);
    EXPECT_EQ(throttle({0xA1, 0xA9}, 3000), MOS_RC__NOT_FOUND);
    EXPECT_EQ(pPhyDev->rebuildLimiter.maxLbsDuringHighPrio, 6000u) << "the entry before the unknown one stays";

    const UINT32 files = tgtPerfInitParam_G.maxReqPerAsyncFile;
    auto setMaxReq = [](UINT32 n) {
        const Mos_RC rc = ContCmdRig::send(
            TGT_MSG_TYPE__UPDATE_PERF_PARAMS, 0,
            ContCmdRig::perfRecord([n](Tgt_PerformanceParamsV200 &p) { p.maxReqPerAsyncFile = n; }, kGen));
        for (int i = 0; i < 3000 && __atomic_load_n(&cont_g.cmd.updateUmtPerfParamCtx.bActive, __ATOMIC_ACQUIRE); i++)
            usleep(10000);
        return rc;
    };
    EXPECT_EQ(setMaxReq(files + 7), MOS_RC__SUCCESS);
    EXPECT_EQ(pPhyDev->pFile->mosDev.pFile->maxInflights, files + 7);
    EXPECT_EQ(setMaxReq(files), MOS_RC__SUCCESS);
    EXPECT_EQ(pPhyDev->pFile->mosDev.pFile->maxInflights, files);
}

// A cycle's comb list is shared by workers once it is long enough to pay: with four scheduler
// threads nine combs take one worker and ten take three; every comb is added either way.
TEST_F(ContCmdDevGroup, ACombListOfTenIsSharedByThreeWorkersAndOfNineTakesOne)
{
    ASSERT_EQ(tgtPerfInitParam_G.umtOsThrds, 4u);
    const std::string path = file("c");
    auto combs = [](UINT32 n) {
        OstrelTgtReq_AddCombArr head{n, sizeof(OstrelTgtReq_AddComb), 1, 0, kGen};
        std::vector<UINT8> rec(sizeof(head) + (size_t)n * sizeof(OstrelTgtReq_AddComb));
        memcpy(rec.data(), &head, sizeof(head));
        for (UINT32 i = 0; i < n; i++) {
            OstrelTgtReq_AddComb e{};
            e.devId = 0xB1;
            e.combId = 0x40000 + i;
            memcpy(rec.data() + sizeof(head) + (size_t)i * sizeof(e), &e, sizeof(e));
        }
        return rec;
    };
    mosTraceConf_SetComponentFrequency(MOS_COMP_TGT_CONT, MOS_FREQ_LOW);
    for (UINT32 n : {9u, 10u}) {
        SCOPED_TRACE(n);
        traceTest_Capture();
        EXPECT_EQ(cycle([&] {
                      EXPECT_EQ(addDevs({devElem(0xB1, path, n == 9)}, TRUE, FALSE), MOS_RC__SUCCESS);
                      EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__ADD_COMB, 0, combs(n)), MOS_RC__SUCCESS);
                  }),
                  MOS_RC__SUCCESS);
        std::set<std::string> workers;
        {
            std::lock_guard<std::mutex> g(traceTest::mu_G);
            for (const std::string &l : traceTest::lines_G)
                if (l.find("Add Comb part - end") != std::string::npos)
                    workers.insert(l.substr(l.find("index")));
        }
        EXPECT_EQ(workers.size(), n == 9 ? 1u : 3u);
        EXPECT_EQ(cont_g.combMngr.combAnchor.counter, n);
    }
    // Their first access makes each slot the comb's in the device's comb array (what a restart
    // reads back).
    ContCmdRig::run([] { contCombMngr_UpdateAllCombFirstAccess(&cont_g.combMngr); });
    const PhyDevComb &arr = dev(0xB1)->pPhyDev->devComb;
    UINT32 held = 0;
    for (UINT32 i = 0; i < arr.maxNumOfCombs; i++)
        held += arr.pCombArr[i].combId >= 0x40000 && arr.pCombArr[i].combId < 0x40000 + 10;
    EXPECT_EQ(held, 10u);
    EXPECT_EQ(cycle([&] { EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__ADD_COMB, 0, combs(0)), MOS_RC__SUCCESS); }),
              MOS_RC__SUCCESS);
    EXPECT_EQ(cont_g.combMngr.combAnchor.counter, 0u);
}

} // namespace
