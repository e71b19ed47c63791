// Channels: an epoch for the traffic between this process and one peer.
//
// After a reconnection, a failover or a resynchronisation, messages the peer sent under an older
// epoch must be refused instead of being applied late. Each side stamps its sends with its
// channel's send number; the receiving side keeps the newest receive number it has accepted and
// refuses anything older (its receive group answers a refused request with MOS_RC__BUSY). A
// channel outlives its connection: the manager keeps it under the peer's connection id, so a
// reconnecting peer is compared against the numbers of its previous connection.
//
// Numbers compare in wrap-around order on 32 bits; 0 is a reset, always accepted, which bumps the
// sync number so that messages received before the reset (stamped with the old sync number) are
// refused afterwards.
//
// Locking: every handler of a received message that the channel accepted holds chanRwLock for
// reading until netChannel_Done; changing the receive number takes it for writing, so a change
// waits for every handler of the old number. changeChanRwLock serialises changes. chanFastLock
// guards the counters; the manager's fastLock guards the hash and the last-reference removal
// (manager lock before channel lock).
#pragma once

#include "mos/mos_ds_hash.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_protected_mem.h"
#include "mos/umt/mos_umt_rwlock.h"
#include "net/net_ids.h"

struct Net;
struct NetRpcMsg;
typedef UINT64 ObjectId;

// The numbers a connection's channel had, handed to the consumer on disconnection, and the
// numbers it hands back on connection.
struct NetConChannelData {
    ObjectId channelId; // the peer's connection id
    UINT32 sendChannelNum;
    UINT32 recvChannelNum;
};
typedef NetConChannelData *PNetConChannelData;

struct NetChannel {
    MosHash_Record hashRecord;
    MosFastlock_Base chanFastLock;
    MosUmt_RWLock chanRwLock;
    MosUmt_RWLock changeChanRwLock;
    HNetCon hCon;
    ObjectId chanId;
    UINT32 sendCurrChanNum;
    UINT32 recvCurrChanNum;
    UINT32 refCnt;
    UINT32 syncNum;
    struct NetChannelManger *pMgr; // where its last reference removes it
};

struct NetChannelManger {
    MosHash channelHash;
    MosFastlock_Base fastLock;
};

#define NET_CHANNEL__HASH_BUCKETS 1024u

// Wrap-around order: a is newer than b (equal numbers are neither).
constexpr bool netChannel_IsNewer(UINT32 a, UINT32 b)
{
    return (a > b && a - b < 0x80000000u) || (a < b && b - a >= 0x80000000u);
}
constexpr bool netChannel_IsOlder(UINT32 a, UINT32 b)
{
    return (b > a && b - a < 0x80000000u) || (b < a && a - b >= 0x80000000u);
}

void netChannelManager_Init(NetChannelManger *pMgr);
// Tests and tools: every channel must be gone.
void netChannelManager_Destroy(NetChannelManger *pMgr);
// The channel of a connection id, created or rebound to hCon, with a reference taken.
NetChannel *netChannelManager_AddOrGet(NetChannelManger *pMgr, ObjectId objId, HNetCon hCon, BOOL bIsClientCon);
// Drops the connection's reference.
void netChannelManager_Free(NetChannelManger *pMgr, ObjectId objId);
BOOL netChannelManager_GetUnlocked(NetChannelManger *pMgr, ObjectId objId, NetChannel **ppChan);
void netChannelManager_UpdateSendId(NetChannelManger *pMgr, NetConChannelData *pChannelData, UINT32 n);

void netChannel_UpdateCon(NetChannel *pChannel, HNetCon hCon, BOOL bIsClientCon);
void netChannel_IncRef(NetChannel *pChannel);
void netChannel_DecRef(NetChannel *pChannel, NetChannelManger *pMgr);
UINT32 netChannel_GetSendNum(NetChannel *pChannel);
UINT32 netChannel_GetRecvNum(NetChannel *pChannel);
UINT32 netChannel_GetSyncNum(NetChannel *pChannel);
void netChannel_UpdateSendId(NetChannel *pChannel, UINT32 n);
// A server-side connection became connected with the numbers the consumer handed back.
void netChannel_UpdateChanNums(NetChannel *pChannel, NetConChannelData *pChannelData, BOOL bIsClientCon);
// TRUE: accepted, with the read lock held and a reference taken until netChannel_Done.
BOOL netChannel_ValidateChanNum(NetChannel *pChannel, UINT32 recvChanNum, HNetCon hCon, UINT32 recvChanSyncNum);
void netChannel_Done(NetChannel *pChannel, NetChannelManger *pMgr);
BOOL netChannel_ChangeChanNum(NetChannel *pChannel, UINT32 recvChanNum, BOOL bFromRecvGroup);
