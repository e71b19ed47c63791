// Flash-cache device objects on sparse files: an add marks the device with a flash-cache header,
// a remove zeroes it, a failed add leaves nothing registered, and the sweep of unused devices keeps
// the ones in use with their headers. The controller is a zeroed Cont with only its registry and
// this manager built.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "test/fakes/fake_flcache_driver.h"
#include "test/support/tgt_test_support.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_flcache_dev.h"
#include "tgt/phy/phy_layout.h"
#include "tgt/phy/stmp.h"
#include "tgt/tgt_umt_class.h"

namespace {

::testing::Environment *const tgtEnv_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv(tgt_UmtClassInit));

class ContFlcacheDevTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        stmp_Init(&stmp_g, (UINT32)tgtInitParam_G.stmpMemorySizeInLbs);
        ASSERT_EQ(mosAsyncIO_Create(&aio_, 64, 2, TRUE), MOS_RC__SUCCESS);
        cont_ = std::make_unique<Cont>();
        cont_->ostrel.tgtId = 0x7777;
        contObj_Init(&cont_->objs, CONT_OBJ_TYPE__OSTREL, CONT_OBJ_TYPE__EXAMPLE);
        phy_InitEx(&cont_->phy, cont_.get(), nullptr, FALSE); // the device map of signature checks
        contFlcacheDevMngr_Init(&cont_->flcacheDevMngr);
        contFlcacheDevMngr_SetIo(&cont_->flcacheDevMngr, &aio_, [](void *p) { ++*static_cast<int *>(p); }, &reloads_);
    }
    void TearDown() override
    {
        std::vector<UINT64> ids;
        for (MosDList_Node *p = mosDList_First(&cont_->flcacheDevMngr.objAnchor); p != nullptr; p = mosDList_Next(p))
            ids.push_back(MOS_CONTAINER_OF(p, ContFlcacheDev, listNode)->cacheDevData.tgtCacheDevId);
        for (UINT64 id : ids)
            run([&] { contFlcacheDevMngr_RemCacheDev(cont_.get(), id); });
        contFlcacheDevMngr_Destroy(&cont_->flcacheDevMngr);
        phy_Destroy(&cont_->phy);
        contObj_Destroy(&cont_->objs);
        EXPECT_TRUE(umtTest_WaitFor([&] { return aio_.files.counter == 0; }));
        mosAsyncIO_Destroy(&aio_);
        stmp_Destroy(&stmp_g);
    }
    static void run(const std::function<void()> &fn) { umtTest_RunAsUmt(fn); }

    std::string device(const std::string &name) { return tgtTest_MakeSparseFile(dir_, name, 4ull << 20); }
    Mos_RC add(UINT64 id, const std::string &path, UINT64 handle = ~0ull)
    {
        Mos_RC rc = MOS_RC__ERROR;
        run([&] { rc = contFlcacheDevMngr_AddCacheDev(cont_.get(), id, path.c_str(), handle); });
        return rc;
    }
    Mos_RC rem(UINT64 id)
    {
        Mos_RC rc = MOS_RC__ERROR;
        run([&] { rc = contFlcacheDevMngr_RemCacheDev(cont_.get(), id); });
        return rc;
    }
    static PhyDevHeader header(const std::string &path) { return tgtTest_ReadHeader(path); }
    bool registered(UINT64 id)
    {
        ContFlcacheDev *p = cont_AcquireFlcacheCacheDev(cont_.get(), id);
        if (p != nullptr)
            cont_ReleaseFlcacheCacheDev(cont_.get(), id);
        return p != nullptr;
    }

    ScratchDir dir_;
    MosAsyncIO aio_{};
    std::unique_ptr<Cont> cont_;
    int reloads_ = 0;
};

