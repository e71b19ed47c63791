#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "mos/mos_obj.h"
#include "test/support/tgt_test_support.h"
#include "test/support/umt_test_support.h"
#include "mos/mos_utils_mem.h"
#include "tgt/cont/cont.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

// The Ostrel as the permit test scripts it: each request takes delayMs and answers the next code.
struct PermitScript {
    std::atomic<int> requests{0};
    std::atomic<int> delayMs{0};
    std::atomic<Mos_RC> answer{MOS_RC__SUCCESS};
};
PermitScript script_G;

Mos_RC permitTest_Send(Cont *, const OstrelTgtReq_DegradeCombPermit *pReq)
{
    EXPECT_EQ(pReq->priTgtId, 0x21u);
    EXPECT_EQ(pReq->secTgtId, 0x12u);
    script_G.requests++;
    if (script_G.delayMs > 0)
        mosUmt_SleepByQ(mosTimer_GetClosestQ((UINT32)script_G.delayMs));
    return script_G.answer;
}

class ContTgtPermit : public ::testing::Test {
  protected:
    void SetUp() override
    {
        static Cont cont;
        pCont_ = &cont;
        pCont_->ostrel.tgtId = 0x21;
        contTgtMngr_Init(&pCont_->tgtMngr, pCont_);
        pCont_->tgtMngr.pSendPermitCK = permitTest_Send;
        for (UINT32 t = 0; t < MOS_OSC_CNT_TYPE__LAST; t++)
            mosOscCnt_InitOscParamsWithDefaults((MosOscCnt_CounterType)t, &pCont_->perTypeOscCntParams[t]);
        NetCon_RemoteHosts hosts{};
        hosts.hostsCount = 2;
        snprintf(hosts.hosts[1], sizeof(hosts.hosts[1]), "%s", "peer-b.example");
        contTgtMngr_TgtInit(&pCont_->tgtMngr, &peer_, 0x12, 1, &hosts);
        script_G.requests = 0;
        script_G.delayMs = 0;
        script_G.answer = MOS_RC__SUCCESS;
    }
    void TearDown() override { contTgtMngr_TgtDestroy(&pCont_->tgtMngr, &peer_); }
    // n askers at once, each on a uthread of its own; their answers.
    std::vector<Mos_RC> AskTogether(int n)
    {
        std::vector<Mos_RC> rcs(n, MOS_RC__ILLEGAL);
        std::vector<std::thread> threads;
        for (int i = 0; i < n; i++)
            threads.emplace_back([&, i] { umtTest_RunAsUmt([&] { rcs[i] = contTgt_CheckDegradePermit(&peer_); }); });
        for (std::thread &t : threads)
            t.join();
        return rcs;
    }
    Mos_RC Ask()
    {
        return AskTogether(1)[0];
    }
    Cont *pCont_ = nullptr;
    ContTgt peer_;
};

