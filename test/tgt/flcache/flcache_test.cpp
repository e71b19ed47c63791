// Flash read-cache driver control against a user-space driver of our own (test/fakes): the start
// sequence, the monitor's rounds, the target source list, errors and their report, and the driver
// answers the server must refuse. The controller is played by a small in-memory stand-in that
// fills the module's hooks; the monitor's rounds are run by the test itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "mos/mos_trace.h"
#include "test/fakes/fake_flcache_driver.h"
#include "test/support/tgt_test_support.h"
#include "test/support/trace_capture.h"
#include "tgt/flcache/flcache.h"

namespace {

::testing::Environment *const tgtEnv_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

// Source devices need distinct kernel device numbers: character devices every machine has.
const char *const kSourcePaths[] = {"/dev/null", "/dev/zero", "/dev/full", "/dev/random", "/dev/urandom"};

// The controller as the module sees it: flash-cache device objects, this server's devices, the
// device map and the Ostrel link.
struct FakeCont {
    std::map<UINT64, FlcacheFlashDev> cacheDevs;
    std::map<UINT64, std::string> devices;
    std::vector<OstrelTgtReq_UpdateFlcacheError> reports;
    Mos_RC sendRc = MOS_RC__SUCCESS;
    Mos_RC validateRc = MOS_RC__SUCCESS;
    std::vector<UINT64> removedCacheDevs;

