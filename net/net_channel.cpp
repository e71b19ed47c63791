#include "net/net_channel.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "mos/mos_dbg.h"
#include "mos/mos_diag_counters.h"
#include "mos/mos_trace.h"
#include "net/net_msg.h"
#include "net/net_root.h"

namespace {
enum : MosContentionId {
    NET_CHANNEL_MNGR__LOCK_ID = 332,
    NET_CHANNEL_MNGR__HASH_ID = 333,
    NET_CHANNEL__LOCK_ID = 334,
};

NetChannelManger *netChannel_MgrOf(NetChannel *pChannel)
{
    return pChannel->pMgr;
}

void netChannel_RcvRef(NetChannel *pChannel)
{
    netChannel_IncRef(pChannel);
}
void netChannel_RcvUnref(NetChannel *pChannel)
{
    netChannel_DecRef(pChannel, netChannel_MgrOf(pChannel));
}
const NetMsgRcv_ChannelOps netChannelRcvOps_G = {netChannel_RcvRef, netChannel_RcvUnref, netChannel_GetSyncNum};

// Both numbers, the sync number and the count start at 0.
void netChannel_Init(NetChannel *pChannel, NetChannelManger *pMgr, ObjectId objId, HNetCon hCon)
{
    memset(static_cast<void *>(pChannel), 0, sizeof(*pChannel));
    MOS_FASTLOCK_CREATE(&pChannel->chanFastLock, NET_CHANNEL__LOCK_ID);
    mosUmtRWLock_Init(&pChannel->chanRwLock);
    mosUmtRWLock_Init(&pChannel->changeChanRwLock);
    pChannel->hCon = hCon;
    pChannel->chanId = objId;
    pChannel->pMgr = pMgr;
}

void netChannel_Free(NetChannel *pChannel)
{
    mosUmtRWLock_Destroy(&pChannel->chanRwLock);
    mosUmtRWLock_Destroy(&pChannel->changeChanRwLock);
    mosFastlockBase_Destroy(&pChannel->chanFastLock);
    free(pChannel);
}

// Refusal after the read lock was taken: release it and count.
BOOL netChannel_Refuse(NetChannel *pChannel, HNetCon hCon)
{
    mosUmtRWLock_ReleaseReadLock(&pChannel->chanRwLock);
    mosDiagCounters_CountExt(MOS_DIAG_COUNTER__NET_CHAN_REJECTED_MSG, hCon);
    return FALSE;
}

BOOL netChannel_Accept(NetChannel *pChannel)
{
    netChannel_IncRef(pChannel);
    return TRUE;
}
} // namespace

void netChannelManager_Init(NetChannelManger *pMgr)
{
    memset(static_cast<void *>(pMgr), 0, sizeof(*pMgr));
    MOS_FASTLOCK_CREATE(&pMgr->fastLock, NET_CHANNEL_MNGR__LOCK_ID);
    MOS_ASSERT(mosHash_CreateNamedHash(&pMgr->channelHash, NET_CHANNEL__HASH_BUCKETS, MOS_HASHING_METHOD__MODULO, 0,
                                       nullptr, nullptr, "net_channel_hash", NET_CHANNEL_MNGR__HASH_ID));
    netMsgRcv_SetChannelOps(&netChannelRcvOps_G);
}

void netChannelManager_Destroy(NetChannelManger *pMgr)
{
    // Channels kept for peers that are gone go with the tables.
    std::vector<NetChannel *> channels;
    mosHash_EnumStart(&pMgr->channelHash);
    UINT64 key = 0;
    PVOID pData = nullptr;
    while (mosHash_EnumGetNextRecord2(&pMgr->channelHash, FALSE, &key, &pData))
        channels.push_back(static_cast<NetChannel *>(pData));
    mosHash_EnumStop(&pMgr->channelHash);
    for (NetChannel *pChannel : channels) {
        mosHash_DeleteRecordByKeyAndPtr(&pMgr->channelHash, pChannel->chanId, &pChannel->hashRecord);
        netChannel_Free(pChannel);
    }
    mosHash_Delete(&pMgr->channelHash);
    mosFastlockBase_Destroy(&pMgr->fastLock);
}

