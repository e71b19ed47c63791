// The storage server's user-mode-thread classes: one table of 54 named classes registered with
// the runtime's class manager at start-up. Types 0-24 are the classes of the shared code (the
// messaging layer asks for them through the same lookup); 25-53 are the server's own. Every
// uthread of the server is created in one of them, so the runtime can count and trace per kind.
#pragma once

#include "mos/umt/mos_umt_class.h"
#include "net/net_common_umt_class.h"

enum TgtUmtClassType : UINT32 {
    MOS_UMT_CLASS_TYPE__TGT_SERVICE_INIT = COMMON_UMT_CLASS_TYPE__LAST, // 25
    MOS_UMT_CLASS_TYPE__TGT_SHUTDOWN = 26,
    MOS_UMT_CLASS_TYPE__TGT_ADD_DEVICE = 27,
    MOS_UMT_CLASS_TYPE__TGT_ADD_COMB = 28,
    MOS_UMT_CLASS_TYPE__TGT_ZERO_FREE_METADATA = 29,
    MOS_UMT_CLASS_TYPE__TGT_DISK_TEST = 30,
    MOS_UMT_CLASS_TYPE__TGT_NET_TEST = 31,
    MOS_UMT_CLASS_TYPE__TGT_WATCHDOG_FREQ = 32,
    MOS_UMT_CLASS_TYPE__TGT_WATCHDOG_RARE = 33,
    MOS_UMT_CLASS_TYPE__TGT_WATCHDOG_DEV = 34,
    MOS_UMT_CLASS_TYPE__TGT_WATCHDOG_STUCK = 35,
    MOS_UMT_CLASS_TYPE__TGT_KEEP_ALIVE = 36,
    MOS_UMT_CLASS_TYPE__TGT_RCACHE_UPDATE_OSTREL = 37,
    MOS_UMT_CLASS_TYPE__TGT_RCACHE_PURGE = 38,
    MOS_UMT_CLASS_TYPE__TGT_RCACHE_CHANGE_SIZE = 39,
    MOS_UMT_CLASS_TYPE__TGT_RAID_SYNC_POOL = 40,
    MOS_UMT_CLASS_TYPE__TGT_WORKER_POOL = 41,
    MOS_UMT_CLASS_TYPE__TGT_BACKGROUND_SCAN = 42,
    MOS_UMT_CLASS_TYPE__UTIL_TGT_TEST = 43,
    MOS_UMT_CLASS_TYPE__UTIL_TGT_IO_GENERATOR = 44,
    MOS_UMT_CLASS_TYPE__TGT_FLCACHE = 45,
    MOS_UMT_CLASS_TYPE__TGT_CON_MONITOR = 46,
    MOS_UMT_CLASS_TYPE__TGT_UNITTEST = 47,
    MOS_UMT_CLASS_TYPE__TGT_CFG = 48,
    MOS_UMT_CLASS_TYPE__TGT_SYNC_CHANNEL = 49,
    MOS_UMT_CLASS_TYPE__TGT_METADATA_POLLER = 50,
    MOS_UMT_CLASS_TYPE__TGT_PHY_DEV_PATH = 51,
    MOS_UMT_CLASS_TYPE__TGT_CONT_DEV_MNGR_VALIDATE_DEV_HEADER = 52,
    MOS_UMT_CLASS_TYPE__TGT_REM_DEV = 53,
    MOS_UMT_CLASS_TYPE__LAST = 54,
};

// Registers the 54 classes with the runtime's class manager and installs the shared code's
// lookup. Handed to mosUmtMgr_Init.
void tgt_UmtClassInit(void);
// The id registered for a class type (a CommonUmtClassType or a TgtUmtClassType). A type of 54
// or more, or a type asked for before tgt_UmtClassInit ran, is an internal error (panic).
MosUmtClassId tgt_GetUmtClassId(UINT32 classType);
// The name of a class type as registered (null for a type of 54 or more).
const CHAR_A *tgt_GetUmtClassName(UINT32 classType);