// Asked twice within a second: one request; the answer is kept for a second, then asked again.
TEST_F(ContTgtPermit, AnAnswerIsReusedForOneSecond)
{
    EXPECT_EQ(Ask(), MOS_RC__SUCCESS);
    EXPECT_EQ(Ask(), MOS_RC__SUCCESS);
    EXPECT_EQ(script_G.requests, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    script_G.answer = MOS_RC__ABORTED;
    EXPECT_EQ(Ask(), MOS_RC__ABORTED); // refused
    EXPECT_EQ(script_G.requests, 2);
}

// Many askers at once: one request in flight; those who waited get its answer.
TEST_F(ContTgtPermit, ConcurrentAskersShareOneRequest)
{
    script_G.delayMs = 100;
    for (Mos_RC rc : AskTogether(6))
        EXPECT_EQ(rc, MOS_RC__SUCCESS);
    EXPECT_EQ(script_G.requests, 1);
}

// An Ostrel that answers anything but grant or refusal, or is silent for longer than a second.
TEST_F(ContTgtPermit, OtherAnswersAndSilenceMeanRetry)
{
    for (Mos_RC answer : {MOS_RC__RETRY, MOS_RC__TIMEOUT, MOS_RC__NOT_CONN}) {
        SCOPED_TRACE(answer);
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        script_G.answer = answer;
        EXPECT_EQ(Ask(), MOS_RC__RETRY);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    script_G.answer = MOS_RC__SUCCESS;
    script_G.delayMs = 2000; // the one request hangs past the waiters' second
    std::vector<Mos_RC> rcs = AskTogether(3);
    int retries = 0, grants = 0;
    for (Mos_RC rc : rcs) {
        retries += rc == MOS_RC__RETRY;
        grants += rc == MOS_RC__SUCCESS;
    }
    EXPECT_EQ(grants, 1);   // the asker whose request it was
    EXPECT_EQ(retries, 2);  // the waiters gave up after a second
    EXPECT_EQ(script_G.requests, 4);
}

NetAddress addrOf(UINT32 lastOctet, Port port = 7072)
{
    NetAddress a;
    EXPECT_EQ(netAddress_BuildFromIpv4(&a, htonl(0x0A000000u | lastOctet), port), MOS_RC__SUCCESS);
    return a;
}

// Each connection failure lands on the counter of its kind and address, with the parameters the
// controller holds for the kind; an unknown kind and a ninth address are not counted, and a reset
// or a new window reaches every address's counter of its kind.
TEST_F(ContTgtPermit, OscillationsAreCountedPerAddressAndKind)
{
    MosOscCnt_CounterParams everyFailure{};
    everyFailure.windowParams[0] = {60, 0}; // threshold 0: each failure is an oscillation
    for (MosOscCnt_CounterType t : {MOS_OSC_CNT_TYPE__PELLAR_PELLAR_NETWORK_DISCONNECTIONS,
                                    MOS_OSC_CNT_TYPE__PELLAR_PELLAR_CRITICAL_LATENCY,
                                    MOS_OSC_CNT_TYPE__PELLAR_PELLAR_HIGH_LATENCY})
        contTgtMngr_UpdateOscCounter(&pCont_->tgtMngr, t, FALSE, &everyFailure);
    contTgtMngr_UpdateOscCounter(&pCont_->tgtMngr, MOS_OSC_CNT_TYPE__DEVICE_LONG_IO_OPERATIONS, FALSE, &everyFailure);
    EXPECT_EQ(pCont_->perTypeOscCntParams[MOS_OSC_CNT_TYPE__DEVICE_LONG_IO_OPERATIONS].windowParams[0].threshold,
              300u) << "a device type is not the peers' to change";

    const NetAddress a = addrOf(1), b = addrOf(2, 7073);
    contTgt_OscillationNotif(&peer_, 0, NET_OSC_TYPE__SOCKET_DOWN, &a);
    contTgt_OscillationNotif(&peer_, 0, NET_OSC_TYPE__SOCKET_DOWN, &a);
    contTgt_OscillationNotif(&peer_, 0, NET_OSC_TYPE__RPC_LINGERED_3SEC, &b);
    contTgt_OscillationNotif(&peer_, 0, (NetOscType)7, &b); // not a kind the layer reports
    for (UINT32 i = 3; i <= 9; i++) { // addresses 3-8 fill the table; the ninth is dropped
        const NetAddress other = addrOf(i);
        contTgt_OscillationNotif(&peer_, 0, NET_OSC_TYPE__RPC_LINGERED_1SEC, &other);
    }
    EXPECT_EQ(peer_.numKnownAddrs, CONT_TGT__MAX_KNOWN_ADDRS);

    MosOscCnt_QueryCounter got[64];
    const UINT32 n = contTgtMngr_GatherOscCounters(&pCont_->tgtMngr, got, 64, 0);
    ASSERT_EQ(n, 8u); // a: disconnections; b: critical latency; six addresses: high latency
    EXPECT_EQ(got[0].desc.type, MOS_OSC_CNT_TYPE__PELLAR_PELLAR_NETWORK_DISCONNECTIONS);
    EXPECT_EQ(got[0].window[0].lastOscillationCount, 2u);
    auto addrIn = [](const MosOscCnt_QueryCounter &q) {
        NetAddress x;
        memcpy(&x, reinterpret_cast<const UINT8 *>(&q.desc) + 8, sizeof(x));
        return x;
    };
    NetAddress x = addrIn(got[0]);
    EXPECT_TRUE(netAddress_IsSimilar(&x, &a));
    EXPECT_EQ(got[0].desc.OSCDesc.netInfo.remoteObjId, 0x12u);
    EXPECT_EQ(got[0].desc.descriptorSize, 32u);
    EXPECT_EQ(got[1].desc.type, MOS_OSC_CNT_TYPE__PELLAR_PELLAR_CRITICAL_LATENCY);
    x = addrIn(got[1]);
    EXPECT_TRUE(netAddress_IsSimilar(&x, &b));
    for (UINT32 i = 2; i < n; i++) {
        EXPECT_EQ(got[i].desc.type, MOS_OSC_CNT_TYPE__PELLAR_PELLAR_HIGH_LATENCY);
        EXPECT_EQ(got[i].window[0].lastOscillationCount, 1u);
    }
    EXPECT_EQ(contTgtMngr_GatherOscCounters(&pCont_->tgtMngr, got, 3, 0), 3u); // no room beyond the array

    // A longer short window on every address; then a reset, reported once.
    MosOscCnt_CounterParams longer = everyFailure;
    longer.windowParams[0].sizeInSec = 120;
    contTgtMngr_UpdateOscCounter(&pCont_->tgtMngr, MOS_OSC_CNT_TYPE__PELLAR_PELLAR_HIGH_LATENCY, FALSE, &longer);
    MosOscCnt_QueryCounter one{};
    mosOscCnt_GetCounter(&contTgt_GetMosOscCntArr(&peer_, MOS_OSC_CNT_TYPE__PELLAR_PELLAR_HIGH_LATENCY)[7], &one);
    EXPECT_EQ(one.window[0].windowSizeInSec, 120u);
    contTgtMngr_UpdateOscCounter(&pCont_->tgtMngr, MOS_OSC_CNT_TYPE__PELLAR_PELLAR_NETWORK_DISCONNECTIONS, TRUE,
                                 nullptr);
    mosOscCnt_GetCounter(&peer_.connOscCnt[0], &one);
    EXPECT_EQ(one.window[0].lastOscillationCount, 0u);
}

// The peers' answers: bandwidth over every peer, connection state over those this server dials;
// and each peer answers the debug registry under the peers' type.
TEST_F(ContTgtPermit, PeerAnswersCarryAHeadAndOneElementPerPeer)
{
    MosObj_Type *pType = mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__TGT_TGT);
    ASSERT_NE(pType, nullptr);
    MosObj *pObj = mosObjType_GetNthObj(pType, 0);
    ASSERT_NE(pObj, nullptr);
    ContTgtQuery q{};
    mosObj_Query(pObj, pType, &q);
    mosObjType_ReleaseNthObj(pType);
    EXPECT_EQ(q.tgtId, 0x12u);
    EXPECT_STREQ(q.remoteHost, "peer-b.example");
    EXPECT_EQ(q.dbgState, (UINT32)CONT_TGT_CON_STATE__DISCONNECTED);
    EXPECT_EQ(q.lastKnownVersion, CONT_TGT__UNKNOWN_VERSION);

    UINT8 *pAnswer = nullptr;
    UINT32 len = 0;
    ASSERT_EQ(contTgtMngr_GetNetBwc(&pCont_->tgtMngr, &pAnswer, &len), MOS_RC__SUCCESS);
    ASSERT_EQ(len, 8u + 48u);
    OstrelTgtRsp_PeersHead head;
    memcpy(&head, pAnswer, sizeof(head));
    EXPECT_EQ(head.numTgts, 1u);
    EXPECT_EQ(head.structSize, 48u);
    UINT64 id;
    memcpy(&id, pAnswer + 8, sizeof(id));
    EXPECT_EQ(id, 0x12u);
    mos_MemFree(pAnswer);

    ASSERT_EQ(contTgtMngr_GetTgtConState(&pCont_->tgtMngr, &pAnswer, &len), MOS_RC__SUCCESS);
    EXPECT_EQ(len, 8u) << "a peer that dials in is not listed";
    mos_MemFree(pAnswer);
    peer_.bClient = TRUE;
    ASSERT_EQ(contTgtMngr_GetTgtConState(&pCont_->tgtMngr, &pAnswer, &len), MOS_RC__SUCCESS);
    ASSERT_EQ(len, 8u + 624u);
    memcpy(&head, pAnswer, sizeof(head));
    EXPECT_EQ(head.numTgts, 1u);
    EXPECT_EQ(head.structSize, 624u);
    EXPECT_STREQ(reinterpret_cast<const char *>(pAnswer + 8 + 8), "peer-b.example");
    mos_MemFree(pAnswer);
}

// The network test's rules: no results before a first run, nothing to test without peers.
TEST_F(ContTgtPermit, NetworkTestNeedsPeersAndAFirstRun)
{
    OstrelTgtRsp_NetTest *pRes = nullptr;
    UINT32 count = 0;
    contTgtMngr_TgtDestroy(&pCont_->tgtMngr, &peer_);
    umtTest_RunAsUmt([&] {
        EXPECT_EQ(contTgtMngr_GetNetTest(&pCont_->tgtMngr, &pRes, &count), MOS_RC__NO_TEST);
        EXPECT_EQ(contTgtMngr_NetTest(&pCont_->tgtMngr, 4096, 4, 0), MOS_RC__NOT_FOUND);
    });
}

} // namespace
