// Volume trees: node-list updates (order, states that only advance, deletions, refusals that
// leave the tree as it was) and the map from node to tree.
#include <gtest/gtest.h>

#include <vector>

#include "test/support/tgt_test_support.h"
#include "tgt/vtree/vtree.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

constexpr VTreeId kTree = 0x77;

struct N {
    VtoId vtoId;
    VtoTime time;
    SnapDelState state;
    VtoId parent = 0;
};

class VtreeTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        vtreeMap_Init(&map);
        vtree_Init(&tree, kTree, &map, 0, 1, FALSE, TRUE);
    }
    void TearDown() override
    {
        vtree_Destroy(&tree);
        vtreeMap_Destroy(&map);
    }
    Mos_RC update(std::vector<N> nodes, BOOL *pbCand = nullptr)
    {
        std::vector<OstrelTgtReq_VtreeNode> recs;
        for (auto &n : nodes)
            recs.push_back({kTree, 1, n.parent, n.vtoId, n.time, (UINT32)n.state});
        BOOL b = FALSE;
        Mos_RC rc = vtree_Update(&tree, (UINT32)recs.size(), recs.data(), TRUE, TRUE, &b);
        if (pbCand)
            *pbCand = b;
        return rc;
    }
    // (vtoId, time, state) of the tree's nodes in list order.
    std::vector<std::tuple<VtoId, VtoTime, UINT32>> nodes()
    {
        std::vector<std::tuple<VtoId, VtoTime, UINT32>> out;
        for (VtreeNode *p = vtree_FirstNode(&tree); p; p = vtree_NextNode(p))
            out.emplace_back(p->vtoId, p->time, (UINT32)p->nodeState);
        return out;
    }
    VtreeMap map;
    Vtree tree;
};

using S = SnapDelState;
constexpr S NORMAL = SNAP_DEL_STATE__NORMAL, CAND = SNAP_DEL_STATE__CANDIDATE,
            LDEL = SNAP_DEL_STATE__LOGICALLY_DELETED, DEL = SNAP_DEL_STATE__DELETED;

TEST_F(VtreeTest, UpdatesApplyInTimeOrder)
{
    struct Case {
        const char *pWhat;
        std::vector<N> first, second;
        BOOL bCandidate;
        std::vector<std::tuple<VtoId, VtoTime, UINT32>> want;
        VtoTime minTime;
        BOOL bDeleting;
    } cases[] = {
        {"candidate and append", {{5, 1, NORMAL}}, {{5, 1, CAND}, {9, 4, NORMAL, 5}}, TRUE,
         {{5, 1, CAND}, {9, 4, NORMAL}}, 4, FALSE},
        {"insert between", {{5, 1, NORMAL}, {9, 4, NORMAL}}, {{7, 2, NORMAL, 5}}, FALSE,
         {{5, 1, NORMAL}, {7, 2, NORMAL}, {9, 4, NORMAL}}, 4, FALSE},
        {"insert before the first", {{9, 4, NORMAL}}, {{5, 2, NORMAL}}, FALSE, {{5, 2, NORMAL}, {9, 4, NORMAL}}, 4,
         FALSE},
        {"deleted at an existing time", {{5, 1, NORMAL}, {9, 4, NORMAL}}, {{9, 4, DEL}}, FALSE, {{5, 1, NORMAL}}, 4,
         FALSE},
        {"deleted never added", {{5, 1, NORMAL}}, {{9, 4, DEL}}, FALSE, {{5, 1, NORMAL}}, 4, FALSE},
        {"all logically deleted", {{5, 1, NORMAL}, {9, 4, NORMAL}}, {{5, 1, LDEL}, {9, 4, LDEL}}, FALSE,
         {{5, 1, LDEL}, {9, 4, LDEL}}, 4, TRUE},
        {"same state again", {{5, 1, CAND}}, {{5, 1, CAND}}, FALSE, {{5, 1, CAND}}, 1, TRUE},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.pWhat);
        TearDown();
        SetUp();
        ASSERT_EQ(update(c.first), MOS_RC__SUCCESS);
        BOOL bCand = FALSE;
        ASSERT_EQ(update(c.second, &bCand), MOS_RC__SUCCESS);
        EXPECT_EQ(bCand, c.bCandidate);
        EXPECT_EQ(nodes(), c.want);
        EXPECT_GE(tree.time, c.minTime);
        EXPECT_EQ(tree.bDeleting, c.bDeleting);
        for (auto &[id, t, st] : c.want)
            EXPECT_EQ(vtreeMap_GetVtoVtree(&map, id), kTree);
    }
    EXPECT_EQ(vtreeMap_GetVtoVtree(&map, 9), 0u) << "a deleted node leaves the global map";
}

TEST_F(VtreeTest, BadListsAreRefusedWhole)
{
    ASSERT_EQ(update({{5, 1, CAND}, {9, 4, NORMAL, 5}}), MOS_RC__SUCCESS);
    auto before = nodes();
    struct Case {
        const char *pWhat;
        std::vector<N> list;
    } cases[] = {
        {"state lowered", {{12, 6, NORMAL}, {5, 1, NORMAL}}},
        {"times out of order", {{12, 6, NORMAL}, {13, 5, NORMAL}}},
        {"equal times", {{12, 6, NORMAL}, {13, 6, NORMAL}}},
        {"known node at another time", {{9, 5, NORMAL}}},
        {"unknown node at a known time", {{11, 4, NORMAL}}},
        {"node named twice", {{12, 6, NORMAL}, {12, 7, NORMAL}}},
        {"invalid state", {{12, 6, SNAP_DEL_STATE__INVALID}}},
        {"state past deleted", {{12, 6, (S)5}}},
        {"node id 0", {{0, 6, NORMAL}}},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.pWhat);
        EXPECT_EQ(update(c.list), MOS_RC__INVALID_ARG);
        EXPECT_EQ(nodes(), before);
        EXPECT_EQ(vtreeMap_GetVtoVtree(&map, 12), 0u);
    }
    EXPECT_EQ(tree.time, 4u) << "a refused list does not move the tree's time";
}

TEST_F(VtreeTest, AccessorsAndQuiesce)
{
    EXPECT_EQ(vtree_GetHeadVto(&tree), 0u);
    EXPECT_EQ(vtree_GetTailVto(&tree), 0u);
    ASSERT_EQ(update({{5, 2, NORMAL}, {9, 4, NORMAL, 5}}), MOS_RC__SUCCESS);
    EXPECT_EQ(vtree_GetHeadVto(&tree), 5u);
    EXPECT_EQ(vtree_GetHeadTime(&tree), 2u);
    EXPECT_EQ(vtree_GetTailVto(&tree), 9u);
    EXPECT_TRUE(vtree_HandleExistingAddedVtree(&tree, 3));
    EXPECT_EQ(tree.time, 4u) << "the time never goes back";
    vtree_HandleExistingAddedVtree(&tree, 8);
    EXPECT_EQ(tree.time, 8u);
    EXPECT_FALSE(vtree_IsQuiesced(&tree));
    vtree_UpdateQuiescedCounter(&tree, TRUE);
    EXPECT_TRUE(vtree_IsQuiesced(&tree));
    vtree_UpdateQuiescedCounter(&tree, FALSE);
    EXPECT_FALSE(vtree_IsQuiesced(&tree));
}
} // namespace
