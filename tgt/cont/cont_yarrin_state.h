// The installation agent's link and the RAID-controller list as the root controller object holds
// them by value, and the calls the root makes on them while it builds itself. Apart from the
// link's header so that the root includes only this and the link's code may include the root.
#pragma once

#include "mos/mos_fastlock.h"
#include "mos/mos_timer.h"
#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_semaphore.h"
#include "mos/usr/mos_media.h"
#include "net/net_con.h"

struct Cont;
struct Net;

#define CONT_YARRIN__PATH_LEN 64u
#define CONT_RAID_CTRL__MAX_NUM 4u

struct ContRaidCtrl {
    MosFastlock_Base fastlock;
    MosMedia_RaidController raidCtrls[CONT_RAID_CTRL__MAX_NUM];
    UINT16 raidCtrlNum;
};

// Where the poller finds its devices and leaves their metadata (the controller's device and
// flash-cache device managers and registry), and where the LED command finds a device's path.
struct ContYarrinHooks {
    // How many devices (bFlcache FALSE) or flash-cache devices (TRUE) there are now.
    UINT32 (*getNumOfDevs)(Cont *pCont, BOOL bFlcache);
    // At most maxDevs ids and paths; the count given.
    UINT32 (*getDevPaths)(Cont *pCont, BOOL bFlcache, UINT64 *pIds, CHAR_A (*pPaths)[CONT_YARRIN__PATH_LEN],
                          UINT32 maxDevs);
    // Copies the metadata into the object of that id under its registry write lock; FALSE when
    // no such object exists any more.
    BOOL (*storeMetadata)(Cont *pCont, BOOL bFlcache, UINT64 id, const MosMedia_Metadata *pMetadata);
    // The path of a device: its object's, else the one device of that id in the device map; FALSE
    // when neither names exactly one.
    BOOL (*getDevPath)(Cont *pCont, UINT64 devId, CHAR_A (*pPath)[CONT_YARRIN__PATH_LEN]);
};

struct ContYarrin {
    Cont *pCont;
    Net *pNet;
    const ContYarrinHooks *pHooks;
    ContRaidCtrl *pRaidCtrl;
    HNetCon hCon;
    MosFastlock_Base fastLock; // bAbort
    MosMedia_Metadata metadata; // the answer of the last query
    BOOL bAbort;
    // The agent's address (the host's text and port).
    CHAR_A host[NET_CON__MAX_HOST_NAME];
    UINT32 port;
    UINT32 failCount;      // failed rounds in a row, at most CONT_YARRIN__MAX_FAIL_COUNT
    MosTimerQ_ID sleepQ;   // where the poller sleeps next
    MosUmt_Sem abortSem;   // raised to end the poller's sleep
    HMosUmt_UThread hPoller;
    BOOL bPollerStarted;
};

// RAID-controller list.
void contRaidCtrl_Init(ContRaidCtrl *pRaidCtrl);
// The link. pHost null: the default address. With tgt_dev__enable_metadata_polling on, Init starts
// the poller (class MOS_UMT_CLASS_TYPE__TGT_METADATA_POLLER on pSched, null for the default);
// Destroy ends it, disconnects, and destroys the locks.
void contYarrin_Init(ContYarrin *pYarrin, Cont *pCont, Net *pNet, const ContYarrinHooks *pHooks,
                     ContRaidCtrl *pRaidCtrl, const CHAR_A *pHost, UINT32 port, MosUmt_Sched *pSched);
// The controller's side: the devices and flash-cache devices of its managers, their metadata
// stored under each object's registry write lock, and a device's path from its object or, for a
// device without one, from the device map.
const ContYarrinHooks *contYarrin_GetContHooks(void);
