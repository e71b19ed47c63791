#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <thread>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mos/usr/linux/mos_shm.h"
#include "test/support/panic_expect.h"

namespace {

// Each test gets its own segment name and removes it whatever happens.
struct ShmTest : ::testing::Test {
    std::string name;
    void SetUp() override
    {
        name = "/pellar-shm-test-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        shm_unlink(name.c_str());
    }
    void TearDown() override { shm_unlink(name.c_str()); }

    // Size of the segment as the system sees it, or -1 when the name does not exist.
    long long systemSize() const
    {
        const int fd = shm_open(name.c_str(), O_RDONLY, 0);
        if (fd < 0)
            return -1;
        struct stat st;
        fstat(fd, &st);
        close(fd);
        return st.st_size;
    }

    // Creates a segment of `size` bytes holding `text` at offset `at`, and closes it (kept).
    void persist(UINT64 size, const char *text, size_t at)
    {
        MosShm shm;
        ASSERT_EQ(mosShmUmt_Create(&shm, name.c_str(), size, TRUE, TRUE), MOS_RC__SUCCESS);
        ASSERT_EQ(mosShm_Map(&shm, FALSE), MOS_RC__SUCCESS);
        strcpy(static_cast<char *>(shm.pMem) + at, text);
        mosShm_Close(&shm);
        EXPECT_EQ(shm.shmFD, -1);
        EXPECT_EQ(shm.pMem, nullptr);
    }

    std::string readAt(MosShm &shm, size_t at) { return static_cast<const char *>(shm.pMem) + at; }
};

} // namespace

TEST_F(ShmTest, CloseKeepsSegmentAndReopenFindsContents)
{
    persist(8192, "dirty-region log", 4000);
    ASSERT_EQ(systemSize(), 8192);

    // Open by name at its own size.
    MosShm shm;
    ASSERT_EQ(mosShmUmt_Create(&shm, name.c_str(), 0, FALSE, FALSE), MOS_RC__SUCCESS);
    EXPECT_EQ(shm.memSize, 8192u);
    ASSERT_EQ(mosShm_Map(&shm, FALSE), MOS_RC__SUCCESS);
    EXPECT_EQ(readAt(shm, 4000), "dirty-region log");
    mosShm_Close(&shm);
}

TEST_F(ShmTest, OpeningAnExistingSegmentNeverCutsIt)
{
    persist(8192, "tail", 8000);
    struct Case {
        const char *what;
        UINT64 size;
        BOOL bCreate;
        UINT64 expectMapped;
        long long expectSystem;
    } cases[] = {
        {"create, not exclusive, same size", 8192, TRUE, 8192, 8192},
        {"create, not exclusive, smaller size", 4096, TRUE, 4096, 8192},
        {"open with smaller size", 4096, FALSE, 4096, 8192},
        {"open with size 0", 0, FALSE, 8192, 8192},
        {"open with larger size grows it", 16384, FALSE, 16384, 16384},
    };
    for (const Case &c : cases) {
        MosShm shm;
        ASSERT_EQ(mosShmUmt_Create(&shm, name.c_str(), c.size, c.bCreate, FALSE), MOS_RC__SUCCESS) << c.what;
        EXPECT_EQ(shm.memSize, c.expectMapped) << c.what;
        EXPECT_EQ(systemSize(), c.expectSystem) << c.what;
        ASSERT_EQ(mosShm_Map(&shm, FALSE), MOS_RC__SUCCESS) << c.what;
        EXPECT_EQ(readAt(shm, 0), "") << c.what;
        if (shm.memSize > 8000) {
            EXPECT_EQ(readAt(shm, 8000), "tail") << c.what;
        }
        mosShm_Close(&shm);
    }
}

// Two openers that race on one name, one asking for more than the other: the segment ends at the
// larger size whatever the interleaving, so the larger opener's mapping is never cut under it.
TEST_F(ShmTest, ConcurrentOpenersNeverShrinkTheSegment)
{
    constexpr UINT64 kSmall = 4096;
    constexpr UINT64 kLarge = 64 * 4096;
    constexpr int kRounds = 2000;
    // Spinning, so that both threads leave each barrier at the same moment.
    std::atomic<int> arrivals{0};
    auto barrier = [&arrivals](int &passed) {
        passed += 2;
        arrivals.fetch_add(1);
        while (arrivals.load() < passed) {
        }
    };
    std::atomic<int> failures{0};
    int cuts = 0;
    auto opener = [&](UINT64 size) {
        int passed = 0;
        for (int round = 0; round < kRounds; round++) {
            barrier(passed);
            MosShm shm;
            if (mosShmUmt_Create(&shm, name.c_str(), size, TRUE, FALSE) != MOS_RC__SUCCESS)
                failures++;
            else
                mosShm_Close(&shm);
            barrier(passed);
            if (size == kLarge) {
                cuts += systemSize() < static_cast<long long>(kLarge);
                shm_unlink(name.c_str());
            }
            barrier(passed);
        }
    };
    std::thread small(opener, kSmall);
    std::thread large(opener, kLarge);
    small.join();
    large.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(cuts, 0) << "rounds in which the segment ended smaller than the larger opener asked";
}

