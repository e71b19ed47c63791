#include "net/security/net_sec_conf.h"

#include <cstring>
#include <initializer_list>

#include "mos/usr/security/mos_security.h"

void netSecConf_ResetConParams(NetSecConParams *pParams)
{
    memset(static_cast<void *>(pParams), 0, sizeof(*pParams));
    pParams->secMode = NET_SEC_MODE__UNSECURE;
    pParams->serverSecPolicy = NET_SEC_SERVER_POLICY__SOCKET;
    pParams->protoParams.ssl.sslContextId = MOS_SSL_CONTEXT_ID__DEFAULT;
    pParams->protoParams.ssl.pPeerCertOpq = nullptr;
}

void netSecConf_Reset(NetSecConf *pConf)
{
    netSecConf_ResetConParams(&pConf->serverParams);
    netSecConf_ResetConParams(&pConf->clientParams);
}

void netSecConf_Init(NetSecConf *pConf)
{
    const MosSecurityConf *pSecConf = mosSecurity_GetConf();
    if (!pSecConf->sslConf.bEnable) {
        netSecConf_Reset(pConf);
        return;
    }
    for (NetSecConParams *pParams : {&pConf->clientParams, &pConf->serverParams}) {
        netSecConf_ResetConParams(pParams);
        pParams->secMode = NET_SEC_MODE__SECURE_SSL;
        pParams->serverSecPolicy =
            pSecConf->bServerAllowUnsecure ? NET_SEC_SERVER_POLICY__ALLOW_UNSECURE : NET_SEC_SERVER_POLICY__SOCKET;
        pParams->protoParams.ssl.sslContextId = (MosSslContextIdType)pSecConf->sslConf.contextId;
    }
}
