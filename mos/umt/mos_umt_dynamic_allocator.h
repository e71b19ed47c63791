// Allocator that takes a fresh block from the process for each uthread (the manager's default).
#pragma once

#include "mos/umt/mos_umt.h"

void mosUmtDynamicAllocator_Create(MosUmt_DynamicAllocator *pAllocator, UINT32 objSize, BOOL bGuardPage);
void mosUmtDynamicAllocator_Destroy(MosUmt_DynamicAllocator *pAllocator);
MosUmt *mosUmtDynamicAllocator_Alloc(MosUmt_Allocator *pAllocator);
void mosUmtDynamicAllocator_Release(MosUmt_Allocator *pAllocator, MosUmt *pUmt);
UINT32 mosUmtDynamicAllocator_GetNumOfAvailableEntries(MosUmt_Allocator *pAllocator);
