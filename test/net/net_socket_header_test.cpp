#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "mos/mos_load.h"
#include "mos/mos_trace.h"
#include "net/net_socket_header.h"

namespace {
class RuntimeEnv : public ::testing::Environment {
  public:
    void SetUp() override { ASSERT_EQ(mos_Init(nullptr), MOS_RC__SUCCESS); }
    void TearDown() override { mos_Destroy(); }
};
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new RuntimeEnv);

// An owned scatter-gather list; destroyed with the test.
struct Iov {
    NetSmallIov iov;
    Iov() { NET_IOV__INIT(&iov); }
    ~Iov() { netIov_Destroy(&iov); }
};

// The bytes a wire list puts on the wire, in order.
std::vector<UINT8> Flatten(const NetSmallIov *pIov)
{
    std::vector<UINT8> out;
    auto add = [&](const NetIovBuf &b) {
        const UINT8 *p = static_cast<const UINT8 *>(b.iov_base);
        out.insert(out.end(), p, p + b.iov_len);
    };
    if (pIov->numOfNetBufs != 0)
        add(pIov->netBuf[0]);
    for (UINT32 i = 0; i < pIov->numOfUsedBuffers; i++)
        add(pIov->buf[i]);
    return out;
}

UINT32 Word(const std::vector<UINT8> &bytes, UINT32 index)
{
    UINT32 w;
    memcpy(&w, bytes.data() + 4 * index, 4);
    return w;
}

Socket_Header DataHead(UINT32 dataLen, UINT32 inExt, UINT32 prop = SOCKET_HEADER_PROP__NOTIF)
{
    Socket_Header h{};
    h.prop = prop;
    h.dataLen = dataLen;
    h.dataLenInExt = inExt;
    return h;
}
} // namespace

// Placement of payloads of several shapes: wire size, in-head bytes, and that the payload bytes
// follow the 28-byte header (or the 128-byte head) exactly, in order.
TEST(NetSocketHeader, DataFramePlacementAndWireBytes)
{
    const struct {
        std::vector<UINT32> bufLens;
        UINT32 wireSize;
        UINT32 inExt;
    } cases[] = {
        {{}, 128, 0},          {{40}, 128, 40},      {{100}, 128, 100},       {{101}, 229, 0},
        {{64, 236}, 328, 100}, {{200, 100}, 428, 0}, {{10, 10, 10, 10, 10, 10}, 128, 60},
        {{1, 99, 1}, 129, 100},
    };
    for (const auto &c : cases) {
        std::vector<std::vector<UINT8>> bufs;
        Iov payload;
        UINT8 next = 1;
        for (UINT32 len : c.bufLens) {
            bufs.emplace_back(len);
            for (auto &b : bufs.back())
                b = next++;
        }
        for (auto &b : bufs)
            netIov_AddBuffer(&payload.iov, b.data(), (UINT32)b.size(), NET_IOV_BUF_TYPE__USER_FIRST);
        const UINT32 total = payload.iov.totalSizeOfData;
        Socket_ExtendedHeader head;
        memset(&head, 0xEE, sizeof(head));
        socketHeader_FillData(&head, NET_MSG_TYPE__SNDRCV, 2103, 7, 99, 5);
        Iov wire;
        ASSERT_EQ(socketHeader_PrepareWire(&head, &payload.iov, &wire.iov, SOCKET_HEADER__DEF_MAX_DATA_LEN),
                  MOS_RC__SUCCESS);
        const std::vector<UINT8> bytes = Flatten(&wire.iov);
        SCOPED_TRACE(total);
        ASSERT_EQ(bytes.size(), c.wireSize);
        EXPECT_EQ(socketHeader_WireSize(total, c.bufLens.empty() ? 0 : c.bufLens[0]), c.wireSize);
        EXPECT_EQ(Word(bytes, 0), 0x42890241u);
        EXPECT_EQ(Word(bytes, 1), total);
        EXPECT_EQ(Word(bytes, 2), 2103u);
        EXPECT_EQ(Word(bytes, 3), 7u);
        EXPECT_EQ(Word(bytes, 4), 99u);
        EXPECT_EQ(Word(bytes, 5), 5u);
        EXPECT_EQ(Word(bytes, 6), c.inExt);
        const UINT32 payloadAt = c.inExt != 0 ? 28 : 128;
        UINT8 expect = 1;
        for (UINT32 i = 0; i < total; i++)
            ASSERT_EQ(bytes[payloadAt + i], expect++) << "payload byte " << i;
        // The receiver: head bytes then the rest read after the in-head part.
        Socket_ExtendedHeader rcvHead;
        memcpy(&rcvHead, bytes.data(), sizeof(rcvHead));
        ASSERT_TRUE(netPath_IsHeaderValid(&rcvHead.header, SOCKET_HEADER__DEF_MAX_DATA_LEN));
        if (total == 0)
            continue;
        std::vector<UINT8> a(total > 3 ? 3 : total), b(total - a.size());
        Iov dst;
        netIov_AddBuffer(&dst.iov, a.data(), (UINT32)a.size(), NET_IOV_BUF_TYPE__USER_FIRST);
        if (!b.empty())
            netIov_AddBuffer(&dst.iov, b.data(), (UINT32)b.size(), NET_IOV_BUF_TYPE__USER_FIRST);
        const UINT32 got = socketHeader_ScatterInHeadData(&rcvHead, &dst.iov);
        EXPECT_EQ(got, c.inExt);
        std::vector<UINT8> all(a);
        all.insert(all.end(), b.begin(), b.end());
        memcpy(all.data() + got, bytes.data() + 128, total - got);
        for (UINT32 i = 0; i < total; i++)
            ASSERT_EQ(all[i], (UINT8)(i + 1));
    }
}

