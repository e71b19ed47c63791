// The storage server's process-wide settings: the configuration record filled from the
// configuration file before any server thread exists, the performance parameters that the
// Ostrel may change at run time, and the comb size. Every member starts at its key's default, so
// code and tests run without a configuration file.
//
// Readers take a member at the moment they need it (no copies), since the performance record
// changes under them; the configuration record is written only before the server's threads run
// and by tests between runs.
#pragma once

#include <cstddef>

#include "mos/mos_conf.h"
#include "mos/mos_obj.h"
#include "mos/mos_types.h"
#include "net/net_conf.h"
#include "tgt/tgt_conf_keys.h"

// Default comb: 8192 teeth of 2048 LB.
#define TGT__DEFAULT_COMB_SIZE_IN_LBS 16777216u

// Keys of the server's own table.
#define TGT_CONF__REP_NAME_SIZE 257u // "at most 256 characters", terminator included
// A port that is never a valid listening port of the server, whatever its range allows.
#define TGT_CONF__RESERVED_PORT 6611u

struct TgtConfParam {
#define TGT_CONF_INT(key, member, min, max, mult, def) UINT64 member;
#define TGT_CONF_BOOL(key, member, def) BOOL member;
#define TGT_CONF_STR(key, member, def) CHAR_A member[TGT_CONF__REP_NAME_SIZE];
#define TGT_CONF_NET_INT(key, member, min, max, mult, def)
#define TGT_CONF_NET_BOOL(key, member, def)
    TGT_CONF_KEYS
#undef TGT_CONF_INT
#undef TGT_CONF_BOOL
#undef TGT_CONF_STR
#undef TGT_CONF_NET_INT
#undef TGT_CONF_NET_BOOL
    NetConfParam netParam; // the messaging layer's settings (keys tgt_net__*)
};

constexpr UINT32 TGT_CONF__NUM_KEYS = 0
#define TGT_CONF_INT(...) +1
#define TGT_CONF_BOOL(...) +1
#define TGT_CONF_STR(...) +1
#define TGT_CONF_NET_INT(...) +1
#define TGT_CONF_NET_BOOL(...) +1
    TGT_CONF_KEYS
#undef TGT_CONF_INT
#undef TGT_CONF_BOOL
#undef TGT_CONF_STR
#undef TGT_CONF_NET_INT
#undef TGT_CONF_NET_BOOL
    ;
static_assert(TGT_CONF__NUM_KEYS == 122, "the server's table has 122 keys");

// The copy of the performance parameters that the debug query answers (naturally aligned).
struct PerfParamsQuery {
    UINT8 numOfSocketsPerIpPellarToPellar;
    UINT32 keepaliveTimeMs;
    UINT8 numNetWorkerThreads;
    UINT32 recvBufferInKb;
    UINT32 sendBufferInKb;
    UINT32 maxReqPerAsyncFile;
    UINT16 threadIniIo;
    UINT16 threadTgtIoMain;
    UINT16 threadTgtIoCopy;
    UINT16 threadCopyIo;
    UINT8 umtOsThrds;
    UINT8 numIoBuffs;
    UINT32 allocRcvBufferWaitMillis;
    UINT32 breakDoIOLoop;
};
static_assert(sizeof(PerfParamsQuery) == 44, "answer of the performance-parameter query");
static_assert(offsetof(PerfParamsQuery, numNetWorkerThreads) == 8);
static_assert(offsetof(PerfParamsQuery, threadIniIo) == 24);
static_assert(offsetof(PerfParamsQuery, umtOsThrds) == 32);
static_assert(offsetof(PerfParamsQuery, breakDoIOLoop) == 40);

// Performance parameters: not keys; start values in code, changed by the Ostrel at run time.
struct TgtPerfParam {
    UINT8 numOfSocketsPerIpPellarToPellar;
    UINT32 keepaliveTimeMs;
    UINT32 maxReqPerAsyncFile; // in-flight limit of one device file
    UINT16 threadIniIo;
    UINT16 threadTgtIoMain;
    UINT16 threadTgtIoCopy;
    UINT16 threadCopyIo;
    UINT8 umtOsThrds;
    UINT8 numIoBuffs; // multiplier of the data-path buffer pools
    UINT16 netAllocRcvBufferWaitMillis;
    UINT16 netBreakDoIOLoop;
    MosObj sdbgObj;
    PerfParamsQuery dbgQuery;
};

extern TgtConfParam tgtInitParam_G;
extern TgtPerfParam tgtPerfInitParam_G;

// Set once by the Ostrel's add-manager command; stored in every device header.
extern UINT32 combSizeInLbs_g;
extern UINT32 teethInComb_g;

// The table of the server's keys and its length (122), for the loader.
void tgtConf_Init(MosConfEntry **ppEntries, UINT32 *pVectorLengths);
// Start values of the performance parameters and of the messaging settings that are not keys,
// then the query copy. Called right after the configuration is loaded.
void tgtConf_InitPerfParams(void);
// Copies the live values into the query copy; called after every change.
void tgtConf_UpdatePerfParamsQuery(TgtPerfParam *pPerfParam, const NetConfParam *pNetParam);
// Debug query of the performance parameters: the query copy.
void perf_params_Query(MosObj *pObj, const CHAR_A *pName, void *pData);

// Whether the configuration file (null: none) sets tgt_port to a port the server can listen on.
// MOS_RC__SUCCESS when the key is absent or valid; MOS_RC__PARAMETER_OUT_OF_RANGE for a value
// outside 1024-65535 or the reserved port, MOS_RC__INVALID for a value that is not a number.
// The loader would quietly keep the default for a bad value, and a server then listening on a
// port its operator did not choose is worse than one that does not start.
Mos_RC tgtConf_CheckPort(const char *pConfFile);

// Puts every member back to its default (tests start from a known state with it).
void tgtConf_SetDefaults(void);
