// Named POSIX shared-memory segments that outlive a restart of the process (not a reboot).
// The owner names them and decides whether a segment is closed (kept) or destroyed (removed).
#pragma once

#include "mos/mos_rc.h"
#include "mos/mos_types.h"

typedef int HMosShm_File;

struct MosShm {
    const char *pName;   // the caller's string, not copied: it must outlive the record
    HMosShm_File shmFD;  // -1 when none
    void *pMem;          // NULL when not mapped
    UINT64 memSize;      // bytes
};

// Start-up parameters of the shared-memory layer.
struct MosShm_InitParams {
    BOOL bShmServer;
    UINT32 serverPort;
};

Mos_RC mosShmLayer_Create(void *pArg);
void mosShmLayer_Destroy(void);

// Creates (bCreate) or opens the segment. memSize 0 opens an existing segment at its size; an
// existing segment is never shrunk (it grows to memSize when smaller, also when other processes
// open it at the same time), and one that is still smaller than memSize afterwards is refused.
// On failure nothing is left open, and only a segment that this call created is removed.
Mos_RC mosShmUmt_Create(MosShm *pShm, const char *pName, UINT64 memSize, BOOL bCreate, BOOL bExclusive);
Mos_RC mosShm_Map(MosShm *pShm, BOOL bLock);
void mosShm_Unmap(MosShm *pShm);
// Unmaps and closes; the segment and its contents stay under its name.
void mosShm_Close(MosShm *pShm);
// Unmaps, closes and removes the name.
void mosShmUmt_Destroy(MosShm *pShm);
