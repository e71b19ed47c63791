// Framed messages over loopback through the whole engine: the poll loop, the work group, the
// exclusive senders of one socket and a receiver that reads each head, checks it, sizes the
// payload's buffer from it and reads the payload straight into that buffer.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <vector>

#include "net/net_socket_header.h"
#include "test/support/net_test_env.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new NetRuntimeEnv);

constexpr UINT32 kSenders = 3;
constexpr UINT32 kMessages = 1000;
constexpr UINT32 kMaxPayload = 1153433; // 1.1 MB
constexpr UINT32 kMaxDataLen = 2u * 1024u * 1024u;
constexpr UINT32 kPatternLen = 4u * 1024u * 1024u;

const std::vector<UINT8> &Pattern()
{
    static const std::vector<UINT8> pattern = [] {
        std::vector<UINT8> p(kPatternLen);
        std::mt19937 gen(15);
        for (auto &b : p)
            b = (UINT8)gen();
        return p;
    }();
    return pattern;
}

// Every message's size and bytes follow from its sender and number.
UINT32 PayloadSize(UINT32 sender, UINT32 seq)
{
    static const UINT32 edges[] = {0, 1, 40, 99, 100, 101, 300, kMaxPayload};
    if (seq < MOS_ARRAY_SIZE(edges))
        return edges[seq];
    return (UINT32)(((UINT64)(sender + 1) * 2654435761u * (seq + 7)) % (kMaxPayload + 1));
}

const UINT8 *PayloadBytes(UINT32 sender, UINT32 seq)
{
    return Pattern().data() + ((sender * 7919u + seq * 104729u) % (kPatternLen - kMaxPayload));
}

struct Sender {
    NetMit netMit; // first: the task's area leads to the sender
    UINT32 id;
    UINT32 seq;
    Socket_ExtendedHeader head;
    NetSmallIov payload;
    NetSmallIov wire;
};

Sender *SenderOf(MosMit *pMit)
{
    return MOS_CONTAINER_OF(netMit_GetArea(pMit), Sender, netMit.area);
}

// Builds message seq's frame: the payload in up to three buffers whose first one varies, so that
// both placements (in the head and after it) are used.
void Sender_Prepare(Sender *s)
{
    NET_IOV__RESET(&s->payload);
    NET_IOV__RESET(&s->wire);
    const UINT32 size = PayloadSize(s->id, s->seq);
    const UINT8 *p = PayloadBytes(s->id, s->seq);
    static const UINT32 firsts[] = {30, 100, 150, 70000};
    UINT32 first = MOS_MIN(size, firsts[s->seq % 4]);
    UINT32 second = MOS_MIN(size - first, (size - first) / 2 + 1);
    const UINT32 lens[] = {first, second, size - first - second};
    for (UINT32 len : lens) {
        if (len != 0)
            netIov_AddBuffer(&s->payload, const_cast<UINT8 *>(p), len, NET_IOV_BUF_TYPE__USER_FIRST);
        p += len;
    }
    socketHeader_FillData(&s->head, NET_MSG_TYPE__NOTIFICATION, s->id, NET__RECV_GROUP__DEF, s->seq, 0);
    MOS_ASSERT_SUCCESS(socketHeader_PrepareWire(&s->head, &s->payload, &s->wire, kMaxDataLen));
    s->netMit.area.pIov = &s->wire;
}

Mos_RC Sender_Step(MosMit *pMit, Mos_RC rc)
{
    Sender *s = SenderOf(pMit);
    MOS_MIT_BEGIN(pMit);
    for (s->seq = 0; s->seq < kMessages; s->seq++) {
        Sender_Prepare(s);
        MOS_MIT_CALL(pMit, rc, netSock_Send_CK);
        if (rc != MOS_RC__SUCCESS)
            MOS_MIT_RETURN(pMit, rc);
    }
    MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    MOS_MIT_END(pMit);
}

struct Receiver {
    NetMit netMit;
    UINT32 frames;
    UINT32 nextSeq[kSenders];
    UINT32 badFrames;
    Socket_ExtendedHeader head;
    std::vector<UINT8> data;
    NetSmallIov headIov;
    NetSmallIov dataIov;
    NetSmallIov restIov;
};

Receiver *ReceiverOf(MosMit *pMit)
{
    return MOS_CONTAINER_OF(netMit_GetArea(pMit), Receiver, netMit.area);
}

void Receiver_Check(Receiver *r)
{
    const Socket_Header &h = r->head.header;
    const UINT32 sender = h.context;
    const bool ok = sender < kSenders && h.msgID == r->nextSeq[sender] &&
                    h.dataLen == PayloadSize(sender, h.msgID) &&
                    (h.dataLen == 0 || memcmp(r->data.data(), PayloadBytes(sender, h.msgID), h.dataLen) == 0);
    if (!ok)
        r->badFrames++;
    else
        r->nextSeq[sender]++;
    r->frames++;
}

