#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "mos/mos_dbg.h"
#include "mos/mos_service.h"
#include "mos/mos_trace.h"
#include "test/support/diag_support.h"
#include "mos/mos_trace_layer.h"
#include "test/support/panic_expect.h"

using diagtest::readFile;
using diagtest::waitForPath;

namespace {

TEST(Fifo, ParseCommands)
{
    struct Case {
        std::string input;
        MosFifo_Type type;
    } cases[] = {
        {"SHUTDOWN\n", MOS_FIFO_TYPE__SHUTDOWN},
        {"SHUTDOWN", MOS_FIFO_TYPE__SHUTDOWN},
        {"STOP", MOS_FIFO_TYPE__STOP},
        {"STOP\n", MOS_FIFO_TYPE__STOP},
        {"shutdown", MOS_FIFO_TYPE__UNKNOWN},
        {"SHUTDOWNSTOP", MOS_FIFO_TYPE__UNKNOWN},
        {"STOP\n\n", MOS_FIFO_TYPE__UNKNOWN},
        {"STO", MOS_FIFO_TYPE__UNKNOWN},
        {"S", MOS_FIFO_TYPE__UNKNOWN},
        {"\n", MOS_FIFO_TYPE__UNKNOWN},
        {"", MOS_FIFO_TYPE__UNKNOWN},
    };
    for (const Case &c : cases)
        EXPECT_EQ(mosFifo_ParseFifoInput(c.input.c_str(), (UINT32)c.input.size()), c.type) << "'" << c.input << "'";
    EXPECT_STREQ(fifoCmdArray_G[MOS_FIFO_TYPE__SHUTDOWN], "SHUTDOWN");
}

// Whether this process holds the named pipe at path open (the handler opens it a moment after
// it created it; a command written before that finds no reader).
bool pipeIsOpenHere(const std::string &path)
{
    struct stat pipeSt;
    if (stat(path.c_str(), &pipeSt) != 0)
        return false;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        struct stat fdSt;
        if (stat(entry.path().c_str(), &fdSt) == 0 && fdSt.st_dev == pipeSt.st_dev && fdSt.st_ino == pipeSt.st_ino)
            return true;
    }
    return false;
}

struct FifoLayer : ::testing::Test {
    diagtest::RuntimeBase runtime;
    diagtest::ScratchDir dir;
    std::string pipe = dir.file("cmd.fifo");
    void TearDown() override
    {
        mosFifoLayer_Destroy();
        mosTrcLayer_Destroy();
    }
};

TEST_F(FifoLayer, DisabledDoesNothing)
{
    MosFifo_InitParams params{FALSE, pipe.c_str()};
    EXPECT_EQ(mosFifoLayer_Create(&params), MOS_RC__SUCCESS);
    EXPECT_EQ(mosFifoLayer_Create(nullptr), MOS_RC__SUCCESS);
    EXPECT_FALSE(diagtest::fileExists(pipe));
}

// The pipe is private whatever the creation mask, the mask is left alone, unknown commands are
// reported, and STOP ends the handler and removes the pipe.
TEST_F(FifoLayer, PrivatePipeUnknownCommandsAndStop)
{
    MosTrc_InitParams trc{};
    trc.traceFileParams = diagtest::fileParams(dir.path(), "trc", false, 2, 1 << 20);
    trc.errFileParams = diagtest::fileParams(dir.path(), "err", false, 2, 1 << 20);
    ASSERT_EQ(mosTrcLayer_Create(&trc), MOS_RC__SUCCESS);
    mode_t oldMask = umask(0);
    umask(oldMask);
    // A pipe left by an earlier run (told apart by its mode) is replaced.
    ASSERT_EQ(mkfifo(pipe.c_str(), 0644), 0);
    ASSERT_EQ(chmod(pipe.c_str(), 0644), 0);

    MosFifo_InitParams params{TRUE, pipe.c_str()};
    ASSERT_EQ(mosFifoLayer_Create(&params), MOS_RC__SUCCESS);
    struct stat st;
    // Commands are written once the handler reads its new pipe: before that they find no reader.
    for (int i = 0; i < 60000 && !(stat(pipe.c_str(), &st) == 0 && S_ISFIFO(st.st_mode) && (st.st_mode & 0777) == 0600 &&
                                   pipeIsOpenHere(pipe));
         i++)
        usleep(1000);
    ASSERT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    mode_t nowMask = umask(oldMask);
    EXPECT_EQ(nowMask, oldMask);

    ASSERT_EQ(mosFifo_WriteToFifo(pipe.c_str(), "shutdown"), MOS_RC__SUCCESS);
    // Commands that arrive together are read as one: let the handler read this one first.
    for (int i = 0; i < 60000 && readFile(dir.file("err.0")).find("unknown Fifo") == std::string::npos; i++)
        usleep(1000);
    ASSERT_EQ(mosFifo_WriteToFifo(pipe.c_str(), "STOP"), MOS_RC__SUCCESS);
    ASSERT_TRUE(waitForPath(pipe, false));
    // Nobody reads any more: a later command finds no pipe.
    EXPECT_EQ(mosFifo_WriteToFifo(pipe.c_str(), "SHUTDOWN"), MOS_RC__CLOSED);
    // Nor does an ordinary file that took the pipe's name.
    FILE *pPlain = fopen(pipe.c_str(), "w");
    ASSERT_NE(pPlain, nullptr);
    fclose(pPlain);
    EXPECT_EQ(mosFifo_WriteToFifo(pipe.c_str(), "STOP"), MOS_RC__CLOSED);
    EXPECT_EQ(readFile(pipe), "");
    unlink(pipe.c_str());
    mosFifoLayer_Destroy();

    std::string err = readFile(dir.file("err.0"));
    EXPECT_NE(err.find("ERROR: Received unknown Fifo 0 Type for PID " + std::to_string(getpid()) + "\n\n"),
              std::string::npos)
        << err;
    std::string trcText = readFile(dir.file("trc.0"));
    EXPECT_NE(trcText.find("mosFifo_WriteToFifo: Failed to create File " + pipe), std::string::npos);
    EXPECT_NE(trcText.find("mosFifo_StopFifoHandler: Failed to write Stop-Fifo command to File " + pipe),
              std::string::npos);
}

