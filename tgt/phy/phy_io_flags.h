// Why a device I/O is done (client I/O or a kind of copy), the flag sets of device reads and
// writes, and the request flag that tells whether a client write brought guards of its own.
#pragma once

#include "mos/mos_types.h"

// Client I/O is high priority; every other reason is a copy.
enum CombCopyReason : UINT32 {
    COPY_TYPE__NONE = 0,
    COPY_TYPE__MIGRATION = 1,
    COPY_TYPE__FWD_REBUILD = 2,
    COPY_TYPE__DEGRADED_BACK_REBUILD = 3,
    COPY_TYPE__SCAN = 4,
    COPY_TYPE__REVERSE_REBUILD = 5,
    COPY_TYPE__NORM_BACK_REBUILD = 6,
    COPY_TYPE__MAINT_REBUILD = 7,
    COPY_TYPE__COUNT = 8,
};

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