NetChannel *netChannelManager_AddOrGet(NetChannelManger *pMgr, ObjectId objId, HNetCon hCon, BOOL bIsClientCon)
{
    MosFastlockGuard guard(&pMgr->fastLock);
    NetChannel *pChannel = nullptr;
    if (netChannelManager_GetUnlocked(pMgr, objId, &pChannel)) {
        netChannel_UpdateCon(pChannel, hCon, bIsClientCon);
    } else {
        pChannel = static_cast<NetChannel *>(malloc(sizeof(NetChannel)));
        MOS_ASSERT(pChannel != nullptr);
        netChannel_Init(pChannel, pMgr, objId, hCon);
        mosHash_Add(&pMgr->channelHash, &pChannel->hashRecord, objId, (UINT64)(uintptr_t)pChannel);
    }
    netChannel_IncRef(pChannel);
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "pChan %p, hCon %lx, conId %lx", (void *)pChannel, (unsigned long)hCon,
              (unsigned long)objId);
    return pChannel;
}

void netChannelManager_Free(NetChannelManger *pMgr, ObjectId objId)
{
    NetChannel *pChannel = nullptr;
    {
        MosFastlockGuard guard(&pMgr->fastLock);
        if (!netChannelManager_GetUnlocked(pMgr, objId, &pChannel))
            return;
    }
    netChannel_DecRef(pChannel, pMgr);
}

BOOL netChannelManager_GetUnlocked(NetChannelManger *pMgr, ObjectId objId, NetChannel **ppChan)
{
    PVOID pData = nullptr;
    if (mosHash_GetRecordByKey2(&pMgr->channelHash, objId, 0, &pData) == nullptr)
        return FALSE;
    PVOID pChannel = pData;
    MOS_ASSERT_WITH_DESC(pChannel != ((void *)0), "a channel record without a channel");
    *ppChan = static_cast<NetChannel *>(pChannel);
    return TRUE;
}

void netChannelManager_UpdateSendId(NetChannelManger *pMgr, NetConChannelData *pChannelData, UINT32 n)
{
    if (pChannelData == nullptr)
        return;
    MosFastlockGuard guard(&pMgr->fastLock);
    if (n == 0 || netChannel_IsNewer(n, pChannelData->sendChannelNum))
        pChannelData->sendChannelNum = n;
    NetChannel *pChannel = nullptr;
    if (netChannelManager_GetUnlocked(pMgr, pChannelData->channelId, &pChannel))
        netChannel_UpdateSendId(pChannel, n);
}

void netChannel_UpdateCon(NetChannel *pChannel, HNetCon hCon, BOOL bIsClientCon)
{
    MosFastlockGuard guard(&pChannel->chanFastLock);
    Exp(pChannel->hCon == hCon);
    pChannel->hCon = hCon;
    if (bIsClientCon) {
        pChannel->sendCurrChanNum = 0;
        pChannel->recvCurrChanNum = 0;
    }
}

void netChannel_IncRef(NetChannel *pChannel)
{
    MosFastlockGuard guard(&pChannel->chanFastLock);
    pChannel->refCnt++;
}

void netChannel_DecRef(NetChannel *pChannel, NetChannelManger *pMgr)
{
    {
        MosFastlockGuard guard(&pChannel->chanFastLock);
        MOS_ASSERT(pChannel->refCnt > 0);
        if (--pChannel->refCnt != 0)
            return;
    }
    MosFastlockGuard mgrGuard(&pMgr->fastLock);
    {
        // Someone may have taken it again between the two locks.
        MosFastlockGuard guard(&pChannel->chanFastLock);
        if (pChannel->refCnt != 0)
            return;
    }
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "Deleting pChan %p, hCon %lx, chanId %lx", (void *)pChannel,
              (unsigned long)pChannel->hCon, (unsigned long)pChannel->chanId);
    mosHash_DeleteRecordByKeyAndPtr(&pMgr->channelHash, pChannel->chanId, &pChannel->hashRecord);
    netChannel_Free(pChannel);
}

UINT32 netChannel_GetSendNum(NetChannel *pChannel)
{
    MosFastlockGuard guard(&pChannel->chanFastLock);
    return pChannel->sendCurrChanNum;
}

UINT32 netChannel_GetRecvNum(NetChannel *pChannel)
{
    MosFastlockGuard guard(&pChannel->chanFastLock);
    return pChannel->recvCurrChanNum;
}

UINT32 netChannel_GetSyncNum(NetChannel *pChannel)
{
    MosFastlockGuard guard(&pChannel->chanFastLock);
    return pChannel->syncNum;
}

void netChannel_UpdateSendId(NetChannel *pChannel, UINT32 n)
{
    MosFastlockGuard guard(&pChannel->chanFastLock);
    if (n == 0 || netChannel_IsNewer(n, pChannel->sendCurrChanNum)) {
        pChannel->sendCurrChanNum = n;
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "Updated channel %p send num to %u", (void *)pChannel, n);
    }
}

