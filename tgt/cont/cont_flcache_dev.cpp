#include "tgt/cont/cont_flcache_dev.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_dev.h"
#include "tgt/cont/cont_ostrel.h"
#include "tgt/file/file.h"
#include "tgt/phy/phy_layout.h"
#include "tgt/tgt_contention.h"
#include "tgt/tgt_sdbg.h"

namespace {

constexpr UINT64 kNoDriverHandle = ~0ull;
constexpr UINT32 kHeaderBytes = PHY_DEV__HEADER_SIZE * LB_SIZE_IN_BYTES;

ContFlcacheDev *devOf(MosDList_Node *pNode)
{
    return MOS_CONTAINER_OF(pNode, ContFlcacheDev, listNode);
}

void reloadDevMap(ContFlcacheDevMngr *pMngr)
{
    if (pMngr->pReloadDevMap != nullptr)
        pMngr->pReloadDevMap(pMngr->pReloadCtx);
}

// What an add of an existing object answers. A marked object is only unmarked (the sweep's own
// adds); otherwise a given handle and a given path must be the object's (path case ignored).
Mos_RC matchExisting(ContFlcacheDev *pDev, const CHAR_A *pName, UINT64 driverDevHandle)
{
    MosFastlockGuard guard(&pDev->fastLock);
    const FlcacheFlashDev &d = pDev->cacheDevData;
    if (!pDev->bMark) {
        const BOOL bHandleDiffers = driverDevHandle != kNoDriverHandle && driverDevHandle != d.flcacheDriverHandle;
        const BOOL bPathDiffers = pName[0] != '\0' && strncasecmp(pName, d.cacheDevPath, FLCACHE__DEV_PATH_LEN) != 0;
        if (bHandleDiffers || bPathDiffers) {
            MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW,
                      "FlcacheDevId(%lu) exists as %s (handle %lu), refused as %s (handle %lu)",
                      (unsigned long)d.tgtCacheDevId, d.cacheDevPath, (unsigned long)d.flcacheDriverHandle, pName,
                      (unsigned long)driverDevHandle);
            return MOS_RC__FLCACHE_DEV_ALREADY_EXISTS;
        }
    }
    pDev->bMark = FALSE;
    return MOS_RC__ALREADY_EXISTS;
}

// Opens pPath for a header write; the file is the caller's to close and free.
File *openForHeader(Cont *pCont, const CHAR_A *pPath, Mos_RC *pRc)
{
    ContFlcacheDevMngr *pMngr = &pCont->flcacheDevMngr;
    File *pFile = static_cast<File *>(mos_MemCalloc(sizeof(File), sizeof(File), __func__, TRUE));
    if (pFile == nullptr) {
        MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "failed to allocate %d bytes", (int)sizeof(File));
        *pRc = MOS_RC__NO_MEMORY;
        return nullptr;
    }
    file_Init(pFile, pCont, nullptr);
    *pRc = pMngr->pAio != nullptr ? file_Open(pFile, pPath, pMngr->pAio) : MOS_RC__NOT_READY;
    if (*pRc != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "failed to open file: path=%s, %s", pPath, mosRc_GetStr(*pRc));
        file_Destroy(pFile);
        mos_MemFree(pFile);
        *pRc = MOS_RC__TGT_ADD_FLCACHE_DEV_OPEN_ERROR;
        return nullptr;
    }
    return pFile;
}

void closeAfterHeader(File *pFile)
{
    file_Close(pFile);
    file_Destroy(pFile);
    mos_MemFree(pFile);
}

