#include "tgt/tgt_conf.h"

#include <cstdio>
#include <cstring>

#include "mos/mos_trace.h"

namespace {
constexpr TgtConfParam tgtConf_KeyDefaults()
{
    TgtConfParam p{};
#define TGT_CONF_INT(key, member, min, max, mult, def) p.member = (def);
#define TGT_CONF_BOOL(key, member, def) p.member = (def);
#define TGT_CONF_STR(key, member, def)                                                                                \
    static_assert(sizeof(def) <= TGT_CONF__REP_NAME_SIZE);                                                          \
    for (size_t i = 0; i < sizeof(def); i++)                                                                        \
        p.member[i] = (def)[i];
#define TGT_CONF_NET_INT(key, member, min, max, mult, def) p.netParam.member = (def);
#define TGT_CONF_NET_BOOL(key, member, def) p.netParam.member = (def);
    TGT_CONF_KEYS
#undef TGT_CONF_INT
#undef TGT_CONF_BOOL
#undef TGT_CONF_STR
#undef TGT_CONF_NET_INT
#undef TGT_CONF_NET_BOOL
    // Messaging settings that are not keys; tgtConf_InitPerfParams sets them again at start-up.
    p.netParam.pollWorkers = 4;
    p.netParam.allocRcvBufferWaitMillis = 1000;
    return p;
}

constexpr TgtConfParam kConfDefaults = tgtConf_KeyDefaults();

TgtPerfParam tgtConf_PerfStartValues(void)
{
    TgtPerfParam p{};
    p.numOfSocketsPerIpPellarToPellar = 1;
    p.keepaliveTimeMs = 5000;
    p.maxReqPerAsyncFile = 8;
    p.threadIniIo = 100;
    p.threadTgtIoMain = 100;
    p.threadTgtIoCopy = 164;
    p.threadCopyIo = 164;
    p.umtOsThrds = 4;
    p.numIoBuffs = 2;
    return p;
}

// The table points into tgtInitParam_G, so it is built once the record exists.
MosConfEntry tgtConfEntries_G[TGT_CONF__NUM_KEYS];

void tgtConf_BuildTable(void)
{
    UINT32 n = 0;
    TgtConfParam &c = tgtInitParam_G;
#define TGT_CONF_INT(key, member, min, max, mult, def)                                                                \
    tgtConfEntries_G[n++] = mosConf_IntEntry(key, &c.member, (min), (max), (mult), (def));
#define TGT_CONF_BOOL(key, member, def) tgtConfEntries_G[n++] = mosConf_BoolEntry(key, &c.member, (def));
#define TGT_CONF_STR(key, member, def)                                                                                \
    tgtConfEntries_G[n++] = mosConf_StringEntry(key, c.member, (def), TGT_CONF__REP_NAME_SIZE);
#define TGT_CONF_NET_INT(key, member, min, max, mult, def)                                                            \
    tgtConfEntries_G[n++] = mosConf_IntEntry(key, &c.netParam.member, (min), (max), (mult), (def));
#define TGT_CONF_NET_BOOL(key, member, def) tgtConfEntries_G[n++] = mosConf_BoolEntry(key, &c.netParam.member, (def));
    TGT_CONF_KEYS
#undef TGT_CONF_INT
#undef TGT_CONF_BOOL
#undef TGT_CONF_STR
#undef TGT_CONF_NET_INT
#undef TGT_CONF_NET_BOOL
}

const MosConfEntry_IntParams &tgtConf_PortParams(void)
{
    tgtConf_BuildTable();
    return tgtConfEntries_G[1].params.intParams;
}
} // namespace

TgtConfParam tgtInitParam_G = kConfDefaults;
TgtPerfParam tgtPerfInitParam_G = tgtConf_PerfStartValues();
UINT32 combSizeInLbs_g = TGT__DEFAULT_COMB_SIZE_IN_LBS;
UINT32 teethInComb_g = TGT__DEFAULT_COMB_SIZE_IN_LBS / 2048;

void tgtConf_Init(MosConfEntry **ppEntries, UINT32 *pVectorLengths)
{
    tgtConf_BuildTable();
    *ppEntries = tgtConfEntries_G;
    *pVectorLengths = TGT_CONF__NUM_KEYS;
}

