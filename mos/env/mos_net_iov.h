// Scatter-gather buffer lists. A list holds pointers into buffers that others own: up to five
// user buffers live inline, and a list that grows beyond that moves once, for the rest of its life,
// into a larger descriptor block from a process-wide pool. Slot 0 in front of the user buffers is
// the net buffer (the frame head), so a send hands the kernel one array headed by it.
//
// A list records its own address: it must never be copied as a plain value (netIov_Copy
// duplicates one), and every operation refuses a list that was moved or never initialised.
#pragma once

#include <sys/uio.h>

#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_rc.h"
#include "mos/mos_types.h"

typedef struct iovec NetIovBuf;
#define NET_IOV__BUF_FIELD iov_base
#define NET_IOV__BUF_SIZE iov_len

typedef UINT8 NetIovBufType;
enum : NetIovBufType {
    NET_IOV_BUF_TYPE__NONE = 0,
    NET_IOV_BUF_TYPE__STATIC = 1,
    NET_IOV_BUF_TYPE__NET_INTR = 2,
    NET_IOV_BUF_TYPE__NET_STATIC_PADDING = 3,
    NET_IOV_BUF_TYPE__USER_FIRST = 4,
    NET_IOV_BUF_TYPE__USER_MALLOC = 5,
};

#define NET_IOV__MAGIC 0xBABA
#define NET_IOV__SMALL_SLOTS 6
#define NET_IOV__T10DIF_COALESCE_RESERVED 1
#define NET_IOV__SIZE_OF_USER_BUFFERS (32 + NET_IOV__T10DIF_COALESCE_RESERVED + 3)
#define NET_IOV__SECURE_CONN_RESERVED 1
#define NET_IOV__SIZE_OF_RESERVED 1
#define NET_IOV__SIZE_OF_ARRAY (NET_IOV__SIZE_OF_USER_BUFFERS + NET_IOV__SECURE_CONN_RESERVED + NET_IOV__SIZE_OF_RESERVED)
#define NET_IOV__NET_HEADER_SLOTS 1
#define NET_IOV__LARGE_SLOTS (NET_IOV__SIZE_OF_ARRAY + NET_IOV__NET_HEADER_SLOTS)
#define NET_IOV__DEFAULT_POOL_SIZE 1000
#define NET_IOV__MAX_BUF_LEN (512u * (2 * 1024) * 512u)
#define NET_IOV__POOL_NAME "SmallIOVPool"
// The most memory the block pool takes, however many blocks are configured.
#define NET_IOV__MAX_POOL_BYTES (256ull << 20)

static_assert(NET_IOV__SIZE_OF_USER_BUFFERS == 36 && NET_IOV__SIZE_OF_ARRAY == 38 && NET_IOV__LARGE_SLOTS == 39);
static_assert(NET_IOV__MAX_BUF_LEN == 536870912u);

struct NetIovUserContext {
    void *pUserCtx;
    UINT32 userCtxSize;
    UINT32 userCtxType;
};

struct MosNetIovDynamicData {
    NetIovBuf Buf[NET_IOV__LARGE_SLOTS];
    NetIovBufType BufType[NET_IOV__LARGE_SLOTS];
    // Taken from the heap because the pool was off or empty; returned the same way.
    BOOL bFromHeap;
};

struct NetSmallIov {
    UINT16 initializedMagic;
    NetSmallIov *localityMagic;
    NetIovBuf *netBuf;
    NetIovBuf *buf;
    NetIovBufType *bufType;
    UINT32 totalSizeOfData;
    UINT32 numOfUsedBuffers;
    UINT16 numOfNetBufs;
    NetIovUserContext userCtx;
    BOOL bIsDynamic;
    union {
        struct {
            NetIovBuf staticIov[NET_IOV__SMALL_SLOTS];
            NetIovBufType staticBufType[NET_IOV__SMALL_SLOTS];
        };
        MosNetIovDynamicData *dynamicData;
    };
};
typedef NetSmallIov *PNetSmallIov;

// Start-up parameters of the small lists' block pool.
struct MosNetSmallIov_InitParams {
    BOOL bUseMemPool;
    UINT32 memPoolSize;
};

Mos_RC netIovInfo_Init(const MosNetSmallIov_InitParams *pParams);
void netIovInfo_Destroy(void);

void netIov_AddBuffer(NetSmallIov *pIov, void *pBuff, UINT32 len, UINT32 bufType32);
void netIov_AddBufferInIndex(NetSmallIov *pIov, void *pBuff, UINT32 len, UINT32 bufType32, UINT32 index);
void netIov_PopBuffer(NetSmallIov *pIov);
void netIov_AddNetBuf(NetSmallIov *pIov, void *pBuf, UINT32 len);
void netIov_PopNetBuf(NetSmallIov *pIov);
void netIov_AddIov(NetSmallIov *pDstIov, const NetSmallIov *pSrcIov);
void netIov_AddIovFromIndex(NetSmallIov *pDstIov, const NetSmallIov *pSrcIov, UINT32 startIndex);
void netIov_AddIovFromOffset(NetSmallIov *pDstIov, const NetSmallIov *pSrcIov, UINT32 offset, UINT32 sizeInBytes);
void netIov_PrepareNewIov(NetSmallIov *pDstIov, const NetSmallIov *pSrcIov, UINT32 offset, UINT32 size);
void netIov_lFixIov(NetSmallIov *pSrcIov, UINT32 offset);
void netIov_Copy(NetSmallIov *pDstIov, const NetSmallIov *pSrcIov);
void netIov_AttachUserCtx(NetSmallIov *pIov, const NetIovUserContext *pCtx);
NetIovUserContext *netIov_GetUserCtx(NetSmallIov *pIov);
void netIov_ResetUserCtx(NetSmallIov *pIov);
void netIov_Destroy(NetSmallIov *pIov);
void netIov_Dump(const NetSmallIov *pIov, char *pBuff, UINT32 len);
void netIov_MoveToDynamic(NetSmallIov *pIov);

