#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "mos/env/mos_net_iov.h"
#include "mos/mos_diag_counters.h"
#include "test/support/mos_container_support.h"

namespace {

struct Piece {
    int srcBuf; // index into the source's buffers (-1: the source's net buffer)
    UINT32 start;
    UINT32 len;
};

// Backing bytes for the buffers; lists only ever point into them.
char gBytes[4096];
char gNet[64];

// A list with its pool, initialised and destroyed around each test.
struct NetIov : ::testing::Test {
    ContainerLayers layers;
    void SetUp() override
    {
        MosNetSmallIov_InitParams params = {TRUE, 4};
        ASSERT_EQ(netIovInfo_Init(&params), MOS_RC__SUCCESS);
    }
    void TearDown() override { netIovInfo_Destroy(); }

    // A source with buffers of the given lengths, laid out back to back in gBytes, typed 10+i.
    static void fill(NetSmallIov *pIov, std::initializer_list<UINT32> lens, UINT32 netLen = 0)
    {
        NET_IOV__INIT(pIov);
        if (netLen != 0)
            netIov_AddNetBuf(pIov, gNet, netLen);
        UINT32 at = 0, i = 0;
        for (UINT32 len : lens) {
            netIov_AddBuffer(pIov, gBytes + at, len, 10 + i++);
            at += len;
        }
    }

    static UINT32 startOf(std::initializer_list<UINT32> lens, int index)
    {
        UINT32 at = 0;
        for (UINT32 len : lens) {
            if (index-- == 0)
                break;
            at += len;
        }
        return at;
    }

    static void expectPieces(const NetSmallIov *pIov, std::initializer_list<UINT32> srcLens,
                             const std::vector<Piece> &want)
    {
        UINT32 total = 0, u = 0;
        for (const Piece &p : want) {
            total += p.len;
            if (p.srcBuf < 0) {
                ASSERT_EQ(pIov->numOfNetBufs, 1);
                EXPECT_EQ(pIov->netBuf[0].iov_base, gNet + p.start);
                EXPECT_EQ(pIov->netBuf[0].iov_len, p.len);
                continue;
            }
            ASSERT_LT(u, pIov->numOfUsedBuffers);
            UINT32 len = 0;
            EXPECT_EQ(NET_IOV__GET(pIov, u, &len), gBytes + startOf(srcLens, p.srcBuf) + p.start) << "piece " << u;
            EXPECT_EQ(len, p.len) << "piece " << u;
            EXPECT_EQ(NET_IOV__GET_TYPE(pIov, u), 10 + p.srcBuf) << "piece " << u;
            u++;
        }
        EXPECT_EQ(pIov->numOfUsedBuffers, u);
        EXPECT_EQ(NET_IOV__GET_SIZE(pIov), total);
    }
};

} // namespace

TEST_F(NetIov, SixthBufferMovesToAPooledBlockKeepingOrder)
{
    NetSmallIov iov;
    fill(&iov, {1, 2, 3, 4, 5}, 8);
    EXPECT_FALSE(iov.bIsDynamic);
    EXPECT_EQ(iov.buf, &iov.staticIov[1]);
    const UINT32 before = mosDiagCounters_Get(MOS_DIAG_COUNTER__NETSMALLIOV_LARGE);

    netIov_AddBuffer(&iov, gBytes + 15, 6, 15);
    ASSERT_TRUE(iov.bIsDynamic);
    EXPECT_FALSE(iov.dynamicData->bFromHeap);
    EXPECT_EQ(iov.netBuf, &iov.dynamicData->Buf[0]);
    EXPECT_EQ(iov.buf, &iov.dynamicData->Buf[1]);
    EXPECT_EQ(mosDiagCounters_Get(MOS_DIAG_COUNTER__NETSMALLIOV_LARGE), before + 1);
    expectPieces(&iov, {1, 2, 3, 4, 5, 6}, {{-1, 0, 8}, {0, 0, 1}, {1, 0, 2}, {2, 0, 3}, {3, 0, 4}, {4, 0, 5}, {5, 0, 6}});

    // Popping back to five stays in the block.
    netIov_PopBuffer(&iov);
    EXPECT_TRUE(iov.bIsDynamic);
    EXPECT_EQ(NET_IOV__GET_SIZE(&iov), 8u + 15u);
    netIov_PopNetBuf(&iov);
    EXPECT_EQ(iov.numOfNetBufs, 0);
    EXPECT_EQ(NET_IOV__GET_SIZE(&iov), 15u);
    netIov_Destroy(&iov);
    EXPECT_EQ(iov.initializedMagic, 0);
}

