// The socket part of a messaging task's area: which socket the task works and how far the
// current transfer has come.
#pragma once

#include "mos/mit/mos_mit_cond.h"
#include "mos/mos_types.h"
#include "mos/usr/linux/mos_net.h"

struct NetSocket;

struct NetSocket_MitArea {
    NetSocket *pSock;
    UINT32 offsetInReq; // bytes of the current list already moved
    BOOL bRecv;
    SOCKET acceptedSocket;
    BOOL bPartialRecv;        // a receive may end as soon as some bytes arrived
    UINT32 partialRecvOffset; // where a partial receive ended
    UINT64 readySnapshot;     // the direction's readyID before the last call
    UINT32 callsSinceYield;
};

// Exclusive use of a socket's send direction, one task at a time: the raw send list, and above
// it the secure send list that keeps a whole TLS message (its encryption and its ciphertext) in
// one piece.
struct NetSocketMitList {
    MosMit_Anchor mitList; // waiting senders, oldest first
    MosMitCond stopCond;   // signalled when the list is emptied because the socket went down
    MosMit *pCurrMit;      // the owner
};
