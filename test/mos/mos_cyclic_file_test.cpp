#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "mos/mos_cyclic_file.h"
#include "test/support/diag_support.h"

using diagtest::fileExists;
using diagtest::fileParams;
using diagtest::readFile;
using diagtest::splitLines;

namespace {

struct CyclicFile : ::testing::Test {
    diagtest::RuntimeBase runtime;
    diagtest::ScratchDir dir;
    MosCyclicFile file{};
    bool bOpen = false;

    void open(const MosCyclicFile_InitParams &params)
    {
        ASSERT_EQ(mosCyclicFile_Create(&file, &params), MOS_RC__SUCCESS);
        bOpen = true;
    }
    void close()
    {
        if (bOpen)
            mosCyclicFile_Destroy(&file);
        bOpen = false;
    }
    void TearDown() override { close(); }
    std::string gen(int g) const { return dir.file("trc." + std::to_string(g)); }
};

const std::regex kStamp("^\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{6} ");

// Each write of a 40-byte line to a file limited to 100 bytes: the third write crosses the limit.
TEST_F(CyclicFile, RotationShiftsGenerationsAndDropsTheOldest)
{
    struct Case {
        UINT32 history;
        UINT32 expectGenerations;
    };
    for (Case c : {Case{5, 5}, Case{1, 1}, Case{0, 1}}) {
        SCOPED_TRACE(c.history);
        diagtest::ScratchDir caseDir;
        MosCyclicFile_InitParams params = fileParams(caseDir.path(), "trc", false, c.history, 100);
        MosCyclicFile f{};
        ASSERT_EQ(mosCyclicFile_Create(&f, &params), MOS_RC__SUCCESS);
        // 8 rotations, each after three lines; line n carries its rotation number n / 3.
        for (int n = 0; n < 24; n++)
            mosCyclicFile_WriteFormattedSyncVariadic(&f, TRUE, FALSE, TRUE, "rotation %02d line %02d %s\n", n / 3, n,
                                                     "...................");
        mosCyclicFile_Destroy(&f);
        for (UINT32 g = 0; g < c.expectGenerations; g++)
            ASSERT_TRUE(fileExists(caseDir.file("trc." + std::to_string(g)))) << g;
        EXPECT_FALSE(fileExists(caseDir.file("trc." + std::to_string(c.expectGenerations))));
        // The newest rotation left generation 0 empty; generation g holds rotation 8 - g.
        EXPECT_EQ(readFile(caseDir.file("trc.0")), "");
        for (UINT32 g = 1; g < c.expectGenerations; g++) {
            char want[32];
            snprintf(want, sizeof(want), "rotation %02u line", 8 - g);
            std::string text = readFile(caseDir.file("trc." + std::to_string(g)));
            EXPECT_EQ(splitLines(text).size(), 3u) << g;
            EXPECT_NE(text.find(want), std::string::npos) << g << ": " << text;
        }
    }
}

// One dump pass carries far more than a generation may hold: it rotates whenever the limit is
// reached, after a whole line, so every generation stays within a line of its limit and the
// newest lines are in generation 0, following on from those in generation 1.
TEST_F(CyclicFile, AsyncDumpRotatesWithinAPass)
{
    constexpr UINT32 kLimit = 1024;
    constexpr int kHistory = 4;
    constexpr int kLines = 2000;
    open(fileParams(dir.path(), "trc", true, kHistory, kLimit, 1 << 20));
    for (int n = 0; n < kLines; n++)
        mosCyclicFile_WriteFormatted(&file, TRUE, TRUE, FALSE, nullptr, "line %05d %s\n", n,
                                     std::string(n % 90, '.').c_str());
    mosCyclicFile_DumpAllNow(&file, 0);
    close();
    int expect = -1;
    for (int g = kHistory - 1; g >= 0; g--) {
        std::string text = readFile(gen(g));
        EXPECT_LT(text.size(), kLimit + MOS_CYCLIC_FILE__SLICE_SIZE) << g;
        ASSERT_FALSE(text.empty()) << g;
        EXPECT_EQ(text.back(), '\n') << g;
        for (const std::string &l : splitLines(text)) {
            int n = std::stoi(l.substr(MOS_CYCLIC_FILE__TIME_STAMP_SIZE + 5, 5));
            if (expect >= 0) {
                EXPECT_EQ(n, expect) << g;
            }
            expect = n + 1;
        }
    }
    EXPECT_EQ(expect, kLines);
}

TEST_F(CyclicFile, AFileAlreadyAtItsLimitRotatesWhenOpened)
{
    {
        FILE *p = fopen(gen(0).c_str(), "w");
        ASSERT_NE(p, nullptr);
        fputs(std::string(200, 'x').c_str(), p);
        fclose(p);
    }
    open(fileParams(dir.path(), "trc", false, 3, 100));
    EXPECT_EQ(readFile(gen(0)), "");
    EXPECT_EQ(readFile(gen(1)), std::string(200, 'x'));
}

TEST_F(CyclicFile, BadNamesAreRefused)
{
    MosCyclicFile_InitParams longPrefix = fileParams(dir.path(), "a-prefix-of-thirty-three-letters!", false, 1, 100);
    EXPECT_EQ(mosCyclicFile_Create(&file, &longPrefix), MOS_RC__NO_RESOURCES);
    std::string longDir = "/" + std::string(250, 'd');
    MosCyclicFile_InitParams tooLong = fileParams(longDir, "trc", false, 1, 100);
    EXPECT_EQ(mosCyclicFile_Create(&file, &tooLong), MOS_RC__NO_RESOURCES);
    std::string missingDir = dir.file("no-such-dir");
    MosCyclicFile_InitParams missing = fileParams(missingDir, "trc", false, 1, 100);
    EXPECT_EQ(mosCyclicFile_Create(&file, &missing), MOS_RC__ERROR);
}

// A rotation whose reopen fails (the directory is gone) must not end the file's output for good.
TEST_F(CyclicFile, FailedReopenIsRetried)
{
    std::string sub = dir.file("logs");
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    MosCyclicFile_InitParams params = fileParams(sub, "trc", false, 2, 60);
    open(params);
    mosCyclicFile_WriteFormattedSyncVariadic(&file, TRUE, FALSE, TRUE, "first line\n");
    diagtest::removeTree(sub);
    mosCyclicFile_WriteFormattedSyncVariadic(&file, TRUE, FALSE, TRUE, "%s\n", std::string(80, 'r').c_str());
    mosCyclicFile_WriteFormattedSyncVariadic(&file, TRUE, FALSE, TRUE, "lost while the directory is missing\n");
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    mosCyclicFile_WriteFormattedSyncVariadic(&file, TRUE, FALSE, TRUE, "back again\n");
    close();
    EXPECT_EQ(readFile(sub + "/trc.0"), "back again\n");
}

TEST_F(CyclicFile, AsyncLineCarriesTimeStampAndLongLineIsCutToOneSlice)
{
    open(fileParams(dir.path(), "trc", true, 2, 1 << 20));
    std::string longText(600, 'x');
    mosCyclicFile_WriteFormatted(&file, TRUE, TRUE, FALSE, nullptr, "short %d\n", 7);
    mosCyclicFile_WriteFormatted(&file, TRUE, TRUE, FALSE, nullptr, "%s\n", longText.c_str());
    mosCyclicFile_DumpAllNow(&file, 0);
    std::string text = readFile(gen(0));
    std::vector<std::string> lines = splitLines(text);
    ASSERT_EQ(lines.size(), 2u) << text;
    EXPECT_TRUE(std::regex_search(lines[0], kStamp)) << lines[0];
    EXPECT_EQ(lines[0].substr(MOS_CYCLIC_FILE__TIME_STAMP_SIZE), "short 7");
    // 22 bytes of stamp and 489 of text, then the forced newline: 512 in all.
    EXPECT_EQ(lines[1].size() + 1, MOS_CYCLIC_FILE__SLICE_SIZE);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.size(), lines[0].size() + 1 + MOS_CYCLIC_FILE__SLICE_SIZE);
}

