// What only the asynchronous I/O files (the portable engine and its Linux half) share.
#pragma once

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
// FALSE, with an error line, for a transfer that ends beyond any file position the kernel takes.
BOOL mosAsyncIO_RangeFits(UINT64 offset, UINT32 size);
void mosAsyncIOFile_AddLateIo(MosAsyncIO_File *pFile, MosAsyncIO_LateIo *pLate);
void mosAsyncIOFile_LateIoArrived(MosAsyncIO_File *pFile, MosAsyncIO_LateIo *pLate);
