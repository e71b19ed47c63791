// The device manager's own state, which the root controller object holds by value and builds with
// contDevMngr_Init, and the file hooks the root registers. Apart from the devices' header so that
// the root includes only this and the devices' code may include the root.
#pragma once

#include "mos/mos_ticks.h"
#include "mos/umt/mos_umt_rwlock.h"
#include "mos/umt/mos_umt_semaphore.h"
#include "tgt/cont/cont_mngr.h"

struct Cont;
struct ContDev;

// The running group command of the add and remove commands.
struct ContDevMngr_AddDevData {
    void *pAddDevCmdArr;
    void *pAddDevRsp;
    UINT64 devId;
    MosUmt_Sem addDevDoneSem;
    MosUmt_Sem addRemDevSem; // one unit: device adds and removals never overlap
};

// One set of a disk test. A request gives the I/O size in KB, the total in MB (0: no limit) and
// the time limit in seconds (0: none); the manager keeps them in LB, CONT_DEV__NO_LIMIT for none.
struct ContDevDiskTestParam {
    UINT32 pattern; // DevTestPatternType, 1 to 4
    UINT32 ioSizeLbs;
    UINT32 totalIoSizeLbs;
    UINT32 limitInSeconds;
};

#pragma pack(push, 1)
// One device of a disk test request.
struct ContDevDiskTestDev {
    UINT64 devId;
    UINT32 testNum;
};
#pragma pack(pop)
static_assert(sizeof(ContDevDiskTestDev) == 12);

struct ContDevDiskTest {
    ContDevDiskTestDev *pDevIdArr;
    UINT32 numOfDevs;
    BOOL bTestInProg;
    UINT32 testInQueue; // 1 when a second test follows
    ContDevDiskTestParam testParamCurr;
    ContDevDiskTestParam testParamNext;
};

// The delayed metadata-zeroing threads that device adds start. Each sleeps before it zeroes; a
// stop wakes the sleepers, aborts a running zeroing at its next chunk and waits for every one to
// end, so that none outlives the manager (or writes a device after the server's stop).
struct ContDevZeroingJobs {
    MosUmt_Sem wakeSem; // raised by a stop: a sleeping job ends at once
    MosUmt_Sem endSem;  // raised by each job as its last touch of the manager
    UINT32 numRunning;  // under the manager's fastlock
    BOOL bStop;         // set under the fastlock; read without it by a running zeroing
};

struct ContDevMngr {
    ContDevMngr_AddDevData addDevData;
    ContMngr<ContDev> devs; // fastlock (list and counts) and devAnchor
    MosUmt_RWLock itrRwLock;
    MosUmt_Sem longIoSem; // one unit: one long-I/O check at a time
    MosTicks_Cnt lastLongIoTestTick;
    ContDevDiskTest diskTest;
    Cont *pCont;
    BOOL bIsLowThresh;
    UINT8 *pEmptyBuff; // CONT_DEV__EMPTY_BUFF_SIZE bytes, page aligned
    ContDevZeroingJobs zeroing;
};

void contDevMngr_Init(ContDevMngr *pDevMngr, Cont *pCont);
// Ends every delayed zeroing: sleepers wake, a running zeroing aborts at its next chunk, and the
// call returns when all have ended; no new one starts after it. Runs on a uthread when any runs.
void contDevMngr_StopZeroing(ContDevMngr *pDevMngr);
// Registers the hooks of the device files onto these objects.
void contDev_SetFileHooks(void);
