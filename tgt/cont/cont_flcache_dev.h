// Flash-cache device objects: the flash devices that the Ostrel gives the flash read cache, each a
// controller object registered under CONT_OBJ_TYPE__FLCACHE by its 64-bit id and linked into the
// manager's list. Adding one writes a device header that marks the device as this server's cache
// device (so discovery recognises it and the signature check refuses it as a data device);
// removing one zeroes that header again.
//
// The manager follows the controller's object pattern: a fast lock over a list ended by -1, and
// a mark-and-sweep pair for reconfiguration in which GetFirstMarkedNode rotates the list and stops
// after one round, so a sweep that removes objects needs no iterator that survives a removal.
//
// Header writes go through the asynchronous-I/O context and device-map reload the controller
// hands over with contFlcacheDevMngr_SetIo; without a context a header cannot be written and the
// add answers MOS_RC__TGT_ADD_FLCACHE_DEV_OPEN_ERROR.
//
// An add of an id that exists with another driver handle or another path is refused with
// MOS_RC__FLCACHE_DEV_ALREADY_EXISTS (traced) rather than stopping the process: the values come
// from the Ostrel's command.
#pragma once

#include "mos/mos_dlist.h"
#include "mos/mos_obj.h"
#include "mos/usr/mos_async_io.h"
#include "mos/usr/mos_media.h"
#include "tgt/cont/cont_flcache_dev_state.h"
#include "tgt/cont/cont_obj.h"
#include "tgt/flcache/flcache.h"

struct Cont;

#pragma pack(push, 1)
// The debug query of the object type flash-cache device.
struct ContFlcacheDevQuery {
    UINT64 tgtCacheDevId;
    CHAR_A cacheDevPath[FLCACHE__DEV_PATH_LEN];
    UINT64 devSize;
    UINT64 flcacheDriverHandle;
    UINT32 flcacheErr;
    BOOL bMark;
    OstrelTgtRsp_FlcacheDevCounters flcacheCacheDevCounters;
};
#pragma pack(pop)
static_assert(sizeof(ContFlcacheDevQuery) == 240);

// The manager in the pattern of every object manager.
void contFlcacheDevMngr_Destroy(ContFlcacheDevMngr *pMngr); // every object must have been removed
void contFlcacheDevMngr_ObjInit(ContFlcacheDevMngr *pMngr, Cont *pCont, ContFlcacheDev *pDev, UINT64 objId,
                                UINT64 driverDevHandle, const CHAR_A *pPath);
void contFlcacheDevMngr_ObjDestroy(ContFlcacheDevMngr *pMngr, ContFlcacheDev *pDev);
void contFlcacheDevMngr_MarkAllObjs(ContFlcacheDevMngr *pMngr);
ContFlcacheDev *contFlcacheDevMngr_GetFirstMarkedNode(ContFlcacheDevMngr *pMngr);

// MOS_RC__SUCCESS (registered, header written), MOS_RC__ALREADY_EXISTS (registered before: its mark
// is cleared), MOS_RC__FLCACHE_DEV_ALREADY_EXISTS (registered with another handle or path),
// MOS_RC__RETRY (being removed), or the header write's code (the object stays registered).
// driverDevHandle ~0 with an empty name only clears the mark of an existing object.
Mos_RC contFlcacheDevMngr_AddCacheDev(Cont *pCont, UINT64 objId, const CHAR_A *pFlcacheDevName,
                                      UINT64 driverDevHandle);
// MOS_RC__SUCCESS or MOS_RC__NOT_FOUND. Waits for the object's users; zeroes its header.
Mos_RC contFlcacheDevMngr_RemCacheDev(Cont *pCont, UINT64 objId);
Mos_RC contFlcacheDevMngr_RemCacheDevIntern(Cont *pCont, UINT64 objId, BOOL bRollback);
// Removes every object whose id is not in inUseDevIdArr.
void contFlcacheDevMngr_RemUnusedCacheDev(Cont *pCont, const UINT64 *inUseDevIdArr, UINT32 numOfObjs);

Mos_RC contFlcacheDevMngr_WriteDeviceHeader(Cont *pCont, UINT64 devId, const CHAR_A *pDeviceName);
void contFlcacheDevMngr_CleanDeviceHeader(Cont *pCont, const CHAR_A *pDeviceName);

// Ids and 64-byte paths of every device (arrays of MAX_NUM_FLCACHE_DEV_PER_TGT); returns the count.
UINT32 contFlcacheDevMngr_GetPaths(ContFlcacheDevMngr *pMngr, UINT64 *devIds, CHAR_A (*devPaths)[FLCACHE__DEV_PATH_LEN]);

// One metadata record per device, in list order, into pMetadata (MAX_NUM_FLCACHE_DEV_PER_TGT
// records); *pNumFlcacheDevs gets the count.
void contFlcacheDevMngr_GetMetadata(ContFlcacheDevMngr *pFlcacheDevMngr, MosMedia_Metadata *pMetadata,
                                    UINT32 *pNumFlcacheDevs);

// Held objects (counted in the registry).
ContFlcacheDev *cont_AcquireFlcacheCacheDev(Cont *pCont, UINT64 objId);
void cont_ReleaseFlcacheCacheDev(Cont *pCont, UINT64 objId);


void contFlcacheDev_Query(MosObj *pObj, const CHAR_A *pName, void *pData);
