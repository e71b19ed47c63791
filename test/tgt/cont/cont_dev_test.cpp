// Device objects on sparse files: the signature table of new devices, add and remove, a failed add
// that leaves nothing behind, the zeroing of the unused metadata and its abort by a remove or a stop, the
// device-error report, and the long in-flight I/O sequence with its planned end. Everything the
// monitoring would do outside the process is captured through the device objects' hooks; the
// in-flight age is injected. The controller is a zeroed Cont with its registry, physical layer
// (through a pass-through I/O seam that logs writes), read cache and device manager built.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "test/support/cont_dev_rig.h"
#include "test/support/cont_obj_support.h"
#include "test/support/fake_aio_backend.h"
#include "test/support/tgt_test_support.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_dev.h"
#include "tgt/phy/phy_dev_io.h"
#include "tgt/phy/phy_layout.h"
#include "tgt/phy/stmp.h"
#include "tgt/tgt_umt_class.h"

namespace {

::testing::Environment *const tgtEnv_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv(tgt_UmtClassInit));

constexpr UINT64 kTgtId = 0x7777;
constexpr UINT64 kDevGb = 2;

// What the monitoring sent or did, as the hooks saw it.
struct Captured {
    std::mutex m;
    std::vector<std::pair<UINT32, std::vector<UINT8>>> sent;
    std::vector<std::string> crashes, commands;
    int linksPaused = 0, keepAlivePaused = 0, netPaused = 0;
    Mos_RC sendRc = MOS_RC__SUCCESS;
    std::atomic<UINT64> inflightMs{0};

    std::vector<std::vector<UINT8>> of(UINT32 type)
    {
        std::lock_guard<std::mutex> g(m);
        std::vector<std::vector<UINT8>> out;
        for (auto &s : sent)
            if (s.first == type)
                out.push_back(s.second);
        return out;
    }
};
Captured *cap_G = nullptr;

const ContDevMonitorHooks kTestHooks = {
    [](Cont *, UINT32 type, const void *p, UINT32 len) {
        std::lock_guard<std::mutex> g(cap_G->m);
        auto *b = static_cast<const UINT8 *>(p);
        cap_G->sent.emplace_back(type, std::vector<UINT8>(b, b + len));
        return cap_G->sendRc;
    },
    [](Cont *) { cap_G->linksPaused++; },
    [](Cont *) { cap_G->keepAlivePaused++; },
    [](Cont *) { cap_G->netPaused++; },
    [](const char *pDesc) { cap_G->crashes.emplace_back(pDesc); },
    [](const char *pCmd) {
        cap_G->commands.emplace_back(pCmd);
        return MOS_RC__SUCCESS;
    },
    [] {},
    [](ContDev *) { return cap_G->inflightMs.load(); },
};

class ContDevTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        cont_ = std::make_unique<Cont>();
        contDevTest_Build(cont_.get(), &fake_, kTgtId, [this](const FakeAioBackend::Seen &s) { return onTransfer(s); });
        cap_G = &cap_;
        contDev_SetMonitorHooks(&kTestHooks);
    }
    void TearDown() override
    {
        std::vector<UINT64> ids;
        contMngr_ForEach(&cont_->devMngr.devs, [&](ContDev *p) { ids.push_back(p->devId); });
        for (UINT64 id : ids)
            EXPECT_EQ(rem(id), MOS_RC__SUCCESS);
        contDev_SetMonitorHooks(nullptr);
        cap_G = nullptr;
        contDevTest_Destroy(cont_.get());
    }
    static void run(const std::function<void()> &fn) { umtTest_RunAsUmt(fn); }
    UINT32 openFiles() { return cont_->phy.mDev.asyncIO.files.counter; }

    std::string device(const std::string &name, UINT64 bytes = kDevGb * GB_IN_LBS * 512 + (1ull << 20))
    {
        return tgtTest_MakeSparseFile(dir_, name, bytes);
    }
    static void writeHeader(const std::string &path, UINT64 tgtId, UINT64 devId)
    {
        tgtTest_WriteHeader(path, tgtId, devId);
    }
    static PhyDevHeader readHeader(const std::string &path) { return tgtTest_ReadHeader(path); }

    Mos_RC add(UINT64 id, const char *pPath, BOOL bNew = TRUE, BOOL bForce = FALSE, BOOL *pbZero = nullptr)
    {
        ContDevAddArgs a = contDevTest_AddArgs(id, pPath, bNew);
        a.bForceDeviceTakeover = bForce;
        Mos_RC rc = MOS_RC__ERROR;
        UINT32 combs = 0;
        UINT64 teeth = 0;
        BOOL bZero = FALSE;
        run([&] { rc = contDev_AddOne(cont_.get(), &a, &combs, &teeth, &bZero); });
        if (rc == MOS_RC__SUCCESS) {
            EXPECT_GT(combs, 0u);
            EXPECT_GT(teeth, 0u);
        }
        if (pbZero != nullptr)
            *pbZero = bZero;
        return rc;
    }
    Mos_RC rem(UINT64 id)
    {
        Mos_RC rc = MOS_RC__ERROR;
        run([&] { rc = contDev_RemById(cont_.get(), id, FALSE, TRUE); });
        return rc;
    }
    bool registered(UINT64 id)
    {
        ContDev *p = nullptr;
        run([&] {
            p = cont_AcquireContDev(cont_.get(), id);
            if (p != nullptr)
                cont_ReleaseContDev(cont_.get(), id);
        });
        return p != nullptr;
    }
    ContDev *dev(UINT64 id)
    {
        ContDev *p = nullptr;
        contMngr_ForEach(&cont_->devMngr.devs, [&](ContDev *d) {
            if (d->devId == id)
                p = d;
        });
        return p;
    }
    // The writes into [fromLb, toLb) since the log was last cleared: (LB, count).
    std::vector<std::pair<UINT64, UINT64>> writesIn(UINT64 fromLb, UINT64 toLb)
    {
        std::lock_guard<std::mutex> g(logM_);
        std::vector<std::pair<UINT64, UINT64>> out;
        for (auto &w : writes_)
            if (w.first >= fromLb && w.first < toLb)
                out.push_back(w);
        return out;
    }
    void clearWrites()
    {
        std::lock_guard<std::mutex> g(logM_);
        writes_.clear();
    }

    ScratchDir dir_;
    FakeAioBackend fake_;
    std::unique_ptr<Cont> cont_;
    Captured cap_;
    std::function<void(UINT64 lb)> onWrite_;

  private:
    long onTransfer(const FakeAioBackend::Seen &s)
    {
        if (s.bWrite) {
            {
                std::lock_guard<std::mutex> g(logM_);
                writes_.emplace_back(s.offset / LB_SIZE_IN_BYTES, s.size / LB_SIZE_IN_BYTES);
            }
            if (onWrite_)
                onWrite_(s.offset / LB_SIZE_IN_BYTES);
        }
        return FakeAioBackend::kFull;
    }
    std::mutex logM_;
    std::vector<std::pair<UINT64, UINT64>> writes_;
};

TEST_F(ContDevTest, SignatureTableOfNewDevices)
{
    // A device object of this server under id 0xB0, at its own path, is the holder of rows 5.
    const std::string holderPath = device("holder", 4ull << 20);
    ContDev holder{};
    run([&] { contDev_Init(cont_.get(), &holder, 0xB0, TGT_SCAN_FLAVOR__OFF, nullptr); });
    file_UpdateName(&holder.file, holderPath.c_str());
    contTest_Register(&cont_->objs, 0xB0, CONT_OBJ_TYPE__DEV, &holder);

    struct Row {
        const char *pName;
        UINT64 hdrTgt, hdrDev;
        BOOL bCmdForce, bConfForce;
        Mos_RC want;
    } rows[] = {
        {"blank", 0, 0, FALSE, FALSE, MOS_RC__SUCCESS},
        {"tgt0", 0, 0xA1, FALSE, FALSE, MOS_RC__SUCCESS},
        {"dev0", 0x1234, 0, FALSE, FALSE, MOS_RC__SUCCESS},
        {"other", 0x1234, 0xA1, FALSE, FALSE, MOS_RC__DEV_ALREADY_TAKEN_BY_ANOTHER},
        {"otherCmd", 0x1234, 0xA1, TRUE, FALSE, MOS_RC__SUCCESS},
        {"otherConf", 0x1234, 0xA1, FALSE, TRUE, MOS_RC__SUCCESS},
        {"heldForced", kTgtId, 0xB0, TRUE, TRUE, MOS_RC__INVALID_DEVICE_HEADER_SIGNATURE},
        {"oursOtherId", kTgtId, 0xC0, FALSE, FALSE, MOS_RC__DEV_ALREADY_TAKEN_BY_ANOTHER},
        {"oursOtherIdForced", kTgtId, 0xC0, TRUE, FALSE, MOS_RC__SUCCESS},
        {"oursSameId", kTgtId, 0xA1, FALSE, FALSE, MOS_RC__DEV_ALREADY_TAKEN_BY_US_OR_ANOTHER},
        {"oursSameIdConf", kTgtId, 0xA1, FALSE, TRUE, MOS_RC__SUCCESS},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.pName);
        const std::string path = device(r.pName, 4ull << 20);
        if (r.hdrTgt != 0 || r.hdrDev != 0)
            writeHeader(path, r.hdrTgt, r.hdrDev);
        tgtInitParam_G.bAlwaysForceDeviceTakeover = r.bConfForce;
        Mos_RC rc = MOS_RC__ERROR;
        run([&] { rc = contDev_ValidateNoOtherSignatures(cont_.get(), 0xA1, path.c_str(), r.bCmdForce, CONT_OBJ_TYPE__DEV); });
        EXPECT_EQ(rc, r.want);
    }
    run([&] {
        EXPECT_EQ(contObj_Rem(&cont_->objs, 0xB0, CONT_OBJ_TYPE__DEV), &holder);
        contDev_Destroy(&holder);
    });
}

