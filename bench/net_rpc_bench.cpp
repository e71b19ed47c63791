// Requests and responses between two messaging roots over loopback, each figure beside its outside
// anchor measured in the same run:
//   - synchronous round trip of a 4 KB echo request (one requester, the next request sent when the
//     response is in), with 1 and with 4 paths, beside `sockperf ping-pong` with 4 KB messages;
//   - pipelined throughput of 4 KB echo requests: many requesters with a request each in flight,
//     with 1 and with 4 paths (no outside program does the same; the round trip's anchor rate,
//     one message each way per round trip, is printed for scale);
//   - the synchronous round trip over one path upgraded to TLS 1.2 (AES-GCM), beside the plain path
//     of the same run and beside sockperf.
// Usage: net_rpc_bench [--seconds N] [--no-anchors]
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "bench/bench_harness.h"
#include "bench/bench_process.h"
#include "mos/mos_load.h"
#include "mos/usr/security/mos_security.h"
#include "net/security/net_sec.h"
#include "test/support/net_engine_support.h"
#include "test/support/net_rpc_support.h"
#include "test/support/tls_support.h"

namespace {

constexpr ConId kServerId = 0x5e9;
constexpr ConId kClientId = 0xc19;
constexpr UINT32 kGrp = NET__RECV_GROUP__DEF;
constexpr UINT32 kPayload = 4096;
constexpr UINT32 kPipelineSenders = 64;

void Bench_OnCon(void *, HNetCon, ConId, NetOwnerType, NetConChannelData *) {}

struct Side {
    MosUmt_SchedThrd sched;
    Net net;
    NetRpcTestConsumer consumer;
    NetConCallback conCB{};
};

void Bench_NewConnection(void *pObjNet, ConId, NetOwnerType, NetConCallback **ppConCB, BOOL *)
{
    *ppConCB = &static_cast<Side *>(pObjNet)->conCB;
}

// TLS for the round trip's secure row: the server's context in slot 0, the client's in slot 1, from
// a test authority made in a temporary directory. False when security cannot be set up.
bool Tls_Start(void)
{
    char dir[] = "/tmp/pellar-rpc-bench-XXXXXX";
    tlstest::TlsCerts certs;
    if (mkdtemp(dir) == nullptr || !tlstest::makeTlsCerts(dir, &certs))
        return false;
    MosSecurityConf conf{};
    conf.bEnable = TRUE;
    conf.sslConf = tlstest::sslConf(MOS_SSL_CONTEXT_ID__DEFAULT, certs.serverKeyPair, tlstest::kServerPassword, certs.caFile);
    MosSslConf client = tlstest::sslConf(MOS_SSL_CONTEXT_ID__CUSTOM_1, certs.clientKeyPair, "", certs.caFile);
    const bool ok = mosSecurity_Init(&conf) == MOS_RC__SUCCESS && mosSsl_UpdateConf(&client) == MOS_RC__SUCCESS;
    const int rmRc = system((std::string("rm -rf ") + dir).c_str());
    MOS_UNUSED(rmRc);
    return ok;
}

NetSecConParams Tls_Params(MosSslContextIdType ctx)
{
    NetSecConParams params;
    netSecConf_ResetConParams(&params);
    params.secMode = NET_SEC_MODE__SECURE_SSL;
    params.protoParams.ssl.sslContextId = ctx;
    return params;
}

void Side_Start(Side *pSide, ConId myId, Port port, bool bTls = false)
{
    pSide->conCB.pConFunc = Bench_OnCon;
    pSide->conCB.pDisconFunc = Bench_OnCon;
    pSide->conCB.pObjCon = pSide;
    NetCallback cb;
    net_InitEmptyNetCallback(&cb);
    cb.pNewConnectionFunc = Bench_NewConnection;
    cb.pObjNet = pSide;
    NetConfParam conf;
    netConfParam_SetDefaults(&conf);
    conf.bPollTimers = TRUE;
    if (bTls)
        conf.securityParams.serverParams = Tls_Params(MOS_SSL_CONTEXT_ID__DEFAULT);
    MOS_ASSERT_SUCCESS(mosUmtSchedThrd_Create(&pSide->sched, "rpc bench workers", 2, 2, 0));
    net_Init(&pSide->net, &pSide->sched.base, &cb, 28, myId, NET_OWNER_TYPE__TGT, &conf);
    net_SetPollTimerQs(&pSide->net, MOS_TIMER_QUEUE_ID__100MILLI, MOS_TIMER_QUEUE_ID__5MIN);
    netRpcTest_AddGroup(&pSide->consumer, &pSide->net, kGrp, 4);
    net_Start(&pSide->net, port);
}

void Side_Stop(Side *pSide)
{
    net_Destroy(&pSide->net);
    net_FreeRecvGroup(&pSide->net, pSide->consumer.pGroup);
    mosUmtSchedThrd_Destroy(&pSide->sched);
}

// Runs n uthreads of body(i) on the default scheduler and waits for all of them.
template <typename F> void RunUmts(UINT32 n, F body)
{
    struct Box {
        F *pBody;
        UINT32 idx;
        std::atomic<UINT32> *pDone;
    };
    std::atomic<UINT32> done{0};
    std::vector<Box> boxes(n);
    for (UINT32 i = 0; i < n; i++) {
        boxes[i] = Box{&body, i, &done};
        HMosUmt_UThread h = mosUmt_CreateUThreadEx(
            [](void *p) {
                Box *b = static_cast<Box *>(p);
                (*b->pBody)(b->idx);
                (*b->pDone)++;
            },
            &boxes[i], nullptr, nullptr, FALSE, MosUmtClassId{0, 0});
        MOS_ASSERT(h != nullptr);
    }
    while (done.load() != n)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
}

struct Figures {
    double syncRttMicros = 0;
    double pipelinedPerSec = 0;
};

// bTls: the paths are upgraded to TLS, and only the round trip is timed.
Figures Measure(UINT32 paths, double seconds, bool bTls = false)
{
    auto server = std::make_unique<Side>();
    auto client = std::make_unique<Side>();
    const Port port = netEngineTest_FreePort();
    Side_Start(server.get(), kServerId, port, bTls);
    Side_Start(client.get(), kClientId, 0);
    NetCon_RemoteHosts hosts{};
    hosts.numOfSocketPerIp = paths;
    hosts.hostsCount = 1;
    hosts.port = port;
    hosts.maxNumHosts = NET_CON__MAX_NUM_OF_IP_PER_HOST;
    snprintf(hosts.hosts[0], sizeof(hosts.hosts[0]), "127.0.0.1");
    const NetSecConParams secParams = bTls ? Tls_Params(MOS_SSL_CONTEXT_ID__CUSTOM_1) : NetSecConParams{};
    const HNetCon hCon =
        net_AllocClientConList(&client->net, kServerId, NET_OWNER_TYPE__TGT, &client->conCB, &hosts, &secParams);
    MOS_ASSERT(hCon != 0);
    net_Connect(&client->net, hCon, FALSE);
    while (!net_IsFullyConnected(&client->net, hCon))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    const std::vector<UINT8> payload(kPayload, 0x5a);
    Figures f;
    const UINT64 syncOps = (UINT64)(seconds * 10000);
    f.syncRttMicros = bench::nsPerOp(syncOps, [&] {
                          RunUmts(1, [&](UINT32) {
                              for (UINT64 i = 0; i < syncOps; i++)
                                  netRpcTest_Call(&client->consumer, hCon, kGrp, payload, nullptr, nullptr);
                          });
                      }) /
                      1000.0;
    if (!bTls) {
        const UINT64 perSender = (UINT64)(seconds * 40000) / kPipelineSenders;
        const double secs = bench::bestSeconds(3, [&] {
            RunUmts(kPipelineSenders, [&](UINT32) {
                for (UINT64 i = 0; i < perSender; i++)
                    netRpcTest_Call(&client->consumer, hCon, kGrp, payload, nullptr, nullptr);
            });
        });
        f.pipelinedPerSec = (double)(perSender * kPipelineSenders) / secs;
    }
    net_Disconnect(&client->net, hCon);
    Side_Stop(client.get());
    Side_Stop(server.get());
    return f;
}

} // namespace

