// Security configuration of the messaging layer: per side of a connection, whether its paths are
// upgraded to TLS and, for a server, how it treats clients that send their connection frame in
// the clear.
//
// Two records carry it: the root object's NetSecConf (NetConfParam.securityParams), with one set
// of parameters for the accepting side and one for connecting, and the NetSecConParams of each
// client connection, which its creator gives or leaves reset. All-zero records are the reset
// state (unsecured, policy SOCKET, context 0, no certificate holder), so a zeroed configuration
// needs no call to be valid.
#pragma once

#include "mos/mos_types.h"
#include "mos/usr/security/mos_ssl.h"

enum NetSecModeType : UINT32 {
    NET_SEC_MODE__UNSECURE = 0,
    NET_SEC_MODE__SECURE_SSL = 1,
    NET_SEC_MODE__LAST = 2,
};

// How a server in SECURE_SSL mode treats a client whose first frame is a plain NEW_CON.
enum NetSecServerPolicy : UINT32 {
    NET_SEC_SERVER_POLICY__SOCKET = 0,               // refused: the mode alone decides
    NET_SEC_SERVER_POLICY__ALLOW_UNSECURE = 1,       // accepted
    NET_SEC_SERVER_POLICY__ALLOW_LOCAL_UNSECURE = 2, // accepted from the local host only
};

union NetSecProtoParams {
    MosSslSessionParams ssl;
};

struct NetSecConParams {
    NetSecModeType secMode;
    NetSecServerPolicy serverSecPolicy;
    NetSecProtoParams protoParams;
};

struct NetSecConf {
    NetSecConParams serverParams;
    NetSecConParams clientParams;
};

// Mode UNSECURE, policy SOCKET, TLS parameters cleared.
void netSecConf_ResetConParams(NetSecConParams *pParams);
// Both sides reset.
void netSecConf_Reset(NetSecConf *pConf);
// From the process-wide security configuration: without TLS enabled both sides are reset; with
// it both are SECURE_SSL on the configured context, policy ALLOW_UNSECURE when the configuration
// allows unsecured clients and SOCKET otherwise. ALLOW_LOCAL_UNSECURE is never derived: only a
// configuration that sets it directly has it.
void netSecConf_Init(NetSecConf *pConf);
