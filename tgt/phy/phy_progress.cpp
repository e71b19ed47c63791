#include "tgt/phy/phy_progress.h"

#include <pthread.h>

#include <chrono>

#include "mos/mos_trace.h"

UINT64 phyAddDevProgress_NowUsec(void)
{
    return (UINT64)std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void phyAddDevProgress_Stamp(PhyAddDevProgress *pProgress, const char *pDesc, UINT64 startUsec)
{
    UINT64 end = phyAddDevProgress_NowUsec();
    UINT32 interval = (UINT32)(end - startUsec);
    UINT64 devId = pProgress != nullptr ? pProgress->devId : 0;
    MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW,
              "AddDevProgress: osThreadId=%lx, devId=%016lx, Start=%lx [usec], end=%lx [usec], interval=%8u [usec], "
              "Desc=%s",
              (unsigned long)pthread_self(), (unsigned long)devId, (unsigned long)startUsec, (unsigned long)end,
              interval, pDesc);
    if (pProgress == nullptr || pProgress->numOfSteps >= PHY_ADD_DEV_PROGRESS__MAX_STEPS)
        return;
    pProgress->steps[pProgress->numOfSteps++] = PhyAddDevStep{startUsec, end, interval, pDesc};
}
