// The commands on single objects and id lists through the command door of an in-process
// controller: removals of unknown ids, volume updates that go on past an unknown volume, volume-tree
// node lists applied run by run with their deletion generation checked first, and text fields that
// do not end within their field.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "test/support/cont_cmd_rig.h"
#include "tgt/cont/cont_cmd_intrn.h"
#include "tgt/cont/cont_example.h"
#include "tgt/cont/cont_volume.h"
#include "tgt/cont/cont_vtree.h"

namespace {

class ContCmdRuntimeEnv : public ::testing::Environment {
  public:
    void SetUp() override { ASSERT_TRUE(ContCmdRig::initRuntime()); }
};
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new ContCmdRuntimeEnv);

constexpr UINT16 kGen = 4;

// The record's head, then each element's bytes in order.
template <class Head, class Elem> std::vector<UINT8> recordOf(const Head &head, const std::vector<Elem> &elems)
{
    std::vector<UINT8> b(sizeof(head) + elems.size() * sizeof(Elem));
    memcpy(b.data(), &head, sizeof(head));
    if (!elems.empty())
        memcpy(b.data() + sizeof(head), elems.data(), elems.size() * sizeof(Elem));
    return b;
}

bool registered(UINT64 id, ContObjType type)
{
    void *p = contObj_Acquire(&cont_g.objs, id, type);
    if (p != nullptr)
        contObj_Release(&cont_g.objs, id, type);
    return p != nullptr;
}

class ContCmdSingle : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ContCmdRig::buildController();
        ContCmdRig::adopt(kGen, FALSE);
    }
    static void addVtree(VTreeId id)
    {
        const OstrelTgtReq_AddVtree e{id, 0, 0, 0};
        ContCmdRig::run([&] { ASSERT_EQ(contCmd_AddVtree(&cont_g, &e), MOS_RC__SUCCESS); });
    }
    static void addVol(UINT64 volId, VTreeId vtreeId, UINT32 vtoId)
    {
        OstrelTgtReq_AddVol e{};
        e.volId = volId;
        e.vtreeId = vtreeId;
        e.vtoId = vtoId;
        e.volGenNum = 1;
        e.scsiGenNum = 1;
        ContCmdRig::run([&] { ASSERT_EQ(contCmd_AddVol(&cont_g, &e, FALSE), MOS_RC__SUCCESS); });
    }
    static Mos_RC remove(UINT32 type, UINT64 id)
    {
        std::vector<UINT8> rec(10);
        memcpy(rec.data(), &id, 8);
        memcpy(rec.data() + 8, &kGen, 2);
        return ContCmdRig::send(type, 0, rec);
    }
    static Mos_RC remVtrees(const std::vector<UINT64> &ids)
    {
        return ContCmdRig::send(TGT_MSG_TYPE__REM_VTREES, 0,
                                recordOf(OstrelTgtReq_RemVtrees{(UINT32)ids.size(), kGen}, ids));
    }
};

// A volume is only added to a tree that is here.
TEST_F(ContCmdSingle, RemovalsOfUnknownIdsAnswerNotFoundAndTreeListsAlwaysSucceed)
{
    for (UINT32 type : {TGT_MSG_TYPE__REM_DEV, TGT_MSG_TYPE__REM_TGT, TGT_MSG_TYPE__REM_VOL, TGT_MSG_TYPE__REM_COMB})
        EXPECT_EQ(remove(type, 0xdead), MOS_RC__NOT_FOUND) << type;
    OstrelTgtReq_AddVol noTree{};
    noTree.volId = 0x631;
    noTree.vtreeId = 0x31;
    noTree.vtoId = 0x3100;
    ContCmdRig::run([&] { EXPECT_EQ(contCmd_AddVol(&cont_g, &noTree, FALSE), MOS_RC__ERROR) << "its tree is not here"; });
    EXPECT_FALSE(registered(0x631, CONT_OBJ_TYPE__VOL));
    addVtree(0x31);
    addVol(0x631, 0x31, 0x3100);
    EXPECT_EQ(remove(TGT_MSG_TYPE__REM_VOL, 0x631), MOS_RC__SUCCESS);
    EXPECT_FALSE(registered(0x631, CONT_OBJ_TYPE__VOL));
    EXPECT_EQ(remVtrees({}), MOS_RC__SUCCESS);
    EXPECT_EQ(remVtrees({0xdead, 0x31}), MOS_RC__SUCCESS) << "an unknown id does not stop the list";
    EXPECT_FALSE(registered(0x31, CONT_OBJ_TYPE__VTREE));
}