TEST_F(ContFlcacheDevTest, AddMarksTheDeviceAsCacheDeviceAndRemoveZeroesTheHeader)
{
    const std::string path = device("flashA");
    ASSERT_EQ(add(11, path), MOS_RC__SUCCESS);
    PhyDevHeader h = header(path);
    EXPECT_EQ(h.sigStart, PHY_DEV__SIGNATURE);
    EXPECT_EQ(h.type, (UINT32)DEV_TYPE__FLCACHE_FLASH);
    EXPECT_EQ(h.devId, 11u);
    EXPECT_EQ(h.tgtId, 0x7777u);
    EXPECT_EQ(reloads_, 1);

    // The same device in another letter case is the same device; another path or handle is not.
    std::string upper = path;
    for (char &c : upper)
        c = (char)toupper((unsigned char)c);
    EXPECT_EQ(add(11, upper), MOS_RC__ALREADY_EXISTS);
    EXPECT_EQ(add(11, device("flashB")), MOS_RC__FLCACHE_DEV_ALREADY_EXISTS);
    EXPECT_EQ(add(11, path, 5), MOS_RC__FLCACHE_DEV_ALREADY_EXISTS);

    ASSERT_EQ(rem(11), MOS_RC__SUCCESS);
    EXPECT_EQ(header(path).sigStart, 0u);
    EXPECT_EQ(header(path).type, 0u);
    EXPECT_FALSE(registered(11));
    EXPECT_EQ(rem(11), MOS_RC__NOT_FOUND);
    EXPECT_EQ(rem(99), MOS_RC__NOT_FOUND);
}

TEST_F(ContFlcacheDevTest, AFailedAddLeavesNothingBehind)
{
    EXPECT_EQ(add(12, dir_.file("missing")), MOS_RC__TGT_ADD_FLCACHE_DEV_OPEN_ERROR);
    EXPECT_FALSE(registered(12));
    EXPECT_EQ(cont_->flcacheDevMngr.numOfObjs, 0u);

    contFlcacheDevMngr_SetIo(&cont_->flcacheDevMngr, nullptr, nullptr, nullptr);
    EXPECT_EQ(add(13, device("flashC")), MOS_RC__TGT_ADD_FLCACHE_DEV_OPEN_ERROR);
    EXPECT_FALSE(registered(13));
}

TEST_F(ContFlcacheDevTest, UnusedDevicesGoAndADeviceInUseKeepsItsHeader)
{
    const std::string a = device("a"), b = device("b"), c = device("c");
    ASSERT_EQ(add(21, a), MOS_RC__SUCCESS);
    ASSERT_EQ(add(22, b), MOS_RC__SUCCESS);
    ASSERT_EQ(add(23, c), MOS_RC__SUCCESS);
    const UINT64 inUse[] = {22, 99};
    run([&] { contFlcacheDevMngr_RemUnusedCacheDev(cont_.get(), inUse, 2); });
    EXPECT_FALSE(registered(21));
    EXPECT_TRUE(registered(22));
    EXPECT_FALSE(registered(23));
    EXPECT_EQ(header(a).sigStart, 0u);
    EXPECT_EQ(header(b).devId, 22u);
    EXPECT_EQ(header(c).sigStart, 0u);

    UINT64 ids[MAX_NUM_FLCACHE_DEV_PER_TGT];
    CHAR_A paths[MAX_NUM_FLCACHE_DEV_PER_TGT][FLCACHE__DEV_PATH_LEN];
    ASSERT_EQ(contFlcacheDevMngr_GetPaths(&cont_->flcacheDevMngr, ids, paths), 1u);
    EXPECT_EQ(ids[0], 22u);
    EXPECT_EQ(std::string(paths[0]), b);
    std::vector<MosMedia_Metadata> md(MAX_NUM_FLCACHE_DEV_PER_TGT);
    UINT32 numMd = 0;
    contFlcacheDevMngr_GetMetadata(&cont_->flcacheDevMngr, md.data(), &numMd);
    EXPECT_EQ(numMd, 1u);
}

