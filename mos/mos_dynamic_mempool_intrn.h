// What only the module's own files (and its tests) use: its layer record and globals.
#pragma once

#include "mos/mos_dynamic_mempool.h"

struct MosDynamicMemPoolLayer {
    MosObj_Type objType;
    BOOL bInit;
};

extern MosDynamicMemPoolLayer dynamicMemPoolLayer_G;
