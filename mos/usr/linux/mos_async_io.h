// Linux half of asynchronous I/O: the kernel's asynchronous I/O interface (libaio) behind a
// table of four calls, so that tests can put a backend of their own in its place (one that
// refuses, delays or fails requests), and the few words that read and fill the kernel's
// control blocks and completion events. The engine above knows nothing else of the kernel.
#pragma once

#include <libaio.h>
#include <time.h>

#include "mos/mos_types.h"

// The kernel control block of one transfer, the kernel's context, and one completion.
typedef struct iocb MosAsyncIO_OsReq;
typedef io_context_t MosAsyncIO_OsPort;
typedef struct io_event MosAsyncIO_OsEvent;

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

// A control block for one transfer; pOwner comes back with its completion.
inline void mosAsyncIOOs_PrepReq(MosAsyncIO_OsReq *pReq, int fd, void *pBuf, UINT32 size, UINT64 offset, BOOL bWrite,
                                 void *pOwner)
{
    if (bWrite)
        io_prep_pwrite(pReq, fd, pBuf, size, (long long)offset);
    else
        io_prep_pread(pReq, fd, pBuf, size, (long long)offset);
    pReq->data = pOwner;
    pReq->aio_reqprio = 0;
}

inline UINT64 mosAsyncIOOs_ReqOffset(const MosAsyncIO_OsReq *pReq)
{
    return (UINT64)pReq->u.c.offset;
}

inline UINT64 mosAsyncIOOs_ReqSize(const MosAsyncIO_OsReq *pReq)
{
    return (UINT64)pReq->u.c.nbytes;
}

// The owner handed to mosAsyncIOOs_PrepReq, and the transfer's result: bytes moved, or the
// negated error number.
inline void *mosAsyncIOOs_EventOwner(const MosAsyncIO_OsEvent *pEvent)
{
    return pEvent->data;
}

inline long mosAsyncIOOs_EventResult(const MosAsyncIO_OsEvent *pEvent)
{
    return (long)pEvent->res;
}
