#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "mos/mos_protected_mem.h"
#include "test/support/mos_container_support.h"

namespace {

std::vector<PVOID> freed;

struct ProtectedMem : ::testing::Test {
    void SetUp() override
    {
        freed.clear();
        ASSERT_EQ(mosPMemFactory_Create(&factory, [](PVOID p) { freed.push_back(p); }, 4), MOS_RC__SUCCESS);
    }
    void TearDown() override { mosPMemFactory_Destroy(&factory); }
    ContainerLayers layers;
    MosPMem_Factory factory;
    int objects[8] = {};
};

} // namespace

TEST_F(ProtectedMem, HandleResolvesUntilInvalidatedAndFreesOnLastRelease)
{
    HMosPMem h = mosPMemFactory_AllocHandle(&factory, &objects[0]);
    ASSERT_NE(h, 0u);
    EXPECT_NE(MOS_PMEM__GENERATION(h), 0u);
    PVOID p = nullptr;
    ASSERT_EQ(mosPMem_Ref(&factory, h, &p), MOS_RC__SUCCESS);
    EXPECT_EQ(p, &objects[0]);
    UINT32 usage = 0;
    ASSERT_EQ(mosPMem_QueryHandle(&factory, h, &usage), MOS_RC__SUCCESS);
    EXPECT_EQ(usage, 2u);

    ASSERT_EQ(mosPMem_Invalidate(&factory, h), MOS_RC__SUCCESS);
    EXPECT_EQ(mosPMem_Ref(&factory, h, &p), MOS_RC__WRONG_STATE_TRANS);
    EXPECT_EQ(mosPMem_Invalidate(&factory, h), MOS_RC__WRONG_STATE_TRANS);
    EXPECT_EQ(mosPMem_QueryHandle(&factory, h, &usage), MOS_RC__WRONG_STATE_TRANS);
    // Both references taken before the invalidation are released; the object goes with the last.
    EXPECT_EQ(mosPMem_Deref(&factory, h), MOS_RC__SUCCESS);
    EXPECT_TRUE(freed.empty());
    EXPECT_EQ(mosPMem_Deref(&factory, h), MOS_RC__SUCCESS);
    EXPECT_EQ(freed, std::vector<PVOID>{&objects[0]});
    EXPECT_EQ(mosMemPool_GetNumOfFreeEntries(&factory.pool), 4u);
}

// Releases and queries through handles whose entry is free or has passed to a new owner.
TEST_F(ProtectedMem, StaleHandlesNeverReachANewOwner)
{
    HMosPMem old = mosPMemFactory_AllocHandle(&factory, &objects[0]);
    ASSERT_EQ(mosPMem_Deref(&factory, old), MOS_RC__SUCCESS);
    ASSERT_EQ(freed.size(), 1u);

    // A repeated release of a freed entry is refused and frees nothing twice.
    EXPECT_EQ(mosPMem_Deref(&factory, old), MOS_RC__WRONG_STATE_TRANS);
    EXPECT_EQ(freed.size(), 1u);

    // The entry goes to a new owner (the list pool hands the freed entry out first).
    HMosPMem fresh = mosPMemFactory_AllocHandle(&factory, &objects[1]);
    ASSERT_EQ(MOS_PMEM__INDEX(fresh), MOS_PMEM__INDEX(old));
    ASSERT_NE(MOS_PMEM__GENERATION(fresh), MOS_PMEM__GENERATION(old));
    PVOID p = nullptr;
    UINT32 usage = 0;
    EXPECT_EQ(mosPMem_Ref(&factory, old, &p), MOS_RC__WRONG_STATE_TRANS);
    EXPECT_EQ(mosPMem_Deref(&factory, old), MOS_RC__WRONG_STATE_TRANS);
    EXPECT_EQ(mosPMem_Invalidate(&factory, old), MOS_RC__WRONG_STATE_TRANS);
    EXPECT_EQ(mosPMem_QueryHandle(&factory, old, &usage), MOS_RC__WRONG_STATE_TRANS);
    ASSERT_EQ(mosPMem_QueryHandle(&factory, fresh, &usage), MOS_RC__SUCCESS);
    EXPECT_EQ(usage, 1u); // the new owner's reference is untouched
    EXPECT_EQ(freed.size(), 1u);
    EXPECT_EQ(mosPMem_Deref(&factory, fresh), MOS_RC__SUCCESS);
    EXPECT_EQ(freed.back(), &objects[1]);
}