// ---- Inline accessors ----

// Panics, naming the operation, unless the list is initialised and lives where it was set up.
static inline void NET_IOV__VALIDATE_INIT(const NetSmallIov *pIov, const char *pWho)
{
    if (__builtin_expect(pIov == nullptr || pIov->initializedMagic != NET_IOV__MAGIC || pIov->localityMagic != pIov,
                         0))
        MOS_PANIC(pWho, "list not initialised, destroyed or copied as plain bytes");
}

static inline void NET_IOV__INIT(NetSmallIov *pIov)
{
    MOS_ASSERT(pIov != nullptr);
    memset(static_cast<void *>(pIov), 0, sizeof(*pIov));
    pIov->initializedMagic = NET_IOV__MAGIC;
    pIov->localityMagic = pIov;
    pIov->netBuf = &pIov->staticIov[0];
    pIov->buf = &pIov->staticIov[1];
    pIov->bufType = pIov->staticBufType;
}

static inline void NET_IOV__RESET(NetSmallIov *pIov)
{
    NET_IOV__VALIDATE_INIT(pIov, "NET_IOV__RESET");
    netIov_Destroy(pIov);
    NET_IOV__INIT(pIov);
}

static inline UINT32 NET_IOV__GET_SIZE(const NetSmallIov *pIov)
{
    NET_IOV__VALIDATE_INIT(pIov, "NET_IOV__GET_SIZE");
    return pIov->totalSizeOfData;
}

static inline BOOL NET_IOV__IS_EMPTY(const NetSmallIov *pIov)
{
    NET_IOV__VALIDATE_INIT(pIov, "NET_IOV__IS_EMPTY");
    return pIov->totalSizeOfData == 0;
}

static inline UINT32 NET_IOV__GET_LEN(const NetSmallIov *pIov)
{
    NET_IOV__VALIDATE_INIT(pIov, "NET_IOV__GET_LEN");
    MOS_ASSERT_WITH_DESC(pIov->numOfUsedBuffers == 1, "");
    return (UINT32)pIov->buf[0].iov_len;
}

static inline void NET_IOV__CHECK_INDEX(const NetSmallIov *pIov, UINT32 index, const char *pWho)
{
    NET_IOV__VALIDATE_INIT(pIov, pWho);
    MOS_ASSERT_WITH_DESC(index < pIov->numOfUsedBuffers, pWho);
}

static inline UINT32 NET_IOV__GET_LEN_OF_ELEMENT(const NetSmallIov *pIov, UINT32 index)
{
    NET_IOV__CHECK_INDEX(pIov, index, "NET_IOV__GET_LEN_OF_ELEMENT");
    return (UINT32)pIov->buf[index].iov_len;
}

static inline void *NET_IOV__GET_DATA(const NetSmallIov *pIov)
{
    NET_IOV__VALIDATE_INIT(pIov, "NET_IOV__GET_DATA");
    return pIov->buf[0].iov_base;
}

static inline void *NET_IOV__GET(const NetSmallIov *pIov, UINT32 index, UINT32 *pLen)
{
    NET_IOV__CHECK_INDEX(pIov, index, "NET_IOV__GET");
    if (pLen != nullptr)
        *pLen = (UINT32)pIov->buf[index].iov_len;
    return pIov->buf[index].iov_base;
}

static inline NetIovBufType NET_IOV__GET_TYPE(const NetSmallIov *pIov, UINT32 index)
{
    NET_IOV__CHECK_INDEX(pIov, index, "NET_IOV__GET_TYPE");
    return pIov->bufType[index];
}

static inline void NET_IOV__CHECK_BUF_NUM(const NetSmallIov *pIov, UINT32 n)
{
    NET_IOV__VALIDATE_INIT(pIov, "NET_IOV__CHECK_BUF_NUM");
    MOS_ASSERT_WITH_DESC(pIov->numOfUsedBuffers == n, "NET_IOV__CHECK_BUF_NUM");
}

static inline void NET_IOV__CHECK_BUF_NUM_RANGE(const NetSmallIov *pIov, UINT32 minNum, UINT32 maxNum)
{
    NET_IOV__VALIDATE_INIT(pIov, "NET_IOV__CHECK_BUF_NUM_RANGE");
    MOS_ASSERT_WITH_DESC(!(pIov->numOfUsedBuffers < minNum || pIov->numOfUsedBuffers > maxNum), "NET_IOV__CHECK_BUF_NUM_RANGE");
}
