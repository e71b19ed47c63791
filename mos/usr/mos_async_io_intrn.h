// What only the asynchronous I/O files (the engine, the blocking forms and the kernel's half)
// share.
#pragma once

#include "mos/mos_osthrd.h"
#include "mos/usr/linux/mos_condvar.h"
#include "mos/usr/mos_async_io.h"

// Inside the module: the layer's parameters and counter, the registry types, and the late-I/O
// bookkeeping shared by the engine and the timed transfers.
struct MosAsyncIO_Layer {
    MosObj_Type asyncIOType;
    MosObj_Type fileType;
    MosAsyncIO_InitParams params;
    UINT64 goodIOs; // atomic access
    BOOL bInit;
};
MosAsyncIO_Layer *mosAsyncIOLayer_Get(void);

// The file's own submitter thread (without native mode).
struct MosAsyncIO_Submitter {
    MosOsThrd thrd;
    MosOsw_CondVar cond; // waited on with the file's OS lock
    MosAsyncIO_File *pFile;
    BOOL bDie;
};

// One given-up transfer, kept by its owner until its completion.
struct MosAsyncIO_LateIo {
    MosDList_Node node;
    UINT64 offset;
    UINT64 size;
    BOOL bFence; // a write: its range is fenced
    const MosAsyncIO_Req *pReq; // the transfer itself: its own range never holds it back
};

// FALSE, with an error line, for a transfer that ends beyond any file position the kernel takes.
BOOL mosAsyncIO_RangeFits(UINT64 offset, UINT32 size);
void mosAsyncIOFile_AddLateIo(MosAsyncIO_File *pFile, MosAsyncIO_LateIo *pLate);
void mosAsyncIOFile_LateIoArrived(MosAsyncIO_File *pFile, MosAsyncIO_LateIo *pLate);