// Whatever else stands at the pipe's path is not ours: it is left as it is, with an error line,
// and the handler ends without a pipe.
TEST_F(FifoLayer, SomethingOtherThanAPipeAtThePathIsLeftAlone)
{
    MosTrc_InitParams trc{};
    trc.traceFileParams = diagtest::fileParams(dir.path(), "trc", false, 2, 1 << 20);
    trc.errFileParams = diagtest::fileParams(dir.path(), "err", false, 2, 1 << 20);
    ASSERT_EQ(mosTrcLayer_Create(&trc), MOS_RC__SUCCESS);
    const std::string file = dir.file("precious.txt");
    const std::string subDir = dir.file("a-directory");
    FILE *pFile = fopen(file.c_str(), "w");
    ASSERT_NE(pFile, nullptr);
    fputs("keep me\n", pFile);
    fclose(pFile);
    ASSERT_EQ(mkdir(subDir.c_str(), 0700), 0);
    for (const std::string &path : {file, subDir}) {
        MosFifo_InitParams params{TRUE, path.c_str()};
        ASSERT_EQ(mosFifoLayer_Create(&params), MOS_RC__SUCCESS);
        mosFifoLayer_Destroy();
        struct stat st;
        ASSERT_EQ(lstat(path.c_str(), &st), 0) << path;
        EXPECT_FALSE(S_ISFIFO(st.st_mode));
    }
    EXPECT_EQ(readFile(file), "keep me\n");
    std::string err = readFile(dir.file("err.0"));
    for (const std::string &path : {file, subDir})
        EXPECT_NE(err.find("ERROR: Fifo file name " + path + " for PID " + std::to_string(getpid()) +
                           " is taken by something that is not a named pipe"),
                  std::string::npos)
            << err;
}

// Runs body on a fresh runtime in a child process, which must end within the limit and leave no
// pipe behind.
void expectFifoHandlerStops(const std::function<void(const MosFifo_InitParams &params, const std::string &pipe)> &body,
                            int timeoutSec)
{
    diagtest::ScratchDir dir;
    std::string pipe = dir.file("cmd.fifo");
    diagtest::ChildResult r = diagtest::runInChild(
        [&] {
            diagtest::RuntimeBase *pRuntime = new diagtest::RuntimeBase();
            MOS_UNUSED(pRuntime);
            MosFifo_InitParams params{TRUE, pipe.c_str()};
            body(params, pipe);
        },
        timeoutSec);
    EXPECT_EQ(r.exitCode, 0) << "signal " << r.signal << r.out << r.err;
    EXPECT_FALSE(diagtest::fileExists(pipe));
}

// A layer stopped right after it started (a later start-up layer failed) must not wait for ever
// on a handler that was still preparing its pipe when the STOP was written.
TEST(FifoLayerStop, DestroyRightAfterCreateEndsTheHandler)
{
    expectFifoHandlerStops(
        [](const MosFifo_InitParams &params, const std::string &) {
            for (int i = 0; i < 5; i++) {
                if (mosFifoLayer_Create(&params) != MOS_RC__SUCCESS)
                    _exit(2);
                mosFifoLayer_Destroy();
            }
        },
        60);
}