// Every element is tried; the command answers the last failing one's code.
TEST_F(ContCmdSingle, UpdateVolGoesOnPastAFailingElement)
{
    addVtree(0x41);
    addVol(0x641, 0x41, 0x4100);
    addVol(0x642, 0x41, 0x4101);
    auto elem = [](UINT64 volId, UINT64 volGen, UINT64 vtreeId = 0x41) {
        OstrelTgtReq_UpdateVol e{};
        e.volId = volId;
        e.volGenNum = volGen;
        e.scsiGenNum = 1;
        e.vtreeId = vtreeId;
        e.vtoId = 0x4100 + (UINT32)(volId - 0x641);
        return e;
    };
    auto update = [](const std::vector<OstrelTgtReq_UpdateVol> &elems, BOOL bUseCache) {
        std::vector<UINT8> rec = recordOf(OstrelTgtReq_UpdateVolArr{(UINT32)elems.size(), 48, kGen}, elems);
        for (size_t i = 0; i < elems.size(); i++)
            rec.insert(rec.end(), reinterpret_cast<const UINT8 *>(&bUseCache),
                       reinterpret_cast<const UINT8 *>(&bUseCache) + sizeof(BOOL));
        return ContCmdRig::send(TGT_MSG_TYPE__UPDATE_VOL, 0, rec);
    };
    auto vol = [](UINT64 volId) {
        auto *pVol = static_cast<ContVol *>(contObj_Acquire(&cont_g.objs, volId, CONT_OBJ_TYPE__VOL));
        EXPECT_NE(pVol, nullptr);
        VolQuery q{};
        contVol_Query(pVol, &q);
        contObj_Release(&cont_g.objs, volId, CONT_OBJ_TYPE__VOL);
        return q;
    };
    EXPECT_EQ(update({elem(0x641, 2), elem(0xdead, 2), elem(0x642, 3)}, TRUE), MOS_RC__NOT_FOUND);
    EXPECT_EQ(vol(0x641).volGenNum, 2u);
    EXPECT_EQ(vol(0x642).volGenNum, 3u);
    EXPECT_EQ(update({elem(0x641, 4, 0), elem(0x642, 1)}, FALSE), MOS_RC__INVALID_ARG)
        << "no tree id, then an older generation: the last refusal is the answer";
    EXPECT_EQ(vol(0x641).volGenNum, 2u);
    EXPECT_EQ(vol(0x642).volGenNum, 3u);
    EXPECT_EQ(update({elem(0x641, 5), elem(0x642, 5)}, FALSE), MOS_RC__SUCCESS);
    EXPECT_EQ(vol(0x641).volGenNum, 5u);
    EXPECT_EQ(remove(TGT_MSG_TYPE__REM_VOL, 0x641), MOS_RC__SUCCESS);
    EXPECT_EQ(remove(TGT_MSG_TYPE__REM_VOL, 0x642), MOS_RC__SUCCESS);
    EXPECT_EQ(remVtrees({0x41}), MOS_RC__SUCCESS);
}

// A known volume takes a new cache flag only together with a change of generation, key, node or
// quiesce.
TEST_F(ContCmdSingle, AnAddOfAKnownVolumeAppliesOnlyARealChange)
{
    addVtree(0x45);
    addVol(0x645, 0x45, 0x4500);
    auto add = [](UINT64 volGen) {
        OstrelTgtReq_AddVol e{};
        e.volId = 0x645;
        e.vtreeId = 0x45;
        e.vtoId = 0x4500;
        e.volGenNum = volGen;
        e.scsiGenNum = 1;
        Mos_RC rc = MOS_RC__ERROR;
        ContCmdRig::run([&] { rc = contCmd_AddVol(&cont_g, &e, TRUE); });
        auto *pVol = static_cast<ContVol *>(contObj_Acquire(&cont_g.objs, 0x645, CONT_OBJ_TYPE__VOL));
        EXPECT_NE(pVol, nullptr);
        const BOOL bUseCache = pVol->bUseCache;
        contObj_Release(&cont_g.objs, 0x645, CONT_OBJ_TYPE__VOL);
        return std::make_pair(rc, bUseCache);
    };
    EXPECT_EQ(add(1), std::make_pair(MOS_RC__ALREADY_EXISTS, BOOL{FALSE}));
    EXPECT_EQ(add(2), std::make_pair(MOS_RC__ALREADY_EXISTS, BOOL{TRUE}));
    EXPECT_EQ(remove(TGT_MSG_TYPE__REM_VOL, 0x645), MOS_RC__SUCCESS);
    EXPECT_EQ(remVtrees({0x45}), MOS_RC__SUCCESS);
}

