// Volume-tree objects: deletion generations through cleaning rounds, and the usage and
// deletion-generation replies, with trees registered in a registry of their own.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "mos/mos_utils_mem.h"
#include "test/support/cont_obj_support.h"
#include "test/support/tgt_test_support.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_vtree.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

class VtreeMngrTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        pCont = static_cast<Cont *>(calloc(1, sizeof(Cont)));
        contObj_Init(&pCont->objs, CONT_OBJ_TYPE__VTREE, CONT_OBJ_TYPE__VOL);
        contVtreeMngr_Init(&mngr, pCont);
    }
    void TearDown() override
    {
        for (auto &t : trees)
            remove(t.get());
        contVtreeMngr_Destroy(&mngr);
        contObj_Destroy(&pCont->objs);
        free(pCont);
    }
    ContVtree *add(VTreeId id)
    {
        trees.push_back(std::make_unique<ContVtree>());
        ContVtree *t = trees.back().get();
        EXPECT_EQ(contVtreeMngr_VtreeInit(&mngr, t, id, 0, 1, TRUE, TRUE), MOS_RC__SUCCESS);
        contTest_Register(&pCont->objs, id, CONT_OBJ_TYPE__VTREE, t);
        return t;
    }
    void remove(ContVtree *t)
    {
        const VTreeId id = t->vtreeId;
        umtTest_RunAsUmt([&] { EXPECT_EQ(contObj_Rem(&pCont->objs, id, CONT_OBJ_TYPE__VTREE), t); });
        contVtreeMngr_VtreeDestroy(&mngr, t);
    }
    void drop(ContVtree *t)
    {
        remove(t);
        std::erase_if(trees, [t](auto &p) { return p.get() == t; });
    }
    // The reply's single buffer as bytes; frees it.
    static std::vector<UINT8> takeReply(NetRpcData &res)
    {
        EXPECT_EQ(res.iov.numOfUsedBuffers, 1u);
        std::vector<UINT8> out;
        if (res.iov.numOfUsedBuffers == 1) {
            auto *p = static_cast<UINT8 *>(res.iov.buf[0].iov_base);
            out.assign(p, p + res.iov.buf[0].iov_len);
            mos_MemFree(p);
        }
        netIov_Destroy(&res.iov);
        return out;
    }
    template <class T> static T at(const std::vector<UINT8> &b, size_t off)
    {
        T v{};
        memcpy(&v, b.data() + off, sizeof(v));
        return v;
    }
    Cont *pCont = nullptr;
    ContVtreeMngr mngr;
    std::vector<std::unique_ptr<ContVtree>> trees;
};

TEST_F(VtreeMngrTest, NewTreeStartsAtGenerationOneWithNothingToClean)
{
    EXPECT_EQ(contVtreeMngr_CleanCombsStart(&mngr), 0u) << "no tree";
    ContVtree *t = add(0x10);
    EXPECT_EQ(t->newSnapDelGeneration, 1u);
    EXPECT_EQ(t->pendSnapDelGeneration, 1u);
    EXPECT_EQ(t->doneSnapDelGeneration, 1u);
    EXPECT_FALSE(contVtree_NeedDelete(t));
    EXPECT_EQ(contVtreeMngr_CleanCombsStart(&mngr), 0u);
    EXPECT_EQ(contVtree_GetVtreeId(nullptr), 0u);
    EXPECT_EQ(contVtree_GetOwner(contVtree_Get(t)), t);
    ContVtree z;
    EXPECT_EQ(contVtreeMngr_VtreeInit(&mngr, &z, 0, 0, 1, TRUE, TRUE), MOS_RC__INVALID_ARG);
    EXPECT_EQ(contMngr_Count(&mngr.list), 1u);
}

// Steps of the Ostrel raising `new`, cleaning rounds starting and completing, on two trees.
TEST_F(VtreeMngrTest, DeletionGenerationsMoveForwardThroughRounds)
{
    ContVtree *a = add(0xA);
    ContVtree *b = add(0xB);
    struct Step {
        char op; // 'a'/'b': raise that tree's new to gen; 's': start (expect gen); 'd': done
        UINT64 gen;
        UINT64 doneA, doneB;
        bool needA, needB;
    };
    const Step steps[] = {
        {'a', 5, 1, 1, false, false},
        {'s', 5, 1, 1, true, false},
        {'b', 7, 1, 1, true, false}, // raised during a round: not part of it
        {'d', 0, 5, 1, false, false},
        {'s', 7, 5, 1, false, true},
        {'s', 7, 5, 1, false, true}, // an unfinished round is reported again
        {'d', 0, 5, 7, false, false},
        {'s', 0, 5, 7, false, false},
    };
    for (const Step &s : steps) {
        switch (s.op) {
        case 'a': EXPECT_EQ(contVtree_UpdateSnapDelGeneration(a, s.gen), MOS_RC__SUCCESS); break;
        case 'b': EXPECT_EQ(contVtree_UpdateSnapDelGeneration(b, s.gen), MOS_RC__SUCCESS); break;
        case 's': EXPECT_EQ(contVtreeMngr_CleanCombsStart(&mngr), s.gen); break;
        case 'd': contVtreeMngr_CleanCombsDone(&mngr); break;
        }
        EXPECT_EQ(a->doneSnapDelGeneration, s.doneA) << s.op << s.gen;
        EXPECT_EQ(b->doneSnapDelGeneration, s.doneB) << s.op << s.gen;
        EXPECT_EQ(contVtree_NeedDelete(a), s.needA) << s.op << s.gen;
        EXPECT_EQ(contVtree_NeedDelete(b), s.needB) << s.op << s.gen;
    }
    EXPECT_EQ(contVtree_UpdateSnapDelGeneration(a, 4), MOS_RC__INVALID_ARG) << "a generation never moves back";
    EXPECT_EQ(a->newSnapDelGeneration, 5u);
    EXPECT_LE(a->doneSnapDelGeneration, a->pendSnapDelGeneration);
}

