// The messaging engine over loopback, each figure beside its outside anchor measured in the same
// run on the same machine:
//   - round trip of a 64-byte frame (the payload travels in the 128-byte head) between two tasks
//     on the work group, beside `sockperf ping-pong` with 128-byte messages (the same bytes on the
//     wire; sockperf prints half a round trip, which is doubled here);
//   - one-way throughput of 4 KB and 1 MB frames from one sending task to one receiving task that
//     reads each payload straight into its buffer, beside `iperf3` with one stream and the same
//     write size.
// Usage: net_engine_bench [--seconds N] [--no-anchors]
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_harness.h"
#include "bench/bench_process.h"
#include "mos/mos_load.h"
#include "mos/umt/mos_umt.h"
#include "test/support/net_engine_support.h"

namespace {

constexpr UINT32 kMaxDataLen = 4u * 1024u * 1024u;

// A task of the bench: its NetMit first, so that the task's area leads back to it.
struct BenchTask {
    NetMit netMit;
    NetSmallIov wire;    // what the task sends
    NetSmallIov rcvHead; // the 128-byte head being received
    NetSmallIov rcvRest; // the payload after the head
    Socket_ExtendedHeader sendHead;
    Socket_ExtendedHeader recvHead;
    std::vector<UINT8> payload;
    std::vector<UINT8> rcvBuf;
    UINT64 count;  // round trips or frames to go
    UINT64 bytes;  // payload bytes received
    BOOL bEcho;    // a ping-pong server
    MosMit_CK frameCK; // a stream's step per frame
};

BenchTask *TaskOf(MosMit *pMit)
{
    return MOS_CONTAINER_OF(netMit_GetArea(pMit), BenchTask, netMit.area);
}

void Task_Init(BenchTask *t, Net *pNet, NetSocket *pSock, UINT32 payloadLen, UINT64 count)
{
    NET_IOV__INIT(&t->wire);
    NET_IOV__INIT(&t->rcvHead);
    NET_IOV__INIT(&t->rcvRest);
    memset(&t->sendHead, 0, sizeof(t->sendHead));
    t->payload.assign(payloadLen, 0x5A);
    t->rcvBuf.assign(MOS_MAX(payloadLen, 1u), 0);
    t->count = count;
    t->bytes = 0;
    t->bEcho = FALSE;
    NetSmallIov payload;
    NET_IOV__INIT(&payload);
    if (payloadLen != 0)
        netIov_AddBuffer(&payload, t->payload.data(), payloadLen, NET_IOV_BUF_TYPE__USER_FIRST);
    socketHeader_FillData(&t->sendHead, NET_MSG_TYPE__NOTIFICATION, 1, NET__RECV_GROUP__DEF, 1, 0);
    MOS_ASSERT_SUCCESS(socketHeader_PrepareWire(&t->sendHead, &payload, &t->wire, kMaxDataLen));
    netIov_Destroy(&payload);
    netIov_AddBuffer(&t->rcvHead, &t->recvHead, sizeof(t->recvHead), NET_IOV_BUF_TYPE__USER_FIRST);
    netMit_InitEx(&t->netMit, net_GetWorkerMitSched(pNet), pNet, nullptr, FALSE, TRUE);
    t->netMit.area.sockArea.pSock = pSock;
}

void Task_Destroy(BenchTask *t)
{
    netIov_Destroy(&t->wire);
    netIov_Destroy(&t->rcvHead);
    netIov_Destroy(&t->rcvRest);
}

// Receives one frame: the head, then the payload after the in-head part into rcvBuf.
Mos_RC Frame_Recv_CK(MosMit *pMit, Mos_RC rc)
{
    BenchTask *t = TaskOf(pMit);
    MOS_MIT_BEGIN(pMit);
    t->netMit.area.pIov = &t->rcvHead;
    MOS_MIT_CALL(pMit, rc, netSock_Recv_CK);
    if (rc != MOS_RC__SUCCESS)
        MOS_MIT_RETURN(pMit, rc);
    if (!netPath_IsHeaderValid(&t->recvHead.header, kMaxDataLen) || t->recvHead.header.dataLen > t->rcvBuf.size())
        MOS_MIT_RETURN(pMit, MOS_RC__INVALID);
    t->bytes += t->recvHead.header.dataLen;
    if (t->recvHead.header.dataLen > t->recvHead.header.dataLenInExt) {
        NET_IOV__RESET(&t->rcvRest);
        netIov_AddBuffer(&t->rcvRest, t->rcvBuf.data(),
                         t->recvHead.header.dataLen - t->recvHead.header.dataLenInExt, NET_IOV_BUF_TYPE__USER_FIRST);
        t->netMit.area.pIov = &t->rcvRest;
        MOS_MIT_CALL(pMit, rc, netSock_Recv_CK);
    }
    MOS_MIT_RETURN(pMit, rc);
    MOS_MIT_END(pMit);
}

Mos_RC Frame_Send_CK(MosMit *pMit, Mos_RC rc)
{
    BenchTask *t = TaskOf(pMit);
    MOS_MIT_BEGIN(pMit);
    t->netMit.area.pIov = &t->wire;
    MOS_MIT_CALL(pMit, rc, netSock_Send_CK);
    MOS_MIT_RETURN(pMit, rc);
    MOS_MIT_END(pMit);
}

// Ping: send, then wait for the echo. Echo: receive, then send back.
Mos_RC PingPong_Step(MosMit *pMit, Mos_RC rc)
{
    BenchTask *t = TaskOf(pMit);
    MOS_MIT_BEGIN(pMit);
    while (t->count != 0) {
        if (!t->bEcho) {
            MOS_MIT_CALL(pMit, rc, Frame_Send_CK);
            if (rc != MOS_RC__SUCCESS)
                MOS_MIT_RETURN(pMit, rc);
        }
        MOS_MIT_CALL(pMit, rc, Frame_Recv_CK);
        if (rc != MOS_RC__SUCCESS)
            MOS_MIT_RETURN(pMit, rc);
        if (t->bEcho) {
            MOS_MIT_CALL(pMit, rc, Frame_Send_CK);
            if (rc != MOS_RC__SUCCESS)
                MOS_MIT_RETURN(pMit, rc);
        }
        t->count--;
    }
    MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    MOS_MIT_END(pMit);
}

// One direction of a stream: count frames sent or received, as the task's frameCK says.
Mos_RC Stream_Step(MosMit *pMit, Mos_RC rc)
{
    BenchTask *t = TaskOf(pMit);
    MOS_MIT_BEGIN(pMit);
    while (t->count != 0) {
        MOS_MIT_CALL(pMit, rc, t->frameCK);
        if (rc != MOS_RC__SUCCESS)
            MOS_MIT_RETURN(pMit, rc);
        t->count--;
    }
    MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    MOS_MIT_END(pMit);
}

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Microseconds per round trip of a 64-byte frame, best of three runs.
double EngineRoundTripMicros(Net *pNet, NetSocketPair *pPair, UINT64 trips)
{
    double best = 1e30;
    for (int run = 0; run < 3; run++) {
        auto ping = std::make_unique<BenchTask>();
        auto echo = std::make_unique<BenchTask>();
        Task_Init(ping.get(), pNet, &pPair->client, 64, trips);
        Task_Init(echo.get(), pNet, &pPair->server, 64, trips);
        echo->bEcho = TRUE;
        const double start = Now();
        mosMit_Start(netMit_GetMit(&echo->netMit), PingPong_Step);
        mosMit_Start(netMit_GetMit(&ping->netMit), PingPong_Step);
        MOS_ASSERT_SUCCESS(mosMit_JoinSync(netMit_GetMit(&ping->netMit)));
        MOS_ASSERT_SUCCESS(mosMit_JoinSync(netMit_GetMit(&echo->netMit)));
        best = std::min(best, (Now() - start) * 1e6 / (double)trips);
        Task_Destroy(ping.get());
        Task_Destroy(echo.get());
    }
    return best;
}

// Payload gigabits per second of a one-way stream of frames, best of three runs.
double EngineStreamGbps(Net *pNet, NetSocketPair *pPair, UINT32 frameLen, double seconds)
{
    const UINT64 frames = (UINT64)(seconds * 2.5e9 / frameLen) + 1; // about `seconds` at 20 Gbit/s
    double best = 0;
    for (int run = 0; run < 3; run++) {
        auto snd = std::make_unique<BenchTask>();
        auto rcv = std::make_unique<BenchTask>();
        Task_Init(snd.get(), pNet, &pPair->client, frameLen, frames);
        Task_Init(rcv.get(), pNet, &pPair->server, frameLen, frames);
        const double start = Now();
        snd->frameCK = Frame_Send_CK;
        rcv->frameCK = Frame_Recv_CK;
        mosMit_Start(netMit_GetMit(&rcv->netMit), Stream_Step);
        mosMit_Start(netMit_GetMit(&snd->netMit), Stream_Step);
        MOS_ASSERT_SUCCESS(mosMit_JoinSync(netMit_GetMit(&snd->netMit)));
        MOS_ASSERT_SUCCESS(mosMit_JoinSync(netMit_GetMit(&rcv->netMit)));
        best = std::max(best, (double)rcv->bytes * 8 / (Now() - start) / 1e9);
        Task_Destroy(snd.get());
        Task_Destroy(rcv.get());
    }
    return best;
}

// sockperf's round trip with 128-byte messages; -1 when it cannot be measured.
double SockperfRoundTripMicros(int seconds)
{
    return bench::sockperfRoundTripMicros(netEngineTest_FreePort(), 128, seconds);
}

// iperf3's received gigabits per second with one stream and the given write size.
double Iperf3Gbps(const char *length, int seconds)
{
    const Port port = netEngineTest_FreePort();
    pid_t server = bench::spawn({"iperf3", "-s", "-1", "-B", "127.0.0.1", "-p", std::to_string(port)});
    const std::string out = bench::capture("iperf3 -c 127.0.0.1 -p " + std::to_string(port) + " -P 1 -l " + length +
                                    " -t " + std::to_string(seconds) + " -f g 2>&1");
    bench::stop(server);
    // The receiver's summary line: "... <rate> Gbits/sec ... receiver".
    const size_t recv = out.rfind("receiver");
    if (recv == std::string::npos)
        return -1;
    const size_t unit = out.rfind("Gbits/sec", recv);
    if (unit == std::string::npos)
        return -1;
    size_t begin = out.rfind(' ', unit - 2);
    return atof(out.c_str() + begin + 1);
}

} // namespace