TEST_F(ProtectedMem, MalformedHandlesAreRefused)
{
    HMosPMem h = mosPMemFactory_AllocHandle(&factory, &objects[0]);
    const HMosPMem cases[] = {
        0,                                                     // the null handle
        MOS_PMEM__INDEX(h),                                    // a bare index: generation 0
        MOS_PMEM__HANDLE(MOS_PMEM__GENERATION(h), 4),          // index beyond the pool
        MOS_PMEM__HANDLE(MOS_PMEM__GENERATION(h), 0xFFFFFFFF), // far beyond
    };
    for (HMosPMem bad : cases) {
        SCOPED_TRACE(bad);
        PVOID p = nullptr;
        UINT32 usage = 0;
        EXPECT_EQ(mosPMem_Ref(&factory, bad, &p), MOS_RC__INVALID);
        EXPECT_EQ(mosPMem_Deref(&factory, bad), MOS_RC__INVALID);
        EXPECT_EQ(mosPMem_Invalidate(&factory, bad), MOS_RC__INVALID);
        EXPECT_EQ(mosPMem_QueryHandle(&factory, bad, &usage), MOS_RC__INVALID);
    }
    UINT32 usage = 0;
    ASSERT_EQ(mosPMem_QueryHandle(&factory, h, &usage), MOS_RC__SUCCESS);
    EXPECT_EQ(usage, 1u);
    EXPECT_EQ(mosPMem_Deref(&factory, h), MOS_RC__SUCCESS);
}

TEST_F(ProtectedMem, ExhaustedFactoryGivesTheNullHandle)
{
    std::vector<HMosPMem> handles;
    for (int i = 0; i < 4; i++) {
        handles.push_back(mosPMemFactory_AllocHandle(&factory, &objects[i]));
        ASSERT_NE(handles.back(), 0u);
    }
    EXPECT_EQ(mosPMemFactory_AllocHandle(&factory, &objects[4]), 0u);
    for (HMosPMem h : handles)
        EXPECT_EQ(mosPMem_Deref(&factory, h), MOS_RC__SUCCESS);
    EXPECT_EQ(freed.size(), 4u);

    MosPMem_Factory none;
    EXPECT_EQ(mosPMemFactory_Create(&none, nullptr, 0), MOS_RC__INVALID);
}

// Seven threads take and release references on the handle that one publisher keeps replacing
// (invalidate, then drop its own reference) while the two entries are recycled. Each object must
// be freed exactly once, never while a reference to it is held.
TEST_F(ProtectedMem, ConcurrentReferenceInvalidateRelease)
{
    constexpr int kReaders = 7;
    constexpr int kRounds = 5000;
    struct Obj {
        std::atomic<int> frees{0};
    };
    std::vector<Obj> objs(kRounds);
    MosPMem_Factory shared;
    ASSERT_EQ(mosPMemFactory_Create(&shared, [](PVOID p) { ((Obj *)p)->frees++; }, 2), MOS_RC__SUCCESS);

    std::atomic<HMosPMem> current{0};
    std::atomic<bool> bDone{false};
    std::atomic<int> failures{0};
    std::atomic<long> resolved{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; r++) {
        readers.emplace_back([&] {
            while (!bDone) {
                const HMosPMem h = current.load();
                PVOID p = nullptr;
                const Mos_RC rc = h == 0 ? MOS_RC__WRONG_STATE_TRANS : mosPMem_Ref(&shared, h, &p);
                if (rc == MOS_RC__WRONG_STATE_TRANS)
                    continue;
                if (rc != MOS_RC__SUCCESS || ((Obj *)p)->frees.load() != 0)
                    failures++;
                resolved++;
                if (mosPMem_Deref(&shared, h) != MOS_RC__SUCCESS)
                    failures++;
            }
        });
    }
    for (int n = 0; n < kRounds; n++) {
        HMosPMem h;
        while ((h = mosPMemFactory_AllocHandle(&shared, &objs[n])) == 0)
            std::this_thread::yield();
        const HMosPMem old = current.exchange(h);
        if (old != 0 && (mosPMem_Invalidate(&shared, old) != MOS_RC__SUCCESS ||
                         mosPMem_Deref(&shared, old) != MOS_RC__SUCCESS))
            failures++;
        // Let the readers reach each new handle before it is replaced.
        const long seen = resolved.load();
        while (resolved.load() == seen && failures.load() == 0)
            std::this_thread::yield();
    }
    bDone = true;
    for (auto &t : readers)
        t.join();
    const HMosPMem last = current.load();
    EXPECT_EQ(mosPMem_Invalidate(&shared, last), MOS_RC__SUCCESS);
    EXPECT_EQ(mosPMem_Deref(&shared, last), MOS_RC__SUCCESS);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(resolved.load(), 0);
    int wrongFrees = 0;
    for (const Obj &o : objs)
        wrongFrees += o.frees.load() != 1;
    EXPECT_EQ(wrongFrees, 0);
    EXPECT_EQ(mosMemPool_GetNumOfFreeEntries(&shared.pool), 2u);
    mosPMemFactory_Destroy(&shared);
}