TEST_F(NetIov, InsertAtIndexShiftsLaterBuffers)
{
    NetSmallIov iov;
    fill(&iov, {1, 2, 3, 4, 5});
    netIov_AddBufferInIndex(&iov, gBytes + 100, 9, 99, 0);
    netIov_AddBufferInIndex(&iov, gBytes + 200, 7, 98, 3);
    netIov_AddBufferInIndex(&iov, gBytes + 300, 1, 97, 7);
    ASSERT_EQ(iov.numOfUsedBuffers, 8u);
    const UINT32 wantLen[] = {9, 1, 2, 7, 3, 4, 5, 1};
    const NetIovBufType wantType[] = {99, 10, 11, 98, 12, 13, 14, 97};
    for (UINT32 i = 0; i < 8; i++) {
        EXPECT_EQ(NET_IOV__GET_LEN_OF_ELEMENT(&iov, i), wantLen[i]) << i;
        EXPECT_EQ(NET_IOV__GET_TYPE(&iov, i), wantType[i]) << i;
    }
    EXPECT_EQ(NET_IOV__GET_SIZE(&iov), 32u);
    netIov_Destroy(&iov);
}

TEST_F(NetIov, EmptyPoolFallsBackToTheHeapAndBlocksComeBack)
{
    // The fixture's pool has 4 blocks.
    NetSmallIov lists[6];
    for (NetSmallIov &l : lists)
        fill(&l, {1, 1, 1, 1, 1, 1});
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(lists[i].dynamicData->bFromHeap, i >= 4) << i;
    netIov_Destroy(&lists[1]);
    netIov_Destroy(&lists[5]);
    fill(&lists[1], {1, 1, 1, 1, 1, 1});
    EXPECT_FALSE(lists[1].dynamicData->bFromHeap);
    fill(&lists[5], {1, 1, 1, 1, 1, 1});
    EXPECT_TRUE(lists[5].dynamicData->bFromHeap);
    for (NetSmallIov &l : lists)
        NET_IOV__RESET(&l);
    for (NetSmallIov &l : lists)
        netIov_Destroy(&l);
}

TEST(NetIovNoPool, HeapBlocksWhenThePoolIsOff)
{
    MosNetSmallIov_InitParams params = {FALSE, 30000};
    ASSERT_EQ(netIovInfo_Init(&params), MOS_RC__SUCCESS);
    NetSmallIov iov;
    NET_IOV__INIT(&iov);
    for (int i = 0; i < NET_IOV__SIZE_OF_ARRAY; i++)
        netIov_AddBuffer(&iov, gBytes + i, 1, NET_IOV_BUF_TYPE__STATIC);
    EXPECT_TRUE(iov.dynamicData->bFromHeap);
    EXPECT_EQ(NET_IOV__GET_SIZE(&iov), (UINT32)NET_IOV__SIZE_OF_ARRAY);
    netIov_Destroy(&iov);
    netIovInfo_Destroy();
}

TEST_F(NetIov, SliceByOffsetTable)
{
    struct Case {
        UINT32 offset, size;
        std::vector<Piece> want;
    } cases[] = {
        {0, 60, {{0, 0, 10}, {1, 0, 20}, {2, 0, 30}}},
        {10, 5, {{1, 0, 5}}},                        // offset at a buffer's end: next buffer's start
        {5, 10, {{0, 5, 5}, {1, 0, 5}}},             // across a boundary
        {30, 30, {{2, 0, 30}}},                      // exactly the last buffer
        {25, 100, {{1, 15, 5}, {2, 0, 30}}},         // more than remains: stops at the end
        {59, 1, {{2, 29, 1}}},
        {0, 0, {}},
    };
    NetSmallIov src;
    fill(&src, {10, 20, 30});
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "offset " << c.offset << " size " << c.size);
        NetSmallIov dst;
        NET_IOV__INIT(&dst);
        netIov_AddIovFromOffset(&dst, &src, c.offset, c.size);
        expectPieces(&dst, {10, 20, 30}, c.want);
        netIov_Destroy(&dst);
    }
    netIov_Destroy(&src);
}

