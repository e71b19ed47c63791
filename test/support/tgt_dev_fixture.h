// A device file for tests of the physical layer's metadata: a sparse file on the scratch disk,
// opened through the asynchronous-I/O seam that passes every transfer to the file and lets a
// test log, fail or count the writes, with a scheduler to run the layer's user-mode threads.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

#include "mos/umt/mos_umt_sched_thrd.h"
#include "test/support/fake_aio_backend.h"
#include "test/support/tgt_test_support.h"
#include "tgt/file/file.h"
#include "tgt/phy/stmp.h"

class TgtDevFixture {
  public:
    struct Logged {
        UINT64 offset;
        std::vector<UINT8> data;
    };

    // Opens `name` (created sparse at `bytes` when missing).
    void open(const std::string &name, UINT64 bytes)
    {
        path = tgtTest_MakeSparseFile(dir, name, bytes);
        openPath(path);
    }
    void openPath(const std::string &p)
    {
        ASSERT_EQ(mosUmtSchedThrd_Create(&sched, "dev", 4, 4, 8), MOS_RC__SUCCESS);
        stmp_Init(&stmp_g, (UINT32)tgtInitParam_G.stmpMemorySizeInLbs);
        fake.setPassThrough(true);
        fake.setAutoComplete(true);
        fake.setResultFunc([this](const FakeAioBackend::Seen &seen, size_t) { return onTransfer(seen); });
        ASSERT_EQ(mosAsyncIO_CreateWithBackend(&aio, 64, 2, TRUE, fake.ops()), MOS_RC__SUCCESS);
        file_Init(&file, nullptr, nullptr);
        Mos_RC rc = MOS_RC__ERROR;
        run([&] { rc = file_Open(&file, p.c_str(), &aio); });
        ASSERT_EQ(rc, MOS_RC__SUCCESS);
        bOpen = true;
    }
    void close()
    {
        if (!bOpen)
            return;
        run([&] { file_Close(&file); });
        file_Destroy(&file);
        EXPECT_TRUE(umtTest_WaitFor([&] { return aio.files.counter == 0; }));
        mosAsyncIO_Destroy(&aio);
        mosUmtSchedThrd_Destroy(&sched);
        stmp_Destroy(&stmp_g);
        bOpen = false;
    }
    ~TgtDevFixture() { close(); }

    void run(const std::function<void()> &fn) { umtTest_RunAsUmt(fn, &sched.base); }

    // Writes from here on fail (EIO) while it is set.
    void failWrites(bool bFail) { bFailWrites = bFail; }
    // The next `count` reads that touch byte range [offset, offset + len) fail (EIO).
    void failReads(UINT64 offset, UINT64 len, int count)
    {
        std::lock_guard<std::mutex> g(m);
        failReadFrom = offset;
        failReadLen = len;
        failReadCount = count;
    }
    void logWrites(bool bOn) { bLog = bOn; }
    size_t writes()
    {
        std::lock_guard<std::mutex> g(m);
        return numWrites;
    }
    std::vector<Logged> log()
    {
        std::lock_guard<std::mutex> g(m);
        return logged;
    }
    std::vector<FakeAioBackend::Seen> writesSince(size_t from)
    {
        std::vector<FakeAioBackend::Seen> out;
        for (auto &s : fake.taken())
            if (s.bWrite)
                out.push_back(s);
        out.erase(out.begin(), out.begin() + (long)std::min(from, out.size()));
        return out;
    }

    ScratchDir dir;
    std::string path;
    MosUmt_SchedThrd sched;
    FakeAioBackend fake;
    MosAsyncIO aio;
    File file;

  private:
    long onTransfer(const FakeAioBackend::Seen &seen)
    {
        if (!seen.bWrite) {
            std::lock_guard<std::mutex> g(m);
            if (failReadCount > 0 && seen.offset < failReadFrom + failReadLen && failReadFrom < seen.offset + seen.size) {
                failReadCount--;
                return -EIO;
            }
            return FakeAioBackend::kFull;
        }
        if (bFailWrites)
            return -EIO;
        std::lock_guard<std::mutex> g(m);
        numWrites++;
        if (bLog) {
            const UINT8 *p = static_cast<const UINT8 *>(seen.pIocb->u.c.buf);
            logged.push_back({seen.offset, std::vector<UINT8>(p, p + seen.size)});
        }
        return FakeAioBackend::kFull;
    }
    bool bOpen = false;
    std::atomic<bool> bFailWrites{false};
    std::atomic<bool> bLog{false};
    std::mutex m;
    size_t numWrites = 0;
    UINT64 failReadFrom = 0, failReadLen = 0;
    int failReadCount = 0;
    std::vector<Logged> logged;
};