TEST_F(ContDevTest, AddAndRemoveADevice)
{
    const std::string path = device("d0");
    BOOL bZero = FALSE;
    ASSERT_EQ(add(0xD0, path.c_str(), TRUE, FALSE, &bZero), MOS_RC__SUCCESS);
    EXPECT_TRUE(bZero) << "a new device's unused metadata is still to be zeroed";
    EXPECT_TRUE(registered(0xD0));
    EXPECT_EQ(contDevMngr_GetDevCount(&cont_->devMngr), 1u);
    PhyDevHeader h = readHeader(path);
    EXPECT_EQ(h.devId, 0xD0u);
    EXPECT_EQ(h.tgtId, kTgtId);

    // Listed again: the object stays, its mark is cleared and its errors forgotten.
    dev(0xD0)->bMark = TRUE;
    ASSERT_EQ(add(0xD0, path.c_str()), MOS_RC__ALREADY_EXISTS);
    EXPECT_FALSE(dev(0xD0)->bMark);
    EXPECT_EQ(contDevMngr_GetDevCount(&cont_->devMngr), 1u);

    ASSERT_EQ(rem(0xD0), MOS_RC__SUCCESS);
    EXPECT_FALSE(registered(0xD0));
    EXPECT_EQ(contDevMngr_GetDevCount(&cont_->devMngr), 0u);
    EXPECT_EQ(readHeader(path).devId, 0u) << "a removed device is no longer ours on disk";
    EXPECT_EQ(rem(0xD0), MOS_RC__NOT_FOUND);
    EXPECT_TRUE(umtTest_WaitFor([&] { return openFiles() == 0; }));

    // A known device that is neither in the device map nor carries our signature is not found.
    EXPECT_EQ(add(0xD0, path.c_str(), FALSE), MOS_RC__NOT_FOUND);
    EXPECT_FALSE(registered(0xD0));
}

TEST_F(ContDevTest, AReAddForgetsErrorsAndARefreshValidatesTheHeaderAgain)
{
    const std::string path = device("r");
    ASSERT_EQ(add(0xF0, path.c_str()), MOS_RC__SUCCESS);
    ContDev *pDev = dev(0xF0);
    run([&] { (void)contDev_UpdateDeviceError(pDev, cont_.get(), FILE__DEV_ERROR_WRITE); });
    ASSERT_TRUE(contDev_IsDeviceInError(pDev));
    auto reAdd = [&](BOOL bRefresh) {
        ContDevAddArgs a = contDevTest_AddArgs(0xF0, path.c_str(), FALSE);
        a.bRefresh = bRefresh;
        UINT32 combs = 0;
        UINT64 teeth = 0;
        BOOL bZero = FALSE;
        Mos_RC rc = MOS_RC__ERROR;
        run([&] { rc = contDev_AddOne(cont_.get(), &a, &combs, &teeth, &bZero); });
        return rc;
    };
    EXPECT_EQ(reAdd(FALSE), MOS_RC__ALREADY_EXISTS);
    EXPECT_FALSE(contDev_IsDeviceInError(pDev)) << "a later error is reported again";
    EXPECT_EQ(reAdd(TRUE), MOS_RC__ALREADY_EXISTS);
    tgtTest_WriteHeader(path, 0x1234, 0xF0);
    EXPECT_EQ(reAdd(TRUE), MOS_RC__ERROR) << "the refreshed device no longer carries our header";
    EXPECT_TRUE(registered(0xF0));
    tgtTest_WriteHeader(path, kTgtId, 0xF0);
}

