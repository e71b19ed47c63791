// The network glue's buffers on a controller with just the pools they come from: a copy takes a
// unit of the copy receive pool, an exhausted pool blocks reception until a copy buffer comes
// back, a write that breaks the size rule gets a plain buffer and is marked malformed, and every
// I/O context returns to its pool.
#include <gtest/gtest.h>

#include <cstring>

#include "test/support/net_support.h"
#include "tgt/cont/cont.h"
#include "tgt/tgt_contention.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new NetTestRuntimeEnv);

constexpr UINT32 kCtxs = 16;

class ContNetBuf : public ::testing::Test {
  protected:
    void SetUp() override
    {
        memset(static_cast<void *>(&cont_), 0, sizeof(cont_));
        MOS_FASTLOCK_CREATE(&cont_.fastLock, TGT_CONTENTION__CONT);
        mosMemPool_CreateEx(&cont_.ioCtxPool, "test io ctx", nullptr, nullptr, CONT__IO_CTX_SIZE, kCtxs, 0, FALSE,
                            MOS_TIMER__FREE_HANDLER_LIST);
        // Two copy units in all.
        ASSERT_EQ(mosDynamicMemPool_Create(&cont_.copyRcvBufferPool, "test copy", CONT__COPY_UNIT_SIZE, 1, 2, 1, 4096),
                  MOS_RC__SUCCESS);
        NetConfParam conf;
        netConfParam_SetDefaults(&conf);
        common_UmtClassInit(netEngineTest_NoClass);
        ASSERT_EQ(mosUmtSchedThrd_Create(&sched_, "cont net buf", 1, 1, 0), MOS_RC__SUCCESS);
        NetCallback cb;
        net_InitEmptyNetCallback(&cb);
        net_Init(cont_GetNetObj(&cont_), &sched_.base, &cb, CONT_NET__NUM_OF_RECV_GROUPS, 0x5, NET_OWNER_TYPE__TGT,
                 &conf);
    }
    void TearDown() override
    {
        EXPECT_EQ(mosMemPool_GetNumOfFreeEntries(&cont_.ioCtxPool), kCtxs); // every context came back
        net_Destroy(cont_GetNetObj(&cont_));
        mosUmtSchedThrd_Destroy(&sched_);
        mosDynamicMemPool_Destroy(&cont_.copyRcvBufferPool);
        mosMemPool_Destroy(&cont_.ioCtxPool);
    }
    // A copy (2105) of sizeInLbs blocks with guards whose record says recSize.
    void AllocCopy(NetSmallIov *pIov, UINT32 sizeInLbs, UINT32 recSize)
    {
        UINT8 ext[100] = {};
        const UINT32 flags = TGT_IO_WR__T10DIF_ATTACHED;
        memcpy(ext + offsetof(TgtReq_IoWriteSec, sizeInLbs), &recSize, 4);
        memcpy(ext + offsetof(TgtReq_IoWriteSec, flags), &flags, 4);
        NET_IOV__INIT(pIov);
        contNet_AllocBuffer(&cont_, CONT_NET__RECV_GROUP__TGT_IO_COPY, pIov, 100 + sizeInLbs * 514,
                            TGT_MSG_TYPE__IO_WRITE_SEC_COPY, SOCKET_HEADER_TYPE__SND_RCV, ext);
    }
    void Free(NetSmallIov *pIov)
    {
        contNet_FreeBuffer(&cont_, CONT_NET__RECV_GROUP__TGT_IO_COPY, pIov);
        netIov_Destroy(pIov);
    }
    static Cont cont_;
    MosUmt_SchedThrd sched_;
};
Cont ContNetBuf::cont_;

TEST_F(ContNetBuf, AnExhaustedCopyPoolBlocksReceptionUntilACopyBufferIsFreed)
{
    Net *pNet = cont_GetNetObj(&cont_);
    NetSmallIov other, first, second, third;
    AllocCopy(&other, 1, 1);
    ASSERT_EQ(NET_IOV__GET_SIZE(&other), 100u + 514);
    AllocCopy(&first, 8, 8);
    ASSERT_EQ(NET_IOV__GET_SIZE(&first), 100u + 8 * 514);
    ASSERT_EQ(first.numOfUsedBuffers, 3u);
    EXPECT_EQ(NET_IOV__GET_TYPE(&first, 0), CONT_NET_BUF_TYPE__NET_ALLOC);
    EXPECT_EQ(NET_IOV__GET_TYPE(&first, 1), CONT_NET_BUF_TYPE__COPY_RCV_POOL);
    EXPECT_EQ(NET_IOV__GET_TYPE(&first, 2), CONT_NET_BUF_TYPE__COPY_RCV_POOL_DIF);
    EXPECT_FALSE(net_IsPaused(pNet));

    AllocCopy(&second, 8, 8); // the pool is dry: no buffer, reception blocked
    EXPECT_TRUE(NET_IOV__IS_EMPTY(&second));
    EXPECT_TRUE(net_IsPaused(pNet));
    netIov_Destroy(&second);

    Free(&first); // the copy buffer comes back: reception resumes
    EXPECT_FALSE(net_IsPaused(pNet));
    AllocCopy(&third, 2048, 2048); // a whole tooth fits the unit
    EXPECT_EQ(NET_IOV__GET_SIZE(&third), 100u + 2048 * 514);
    Free(&third);
    Free(&other);
    EXPECT_FALSE(net_IsPaused(pNet));
}

TEST_F(ContNetBuf, AMalformedCopyGetsAPlainBufferAndOtherGroupsTheirOwn)
{
    NetSmallIov iov;
    AllocCopy(&iov, 8, 7); // the record disagrees with the payload
    ASSERT_EQ(NET_IOV__GET_SIZE(&iov), 100u + 8 * 514);
    EXPECT_EQ(iov.numOfUsedBuffers, 1u);
    EXPECT_EQ(NET_IOV__GET_TYPE(&iov, 0), CONT_NET_BUF_TYPE__NET_ALLOC);
    const auto *pCtx = static_cast<const PellarIOCtx *>(netIov_GetUserCtx(&iov)->pUserCtx);
    ASSERT_NE(pCtx, nullptr);
    EXPECT_TRUE(pCtx->bMalformed);
    EXPECT_EQ(pCtx->msgCode, TGT_MSG_TYPE__IO_WRITE_SEC_COPY);
    Free(&iov);

    UINT8 ext[100] = {};
    struct Case {
        UINT32 grp;
        SocketHeaderType type;
        BOOL bGiven;
    };
    const Case cases[] = {
        {CONT_NET__RECV_GROUP__CONTROL, SOCKET_HEADER_TYPE__SND_RCV, TRUE},
        {CONT_NET__RECV_GROUP__KEEPALIVE, SOCKET_HEADER_TYPE__NOTIF, TRUE},
        {CONT_NET__RECV_GROUP__OSTREL_CONTROL, SOCKET_HEADER_TYPE__SND_RCV, FALSE}, // outside 20-27
        {CONT_NET__RECV_GROUP__TGT_IO_MAIN, SOCKET_HEADER_TYPE__NOTIF, FALSE},      // not a request or response
        {CONT_NET__RECV_GROUP__TGT_IO_COPY, SOCKET_HEADER_TYPE__SND_RCV, TRUE},     // short: a plain buffer
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.grp);
        NET_IOV__INIT(&iov);
        contNet_AllocBuffer(&cont_, c.grp, &iov, 60, 2000, c.type, ext);
        EXPECT_EQ(NET_IOV__GET_SIZE(&iov), c.bGiven ? 60u : 0u);
        Free(&iov);
    }
}

} // namespace
