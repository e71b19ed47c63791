// The physical layer: the one object through which the controller adds and removes devices and
// places combs on them. Its device set holds 128 device slots and the one asynchronous-I/O
// context of all device I/O; its comb map records which device holds each comb; its device map
// knows the devices found on the machine (phy_devmap.h).
//
// Adding a device: a free slot is taken under mDevFastlock and the device is brought up outside
// it; the slot then joins the used list, or goes back to the free list when the device failed
// (so a failed add never uses up a slot). An existing device's comb array is scanned into the
// device's rebuild comb map (combs found on the device that the management side has not named
// again), every tooth the tooth map found is linked to its comb there, and a tooth of a comb the
// array does not hold is freed. The tooth map is hardened before the comb array, so the device
// never names a comb whose teeth it does not record. With all 128 slots used an add answers
// MOS_RC__ERROR without touching the file.
//
// Removing a device frees the combs still in its rebuild map and refuses (MOS_RC__BUSY, nothing
// changed) while any other comb is counted on it; only then is its header zeroed, so that a later
// discovery no longer finds it, and its slot freed.
//
// Comb allocation on a device whose every slot is used answers MOS_RC__NO_RESOURCES.
//
// Locking: addition, removal and comb freeing take the read side of mDevListRwLock, passes over
// all devices the write side, so a pass never sees a device appear or vanish. Whoever waits for
// the read side raises bAbortBgLoops, which asks a running pass to stop early. The lists and
// comb slots change under mDevFastlock, which every device also holds as its pmDevFastlock.
#pragma once

#include "mos/mos_fastlock.h"
#include "mos/umt/mos_umt_rwlock.h"
#include "mos/umt/mos_umt_semaphore.h"
#include "mos/usr/mos_async_io.h"
#include "tgt/phy/phy_dev.h"
#include "tgt/phy/phy_devmap.h"
#include "tgt/phy/phy_map.h"

struct Cache;
struct Cont;

enum PhyMultiDevSlotState : UINT8 {
    PHY_MULTI_DEV_SLOT__FREE = 0,
    PHY_MULTI_DEV_SLOT__INIT = 1, // taken, the device being brought up
    PHY_MULTI_DEV_SLOT__USED = 2,
};

struct PhyMultiDevAnchor {
    UINT32 count;
};

struct PhyMultiDev {
    UINT32 maxNumOfDevs;
    PhyDev *pPhyDev; // a device's index here is the devId part of its PhyDevAddr
    PhyMultiDevSlotState *pSlotState;
    MosUmt_RWLock mDevListRwLock;
    MosFastlock_Base mDevFastlock;
    PhyMultiDevAnchor devFreeAnchor;
    PhyMultiDevAnchor devAllocAnchor;
    BOOL bAbortBgLoops;
    MosAsyncIO asyncIO;
    MosUmt_Sem asyncDeviceActionSem;
    Cache *pCache; // the RAM read cache the devices read through (may stay null)
    BOOL bInit;
};

struct Phy {
    PhyMultiDev mDev;
    PhyMap combMap;
    PhyDevMap devMap;
};

// What phy_AddDev passes on to the device beyond its named arguments.
struct PhyAddDevOptions {
    BOOL bQaDevError;
    BOOL bDevZeroPadEnabled;
    BOOL bChecksumEnabled;
    TgtBwc *pDevBwc;
    PhyAddDevProgress *pProgress;
    BOOL bUseCache; // the device joins the RAM read cache once it is up
    UINT32 ramcacheWriteMode;
    UINT32 scanBWLimitKb;
    BOOL bReconfigInProgress; // the cache's memory then waits for the end of the cycle
};

// The context is made from tgt_asyncio_max_global_reqs, tgt_asyncio_thrds and
// tgt_asyncio_is_native and bound to the CPU mask of tgt_asyncio_cpu_mask0/1; a context that
// cannot be made stops the process. pBackend null: the kernel's.
void phyMultiDev_Init(PhyMultiDev *pMDev, UINT32 maxNumOfDevs, const MosAsyncIO_Backend *pBackend);
// Every device must have been removed.
void phyMultiDev_Destroy(PhyMultiDev *pMDev);
Mos_RC phyMultiDev_AddDev(PhyMultiDev *pMDev, Cont *pCont, File *pFile, UINT64 sizeInLbs, UINT32 dirtyGranularity,
                          TgtId tgtId, TgtDevId devId, BOOL bMemDrl, BOOL bNew,
                          const PhyDevThrottlingInfo *pThrottlingInfo, const PhyAddDevOptions *pOptions,
                          PhyDev **ppDev);
