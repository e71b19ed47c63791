// The storage server as a process: its entry (configuration, the user-mode-thread machinery, the
// shutdown thread, then the runtime's service runner), the service's start and stop callbacks,
// the main uthread that builds the root controller, and the shutdown uthread.
//
// Stop: the runtime's "sigterm" thread calls tgt_ServiceStop, which wakes the shutdown uthread
// and waits on an OS condition variable for it to finish: network paused, every device's
// dirty-region log on disk, path manager frozen, watchdogs told to stop. The shutdown thread sets
// a flag under the condition's lock before it signals, so a signal is never lost, and the stopper
// destroys the condition only after seeing the flag - never while the shutdown thread may still
// signal it. The wait is bounded (TGT_SERVICE__SHUTDOWN_WAIT_MILLIS) but long enough for the
// logs to reach disk. A second stop request is traced and does nothing else.
#pragma once

#include "mos/mos_fastlock.h"
#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_semaphore.h"
#include "mos/usr/linux/mos_condvar.h"

#define TGT_SERVICE__SCHED_NAME "Tgt-UMT-SCHED"
#define TGT_SERVICE__SCHED_MAX_OS_THREADS 32u
#define TGT_SERVICE__ALLOCATOR_NAME "Tgt-UMT-Allocator - G4"
#define TGT_SERVICE__SDBG_PORT 25640u
#define TGT_SERVICE__LOAD_MODULE 2u
#define TGT_SERVICE__SHUTDOWN_WAIT_MILLIS 20000u

extern MosUmt_Sem shutDownSem_g;
extern MosFastlock_Base waitForShutDownToEndLock_g;
extern MosOsw_CondVar waitForShutDownToEndCondVar_g;

// The process entry's steps; returns only if the service runner does (it does not). Exits 1
// before anything is built when the configuration cannot be loaded or tgt_port is refused.
int tgt_Main(int argc, char **argv);

void tgt_ServiceInit(void);
void tgt_ServiceStop(void);
void mainThread(void *pArg);
void tgt_ShutdownCode(void *pArg);

// The 128-bit CPU mask of the scheduler, CPU c in bit c % 8 of byte c / 8.
void tgt_MakeCpuMask(UINT64 mask0, UINT64 mask1, UINT8 (&mask)[16]);
