// A user-space stand-in for the flash read-cache kernel driver, behind the server's driver port.
// It keeps a pool and its sources as a driver would, answers the query from that state, and can be
// told to be missing, to speak another interface version, to refuse a command, to fail the ioctl
// call itself, to be busy, or to corrupt its query answer - so a test shows what the server does
// with each. Every command it receives is logged in order. The server sends one command at a
// time (its driver lock), and tests look at the state between rounds, so it takes no lock.
#pragma once

#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tgt/flcache/flcache_drv.h"

class FakeFlcacheDriver {
  public:
    struct CacheDev {
        UINT64 tgtCacheDevId = 0;
        UINT64 kernelDevNum = 0;
        UINT32 objId = 0;
        std::string path;
        OstrelTgtRsp_FlcacheDevCounters counters{};
    };
    struct Source {
        UINT64 tgtDevId = 0;
        UINT64 kernelDevNum = 0;
        UINT32 objId = 0;
        UINT32 opmode = 0;
        std::string path;
        TgtFlcacheSourceDeviceCounters counters{};
    };

    // The driver's state.
    bool bPresent = true;
    UINT32 version = FLCACHE_DRV__API_VERSION;
    UINT32 pageSizeBytes = 0;
    UINT32 maxIoSize = 0;
    UINT32 opmode = 0;
    UINT64 cachConfId = 0;
    UINT64 sourceConfId = 0;
    std::vector<CacheDev> cacheDevs; // non-empty: the pool runs
    std::vector<Source> sources;
    OstrelTgtRsp_FlcachePoolCounters pool{};

    // Scripted faults.
    std::map<UINT32, UINT32> refuse;  // command -> status it is answered with
    std::set<UINT32> failCall;        // commands whose ioctl call fails
    UINT32 busyQueries = 0;           // queries answered busy before a real answer
    std::function<void(FlcacheDrvQuery &)> corruptQuery;

    // What happened.
    std::vector<UINT32> cmds;
    std::vector<UINT32> startObjIds; // object ids of started cache devices and sources, in order
    std::vector<std::string> openedPaths;
    int opens = 0;
    int closes = 0;
    UINT32 badRequests = 0; // calls with a wrong request number, header or payload size

    static constexpr int kHandle = 77;

    FlcacheDrvPort port()
    {
        return FlcacheDrvPort{openCb, ioctlCb, closeCb, this};
    }

    size_t count(UINT32 cmd) const
    {
        size_t n = 0;
        for (UINT32 c : cmds)
            n += c == cmd;
        return n;
    }

  private:
    static int openCb(void *pCtx, const CHAR_A *pPath)
    {
        auto *self = static_cast<FakeFlcacheDriver *>(pCtx);
        self->openedPaths.push_back(pPath);
        if (!self->bPresent)
            return -1;
        self->opens++;
        return kHandle;
    }

    static void closeCb(void *pCtx, int hDev)
    {
        auto *self = static_cast<FakeFlcacheDriver *>(pCtx);
        if (hDev == kHandle)
            self->closes++;
    }

    static UINT32 payloadSizeOf(UINT32 cmd)
    {
        switch (cmd) {
        case FLCACHE_DRV_CMD__GET_VERSION:
            return sizeof(FlcacheDrvVersion);
        case FLCACHE_DRV_CMD__START_CACHE:
        case FLCACHE_DRV_CMD__STOP_CACHE:
            return sizeof(FlcacheDrvStartCache);
        case FLCACHE_DRV_CMD__QUERY:
            return sizeof(FlcacheDrvQuery);
        case FLCACHE_DRV_CMD__START_SOURCE:
        case FLCACHE_DRV_CMD__STOP_SOURCE:
            return sizeof(FlcacheDrvSource);
        default:
            return 0;
        }
    }

    static Mos_RC ioctlCb(void *pCtx, int hDev, unsigned long request, void *pArg)
    {
        auto *self = static_cast<FakeFlcacheDriver *>(pCtx);
        auto *pHdr = static_cast<FlcacheDrvCmdHeader *>(pArg);
        if (hDev != kHandle || request != FLCACHE_DRV__IOCTL_REQUEST || pHdr->zero != 0 ||
            pHdr->payloadSize != payloadSizeOf(pHdr->cmd) || pHdr->pPayload == 0) {
            self->badRequests++;
            return MOS_RC__ERROR;
        }
        self->cmds.push_back(pHdr->cmd);
        if (self->failCall.count(pHdr->cmd) != 0)
            return MOS_RC__ERROR;
        auto it = self->refuse.find(pHdr->cmd);
        if (it != self->refuse.end()) {
            pHdr->status = it->second;
            return MOS_RC__SUCCESS;
        }
        pHdr->status = self->run(pHdr->cmd, reinterpret_cast<void *>(pHdr->pPayload));
        return MOS_RC__SUCCESS;
    }

