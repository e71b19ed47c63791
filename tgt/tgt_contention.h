// Lock classes of the storage server's fast locks (the runtime's own classes stay below 100).
#pragma once

#include "mos/mos_contention.h"

enum : MosContentionId {
    TGT_CONTENTION__BWC = 110,
    TGT_CONTENTION__FILE_IO_ERROR = 111,
    TGT_CONTENTION__BM = 112,
    TGT_CONTENTION__BM_COND = 113,
    TGT_CONTENTION__STMP = 114,
    TGT_CONTENTION__ZMP = 115,
    TGT_CONTENTION__NET_BUF = 116,
    TGT_CONTENTION__TOOTH_MAP = 117,
    TGT_CONTENTION__PHY_MAP = 118,
    TGT_CONTENTION__FINE_DRL = 119,
    TGT_CONTENTION__PHY_DEV_LIMITER = 120,
    TGT_CONTENTION__RCACHE_UD = 121,
    TGT_CONTENTION__RCACHE_MD = 122,
    TGT_CONTENTION__RCACHE_MD_BUCKET = 123,
};
