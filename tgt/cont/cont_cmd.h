// The command processing's one entry that the messaging layer calls: the notification handler of
// the controller's keep-alive receive group. Until the controller exists, the group's consumer
// object is a sink that names the keep-alive logic to hand each peer's notification to.
#pragma once

#include "net/net_msg.h"

// The controller's keep-alive receive group.
#define CONT_NET__RECV_GROUP__KEEPALIVE 25u

struct ContCmd_KeepAliveSink {
    void (*pHandleCK)(void *pArg, NetRpcData *pReq); // null: the notification is dropped
    void *pArg;
};

// The keep-alive group's notification callback: hands the notification on and answers
// MOS_RC__SUCCESS, so the receive group frees the receive record.
Mos_RC contCmd_RecvKeepAliveNotif(void *pObj, NetRpcData *pReq);