TEST_F(VtreeMngrTest, DeletionGenerationReplyAnswersZeroForUnknownIds)
{
    ContVtree *t = add(0x20);
    contVtree_UpdateSnapDelGeneration(t, 3);
    contVtreeMngr_CleanCombsStart(&mngr);
    contVtreeMngr_CleanCombsDone(&mngr);
    struct __attribute__((packed)) {
        OstrelTgtReq_QueryVtreeDelGen hdr;
        UINT64 ids[2];
    } req{{2, 0}, {0x99, 0x20}};
    NetRpcData res{};
    NET_IOV__INIT(&res.iov);
    ASSERT_EQ(contVtreeMngr_GetVteeDelGen(&mngr, &req.hdr, sizeof(req), &res), MOS_RC__SUCCESS);
    auto b = takeReply(res);
    ASSERT_EQ(b.size(), 8u + 2 * 16);
    EXPECT_EQ(at<UINT32>(b, 0), 2u);
    EXPECT_EQ(at<UINT32>(b, 4), 16u);
    EXPECT_EQ(at<UINT64>(b, 8), 0u);
    EXPECT_EQ(at<UINT64>(b, 16), 0u);
    EXPECT_EQ(at<UINT64>(b, 24), 0x20u);
    EXPECT_EQ(at<UINT64>(b, 32), 3u);

    for (UINT32 len : {6u, 13u, 30u}) { // no id; a count that the length does not carry
        req.hdr.numVTrees = len == 6 ? 0 : 2;
        NetRpcData bad{};
        NET_IOV__INIT(&bad.iov);
        EXPECT_EQ(contVtreeMngr_GetVteeDelGen(&mngr, &req.hdr, len, &bad), MOS_RC__INVALID) << len;
        EXPECT_EQ(bad.iov.numOfUsedBuffers, 0u);
        netIov_Destroy(&bad.iov);
    }
}

TEST_F(VtreeMngrTest, UsageRepliesListEveryTreeInOrder)
{
    NetRpcData res{};
    NET_IOV__INIT(&res.iov);
    ASSERT_EQ(contVtreeMngr_GetAllVteeUsage(&mngr, &res), MOS_RC__SUCCESS);
    auto empty = takeReply(res);
    ASSERT_EQ(empty.size(), 8u);
    EXPECT_EQ(at<UINT32>(empty, 0), 0u);
    EXPECT_EQ(at<UINT32>(empty, 4), 28u);

    ContVtree *a = add(0x31);
    add(0x32);
    a->vtree.vtreeUsageMB = 9;
    a->vtree.baseVolUsageMB = 4;
    contVtree_AddTrimmedTeeth(a, 2);
    NET_IOV__INIT(&res.iov);
    ASSERT_EQ(contVtreeMngr_GetAllVteeUsage(&mngr, &res), MOS_RC__SUCCESS);
    auto all = takeReply(res);
    ASSERT_EQ(all.size(), 8u + 2 * 28);
    EXPECT_EQ(at<UINT32>(all, 0), 2u);
    EXPECT_EQ(at<UINT64>(all, 8), 0x31u);
    EXPECT_EQ(at<UINT64>(all, 16), 9u);
    EXPECT_EQ(at<UINT64>(all, 24), 4u);
    EXPECT_EQ(at<UINT32>(all, 32), 2u);
    EXPECT_EQ(at<UINT64>(all, 36), 0x32u);

    OstrelTgtReq_QueryVtreeSize one{0, 0x31};
    NET_IOV__INIT(&res.iov);
    ASSERT_EQ(contVtreeMngr_GetVteeUsage(&mngr, &one, &res), MOS_RC__SUCCESS);
    auto single = takeReply(res);
    ASSERT_EQ(single.size(), 28u);
    EXPECT_EQ(at<UINT64>(single, 0), 0x31u);

    one.vtreeId = 0x77;
    NET_IOV__INIT(&res.iov);
    EXPECT_EQ(contVtreeMngr_GetVteeUsage(&mngr, &one, &res), MOS_RC__NOT_FOUND);
    EXPECT_EQ(res.iov.numOfUsedBuffers, 0u);
    netIov_Destroy(&res.iov);
}

TEST_F(VtreeMngrTest, SweepRemovesUnmarkedTreesOnly)
{
    add(1);
    ContVtree *keep = add(2);
    add(3);
    contVtreeMngr_MarkAllVtrees(&mngr);
    keep->bMark = FALSE;
    while (ContVtree *t = contVtreeMngr_GetFirstMarkedNode(&mngr)) {
        EXPECT_NE(t, keep);
        drop(t);
    }
    EXPECT_EQ(contMngr_Count(&mngr.list), 1u);
    EXPECT_EQ(trees.size(), 1u);
}
} // namespace