// The id of the first marked object, rotating the list (GetFirstMarkedNode); 0 when none.
UINT64 firstMarkedId(ContFlcacheDevMngr *pMngr)
{
    MosFastlockGuard guard(&pMngr->fastlock);
    ContFlcacheDev *pDev = contFlcacheDevMngr_GetFirstMarkedNode(pMngr);
    return pDev != nullptr ? pDev->cacheDevData.tgtCacheDevId : 0;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// The manager

void contFlcacheDevMngr_Init(ContFlcacheDevMngr *pMngr)
{
    memset(static_cast<void *>(pMngr), 0, sizeof(*pMngr));
    MOS_FASTLOCK_CREATE(&pMngr->fastlock, TGT_CONTENTION__FLCACHE_DEV);
    mosDList_InitAnchor(&pMngr->objAnchor);
}

void contFlcacheDevMngr_Destroy(ContFlcacheDevMngr *pMngr)
{
    MOS_ASSERT(MOS_DLIST__IS_EMPTY(&pMngr->objAnchor));
}

void contFlcacheDevMngr_SetIo(ContFlcacheDevMngr *pMngr, MosAsyncIO *pAio, ContFlcacheDev_ReloadDevMapFunc pReload,
                              void *pReloadCtx)
{
    MosFastlockGuard guard(&pMngr->fastlock);
    pMngr->pAio = pAio;
    pMngr->pReloadDevMap = pReload;
    pMngr->pReloadCtx = pReloadCtx;
}

void contFlcacheDevMngr_ObjInit(ContFlcacheDevMngr *pMngr, Cont *pCont, ContFlcacheDev *pDev, UINT64 objId,
                                UINT64 driverDevHandle, const CHAR_A *pPath)
{
    MOS_ASSERT_WITH_DESC(pTgtSdbg_g != nullptr, "debug types registered");
    memset(static_cast<void *>(pDev), 0, sizeof(*pDev));
    pDev->pCont = pCont;
    pDev->cacheDevData.tgtCacheDevId = objId;
    pDev->cacheDevData.flcacheDriverHandle = driverDevHandle;
    snprintf(pDev->cacheDevData.cacheDevPath, sizeof(pDev->cacheDevData.cacheDevPath), "%s", pPath);
    pDev->bMark = FALSE;
    MOS_FASTLOCK_CREATE(&pDev->fastLock, TGT_CONTENTION__FLCACHE_DEV);
    mosObjType_RegObj(&pTgtSdbg_g->flcacheDevType, &pDev->sdbgObj, pDev->cacheDevData.cacheDevPath);
    mosDList_InitNode(&pDev->listNode);
    MosFastlockGuard guard(&pMngr->fastlock);
    MOS_ASSERT(!mosDList_IsLinked(&pDev->listNode));
    pMngr->numOfObjs++;
    mosDList_InsertTail(&pMngr->objAnchor, &pDev->listNode);
}

void contFlcacheDevMngr_ObjDestroy(ContFlcacheDevMngr *pMngr, ContFlcacheDev *pDev)
{
    {
        MosFastlockGuard guard(&pMngr->fastlock);
        MOS_ASSERT(mosDList_IsLinked(&pDev->listNode) && pMngr->numOfObjs > 0);
        mosDList_Remove(&pMngr->objAnchor, &pDev->listNode);
        pMngr->numOfObjs--;
    }
    if (pTgtSdbg_g != nullptr)
        mosObjType_UnregObj(&pTgtSdbg_g->flcacheDevType, &pDev->sdbgObj);
    memset(static_cast<void *>(pDev), 0, sizeof(*pDev));
}

void contFlcacheDevMngr_MarkAllObjs(ContFlcacheDevMngr *pMngr)
{
    MosFastlockGuard guard(&pMngr->fastlock);
    for (MosDList_Node *p = mosDList_First(&pMngr->objAnchor); p != nullptr; p = mosDList_Next(p))
        devOf(p)->bMark = TRUE;
}

// Caller holds the manager's fastlock (firstMarkedId) or is the only user.
ContFlcacheDev *contFlcacheDevMngr_GetFirstMarkedNode(ContFlcacheDevMngr *pMngr)
{
    MosDList_Anchor *pA = &pMngr->objAnchor;
    MosDList_Node *pLast = pA->pLast;
    while (pLast != nullptr) {
        MosDList_Node *pFirst = mosDList_RemoveHead(pA);
        mosDList_InsertTail(pA, pFirst);
        if (devOf(pFirst)->bMark)
            return devOf(pFirst);
        if (pFirst == pLast)
            break;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Add and remove

Mos_RC contFlcacheDevMngr_AddCacheDev(Cont *pCont, UINT64 objId, const CHAR_A *pFlcacheDevName,
                                      UINT64 driverDevHandle)
{
    MOS_ASSERT(pFlcacheDevName != nullptr);
    ContObj *pObjs = &pCont->objs;
    auto *pDev = static_cast<ContFlcacheDev *>(contObj_AcquireReadLock(pObjs, objId, CONT_OBJ_TYPE__FLCACHE));
    if (pDev != nullptr) {
        const Mos_RC rc = matchExisting(pDev, pFlcacheDevName, driverDevHandle);
        contObj_ReleaseReadLock(pObjs, objId, CONT_OBJ_TYPE__FLCACHE);
        return rc;
    }
    Mos_RC rc = MOS_RC__SUCCESS;
    pDev = static_cast<ContFlcacheDev *>(contObj_AddStart(pObjs, objId, CONT_OBJ_TYPE__FLCACHE, &rc));
    if (pDev != nullptr) {
        rc = matchExisting(pDev, pFlcacheDevName, driverDevHandle);
        contObj_ReleaseWriteLock(pObjs, objId, CONT_OBJ_TYPE__FLCACHE);
        return rc;
    }
    if (rc != MOS_RC__SUCCESS)
        return rc;
    // The id's stripe is held until the add-sync: memory only, no waits.
    pDev = static_cast<ContFlcacheDev *>(mos_MemCalloc(sizeof(ContFlcacheDev), sizeof(ContFlcacheDev), __func__, FALSE));
    contFlcacheDevMngr_ObjInit(&pCont->flcacheDevMngr, pCont, pDev, objId, driverDevHandle, pFlcacheDevName);
    contObj_AddSyncDone(pObjs, &pDev->accessLock, objId, CONT_OBJ_TYPE__FLCACHE, pDev, &pDev->hashRecord);
    contObj_AddDone(pObjs, &pDev->accessLock, objId, CONT_OBJ_TYPE__FLCACHE);
    MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "Add cache device, FlcacheDevId(%lu),FlcacheDevPath(%s)",
              (unsigned long)objId, pDev->cacheDevData.cacheDevPath);
    rc = contFlcacheDevMngr_WriteDeviceHeader(pCont, objId, pDev->cacheDevData.cacheDevPath);
    if (rc != MOS_RC__SUCCESS) // a device whose header is not written is no cache device: nothing stays
        (void)contFlcacheDevMngr_RemCacheDevIntern(pCont, objId, TRUE);
    return rc;
}

Mos_RC contFlcacheDevMngr_RemCacheDev(Cont *pCont, UINT64 objId)
{
    return contFlcacheDevMngr_RemCacheDevIntern(pCont, objId, FALSE);
}

Mos_RC contFlcacheDevMngr_RemCacheDevIntern(Cont *pCont, UINT64 objId, BOOL bRollback)
{
    auto *pDev = static_cast<ContFlcacheDev *>(contObj_Rem(&pCont->objs, objId, CONT_OBJ_TYPE__FLCACHE));
    if (pDev == nullptr) {
        MOS_ASSERT_WITH_DESC(!bRollback, "a rolled-back flash-cache device is registered");
        return MOS_RC__NOT_FOUND;
    }
    MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "Remove cache device, FlcacheDevId(%lu),FlcacheDevPath(%s)",
              (unsigned long)objId, pDev->cacheDevData.cacheDevPath);
    CHAR_A path[FLCACHE__DEV_PATH_LEN];
    memcpy(path, pDev->cacheDevData.cacheDevPath, sizeof(path));
    contFlcacheDevMngr_ObjDestroy(&pCont->flcacheDevMngr, pDev);
    mos_MemFree(pDev);
    contFlcacheDevMngr_CleanDeviceHeader(pCont, path);
    return MOS_RC__SUCCESS;
}

void contFlcacheDevMngr_RemUnusedCacheDev(Cont *pCont, const UINT64 *inUseDevIdArr, UINT32 numOfObjs)
{
    ContFlcacheDevMngr *pMngr = &pCont->flcacheDevMngr;
    contFlcacheDevMngr_MarkAllObjs(pMngr);
    for (UINT32 i = 0; i < numOfObjs; i++) {
        auto *pDev = static_cast<ContFlcacheDev *>(contObj_Acquire(&pCont->objs, inUseDevIdArr[i], CONT_OBJ_TYPE__FLCACHE));
        if (pDev == nullptr)
            continue;
        {
            MosFastlockGuard guard(&pDev->fastLock);
            pDev->bMark = FALSE;
        }
        contObj_Release(&pCont->objs, inUseDevIdArr[i], CONT_OBJ_TYPE__FLCACHE);
    }
    for (UINT64 id = firstMarkedId(pMngr); id != 0; id = firstMarkedId(pMngr))
        (void)contFlcacheDevMngr_RemCacheDev(pCont, id);
}

// ---------------------------------------------------------------------------------------------
// Headers

Mos_RC contFlcacheDevMngr_WriteDeviceHeader(Cont *pCont, UINT64 devId, const CHAR_A *pDeviceName)
{
    auto *pBuf = static_cast<UINT8 *>(mos_AllocPageAligned(kHeaderBytes));
    if (pBuf == nullptr) {
        MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "failed to allocate %d bytes", (int)kHeaderBytes);
        return MOS_RC__NO_MEMORY;
    }
    memset(pBuf, 0, kHeaderBytes);
    PhyDevHeader header{};
    phyDev_BuildFlcachePhyDevHeader(&header, cont_GetTgtId(pCont), devId);
    (void)phyDevHeader_Encode(&header, std::span<UINT8>(pBuf, kHeaderBytes));
    Mos_RC rc = MOS_RC__SUCCESS;
    File *pFile = openForHeader(pCont, pDeviceName, &rc);
    if (pFile != nullptr) {
        rc = file_Write(pFile, pBuf, PHY_DEV__HEADER_OFFSET, PHY_DEV__HEADER_SIZE, FILE_IO_TYPE__GENERAL,
                        COMB_ID_INVALID, 0);
        MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "write header to file: path=%s, %s", pDeviceName,
                  mosRc_GetStr(rc));
        closeAfterHeader(pFile);
        if (rc != MOS_RC__SUCCESS)
            rc = MOS_RC__TGT_ADD_FLCACHE_DEV_IO_ERROR;
    }
    mos_FreePageAligned(pBuf);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    reloadDevMap(&pCont->flcacheDevMngr);
    return MOS_RC__SUCCESS;
}