Mos_RC Receiver_Step(MosMit *pMit, Mos_RC rc)
{
    Receiver *r = ReceiverOf(pMit);
    MOS_MIT_BEGIN(pMit);
    while (r->frames < kSenders * kMessages) {
        r->netMit.area.pIov = &r->headIov;
        MOS_MIT_CALL(pMit, rc, netSock_Recv_CK);
        if (rc != MOS_RC__SUCCESS)
            MOS_MIT_RETURN(pMit, rc);
        if (!netPath_IsHeaderValid(&r->head.header, kMaxDataLen))
            MOS_MIT_RETURN(pMit, MOS_RC__INVALID);
        {
            const UINT32 len = r->head.header.dataLen;
            const UINT32 inExt = r->head.header.dataLenInExt;
            r->data.resize(len);
            NET_IOV__RESET(&r->dataIov);
            NET_IOV__RESET(&r->restIov);
            if (len != 0) {
                netIov_AddBuffer(&r->dataIov, r->data.data(), len, NET_IOV_BUF_TYPE__USER_FIRST);
                socketHeader_ScatterInHeadData(&r->head, &r->dataIov);
            }
            if (len > inExt)
                netIov_PrepareNewIov(&r->restIov, &r->dataIov, inExt, len - inExt);
        }
        if (r->restIov.totalSizeOfData != 0) {
            r->netMit.area.pIov = &r->restIov;
            MOS_MIT_CALL(pMit, rc, netSock_Recv_CK);
            if (rc != MOS_RC__SUCCESS)
                MOS_MIT_RETURN(pMit, rc);
        }
        Receiver_Check(r);
    }
    MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    MOS_MIT_END(pMit);
}
} // namespace

// Three senders share one socket, 1000 messages each of 0 to 1.1 MB: every message arrives whole,
// and each sender's messages arrive in the order it sent them.
TEST(NetEngineLoopback, ConcurrentSendersDeliverEveryFrameIntact)
{
    NetEngineForTest engine;
    NetConfParam conf;
    netConfParam_SetDefaults(&conf);
    conf.maxDataLen = kMaxDataLen;
    netEngineTest_Start(&engine, 4, 2, &conf);
    Net *pNet = &engine.net;
    NetSocketPair pair;
    ASSERT_EQ(netEngineTest_OpenPair(pNet, &pair), MOS_RC__SUCCESS);

    auto pReceiver = std::make_unique<Receiver>();
    Receiver *r = pReceiver.get();
    r->frames = 0;
    r->badFrames = 0;
    memset(r->nextSeq, 0, sizeof(r->nextSeq));
    NET_IOV__INIT(&r->headIov);
    NET_IOV__INIT(&r->dataIov);
    NET_IOV__INIT(&r->restIov);
    netIov_AddBuffer(&r->headIov, &r->head, sizeof(r->head), NET_IOV_BUF_TYPE__USER_FIRST);
    netMit_InitEx(&r->netMit, net_GetWorkerMitSched(pNet), pNet, nullptr, FALSE, TRUE);
    r->netMit.area.sockArea.pSock = &pair.server;
    mosMit_Start(netMit_GetMit(&r->netMit), Receiver_Step);

    std::vector<std::unique_ptr<Sender>> senders;
    for (UINT32 i = 0; i < kSenders; i++) {
        senders.push_back(std::make_unique<Sender>());
        Sender *s = senders.back().get();
        s->id = i;
        memset(&s->head, 0, sizeof(s->head));
        NET_IOV__INIT(&s->payload);
        NET_IOV__INIT(&s->wire);
        netMit_InitEx(&s->netMit, net_GetWorkerMitSched(pNet), pNet, nullptr, FALSE, TRUE);
        s->netMit.area.sockArea.pSock = &pair.client;
    }
    for (auto &s : senders)
        mosMit_Start(netMit_GetMit(&s->netMit), Sender_Step);
    for (auto &s : senders)
        EXPECT_EQ(mosMit_JoinSync(netMit_GetMit(&s->netMit)), MOS_RC__SUCCESS);
    EXPECT_EQ(mosMit_JoinSync(netMit_GetMit(&r->netMit)), MOS_RC__SUCCESS);
    EXPECT_EQ(r->frames, kSenders * kMessages);
    EXPECT_EQ(r->badFrames, 0u);
    for (UINT32 i = 0; i < kSenders; i++)
        EXPECT_EQ(r->nextSeq[i], kMessages) << "sender " << i;

    for (auto &s : senders) {
        netIov_Destroy(&s->payload);
        netIov_Destroy(&s->wire);
    }
    netIov_Destroy(&r->headIov);
    netIov_Destroy(&r->dataIov);
    netIov_Destroy(&r->restIov);
    netEngineTest_ClosePair(pNet, &pair);
    netEngineTest_Stop(&engine);
}