// The "fifo" thread is blocked waiting for its pipe to be written.
bool fifoThreadWaitsOnItsPipe()
{
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
        if (readFile(task.path().string() + "/comm") != "fifo\n")
            continue;
        std::string wchan = readFile(task.path().string() + "/wchan");
        return wchan.find("pipe_read") != std::string::npos || wchan.find("poll") != std::string::npos;
    }
    return false;
}

// Someone removed the pipe's file while the handler held it open: the STOP cannot be written
// into it, and the layer still stops its handler instead of waiting for it for ever.
TEST(FifoLayerStop, DestroyEndsAHandlerWhosePipeWasRemoved)
{
    expectFifoHandlerStops(
        [](const MosFifo_InitParams &params, const std::string &pipe) {
            if (mosFifoLayer_Create(&params) != MOS_RC__SUCCESS || !waitForPath(pipe, true))
                _exit(2);
            for (int i = 0; i < 20000 && !fifoThreadWaitsOnItsPipe(); i++)
                usleep(1000);
            unlink(pipe.c_str());
            mosFifoLayer_Destroy();
        },
        40);
}

// "SHUTDOWN" ends the process the way SIGTERM does: stop callback, termination line, 255.
TEST(FifoShutdown, EndsTheProcessLikeSigterm)
{
    diagtest::ScratchDir dir;
    std::string pipe = dir.file("cmd.fifo");
    diagtest::ChildResult r = diagtest::runInChild([&] {
        diagtest::RuntimeBase *pRuntime = new diagtest::RuntimeBase();
        MOS_UNUSED(pRuntime);
        MosDbg_InitParams dbg{};
        dbg.fileInfo = diagtest::fileParams(dir.path(), "exp", false, 2, 1 << 20);
        dbg.doubleExpWaitSec = 1;
        mosDbgLayer_Create(&dbg);
        MosFifo_InitParams params{TRUE, pipe.c_str()};
        mosFifoLayer_Create(&params);
        // Written once the handler reads its pipe: a handler kept from opening it by a loaded
        // machine would otherwise outlast the writer's short grace and miss the command.
        std::thread([&] {
            waitForPath(pipe, true);
            for (int i = 0; i < 60000 && !fifoThreadWaitsOnItsPipe(); i++)
                usleep(1000);
            mosFifo_WriteToFifo(pipe.c_str(), "SHUTDOWN\n");
        }).detach();
        mosService_Start(nullptr, [] {
            printf("stop callback\n");
            fflush(stdout);
        });
    });
    EXPECT_EQ(r.exitCode, 255) << r.out << r.err;
    EXPECT_EQ(r.out, "stop callback\n");
    EXPECT_NE(readFile(dir.file("exp.0")).find("Termination due to signal 15. PID "), std::string::npos);
}

struct Once : ::testing::Test {
    void SetUp() override { ASSERT_EQ(mosOnceLayer_Create(), MOS_RC__SUCCESS); }
    void TearDown() override { mosOnceLayer_Destroy(); }
};

int initCalls_G;
int destroyCalls_G;
Mos_RC initResult_G;

TEST_F(Once, FirstUserSetsUpLastTearsDown)
{
    initCalls_G = destroyCalls_G = 0;
    MosOnce once{0, [] {
                     initCalls_G++;
                     return initResult_G;
                 },
                 [] { destroyCalls_G++; }};
    // A failed set-up counts nobody: the next user tries again.
    initResult_G = MOS_RC__NO_RESOURCES;
    EXPECT_EQ(mosOnce_RunInit(&once), MOS_RC__NO_RESOURCES);
    EXPECT_EQ(once.ref, 0u);
    initResult_G = MOS_RC__SUCCESS;
    EXPECT_EQ(mosOnce_RunInit(&once), MOS_RC__SUCCESS);
    EXPECT_EQ(mosOnce_RunInit(&once), MOS_RC__SUCCESS);
    EXPECT_EQ(initCalls_G, 2);
    EXPECT_EQ(once.ref, 2u);
    mosOnce_RunDestroy(&once);
    EXPECT_EQ(destroyCalls_G, 0);
    mosOnce_RunDestroy(&once);
    EXPECT_EQ(destroyCalls_G, 1);
    EXPECT_PANIC(mosOnce_RunDestroy(&once), "");
}

TEST(Service, StopWithoutCallbackDoesNothing)
{
    mosService_SetCallbacks(nullptr, nullptr);
    mosService_Stop();
    static int stops = 0;
    mosService_SetCallbacks(nullptr, [] { stops++; });
    mosService_Stop();
    mosService_Stop();
    EXPECT_EQ(stops, 2);
    mosService_SetCallbacks(nullptr, nullptr);
}

} // namespace
