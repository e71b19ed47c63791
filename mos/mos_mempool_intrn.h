// What only the module's own files (and its tests) use: its layer record and globals.
#pragma once

#include "mos/mos_mempool.h"

struct MosMemPoolLayer {
    MosObj_Type objType;
    BOOL bInit;
};

extern MosMemPoolLayer memPoolLayer_G;
