// Timing of the steps of adding a device: each step's start, end and duration, traced and kept
// for the caller (the add-device command reports them).
#pragma once

#include "mos/mos_types.h"

#define PHY_ADD_DEV_PROGRESS__MAX_STEPS 16u

struct PhyAddDevStep {
    UINT64 startUsec;
    UINT64 endUsec;
    UINT32 intervalUsec;
    const char *pDesc;
};

struct PhyAddDevProgress {
    UINT64 devId;
    UINT32 numOfSteps;
    PhyAddDevStep steps[PHY_ADD_DEV_PROGRESS__MAX_STEPS];
};

// Microseconds on the monotonic clock.
UINT64 phyAddDevProgress_NowUsec(void);
// Records and traces one step; pProgress may be null, steps past the last slot are only traced.
void phyAddDevProgress_Stamp(PhyAddDevProgress *pProgress, const char *pDesc, UINT64 startUsec);