    Flcache_ContHooks hooks()
    {
        Flcache_ContHooks h{};
        h.pCtx = this;
        h.pSendRequest = [](void *p, UINT32 type, UINT32 grp, const void *pPayload, UINT32 len) -> Mos_RC {
            auto *self = static_cast<FakeCont *>(p);
            EXPECT_EQ(type, 1006u);
            EXPECT_EQ(grp, 13u);
            EXPECT_EQ(len, 884u);
            OstrelTgtReq_UpdateFlcacheError r;
            memcpy(&r, pPayload, sizeof(r));
            self->reports.push_back(r);
            return self->sendRc;
        };
        h.pGetTgtId = [](void *) -> UINT64 { return 0x5151; };
        h.pAddCacheDev = [](void *p, FlcacheDevId id, const CHAR_A *pPath, UINT64 handle) -> Mos_RC {
            auto *self = static_cast<FakeCont *>(p);
            if (self->cacheDevs.count(id) != 0)
                return MOS_RC__ALREADY_EXISTS;
            FlcacheFlashDev d{};
            d.tgtCacheDevId = id;
            d.flcacheDriverHandle = handle;
            snprintf(d.cacheDevPath, sizeof(d.cacheDevPath), "%s", pPath);
            self->cacheDevs[id] = d;
            return MOS_RC__SUCCESS;
        };
        h.pRemCacheDev = [](void *p, FlcacheDevId id) -> Mos_RC {
            auto *self = static_cast<FakeCont *>(p);
            self->removedCacheDevs.push_back(id);
            return self->cacheDevs.erase(id) != 0 ? MOS_RC__SUCCESS : MOS_RC__NOT_FOUND;
        };
        h.pRemUnusedCacheDev = [](void *p, const FlcacheDevId *pInUse, UINT32 n) {
            auto *self = static_cast<FakeCont *>(p);
            for (auto it = self->cacheDevs.begin(); it != self->cacheDevs.end();)
                it = std::find(pInUse, pInUse + n, it->first) == pInUse + n ? self->cacheDevs.erase(it) : ++it;
        };
        h.pAcquireCacheDev = [](void *p, FlcacheDevId id) -> FlcacheFlashDev * {
            auto *self = static_cast<FakeCont *>(p);
            auto it = self->cacheDevs.find(id);
            return it == self->cacheDevs.end() ? nullptr : &it->second;
        };
        h.pReleaseCacheDev = [](void *, FlcacheDevId) {};
        h.pFindCacheDevByPath = [](void *p, const CHAR_A *pPath, FlcacheDevId except) -> FlcacheDevId {
            for (auto &kv : static_cast<FakeCont *>(p)->cacheDevs)
                if (kv.first != except && strcasecmp(kv.second.cacheDevPath, pPath) == 0)
                    return kv.first;
            return 0;
        };
        h.pValidateCacheDev = [](void *p, FlcacheDevId, const CHAR_A *, BOOL) -> Mos_RC {
            return static_cast<FakeCont *>(p)->validateRc;
        };
        h.pGetDevPath = nullptr; // no device map: every listed cache device takes the command's path
        h.pCopyDevPath = [](void *p, UINT64 id, CHAR_A *pPath) -> Mos_RC {
            auto *self = static_cast<FakeCont *>(p);
            auto it = self->devices.find(id);
            if (it == self->devices.end())
                return MOS_RC__NOT_FOUND;
            snprintf(pPath, FLCACHE__DEV_PATH_LEN, "%s", it->second.c_str());
            return MOS_RC__SUCCESS;
        };
        h.bNoMonitorThread = TRUE;
        return h;
    }
};

class FlcacheTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        traceTest_Capture();
        for (UINT64 id = 1; id <= 5; id++)
            cont_.devices[id] = kSourcePaths[id - 1];
        for (UINT64 id = 101; id <= 109; id++)
            cacheDevPaths_[id] = tgtTest_MakeSparseFile(dir_, "flash" + std::to_string(id), 1 << 20);
    }
    void TearDown() override
    {
        if (bInit_)
            run([&] { flcache_Destroy(&fl_); });
    }

    void init(const char *pHandleFile = nullptr)
    {
        const FlcacheDrvPort port = drv_.port();
        const std::string handle = pHandleFile != nullptr ? pHandleFile : dir_.file("rfchdl");
        run([&] { flcache_InitEx(&fl_, nullptr, &port, "/dev/halvrn-test", handle.c_str()); });
        const Flcache_ContHooks h = cont_.hooks();
        flcache_SetContHooks(&fl_, &h);
        bInit_ = true;
    }

    static void run(const std::function<void()> &fn) { umtTest_RunAsUmt(fn); }

    Flcache_ostrelCacheConf cacheConf(std::vector<UINT64> ids, UINT32 pageSizeKb = 4)
    {
        Flcache_ostrelCacheConf c{};
        c.maxIoSize = 128;
        c.opmode = FLCACHE_OPERATIONAL_MODE__PASS_THROUGH_WRITE;
        c.pageSize = pageSizeKb;
        c.cacheObjDevListSize = (UINT32)ids.size();
        for (size_t i = 0; i < ids.size() && i < MAX_NUM_FLCACHE_DEV_PER_TGT; i++) {
            c.cacheObjDevList[i] = ids[i];
            snprintf(c.cacheDevPath[i], sizeof(c.cacheDevPath[i]), "%s", cacheDevPaths_[ids[i]].c_str());
        }
        return c;
    }
    static Flcache_ostrelSourceConf sourceConf(std::vector<UINT64> ids)
    {
        Flcache_ostrelSourceConf s{};
        s.sourceDeviceList.sourceDevListSize = (UINT32)ids.size();
        for (size_t i = 0; i < ids.size() && i < FLCACHE__MAX_SOURCE_DEVS; i++)
            s.sourceDeviceList.sourceDevList[i] = ids[i];
        return s;
    }
    Mos_RC reconfigCache(std::vector<UINT64> ids)
    {
        const Flcache_ostrelCacheConf c = cacheConf(std::move(ids));
        Mos_RC rc = MOS_RC__ERROR;
        run([&] { rc = flcache_CacheReconfig(&fl_, &c); });
        return rc;
    }
    Mos_RC reconfigSources(std::vector<UINT64> ids)
    {
        const Flcache_ostrelSourceConf s = sourceConf(std::move(ids));
        Mos_RC rc = MOS_RC__ERROR;
        run([&] { rc = flcache_SourceReconfig(&fl_, &s); });
        return rc;
    }
    Mos_RC round()
    {
        Mos_RC rc = MOS_RC__ERROR;
        run([&] { rc = flcache_MonitorRound(&fl_); });
        return rc;
    }
    std::vector<UINT64> targetSources()
    {
        const Flcache_sourceConf &s = fl_.targetConf.sourceConf;
        return std::vector<UINT64>(s.sourceDevList, s.sourceDevList + s.sourceDevListSize);
    }
    // Two cache devices and sources 1-3 applied.
    void applyBaseline()
    {
        ASSERT_EQ(reconfigSources({1, 2, 3}), MOS_RC__SUCCESS);
        ASSERT_EQ(reconfigCache({101, 102}), MOS_RC__SUCCESS);
        ASSERT_EQ(round(), MOS_RC__SUCCESS);
        ASSERT_EQ(drv_.cacheDevs.size(), 2u);
        ASSERT_EQ(drv_.sources.size(), 3u);
    }

    ScratchDir dir_;
    FakeFlcacheDriver drv_;
    FakeCont cont_;
    Flcache fl_{};
    bool bInit_ = false;
    std::map<UINT64, std::string> cacheDevPaths_;
};

