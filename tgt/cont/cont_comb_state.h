// The comb manager's own state, which the root controller object holds by value and builds with
// contCombMngr_Init. Apart from the combs' header so that the root includes only this and the
// combs' code may include the root.
#pragma once

#include <atomic>

#include "mos/mos_dlist.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_rc.h"
#include "mos/umt/mos_umt_rwlock.h"
#include "mos/umt/mos_umt_semaphore.h"
#include "tgt/phy/phy_layout.h"

struct Cont;
struct OstrelTgtReq_AddCombArr;
struct ContCombRaidOps;
struct IohComb;

#define CONT_COMB__MH_STATS_ENTRIES 2048u

// A running add-comb group command, carried to its worker threads.
struct ContDevMngr_AddCombData {
    const OstrelTgtReq_AddCombArr *pAddCombCmdArr;
    MosUmt_Sem addCombDoneSem;
    MosUmt_Sem addCombSecondPhaseSem;
    Mos_RC cmdRc;
    std::atomic<UINT32> startIndex;
    UINT32 parallel;
    std::atomic<UINT32> addOldCounter;
    std::atomic<UINT32> addRoCounter;
    std::atomic<UINT32> addRoFailedCounter;
    std::atomic<UINT32> addRwCounter;
};

struct MH_CombSizeStats {
    UINT32 multiHeadId;
    UINT32 maxCombSizeMb;
    UINT32 maxCombBaseSizeMb;
    UINT32 minCombSizeMb;
    UINT32 minCombBaseSizeMb;
};

struct ContCombMngr {
    MosDList_Anchor combAnchor;            // all combs
    MosDList_Anchor combFirstAccessAnchor; // combs not yet first-accessed, oldest add first
    MosFastlock_Base addRemFastlock;
    MosUmt_RWLock itrRwLock;
    ContDevMngr_AddCombData addCombData;
    std::atomic<UINT32> abortItr; // writers waiting for itrRwLock
    Cont *pCont;
    UINT32 needUpdateComb;
    MosFastlock_Base combStatsFastlock;
    BOOL bCombStatsIsItering;
    MH_CombSizeStats combSizeStats[CONT_COMB__MH_STATS_ENTRIES];
    const ContCombRaidOps *pRaidOps;
};

// Zeroes the manager and builds its locks and semaphores; the passes use the mirroring part.
void contCombMngr_Init(ContCombMngr *pCombMngr, Cont *pCont);
// Lets the devices' scan threads reach the combs on their lists (counted references through the
// registry) and scan those held here as primary.
void contComb_SetDevHooks(void);
// The I/O handler's handle of a comb by id (a counted registry reference), released by id: how
// the data path's hooks reach combs.
IohComb *cont_AcquireIohComb(Cont *pCont, CombId combId);
void cont_ReleaseIohComb(Cont *pCont, CombId combId);