TEST_F(ContFlcacheDevTest, FirstMarkedNodeRotatesAtMostOneRound)
{
    ContFlcacheDevMngr &m = cont_->flcacheDevMngr;
    EXPECT_EQ(contFlcacheDevMngr_GetFirstMarkedNode(&m), nullptr);
    ASSERT_EQ(add(31, device("d")), MOS_RC__SUCCESS);
    ASSERT_EQ(add(32, device("e")), MOS_RC__SUCCESS);
    EXPECT_EQ(contFlcacheDevMngr_GetFirstMarkedNode(&m), nullptr);
    auto first = [&] { return MOS_CONTAINER_OF(mosDList_First(&m.objAnchor), ContFlcacheDev, listNode); };
    EXPECT_EQ(first()->cacheDevData.tgtCacheDevId, 31u); // order kept
    contFlcacheDevMngr_MarkAllObjs(&m);
    ContFlcacheDev *p = contFlcacheDevMngr_GetFirstMarkedNode(&m);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->cacheDevData.tgtCacheDevId, 31u);
    EXPECT_EQ(first()->cacheDevData.tgtCacheDevId, 32u); // 31 went to the end
}

} // namespace

namespace {

// The flash cache over these objects and a user-space driver: a cache configuration registers its
// devices with their headers, and a later one that leaves a device out sweeps it, header and all.
TEST_F(ContFlcacheDevTest, FlashCacheConfigurationsAddAndSweepTheirDevices)
{
    FakeFlcacheDriver drv;
    const FlcacheDrvPort port = drv.port();
    const std::string handleFile = dir_.file("rfchdl");
    Flcache *pFl = &cont_->flcache;
    run([&] { flcache_InitEx(pFl, cont_.get(), &port, "/dev/halvrn-test", handleFile.c_str()); });
    Flcache_ContHooks hooks{};
    contFlcacheDevMngr_FillFlcacheHooks(cont_.get(), &hooks);
    hooks.bNoMonitorThread = TRUE;
    flcache_SetContHooks(pFl, &hooks);

    const std::string a = device("flashA"), b = device("flashB");
    auto reconfig = [&](UINT64 id, const std::string &path) {
        Flcache_ostrelCacheConf c{};
        c.pageSize = 4;
        c.maxIoSize = 64;
        c.opmode = FLCACHE_OPERATIONAL_MODE__PASS_THROUGH_READ;
        c.cacheObjDevListSize = 1;
        c.cacheObjDevList[0] = id;
        snprintf(c.cacheDevPath[0], sizeof(c.cacheDevPath[0]), "%s", path.c_str());
        Mos_RC rc = MOS_RC__ERROR;
        run([&] { rc = flcache_CacheReconfig(pFl, &c); });
        return rc;
    };
    auto round = [&] {
        Mos_RC rc = MOS_RC__ERROR;
        run([&] { rc = flcache_MonitorRound(pFl); });
        return rc;
    };

    ASSERT_EQ(reconfig(41, a), MOS_RC__SUCCESS);
    EXPECT_EQ(header(a).devId, 41u);
    ASSERT_EQ(round(), MOS_RC__SUCCESS);
    ASSERT_EQ(drv.cacheDevs.size(), 1u);
    EXPECT_EQ(drv.cacheDevs[0].path, a);
    EXPECT_EQ(drv.cacheDevs[0].tgtCacheDevId, 41u);

    ASSERT_EQ(reconfig(42, b), MOS_RC__SUCCESS);
    ASSERT_EQ(round(), MOS_RC__SUCCESS);
    EXPECT_FALSE(registered(41));
    EXPECT_EQ(header(a).sigStart, 0u);
    EXPECT_EQ(header(b).devId, 42u);
    ASSERT_EQ(drv.cacheDevs.size(), 1u);
    EXPECT_EQ(drv.cacheDevs[0].path, b);
    EXPECT_EQ(drv.badRequests, 0u);
    run([&] { flcache_Destroy(pFl); });
}

} // namespace
