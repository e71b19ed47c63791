// Debug object server: lets an outside debugging tool read the live state of the process over
// TCP. It answers requests that count the objects of a debug object type, dump all or chosen
// objects (each object's query record, copied under its type's lock and sent after the lock is
// released), report which program runs, or run a type's backdoor operation on one object.
//
// One OS thread listens on the configured port (0: any free port, recorded back into the
// parameters) and serves one client at a time; requests of a client are answered in order. A
// client names the exact size of each answer it will read; the server refuses, with
// SDBG_EXPORTS_RC__NO_RESOURCES and a closed connection, bodies above the largest request and
// answers above SDBG_SERVER__MAX_RESPONSE_SIZE, so a client cannot make it allocate or send
// without bound. A start-up layer of the runtime, after the security layer.
#pragma once

#include "mos/mos_osthrd.h"
#include "mos/mos_rc.h"
#include "mos/mos_types.h"
#include "mos/sdbg/sdbg_exports.h"
#include "mos/usr/linux/mos_net.h"

#define SDBG_SERVER__DEFAULT_PORT 33443
#define SDBG_SERVER__MAX_REQUEST_SIZE ((UINT32)sizeof(SdbgExports_SpecialComReq))
#define SDBG_SERVER__MAX_RESPONSE_SIZE (64u * 1024 * 1024)

struct SdbgServer_InitParam {
    UINT32 module; // an SdbgExports_ModuleType; UNKNOWN starts no server
    UINT16 sdbgPort;
};

// The one client being served.
struct SdbgConn_ClientConn {
    SOCKET hConncetion;
    UINT8 *pClientReq; // the received request body, owned here
    UINT32 sizeOfIncomingMsg;
    UINT32 sizeOfExpectedResponseMsg;
    UINT32 sizeOfDataInResponse;
    UINT32 positionInResponse; // bytes of the answer sent so far
};

struct SdbgServer_EnvSpecific {
    SOCKET listenerConn;
    MosOsThrd listenThrd;
    BOOL bInitialized; // the server is listening
};

struct Sdbg_Server {
    SdbgServer_InitParam initParams;
    SdbgConn_ClientConn clientConn;
    SdbgServer_EnvSpecific env;
};

// Zeroes the record and copies the parameters (null: module UNKNOWN, port 33443). Unless the
// module is UNKNOWN, starts the server's thread; a failed start is only logged. Always
// MOS_RC__SUCCESS.
Mos_RC sdbgServer_Init(const SdbgServer_InitParam *pSdbgInitParam);
// Stops listening, ends the client's connection, joins the thread.
void sdbgServer_Destroy(void);
Sdbg_Server *sdbgServer_Get(void);
UINT32 sdbgServer_GetModuleType(void);