TEST(NetSocketHeader, ValidityRulesInOrder)
{
    const struct {
        Socket_Header head;
        bool valid;
    } cases[] = {
        {DataHead(0, 0), true},
        {DataHead(10, 11), false},
        {DataHead(200, 101), false},
        {DataHead(200, 100), true},
        {DataHead(0, 0, 0x42890040), false},            // version 0x40
        {DataHead(0, 0, 0x42890042), false},            // version 0x42
        {DataHead(0, 0, 0x428901FF), true},             // version ignored
        {DataHead(0, 0, 0x42880141), false},            // prefix one below
        {DataHead(0, 0, 0x4289F141), true},             // owner bits are not checked here
        {DataHead(5, 600, SOCKET_HEADER_PROP__NEW_CON), true}, // no length test for control frames
        {DataHead(5, 600, SOCKET_HEADER_PROP__KEEPALIVE), true},
        {DataHead(5, 600, SOCKET_HEADER_PROP__NEW_SSL_CON), true},
        {DataHead(5, 600, SOCKET_HEADER_PROP__RESPONSE), true},
        {DataHead(5, 600, SOCKET_HEADER_PROP__LOOPBACK), false},
        {DataHead(4096, 0), true},
        {DataHead(4097, 0), false},                     // above the configured maximum
        {DataHead(0xFFFFFFFFu, 100), false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(netPath_IsHeaderValid(&c.head, 4096) != FALSE, c.valid) << std::hex << c.head.prop << " "
                                                                          << c.head.dataLen;
}

TEST(NetSocketHeader, ControlFramesWordByWord)
{
    const NetIdentifier id{0x11223344, 0x55667788};
    const struct {
        void (*fill)(Socket_ExtendedHeader *, const NetIdentifier *);
        UINT32 words[7];
        bool restZero;
    } cases[] = {
        {[](Socket_ExtendedHeader *h, const NetIdentifier *p) {
             socketHeader_FillNewCon(h, NET_OWNER_TYPE__TGT, 0x0000304050607080ull, 0x0102, p);
         },
         {0x42891441, 0x50607080, 0x3040, 0, 0x0102, 0x11223344, 0x55667788}, true},
        {[](Socket_ExtendedHeader *h, const NetIdentifier *p) { socketHeader_FillKeepAlive(h, 0x0203, p); },
         {0x42890641, 0, 1, 1, 0x0203, 0x11223344, 0x55667788}, true},
        {[](Socket_ExtendedHeader *h, const NetIdentifier *) { socketHeader_FillNewSslCon(h); },
         {0x42890741, 0, 0, 0, 0, 0, 0}, true},
        {[](Socket_ExtendedHeader *h, const NetIdentifier *) { socketHeader_FillResponse(h, MOS_RC__SUCCESS); },
         {0x42890841, 0, 0, 0, 0x700, 65, 0}, true},
        {[](Socket_ExtendedHeader *h, const NetIdentifier *) {
             socketHeader_FillResponse(h, MOS_RC__NET_SECURITY_DISABLED_ON_SERVER);
         },
         {0x42890841, 0, 0, 0, 0x700, 432, 0}, true},
    };
    for (const auto &c : cases) {
        Socket_ExtendedHeader head;
        memset(&head, 0, sizeof(head)); // a fresh task's head
        c.fill(&head, &id);
        Iov wire;
        socketHeader_PrepareControlWire(&head, &wire.iov);
        const std::vector<UINT8> bytes = Flatten(&wire.iov);
        ASSERT_EQ(bytes.size(), 128u);
        for (UINT32 w = 0; w < 7; w++)
            EXPECT_EQ(Word(bytes, w), c.words[w]) << std::hex << c.words[0] << " word " << w;
        for (UINT32 i = 28; i < 128; i++)
            ASSERT_EQ(bytes[i], 0) << i;
        EXPECT_TRUE(netPath_IsHeaderValid(&head.header, 0));
    }
    Socket_ExtendedHeader head{};
    socketHeader_FillNewCon(&head, NET_OWNER_TYPE__OSTREL_S, 0x0000304050607080ull, 1, &id);
    EXPECT_EQ(socketHeader_GetConId(&head.header), 0x0000304050607080ull);
    EXPECT_EQ(SOCKET_HEADER__GET_OWNER_TYPE(head.header.prop), (UINT32)NET_OWNER_TYPE__OSTREL_S);
    EXPECT_TRUE(SOCKET_HEADER_PROP_HAS__PEER_ID(head.header.prop));
    EXPECT_FALSE(SOCKET_HEADER_PROP_HAS__PEER_VERSION(head.header.prop));
    EXPECT_TRUE(SOCKET_HEADER_PROP_HAS__PEER_ID(SOCKET_HEADER_PROP__KEEPALIVE));
    EXPECT_TRUE(SOCKET_HEADER_PROP_HAS__PEER_VERSION(SOCKET_HEADER_PROP__KEEPALIVE));
    EXPECT_FALSE(SOCKET_HEADER_PROP_HAS__PEER_ID(SOCKET_HEADER_PROP__NEW_SSL_CON));
}

// A frame that fails the sender's own check (here: longer than the configured maximum) is not
// built, so it cannot be sent; the wire list stays empty for the caller to fail that message.
TEST(NetSocketHeader, SenderRefusesAFrameThatFailsItsOwnCheck)
{
    std::vector<UINT8> data(5000, 1);
    Iov payload;
    netIov_AddBuffer(&payload.iov, data.data(), (UINT32)data.size(), NET_IOV_BUF_TYPE__USER_FIRST);
    Socket_ExtendedHeader head{};
    socketHeader_FillData(&head, NET_MSG_TYPE__NOTIFICATION, 1, 2, 3, 4);
    Iov wire;
    EXPECT_EQ(socketHeader_PrepareWire(&head, &payload.iov, &wire.iov, 4096), MOS_RC__INVALID);
    EXPECT_EQ(wire.iov.totalSizeOfData, 0u);
    EXPECT_EQ(wire.iov.numOfNetBufs, 0u);
    Iov wire2;
    EXPECT_EQ(socketHeader_PrepareWire(&head, &payload.iov, &wire2.iov, 5000), MOS_RC__SUCCESS);
    EXPECT_EQ(wire2.iov.totalSizeOfData, 5128u);
}
