// What only the module's own files (and its tests) use: its layer record and globals.
#pragma once

#include "mos/mos_dynamic_array.h"

struct MosDynamicArrayLayer {
    MosObj_Type objType;
    BOOL bInit;
};

extern MosDynamicArrayLayer dynamicArrayLayer_G;
