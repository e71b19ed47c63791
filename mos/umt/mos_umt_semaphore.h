// Counting semaphore of uthreads. Any thread may add units (an I/O completion thread, for one);
// only uthreads take them, waiting while there are too few.
#pragma once

#include "mos/mos_fastlock.h"
#include "mos/mos_rc.h"
#include "mos/mos_types.h"
#include "mos/umt/mos_umt_cond.h"

struct MosUmt_Sem {
    MosUmt_Cond cond;
    MosFastlock_Base lock;
    UINT32 count; // uthreads wait only while it is 0
};

void mosUmtSem_Init(MosUmt_Sem *pSem);
void mosUmtSem_Destroy(MosUmt_Sem *pSem);
void mosUmtSem_IncInter(MosUmt_Sem *pSem, UINT32 count, BOOL bFifo);
void mosUmtSem_IncInterNoLock(MosUmt_Sem *pSem, UINT32 count, BOOL bFifo);
Mos_RC mosUmtSem_DecTimed(MosUmt_Sem *pSem, UINT32 count, UINT32 timeToWaitMillis);
Mos_RC mosUmtSem_TryDec(MosUmt_Sem *pSem, UINT32 count);
Mos_RC mosUmtSem_DecAll(MosUmt_Sem *pSem, BOOL bBlock);
UINT32 mosUmtSem_Waiters(MosUmt_Sem *pSem);
UINT32 mosUmtSem_GetCount(MosUmt_Sem *pSem);