TEST(FlcacheRecordsTest, OpmodesMapBothWaysAndUnknownValuesAreInvalid)
{
    const UINT32 table[][2] = {{1, 258}, {2, 6}, {3, 10}, {4, 14}, {5, 2}};
    for (const auto &row : table) {
        EXPECT_EQ(flcache_OstrelToDriverOpmode(row[0]), row[1]);
        EXPECT_EQ(flcache_DriverOpmodeToOstrel(row[1]), row[0]);
    }
    EXPECT_EQ(flcache_OstrelToDriverOpmode(0), 259u);
    EXPECT_EQ(flcache_OstrelToDriverOpmode(6), 259u);
    EXPECT_EQ(flcache_DriverOpmodeToOstrel(259), 0u);
    EXPECT_EQ(flcache_DriverOpmodeToOstrel(7), 0u);
    EXPECT_STREQ(flcache_ErrName(6), "Card io error");
    EXPECT_STREQ(flcache_ErrName(9), "Invalid driver path");
    EXPECT_STREQ(flcache_ErrName(10), "FLCACHE_ERR__UNKNOWN");
}

TEST(FlcacheRecordsTest, ConfigurationsCompareWithoutOrderAndIgnoreSettingsOfAnEmptyCache)
{
    Flcache_cacheConf a{}, b{};
    a.cacheObjDevListSize = b.cacheObjDevListSize = 2;
    a.cacheObjDevList[0] = b.cacheObjDevList[1] = 7;
    a.cacheObjDevList[1] = b.cacheObjDevList[0] = 8;
    a.pageSize = b.pageSize = 4;
    EXPECT_TRUE(flcache_CacheConfEqual(&a, &b));
    b.opmode = 3;
    EXPECT_FALSE(flcache_CacheConfEqual(&a, &b));
    a.cacheObjDevListSize = b.cacheObjDevListSize = 0;
    EXPECT_TRUE(flcache_CacheConfEqual(&a, &b));

    Flcache_sourceConf s{}, t{};
    s.sourceDevListSize = t.sourceDevListSize = 2;
    s.sourceDevList[0] = t.sourceDevList[1] = 1;
    s.sourceDevList[1] = t.sourceDevList[0] = 2;
    EXPECT_TRUE(flcache_SourceConfEqual(&s, &t));
    t.sourceDevList[0] = 3;
    EXPECT_FALSE(flcache_SourceConfEqual(&s, &t));
}

TEST_F(FlcacheTest, WithoutHandleFileTheHandleIs100AndObjectIdsStartAt10001)
{
    init();
    EXPECT_EQ(fl_.driverCacheHandle, 100u);
    ASSERT_EQ(reconfigSources({1}), MOS_RC__SUCCESS);
    ASSERT_EQ(reconfigCache({101}), MOS_RC__SUCCESS);
    EXPECT_EQ(drv_.openedPaths, std::vector<std::string>{"/dev/halvrn-test"});
    ASSERT_EQ(round(), MOS_RC__SUCCESS);
    EXPECT_EQ(drv_.startObjIds, (std::vector<UINT32>{10001, 10002}));
    EXPECT_EQ(drv_.badRequests, 0u);
}

