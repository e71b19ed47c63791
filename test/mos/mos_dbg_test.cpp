#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#if PELLAR_SANITIZE
#include <sanitizer/asan_interface.h>
#endif

#include <atomic>
#include <csignal>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "mos/mos_dbg.h"
#include "mos/mos_osthrd.h"
#include "mos/mos_service.h"
#include "mos/mos_ticks.h"
#include "mos/mos_trace.h"
#include "test/support/diag_support.h"
#include "mos/mos_trace_layer.h"

using diagtest::ChildResult;
using diagtest::readFile;
using diagtest::runInChild;
using diagtest::splitLines;

namespace {

struct Options {
    bool bExpFile = true;
    bool bBacktrace = true;
    bool bDump = false;
    UINT64 coreMinDiskSpaceBytes = 0;
    UINT32 traceRingBytes = 0; // 0: the default ring
};

// Everything the panic path stands on, as start-up brings it up; runs in the child process.
void startRuntime(const std::string &dir, const Options &o = Options())
{
    MosTicks_InitParams ticks{};
    mosTicks_Init(&ticks);
    mosOsThrdLayer_Create(nullptr);
    mosCyclicFileLayer_Create();
    MosDbg_InitParams dbg{};
    dbg.fileInfo = diagtest::fileParams(dir, "exp", false, 5, 1 << 20);
    dbg.fileInfo.bUseFile = o.bExpFile ? TRUE : FALSE;
    dbg.bEnableBacktrace = o.bBacktrace ? TRUE : FALSE;
    dbg.bEnableDump = o.bDump ? TRUE : FALSE;
    dbg.coreMinDiskSpaceBytes = o.coreMinDiskSpaceBytes;
    dbg.bDumpTraces = TRUE;
    dbg.milliToDumpTraces = 2000;
    dbg.doubleExpWaitSec = 1;
    ASSERT_EQ(mosDbgLayer_Create(&dbg), MOS_RC__SUCCESS);
    if (o.bExpFile) {
        MosTrc_InitParams trc{};
        trc.traceFileParams = diagtest::fileParams(dir, "trc", true, 5, 1 << 20, o.traceRingBytes, 1000, 10);
        ASSERT_EQ(mosTrcLayer_Create(&trc), MOS_RC__SUCCESS);
    }
}

std::atomic<UINT32> otherTid_G{0};

// A runtime thread that sits still; its tid is printed so that the test can find its trace.
void startIdleThread()
{
    static MosOsThrd other;
    mosOsThrd_CreateNamed(
        &other,
        [](void *) {
            otherTid_G = mosOsThrd_GetCurThrdID();
            for (;;)
                pause();
        },
        nullptr, "idle");
    while (otherTid_G == 0)
        sched_yield();
    printf("other %u\n", otherTid_G.load());
    fflush(stdout);
}

size_t countLines(const std::vector<std::string> &lines, const std::string &needle)
{
    size_t n = 0;
    for (const std::string &l : lines)
        n += l.find(needle) != std::string::npos;
    return n;
}

size_t findLine(const std::vector<std::string> &lines, const std::string &needle)
{
    for (size_t i = 0; i < lines.size(); i++)
        if (lines[i].find(needle) != std::string::npos)
            return i;
    return lines.size();
}

const std::regex kStamped("^\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{6} .*");

TEST(Panic, ReportHoldsExpressionOwnFramesAndOtherThreads)
{
    diagtest::ScratchDir dir;
    ChildResult r = runInChild([&] {
        startRuntime(dir.path());
        startIdleThread();
        MOS_ASSERT_WITH_DESC(1 + 1 == 3, "arithmetic broke");
    });
    ASSERT_EQ(r.exitCode, 255) << r.out << r.err;
    std::string other = r.out.substr(6, r.out.find('\n') - 6);
    std::vector<std::string> exp = splitLines(readFile(dir.file("exp.0")));
    size_t panicAt = findLine(exp, "Panic in file ");
    ASSERT_LT(panicAt, exp.size()) << readFile(dir.file("exp.0"));
    EXPECT_TRUE(std::regex_match(
        exp[panicAt], std::regex(".{22}Panic in file .*mos_dbg_test\\.cpp, line \\d+, function operator\\(\\), PID "
                                 "\\d+\\.Panic Expression 1 \\+ 1 == 3 arithmetic broke\\.")))
        << exp[panicAt];
    EXPECT_EQ(countLines(exp, "Panic in file "), 1u);
    // The panicking thread's own frames follow, without time stamps.
    ASSERT_GT(exp.size(), panicAt + 1);
    EXPECT_NE(exp[panicAt + 1].find("[0x"), std::string::npos) << exp[panicAt + 1];
    EXPECT_FALSE(std::regex_match(exp[panicAt + 1], kStamped));

    size_t start = findLine(exp, "************************** BACKTRACES START *****************************");
    size_t title = findLine(exp, "----------========== Backtrace of thread " + other + " ==========----------");
    size_t end = findLine(exp, "************************** BACKTRACES END *******************************");
    ASSERT_LT(end, exp.size());
    EXPECT_LT(start, title);
    EXPECT_LT(title + 1, end);
    EXPECT_NE(exp[title + 1].find("[0x"), std::string::npos) << exp[title + 1];
    EXPECT_TRUE(std::regex_match(exp[start], kStamped));

    std::string trc = readFile(dir.file("trc.0"));
    EXPECT_NE(trc.find("---Panic in file "), std::string::npos) << trc;
    EXPECT_NE(trc.find("Panic Expression 1 + 1 == 3 arithmetic broke.---\n"), std::string::npos);
}

TEST(Panic, WithoutExceptionFileGoesToStandardOutputAndError)
{
    diagtest::ScratchDir dir;
    Options o;
    o.bExpFile = false;
    o.bBacktrace = false;
    ChildResult r = runInChild([&] {
        startRuntime(dir.path(), o);
        MOS_PANIC("the expression", "the description");
    });
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_TRUE(std::regex_search(r.out, std::regex("^Panic in file .*mos_dbg_test\\.cpp, line \\d+, function "
                                                    "operator\\(\\), PID \\d+\\.Panic Expression the expression the "
                                                    "description\\.\n")))
        << r.out;
    EXPECT_NE(r.err.find("[0x"), std::string::npos) << r.err;
    EXPECT_FALSE(diagtest::fileExists(dir.file("exp.0")));
}

TEST(Panic, PlannedCrashesExitWith254AndNoBackTraces)
{
    struct Case {
        const char *name;
        void (*crash)();
        const char *trcLine;
        const char *expLine;
    } cases[] = {
        {"with a reason", [] { mosDbg_PlannedCrashModuleWithDesc("disk gone"); },
         "---Planned crash, reason: disk gone ---", nullptr},
        {"from a counter",
         [] {
             UINT32 counter = 0;
             for (int i = 0; i < 10; i++)
                 MOS_DBG_INC_OR_CRASH(counter, TRUE, 3);
         },
         nullptr, "function operator() Counter=3."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        diagtest::ScratchDir dir;
        ChildResult r = runInChild([&] {
            startRuntime(dir.path());
            c.crash();
        });
        EXPECT_EQ(r.exitCode, 254) << r.out << r.err;
        std::string exp = readFile(dir.file("exp.0"));
        EXPECT_EQ(exp.find("BACKTRACES"), std::string::npos) << exp;
        if (c.trcLine != nullptr) {
            EXPECT_NE(readFile(dir.file("trc.0")).find(c.trcLine), std::string::npos);
        }
        if (c.expLine != nullptr) {
            EXPECT_NE(exp.find("mosDbg_CrashModule called from file "), std::string::npos) << exp;
            EXPECT_NE(exp.find(c.expLine), std::string::npos) << exp;
        }
    }
}

// The stop callback runs on an ordinary thread (it takes locks), once, before the termination
// line; no back traces follow and the status is 255.
TEST(Signals, TermRunsStopCallbackOnceThenReportsAndExits)
{
    diagtest::ScratchDir dir;
    ChildResult r = runInChild([&] {
        startRuntime(dir.path());
        mosService_Start(
            [] {
                kill(getpid(), SIGTERM);
                kill(getpid(), SIGTERM);
            },
            [] {
                static int calls = 0;
                stack_t st{};
                sigaltstack(nullptr, &st);
                printf("stop %d onstack=%d\n", ++calls, (st.ss_flags & SS_ONSTACK) ? 1 : 0);
                fflush(stdout);
                MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "stop callback ran");
            });
    });
    EXPECT_EQ(r.exitCode, 255) << r.out << r.err;
    EXPECT_EQ(r.out, "stop 1 onstack=0\n");
    std::vector<std::string> exp = splitLines(readFile(dir.file("exp.0")));
    ASSERT_EQ(countLines(exp, "Termination due to signal"), 1u) << readFile(dir.file("exp.0"));
    EXPECT_TRUE(std::regex_match(exp[findLine(exp, "Termination due to signal")],
                                 std::regex(".{22}Termination due to signal 15\\. PID \\d+ Faulting address .*\\. "
                                            "errno \\d+")));
    EXPECT_EQ(countLines(exp, "BACKTRACES"), 0u);
    std::vector<std::string> trc = splitLines(readFile(dir.file("trc.0")));
    size_t intercepted = findLine(trc, "SIGTERM intercepted. PID is ");
    size_t stop = findLine(trc, "stop callback ran");
    size_t termination = findLine(trc, "---Termination due to signal 15. PID ");
    ASSERT_LT(termination, trc.size()) << readFile(dir.file("trc.0"));
    EXPECT_LT(intercepted, stop);
    EXPECT_LT(stop, termination);
    EXPECT_NE(trc[intercepted].find("issuing stop CK"), std::string::npos);
}

TEST(Signals, FatalSignalWritesTerminationAndBackTraces)
{
    diagtest::ScratchDir dir;
    ChildResult r = runInChild([&] {
        startRuntime(dir.path());
        startIdleThread();
        raise(SIGSEGV);
    });
    EXPECT_EQ(r.exitCode, 255) << r.out << r.err;
    std::vector<std::string> exp = splitLines(readFile(dir.file("exp.0")));
    EXPECT_EQ(countLines(exp, "Termination due to signal 11. PID "), 1u) << readFile(dir.file("exp.0"));
    EXPECT_EQ(countLines(exp, "BACKTRACES START"), 1u);
    EXPECT_EQ(countLines(exp, "BACKTRACES END"), 1u);
    std::string other = r.out.substr(6, r.out.find('\n') - 6);
    EXPECT_EQ(countLines(exp, "Backtrace of thread " + other + " "), 1u);
    EXPECT_NE(readFile(dir.file("trc.0")).find("Writing backtraces for all UMTs:"), std::string::npos);
}

// Threads that trace without pause keep the trace ring full; the reason the process ends must
// reach the trace file all the same.
TEST(Signals, TerminationReasonReachesTheTraceUnderLoad)
{
    struct Case {
        const char *name;
        void (*end)();
        std::vector<std::string> lines;
    } cases[] = {
        {"SIGTERM", [] { kill(getpid(), SIGTERM); },
         {"SIGTERM intercepted. PID is ", "---Termination due to signal 15. PID "}},
        {"SIGSEGV", [] { raise(SIGSEGV); }, {"---Termination due to signal 11. PID "}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        diagtest::ScratchDir dir;
        Options o;
        o.bBacktrace = false;
        o.traceRingBytes = 16 * 1024;
        ChildResult r = runInChild([&] {
            startRuntime(dir.path(), o);
            static MosOsThrd tracers[3];
            static std::atomic<UINT64> lines{0};
            for (MosOsThrd &t : tracers)
                mosOsThrd_Create(
                    &t,
                    [](void *) {
                        for (;;) {
                            mosTrace_Do(MOS_COMP_MOS, MOS_FREQ_LOW, "filler line %lu\n", (unsigned long)lines++);
                        }
                    },
                    nullptr);
            // Past the first few rings' worth of lines.
            while (lines < 20000)
                sched_yield();
            c.end();
            for (;;)
                pause();
        });
        EXPECT_EQ(r.exitCode, 255) << r.out << r.err;
        std::string trc;
        for (int g = 4; g >= 0; g--)
            if (diagtest::fileExists(dir.file("trc." + std::to_string(g))))
                trc += readFile(dir.file("trc." + std::to_string(g)));
        for (const std::string &line : c.lines)
            EXPECT_NE(trc.find(line), std::string::npos) << line;
    }
}

// Two threads panic together: one report, written to its end although it takes longer than the
// second thread's wait.
TEST(Panic, SecondPanickingThreadWaitsForTheFirstReport)
{
    diagtest::ScratchDir dir;
    ChildResult r = runInChild([&] {
        startRuntime(dir.path());
        mosDbg_SetUmtBackTraceHook([] {
            mosDbg_ExpWrite(FALSE, "slow uthread back traces\n");
            usleep(1500 * 1000);
        });
        static std::atomic<int> ready{0};
        static MosOsThrd threads[2];
        for (MosOsThrd &t : threads)
            mosOsThrd_Create(
                &t,
                [](void *) {
                    ready++;
                    while (ready < 2)
                        sched_yield();
                    MOS_ASSERT_WITH_DESC(ready == 0, "both at once");
                },
                nullptr);
        for (;;)
            pause();
    });
    EXPECT_EQ(r.exitCode, 255) << r.out << r.err;
    std::vector<std::string> exp = splitLines(readFile(dir.file("exp.0")));
    EXPECT_EQ(countLines(exp, "Panic in file "), 1u) << readFile(dir.file("exp.0"));
    EXPECT_EQ(countLines(exp, "slow uthread back traces"), 1u);
    EXPECT_EQ(countLines(exp, "BACKTRACES END"), 1u);
}

// A collection of back traces that hangs is ended by the alarm, also inside a signal handler
// (where every signal is blocked) and on a thread that blocks all signals.
TEST(Signals, HungBackTraceCollectionIsEndedByTheAlarm)
{
    struct Case {
        const char *name;
        void (*fail)();
    } cases[] = {
        {"fatal signal", [] { raise(SIGBUS); }},
        {"panic on a thread blocking all signals",
         [] {
             static MosOsThrd t;
             mosOsThrd_Create(
                 &t,
                 [](void *) {
                     sigset_t all;
                     sigfillset(&all);
                     pthread_sigmask(SIG_BLOCK, &all, nullptr);
                     MOS_PANIC("hang", "");
                 },
                 nullptr);
             for (;;)
                 pause();
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        diagtest::ScratchDir dir;
        ChildResult r = runInChild([&] {
            startRuntime(dir.path());
            mosDbg_SetUmtBackTraceHook([] {
                for (;;)
                    pause();
            });
            c.fail();
        });
        EXPECT_EQ(r.exitCode, 255) << r.signal;
        std::string exp = readFile(dir.file("exp.0"));
        EXPECT_NE(exp.find("BACKTRACES START"), std::string::npos) << exp << r.out << r.err;
        EXPECT_EQ(exp.find("BACKTRACES END"), std::string::npos);
    }
}

TEST(Panic, CoreIsSkippedWhenTheDiskIsTooFull)
{
    diagtest::ScratchDir dir;
    Options o;
    o.bDump = true;
    o.bBacktrace = false;
    o.coreMinDiskSpaceBytes = 1ull << 62;
    ChildResult r = runInChild([&] {
        startRuntime(dir.path(), o);
        MOS_PANIC("no room", "");
    });
    EXPECT_EQ(r.exitCode, 255) << r.signal;
    EXPECT_TRUE(std::regex_search(readFile(dir.file("exp.0")),
                                  std::regex("Insufficient disk space for a core dump \\(Estimated size: \\d+MB, "
                                             "Available: \\d+MB, Minimum Space: 4398046511104MB\\)\n")));
}

// The layer torn down from another thread than the one that created it leaves each thread its
// alternate signal stack: the creator's stays installed and allocated (a signal there must not
// run on freed memory), and the caller's own is not switched off.
TEST(DbgLayer, DestroyFromAnotherThreadLeavesEachThreadItsSignalStack)
{
    diagtest::ScratchDir dir;
    ChildResult r = runInChild([&] {
        Options o;
        o.bExpFile = false;
        startRuntime(dir.path(), o);
        stack_t creator{};
        sigaltstack(nullptr, &creator);
        std::thread([] {
            static char ownStack[64 * 1024];
            stack_t mine{};
            mine.ss_sp = ownStack;
            mine.ss_size = sizeof(ownStack);
            stack_t before{};
            sigaltstack(&mine, &before);
            mosDbgLayer_Destroy();
            stack_t after{};
            sigaltstack(nullptr, &after);
            printf("caller %d\n", after.ss_sp == ownStack && (after.ss_flags & SS_DISABLE) == 0);
            // The sanitizer frees the stack it gave the thread when the thread ends.
            sigaltstack(&before, nullptr);
        }).join();
        stack_t now{};
        sigaltstack(nullptr, &now);
        printf("creator %d\n", now.ss_sp == creator.ss_sp && (now.ss_flags & SS_DISABLE) == 0);
#if PELLAR_SANITIZE
        printf("freed %d\n", __asan_address_is_poisoned(creator.ss_sp));
#else
        printf("freed 0\n");
#endif
        mosCyclicFileLayer_Destroy();
        mosOsThrdLayer_Destroy();
    });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "caller 1\ncreator 1\nfreed 0\n") << r.err;
}

TEST(Panic, QueriesReflectTheLayer)
{
    diagtest::ScratchDir dir;
    ChildResult r = runInChild([&] {
        startRuntime(dir.path());
        MosDbgCore_Type type = MOS_DBG_CORE__FULL;
        const char *pCore = mosDbg_DumpFileInfo(&type);
        printf("%d %d %d %s %u\n", mosDbg_IsInit(), mosDbg_BacktraceEnabled(), mosDbg_DumpEnabled(), pCore,
               (unsigned)type);
        mosTrcLayer_Destroy();
        mosDbgLayer_Destroy();
        mosCyclicFileLayer_Destroy();
        mosOsThrdLayer_Destroy();
        printf("done\n");
    });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(std::regex_match(r.out, std::regex("1 1 0 " + dir.path() + "/core-\\d+\\.dmp 0\ndone\n"))) << r.out << r.err;
}

} // namespace