// A list {A, A, B, A} is two runs on A and one on B; a run whose deletion generation is older than
// the tree's is refused before the tree changes.
TEST_F(ContCmdSingle, UpdateVtreeAppliesEachRunAndRefusesAnOlderGeneration)
{
    constexpr VTreeId A = 0x51, B = 0x52, kUnknown = 0x5f;
    addVtree(A);
    addVtree(B);
    using Node = OstrelTgtReq_VtreeNode;
    auto update = [](const std::vector<Node> &nodes) {
        return ContCmdRig::send(TGT_MSG_TYPE__UPDATE_VTREE, 0,
                                recordOf(OstrelTgtReq_UpdateVtree{(UINT32)nodes.size(), 32, 0, kGen}, nodes));
    };
    auto state = [](VTreeId id) {
        auto *pVtree = static_cast<ContVtree *>(contObj_Acquire(&cont_g.objs, id, CONT_OBJ_TYPE__VTREE));
        EXPECT_NE(pVtree, nullptr);
        ContVtreeQuery q{};
        std::vector<VtoId> vtos;
        contVtree_Query(pVtree, &q);
        contVtree_Lock(pVtree);
        for (VtreeNode *p = vtree_FirstNode(contVtree_Get(pVtree)); p != nullptr; p = vtree_NextNode(p))
            vtos.push_back(p->vtoId);
        contVtree_Unlock(pVtree);
        contObj_Release(&cont_g.objs, id, CONT_OBJ_TYPE__VTREE);
        return std::make_pair(q.newSnapDelGeneration, vtos);
    };
    constexpr UINT32 N = SNAP_DEL_STATE__NORMAL;
    EXPECT_EQ(update({{A, 5, 0, 0x5100, 1, N},
                      {A, 5, 0x5100, 0x5101, 2, N},
                      {kUnknown, 9, 0, 0x5f00, 1, N},
                      {B, 3, 0, 0x5200, 1, N},
                      {A, 7, 0x5101, 0x5102, 3, N}}),
              MOS_RC__SUCCESS)
        << "a tree that is not here is skipped";
    EXPECT_EQ(state(A), std::make_pair(UINT64{7}, std::vector<VtoId>{0x5100, 0x5101, 0x5102}));
    EXPECT_EQ(state(B), std::make_pair(UINT64{3}, std::vector<VtoId>{0x5200}));

    // The older run on A is refused; B's run in the same command still applies.
    EXPECT_EQ(update({{A, 6, 0x5102, 0x5103, 4, N}, {B, 3, 0x5200, 0x5201, 2, N}}), MOS_RC__INVALID_ARG);
    EXPECT_EQ(state(A), std::make_pair(UINT64{7}, std::vector<VtoId>{0x5100, 0x5101, 0x5102}));
    EXPECT_EQ(state(B), std::make_pair(UINT64{3}, std::vector<VtoId>{0x5200, 0x5201}));
    // A list the tree refuses (times out of order) leaves the generation where it was.
    EXPECT_EQ(update({{A, 8, 0x5102, 0x5104, 6, N}, {A, 8, 0x5104, 0x5105, 5, N}}), MOS_RC__INVALID_ARG);
    EXPECT_EQ(state(A).first, 7u);
    EXPECT_EQ(update({{A, 7, 0x5102, 0x5103, 4, N}}), MOS_RC__SUCCESS) << "the same generation again";
    EXPECT_EQ(remVtrees({A, B}), MOS_RC__SUCCESS);
}

