// Identity and quiesce commands through the command door of an in-process controller.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "mos/mos_version.h"
#include "test/support/cont_cmd_rig.h"
#include "tgt/cont/cont_cmd_ident_rec.h"
#include "tgt/cont/cont_cmd_intrn.h"
#include "tgt/cont/cont_volume.h"

namespace {

class ContCmdRuntimeEnv : public ::testing::Environment {
  public:
    void SetUp() override { ASSERT_TRUE(ContCmdRig::initRuntime()); }
};
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new ContCmdRuntimeEnv);

template <class T> std::vector<UINT8> bytesOf(const T &rec, const std::vector<UINT64> &tail = {})
{
    std::vector<UINT8> b(sizeof(rec) + tail.size() * sizeof(UINT64));
    memcpy(b.data(), &rec, sizeof(rec));
    if (!tail.empty())
        memcpy(b.data() + sizeof(rec), tail.data(), tail.size() * sizeof(UINT64));
    return b;
}

BOOL volQuiesced(UINT64 volId)
{
    auto *pVol = static_cast<ContVol *>(contObj_Acquire(&cont_g.objs, volId, CONT_OBJ_TYPE__VOL));
    EXPECT_NE(pVol, nullptr);
    if (pVol == nullptr)
        return FALSE;
    VolQuery q{};
    contVol_Query(pVol, &q);
    contObj_Release(&cont_g.objs, volId, CONT_OBJ_TYPE__VOL);
    return q.bQuiesced;
}

// Runs first in the process: before any adoption the identity comes from the repository file.
TEST(ContCmdIdent, VersionAndIdentityBeforeAdoption)
{
    ContCmdRig::buildController();
    std::vector<UINT8> ans;
    ASSERT_EQ(ContCmdRig::send(TGT_MSG_TYPE__GET_VER, 0, {}, &ans), MOS_RC__SUCCESS);
    ASSERT_EQ(ans.size(), 58u);
    OstrelTgtRsp_GetVer ver;
    memcpy(&ver, ans.data(), sizeof(ver));
    EXPECT_EQ(ver.version, net_GetMyNumericVersion());
    EXPECT_EQ(ver.maxVersionLen, 50u);
    EXPECT_STREQ(ver.verString, "Qel Kestrim Version: R2_0.13004.110");

    const char *pRoot = getenv("PELLAR_SCRATCH_ROOT");
    std::string dir = std::string(pRoot != nullptr ? pRoot : "/tmp") + "/ident-XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);

    OstrelTgtRsp_GetTgtProp prop{};
    // No file: zeros, still answered.
    ASSERT_EQ(ContCmdRig::send(TGT_MSG_TYPE__GET_TGT_PROP, 0, {}, &ans), MOS_RC__SUCCESS);
    ASSERT_EQ(ans.size(), sizeof(prop));
    memcpy(&prop, ans.data(), sizeof(prop));
    EXPECT_EQ(prop.ostrelId, 0u);
    EXPECT_EQ(prop.tgtId, 0u);

    const int fd = open(contOstrel_RepositoryName(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    const char text[] = "ostrelId=a1b2,tgtId=77";
    ASSERT_EQ(write(fd, text, sizeof(text)), (ssize_t)sizeof(text));
    close(fd);
    ASSERT_EQ(ContCmdRig::send(TGT_MSG_TYPE__GET_TGT_PROP, 0, {}, &ans), MOS_RC__SUCCESS);
    memcpy(&prop, ans.data(), sizeof(prop));
    EXPECT_EQ(prop.ostrelId, 0xa1b2u);
    EXPECT_EQ(prop.tgtId, 0x77u);

    unlink(contOstrel_RepositoryName());
    ASSERT_EQ(chdir(cwd), 0);
    rmdir(dir.c_str());
}

// A volume that names no tree or no object id is refused as a bad element; nothing is registered
// and the server goes on.
TEST(ContCmdIdent, AVolumeWithoutTreeOrObjectIdIsRefused)
{
    ContCmdRig::buildController();
    ContCmdRig::adopt(3, FALSE);
    const OstrelTgtReq_AddVtree vtree{0x9, 0, 0, 0};
    ContCmdRig::run([&] { ASSERT_EQ(contCmd_AddVtree(&cont_g, &vtree), MOS_RC__SUCCESS); });
    struct Case {
        UINT64 vtreeId;
        UINT32 vtoId;
    };
    for (const Case c : {Case{0x9, 0}, Case{0, 1}}) {
        OstrelTgtReq_AddVol vol{};
        vol.volId = 0x601;
        vol.vtreeId = c.vtreeId;
        vol.vtoId = c.vtoId;
        ContCmdRig::run([&] { EXPECT_EQ(contCmd_AddVol(&cont_g, &vol, FALSE), MOS_RC__INVALID_ARG); });
        EXPECT_EQ(contObj_Acquire(&cont_g.objs, 0x601, CONT_OBJ_TYPE__VOL), nullptr);
    }
    // The controller outlives the test: the next one adds the same tree.
    ContCmdRig::run([&] { EXPECT_EQ(contCmd_RemVtreeIntern(&cont_g, 0x9, FALSE), MOS_RC__SUCCESS); });
}

// A snapshot quiesces the listed volumes it knows and skips the others; its end releases them.
TEST(ContCmdIdent, SnapshotQuiesceSkipsUnknownVolumes)
{
    ContCmdRig::buildController();
    ContCmdRig::adopt(3, FALSE);
    OstrelTgtReq_AddVol vol{};
    vol.volId = 0x501;
    vol.vtreeId = 0x9;
    vol.vtoId = 1;
    const OstrelTgtReq_AddVtree vtree{0x9, 0, 0, 0};
    ContCmdRig::run([&] {
        ASSERT_EQ(contCmd_AddVtree(&cont_g, &vtree), MOS_RC__SUCCESS);
        ASSERT_EQ(contCmd_AddVol(&cont_g, &vol, FALSE), MOS_RC__SUCCESS);
    });

    const OstrelTgtReq_CreateSnapshotStart start{2, 3};
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__CREATE_SNAP_START, 0, bytesOf(start, {0xdead, 0x501})),
              MOS_RC__SUCCESS);
    EXPECT_TRUE(volQuiesced(0x501));
    // A stale generation changes nothing.
    const OstrelTgtReq_CreateSnapshotEnd staleEnd{1, 2, {}};
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__CREATE_SNAP_END, 0, bytesOf(staleEnd, {0x501})),
              MOS_RC__TGT_WRONG_GEN_NUM);
    EXPECT_TRUE(volQuiesced(0x501));
    const OstrelTgtReq_CreateSnapshotEnd end{2, 3, {}};
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__CREATE_SNAP_END, 0, bytesOf(end, {0x501, 0xdead})), MOS_RC__SUCCESS);
    EXPECT_FALSE(volQuiesced(0x501));
    ContCmdRig::run([&] {
        EXPECT_EQ(contCmd_RemVolIntern(&cont_g, 0x501, FALSE), MOS_RC__SUCCESS);
        EXPECT_EQ(contCmd_RemVtreeIntern(&cont_g, 0x9, FALSE), MOS_RC__SUCCESS);
    });
}

