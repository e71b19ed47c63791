#include "mos/env/mos_net_iov.h"

#include <unistd.h>

#include <cstdio>

#include "mos/mos_diag_counters.h"
#include "mos/mos_mempool.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"

namespace {

struct NetIovInfo {
    BOOL bUseMemPool;
    BOOL bPoolCreated;
    MosMemPool pool;
};

NetIovInfo netIovInfo_G;

// Every add goes through here: checks, the move out of the inline slots, then the store.
void addBufferAt(NetSmallIov *pIov, void *pBuff, UINT32 len, UINT32 bufType32, UINT32 index)
{
    const NetIovBufType bufType8 = (NetIovBufType)bufType32;
    Exp(pIov->numOfUsedBuffers == NET_IOV__SIZE_OF_ARRAY);
    Exp(pBuff == nullptr || len == 0);
    Exp(bufType8 != bufType32);
    Exp(index > pIov->numOfUsedBuffers);
    // The total is 32 bits wide; a list whose sum would wrap is refused.
    Exp((UINT64)pIov->totalSizeOfData + len > UINT32_MAX);

    if (pIov->numOfUsedBuffers == NET_IOV__SMALL_SLOTS - 1)
        netIov_MoveToDynamic(pIov);

    for (UINT32 i = pIov->numOfUsedBuffers; i > index; i--) {
        pIov->buf[i] = pIov->buf[i - 1];
        pIov->bufType[i] = pIov->bufType[i - 1];
    }
    pIov->buf[index].iov_base = pBuff;
    pIov->buf[index].iov_len = len;
    pIov->bufType[index] = bufType8;
    pIov->totalSizeOfData += len;
    pIov->numOfUsedBuffers++;
}

void addBuffer(NetSmallIov *pIov, void *pBuff, UINT32 len, UINT32 bufType32)
{
    addBufferAt(pIov, pBuff, len, bufType32, pIov->numOfUsedBuffers);
}

// Appends src's user bytes [offset, offset + size) as pointers into src's buffers.
void addRange(NetSmallIov *pDstIov, const NetSmallIov *pSrcIov, UINT32 offset, UINT32 size)
{
    const UINT32 srcCount = pSrcIov->numOfUsedBuffers;
    for (UINT32 srcI = 0; srcI < srcCount && size > 0; srcI++) {
        const NetIovBuf &b = pSrcIov->buf[srcI];
        Exp(b.iov_len == 0);
        if (offset >= b.iov_len) {
            offset -= (UINT32)b.iov_len;
            continue;
        }
        UINT32 piece = MOS_MIN((UINT32)b.iov_len - offset, size);
        addBuffer(pDstIov, static_cast<char *>(b.iov_base) + offset, piece, pSrcIov->bufType[srcI]);
        size -= piece;
        offset = 0;
    }
}

void freeDynamic(MosNetIovDynamicData *pData)
{
    if (pData->bFromHeap)
        mos_MemFree(pData);
    else
        mosMemPool_Free(&netIovInfo_G.pool, pData);
}

} // namespace

// The pool is allocated and every block touched at start-up, so its size, which the
// configuration may set up to four thousand million blocks, is held to what the machine can give
// without harm: a quarter of a gigabyte, and an eighth of the memory on a small machine. Lists
// find an empty pool served from the heap anyway.
static UINT32 netIovInfo_BoundPoolSize(UINT32 asked)
{
    UINT64 maxBytes = NET_IOV__MAX_POOL_BYTES;
    long pages = sysconf(_SC_PHYS_PAGES);
    long pageSize = sysconf(_SC_PAGESIZE);
    if (pages > 0 && pageSize > 0)
        maxBytes = MOS_MIN(maxBytes, (UINT64)pages * (UINT64)pageSize / 8);
    UINT64 maxBlocks = MOS_MAX(maxBytes / sizeof(MosNetIovDynamicData), (UINT64)1);
    if (asked <= maxBlocks)
        return asked;
    // Printed: the layer starts before the trace and error files exist.
    printf("%s: %u blocks of %u bytes are more than the pool may take; it holds %u and further lists take their "
           "blocks from the heap\n",
           NET_IOV__POOL_NAME, asked, (unsigned)sizeof(MosNetIovDynamicData), (unsigned)maxBlocks);
    fflush(stdout);
    return (UINT32)maxBlocks;
}