Mos_RC phyMultiDev_AddDevDone(PhyMultiDev *pMDev, PhyDev *pDev, PhyAddDevProgress *pProgress);
MosAsyncIO *phyMultiDev_GetAsyncIO(PhyMultiDev *pMDev);
UINT32 phyMultiDev_GetDevId(PhyMultiDev *pMDev, const PhyDev *pDev);
PhyDevCombNode *phyMultiDev_GetCombNode(PhyMultiDev *pMDev, PhyDevAddr devAddr);
PhyDevAddr phyMultiDev_CombIndexToDevAddr(PhyMultiDev *pMDev, PhyDev *pDev, UINT32 combIndex);

void phy_Init(Phy *pPhy, Cont *pCont);
// The asynchronous-I/O backend that later phy_Init calls build on (null: the kernel's): the seam
// through which tests of a whole controller see, hold and fail its device transfers.
void phy_SetInitBackend(const MosAsyncIO_Backend *pBackend);
void phy_InitEx(Phy *pPhy, Cont *pCont, const MosAsyncIO_Backend *pBackend, BOOL bReload);
void phy_Destroy(Phy *pPhy);
void phy_SetCache(Phy *pPhy, Cache *pCache);
UINT32 phy_GetStructSize(void);

Mos_RC phy_AddDev(Phy *pPhy, Cont *pCont, File *pFile, UINT64 sizeInLbs, UINT32 dirtyGranularity, TgtId tgtId,
                  TgtDevId devId, BOOL bMemDrl, UINT64 snapReservedTeeth, BOOL bNew,
                  const PhyDevThrottlingInfo *pThrottlingInfo, PhyDev **ppDev, const PhyAddDevOptions *pOptions);
// MOS_RC__SUCCESS, MOS_RC__BUSY (a comb is still counted on the device: nothing changed) or the
// header write's code (the device stays).
Mos_RC phy_RemDev(Phy *pPhy, PhyDev *pDev);

// The comb's address on pDev: the one it has, or a new slot. MOS_RC__SUCCESS (*pbOnDevice: it was
// found on the device at reopen), MOS_RC__NOT_FOUND (the comb lives on another device) or
// MOS_RC__NO_RESOURCES (every slot of the device is used).
Mos_RC phy_AllocComb(Phy *pPhy, CombId combId, TgtDevId devId, PhyDev *pDev, BOOL *pbOnDevice, PhyDevAddr *pDevAddr);
void phy_AllocCombDone(Phy *pPhy, CombId combId, PhyDevAddr devAddr, UINT64 *pChangeNumber);
void phy_FreeComb(Phy *pPhy, CombId combId);
BOOL phy_IsCombInRebuild(PhyDev *pDev, CombId combId, TgtDevId devId);
void phy_ReconfigureStageDone(Phy *pPhy);
// Hardens every used device's tooth map and comb array, one user-mode thread per device:
// MOS_RC__SUCCESS when all are on disk; MOS_RC__BUSY when a change of the device list asked passes
// to stop (nothing was written); MOS_RC__IO_HARD_ERROR when a device's write failed (the others
// were written; what failed stays dirty in memory, so a later call writes it).
Mos_RC phy_HardenAllCombArr(Phy *pPhy);
void phy_FlushAllDirtyDrl(Phy *pPhy);

Mos_RC phy_ReloadDevMap(Phy *pPhy, Cont *pCont, GenericFilter *pFilter);
BOOL phy_GetDevPath(Phy *pPhy, TgtDevId devId, char *pPath, UINT32 *pCount);
// Iteration over the discovered ids; 0 ends it (see phyDevMap_StartDevItr).
TgtDevId phy_GetFirstDev(Phy *pPhy);
TgtDevId phy_GetNextDev(Phy *pPhy);
