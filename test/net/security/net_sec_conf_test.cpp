// The messaging layer's security configuration derived from the process-wide one.
#include <gtest/gtest.h>

#include <cstring>

#include "mos/usr/security/mos_security.h"
#include "net/security/net_sec_conf.h"

TEST(NetSecConf, DerivedFromTheProcessWideConfiguration)
{
    struct Case {
        BOOL bSslEnable;
        BOOL bAllowUnsecure;
        UINT64 contextId;
        NetSecModeType mode;
        NetSecServerPolicy policy;
        MosSslContextIdType ctx;
    };
    const Case cases[] = {
        {FALSE, TRUE, 2, NET_SEC_MODE__UNSECURE, NET_SEC_SERVER_POLICY__SOCKET, MOS_SSL_CONTEXT_ID__DEFAULT},
        {TRUE, FALSE, 1, NET_SEC_MODE__SECURE_SSL, NET_SEC_SERVER_POLICY__SOCKET, MOS_SSL_CONTEXT_ID__CUSTOM_1},
        {TRUE, TRUE, 2, NET_SEC_MODE__SECURE_SSL, NET_SEC_SERVER_POLICY__ALLOW_UNSECURE, MOS_SSL_CONTEXT_ID__CUSTOM_2},
    };
    MosSecurityConf *pGlobal = mosSecurity_GetConf();
    const MosSecurityConf saved = *pGlobal;
    MosSecurityCertOpaque holder{};
    for (const Case &c : cases) {
        pGlobal->sslConf.bEnable = c.bSslEnable;
        pGlobal->bServerAllowUnsecure = c.bAllowUnsecure;
        pGlobal->sslConf.contextId = c.contextId;
        NetSecConf conf;
        memset(static_cast<void *>(&conf), 0xa5, sizeof(conf)); // whatever was there before
        conf.clientParams.protoParams.ssl.pPeerCertOpq = &holder;
        netSecConf_Init(&conf);
        for (const NetSecConParams *p : {&conf.serverParams, &conf.clientParams}) {
            EXPECT_EQ(p->secMode, c.mode) << c.bSslEnable;
            EXPECT_EQ(p->serverSecPolicy, c.policy) << c.bSslEnable;
            EXPECT_EQ(p->protoParams.ssl.sslContextId, c.ctx) << c.bSslEnable;
            EXPECT_EQ(p->protoParams.ssl.pPeerCertOpq, nullptr);
        }
    }
    *pGlobal = saved;
}