TEST_F(FlcacheTest, HandleFileGivesTheHandleAndABadOneKeepsDriverControlOff)
{
    const std::string good = dir_.file("good");
    std::ofstream(good) << "042\n";
    init(good.c_str());
    EXPECT_EQ(fl_.driverCacheHandle, 42u);
    run([&] { flcache_Destroy(&fl_); });

    const std::string bad = dir_.file("bad");
    std::ofstream(bad) << "4x";
    init(bad.c_str());
    EXPECT_EQ(reconfigCache({101}), MOS_RC__FLCACHE_INVALID_DRIVER_PATH);
    EXPECT_FALSE(fl_.bEnable);
    EXPECT_TRUE(drv_.openedPaths.empty());
    ASSERT_EQ(cont_.reports.size(), 1u);
    EXPECT_EQ(cont_.reports[0].globalCacheErrors, FLCACHE_ERR_BIT(INVALID_DRIVER_PATH));
}

TEST_F(FlcacheTest, StartStopsWhatAnEarlierRunLeftBeforeConfiguringAnything)
{
    drv_.cacheDevs.push_back({999, 77, 5, "/old/flash", {}});
    drv_.sources.push_back({7, 1001, 6, 6, "/old/a", {}});
    drv_.sources.push_back({8, 1002, 7, 6, "/old/b", {}});
    init();
    ASSERT_EQ(reconfigCache({101}), MOS_RC__SUCCESS);
    const std::vector<UINT32> expected = {116, 1104, 1106, 1106, 1102, 1104};
    EXPECT_EQ(drv_.cmds, expected);
    EXPECT_TRUE(drv_.cacheDevs.empty());
    EXPECT_TRUE(drv_.sources.empty());
    EXPECT_TRUE(fl_.bEnable);
}

TEST_F(FlcacheTest, AppliedTargetIsReadBackAsLastKnown)
{
    init();
    applyBaseline();
    const Flcache_conf &lk = fl_.lastKnownConf;
    EXPECT_EQ(lk.cacheConf.cacheObjDevListSize, 2u);
    EXPECT_EQ(lk.cacheConf.pageSize, 4u);
    EXPECT_EQ(lk.cacheConf.maxIoSize, 128u);
    EXPECT_EQ(lk.cacheConf.opmode, (UINT32)FLCACHE_OPERATIONAL_MODE__PASS_THROUGH_WRITE);
    EXPECT_TRUE(flcache_CacheConfEqual(&lk.cacheConf, &fl_.targetConf.cacheConf));
    EXPECT_TRUE(flcache_SourceConfEqual(&lk.sourceConf, &fl_.targetConf.sourceConf));
    EXPECT_EQ(fl_.conf.cacheConf.cachConfId, fl_.targetConf.cacheConf.cachConfId);
    EXPECT_EQ(fl_.conf.sourceConf.sourceConfId, fl_.targetConf.sourceConf.sourceConfId);
    EXPECT_EQ(drv_.opmode, 10u);
    EXPECT_EQ(drv_.pageSizeBytes, 4096u);
    EXPECT_TRUE(cont_.reports.empty());

    Flcache_ostrelQueryRes res{};
    flcache_CacheQuery(&fl_, &res);
    EXPECT_TRUE(res.bValid);
    EXPECT_EQ(res.numCacheDevs, 2u);
    EXPECT_EQ(res.numSourceDevs, 3u);
    EXPECT_EQ(std::string(res.cacheDevs[0].path), cacheDevPaths_[101]);

    // Counters of the applied devices; one whose object is gone reads zero.
    OstrelTgtRsp_FlcacheDevCounters devs[MAX_NUM_FLCACHE_DEV_PER_TGT];
    UINT32 n = 0;
    drv_.cacheDevs[1].counters.readsReceived = 5;
    ASSERT_EQ(round(), MOS_RC__SUCCESS);
    cont_.cacheDevs.erase(101);
    flcache_GetCacheCounters(&fl_, devs, &n);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ((UINT64)devs[0].tgtCacheDevId, 0u);
    EXPECT_EQ((UINT64)devs[1].tgtCacheDevId, 102u);
    EXPECT_EQ((UINT64)devs[1].readsReceived, 5u);

    // A source that leaves is stopped alone; the pool stays.
    const size_t before = drv_.cmds.size();
    ASSERT_EQ(reconfigSources({1, 3}), MOS_RC__SUCCESS);
    ASSERT_EQ(round(), MOS_RC__SUCCESS);
    const std::vector<UINT32> tail(drv_.cmds.begin() + (long)before, drv_.cmds.end());
    EXPECT_EQ(tail, (std::vector<UINT32>{1106, 1104}));
    EXPECT_EQ(drv_.sources.size(), 2u);
    EXPECT_EQ(fl_.sourceDevArrLen, 2u); // the record of the source that left is given back
}