TEST_F(CyclicFile, FullRingCountsLostLinesAndReportsThem)
{
    // Four slices fit a 2048-byte ring; the dump thread's period is far away.
    open(fileParams(dir.path(), "trc", true, 2, 1 << 20, 2048));
    std::string longText(600, 'y');
    // The writer wakes the dump thread when the ring fills, so on a busy machine a few slices may
    // be written out mid-loop; 200 lines keep the ring overflowing whatever the timing.
    constexpr size_t kLines = 200;
    for (size_t i = 0; i < kLines; i++)
        mosCyclicFile_WriteFormatted(&file, FALSE, TRUE, FALSE, nullptr, "%d%s\n", (int)(i % 10), longText.c_str());
    mosCyclicFile_DumpAllNow(&file, 0);
    std::vector<std::string> lines = splitLines(readFile(gen(0)));
    size_t kept = 0;
    int skipped = 0;
    for (const std::string &l : lines) {
        std::smatch m;
        static const std::regex kSkipped("^.{22}-----Skipped (\\d+) traces-----$");
        if (std::regex_match(l, m, kSkipped))
            skipped += std::stoi(m[1]);
        else if (l.size() == MOS_CYCLIC_FILE__SLICE_SIZE - 1)
            kept++;
        else
            ADD_FAILURE() << "unexpected line: " << l;
    }
    EXPECT_GE(kept, 4u);
    ASSERT_GT(skipped, 0);
    EXPECT_EQ(kept + (size_t)skipped, kLines);
}

