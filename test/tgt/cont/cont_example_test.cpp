// The object managers' list rules, shown on the example kind: add and remove keep the list, and
// the sweep (mark all, clear the marks of listed objects, remove what GetFirstMarkedNode returns)
// removes exactly the unlisted objects while rotating the list at most one round per call.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <vector>

#include "test/support/tgt_test_support.h"
#include "tgt/cont/cont_example.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

class ExampleMngrTest : public ::testing::Test {
  protected:
    void SetUp() override { contExampleMngr_Init(&mngr); }
    void TearDown() override
    {
        for (auto &p : objs)
            if (p)
                contExampleMngr_ObjDestroy(&mngr, p.get());
        contExampleMngr_Destroy(&mngr);
    }
    ContExample *add(UINT64 id, UINT32 data)
    {
        objs.push_back(std::make_unique<ContExample>());
        contExampleMngr_ObjInit(&mngr, nullptr, objs.back().get(), id, data);
        return objs.back().get();
    }
    void remove(ContExample *p)
    {
        for (auto &o : objs)
            if (o.get() == p) {
                contExampleMngr_ObjDestroy(&mngr, p);
                o.reset();
            }
    }
    std::vector<UINT64> order()
    {
        std::vector<UINT64> ids;
        contMngr_ForEach(&mngr, [&](ContExample *p) { ids.push_back(p->objId); });
        return ids;
    }
    ContExampleMngr mngr;
    std::vector<std::unique_ptr<ContExample>> objs;
};

TEST_F(ExampleMngrTest, AddUpdateQueryAndRemoveKeepTheList)
{
    add(1, 10);
    ContExample *p2 = add(2, 20);
    add(3, 30);
    contExample_Update(p2, 21);
    ContExampleQuery q{};
    contExample_Query(p2, &q);
    EXPECT_EQ(q.objId, 2u);
    EXPECT_EQ(q.data, 21u);
    EXPECT_FALSE(p2->bMark);
    remove(p2);
    EXPECT_EQ(order(), (std::vector<UINT64>{1, 3}));
    EXPECT_EQ(contMngr_Count(&mngr), 2u);
}

TEST_F(ExampleMngrTest, FirstMarkedOnEmptyOrUnmarkedListIsNullAndKeepsOrder)
{
    EXPECT_EQ(contExampleMngr_GetFirstMarkedNode(&mngr), nullptr);
    for (UINT64 id : {5, 6, 7})
        add(id, 0);
    EXPECT_EQ(contExampleMngr_GetFirstMarkedNode(&mngr), nullptr);
    EXPECT_EQ(order(), (std::vector<UINT64>{5, 6, 7}));
}

TEST_F(ExampleMngrTest, FirstMarkedRotatesToTheMarkedObject)
{
    for (UINT64 id : {1, 2, 3, 4})
        add(id, 0);
    objs[2]->bMark = TRUE; // id 3
    ContExample *p = contExampleMngr_GetFirstMarkedNode(&mngr);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->objId, 3u);
    EXPECT_EQ(order(), (std::vector<UINT64>{4, 1, 2, 3}));
}

// Sweeps: which ids exist, which the Ostrel lists again; the unlisted ones go, the others stay.
TEST_F(ExampleMngrTest, SweepRemovesExactlyTheUnlistedObjects)
{
    struct Case {
        std::vector<UINT64> existing;
        std::set<UINT64> listed;
    };
    const Case cases[] = {
        {{}, {}},
        {{1, 2, 3}, {1, 2, 3}},
        {{1, 2, 3}, {}},
        {{1, 2, 3, 4, 5}, {2, 4}},
        {{1, 2, 3, 4, 5}, {1, 5}},
        {{9}, {}},
    };
    for (const Case &c : cases) {
        for (UINT64 id : c.existing)
            add(id, 1);
        contExampleMngr_MarkAllObjs(&mngr);
        for (auto &o : objs)
            if (o && c.listed.count(o->objId)) {
                o->bMark = FALSE;
                contExample_Update(o.get(), 2);
            }
        UINT32 calls = 0;
        while (ContExample *p = contExampleMngr_GetFirstMarkedNode(&mngr)) {
            EXPECT_EQ(c.listed.count(p->objId), 0u);
            remove(p);
            ASSERT_LE(++calls, c.existing.size());
        }
        std::set<UINT64> left;
        contMngr_ForEach(&mngr, [&](ContExample *p) {
            left.insert(p->objId);
            EXPECT_EQ(p->data, 2u);
        });
        EXPECT_EQ(left, c.listed);
        for (auto &o : objs)
            if (o)
                remove(o.get());
        objs.clear();
    }
}
} // namespace
