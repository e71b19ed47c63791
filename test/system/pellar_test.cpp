// The pellar program as its operator meets it: started in a directory of its own beside a 2 GB
// sparse file, on a port of its own, it listens; SIGTERM ends it promptly after its shutdown
// sequence; a second SIGTERM changes nothing; a port it must not use is refused at load.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test/support/child_process.h"
#include "test/support/pellar_process.h"
#include "test/support/scratch_dir.h"

namespace {

class PellarProgram : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(std::filesystem::exists(pellarPath())) << pellarPath();
        // The device file an operator would later name to the server: 2 GB, sparse.
        int fd = open(dir_.file("pellar-device-2g.img").c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, 2ll << 30), 0);
        close(fd);
        port_ = freePort();
    }
    std::string conf(const std::string &extra = "") const
    {
        return "tgt_port " + std::to_string(port_) + "\nsdbg_port 0\n" + extra;
    }
    // The shutdown sequence's lines, in order, then the termination line.
    void expectCleanStop(const PellarProcess &p) const
    {
        const std::string t = p.traces();
        size_t stop = t.find("tgt_serviceStop() was called");
        size_t drl = t.find("Update the DRL mode");
        size_t wd = t.find("Abort all WD");
        ASSERT_NE(stop, std::string::npos) << t;
        ASSERT_NE(drl, std::string::npos) << t;
        ASSERT_NE(wd, std::string::npos) << t;
        EXPECT_LT(stop, drl);
        EXPECT_LT(drl, wd);
        EXPECT_EQ(countOf(t, "Update the DRL mode"), 1u);
        EXPECT_EQ(countOf(p.exceptions(), "Termination due to signal 15."), 1u) << p.exceptions();
        EXPECT_EQ(p.exceptions().find("ASSERT"), std::string::npos) << p.exceptions();
    }
    ScratchDir dir_;
    int port_ = 0;
};

TEST_F(PellarProgram, ListensAndEndsPromptlyOnSigterm)
{
    PellarProcess p(dir_, conf());
    ASSERT_TRUE(p.waitListening(port_)) << p.output();
    auto start = Clock::now();
    p.signal(SIGTERM);
    ASSERT_TRUE(p.exited(std::chrono::seconds(30)));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
    expectCleanStop(p);
    EXPECT_FALSE(canConnect(port_));
}

TEST_F(PellarProgram, ASecondSigtermIsHarmless)
{
    PellarProcess p(dir_, conf());
    ASSERT_TRUE(p.waitListening(port_)) << p.output();
    p.signal(SIGTERM);
    p.signal(SIGTERM);
    ASSERT_TRUE(p.exited(std::chrono::seconds(30)));
    expectCleanStop(p);
    EXPECT_TRUE(WIFEXITED(p.status())) << "ended by a signal instead of its own stop";
}

TEST_F(PellarProgram, CpuMasksTheMachineCannotHonourGiveOneLineAndStartUpGoesOn)
{
    PellarProcess p(dir_, conf("tgt_umt_cpu_mask1 9223372036854775808\n"));
    ASSERT_TRUE(p.waitListening(port_)) << p.output();
    p.signal(SIGTERM);
    ASSERT_TRUE(p.exited(std::chrono::seconds(30)));
    EXPECT_EQ(countOf(p.traces(), "Failed to bind to CPU masks: 0,8000000000000000."), 1u) << p.traces();
    expectCleanStop(p);
}

TEST_F(PellarProgram, APortItMustNotListenOnIsRefusedAtLoad)
{
    for (const char *pPort : {"6611", "80", "70000"}) {
        SCOPED_TRACE(pPort);
        ScratchDir dir;
        std::ofstream(dir.file("pellar.conf")) << "tgt_port " << pPort << "\n";
        ChildResult r = runProgram(pellarPath(), {"--conf_file", dir.file("pellar.conf")}, nullptr, 60);
        EXPECT_EQ(shellStatus(r), 1) << r.out;
        EXPECT_NE(r.out.find("tgt_port"), std::string::npos) << r.out;
    }
}

TEST_F(PellarProgram, ALockCountPerToothThatIsNotAPowerOfTwoIsRefusedAtLoad)
{
    ScratchDir dir;
    std::ofstream(dir.file("pellar.conf")) << "tgt_elock__lock_in_tooth 6\n";
    ChildResult r = runProgram(pellarPath(), {"--conf_file", dir.file("pellar.conf")}, nullptr, 60);
    EXPECT_EQ(shellStatus(r), 1) << r.out;
    EXPECT_NE(r.out.find("tgt_elock__lock_in_tooth 6"), std::string::npos) << r.out;
}

} // namespace