TEST_F(ContDevTest, AFailedAddLeavesNothingBehind)
{
    tgtInitParam_G.bAlwaysForceDeviceTakeover = FALSE;
    const std::string empty = device("empty", 0);
    const std::string other = device("other");
    writeHeader(other, 0x1234, 0xE1);
    const std::string same = device("same");
    writeHeader(same, kTgtId, 0xE1);
    std::string longPath(CONT_DEV__PATH_LEN, 'x'); // no terminator within the field
    struct Row {
        const char *pName;
        const char *pPath;
        Mos_RC want;
    } rows[] = {
        {"size 0", empty.c_str(), MOS_RC__TGT_ADD_DEV_SIZE_PROBLEM},
        {"another server's", other.c_str(), MOS_RC__DEV_ALREADY_TAKEN_BY_ANOTHER},
        {"ours with the same id", same.c_str(), MOS_RC__DEV_ALREADY_TAKEN_BY_ANOTHER},
        {"unterminated path", longPath.data(), MOS_RC__INVALID_DEVICE_PATH},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.pName);
        EXPECT_EQ(add(0xE1, r.pPath), r.want);
        EXPECT_FALSE(registered(0xE1));
        EXPECT_EQ(contDevMngr_GetDevCount(&cont_->devMngr), 0u);
        EXPECT_TRUE(umtTest_WaitFor([&] { return openFiles() == 0; }));
    }
    EXPECT_EQ(readHeader(other).tgtId, 0x1234u) << "another server's device is left as it was";
    Mos_RC rc = add(0xE1, dir_.file("missing").c_str());
    EXPECT_NE(rc, MOS_RC__SUCCESS);
    EXPECT_FALSE(registered(0xE1));
    // The id is free again: a good device takes it.
    EXPECT_EQ(add(0xE1, device("good").c_str()), MOS_RC__SUCCESS);
}

TEST_F(ContDevTest, ZeroingWritesTheRestOfTheMetadataAreaThenMarksTheHeader)
{
    const std::string path = device("z");
    ASSERT_EQ(add(0x21, path.c_str()), MOS_RC__SUCCESS);
    ContDev *pDev = dev(0x21);
    struct Row {
        BOOL bKeyOn;
        UINT64 fromLb;
        std::vector<std::pair<UINT64, UINT64>> want;
    } rows[] = {
        {TRUE, 2097151, {{2097151, 1}}},
        {TRUE, 2097152 - 2048 - 5, {{2097152 - 2048 - 5, 2048}, {2097152 - 5, 5}}},
        {FALSE, 2097151, {}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.fromLb);
        tgtInitParam_G.bWriteZeroesToNewDev = r.bKeyOn;
        pDev->pPhyDev->header.devOffsets.freeSpaceOffset = r.fromLb;
        pDev->pPhyDev->header.flags &= ~PHY_DEV_HDR_FLAG__MD_ZEROED;
        clearWrites();
        Mos_RC rc = MOS_RC__ERROR;
        run([&] { rc = contDev_MakeDevOperaional(cont_.get(), 0x21, pDev); });
        EXPECT_EQ(rc, MOS_RC__SUCCESS);
        EXPECT_EQ(writesIn(r.fromLb, CONT_DEV__MD_AREA_LBS), r.want);
        EXPECT_TRUE(contDev_IsDeviceZeroingDone(pDev));
        EXPECT_NE(readHeader(path).flags & PHY_DEV_HDR_FLAG__MD_ZEROED, 0u);
    }
    // A free-space offset past the metadata area (a bad header) is refused, not obeyed.
    pDev->pPhyDev->header.devOffsets.freeSpaceOffset = CONT_DEV__MD_AREA_LBS;
    Mos_RC rc = MOS_RC__SUCCESS;
    run([&] { rc = contDev_MakeDevOperaional(cont_.get(), 0x21, pDev); });
    EXPECT_EQ(rc, MOS_RC__TGT_ADD_DEV_IO_ERROR);
}