TEST_F(CyclicFile, WrappedRingMarksItsUnusedTail)
{
    open(fileParams(dir.path(), "trc", true, 2, 1 << 20, 2048));
    std::string longText(600, 'z');
    // Three full slices and a 301-byte line, written out: the ring's start moves to 1837.
    for (int i = 0; i < 3; i++)
        mosCyclicFile_WriteFormatted(&file, FALSE, TRUE, FALSE, nullptr, "%s\n", longText.c_str());
    mosCyclicFile_WriteFormatted(&file, FALSE, TRUE, FALSE, nullptr, "%0300d\n", 0);
    mosCyclicFile_DumpAllNow(&file, 0);
    // Only 211 bytes remain before the ring's end: the next slice wraps and the tail is marked.
    mosCyclicFile_WriteFormatted(&file, FALSE, TRUE, FALSE, nullptr, "after the wrap\n");
    mosCyclicFile_DumpAllNow(&file, 0);
    std::vector<std::string> lines = splitLines(readFile(gen(0)));
    ASSERT_GE(lines.size(), 7u);
    EXPECT_EQ(lines[3], std::string(300, '0'));
    EXPECT_EQ(lines[4], "");
    const std::string marker = "***********************************Skipped 211 bytes due to wrapping"
                               "***********************************";
    // The tail is the marker, asterisks up to the ring's last byte, and a newline there.
    EXPECT_EQ(lines[5], marker + std::string(211 - 2 - marker.size(), '*'));
    EXPECT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines.back(), "after the wrap");
}

// Writers on several threads while the dump thread runs often and the ring wraps: every line
// arrives whole or is counted as lost, and nothing else lands in the file but wrap fillers.
TEST_F(CyclicFile, ConcurrentWritersKeepLinesWhole)
{
    open(fileParams(dir.path(), "trc", true, 2, 1 << 30, 16384, 100, 10));
    constexpr int kThreads = 4;
    constexpr int kLines = 3000;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; t++)
        writers.emplace_back([this, t] {
            for (int i = 0; i < kLines; i++) {
                mosCyclicFile_WriteFormatted(&file, TRUE, TRUE, FALSE, nullptr, "T%d:%05d %0*d\n", t, i, 20 + i % 90,
                                             0);
                // Frequent dumps keep the ring moving so that it wraps many times.
                if (t == 0 && i % 50 == 0)
                    mosCyclicFile_DumpAllNow(&file, 0);
            }
        });
    for (std::thread &w : writers)
        w.join();
    close();
    static const std::regex kLine("^T(\\d):(\\d{5}) 0+$");
    static const std::regex kSkipped("^-----Skipped (\\d+) traces-----$");
    size_t kept = 0;
    size_t lost = 0;
    size_t wraps = 0;
    for (const std::string &l : splitLines(readFile(gen(0)))) {
        // The filler of a wrapped ring's tail starts with asterisks; real lines with their stamp.
        if (l.empty() || l[0] == '*') {
            wraps += l.find("due to wrapping") != std::string::npos;
            continue;
        }
        ASSERT_TRUE(std::regex_search(l, kStamp)) << l;
        std::string body = l.substr(MOS_CYCLIC_FILE__TIME_STAMP_SIZE);
        std::smatch m;
        if (std::regex_match(body, m, kSkipped))
            lost += std::stoul(m[1]);
        else if (std::regex_match(body, m, kLine))
            kept++;
        else
            ADD_FAILURE() << "damaged line: " << l;
    }
    EXPECT_EQ(kept + lost, (size_t)kThreads * kLines);
    EXPECT_GT(kept, 0u);
    RecordProperty("wraps", (int)wraps);
}