// The cluster quiesce follows the I/O handler's generation rule and is reported by the query.
TEST(ContCmdIdent, ClusterQuiesceAndItsQuery)
{
    ContCmdRig::buildController();
    ContCmdRig::adopt(3, FALSE);
    auto quiesce = [](UINT32 type, UINT32 gen) {
        return ContCmdRig::send(type, 0, bytesOf(OstrelTgtReq_Quiesce{gen, 3, 0}));
    };
    const UINT32 g = ioh_GetQuiesceGenNum(&cont_g.ioh) + 5;
    EXPECT_EQ(quiesce(TGT_MSG_TYPE__START_QUIESCE, g), MOS_RC__SUCCESS);
    EXPECT_TRUE(ioh_IsQuiesced(&cont_g.ioh));
    EXPECT_EQ(quiesce(TGT_MSG_TYPE__START_QUIESCE, g), MOS_RC__SUCCESS); // repeated
    EXPECT_EQ(quiesce(TGT_MSG_TYPE__START_QUIESCE, g - 1), MOS_RC__WRONG_QUIESCE_GEN);

    std::vector<UINT8> ans;
    ASSERT_EQ(ContCmdRig::send(TGT_MSG_TYPE__QUERY_IS_QUIET_AND_FLUSHED, 0, {}, &ans), MOS_RC__SUCCESS);
    ASSERT_EQ(ans.size(), sizeof(OstrelTgtRsp_QueryIsQuietAndFlushed));
    OstrelTgtRsp_QueryIsQuietAndFlushed q;
    memcpy(&q, ans.data(), sizeof(q));
    EXPECT_EQ(q.quiesceGeneration, g);

    EXPECT_EQ(quiesce(TGT_MSG_TYPE__STOP_QUIESCE, g + 1), MOS_RC__WRONG_QUIESCE_GEN);
    EXPECT_TRUE(ioh_IsQuiesced(&cont_g.ioh));
    EXPECT_EQ(quiesce(TGT_MSG_TYPE__STOP_QUIESCE, g), MOS_RC__SUCCESS);
    EXPECT_FALSE(ioh_IsQuiesced(&cont_g.ioh));
}

} // namespace