TEST_F(FlcacheTest, AnOrderOnlyDifferenceSendsNothing)
{
    init();
    applyBaseline();
    const UINT64 id = fl_.targetConf.sourceConf.sourceConfId;
    const size_t before = drv_.cmds.size();
    ASSERT_EQ(reconfigSources({3, 1, 2}), MOS_RC__SUCCESS);
    EXPECT_EQ(fl_.targetConf.sourceConf.sourceConfId, id);
    ASSERT_EQ(round(), MOS_RC__SUCCESS);
    const std::vector<UINT32> tail(drv_.cmds.begin() + (long)before, drv_.cmds.end());
    EXPECT_EQ(tail, std::vector<UINT32>{1104});
}

TEST_F(FlcacheTest, ABusyDriverIsAskedAgainUntilItAnswers)
{
    init();
    applyBaseline();
    const size_t queries = drv_.count(FLCACHE_DRV_CMD__QUERY);
    drv_.busyQueries = 1;
    ASSERT_EQ(round(), MOS_RC__SUCCESS);
    EXPECT_EQ(drv_.count(FLCACHE_DRV_CMD__QUERY), queries + 2);
    EXPECT_TRUE(fl_.bEnable);
    EXPECT_TRUE(cont_.reports.empty());
}

TEST_F(FlcacheTest, DriverRefusalKeepsConfAndReportsOnce)
{
    init();
    applyBaseline();
    const Flcache_conf applied = fl_.conf;
    drv_.refuse[FLCACHE_DRV_CMD__START_CACHE] = FLCACHE_DRV_STATUS__ERROR + 9;
    ASSERT_EQ(reconfigCache({103}), MOS_RC__SUCCESS);
    EXPECT_EQ(round(), MOS_RC__ERROR);
    EXPECT_EQ(memcmp(&fl_.conf, &applied, sizeof(applied)), 0);
    EXPECT_FALSE(fl_.bEnable);
    EXPECT_EQ(drv_.closes, 1);
    ASSERT_EQ(cont_.reports.size(), 1u);
    EXPECT_EQ(cont_.reports[0].sourceTgtId, 0x5151u);
    EXPECT_TRUE(traced("refused by the driver: status 0x8009"));
}

TEST_F(FlcacheTest, FailedIoctlCallFailsTheRoundWithoutAPanic)
{
    init();
    applyBaseline();
    drv_.failCall.insert(FLCACHE_DRV_CMD__QUERY);
    EXPECT_EQ(round(), MOS_RC__ERROR);
    EXPECT_FALSE(fl_.bEnable);
    EXPECT_EQ(cont_.reports.size(), 1u);
    // Counters read zero while driver control is off.
    OstrelTgtRsp_FlcachePoolCounters pool;
    memset(&pool, 0xAB, sizeof(pool));
    flcache_GetCachePoolCounters(&fl_, &pool);
    EXPECT_EQ(pool.numCacheDevs, 0u);
    EXPECT_EQ(pool.readHit, 0u);
    OstrelTgtRsp_FlcacheDevCounters devs[MAX_NUM_FLCACHE_DEV_PER_TGT];
    UINT32 n = 99;
    flcache_GetCacheCounters(&fl_, devs, &n);
    EXPECT_EQ(n, 0u);
    TgtFlcacheSourceDeviceCounters src;
    memset(&src, 0xAB, sizeof(src));
    flcache_GetSourceCounters(&fl_, 1, &src);
    EXPECT_EQ(src.readsReceived, 0u);
    FlcacheQuery q;
    run([&] { flcache_Query(&fl_.sdbgObj, "flcache", &q); });
    EXPECT_EQ(q.bEnable, FALSE);
    EXPECT_EQ(q.poolCounters.numSrcDevs, 0u);
}