TEST_F(NetIov, PrepareNewIovTable)
{
    struct Case {
        UINT32 offset, size;
        std::vector<Piece> want;
    } cases[] = {
        {0, 38, {{-1, 0, 8}, {0, 0, 10}, {1, 0, 20}}},
        {3, 10, {{-1, 3, 5}, {0, 0, 5}}},
        {0, 4, {{-1, 0, 4}}},
        {8, 15, {{0, 0, 10}, {1, 0, 5}}}, // the net buffer wholly before the offset
        {20, 100, {{1, 2, 18}}},
    };
    NetSmallIov src;
    fill(&src, {10, 20}, 8);
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "offset " << c.offset << " size " << c.size);
        // The destination held a dynamic list before: it starts afresh.
        NetSmallIov dst;
        fill(&dst, {1, 1, 1, 1, 1, 1, 1}, 3);
        netIov_PrepareNewIov(&dst, &src, c.offset, c.size);
        EXPECT_FALSE(dst.bIsDynamic);
        if (c.want.empty() || c.want[0].srcBuf >= 0) {
            EXPECT_EQ(dst.numOfNetBufs, 0);
        }
        // Pieces of the user buffers count from the source's first user buffer.
        expectPieces(&dst, {10, 20}, c.want);
        netIov_Destroy(&dst);
    }
    netIov_Destroy(&src);
}

TEST_F(NetIov, CopyOwnsItsDescriptors)
{
    NetSmallIov src, dst;
    fill(&src, {1, 2, 3, 4, 5, 6, 7}, 16);
    NetIovUserContext ctx = {&src, 12, 3};
    netIov_AttachUserCtx(&src, &ctx);
    NET_IOV__INIT(&dst);
    netIov_Copy(&dst, &src);

    // The source goes away and its storage is reused: the copy does not change.
    netIov_Destroy(&src);
    fill(&src, {9, 9, 9, 9, 9, 9, 9, 9}, 32);
    memset(src.dynamicData, 0xEE, sizeof(NetIovBuf));
    netIov_Destroy(&src);
    memset(static_cast<void *>(&src), 0xEE, sizeof(src));

    EXPECT_EQ(dst.netBuf, &dst.dynamicData->Buf[0]);
    expectPieces(&dst, {1, 2, 3, 4, 5, 6, 7},
                 {{-1, 0, 16}, {0, 0, 1}, {1, 0, 2}, {2, 0, 3}, {3, 0, 4}, {4, 0, 5}, {5, 0, 6}, {6, 0, 7}});
    EXPECT_EQ(netIov_GetUserCtx(&dst)->pUserCtx, &src);
    EXPECT_EQ(netIov_GetUserCtx(&dst)->userCtxSize, 12u);
    netIov_ResetUserCtx(&dst);
    EXPECT_EQ(netIov_GetUserCtx(&dst)->pUserCtx, nullptr);
    netIov_Destroy(&dst);
}

TEST_F(NetIov, AppendListsAndFixAfterPartialWrite)
{
    NetSmallIov a, b;
    fill(&a, {10, 20, 30});
    fill(&b, {4});
    netIov_AddIov(&b, &a);
    netIov_AddIovFromIndex(&b, &a, 2);
    EXPECT_EQ(b.numOfUsedBuffers, 5u);
    EXPECT_EQ(NET_IOV__GET_SIZE(&b), 4u + 60u + 30u);
    EXPECT_EQ(NET_IOV__GET_TYPE(&b, 4), 12);
    // Appending a list to itself doubles it once.
    netIov_AddIov(&b, &b);
    EXPECT_EQ(b.numOfUsedBuffers, 10u);
    netIov_Destroy(&b);

    netIov_lFixIov(&a, 15);
    EXPECT_EQ(a.buf[0].iov_len, 0u);
    EXPECT_EQ(a.buf[0].iov_base, nullptr);
    EXPECT_EQ(a.buf[1].iov_base, gBytes + 15);
    EXPECT_EQ(a.buf[1].iov_len, 15u);
    EXPECT_EQ(a.buf[2].iov_len, 30u);
    EXPECT_EQ(NET_IOV__GET_SIZE(&a), 60u);
    netIov_Destroy(&a);
}