Mos_RC netIovInfo_Init(const MosNetSmallIov_InitParams *pParams)
{
    memset(static_cast<void *>(&netIovInfo_G), 0, sizeof(netIovInfo_G));
    UINT32 poolSize = NET_IOV__DEFAULT_POOL_SIZE;
    netIovInfo_G.bUseMemPool = TRUE;
    if (pParams != nullptr) {
        netIovInfo_G.bUseMemPool = pParams->bUseMemPool && pParams->memPoolSize != 0;
        poolSize = pParams->memPoolSize;
    }
    if (netIovInfo_G.bUseMemPool)
        poolSize = netIovInfo_BoundPoolSize(poolSize);
    if (netIovInfo_G.bUseMemPool) {
        mosMemPool_CreateEx(&netIovInfo_G.pool, NET_IOV__POOL_NAME, nullptr, nullptr, sizeof(MosNetIovDynamicData),
                            poolSize, 0, FALSE, MOS_TIMER__FREE_HANDLER_LIST);
        netIovInfo_G.bPoolCreated = TRUE;
    }
    return MOS_RC__SUCCESS;
}

void netIovInfo_Destroy(void)
{
    if (netIovInfo_G.bPoolCreated)
        mosMemPool_Destroy(&netIovInfo_G.pool);
    memset(static_cast<void *>(&netIovInfo_G), 0, sizeof(netIovInfo_G));
}

void netIov_MoveToDynamic(NetSmallIov *pIov)
{
    NET_IOV__VALIDATE_INIT(pIov, "netIov_MoveToDynamic");
    MOS_ASSERT_WITH_DESC(pIov->numOfUsedBuffers <= NET_IOV__SMALL_SLOTS - 1, "");
    if (pIov->bIsDynamic)
        return;

    MosNetIovDynamicData *pDynamicData = nullptr;
    BOOL bFromHeap = TRUE;
    if (netIovInfo_G.bUseMemPool) {
        // An empty pool must not stop the sender: the block comes from the heap instead.
        PVOID pBlock = nullptr;
        if (mosMemPool_AllocNoWait(&netIovInfo_G.pool, &pBlock) == MOS_RC__SUCCESS) {
            pDynamicData = static_cast<MosNetIovDynamicData *>(pBlock);
            bFromHeap = FALSE;
        }
    }
    if (pDynamicData == nullptr) {
        pDynamicData = static_cast<MosNetIovDynamicData *>(
            mos_MemMalloc(sizeof(MosNetIovDynamicData), sizeof(MosNetIovDynamicData), "netIov_MoveToDynamic", TRUE));
        MOS_ASSERT_WITH_DESC(pDynamicData != nullptr, "");
    }
    memset(static_cast<void *>(pDynamicData), 0, sizeof(*pDynamicData));
    pDynamicData->bFromHeap = bFromHeap;
    memcpy(pDynamicData->Buf, pIov->staticIov, sizeof(pIov->staticIov));
    memcpy(pDynamicData->BufType, pIov->staticBufType, sizeof(pIov->staticBufType));

    pIov->dynamicData = pDynamicData;
    pIov->netBuf = &pDynamicData->Buf[0];
    pIov->buf = &pDynamicData->Buf[1];
    pIov->bufType = pDynamicData->BufType;
    pIov->bIsDynamic = TRUE;
    MOS_DIAG_COUNT(NETSMALLIOV_LARGE);
}

void netIov_AddBuffer(NetSmallIov *pIov, void *pBuff, UINT32 len, UINT32 bufType32)
{
    NET_IOV__VALIDATE_INIT(pIov, "netIov_AddBuffer");
    Exp(len > NET_IOV__MAX_BUF_LEN);
    addBuffer(pIov, pBuff, len, bufType32);
}

void netIov_AddBufferInIndex(NetSmallIov *pIov, void *pBuff, UINT32 len, UINT32 bufType32, UINT32 index)
{
    NET_IOV__VALIDATE_INIT(pIov, "netIov_AddBufferInIndex");
    addBufferAt(pIov, pBuff, len, bufType32, index);
}

void netIov_PopBuffer(NetSmallIov *pIov)
{
    NET_IOV__VALIDATE_INIT(pIov, "netIov_PopBuffer");
    MOS_ASSERT_WITH_DESC(pIov->numOfUsedBuffers != 0, "");
    NetIovBuf &last = pIov->buf[pIov->numOfUsedBuffers - 1];
    const UINT32 len = (UINT32)last.iov_len;
    MOS_ASSERT_WITH_DESC(pIov->totalSizeOfData >= len, "");
    last.iov_base = nullptr;
    last.iov_len = 0;
    pIov->bufType[pIov->numOfUsedBuffers - 1] = NET_IOV_BUF_TYPE__NONE;
    pIov->totalSizeOfData -= len;
    pIov->numOfUsedBuffers--;
}

