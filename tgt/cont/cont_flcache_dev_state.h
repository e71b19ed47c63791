// The flash-cache device manager's own state, which the root controller object holds by value, the
// record of one device, and the calls the root makes on the manager while it builds itself. Apart from the flash-cache devices'
// header so that the root includes only this and their code may include the root.
#pragma once

#include "mos/mos_dlist.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_obj.h"
#include "mos/usr/mos_async_io.h"
#include "mos/usr/mos_media.h"
#include "tgt/cont/cont_obj.h"
#include "tgt/flcache/flcache.h"

struct Cont;

struct ContFlcacheDev {
    MosHash_Record hashRecord;
    MosObj sdbgObj;
    MosDList_Node listNode;
    ContObjLock accessLock;
    MosFastlock_Base fastLock;
    Cont *pCont;
    FlcacheFlashDev cacheDevData;
    MosMedia_Metadata cacheDevMetadata;
    BOOL bMark;
};

typedef void (*ContFlcacheDev_ReloadDevMapFunc)(void *pCtx);

struct ContFlcacheDevMngr {
    MosFastlock_Base fastlock; // guards the list and the count
    MosDList_Anchor objAnchor;
    UINT32 numOfObjs;
    MosAsyncIO *pAio; // where headers are written (null: none)
    ContFlcacheDev_ReloadDevMapFunc pReloadDevMap;
    void *pReloadCtx;
};

// The manager in the pattern of every object manager.
void contFlcacheDevMngr_Init(ContFlcacheDevMngr *pMngr);
void contFlcacheDevMngr_SetIo(ContFlcacheDevMngr *pMngr, MosAsyncIO *pAio, ContFlcacheDev_ReloadDevMapFunc pReload,
                              void *pReloadCtx);
// The flash cache's hooks onto these objects and the Ostrel link.
void contFlcacheDevMngr_FillFlcacheHooks(Cont *pCont, Flcache_ContHooks *pHooks);
