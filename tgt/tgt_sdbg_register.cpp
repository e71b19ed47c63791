// Registration of the storage server's debug-query types: the one unit that includes every module
// with a type, so that the modules themselves include only the record (tgt/tgt_sdbg.h).
#include "tgt/tgt_sdbg.h"

#include <cstring>

#include "tgt/cmonitor/cmonitor.h"
#include "tgt/cont/cont_dev.h"
#include "tgt/cont/cont_comb.h"
#include "tgt/cont/cont_flcache_dev.h"
#include "tgt/cont/cont_ostrel.h"
#include "tgt/cont/cont_tgt.h"
#include "tgt/file/file.h"
#include "tgt/flcache/flcache.h"
#include "tgt/ioh/ioh.h"
#include "tgt/kalive/kalive.h"
#include "tgt/phy/stmp.h"
#include "tgt/phy/zmp.h"
#include "tgt/rcache/rcache.h"
#include "tgt/rcache/rcache_net_buf.h"
#include "tgt/tgt_conf.h"

namespace {
TgtSdbg tgtSdbg_G;
} // namespace

void tgtSdbg_Register(void)
{
    memset(&tgtSdbg_G, 0, sizeof(tgtSdbg_G));
    mosObjType_RegObjType(&tgtSdbg_G.fileType, file_Query, nullptr, SDBG_EXPORTS_OBJ_TYPE__TGT_FILE,
                          sizeof(FileQuery));
    mosObjType_RegObjType(&tgtSdbg_G.netBufType, rcacheNetBuf_Query, nullptr, SDBG_EXPORTS_OBJ_TYPE__TGT_NET_BUF,
                          sizeof(RcacheNetBufQuery));
    mosObjType_RegObjType(&tgtSdbg_G.stmpType, stmp_Query, nullptr, SDBG_EXPORTS_OBJ_TYPE__TGT_STMP,
                          sizeof(StmpQuery));
    mosObjType_RegObjType(&tgtSdbg_G.zmpType, zmp_Query, nullptr, SDBG_EXPORTS_OBJ_TYPE__TGT_ZMP, sizeof(ZmpQuery));
    mosObjType_RegObjType(&tgtSdbg_G.rcacheType, rcache_Query, nullptr, SDBG_EXPORTS_OBJ_TYPE__TGT_RCACHE,
                          sizeof(RcacheQuery));
    mosObjType_RegObjType(&tgtSdbg_G.perfParamsType, perf_params_Query, nullptr, SDBG_EXPORTS_OBJ_TYPE__TGT_PERF_PARAMS,
                          sizeof(PerfParamsQuery));
    mosObjType_RegObjType(&tgtSdbg_G.kaliveType, kalive_Query, nullptr, SDBG_EXPORTS_OBJ_TYPE__TGT_KALIVE,
                          sizeof(KaliveQuery));
    mosObjType_RegObjType(&tgtSdbg_G.ostrelType, contOstrel_Query, nullptr, SDBG_EXPORTS_OBJ_TYPE__TGT_OSTREL,
                          sizeof(ContOstrelQuery));
    mosObjType_RegObjType(&tgtSdbg_G.peerType, contTgt_Query, nullptr, SDBG_EXPORTS_OBJ_TYPE__TGT_TGT,
                          sizeof(ContTgtQuery));
    mosObjType_RegObjType(&tgtSdbg_G.conMonitorType, cmonitor_Query, nullptr, SDBG_EXPORTS_OBJ_TYPE__TGT_CON_MONITOR,
                          sizeof(ConMonitorQuery));
    mosObjType_RegObjType(&tgtSdbg_G.iohType, ioh_Query, nullptr, SDBG_EXPORTS_OBJ_TYPE__TGT_IOH, sizeof(IohQuery));
    mosObjType_RegObjType(&tgtSdbg_G.flcacheType, flcache_Query, nullptr, SDBG_EXPORTS_OBJ_TYPE__TGT_FLCACHE,
                          sizeof(FlcacheQuery));
    mosObjType_RegObjType(&tgtSdbg_G.flcacheDevType, contFlcacheDev_Query, nullptr,
                          SDBG_EXPORTS_OBJ_TYPE__TGT_FLCACHE_DEV, sizeof(ContFlcacheDevQuery));
    mosObjType_RegObjType(&tgtSdbg_G.devType, contDev_Query, nullptr, SDBG_EXPORTS_OBJ_TYPE__TGT_DEV,
                          sizeof(ContDevQuery));
    mosObjType_RegObjType(&tgtSdbg_G.combType, contComb_Query, nullptr, SDBG_EXPORTS_OBJ_TYPE__TGT_COMB,
                          sizeof(ContCombQuery));
    pTgtSdbg_g = &tgtSdbg_G;
}

void tgtSdbg_Unregister(void)
{
    if (pTgtSdbg_g == nullptr)
        return;
    pTgtSdbg_g = nullptr;
    mosObjType_UnregObjType(&tgtSdbg_G.combType);
    mosObjType_UnregObjType(&tgtSdbg_G.devType);
    mosObjType_UnregObjType(&tgtSdbg_G.flcacheDevType);
    mosObjType_UnregObjType(&tgtSdbg_G.flcacheType);
    mosObjType_UnregObjType(&tgtSdbg_G.iohType);
    mosObjType_UnregObjType(&tgtSdbg_G.conMonitorType);
    mosObjType_UnregObjType(&tgtSdbg_G.peerType);
    mosObjType_UnregObjType(&tgtSdbg_G.ostrelType);
    mosObjType_UnregObjType(&tgtSdbg_G.kaliveType);
    mosObjType_UnregObjType(&tgtSdbg_G.perfParamsType);
    mosObjType_UnregObjType(&tgtSdbg_G.rcacheType);
    mosObjType_UnregObjType(&tgtSdbg_G.zmpType);
    mosObjType_UnregObjType(&tgtSdbg_G.stmpType);
    mosObjType_UnregObjType(&tgtSdbg_G.netBufType);
    mosObjType_UnregObjType(&tgtSdbg_G.fileType);
}
