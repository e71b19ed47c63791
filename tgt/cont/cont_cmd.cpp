#include "tgt/cont/cont_cmd.h"

Mos_RC contCmd_RecvKeepAliveNotif(void *pObj, NetRpcData *pReq)
{
    const ContCmd_KeepAliveSink *pSink = static_cast<const ContCmd_KeepAliveSink *>(pObj);
    if (pSink != nullptr && pSink->pHandleCK != nullptr)
        pSink->pHandleCK(pSink->pArg, pReq);
    return MOS_RC__SUCCESS;
}