TEST_F(FlcacheTest, MalformedQueryAnswersAreRefusedWithACodeAndATraceLine)
{
    struct Case {
        const char *name;
        std::function<void(FlcacheDrvQuery &)> corrupt;
        const char *trace;
    };
    const Case cases[] = {
        {"nine cache devices", [](FlcacheDrvQuery &q) { q.numCacheDevs = 9; }, "numCacheDevs(9)"},
        {"65 sources", [](FlcacheDrvQuery &q) { q.numSources = 65; }, "numSources(65)"},
        {"huge count", [](FlcacheDrvQuery &q) { q.numSources = 0xFFFFFFFF; }, "numSources(4294967295)"},
        {"partial page", [](FlcacheDrvQuery &q) { q.pageSizeBytes = 1000; }, "pageSizeBytes(1000)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (bInit_)
            run([&] { flcache_Destroy(&fl_); });
        drv_ = FakeFlcacheDriver{};
        cont_.reports.clear();
        init();
        applyBaseline();
        const Flcache_conf known = fl_.lastKnownConf;
        drv_.corruptQuery = c.corrupt;
        EXPECT_EQ(round(), MOS_RC__INVALID);
        EXPECT_EQ(memcmp(&fl_.lastKnownConf, &known, sizeof(known)), 0);
        EXPECT_FALSE(fl_.bEnable);
        EXPECT_EQ(cont_.reports.size(), 1u);
        EXPECT_TRUE(traced(c.trace));
    }
}

TEST_F(FlcacheTest, DeviceErrorBitsGoOutInOneReportThatClearsThem)
{
    init();
    applyBaseline();
    drv_.cacheDevs[0].counters.ioErrors = 3;
    drv_.cacheDevs[1].counters.monitorErrStuckIo = 1;
    drv_.cacheDevs[1].counters.monitorErrOutstandingLimit = 1;
    drv_.pool.lowResourcesInitiatedPassthroughMode = 1;
    ASSERT_EQ(round(), MOS_RC__SUCCESS);
    ASSERT_EQ(cont_.reports.size(), 1u);
    const OstrelTgtReq_UpdateFlcacheError &r = cont_.reports[0];
    EXPECT_EQ(r.globalCacheErrors, FLCACHE_ERR_BIT(LOW_RESOURCES));
    ASSERT_EQ(r.cacheDevErrListSize, 2u);
    EXPECT_EQ((UINT64)r.cacheDevErr[0].devId, 101u);
    EXPECT_EQ((UINT64)r.cacheDevErr[0].err, FLCACHE_ERR_BIT(CARD_IO_ERROR));
    EXPECT_EQ((UINT64)r.cacheDevErr[1].devId, 102u);
    EXPECT_EQ((UINT64)r.cacheDevErr[1].err, FLCACHE_ERR_BIT(STUCK_IO) | FLCACHE_ERR_BIT(HEAVY_LOAD_CACHE_SKIP));
    EXPECT_EQ(r.sourceDevErrListSize, 0u);
    EXPECT_EQ(fl_.globalCacheErrors, 0u);
    EXPECT_EQ(cont_.cacheDevs[101].flcacheErr, 0u);
    EXPECT_FALSE(fl_.bInErrorState);

    // The same io-error count is no new error; the calm driver is not reported again.
    drv_.cacheDevs[1].counters = {};
    drv_.pool = {};
    ASSERT_EQ(round(), MOS_RC__SUCCESS);
    EXPECT_EQ(cont_.reports.size(), 1u);
}

TEST_F(FlcacheTest, AnUndeliveredReportKeepsTheErrorsForTheNextRound)
{
    init();
    applyBaseline();
    drv_.pool.lowResourcesInitiatedPassthroughMode = 1;
    for (Mos_RC answer : {MOS_RC__TIMEOUT, MOS_RC__NOT_CONN}) {
        cont_.sendRc = answer;
        ASSERT_EQ(round(), MOS_RC__SUCCESS);
        EXPECT_EQ(fl_.globalCacheErrors, FLCACHE_ERR_BIT(LOW_RESOURCES));
        EXPECT_TRUE(fl_.bInErrorState);
    }
    Mos_RC rc = MOS_RC__SUCCESS;
    cont_.sendRc = MOS_RC__RETRY;
    run([&] { rc = flcache_SendErrNotification(&fl_); });
    EXPECT_EQ(rc, MOS_RC__TIMEOUT);
    drv_.pool = {};
    cont_.sendRc = MOS_RC__SUCCESS;
    ASSERT_EQ(round(), MOS_RC__SUCCESS);
    EXPECT_EQ(cont_.reports.size(), 4u);
    EXPECT_FALSE(fl_.bInErrorState);
    EXPECT_EQ(fl_.globalCacheErrors, 0u);
}

TEST_F(FlcacheTest, TooManyCacheDevicesOrSourcesAreRefusedAndChangeNothing)
{
    init();
    const Flcache_conf before = fl_.targetConf;
    EXPECT_EQ(reconfigCache({101, 102, 103, 104, 105, 106, 107, 108, 109}), MOS_RC__TOO_MANY_FLCACHE_DEVS);
    std::vector<UINT64> many;
    for (UINT64 i = 1; i <= 65; i++) {
        cont_.devices[1000 + i] = kSourcePaths[i % 5];
        many.push_back(1000 + i);
    }
    EXPECT_EQ(reconfigSources(many), MOS_RC__TOO_MANY_DEVICES);
    EXPECT_EQ(reconfigSources({1, 77}), MOS_RC__TGT_DEVICE_NOT_FOUND);
    EXPECT_EQ(memcmp(&fl_.targetConf, &before, sizeof(before)), 0);
    EXPECT_TRUE(cont_.cacheDevs.empty());

    // 64 fit; a 65th added by a device add is refused.
    many.pop_back();
    ASSERT_EQ(reconfigSources(many), MOS_RC__SUCCESS);
    EXPECT_EQ(fl_.targetConf.sourceConf.sourceDevListSize, 64u);
    const UINT64 id = 1;
    const CHAR_A *path = "/dev/null";
    Mos_RC rc = MOS_RC__SUCCESS;
    run([&] { rc = flcache_AddSourceDevice(&fl_, &id, &path, 1, TRUE); });
    EXPECT_EQ(rc, MOS_RC__TOO_MANY_DEVICES);
    EXPECT_EQ(fl_.targetConf.sourceConf.sourceDevListSize, 64u);
}

TEST_F(FlcacheTest, TargetSourceListRules)
{
    init();
    const UINT64 ids[] = {1, 2, 3};
    const CHAR_A *paths[] = {"/dev/null", "/dev/zero", "/dev/full"};
    run([&] { ASSERT_EQ(flcache_AddSourceDevice(&fl_, ids, paths, 3, TRUE), MOS_RC__SUCCESS); });
    EXPECT_EQ(fl_.targetConf.sourceConf.sourceConfId, 1u); // once for the whole call
    EXPECT_TRUE(flcache_IsFlcacheEnabledOnDevice(&fl_, 2));
    EXPECT_FALSE(flcache_IsFlcacheEnabledOnDevice(&fl_, 9));

    // An id already listed changes nothing; removing an unknown one neither.
    run([&] { ASSERT_EQ(flcache_AddSourceDevice(&fl_, &ids[1], &paths[1], 1, TRUE), MOS_RC__SUCCESS); });
    run([&] { flcache_RemoveSourceDevice(&fl_, 9, TRUE); });
    EXPECT_EQ(fl_.targetConf.sourceConf.sourceConfId, 1u);

    run([&] { flcache_RemoveSourceDevice(&fl_, 1, TRUE); });
    EXPECT_EQ(targetSources(), (std::vector<UINT64>{3, 2}));
    EXPECT_EQ(fl_.targetConf.sourceConf.sourceConfId, 2u);
    EXPECT_FALSE(flcache_IsFlcacheEnabledOnDevice(&fl_, 1));

    // Emptying raises the id once; an empty list emptied again keeps it.
    ASSERT_EQ(reconfigSources({}), MOS_RC__SUCCESS);
    EXPECT_EQ(fl_.targetConf.sourceConf.sourceConfId, 3u);
    ASSERT_EQ(reconfigSources({}), MOS_RC__SUCCESS);
    EXPECT_EQ(fl_.targetConf.sourceConf.sourceConfId, 3u);
    // Records are given back while driver control is off.
    EXPECT_EQ(fl_.sourceDevArrLen, 0u);
}

TEST_F(FlcacheTest, MissingDriverOrOtherVersionKeepsDriverControlOff)
{
    struct Case {
        bool present;
        UINT32 version;
        Mos_RC rc;
        UINT32 bit;
    };
    const Case cases[] = {
        {false, 1, MOS_RC__FLCACHE_INVALID_DRIVER_PATH, FLCACHE_ERR_BIT(INVALID_DRIVER_PATH)},
        {true, 2, MOS_RC__FLCACHE_API_VERSION_MISMATCH, FLCACHE_ERR_BIT(API_VERSION_MISMATCH)},
    };
    for (const Case &c : cases) {
        if (bInit_)
            run([&] { flcache_Destroy(&fl_); });
        drv_ = FakeFlcacheDriver{};
        cont_.reports.clear();
        drv_.bPresent = c.present;
        drv_.version = c.version;
        init();
        EXPECT_EQ(reconfigCache({101}), c.rc);
        EXPECT_FALSE(fl_.bEnable);
        EXPECT_EQ(fl_.driverControlFileHandle, FLCACHE_INVALID_DRIVER_DEV_HANDLE);
        EXPECT_EQ(drv_.opens, drv_.closes);
        ASSERT_EQ(cont_.reports.size(), 1u);
        EXPECT_EQ(cont_.reports[0].globalCacheErrors, c.bit);
    }
}

TEST_F(FlcacheTest, FailedCacheReconfigRemovesOnlyTheDevicesItRegistered)
{
    init();
    ASSERT_EQ(reconfigCache({101}), MOS_RC__SUCCESS);
    ASSERT_EQ(round(), MOS_RC__SUCCESS);
    // 102 registers anew, then 103's path does not exist.
    Flcache_ostrelCacheConf c = cacheConf({101, 102, 103});
    snprintf(c.cacheDevPath[2], sizeof(c.cacheDevPath[2]), "%s", dir_.file("missing").c_str());
    Mos_RC rc = MOS_RC__SUCCESS;
    run([&] { rc = flcache_CacheReconfig(&fl_, &c); });
    EXPECT_EQ(rc, MOS_RC__FLCACHE_DEV_NOT_FOUND);
    EXPECT_EQ(cont_.cacheDevs.count(101), 1u);
    EXPECT_EQ(cont_.cacheDevs.count(102), 0u);
    EXPECT_EQ(fl_.targetConf.cacheConf.cacheObjDevListSize, 1u);

    // A path without its end is refused before anything is registered.
    c = cacheConf({104});
    memset(c.cacheDevPath[0], 'a', sizeof(c.cacheDevPath[0]));
    run([&] { rc = flcache_CacheReconfig(&fl_, &c); });
    EXPECT_EQ(rc, MOS_RC__INVALID_ARG);
    EXPECT_EQ(cont_.cacheDevs.count(104), 0u);
}

TEST_F(FlcacheTest, CacheDevicesLeavingTheConfigurationAreDroppedOnceApplied)
{
    init();
    applyBaseline();
    ASSERT_EQ(reconfigCache({102, 103}), MOS_RC__SUCCESS);
    EXPECT_EQ(cont_.cacheDevs.size(), 3u);
    ASSERT_EQ(round(), MOS_RC__SUCCESS);
    EXPECT_EQ(cont_.cacheDevs.count(101), 0u);
    EXPECT_EQ(cont_.cacheDevs.size(), 2u);
    EXPECT_EQ(drv_.sources.size(), 3u); // restarted with the new pool
    EXPECT_TRUE(cont_.reports.empty());
}

} // namespace