TEST_F(ShmTest, FailedOpenRemovesOnlyWhatItCreated)
{
    // Exclusive creation of an existing name fails and leaves the persisted segment alone.
    persist(4096, "keep me", 0);
    MosShm shm;
    EXPECT_EQ(mosShmUmt_Create(&shm, name.c_str(), 4096, TRUE, TRUE), MOS_RC__ERROR);
    EXPECT_EQ(shm.shmFD, -1);
    EXPECT_EQ(systemSize(), 4096);

    // A reopen that fails after opening (the size cannot be set) must not delete it either.
    EXPECT_EQ(mosShmUmt_Create(&shm, name.c_str(), UINT64{1} << 63, FALSE, FALSE), MOS_RC__ERROR);
    EXPECT_EQ(mosShmUmt_Create(&shm, name.c_str(), UINT64{1} << 63, TRUE, FALSE), MOS_RC__ERROR);
    EXPECT_EQ(shm.shmFD, -1);
    ASSERT_EQ(mosShmUmt_Create(&shm, name.c_str(), 0, FALSE, FALSE), MOS_RC__SUCCESS);
    ASSERT_EQ(mosShm_Map(&shm, FALSE), MOS_RC__SUCCESS);
    EXPECT_EQ(readAt(shm, 0), "keep me");
    mosShmUmt_Destroy(&shm);

    // The same failure on a segment this call created removes it.
    EXPECT_EQ(mosShmUmt_Create(&shm, name.c_str(), UINT64{1} << 63, TRUE, FALSE), MOS_RC__ERROR);
    EXPECT_EQ(systemSize(), -1);
    // Opening a name that does not exist fails and creates nothing.
    EXPECT_EQ(mosShmUmt_Create(&shm, name.c_str(), 0, FALSE, FALSE), MOS_RC__ERROR);
    EXPECT_EQ(systemSize(), -1);
}

// A segment left empty (its creator died before sizing it) has no size to open it at: the open
// fails with a code instead of handing out a record that cannot be mapped.
TEST_F(ShmTest, OpeningAnEmptySegmentAtItsOwnSizeFails)
{
    const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    MosShm shm;
    EXPECT_EQ(mosShmUmt_Create(&shm, name.c_str(), 0, FALSE, FALSE), MOS_RC__ERROR);
    EXPECT_EQ(shm.shmFD, -1);
    EXPECT_EQ(shm.pMem, nullptr);

    // Given a size, the same segment opens and grows to it.
    ASSERT_EQ(mosShmUmt_Create(&shm, name.c_str(), 4096, FALSE, FALSE), MOS_RC__SUCCESS);
    ASSERT_EQ(mosShm_Map(&shm, FALSE), MOS_RC__SUCCESS);
    mosShmUmt_Destroy(&shm);
}

TEST_F(ShmTest, DestroyRemovesTheName)
{
    MosShm shm;
    ASSERT_EQ(mosShmUmt_Create(&shm, name.c_str(), 4096, TRUE, FALSE), MOS_RC__SUCCESS);
    ASSERT_EQ(mosShm_Map(&shm, TRUE), MOS_RC__SUCCESS);
    static_cast<char *>(shm.pMem)[0] = 'x';
    mosShmUmt_Destroy(&shm);
    EXPECT_EQ(shm.pName, nullptr);
    EXPECT_EQ(shm.shmFD, -1);
    EXPECT_EQ(shm.pMem, nullptr);
    EXPECT_EQ(systemSize(), -1);
}

TEST_F(ShmTest, SizesBeyond4GiBAreKept)
{
    // Sparse: nothing but the last page is ever touched.
    const UINT64 size = (UINT64{5} << 30) + 4096;
    MosShm shm;
    ASSERT_EQ(mosShmUmt_Create(&shm, name.c_str(), size, TRUE, TRUE), MOS_RC__SUCCESS);
    EXPECT_EQ(shm.memSize, size);
    EXPECT_EQ(systemSize(), static_cast<long long>(size));
    ASSERT_EQ(mosShm_Map(&shm, FALSE), MOS_RC__SUCCESS);
    static_cast<char *>(shm.pMem)[size - 1] = 'z';
    mosShm_Close(&shm);

    ASSERT_EQ(mosShmUmt_Create(&shm, name.c_str(), 0, FALSE, FALSE), MOS_RC__SUCCESS);
    EXPECT_EQ(shm.memSize, size);
    ASSERT_EQ(mosShm_Map(&shm, FALSE), MOS_RC__SUCCESS);
    EXPECT_EQ(static_cast<char *>(shm.pMem)[size - 1], 'z');
    mosShmUmt_Destroy(&shm);
}

TEST_F(ShmTest, MisusePanics)
{
    EXPECT_PANIC({
            MosShm shm;
            mosShmUmt_Create(&shm, name.c_str(), 4096, TRUE, FALSE);
            shm_unlink(name.c_str()); // the dying child cannot clean up after itself
            mosShm_Map(&shm, FALSE);
            mosShm_Map(&shm, FALSE);
        }, "");
    EXPECT_PANIC({
            MosShm shm;
            mosShmUmt_Create(&shm, name.c_str(), 0, TRUE, FALSE);
        }, "");
    EXPECT_PANIC({
            MosShm shm;
            mosShmUmt_Create(&shm, name.c_str(), 4096, TRUE, FALSE);
            shm_unlink(name.c_str());
            mosShm_Unmap(&shm);
        }, "");
}