void contFlcacheDevMngr_CleanDeviceHeader(Cont *pCont, const CHAR_A *pDeviceName)
{
    Mos_RC rc = MOS_RC__SUCCESS;
    File *pFile = openForHeader(pCont, pDeviceName, &rc);
    if (pFile == nullptr)
        return;
    rc = file_WriteZero(pFile, PHY_DEV__HEADER_OFFSET, PHY_DEV__EMPTY_OFFSET - PHY_DEV__HEADER_OFFSET,
                        FILE_IO_TYPE__GENERAL, WrZeIoFlags{});
    if (rc == MOS_RC__SUCCESS)
        MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "write zero header to file: path=%s, %s", pDeviceName,
                  mosRc_GetStr(rc));
    else
        MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "failed to write zero header to file: path=%s, %s",
                  pDeviceName, mosRc_GetStr(rc));
    closeAfterHeader(pFile);
    reloadDevMap(&pCont->flcacheDevMngr);
}

// ---------------------------------------------------------------------------------------------
// Queries and accessors

UINT32 contFlcacheDevMngr_GetPaths(ContFlcacheDevMngr *pMngr, UINT64 *devIds, CHAR_A (*devPaths)[FLCACHE__DEV_PATH_LEN])
{
    MosFastlockGuard guard(&pMngr->fastlock);
    UINT32 n = 0;
    for (MosDList_Node *p = mosDList_First(&pMngr->objAnchor); p != nullptr && n < MAX_NUM_FLCACHE_DEV_PER_TGT;
         p = mosDList_Next(p), n++) {
        devIds[n] = devOf(p)->cacheDevData.tgtCacheDevId;
        memcpy(devPaths[n], devOf(p)->cacheDevData.cacheDevPath, FLCACHE__DEV_PATH_LEN);
    }
    return n;
}