TEST_F(NetIov, AccessorsAndDump)
{
    NetSmallIov iov;
    NET_IOV__INIT(&iov);
    EXPECT_TRUE(NET_IOV__IS_EMPTY(&iov));
    netIov_AddBuffer(&iov, gBytes + 7, 42, NET_IOV_BUF_TYPE__USER_MALLOC);
    EXPECT_FALSE(NET_IOV__IS_EMPTY(&iov));
    EXPECT_EQ(NET_IOV__GET_LEN(&iov), 42u);
    EXPECT_EQ(NET_IOV__GET_DATA(&iov), gBytes + 7);
    NET_IOV__CHECK_BUF_NUM(&iov, 1);
    NET_IOV__CHECK_BUF_NUM_RANGE(&iov, 0, 1);
    char text[256];
    netIov_Dump(&iov, text, sizeof(text));
    EXPECT_NE(strstr(text, "{[elem 0] base="), nullptr) << text;
    EXPECT_NE(strstr(text, "len=42}, pUserCtx={p=(nil), size=0, type=0}"), nullptr) << text;
    EXPECT_PANIC(netIov_Dump(&iov, text, 20), "wrBytes >= len");
    NET_IOV__RESET(&iov);
    EXPECT_TRUE(NET_IOV__IS_EMPTY(&iov));
    netIov_Destroy(&iov);
}

TEST_F(NetIov, CapacityAndSizeLimits)
{
    NetSmallIov iov;
    NET_IOV__INIT(&iov);
    for (int i = 0; i < NET_IOV__SIZE_OF_ARRAY; i++)
        netIov_AddBuffer(&iov, gBytes + i, 1, 0);
    EXPECT_EQ(iov.numOfUsedBuffers, 38u);
    EXPECT_PANIC(netIov_AddBuffer(&iov, gBytes, 1, 0), "32 \\+ 1 \\+ 3");
    netIov_Destroy(&iov);

    // The largest buffer is 512 MB; the 32-bit total never wraps. The list never touches the
    // bytes, so one small array stands in for every buffer.
    NET_IOV__INIT(&iov);
    netIov_AddBuffer(&iov, gBytes, NET_IOV__MAX_BUF_LEN, 0);
    EXPECT_PANIC(netIov_AddBuffer(&iov, gBytes, NET_IOV__MAX_BUF_LEN + 1, 0), "512");
    for (int i = 1; i < 7; i++)
        netIov_AddBuffer(&iov, gBytes, NET_IOV__MAX_BUF_LEN, 0);
    netIov_AddBuffer(&iov, gBytes, NET_IOV__MAX_BUF_LEN - 1, 0);
    EXPECT_EQ(NET_IOV__GET_SIZE(&iov), UINT32_MAX);
    EXPECT_PANIC(netIov_AddBuffer(&iov, gBytes, 1, 0), "totalSizeOfData");
    EXPECT_PANIC(netIov_AddNetBuf(&iov, gNet, 1), "totalSizeOfData");
    NetSmallIov other;
    fill(&other, {1});
    EXPECT_PANIC(netIov_AddIov(&iov, &other), "totalSizeOfData");
    netIov_Destroy(&other);
    netIov_Destroy(&iov);
}

TEST_F(NetIov, MisusePanics)
{
    NetSmallIov iov, empty, src;
    fill(&iov, {1, 2});
    NET_IOV__INIT(&empty);
    fill(&src, {10, 20});
    netIov_AddNetBuf(&iov, gNet, 4);
    EXPECT_PANIC(netIov_AddBuffer(&iov, nullptr, 1, 0), "pBuff == nullptr");
    EXPECT_PANIC(netIov_AddBuffer(&iov, gBytes, 0, 0), "len == 0");
    EXPECT_PANIC(netIov_AddBuffer(&iov, gBytes, 1, 256), "bufType8 != bufType32");
    EXPECT_PANIC(netIov_AddBufferInIndex(&iov, gBytes, 1, 0, 3), "index > pIov->numOfUsedBuffers");
    EXPECT_PANIC(netIov_AddNetBuf(&iov, gNet, 4), "numOfNetBufs < 1");
    EXPECT_PANIC(netIov_PopBuffer(&empty), "numOfUsedBuffers");
    EXPECT_PANIC(netIov_PopNetBuf(&empty), "numOfNetBufs");
    EXPECT_PANIC(NET_IOV__GET_LEN(&iov), "numOfUsedBuffers == 1");
    EXPECT_PANIC(NET_IOV__GET_TYPE(&iov, 2), "index");
    EXPECT_PANIC(NET_IOV__CHECK_BUF_NUM(&iov, 3), "");
    EXPECT_PANIC(NET_IOV__CHECK_BUF_NUM_RANGE(&iov, 3, 5), "");
    EXPECT_PANIC(netIov_AddIov(nullptr, &iov), "pSrcIov == nullptr \\|\\| pDstIov");
    EXPECT_PANIC(netIov_AddIovFromOffset(&empty, &src, 30, 1), "offset >= pSrcIov->totalSizeOfData");
    EXPECT_PANIC(netIov_AddIovFromOffset(&src, &empty, 0, 1), "numOfUsedBuffers == 0");
    EXPECT_PANIC(netIov_PrepareNewIov(&src, &empty, 0, 1), "numOfNetBufs != 0");
    EXPECT_PANIC(netIov_PrepareNewIov(&empty, &src, 30, 1), "offset < pSrcIov->totalSizeOfData");
    EXPECT_PANIC(netIov_lFixIov(&src, 0), "offset == 0");
    netIov_lFixIov(&src, 10);
    EXPECT_PANIC(netIov_AddIovFromOffset(&empty, &src, 0, 30), "iov_len == 0");
    netIov_Destroy(&iov);
    netIov_Destroy(&empty);
    netIov_Destroy(&src);
}

