// Linux half of asynchronous I/O: the kernel's asynchronous I/O interface (libaio) behind a
// table of four calls, so that tests can put a backend of their own in its place (one that
// refuses, delays or fails requests).
#pragma once

#include <libaio.h>
#include <time.h>

#include "mos/mos_dlist.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_osthrd.h"
#include "mos/mos_types.h"
#include "mos/usr/linux/mos_condvar.h"

// The kernel control block of one transfer.
typedef struct iocb MosAsyncIO_OsReq;

// The kernel's asynchronous I/O calls, with libaio's conventions: a negative result is the
// negated error number. Submit returns how many of the blocks were taken, in order.
struct MosAsyncIO_Backend {
    int (*pSetup)(void *pArg, UINT32 maxReq, io_context_t *pCtx);
    int (*pDestroy)(void *pArg, io_context_t ctx);
    int (*pSubmit)(void *pArg, io_context_t ctx, long nr, struct iocb **ppIocbs);
    int (*pGetEvents)(void *pArg, io_context_t ctx, long minNr, long nr, struct io_event *pEvents,
                      struct timespec *pTimeout);
    // Optional: ends the reapers' current waits early (when the context is destroyed).
    void (*pWake)(void *pArg, io_context_t ctx);
    void *pArg;
};

// The kernel's own interface.
const MosAsyncIO_Backend *mosAsyncIO_GetKernelBackend(void);

struct MosAsyncIO_OS {
    MosFastlock_Base lock;
    MosAsyncObj_Anchor waiters; // requests waiting for a context slot, FIFO
    io_context_t osPort;
    BOOL bNativeAsync;
    const MosAsyncIO_Backend *pBackend;
};

struct MosAsyncIO_File;
struct MosAsyncIO_Req;

// The file's own submitter thread (without native mode).
struct MosAsyncIO_Submitter {
    MosOsThrd thrd;
    MosOsw_CondVar cond; // waited on with the file's OS lock
    MosAsyncIO_File *pFile;
    BOOL bDie;
};

struct MosAsyncIO_FileOS {
    MosFastlock_Base lock;
    MosAsyncObj_Anchor waiters;  // requests waiting for a file slot, FIFO
    MosDList_Anchor submitted;   // requests handed to the kernel, oldest first
    MosAsyncIO_Submitter *pSubmitter;
    // Transfers whose waiter gave up on them (time budget spent) and whose completion has not
    // come yet. The writes among them fence their byte ranges: a request that overlaps one of
    // them, or a request already held back, waits in `fenced` until the late write has landed,
    // so that a retry can never be overtaken by the stale write it replaces.
    MosDList_Anchor lateWrites;
    MosAsyncObj_Anchor fenced;
    UINT32 lateIos;      // given-up transfers still in flight
    UINT64 lateIosTotal; // given-up transfers since the open
};

// One given-up transfer, kept by its owner until its completion.
struct MosAsyncIO_LateIo {
    MosDList_Node node;
    UINT64 offset;
    UINT64 size;
    BOOL bFence; // a write: its range is fenced
    const MosAsyncIO_Req *pReq; // the transfer itself: its own range never holds it back
};