void contFlcacheDevMngr_GetMetadata(ContFlcacheDevMngr *pFlcacheDevMngr, MosMedia_Metadata *pMetadata,
                                    UINT32 *pNumFlcacheDevs)
{
    MosFastlockGuard guard(&pFlcacheDevMngr->fastlock);
    UINT32 n = 0;
    for (MosDList_Node *p = mosDList_First(&pFlcacheDevMngr->objAnchor); p != nullptr && n < MAX_NUM_FLCACHE_DEV_PER_TGT;
         p = mosDList_Next(p), n++) {
        ContFlcacheDev *pDev = devOf(p);
        MosFastlockGuard devGuard(&pDev->fastLock);
        pMetadata[n] = pDev->cacheDevMetadata;
    }
    *pNumFlcacheDevs = n;
}

ContFlcacheDev *cont_AcquireFlcacheCacheDev(Cont *pCont, UINT64 objId)
{
    return static_cast<ContFlcacheDev *>(contObj_Acquire(&pCont->objs, objId, CONT_OBJ_TYPE__FLCACHE));
}

void cont_ReleaseFlcacheCacheDev(Cont *pCont, UINT64 objId)
{
    contObj_Release(&pCont->objs, objId, CONT_OBJ_TYPE__FLCACHE);
}

void contFlcacheDev_Query(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    (void)pName;
    ContFlcacheDev *pDev = MOS_CONTAINER_OF(pObj, ContFlcacheDev, sdbgObj);
    auto *pQ = static_cast<ContFlcacheDevQuery *>(pData);
    memset(pQ, 0, sizeof(*pQ));
    MosFastlockGuard guard(&pDev->fastLock);
    const FlcacheFlashDev &d = pDev->cacheDevData;
    pQ->tgtCacheDevId = d.tgtCacheDevId;
    memcpy(pQ->cacheDevPath, d.cacheDevPath, sizeof(pQ->cacheDevPath));
    pQ->devSize = d.devSize;
    pQ->flcacheDriverHandle = d.flcacheDriverHandle;
    pQ->flcacheErr = d.flcacheErr;
    pQ->bMark = pDev->bMark;
    pQ->flcacheCacheDevCounters = d.flcacheCacheDevCounters;
}