// A list copied as plain bytes, a destroyed list and never-initialised memory are refused by
// every operation, destruction included (a byte copy of a dynamic list shares its block).
TEST_F(NetIov, ByteCopiedOrDeadListsAreDetected)
{
    NetSmallIov orig;
    fill(&orig, {1, 2, 3, 4, 5, 6});
    alignas(NetSmallIov) static unsigned char raw[3][sizeof(NetSmallIov)];
    memcpy(raw[0], &orig, sizeof(orig));
    NetSmallIov *pCopy = reinterpret_cast<NetSmallIov *>(raw[0]);
    NetSmallIov *pDead = reinterpret_cast<NetSmallIov *>(raw[1]);
    NET_IOV__INIT(pDead);
    netIov_Destroy(pDead);
    NetSmallIov *pNever = reinterpret_cast<NetSmallIov *>(raw[2]);
    NetSmallIov ok;
    NET_IOV__INIT(&ok);

    for (NetSmallIov *pBad : {pCopy, pDead, pNever}) {
        EXPECT_PANIC(netIov_Destroy(pBad), "netIov_Destroy");
        EXPECT_PANIC(NET_IOV__RESET(pBad), "NET_IOV__RESET");
        EXPECT_PANIC(NET_IOV__GET_SIZE(pBad), "NET_IOV__GET_SIZE");
        EXPECT_PANIC(netIov_AddBuffer(pBad, gBytes, 1, 0), "netIov_AddBuffer");
        EXPECT_PANIC(netIov_PopBuffer(pBad), "netIov_PopBuffer");
        EXPECT_PANIC(netIov_Copy(&ok, pBad), "netIov_Copy");
        EXPECT_PANIC(netIov_AddIov(pBad, &ok), "netIov_AddIov");
    }
    netIov_Destroy(&ok);
    netIov_Destroy(&orig);
}

TEST(NetIovLayer, DefaultPoolWithoutParameters)
{
    ContainerLayers layers;
    ASSERT_EQ(netIovInfo_Init(nullptr), MOS_RC__SUCCESS);
    NetSmallIov lists[3];
    for (NetSmallIov &l : lists) {
        NET_IOV__INIT(&l);
        for (int i = 0; i < 6; i++)
            netIov_AddBuffer(&l, gBytes, 1, 0);
        EXPECT_FALSE(l.dynamicData->bFromHeap);
    }
    for (NetSmallIov &l : lists)
        netIov_Destroy(&l);
    netIovInfo_Destroy();
}

// Any size the configuration allows starts the layer: a pool larger than the machine can give is
// held to what it can, with a line saying so, and lists beyond it take heap blocks.
static void startWithPoolOf(UINT32 asked)
{
    dup2(STDERR_FILENO, STDOUT_FILENO);
    ContainerLayers layers;
    MosNetSmallIov_InitParams params = {TRUE, asked};
    if (netIovInfo_Init(&params) != MOS_RC__SUCCESS)
        _exit(2);
    NetSmallIov iov;
    NET_IOV__INIT(&iov);
    for (int i = 0; i < 6; i++)
        netIov_AddBuffer(&iov, gBytes, 1, 0);
    if (iov.dynamicData->bFromHeap)
        _exit(3);
    netIov_Destroy(&iov);
    netIovInfo_Destroy();
    _exit(0);
}

TEST(NetIovLayer, OversizedPoolIsBoundedInsteadOfStoppingStartUp)
{
    for (UINT32 asked : {100000000u, UINT32_MAX})
        EXPECT_EXIT(startWithPoolOf(asked), ::testing::ExitedWithCode(0),
                    "SmallIOVPool: " + std::to_string(asked) +
                        " blocks of [0-9]+ bytes are more than the pool may take; it holds [0-9]+ and further lists "
                        "take their blocks from the heap");
}