// A remove of the device, or a stop of the manager, that comes while the first chunk is being
// written ends the zeroing there, with the header left unmarked.
TEST_F(ContDevTest, ARemoveOrAStopAbortsZeroingAtTheNextChunk)
{
    struct Case {
        const char *name;
        UINT64 devId;
        std::function<void(ContDev *)> interrupt;
    };
    const Case cases[] = {
        {"remove", 0x22, [&](ContDev *pDev) { contDev_PrepareRem(cont_.get(), pDev); }},
        {"stop", 0x23, [&](ContDev *) { contDevMngr_StopZeroing(&cont_->devMngr); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = device(c.name);
        ASSERT_EQ(add(c.devId, path.c_str()), MOS_RC__SUCCESS);
        ContDev *pDev = dev(c.devId);
        const UINT64 from = CONT_DEV__MD_AREA_LBS - 3 * 2048;
        pDev->pPhyDev->header.devOffsets.freeSpaceOffset = from;
        pDev->pPhyDev->header.flags &= ~PHY_DEV_HDR_FLAG__MD_ZEROED;
        clearWrites();
        onWrite_ = [&](UINT64 lb) {
            if (lb == from)
                c.interrupt(pDev);
        };
        Mos_RC rc = MOS_RC__SUCCESS;
        run([&] { rc = contDev_MakeDevOperaional(cont_.get(), c.devId, pDev); });
        onWrite_ = nullptr;
        EXPECT_EQ(rc, MOS_RC__ERROR);
        EXPECT_EQ(writesIn(from, CONT_DEV__MD_AREA_LBS), (std::vector<std::pair<UINT64, UINT64>>{{from, 2048}}));
        EXPECT_FALSE(contDev_IsDeviceZeroingDone(pDev));
        EXPECT_EQ(readHeader(path).flags & PHY_DEV_HDR_FLAG__MD_ZEROED, 0u);
        EXPECT_EQ(rem(c.devId), MOS_RC__SUCCESS);
    }
}

TEST_F(ContDevTest, ADeviceErrorIsReportedOnceAndAFailedReportIsRetried)
{
    ASSERT_EQ(add(0x31, device("e").c_str()), MOS_RC__SUCCESS);
    ContDev *pDev = dev(0x31);
    auto update = [&](UINT32 flags) {
        Mos_RC rc = MOS_RC__ERROR;
        run([&] { rc = contDev_UpdateDeviceError(pDev, cont_.get(), flags); });
        return rc;
    };
    auto record = [](UINT32 r, UINT32 w) {
        OstrelTgtReq_DeviceError e{0x31, r, w};
        auto *p = reinterpret_cast<const UINT8 *>(&e);
        return std::vector<UINT8>(p, p + sizeof(e));
    };
    cap_.sendRc = MOS_RC__TIMEOUT;
    EXPECT_EQ(update(FILE__DEV_ERROR_READ), MOS_RC__TIMEOUT);
    cap_.sendRc = MOS_RC__SUCCESS;
    EXPECT_EQ(update(FILE__DEV_ERROR_READ), MOS_RC__SUCCESS) << "the failed report is sent again";
    EXPECT_EQ(update(FILE__DEV_ERROR_READ), (Mos_RC)0) << "an error already reported is not reported again";
    EXPECT_EQ(update(FILE__DEV_ERROR_WRITE), MOS_RC__SUCCESS);
    EXPECT_EQ(cap_.of(CONT_DEV__MSG_DEVICE_ERROR),
              (std::vector<std::vector<UINT8>>{record(1, 0), record(1, 0), record(1, 1)}));
    EXPECT_TRUE(contDev_IsDeviceInError(pDev));
    EXPECT_TRUE(contDev_IsInWriteError(pDev));
}

class ContDevLongIoTest : public ContDevTest {
  protected:
    void SetUp() override
    {
        ContDevTest::SetUp();
        ASSERT_EQ(add(0x41, device("l").c_str()), MOS_RC__SUCCESS);
        dev(0x41)->pPhyDev->header.flags |= PHY_DEV_HDR_FLAG__MD_ZEROED;
    }
    void check(UINT64 inflightMs)
    {
        cap_.inflightMs = inflightMs;
        run([&] { contDevMngr_CheckLongInflightIos(&cont_->devMngr, TRUE); });
    }
    size_t delays() { return cap_.of(CONT_DEV__MSG_DELAY_RECONFIG).size(); }
};

TEST_F(ContDevLongIoTest, EightThenElevenSecondsThenCalmEndsInThePlannedCrash)
{
    check(8000);
    EXPECT_EQ(delays(), 1u);
    EXPECT_EQ(cap_.keepAlivePaused, 1);
    EXPECT_EQ(cap_.linksPaused, 0);
    auto d = cap_.of(CONT_DEV__MSG_DELAY_RECONFIG)[0];
    ASSERT_EQ(d.size(), sizeof(OstrelTgtReq_DelayTgtReconfig));
    OstrelTgtReq_DelayTgtReconfig rec;
    memcpy(&rec, d.data(), sizeof(rec));
    EXPECT_EQ(rec.tgtId, kTgtId);
    EXPECT_EQ(rec.timeToDelayInSec, 2u);

    check(11000);
    check(11000);
    EXPECT_EQ(cap_.linksPaused, 1) << "the links are paused once while the low threshold stays crossed";
    EXPECT_EQ(delays(), 3u);
    EXPECT_TRUE(cap_.crashes.empty());

    check(0);
    EXPECT_EQ(cap_.crashes, std::vector<std::string>{"Long in-flight IO passed threshold"});
    EXPECT_EQ(delays(), 3u);
    check(0);
    EXPECT_EQ(cap_.crashes.size(), 1u);
    EXPECT_TRUE(cap_.commands.empty());
    EXPECT_TRUE(cap_.of(CONT_DEV__MSG_DEVICE_ERROR).empty());
}

TEST_F(ContDevLongIoTest, HighThresholdEndsByTheConfiguredAction)
{
    struct Row {
        UINT64 action;
        std::vector<std::string> commands;
        bool bCrash;
    } rows[] = {
        {50, {}, false},
        {100, {}, true},
        {200, {"reboot -f"}, true},
        {300, {"/sbin/poweroff -f"}, true},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.action);
        tgtInitParam_G.devInflightLongIosErrorAction = r.action;
        cap_.crashes.clear();
        cap_.commands.clear();
        cap_.netPaused = 0;
        check(46000);
        EXPECT_EQ(cap_.commands, r.commands);
        EXPECT_EQ(cap_.netPaused, r.bCrash ? 1 : 0);
        EXPECT_EQ(cap_.crashes, r.bCrash ? std::vector<std::string>{"Long inflight IO passed high threshold"}
                                         : std::vector<std::string>{});
    }
    // The device error is recorded at the first violation and reported once (read and write).
    auto errs = cap_.of(CONT_DEV__MSG_DEVICE_ERROR);
    ASSERT_EQ(errs.size(), 1u);
    OstrelTgtReq_DeviceError e;
    memcpy(&e, errs[0].data(), sizeof(e));
    EXPECT_EQ(e.bReadError, 1u);
    EXPECT_EQ(e.bWriteError, 1u);
}

TEST_F(ContDevTest, AHeaderThatIsNoLongerOursRecordsAndReportsADeviceError)
{
    const std::string path = device("h");
    ASSERT_EQ(add(0x71, path.c_str()), MOS_RC__SUCCESS);
    ContDev *pDev = dev(0x71);
    auto validate = [&] {
        run([&] { contDevMngr_ValidateDevHeader(cont_.get(), &cont_->devMngr, kTgtId); });
        EXPECT_TRUE(umtTest_WaitFor([&] { return !pDev->bValidateHeaderScannerInProgress; }));
    };
    validate();
    EXPECT_FALSE(contDev_IsDeviceInError(pDev));
    EXPECT_TRUE(cap_.of(CONT_DEV__MSG_DEVICE_ERROR).empty());

    tgtTest_WriteHeader(path, 0x1234, 0x71); // another server took the disk
    validate();
    EXPECT_TRUE(contDev_IsDeviceInError(pDev));
    EXPECT_TRUE(contDev_IsInWriteError(pDev));
    EXPECT_EQ(cap_.of(CONT_DEV__MSG_DEVICE_ERROR).size(), 1u);
    tgtTest_WriteHeader(path, kTgtId, 0x71); // so that the remove finds its own device again
}

TEST_F(ContDevTest, AScanFlavorOutsideItsRangeOrIdZeroIsRefused)
{
    const std::string path = device("f");
    for (UINT32 flavor : {(UINT32)TGT_SCAN_FLAVOR__INVALID, (UINT32)TGT_SCAN_FLAVOR__LAST}) {
        ContDevAddArgs a{};
        a.devId = 0x81;
        a.pPath = path.c_str();
        a.bNew = TRUE;
        a.scanInfo = {flavor, 0};
        UINT32 combs = 0;
        UINT64 teeth = 0;
        BOOL bZero = FALSE;
        Mos_RC rc = MOS_RC__SUCCESS;
        run([&] { rc = contDev_AddOne(cont_.get(), &a, &combs, &teeth, &bZero); });
        EXPECT_EQ(rc, MOS_RC__INVALID_ARG);
    }
    EXPECT_EQ(add(0, path.c_str()), MOS_RC__INVALID_ARG);
    EXPECT_EQ(contDevMngr_GetDevCount(&cont_->devMngr), 0u);

    // A later change of the scan configuration is refused the same way and changes nothing.
    ASSERT_EQ(add(0x81, path.c_str()), MOS_RC__SUCCESS);
    ContDev *pDev = dev(0x81);
    const TgtBackgroundScanInfo bad = {TGT_SCAN_FLAVOR__LAST, 100};
    const TgtBackgroundScanInfo good = {TGT_SCAN_FLAVOR__READ, 100};
    EXPECT_EQ(contDev_UpdateDevScanConf(pDev, &bad), MOS_RC__INVALID_ARG);
    EXPECT_EQ(pDev->scanFlavor, TGT_SCAN_FLAVOR__OFF);
    EXPECT_EQ(contDev_UpdateDevScanConf(pDev, &good), MOS_RC__SUCCESS);
    EXPECT_EQ(pDev->scanFlavor, TGT_SCAN_FLAVOR__READ);
}

TEST_F(ContDevTest, QueriesOverAllDevicesAnswerEachDeviceOnceAndStopAtTheirRoom)
{
    const std::string a = device("qa"), b = device("qb");
    ASSERT_EQ(add(0xA0, a.c_str()), MOS_RC__SUCCESS);
    ASSERT_EQ(add(0xB0, b.c_str()), MOS_RC__SUCCESS);
    UINT64 ids[3] = {};
    CHAR_A paths[3][CONT_DEV__PATH_LEN];
    run([&] { EXPECT_EQ(contDevMngr_GetPaths(&cont_->devMngr, ids, paths, 3), 2u); });
    EXPECT_EQ(ids[0], 0xA0u);
    EXPECT_EQ(std::string(paths[0]), a);
    EXPECT_EQ(ids[1], 0xB0u);
    EXPECT_EQ(std::string(paths[1]), b);
    OstrelTgtRsp_DevCapacity cap[3] = {};
    run([&] { EXPECT_EQ(contDevMngr_GetTgtDevCapacity(&cont_->devMngr, cap, 3), 2u); });
    EXPECT_EQ(cap[1].devId, 0xB0u);
    EXPECT_EQ(cap[1].totalSizeInLbs, kDevGb * GB_IN_LBS + 2048); // the file: 2 GB and 1 MB
    EXPECT_EQ(cap[1].numOfTeeth, dev(0xB0)->pPhyDev->numOfTeeth);
    OstrelTgtRsp_DevLatencyBwc lat[1];
    memset(lat, 0xEE, sizeof(lat));
    run([&] { EXPECT_EQ(contDevMngr_GetTgtDevLatencyBwc(&cont_->devMngr, lat, 1), 1u); });
    EXPECT_EQ(lat[0].maxPathLen, CONT_DEV__PATH_LEN);
    EXPECT_EQ(std::string(lat[0].path), a);
    const UINT64 latDevId = lat[0].devId; // packed: read by value
    EXPECT_EQ(latDevId, 0xA0u);
    std::vector<OstrelTgtRsp_DevCounters> counters(2);
    run([&] { EXPECT_EQ(contDevMngr_GetTgtDevCounters(&cont_->devMngr, counters.data(), 2), 2u); });
    EXPECT_EQ(counters[1].devId, 0xB0u);
    const UINT64 reads = counters[1].flcacheCounter.readsReceived; // packed: read by value
    EXPECT_EQ(reads, 0u) << "zero while the flash read cache is off";
}

TEST_F(ContDevTest, DiskTestRequestsOutsideTheirLimitsAreRefused)
{
    const ContDevDiskTestDev devs[1] = {{0x51, 1}};
    const ContDevDiskTestParam good = {DEV_TEST_PATTERN_TYPE__READ_SEQ, 64, 1, 0};
    struct Row {
        const char *pName;
        UINT32 numOfDevs;
        ContDevDiskTestParam p;
        UINT32 numOfTests;
    } rows[] = {
        {"no device", 0, good, 1},
        {"three sets", 1, good, 3},
        {"pattern 0", 1, {0, 64, 1, 0}, 1},
        {"pattern 5", 1, {5, 64, 1, 0}, 1},
        {"I/O above 1 MB", 1, {DEV_TEST_PATTERN_TYPE__READ_SEQ, 1025, 1, 0}, 1},
        {"I/O size wrapping", 1, {DEV_TEST_PATTERN_TYPE__READ_SEQ, 0x80000001u, 1, 0}, 1},
        {"no limit at all", 1, {DEV_TEST_PATTERN_TYPE__READ_SEQ, 64, 0, 0}, 1},
    };
    ContDevDiskTestParam sets[3] = {good, good, good};
    for (const Row &r : rows) {
        SCOPED_TRACE(r.pName);
        sets[0] = r.p;
        Mos_RC rc = MOS_RC__ERROR;
        run([&] { rc = contDevMngr_DiskTest(&cont_->devMngr, devs, r.numOfDevs, sets, r.numOfTests, TRUE); });
        EXPECT_EQ(rc, MOS_RC__INVALID_ARG);
        EXPECT_FALSE(contDevMngr_IsDiskTestInProg(&cont_->devMngr));
    }
}

TEST_F(ContDevTest, DiskTestRunsOnceAtATimeAndAnswersItsResultsAfterwards)
{
    ASSERT_EQ(add(0x52, device("t").c_str()), MOS_RC__SUCCESS);
    const ContDevDiskTestDev devs[2] = {{0x52, 7}, {0x99, 7}}; // the second is no device
    const ContDevDiskTestParam one = {DEV_TEST_PATTERN_TYPE__READ_SEQ, 64, 0, 1}; // 1 s, no size limit
    Mos_RC rc = MOS_RC__ERROR;
    run([&] { rc = contDevMngr_DiskTest(&cont_->devMngr, devs, 2, &one, 1, FALSE); });
    ASSERT_EQ(rc, MOS_RC__SUCCESS);
    struct Reply {
        ContDevDiskTestRspHead head;
        ContDevDiskTestResult r[2][2];
    } reply{};
    run([&] { rc = contDevMngr_DiskTest(&cont_->devMngr, devs, 1, &one, 1, FALSE); });
    EXPECT_EQ(rc, MOS_RC__ALREADY_EXISTS);
    run([&] { rc = contDevMngr_GetDiskTest(&cont_->devMngr, devs, 2, &reply); });
    EXPECT_EQ(rc, MOS_RC__RETRY);
    ASSERT_TRUE(umtTest_WaitFor([&] { return !contDevMngr_IsDiskTestInProg(&cont_->devMngr); }));
    run([&] { rc = contDevMngr_GetDiskTest(&cont_->devMngr, devs, 2, &reply); });
    ASSERT_EQ(rc, MOS_RC__SUCCESS);
    EXPECT_EQ(reply.head.numOfDevs, 2u);
    EXPECT_EQ(reply.head.resultSize, 48u);
    // One history slot holds this test, the other none; the missing device answers 45 twice.
    const ContDevDiskTestResult *pRun = reply.r[0][0].rc == MOS_RC__NO_TEST ? &reply.r[0][1] : &reply.r[0][0];
    const ContDevDiskTestResult *pNone = pRun == &reply.r[0][0] ? &reply.r[0][1] : &reply.r[0][0];
    EXPECT_EQ(pRun->rc, (UINT32)MOS_RC__SUCCESS);
    EXPECT_EQ(pRun->testNum, 7u);
    EXPECT_EQ(pRun->pattern, (UINT32)DEV_TEST_PATTERN_TYPE__READ_SEQ);
    EXPECT_GT(pRun->numOfIos, 0u);
    EXPECT_EQ(pRun->totalLbs, pRun->numOfIos * 128);
    EXPECT_EQ(pNone->rc, (UINT32)MOS_RC__NO_TEST);
    EXPECT_EQ(reply.r[1][0].rc, (UINT32)MOS_RC__NO_DEVICES);
    EXPECT_EQ(reply.r[1][1].rc, (UINT32)MOS_RC__NO_DEVICES);
}

// The combs on a device, as the scan thread reaches them through the comb objects' hooks.
struct ScanCombs {
    struct Comb {
        MosDList_Node node{};
        UINT64 id = 0;
    };
    Comb combs[3];
    std::mutex m;
    std::vector<std::pair<UINT64, bool>> scanned; // (comb, with compare)
    int held = 0;
};
ScanCombs *scan_G = nullptr;

TEST_F(ContDevTest, TheScanThreadWalksTheDeviceCombsInRotation)
{
    ScanCombs sc;
    scan_G = &sc;
    static const ContDevCombHooks kHooks = {
        [](MosDList_Node *p) { return MOS_CONTAINER_OF(p, ScanCombs::Comb, node)->id; },
        [](Cont *, UINT64 id) -> MosDList_Node * {
            std::lock_guard<std::mutex> g(scan_G->m);
            scan_G->held++;
            return &scan_G->combs[id - 1].node;
        },
        [](Cont *, UINT64) {
            std::lock_guard<std::mutex> g(scan_G->m);
            scan_G->held--;
        },
        [](Cont *, MosDList_Node *p, BOOL bCompare) {
            std::lock_guard<std::mutex> g(scan_G->m);
            scan_G->scanned.emplace_back(MOS_CONTAINER_OF(p, ScanCombs::Comb, node)->id, bCompare != FALSE);
        },
    };
    contDev_SetCombHooks(&kHooks);
    // The Ostrel's link is up (a blocked link stops the scan).
    cont_->ostrel.kalive.keepaliveTimeoutMs = 1u << 30;
    cont_->ostrel.kalive.lastGoodTime = mosTicks_GetCurrentTick();
    ContDev d{};
    run([&] { contDev_Init(cont_.get(), &d, 0x61, TGT_SCAN_FLAVOR__READ_AND_COMPARE, nullptr); });
    {
        MosFastlockGuard g(&d.addRemCombFastlock);
        for (UINT64 i = 0; i < 3; i++) {
            sc.combs[i].id = i + 1;
            mosDList_InsertTail(&d.combAnchor, &sc.combs[i].node);
        }
    }
    auto count = [&] {
        std::lock_guard<std::mutex> g(sc.m);
        return sc.scanned.size();
    };
    ASSERT_TRUE(umtTest_WaitFor([&] { return count() >= 4; }));
    run([&] { contDev_Destroy(&d); }); // the scan ends first; the combs are the test's
    contDev_SetCombHooks(nullptr);
    scan_G = nullptr;
    EXPECT_EQ(sc.held, 0) << "every comb scanned was released";
    // Each round takes the head and puts it back last: the combs follow one another in a cycle.
    for (size_t i = 0; i < sc.scanned.size(); i++) {
        EXPECT_TRUE(sc.scanned[i].second) << "read and compare";
        if (i >= 3) {
            EXPECT_EQ(sc.scanned[i].first, sc.scanned[i - 3].first);
        }
    }
    EXPECT_NE(sc.scanned[0].first, sc.scanned[1].first);
}

} // namespace