// A caller whose wait for a dump timed out while the dump thread was still on the disk, and who
// then writes a line and asks again, must not be released by that old pass: the new line is not
// in it. Generation 0 is a pipe, so the test decides when the dump thread's write can finish.
TEST_F(CyclicFile, TimedOutDumpWaitDoesNotReleaseTheNextWait)
{
    ASSERT_EQ(mkfifo(gen(0).c_str(), 0600), 0);
    int readFd = ::open(gen(0).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(readFd, 0);
    open(fileParams(dir.path(), "trc", true, 2, 1 << 30, 1 << 20));
    // Far more than a pipe holds: the dump thread blocks in its write until the reader drains.
    std::string text(400, 'x');
    for (int i = 0; i < 1000; i++)
        mosCyclicFile_WriteFormatted(&file, FALSE, TRUE, FALSE, nullptr, "%s\n", text.c_str());
    mosCyclicFile_DumpAllNow(&file, 200); // times out: the pass is stuck on the full pipe
    mosCyclicFile_WriteFormatted(&file, FALSE, TRUE, FALSE, nullptr, "LATE LINE\n");

    std::string received;
    std::atomic<bool> bStop{false};
    std::thread reader([&] {
        // Leave the second request time to register while the old pass is still stuck.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        char buf[65536];
        while (!bStop.load()) {
            pollfd pfd = {readFd, POLLIN, 0};
            if (poll(&pfd, 1, 20) <= 0)
                continue;
            ssize_t n = read(readFd, buf, sizeof(buf));
            if (n > 0)
                received.append(buf, (size_t)n);
        }
    });
    mosCyclicFile_DumpAllNow(&file, 60000);
    bStop = true;
    reader.join();
    char buf[65536];
    for (ssize_t n; (n = read(readFd, buf, sizeof(buf))) > 0;)
        received.append(buf, (size_t)n);
    EXPECT_NE(received.find("LATE LINE\n"), std::string::npos) << received.size() << " bytes received";
    close();
    ::close(readFd);
}

// Writers that are still at work while their file is destroyed must find it closed, not write
// into its freed ring or closed stream.
TEST_F(CyclicFile, DestroyWhileWritersRunIsSafe)
{
    for (bool bAsync : {true, false}) {
        SCOPED_TRACE(bAsync);
        for (int round = 0; round < 20; round++) {
            diagtest::ScratchDir roundDir;
            MosCyclicFile f{};
            MosCyclicFile_InitParams params = fileParams(roundDir.path(), "trc", bAsync, 2, 1 << 30, 1 << 20);
            ASSERT_EQ(mosCyclicFile_Create(&f, &params), MOS_RC__SUCCESS);
            std::atomic<int> started{0};
            std::atomic<bool> bStop{false};
            std::vector<std::thread> writers;
            for (int t = 0; t < 4; t++)
                writers.emplace_back([&] {
                    started++;
                    while (!bStop.load())
                        mosCyclicFile_WriteFormatted(&f, FALSE, TRUE, FALSE, nullptr, "%0100d\n", 0);
                });
            while (started.load() < 4)
                std::this_thread::yield();
            mosCyclicFile_Destroy(&f);
            bStop = true;
            for (std::thread &w : writers)
                w.join();
        }
    }
}

TEST_F(CyclicFile, RawWritesGoThroughTheRing)
{
    open(fileParams(dir.path(), "trc", true, 2, 1 << 20));
    const char raw[] = "raw bytes\n";
    mosCyclicFile_WriteRaw(&file, raw, sizeof(raw) - 1, TRUE, TRUE);
    mosCyclicFile_WriteRaw(&file, raw, sizeof(raw) - 1, FALSE, TRUE);
    mosCyclicFile_DumpAllNow(&file, 0);
    std::vector<std::string> lines = splitLines(readFile(gen(0)));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(std::regex_search(lines[0], kStamp));
    EXPECT_EQ(lines[1], "raw bytes");
}

TEST_F(CyclicFile, BlockedOutputReachesNoFile)
{
    MosCyclicFile syncFile{};
    MosCyclicFile_InitParams syncParams = fileParams(dir.path(), "exp", false, 2, 1 << 20);
    ASSERT_EQ(mosCyclicFile_Create(&syncFile, &syncParams), MOS_RC__SUCCESS);
    open(fileParams(dir.path(), "trc", true, 2, 1 << 20));
    mosCyclicFile_BlockAllIO();
    EXPECT_TRUE(mosCyclicFile_IsIOBlocked());
    mosCyclicFile_WriteFormatted(&file, TRUE, TRUE, FALSE, nullptr, "async after block\n");
    mosCyclicFile_WriteFormatted(&syncFile, TRUE, TRUE, FALSE, nullptr, "sync after block\n");
    mosCyclicFile_DumpAllNow(&file, 0);
    close();
    mosCyclicFile_Destroy(&syncFile);
    EXPECT_EQ(readFile(gen(0)), "");
    EXPECT_EQ(readFile(dir.file("exp.0")), "");
}

} // namespace
