#include <gtest/gtest.h>

#include <sys/stat.h>

#include "mos/mos_osthrd.h"
#include "mos/mos_utils.h"
#include "mos/umt/mos_umt_blocking.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "mos/usr/mos_io.h"
#include "test/support/scratch_dir.h"
#include "test/support/umt_test_support.h"
#include "mos/mos_utils_file.h"

namespace {
::testing::Environment *const umtEnv_G = ::testing::AddGlobalTestEnvironment(new UmtRuntimeEnv);

struct UmtBlocking : ::testing::Test {
    void SetUp() override { ASSERT_EQ(mosUmtSchedThrd_Create(&sched, "blocking calls", 1, 1, 4), MOS_RC__SUCCESS); }
    void TearDown() override { mosUmtSchedThrd_Destroy(&sched); }
    MosUmt_SchedThrd sched;
};

struct Work {
    UINT32 tid = 0;
    int result = 0;
};

int recordThread(void *pContext)
{
    Work *pWork = static_cast<Work *>(pContext);
    pWork->tid = mosOsThrd_GetCurThrdID();
    return pWork->result;
}
} // namespace

TEST_F(UmtBlocking, CallRunsOnAServiceThreadAndItsResultComesBack)
{
    Work work;
    work.result = 42;
    UINT32 umtTid = 0;
    int result = 0;
    umtTest_RunAsUmt(
        [&] {
            umtTid = mosOsThrd_GetCurThrdID();
            result = mosUmtBlocking_Submit(nullptr, recordThread, &work);
        },
        &sched.base);
    EXPECT_EQ(result, 42);
    EXPECT_NE(work.tid, 0u);
    EXPECT_NE(work.tid, umtTid);

    // A plain OS thread runs the call in place.
    work.tid = 0;
    EXPECT_EQ(mosUtils_RunBlocking(recordThread, &work), 42);
    EXPECT_EQ(work.tid, mosOsThrd_GetCurThrdID());
}

TEST_F(UmtBlocking, DirectoryAndFlushFromAUserModeThread)
{
    ScratchDir dir;
    std::string sub = dir.file("sub");
    Mos_RC createRc = MOS_RC__ILLEGAL, againRc = MOS_RC__ILLEGAL, flushRc = MOS_RC__ILLEGAL;
    Work work;
    umtTest_RunAsUmt(
        [&] {
            createRc = mos_CreateDirectory(sub.c_str());
            againRc = mos_CreateDirectory(sub.c_str());
            MosIO io;
            if (mosIO_open(&io, (sub + "/f").c_str(), TRUE, FALSE) == MOS_RC__SUCCESS) {
                flushRc = mosIO_flush(&io);
                mosIO_close(&io);
            }
            // The run-in-place path is not taken on a user-mode thread.
            mosUtils_RunBlocking(recordThread, &work);
            EXPECT_NE(work.tid, mosOsThrd_GetCurThrdID());
        },
        &sched.base);
    EXPECT_EQ(createRc, MOS_RC__SUCCESS);
    EXPECT_EQ(againRc, MOS_RC__ALREADY_EXISTS);
    EXPECT_EQ(flushRc, MOS_RC__SUCCESS);
    struct stat st;
    ASSERT_EQ(stat(sub.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
}
