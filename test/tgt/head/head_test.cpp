// Heads: slot updates that keep owners the update leaves at 0, and iteration that holds one
// reference per run of blocks of the same tree.
#include <gtest/gtest.h>

#include <map>

#include "test/support/tgt_test_support.h"
#include "tgt/head/head.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

struct FakeCont {
    std::map<VTreeId, Vtree *> trees;
    int acquires = 0;
    int releases = 0;
};
FakeCont *cont_G = nullptr;

const HeadContHooks kHooks = {
    [](Cont *, VTreeId id) -> Vtree * {
        auto it = cont_G->trees.find(id);
        if (it == cont_G->trees.end())
            return nullptr;
        cont_G->acquires++;
        return it->second;
    },
    [](Cont *, Vtree *) { cont_G->releases++; },
    [](Cont *, HeadId) -> Head * { return nullptr; },
    [](Cont *, Head *) {},
    [](Vtree *) -> BOOL { return FALSE; },
};

TEST(HeadTest, UpdateKeepsSlotsGivenAsZero)
{
    VTreeId map[HEAD__USAGE_MAP_SLOTS] = {};
    map[7] = 0x70;
    map[8] = 0x80;
    Head head;
    head_Init(&head, reinterpret_cast<Cont *>(&head), map);
    VTreeId upd[HEAD__USAGE_MAP_SLOTS] = {};
    upd[8] = 0x81;
    upd[9] = 0x90;
    head_Update(&head, upd);
    EXPECT_EQ(head_GetVtreeId(&head, 7 * 8), 0x70u);
    EXPECT_EQ(head_GetVtreeId(&head, 8 * 8 + 7), 0x81u);
    EXPECT_EQ(head_GetVtreeId(&head, 9 * 8), 0x90u);
    EXPECT_EQ(head_GetVtreeId(&head, 0), 0u);
    head_Destroy(&head);
}

TEST(HeadTest, IteratorAcquiresEachRunOnce)
{
    FakeCont cont;
    cont_G = &cont;
    head_SetContHooks(&kHooks);
    Vtree a{}, b{};
    cont.trees = {{0xA, &a}, {0xB, &b}};
    VTreeId map[HEAD__USAGE_MAP_SLOTS] = {};
    map[0] = map[1] = 0xA;
    map[2] = 0xB;
    map[3] = 0xC; // not known to the controller
    Head head;
    auto *pCont = reinterpret_cast<Cont *>(&cont);
    head_Init(&head, pCont, map);
    HeadItr itr;
    head_ItrInit(&itr);
    for (UINT32 t = 0; t < 16; t++)
        EXPECT_EQ(head_ItrGetVtree(&itr, &head, t), &a) << t;
    EXPECT_EQ(cont.acquires, 1);
    EXPECT_EQ(head_ItrGetVtree(&itr, &head, 16), &b);
    EXPECT_EQ(cont.releases, 1) << "moving to another tree drops the first";
    EXPECT_EQ(head_ItrGetVtree(&itr, &head, 24), nullptr);
    EXPECT_EQ(head_ItrGetVtree(&itr, &head, 40), nullptr) << "an unowned block";
    head_ItrEnd(&itr, pCont);
    EXPECT_EQ(cont.acquires, cont.releases) << "every reference taken is dropped";
    head_Destroy(&head);
    head_SetContHooks(nullptr);
    cont_G = nullptr;
}
} // namespace