void netChannel_UpdateChanNums(NetChannel *pChannel, NetConChannelData *pChannelData, BOOL bIsClientCon)
{
    if (bIsClientCon)
        return;
    netChannel_UpdateSendId(pChannel, pChannelData->sendChannelNum);
    netChannel_ChangeChanNum(pChannel, pChannelData->recvChannelNum, FALSE);
}

BOOL netChannel_ValidateChanNum(NetChannel *pChannel, UINT32 recvChanNum, HNetCon hCon, UINT32 recvChanSyncNum)
{
    mosUmtRWLock_AcquireReadLock(&pChannel->chanRwLock);
    UINT32 current;
    UINT32 syncNum;
    HNetCon bound;
    {
        MosFastlockGuard guard(&pChannel->chanFastLock);
        current = pChannel->recvCurrChanNum;
        syncNum = pChannel->syncNum;
        bound = pChannel->hCon;
    }
    if (bound != hCon) {
        mosUmtRWLock_ReleaseReadLock(&pChannel->chanRwLock);
        return FALSE;
    }
    if (recvChanNum == current)
        return netChannel_Accept(pChannel);
    if (recvChanNum != 0) {
        if (netChannel_IsOlder(recvChanNum, current) || syncNum > recvChanSyncNum)
            return netChannel_Refuse(pChannel, hCon);
        if (!netChannel_IsNewer(recvChanNum, netChannel_GetRecvNum(pChannel)))
            return netChannel_Accept(pChannel);
    }
    mosDiagCounters_CountExt(MOS_DIAG_COUNTER__NET_CHAN_UPDATED, hCon);
    if (netChannel_ChangeChanNum(pChannel, recvChanNum, TRUE))
        return netChannel_Accept(pChannel);
    return netChannel_Refuse(pChannel, hCon);
}

void netChannel_Done(NetChannel *pChannel, NetChannelManger *pMgr)
{
    mosUmtRWLock_ReleaseReadLock(&pChannel->chanRwLock);
    netChannel_DecRef(pChannel, pMgr);
}

BOOL netChannel_ChangeChanNum(NetChannel *pChannel, UINT32 recvChanNum, BOOL bFromRecvGroup)
{
    if (bFromRecvGroup) {
        mosUmtRWLock_ReleaseReadLock(&pChannel->chanRwLock);
        mosUmtRWLock_AcquireWriteLock(&pChannel->changeChanRwLock);
        mosUmtRWLock_AcquireWriteLock(&pChannel->chanRwLock);
    } else {
        if (mosUmtRWLock_TryAcquireWriteLock(&pChannel->changeChanRwLock) != MOS_RC__SUCCESS) {
            MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "Not updating channel %p recv num to %u (current %u)",
                      (void *)pChannel, recvChanNum, netChannel_GetRecvNum(pChannel));
            return TRUE;
        }
        if (mosUmtRWLock_TryAcquireWriteLock(&pChannel->chanRwLock) != MOS_RC__SUCCESS) {
            mosUmtRWLock_ReleaseWriteLock(&pChannel->changeChanRwLock);
            MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "Not updating channel %p recv num to %u (current %u)",
                      (void *)pChannel, recvChanNum, netChannel_GetRecvNum(pChannel));
            return TRUE;
        }
    }
    UINT32 current;
    {
        MosFastlockGuard guard(&pChannel->chanFastLock);
        BOOL bSet = FALSE;
        if (recvChanNum == 0) {
            pChannel->syncNum++;
            MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "Updated channel %p sync num to %u", (void *)pChannel,
                      pChannel->syncNum);
            pChannel->recvCurrChanNum = 0;
            bSet = TRUE;
        } else if (netChannel_IsNewer(recvChanNum, pChannel->recvCurrChanNum)) {
            pChannel->recvCurrChanNum = recvChanNum;
            bSet = TRUE;
        }
        if (bSet)
            MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "Updated channel %p recv num to %u (sync num %u)", (void *)pChannel,
                      recvChanNum, pChannel->syncNum);
        current = pChannel->recvCurrChanNum;
    }
    mosUmtRWLock_ReleaseWriteLock(&pChannel->chanRwLock);
    if (!bFromRecvGroup) {
        mosUmtRWLock_ReleaseWriteLock(&pChannel->changeChanRwLock);
        return TRUE;
    }
    mosUmtRWLock_AcquireReadLock(&pChannel->chanRwLock);
    mosUmtRWLock_ReleaseWriteLock(&pChannel->changeChanRwLock);
    return recvChanNum == 0 || !netChannel_IsOlder(recvChanNum, current);
}
