// Flag sets of device reads and writes, and the request flag that tells whether a client write
// brought guards of its own.
#pragma once

#include "mos/mos_types.h"

union RdIoFlags {
    UINT32 flags;
    struct {
        UINT32 bPrimary : 1;
        UINT32 bLocalOnly : 1;
        UINT32 bT10Dif : 1;          // generate guards for what was read into the DIF buffer
        UINT32 bIgnorePrevIoErr : 1; // attempt the read even when earlier I/O failed
    };
};

union WrZeIoFlags {
    UINT32 flags;
    struct {
        UINT32 bIgnorePrevIoErr : 1;
    };
};

union WrIoFlags {
    UINT32 flags;
    struct {
        UINT32 bPrimary : 1;
        UINT32 bThrottle : 1;
        UINT32 bZeroWrite : 1; // the data is zeros
        UINT32 bZeroPad : 1;
        UINT32 bTestAndSet : 1;
        UINT32 bT10Dif : 1; // verify the guards before writing
        UINT32 bNewTooth : 1;
        UINT32 bTrim : 1;
    };
};
static_assert(sizeof(RdIoFlags) == 4 && sizeof(WrZeIoFlags) == 4 && sizeof(WrIoFlags) == 4);

// Bit of a write request's flags: its second buffer holds valid guards.
#define TGT_IO_WR__T10DIF_ATTACHED 0x4u
