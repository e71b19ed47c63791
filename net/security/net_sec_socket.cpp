#include "net/security/net_sec_socket.h"

#include <cstring>

#include "mos/env/mos_net_iov.h"
#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"

namespace {
enum : MosContentionId {
    NET_SEC__SEND_LIST_LOCK_ID = 340,
    NET_SEC__ENGINE_LOCK_ID = 341,
};
} // namespace

void netSec_InitSocket(NetSecSocket *pSock)
{
    MOS_ASSERT(pSock->pRawReadBuf == nullptr);
    memset(static_cast<void *>(pSock), 0, sizeof(*pSock));
    pSock->secMode = NET_SEC_MODE__UNSECURE;
    pSock->pRawReadBuf =
        static_cast<UINT8 *>(mos_MemMalloc(NET_SEC__RAW_READ_BUF_SIZE, NET_SEC__RAW_READ_BUF_SIZE, __func__, TRUE));
    MOS_ASSERT(pSock->pRawReadBuf != nullptr);
    MOS_FASTLOCK_CREATE(&pSock->secSendListLock, NET_SEC__SEND_LIST_LOCK_ID);
    MOS_FASTLOCK_CREATE(&pSock->engineLock, NET_SEC__ENGINE_LOCK_ID);
    mosDList_InitAnchor(&pSock->secSendList.mitList);
    mosMitCond_Init(&pSock->secSendList.stopCond);
}

void netSec_DestroySocket(NetSecSocket *pSock)
{
    if (pSock->pRawReadBuf == nullptr)
        return;
    if (pSock->secMode == NET_SEC_MODE__SECURE_SSL) {
        mosSsl_WriteRelease(pSock->protoData.sslSock.pSslSocketHandle, pSock->pSendBio);
        pSock->pSendBio = nullptr;
        mosSsl_DestroySocketHandle(pSock->protoData.sslSock.pSslSocketHandle);
    }
    else if (pSock->secMode != NET_SEC_MODE__UNSECURE)
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "WARNING: Invalid socket security mode (%d)", (int)pSock->secMode);
    pSock->protoData.sslSock.pSslSocketHandle = nullptr;
    mosMitCond_Destroy(&pSock->secSendList.stopCond);
    mosFastlockBase_Destroy(&pSock->engineLock);
    mosFastlockBase_Destroy(&pSock->secSendListLock);
    mos_MemFree(pSock->pRawReadBuf);
    pSock->pRawReadBuf = nullptr;
    pSock->secMode = NET_SEC_MODE__UNSECURE;
    pSock->pSecureSendCK = nullptr;
    pSock->pSecureRecvCK = nullptr;
}

void netSec_ResetSocket(NetSecSocket *pSock)
{
    netSec_DestroySocket(pSock);
    netSec_InitSocket(pSock);
}

void netSec_SocketSetSsl(NetSecSocket *pSock, MosSslSocketHandle *pHandle)
{
    MOS_ASSERT(netSec_SocketGetSslHandle(pSock) == nullptr);
    pSock->protoData.sslSock.pSslSocketHandle = pHandle;
    pSock->secMode = NET_SEC_MODE__SECURE_SSL;
}

MosSslSocketHandle *netSec_SocketGetSslHandle(const NetSecSocket *pSock)
{
    return pSock->protoData.sslSock.pSslSocketHandle;
}

void netSec_DisconnectSocket(NetSecSocket *pSock)
{
    switch (pSock->secMode) {
    case NET_SEC_MODE__UNSECURE:
        return;
    case NET_SEC_MODE__SECURE_SSL:
        if (mosSsl_Disconnect(netSec_SocketGetSslHandle(pSock)) == MOS_RC__ERROR)
            MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "WARNING: SSL disconnect failed");
        return;
    default:
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "WARNING: Invalid socket security mode (%d)", (int)pSock->secMode);
        return;
    }
}

void netSec_RemTempBufFromIov(NetSecSocket *pSock, NetSmallIov *pIov, NetSocket_MitArea *pArea)
{
    netIov_PopBuffer(pIov);
    const UINT32 dir = pArea->bRecv ? 1u : 0u;
    pArea->offsetInReq = pSock->iovOffset[dir];
    if (pArea->bRecv && pArea->bPartialRecv) {
        MOS_ASSERT(pArea->partialRecvOffset >= pIov->totalSizeOfData);
        pArea->partialRecvOffset -= pIov->totalSizeOfData;
    }
}