int main(int argc, char **argv)
{
    double seconds = 2;
    bool anchors = true;
    BOOL bPolling = FALSE;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = atof(argv[++i]);
        else if (strcmp(argv[i], "--no-anchors") == 0)
            anchors = false;
        else if (strcmp(argv[i], "--polling") == 0)
            bPolling = TRUE;
    }
    MOS_ASSERT_SUCCESS(mos_Init(nullptr));
    mosUmtMgr_Init(nullptr);
    netEngineTest_PollDrivenTimers();
    NetEngineForTest engine;
    NetConfParam conf;
    netConfParam_SetDefaults(&conf);
    conf.maxDataLen = kMaxDataLen;
    netEngineTest_Start(&engine, 4, 2, &conf, bPolling);
    NetSocketPair pair;
    MOS_ASSERT_SUCCESS(netEngineTest_OpenPair(&engine.net, &pair));

    const double rtt = EngineRoundTripMicros(&engine.net, &pair, (UINT64)(seconds * 20000));
    const double gbps4k = EngineStreamGbps(&engine.net, &pair, 4096, seconds);
    const double gbps1m = EngineStreamGbps(&engine.net, &pair, 1024 * 1024, seconds);
    netEngineTest_ClosePair(&engine.net, &pair);
    netEngineTest_Stop(&engine);

    const int anchorSeconds = (int)std::max(1.0, seconds);
    const double sockperfRtt = anchors ? SockperfRoundTripMicros(anchorSeconds) : -1;
    const double iperf4k = anchors ? Iperf3Gbps("4K", anchorSeconds) : -1;
    const double iperf1m = anchors ? Iperf3Gbps("1M", anchorSeconds) : -1;

    printf("Messaging engine over loopback (best of 3 runs; anchors measured in this run)\n");
    bench::printRatio("engine", "64-byte frame round trip", rtt, sockperfRtt, "us", "lower");
    bench::printRatio("engine", "4 KB frames one way", gbps4k, iperf4k, "Gbit/s", "higher");
    bench::printRatio("engine", "1 MB frames one way", gbps1m, iperf1m, "Gbit/s", "higher");
    mosUmtMgr_Destroy();
    mos_Destroy();
    return 0;
}