    UINT32 run(UINT32 cmd, void *pPayload)
    {
        switch (cmd) {
        case FLCACHE_DRV_CMD__GET_VERSION:
            static_cast<FlcacheDrvVersion *>(pPayload)->ioctl_version = version;
            return FLCACHE_DRV_STATUS__SUCCESS;
        case FLCACHE_DRV_CMD__START_CACHE:
            return startCache(*static_cast<const FlcacheDrvStartCache *>(pPayload));
        case FLCACHE_DRV_CMD__STOP_CACHE:
            if (!sources.empty())
                return FLCACHE_DRV_STATUS__ERROR + 1; // sources still use the pool
            cacheDevs.clear();
            cachConfId = 0;
            return FLCACHE_DRV_STATUS__SUCCESS;
        case FLCACHE_DRV_CMD__QUERY:
            return query(*static_cast<FlcacheDrvQuery *>(pPayload));
        case FLCACHE_DRV_CMD__START_SOURCE:
            return startSource(*static_cast<const FlcacheDrvSource *>(pPayload));
        case FLCACHE_DRV_CMD__STOP_SOURCE:
            return stopSource(*static_cast<const FlcacheDrvSource *>(pPayload));
        default:
            return FLCACHE_DRV_STATUS__ERROR + 2;
        }
    }

    UINT32 startCache(const FlcacheDrvStartCache &s)
    {
        if (!cacheDevs.empty() || s.numCacheDevs == 0 || s.numCacheDevs > FLCACHE_DRV__MAX_CACHE_DEVS ||
            strcmp(s.cacheName, FLCACHE_DRV__CACHE_NAME) != 0 || s.maxSize != ((UINT64)s.pageSizeBytes << 32))
            return FLCACHE_DRV_STATUS__ERROR + 3;
        for (UINT32 i = 0; i < s.numCacheDevs; i++) {
            CacheDev d;
            d.tgtCacheDevId = s.devs[i].tgtCacheDevId;
            d.kernelDevNum = s.devs[i].kernelDevNum;
            d.objId = s.devs[i].objId;
            d.path.assign(s.devs[i].path, strnlen(s.devs[i].path, sizeof(s.devs[i].path)));
            d.counters.tgtCacheDevId = d.tgtCacheDevId;
            cacheDevs.push_back(d);
            startObjIds.push_back(d.objId);
        }
        pageSizeBytes = s.pageSizeBytes;
        maxIoSize = s.maxIoSize;
        opmode = (UINT32)s.opmode;
        cachConfId = s.cachConfId;
        return FLCACHE_DRV_STATUS__SUCCESS;
    }

    UINT32 startSource(const FlcacheDrvSource &s)
    {
        if (cacheDevs.empty())
            return FLCACHE_DRV_STATUS__ERROR + 4;
        for (const Source &x : sources)
            if (x.tgtDevId == s.tgtDevId)
                return FLCACHE_DRV_STATUS__ERROR + 5;
        Source src;
        src.tgtDevId = s.tgtDevId;
        src.kernelDevNum = s.kernelDevNum;
        src.objId = s.objId;
        src.opmode = s.opmode;
        src.path.assign(s.path, strnlen(s.path, sizeof(s.path)));
        sources.push_back(src);
        startObjIds.push_back(s.objId);
        sourceConfId = s.sourceConfId;
        return FLCACHE_DRV_STATUS__SUCCESS;
    }

    UINT32 stopSource(const FlcacheDrvSource &s)
    {
        for (auto it = sources.begin(); it != sources.end(); ++it)
            if (it->kernelDevNum == s.kernelDevNum) {
                sources.erase(it);
                return FLCACHE_DRV_STATUS__SUCCESS;
            }
        return FLCACHE_DRV_STATUS__ERROR + 6;
    }

    UINT32 query(FlcacheDrvQuery &q)
    {
        if (busyQueries > 0) {
            busyQueries--;
            return FLCACHE_DRV_STATUS__BUSY;
        }
        if (q.maxSources != FLCACHE_DRV__MAX_SOURCES)
            return FLCACHE_DRV_STATUS__ERROR + 7;
        q.numCacheDevs = (UINT32)cacheDevs.size();
        q.numSources = (UINT32)sources.size();
        q.cachConfId = cachConfId;
        q.sourceConfId = sourceConfId;
        q.pageSizeBytes = pageSizeBytes;
        q.maxIoSize = maxIoSize;
        q.opmode = opmode;
        q.poolCounters = pool;
        q.poolCounters.numCacheDevs = cacheDevs.size();
        q.poolCounters.numSrcDevs = sources.size();
        for (size_t i = 0; i < cacheDevs.size(); i++) {
            q.cacheDevs[i].tgtCacheDevId = cacheDevs[i].tgtCacheDevId;
            q.cacheDevs[i].kernelDevNum = cacheDevs[i].kernelDevNum;
            q.cacheDevs[i].objId = cacheDevs[i].objId;
            q.cacheDevs[i].counters = cacheDevs[i].counters;
        }
        for (size_t i = 0; i < sources.size(); i++) {
            q.sources[i].tgtDevId = sources[i].tgtDevId;
            q.sources[i].kernelDevNum = sources[i].kernelDevNum;
            q.sources[i].objId = sources[i].objId;
            q.sources[i].opmode = sources[i].opmode;
            snprintf(q.sources[i].path, sizeof(q.sources[i].path), "%s", sources[i].path.c_str());
            q.sources[i].counters = sources[i].counters;
        }
        if (corruptQuery)
            corruptQuery(q);
        return FLCACHE_DRV_STATUS__SUCCESS;
    }
};
