// The server's network glue: its messaging root, the nine receive groups and every callback the
// messaging layer calls in the server.
//
// Each received data-path message gets its buffers from where it will be used: a client write
// from the primary buffer pools, a forwarded write from the secondary pools, a copy from the copy
// receive pool, everything else from the heap. Each buffer carries its source as its type
// (ContNetBufType) in the list, so freeing never has to guess. Running out of copy buffers blocks
// the network's reception until the next copy buffer comes back: a burst of copies throttles its
// sender instead of failing.
//
// Input from the network is never trusted: a write whose payload does not match its record's size
// still gets a plain buffer of the announced length (so the stream stays in step) and is answered
// MOS_RC__INVALID; a group, frame type or owner type that the server does not serve gets no
// buffer, or no connection, and the process goes on.
//
// Locking: the controller's fastLock guards only the copy pool's exhaustion flag with the block
// state it implies; everything else is per message.
#pragma once

#include "net/net.h"
#include "net/net_rcv_group.h"
#include "tgt/ioh/ioh.h"
#include "tgt/phy/phy_io_flags.h"

struct Cont;
struct ContTgt;

#define CONT_NET__RECV_GROUP__OSTREL_CONTROL 13u
#define CONT_NET__RECV_GROUP__CONTROL 20u
#define CONT_NET__RECV_GROUP__CONTROL_SEC 21u
#define CONT_NET__RECV_GROUP__INI_IO 22u
#define CONT_NET__RECV_GROUP__TGT_IO_MAIN 23u
#define CONT_NET__RECV_GROUP__TGT_IO_COPY 24u
#define CONT_NET__RECV_GROUP__KEEPALIVE 25u
#define CONT_NET__RECV_GROUP__YARRIN 26u
#define CONT_NET__RECV_GROUP__SMS 27u
// Receive groups 0-27 exist on the server's connections.
#define CONT_NET__NUM_OF_RECV_GROUPS 28u
// The connection id that makes a messaging root an OSTREL_S rather than a server.
#define CONT_NET__OSTREL_S_CON_ID 0x304050607080ull

// Every data-path request record is 100 bytes and travels in the frame head.
#define CONT_NET__IO_REQ_RECORD_SIZE TGT_MSG__RECORD_SIZE
#define CONT_NET__LB 512u
#define CONT_NET__DIF_PER_LB 2u
#define CONT_NET__MAX_IO_LBS 2048u // an I/O never crosses a tooth

enum ContNetBufType : UINT32 {
    CONT_NET_BUF_TYPE__STATIC = 1,
    CONT_NET_BUF_TYPE__NET_ALLOC = 4,
    CONT_NET_BUF_TYPE__PRI = 5,
    CONT_NET_BUF_TYPE__SEC = 6,
    CONT_NET_BUF_TYPE__COPY_RCV_POOL = 7,
    CONT_NET_BUF_TYPE__RCACHE = 8,
    CONT_NET_BUF_TYPE__RCACHE_T10DIF_COALESCE = 9,
    CONT_NET_BUF_TYPE_STMP = 10,
    CONT_NET_BUF_TYPE__PRI_DIF = 11,
    CONT_NET_BUF_TYPE__SEC_DIF = 12,
    CONT_NET_BUF_TYPE__COPY_RCV_POOL_DIF = 13,
    CONT_NET_BUF_TYPE__RCACHE_DIF = 14,
    CONT_NET_BUF_TYPE__COPY_SND_POOL = 15,
};

struct IOBufferElement {
    void *buffer;
    UINT32 sizeInBytes;
    UINT32 bufferType; // ContNetBufType
};
static_assert(sizeof(IOBufferElement) == 16);

// The I/O context of one received message (from the controller's ioCtxPool).
struct PellarIOCtx {
    UINT32 rcvGrp;
    UINT32 msgCode;
    void *pCacheIob;
    IOBufferElement localDataBuf;
    IOBufferElement localDifBuf;
    IOBufferElement localTestASetDifBuf;
    BOOL bRequest;
    BOOL bMalformed; // the payload broke the size rules: answered MOS_RC__INVALID
};
static_assert(sizeof(PellarIOCtx) == 72);

// The data-path entry that the controller installs (the I/O handler): it answers every request
// itself, at once or later, through contNet_SendIOResponse. Until one is installed, the dummy
// write is answered with success and every other type with MOS_RC__UNKNOWN_MSG.
typedef void (*ContNet_IoRequestCK)(Cont *pCont, NetRpcData *pReq, HNetCon hCon);
typedef BOOL (*ContNet_IoRequestIsReadCK)(Cont *pCont, NetRpcData *pReq);

struct ContNet {
    MosFastlock_Base fastLock;
    Net net;
    NetRecvGroup *recvGroupArr[CONT_NET__NUM_OF_RECV_GROUPS];
    NetConCallback netConCB;
    ContNet_IoRequestCK pIoRequestCK;
    ContNet_IoRequestIsReadCK pIoRequestIsReadCK;
};