// ---------------------------------------------------------------------------------------------
// The flash cache's hooks

namespace {
Cont *contOf(void *pCtx)
{
    return static_cast<Cont *>(pCtx);
}

FlcacheDevId findByPath(void *pCtx, const CHAR_A *pPath, FlcacheDevId exceptId)
{
    ContFlcacheDevMngr *pMngr = &contOf(pCtx)->flcacheDevMngr;
    MosFastlockGuard guard(&pMngr->fastlock);
    for (MosDList_Node *p = mosDList_First(&pMngr->objAnchor); p != nullptr; p = mosDList_Next(p)) {
        const FlcacheFlashDev &d = devOf(p)->cacheDevData;
        if (d.tgtCacheDevId != exceptId && strncasecmp(d.cacheDevPath, pPath, FLCACHE__DEV_PATH_LEN) == 0)
            return d.tgtCacheDevId;
    }
    return 0;
}
} // namespace

void contFlcacheDevMngr_FillFlcacheHooks(Cont *pCont, Flcache_ContHooks *pHooks)
{
    pHooks->pCtx = pCont;
    pHooks->pSendRequest = [](void *pCtx, UINT32 msgType, UINT32 grpId, const void *pPayload, UINT32 len) {
        (void)grpId; // the link sends its requests on the Ostrel's control group
        return contOstrel_SendRequestRecord(contOf(pCtx), msgType, pPayload, len);
    };
    pHooks->pGetTgtId = [](void *pCtx) { return cont_GetTgtId(contOf(pCtx)); };
    pHooks->pAddCacheDev = [](void *pCtx, FlcacheDevId id, const CHAR_A *pPath, UINT64 handle) {
        return contFlcacheDevMngr_AddCacheDev(contOf(pCtx), id, pPath, handle);
    };
    pHooks->pRemCacheDev = [](void *pCtx, FlcacheDevId id) { return contFlcacheDevMngr_RemCacheDev(contOf(pCtx), id); };
    pHooks->pRemUnusedCacheDev = [](void *pCtx, const FlcacheDevId *pInUse, UINT32 n) {
        contFlcacheDevMngr_RemUnusedCacheDev(contOf(pCtx), pInUse, n);
    };
    pHooks->pAcquireCacheDev = [](void *pCtx, FlcacheDevId id) -> FlcacheFlashDev * {
        ContFlcacheDev *pDev = cont_AcquireFlcacheCacheDev(contOf(pCtx), id);
        return pDev != nullptr ? &pDev->cacheDevData : nullptr;
    };
    pHooks->pReleaseCacheDev = [](void *pCtx, FlcacheDevId id) { cont_ReleaseFlcacheCacheDev(contOf(pCtx), id); };
    pHooks->pFindCacheDevByPath = findByPath;
    pHooks->pValidateCacheDev = [](void *pCtx, FlcacheDevId id, const CHAR_A *pPath, BOOL bForce) {
        return contDev_ValidateNoOtherSignatures(contOf(pCtx), id, pPath, bForce, CONT_OBJ_TYPE__FLCACHE);
    };
    pHooks->pGetDevPath = [](void *pCtx, UINT64 devId, CHAR_A *pPath, UINT32 *pCount) {
        const BOOL bFound = phy_GetDevPath(&contOf(pCtx)->phy, devId, pPath, nullptr);
        if (pCount != nullptr)
            *pCount = bFound ? 1 : 0; // the map keeps one path per id
        return bFound;
    };
    pHooks->pCopyDevPath = [](void *pCtx, UINT64 tgtDevId, CHAR_A *pPath) {
        ContDev *pDev = cont_AcquireContDev(contOf(pCtx), tgtDevId);
        if (pDev == nullptr)
            return MOS_RC__NOT_FOUND;
        contDev_CopyDevPath(pDev, pPath);
        cont_ReleaseContDev(contOf(pCtx), tgtDevId);
        return MOS_RC__SUCCESS;
    };
}