void tgtConf_InitPerfParams(void)
{
    TgtPerfParam start = tgtConf_PerfStartValues();
    start.sdbgObj = tgtPerfInitParam_G.sdbgObj; // a registration outlives a reset
    tgtPerfInitParam_G = start;

    // The messaging settings that are no keys take the layer's own defaults, then the server's.
    NetConfParam netDefaults;
    netConfParam_SetDefaults(&netDefaults);
    NetConfParam &net = tgtInitParam_G.netParam;
    net.connectTimeoutQ = netDefaults.connectTimeoutQ;
    net.connectRetriesNum = netDefaults.connectRetriesNum;
    net.kaSndQuiteSocketTimeoutMs = netDefaults.kaSndQuiteSocketTimeoutMs;
    net.kaSndFrequency = netDefaults.kaSndFrequency;
    net.maxDataLen = netDefaults.maxDataLen;
    net.pollWorkers = 4;
    net.recvBufferInKb = 0; // the operating system's sizes
    net.sendBufferInKb = 0;
    net.allocRcvBufferWaitMillis = 1000;
    net.breakDoIOLoop = 0;
    tgtConf_UpdatePerfParamsQuery(&tgtPerfInitParam_G, &tgtInitParam_G.netParam);
}

void tgtConf_UpdatePerfParamsQuery(TgtPerfParam *pPerfParam, const NetConfParam *pNetParam)
{
    PerfParamsQuery &q = pPerfParam->dbgQuery;
    q.numOfSocketsPerIpPellarToPellar = pPerfParam->numOfSocketsPerIpPellarToPellar;
    q.keepaliveTimeMs = pPerfParam->keepaliveTimeMs;
    q.maxReqPerAsyncFile = pPerfParam->maxReqPerAsyncFile;
    q.threadIniIo = pPerfParam->threadIniIo;
    q.threadTgtIoMain = pPerfParam->threadTgtIoMain;
    q.threadTgtIoCopy = pPerfParam->threadTgtIoCopy;
    q.threadCopyIo = pPerfParam->threadCopyIo;
    q.umtOsThrds = pPerfParam->umtOsThrds;
    q.numIoBuffs = pPerfParam->numIoBuffs;
    q.numNetWorkerThreads = (UINT8)pNetParam->pollWorkers;
    q.recvBufferInKb = (UINT32)pNetParam->recvBufferInKb;
    q.sendBufferInKb = (UINT32)pNetParam->sendBufferInKb;
    q.allocRcvBufferWaitMillis = (UINT32)pNetParam->allocRcvBufferWaitMillis;
    q.breakDoIOLoop = (UINT32)pNetParam->breakDoIOLoop;
}

void perf_params_Query(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    (void)pName;
    const TgtPerfParam *pPerf = MOS_CONTAINER_OF(pObj, TgtPerfParam, sdbgObj);
    memcpy(pData, &pPerf->dbgQuery, sizeof(pPerf->dbgQuery));
}

Mos_RC tgtConf_CheckPort(const char *pConfFile)
{
    if (pConfFile == nullptr)
        return MOS_RC__SUCCESS;
    MosConf_Info info{fopen(pConfFile, "r"), pConfFile};
    if (info.pFile == nullptr)
        return MOS_RC__SUCCESS; // the loader reports a file it cannot read
    UINT64 port = 0;
    MosConfEntry_IntParams params = tgtConf_PortParams();
    params.pVar = &port;
    Mos_RC rc = mosConf_GetPrefValueInt("tgt_port", &info, &params);
    fclose(info.pFile);
    if (rc == MOS_RC__NOT_FOUND)
        return MOS_RC__SUCCESS;
    if (rc == MOS_RC__SUCCESS && port == TGT_CONF__RESERVED_PORT)
        rc = MOS_RC__PARAMETER_OUT_OF_RANGE;
    if (rc != MOS_RC__SUCCESS)
        printf("tgt_port in %s is not a port the server can listen on (1024-65535, not %u). Status %s(%d)\n",
               pConfFile, TGT_CONF__RESERVED_PORT, MOS_RC__GET_STR(rc), (int)rc);
    return rc;
}

void tgtConf_SetDefaults(void)
{
    tgtInitParam_G = kConfDefaults;
    tgtConf_InitPerfParams();
    combSizeInLbs_g = TGT__DEFAULT_COMB_SIZE_IN_LBS;
    teethInComb_g = TGT__DEFAULT_COMB_SIZE_IN_LBS / 2048;
}
