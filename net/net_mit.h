// NetMit: the continuation task in which every path, socket and listener step of the messaging
// layer runs, with its area: the socket being worked and its progress, the list being moved and
// the 128-byte head being sent or received.
#pragma once

#include "mos/env/mos_net_iov.h"
#include "mos/mit/mos_mit.h"
#include "net/net_socket_area.h"
#include "net/net_socket_header.h"

#define NET_MIT__STACK_SIZE 10u
#define NET_MIT_FLAGS__PRIVILEGED_SEND 0x1u

struct Net;
struct NetPath;

struct Net_MitAreaOS {
    UINT32 reserved;
};

struct Net_MitArea {
    Net *pNet;
    NetSocket_MitArea sockArea;
    Net_MitAreaOS os;
    NetPath *pPath;
    NetSmallIov *pIov; // the list being sent or received
    Socket_ExtendedHeader extHeader;
    void *pSample;
    UINT8 mitFlags;
    UINT8 msgSendAttempts;
};

struct NetMit {
    MosMit_Storage<NET_MIT__STACK_SIZE> mitStorage;
    Net_MitArea area;
    BOOL bImportant;
};

static inline MosMit *netMit_GetMit(NetMit *pNetMit)
{
    return pNetMit->mitStorage.get();
}
static inline Net_MitArea *netMit_GetArea(MosMit *pMit)
{
    return static_cast<Net_MitArea *>(pMit->pContext);
}

void netMit_DefDtor(MosMit *pMit);
void netMit_InitEx(NetMit *pNetMit, MosMit_Scheduler *pSched, Net *pNet, MosMit_DtorCK pDtor, BOOL bPrivilegedSend,
                   BOOL bJoinable);
// On the work group, default destructor, not privileged.
void netMit_Init(NetMit *pNetMit, Net *pNet, BOOL bJoinable);
void netMit_SetImportance(NetMit *pNetMit, BOOL bImportant);
BOOL netMit_GetImportance(const NetMit *pNetMit);