void netIov_AddNetBuf(NetSmallIov *pIov, void *pBuf, UINT32 len)
{
    NET_IOV__VALIDATE_INIT(pIov, "netIov_AddNetBuf");
    MOS_ASSERT_WITH_DESC(pIov->numOfNetBufs < 1, "");
    Exp((UINT64)pIov->totalSizeOfData + len > UINT32_MAX);
    pIov->netBuf[0].iov_base = pBuf;
    pIov->netBuf[0].iov_len = len;
    pIov->totalSizeOfData += len;
    pIov->numOfNetBufs = 1;
}

void netIov_PopNetBuf(NetSmallIov *pIov)
{
    NET_IOV__VALIDATE_INIT(pIov, "netIov_PopNetBuf");
    MOS_ASSERT_WITH_DESC(pIov->numOfNetBufs != 0, "");
    const UINT32 len = (UINT32)pIov->netBuf[0].iov_len;
    MOS_ASSERT_WITH_DESC(pIov->totalSizeOfData >= len, "");
    pIov->netBuf[0].iov_base = nullptr;
    pIov->netBuf[0].iov_len = 0;
    pIov->totalSizeOfData -= len;
    pIov->numOfNetBufs = 0;
}

void netIov_AddIovFromIndex(NetSmallIov *pDstIov, const NetSmallIov *pSrcIov, UINT32 startIndex)
{
    Exp(pSrcIov == nullptr || pDstIov == nullptr);
    NET_IOV__VALIDATE_INIT(pDstIov, "netIov_AddIov");
    NET_IOV__VALIDATE_INIT(pSrcIov, "netIov_AddIov");
    // The count is taken first so that appending a list to itself ends.
    const UINT32 srcCount = pSrcIov->numOfUsedBuffers;
    for (UINT32 i = startIndex; i < srcCount; i++)
        addBuffer(pDstIov, pSrcIov->buf[i].iov_base, (UINT32)pSrcIov->buf[i].iov_len, pSrcIov->bufType[i]);
}

void netIov_AddIov(NetSmallIov *pDstIov, const NetSmallIov *pSrcIov)
{
    netIov_AddIovFromIndex(pDstIov, pSrcIov, 0);
}

void netIov_AddIovFromOffset(NetSmallIov *pDstIov, const NetSmallIov *pSrcIov, UINT32 offset, UINT32 sizeInBytes)
{
    Exp(pSrcIov == nullptr || pDstIov == nullptr);
    NET_IOV__VALIDATE_INIT(pDstIov, "netIov_AddIovFromOffset");
    NET_IOV__VALIDATE_INIT(pSrcIov, "netIov_AddIovFromOffset");
    Exp(pSrcIov->numOfUsedBuffers == 0);
    Exp(offset >= pSrcIov->totalSizeOfData);
    addRange(pDstIov, pSrcIov, offset, sizeInBytes);
}

void netIov_PrepareNewIov(NetSmallIov *pDstIov, const NetSmallIov *pSrcIov, UINT32 offset, UINT32 size)
{
    NET_IOV__VALIDATE_INIT(pDstIov, "netIov_PrepareNewIov");
    NET_IOV__VALIDATE_INIT(pSrcIov, "netIov_PrepareNewIov");
    MOS_ASSERT(pDstIov != pSrcIov);
    MOS_ASSERT_WITH_DESC(pSrcIov->numOfUsedBuffers != 0 || pSrcIov->numOfNetBufs != 0, "");
    MOS_ASSERT_WITH_DESC(offset < pSrcIov->totalSizeOfData, "");

    netIov_Destroy(pDstIov);
    NET_IOV__INIT(pDstIov);

    if (pSrcIov->numOfNetBufs != 0) {
        const NetIovBuf &nb = pSrcIov->netBuf[0];
        if (offset < nb.iov_len) {
            UINT32 piece = MOS_MIN((UINT32)nb.iov_len - offset, size);
            if (piece != 0)
                netIov_AddNetBuf(pDstIov, static_cast<char *>(nb.iov_base) + offset, piece);
            offset = 0;
        } else {
            offset -= (UINT32)nb.iov_len;
        }
    }
    if (pDstIov->totalSizeOfData < size)
        addRange(pDstIov, pSrcIov, offset, size - pDstIov->totalSizeOfData);
}

