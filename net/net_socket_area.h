// The socket part of a messaging task's area: which socket the task works and how far the
// current transfer has come.
#pragma once

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