int main(int argc, char **argv)
{
    double seconds = 1;
    bool anchors = true;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = atof(argv[++i]);
        else if (strcmp(argv[i], "--no-anchors") == 0)
            anchors = false;
    }
    MOS_ASSERT_SUCCESS(mos_Init(nullptr));
    mosUmtMgr_Init(nullptr);
    netEngineTest_PollDrivenTimers();
    common_UmtClassInit(netEngineTest_NoClass);

    const Figures one = Measure(1, seconds);
    const Figures four = Measure(4, seconds);
    const bool bTls = Tls_Start();
    const Figures tls = bTls ? Measure(1, seconds, true) : Figures{};
    const double sockperfRtt =
        anchors ? bench::sockperfRoundTripMicros(netEngineTest_FreePort(), kPayload, (int)std::max(1.0, seconds)) : -1;
    const double sockperfRate = sockperfRtt > 0 ? 1e6 / sockperfRtt : -1;

    printf("4 KB echo requests over loopback (best of 3 runs; anchors measured in this run)\n");
    bench::printRatio("rpc", "sync round trip, 1 path", one.syncRttMicros, sockperfRtt, "us", "lower");
    bench::printRatio("rpc", "sync round trip, 4 paths", four.syncRttMicros, sockperfRtt, "us", "lower");
    bench::printRatio("rpc", "pipelined, 1 path", one.pipelinedPerSec, sockperfRate, "RPC/s", "higher");
    bench::printRatio("rpc", "pipelined, 4 paths", four.pipelinedPerSec, sockperfRate, "RPC/s", "higher");
    if (bTls) {
        bench::printRatio("rpc", "sync round trip, 1 TLS path", tls.syncRttMicros, sockperfRtt, "us", "lower");
        bench::printRatio("rpc", "TLS path beside the plain one", tls.syncRttMicros, one.syncRttMicros, "us", "lower");
        mosSecurityLayer_Destroy();
    } else {
        printf("sync round trip, 1 TLS path: security could not be set up\n");
    }
    mosUmtMgr_Destroy();
    mos_Destroy();
    return 0;
}
