// A peer process (net_peer) against a server in this process: 3 portals × 2 paths from distinct
// source addresses come up and validate; a SIGSTOPped peer's paths are marked down by keep-alive;
// a killed and restarted peer's new identity is adopted.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "mos/mos_diag_counters.h"
#include "test/support/net_support.h"
#include "test/support/umt_test_support.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new NetTestRuntimeEnv);

constexpr ConId kServerId = 0x5e2;
constexpr ConId kPeerId = 0xbee;

// A running net_peer and its output.
struct PeerProcess {
    pid_t pid = -1;
    FILE *out = nullptr;
    NetIdentifier id{};

    bool Start(Port port, UINT32 portals, UINT32 paths)
    {
        const char *pBuild = getenv("PELLAR_BUILD_DIR");
        const std::string prog = std::string(pBuild != nullptr ? pBuild : ".") + "/test/net_peer";
        int fds[2];
        if (pipe(fds) != 0)
            return false;
        pid = fork();
        if (pid == 0) {
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            const std::string portStr = std::to_string(port), me = std::to_string(kPeerId),
                              server = std::to_string(kServerId), p1 = std::to_string(portals),
                              p2 = std::to_string(paths);
            execl(prog.c_str(), prog.c_str(), portStr.c_str(), me.c_str(), server.c_str(), p1.c_str(), p2.c_str(),
                  (char *)nullptr);
            _exit(127);
        }
        close(fds[1]);
        out = fdopen(fds[0], "r");
        char line[256];
        while (fgets(line, sizeof(line), out) != nullptr) {
            if (sscanf(line, "IDENTITY %u %u", &id.timeStamp, &id.magicNumber) == 2)
                return true;
        }
        return false;
    }
    bool WaitReady()
    {
        char line[256];
        while (fgets(line, sizeof(line), out) != nullptr)
            if (strncmp(line, "READY", 5) == 0)
                return true;
        return false;
    }
    void Signal(int sig) { kill(pid, sig); }
    void Kill()
    {
        if (pid <= 0)
            return;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
        if (out != nullptr)
            fclose(out);
        out = nullptr;
    }
    ~PeerProcess() { Kill(); }
};

class NetPeerProcess : public ::testing::Test {
  protected:
    void SetUp() override
    {
        port_ = netEngineTest_FreePort();
        netTestUpper_Init(&upper_);
        NetCallback cb = netTestUpper_NetCallback(&upper_);
        p_ = netTest_Create(nullptr, &cb, kServerId, NET_OWNER_TYPE__TGT);
        net_Start(&p_->net, port_);
    }
    void TearDown() override
    {
        peer_.Kill();
        netTest_Destroy(p_);
    }
    Net *net() { return &p_->net; }
    HNetCon PeerCon() { return net_GetCon(net(), kPeerId); }
    bool AllValidated(UINT32 portals, UINT32 n, const NetIdentifier *pId)
    {
        return umtTest_WaitFor([&] {
            UINT32 paths, connected, validated, nPortals = 0;
            netTest_CountPaths(net(), PeerCon(), &paths, &connected, &validated, &nPortals);
            if (nPortals != portals || connected != n || validated != n)
                return false;
            NetCon *pCon = netConManager_AcquireCon(&net()->conManager, PeerCon());
            const bool bMatch = pCon != nullptr && NET_ID__IS_MATCH(&pCon->peerId, pId);
            if (pCon != nullptr)
                netConManager_ReleaseCon(&net()->conManager, pCon);
            return bMatch;
        });
    }

    Port port_ = 0;
    NetTestUpper upper_;
    std::unique_ptr<NetForTest> p_;
    PeerProcess peer_;
};
} // namespace

TEST_F(NetPeerProcess, SixPathsFromThreeSourcesStallWhenStoppedAndANewIncarnationIsAdopted)
{
    ASSERT_TRUE(peer_.Start(port_, 3, 2));
    ASSERT_TRUE(peer_.WaitReady());
    ASSERT_TRUE(AllValidated(3, 6, &peer_.id));
    EXPECT_TRUE(net_IsConnected(net(), PeerCon()));

    // A stopped peer sends nothing: keep-alive marks every path down.
    const UINT32 kaDowns = mosDiagCounters_Get(MOS_DIAG_COUNTER__KA_CAUSED_DISCONNECT);
    peer_.Signal(SIGSTOP);
    EXPECT_TRUE(umtTest_WaitFor([&] { return !net_IsConnected(net(), PeerCon()); }));
    EXPECT_GE(mosDiagCounters_Get(MOS_DIAG_COUNTER__KA_CAUSED_DISCONNECT), kaDowns + 6);
    const int disconnects = upper_.disconnects.load();
    EXPECT_GE(disconnects, 1);

    // Killed and started again: a new identity, adopted on the same connection.
    const NetIdentifier oldId = peer_.id;
    peer_.Signal(SIGCONT);
    peer_.Kill();
    ASSERT_TRUE(peer_.Start(port_, 3, 2));
    ASSERT_FALSE(NET_ID__IS_MATCH(&oldId, &peer_.id));
    ASSERT_TRUE(peer_.WaitReady());
    EXPECT_TRUE(AllValidated(3, 6, &peer_.id));
    EXPECT_TRUE(net_IsConnected(net(), PeerCon()));
}