void netIov_lFixIov(NetSmallIov *pSrcIov, UINT32 offset)
{
    NET_IOV__VALIDATE_INIT(pSrcIov, "netIov_lFixIov");
    Exp(offset == 0 || pSrcIov->numOfUsedBuffers == 0);
    Exp(offset >= pSrcIov->totalSizeOfData);
    for (UINT32 i = 0; i < pSrcIov->numOfUsedBuffers && offset > 0; i++) {
        NetIovBuf &b = pSrcIov->buf[i];
        if (offset >= b.iov_len) {
            offset -= (UINT32)b.iov_len;
            b.iov_base = nullptr;
            b.iov_len = 0;
        } else {
            b.iov_base = static_cast<char *>(b.iov_base) + offset;
            b.iov_len -= offset;
            offset = 0;
        }
    }
}

void netIov_Copy(NetSmallIov *pDstIov, const NetSmallIov *pSrcIov)
{
    NET_IOV__VALIDATE_INIT(pDstIov, "netIov_Copy");
    NET_IOV__VALIDATE_INIT(pSrcIov, "netIov_Copy");
    // The net buffer's descriptor is copied into the copy's own slot: pointing at the source's
    // slot would leave the copy dangling once the source is destroyed or reused.
    if (pSrcIov->numOfNetBufs != 0)
        netIov_AddNetBuf(pDstIov, pSrcIov->netBuf[0].iov_base, (UINT32)pSrcIov->netBuf[0].iov_len);
    netIov_AddIov(pDstIov, pSrcIov);
    pDstIov->userCtx = pSrcIov->userCtx;
}

void netIov_AttachUserCtx(NetSmallIov *pIov, const NetIovUserContext *pCtx)
{
    NET_IOV__VALIDATE_INIT(pIov, "netIov_AttachUserCtx");
    MOS_ASSERT(pCtx != nullptr);
    pIov->userCtx.pUserCtx = pCtx->pUserCtx;
    pIov->userCtx.userCtxSize = pCtx->userCtxSize;
    pIov->userCtx.userCtxType = pCtx->userCtxType;
}

NetIovUserContext *netIov_GetUserCtx(NetSmallIov *pIov)
{
    NET_IOV__VALIDATE_INIT(pIov, "netIov_GetUserCtx");
    return &pIov->userCtx;
}

void netIov_ResetUserCtx(NetSmallIov *pIov)
{
    NET_IOV__VALIDATE_INIT(pIov, "netIov_ResetUserCtx");
    memset(&pIov->userCtx, 0, sizeof(pIov->userCtx));
}

void netIov_Destroy(NetSmallIov *pIov)
{
    // Checked like every other operation: a plain byte copy of a dynamic list shares its block,
    // and destroying both would return the block twice.
    NET_IOV__VALIDATE_INIT(pIov, "netIov_Destroy");
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_HIGH, "(%p) - num of used: %d (net =%d), bIsDynamic: %d", (void *)pIov,
              (int)pIov->numOfUsedBuffers, (int)pIov->numOfNetBufs, (int)pIov->bIsDynamic);
    if (pIov->bIsDynamic) {
        freeDynamic(pIov->dynamicData);
        pIov->dynamicData = nullptr;
        pIov->netBuf = nullptr;
        pIov->buf = nullptr;
        pIov->bufType = nullptr;
        pIov->bIsDynamic = FALSE;
    }
    pIov->initializedMagic = 0;
}

void netIov_Dump(const NetSmallIov *pIov, char *pBuff, UINT32 len)
{
    NET_IOV__VALIDATE_INIT(pIov, "netIov_Dump");
    MOS_ASSERT(pBuff != nullptr);
    UINT32 used = 0;
    auto append = [&](int wrBytes) {
        MOS_ASSERT_WITH_DESC(!(wrBytes < 0 || (UINT32)wrBytes >= len - used), "");
        used += (UINT32)wrBytes;
    };
    append(snprintf(pBuff, len, "pIov at %p: ", (const void *)pIov));
    for (UINT32 i = 0; i < pIov->numOfUsedBuffers; i++)
        append(snprintf(pBuff + used, len - used, "{[elem %u] base=%p, len=%zu}, ", i, pIov->buf[i].iov_base,
                        pIov->buf[i].iov_len));
    append(snprintf(pBuff + used, len - used, "pUserCtx={p=%p, size=%u, type=%u}", pIov->userCtx.pUserCtx,
                    pIov->userCtx.userCtxSize, pIov->userCtx.userCtxType));
}