// The example kind's add answers 65 once and 7 after (taking the new value), its removal 65 once.
TEST_F(ContCmdSingle, ExampleObjectsAreAddedUpdatedAndRemoved)
{
    auto data = [] {
        auto *pExm = static_cast<ContExample *>(contObj_Acquire(&cont_g.objs, 0x81, CONT_OBJ_TYPE__EXAMPLE));
        EXPECT_NE(pExm, nullptr);
        ContExampleQuery q{};
        contExample_Query(pExm, &q);
        contObj_Release(&cont_g.objs, 0x81, CONT_OBJ_TYPE__EXAMPLE);
        return q.data;
    };
    ContCmdRig::run([&] { EXPECT_EQ(contCmd_AddExm(&cont_g, 0x81, 5), MOS_RC__SUCCESS); });
    ContCmdRig::run([&] { EXPECT_EQ(contCmd_AddExm(&cont_g, 0x81, 6), MOS_RC__ALREADY_EXISTS); });
    EXPECT_EQ(data(), 6u);
    ContCmdRig::run([&] {
        EXPECT_EQ(contCmd_RemExp(&cont_g, 0x81), MOS_RC__SUCCESS);
        EXPECT_EQ(contCmd_RemExp(&cont_g, 0x81), MOS_RC__NOT_FOUND);
    });
    EXPECT_FALSE(registered(0x81, CONT_OBJ_TYPE__EXAMPLE));
}

// A text field must end within its field: the device group answers the element's code, a peer's
// host name fails its element (the group answers 1), a flash-cache configuration answers 292, and
// nothing is registered.
TEST_F(ContCmdSingle, TextFieldsWithoutTheirEndAreRefused)
{
    OstrelTgtReq_AddDev dev{};
    dev.devId = 0x71;
    dev.bNew = 1;
    dev.pathMaxLen = sizeof(dev.path);
    memset(dev.path, 'x', sizeof(dev.path));
    dev.scanFlavor = 1;
    std::vector<UINT8> ans;
    const OstrelTgtReq_AddDevArr devHead{1, sizeof(dev), 0, kGen, 0};
    ASSERT_EQ(ContCmdRig::send(TGT_MSG_TYPE__ADD_DEV, 0, recordOf(devHead, std::vector{dev}), &ans), MOS_RC__SUCCESS);
    ASSERT_EQ(ans.size(), sizeof(OstrelTgtRsp_AddDevArr) + sizeof(OstrelTgtRsp_AddDev));
    OstrelTgtRsp_AddDev devAns;
    memcpy(&devAns, ans.data() + sizeof(OstrelTgtRsp_AddDevArr), sizeof(devAns));
    EXPECT_EQ(devAns.specRc, (UINT32)MOS_RC__INVALID_DEVICE_PATH);
    EXPECT_FALSE(registered(0x71, CONT_OBJ_TYPE__DEV));

    OstrelTgtReq_AddTgt peer{};
    peer.tgtId = 0x72;
    peer.hosts.hostsCount = 2;
    peer.hosts.port = 7072;
    strcpy(peer.hosts.hosts[0], "127.0.0.1");
    memset(peer.hosts.hosts[1], '1', sizeof(peer.hosts.hosts[1]));
    const OstrelTgtReq_GroupHead peerHead{1, sizeof(peer), 0, kGen};
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__ADD_TGT, 0, recordOf(peerHead, std::vector{peer})), MOS_RC__ERROR);
    EXPECT_FALSE(registered(0x72, CONT_OBJ_TYPE__TGT));

    Flcache_ostrelCacheConf cache{};
    cache.ostrelTgtConnectionGenNum = kGen;
    cache.cacheObjDevListSize = 1;
    cache.cacheObjDevList[0] = 0x73;
    memset(cache.cacheDevPath[0], 'c', sizeof(cache.cacheDevPath[0]));
    std::vector<UINT8> cacheRec(sizeof(cache));
    memcpy(cacheRec.data(), &cache, sizeof(cache));
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__FLCACHE_SET_CONF, 0, cacheRec), MOS_RC__INVALID_DEVICE_PATH);
    EXPECT_FALSE(registered(0x73, CONT_OBJ_TYPE__FLCACHE));
}

} // namespace
