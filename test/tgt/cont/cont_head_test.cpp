// Head objects: a re-add merges only on a changed capacity generation, map entries given as 0
// keep their trees, and an update under another head's id is refused.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "test/support/tgt_test_support.h"
#include "tgt/cont/cont_head.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

struct Maps {
    UINT8 bm[PHY_COMB__USAGE_BM_BYTES] = {};
    VTreeId map[HEAD__USAGE_MAP_SLOTS] = {};
};

class HeadMngrTest : public ::testing::Test {
  protected:
    void SetUp() override { contHeadMngr_Init(&mngr); }
    void TearDown() override
    {
        if (head)
            contHeadMngr_HeadDestroy(&mngr, head.get());
        contHeadMngr_Destroy(&mngr);
    }
    Cont *cont() { return reinterpret_cast<Cont *>(this); }
    ContHeadMngr mngr;
    std::unique_ptr<ContHead> head = std::make_unique<ContHead>();
};

TEST_F(HeadMngrTest, ReAddMergesOnlyOnAChangedGeneration)
{
    Maps first;
    first.bm[0] = 0xC0;
    first.map[0] = 0xA;
    first.map[1] = 0xB;
    contHeadMngr_HeadInit(&mngr, cont(), head.get(), 7, 100, first.bm, first.map);

    Maps next;
    next.bm[1] = 0x01;
    next.map[1] = 0xC; // replaces B
    next.map[2] = 0xD; // new; entry 0 is given as 0 and keeps A

    struct Case {
        GenNum gen;
        bool bNeeded;
        UINT8 bm0, bm1;
        VTreeId slot0, slot1, slot2;
    };
    const Case cases[] = {
        {100, false, 0xC0, 0x00, 0xA, 0xB, 0},
        {101, true, 0x00, 0x01, 0xA, 0xC, 0xD},
        {101, false, 0x00, 0x01, 0xA, 0xC, 0xD},
    };
    for (const Case &c : cases) {
        const BOOL bNeeded = contHead_IsUpdateNeeded(head.get(), 7, c.gen);
        EXPECT_EQ(bool(bNeeded), c.bNeeded) << c.gen;
        if (bNeeded) {
            EXPECT_EQ(contHead_UpdateFull(head.get(), 7, c.gen, next.bm, next.map), MOS_RC__SUCCESS);
        }
        PhyCombHead st;
        contHead_CopyHeadState(head.get(), &st);
        EXPECT_EQ(st.capChangeGen, c.gen);
        EXPECT_EQ(st.usageBM[0], c.bm0);
        EXPECT_EQ(st.usageBM[1], c.bm1);
        Head *h = contHead_Get(head.get());
        EXPECT_EQ(head_GetVtreeId(h, 0), c.slot0);
        EXPECT_EQ(head_GetVtreeId(h, HEAD__TEETH_PER_SLOT), c.slot1);
        EXPECT_EQ(head_GetVtreeId(h, 2 * HEAD__TEETH_PER_SLOT), c.slot2);
    }
}

TEST_F(HeadMngrTest, UpdateUnderAnotherHeadsIdIsRefused)
{
    Maps m;
    m.map[0] = 0xA;
    contHeadMngr_HeadInit(&mngr, cont(), head.get(), 7, 1, m.bm, m.map);
    Maps other;
    other.map[0] = 0xE;
    other.bm[0] = 0xFF;
    EXPECT_TRUE(contHead_IsUpdateNeeded(head.get(), 8, 1));
    EXPECT_EQ(contHead_UpdateFull(head.get(), 8, 2, other.bm, other.map), MOS_RC__INVALID_ARG);
    PhyCombHead st;
    contHead_CopyHeadState(head.get(), &st);
    EXPECT_EQ(st.capChangeGen, 1u);
    EXPECT_EQ(st.usageBM[0], 0u);
    EXPECT_EQ(head_GetVtreeId(contHead_Get(head.get()), 0), 0xAu);
    ContHeadQuery q{};
    contHead_Query(head.get(), &q);
    EXPECT_EQ(q.headId, 7u);
}

TEST_F(HeadMngrTest, SweepFindsTheMarkedHead)
{
    Maps m;
    contHeadMngr_HeadInit(&mngr, cont(), head.get(), 7, 1, m.bm, m.map);
    EXPECT_EQ(contHeadMngr_GetFirstMarkedNode(&mngr), nullptr);
    contHeadMngr_MarkAllHeads(&mngr);
    EXPECT_EQ(contHeadMngr_GetFirstMarkedNode(&mngr), head.get());
}
} // namespace
