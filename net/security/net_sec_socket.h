// The secure part of every messaging socket (NetSocket.secSocket).
//
// It is made with its socket in the clear (UNSECURE) and holds what a TLS session over the socket
// needs: the session handle, the 4096-byte buffer into which ciphertext is read, the secure send
// list that serialises whole messages, and the transfer offsets saved while a ciphertext buffer is
// appended to a task's list. The steps that use it live in net_sec.h; this record and its
// operations need nothing of the socket itself, so the socket can embed it.
//
// Concurrency: the path's receive loop is the only reader, secure senders take the secure send
// list one at a time, and engineLock keeps the two from driving the TLS engine at the same time
// (a session is not safe for concurrent calls); it is held only around engine calls, never across
// I/O or a wait. Ciphertext on its way out is in a buffer taken from the session, so whatever a
// read makes the session write meanwhile goes elsewhere. secSendListLock guards the list.
#pragma once

#include "mos/mit/mos_mit_core.h"
#include "mos/env/mos_net_iov.h"
#include "mos/mos_fastlock.h"
#include "mos/usr/security/mos_ssl.h"
#include "net/net_socket_area.h"
#include "net/security/net_sec_conf.h"

#define NET_SEC__RAW_READ_BUF_SIZE 4096u

struct NetSecSslSocket {
    MosSslSocketHandle *pSslSocketHandle;
};

union NetSecProtoData {
    NetSecSslSocket sslSock;
};

struct NetSecSocket {
    NetSecModeType secMode;
    NetSocketMitList secSendList;
    MosFastlock_Base secSendListLock;
    NetSecProtoData protoData;
    UINT8 *pRawReadBuf;
    UINT32 iovOffset[2]; // per direction (send 0, receive 1)
    MosFastlock_Base engineLock;
    UINT32 hsWants; // what the handshake asked for last: read 0x1, write 0x2
    BIO *pSendBio;  // the ciphertext buffer being sent, taken from the session (mosSsl_WriteTake)
    // The steps a task's send and receive run while a session is attached (null in the clear).
    MosMit_CK pSecureSendCK;
    MosMit_CK pSecureRecvCK;
};

// A cleared, unsecured part with its read buffer; it must hold no buffer yet (panic).
void netSec_InitSocket(NetSecSocket *pSock);
// Frees the session (when one is attached), the lock, the condition and the buffer; nothing for a
// part without a buffer.
void netSec_DestroySocket(NetSecSocket *pSock);
// Destroy, then init: a fresh, unsecured part.
void netSec_ResetSocket(NetSecSocket *pSock);
// Attaches a session; the part must hold none yet (panic). The mode becomes SECURE_SSL.
void netSec_SocketSetSsl(NetSecSocket *pSock, MosSslSocketHandle *pHandle);
MosSslSocketHandle *netSec_SocketGetSslHandle(const NetSecSocket *pSock);
// Closes the session of a SECURE_SSL part; nothing in the clear.
void netSec_DisconnectSocket(NetSecSocket *pSock);
// Removes the temporary buffer appended last to pIov and restores the direction's transfer offset.
// After a partial receive it makes partialRecvOffset count from the removed buffer's start.
void netSec_RemTempBufFromIov(NetSecSocket *pSock, NetSmallIov *pIov, NetSocket_MitArea *pArea);
