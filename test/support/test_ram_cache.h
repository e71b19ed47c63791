// A RAM read cache of the smallest size serving one device in process: its jobs run on the
// given scheduler; the device leaves it when the helper is switched off or destroyed.
#pragma once

#include <unistd.h>

#include "mos/mos_fastlock.h"
#include "mos/umt/mos_umt.h"
#include "tgt/phy/phy_dev.h"
#include "tgt/rcache/rcache.h"
#include "tgt/tgt_conf.h"

class TestRamCache {
  public:
    // FALSE when the cache's memory does not come up.
    bool on(PhyDev *pDev, MosUmt_Sched *pSched)
    {
        tgtInitParam_G.netParam.maxRcvMsg = 1000;
        mosUmtMgr_SetDefaults(pSched, nullptr); // the cache's jobs run here
        rcache_Init(&cache, nullptr);
        pDev_ = pDev;
        if (rcache_ChangeSize(&cache, RCACHE__MIN_CACHE_SIZE_IN_LB) != MOS_RC__SUCCESS)
            return false;
        rcache_AddDevice(&cache, pDev->header.devId, FALSE);
        if (!created())
            return false;
        pDev->pRcache = &cache;
        pDev->bUseCache = TRUE;
        return true;
    }
    void off()
    {
        if (pDev_ == nullptr)
            return;
        pDev_->pRcache = nullptr;
        pDev_->bUseCache = FALSE;
        rcache_RemoveDevice(&cache, pDev_->header.devId);
        rcache_Destroy(&cache);
        mosUmtMgr_SetDefaults(mosUmtMgr_GetForeignSched(), nullptr);
        pDev_ = nullptr;
    }
    ~TestRamCache() { off(); }

    Cache cache{};

  private:
    // The allocation runs as a job: waits for it with a generous limit (a loaded machine).
    bool created()
    {
        for (int i = 0; i < 60000; i++) {
            {
                MosFastlockGuard guard(&cache.fastlock);
                if (cache.asyncCount == 0 && cache.bCreated)
                    return true;
            }
            usleep(1000);
        }
        return false;
    }

    PhyDev *pDev_ = nullptr;
};