void contNet_Init(Cont *pCont, ContNet *pContNet, UINT64 myConId, BOOL bInitRecvGrps);
void contNet_Start(ContNet *pContNet, Port port);
void contNet_UpdateConId(ContNet *pContNet, ConId conId);
void contNet_SetIoHandler(ContNet *pContNet, ContNet_IoRequestCK pIoCK, ContNet_IoRequestIsReadCK pIsReadCK);
HNetCon contNet_AllocConEx(ContNet *pContNet, ConId conId, const NetCon_RemoteHosts *pHosts,
                           const NetSecConParams *pSecParams);
HNetCon contNet_AllocCon(ContNet *pContNet, ConId conId, const NetCon_RemoteHosts *pHosts);

void contNet_DestroyMsg(Cont *pCont, NetRpcMsg *pMsg);
void contNet_AddBuffToIov(NetRpcMsg *pMsg, void *buffer, UINT32 sizeInBytes, ContNetBufType bufferType, BOOL bIsReq);
// Answers a data-path request with the handler's code and payload, sent before this returns (the
// payload's buffers stay the caller's). The request must not be touched afterwards.
void contNet_SendIOResponse(Cont *pCont, const IohResp *pRes, NetRpcData *pReq);
// Answers a data-path request with a code and no payload.
void contNet_SendIORc(Cont *pCont, NetRpcData *pReq, Mos_RC rc);
void contNet_SetLocalDataBuf(PellarIOCtx *pIoCtx, void *pData, UINT32 sizeInLbs, ContNetBufType dataBufType);
// Copies up to len bytes of the list into pDst; returns how many.
UINT32 contNet_CopyFromIov(const NetSmallIov *pIov, void *pDst, UINT32 len);

// The size in blocks of a write's data, or 0 when the payload breaks the size rules: the payload
// is msgLen less the 100-byte record, 514 bytes a block with guards (flag 0x4), else 512; it must
// be non-zero, fit in one tooth and agree with the record's size (half of it for test-a-set).
// Write-zero carries no data: its size is the record's.
UINT32 contNet_GetWriteIoSizeInLbs(UINT32 msgLen, UINT32 flags, UINT32 sizeInLbsFromCmd, BOOL bIsWriteZero,
                                   BOOL bIsTestASet);

// The callbacks (the receive groups' and the messaging root's).
void contNet_AllocBuffer(void *pObj, UINT32 conGrpId, NetSmallIov *pIov, UINT32 len, Context context,
                         SocketHeaderType type, const UINT8 *pExtHeader);
void contNet_FreeBuffer(void *pObj, UINT32 conGrpId, NetSmallIov *pIov);
void contNet_FreeBufferIov(Cont *pCont, NetSmallIov *pIov);
Mos_RC contNet_RecvNotif(void *pObj, NetRpcData *pReq);
void contNet_RecvRequest(HNetCon hCon, void *pObj, NetRpcData *pReq);
void contNet_RecvIORequest(HNetCon hCon, void *pObj, NetRpcData *pReq);
BOOL contNet_RecvIORequestIsRead(void *pObj, NetRpcData *pReq);
void contNet_RecvRpcResponse(void *pObj, NetRpcMsg *pMsg);
void contNet_SendAsyncDone(void *pObj, NetRpcMsg *pMsg);
void contNet_NewConArrived(void *pObjNet, ConId conId, NetOwnerType ownerType, NetConCallback **ppConCB,
                           BOOL *pbPrivilegedSend);
void contNet_ConnectedNotif(void *pObj, HNetCon hCon, ConId conId, NetOwnerType ownerType,
                            NetConChannelData *pChannelData);
void contNet_DisconnectedNotif(void *pObj, HNetCon hCon, ConId conId, NetOwnerType ownerType,
                               NetConChannelData *pChannelData);
void contNet_VersionDiscoveryNotif(void *pObj, HNetCon hCon, ConId conId, UINT32 version);
void contNet_OscillationNotif(void *pObj, HNetCon hCon, ConId conId, NetOscType counterType, const NetAddress *pAddr);
void contNet_OnNetPausedToggle(void *pArg);
void contNet_OnRcvBufferAllocFailure(void *pArg);

// What the glue hands up to the parts above it, which implement these: a peer server's connection
// events (the peer servers' own), and the Ostrel's requests and keep-alive echoes (the command
// module's own).
void contTgt_ConnectedNotif(ContTgt *pTgt, HNetCon hCon, NetConChannelData *pChannelData);
void contTgt_DisconnectedNotif(ContTgt *pTgt, HNetCon hCon, NetConChannelData *pChannelData);
void contTgt_SetPeerVersion(ContTgt *pTgt, UINT32 version);
void contTgt_OscillationNotif(ContTgt *pTgt, HNetCon hCon, NetOscType counterType, const NetAddress *pAddr);
// Runs one command; the outcome is pRes->context, and any answer record is in pRes's list (heap
// buffers of type CONT_NET_BUF_TYPE__NET_ALLOC). hCon is the request's connection.
void contCmd_NewRequest(Cont *pCont, NetRpcData *pReq, NetRpcData *pRes, HNetCon hCon);
// The keep-alive group's notification callback (pObj: the controller): hands the Ostrel's echo to
// keep-alive and answers MOS_RC__SUCCESS, so the receive group frees the receive record.
Mos_RC contCmd_RecvKeepAliveNotif(void *pObj, NetRpcData *pReq);
