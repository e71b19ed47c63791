// I/O dumps: when a T10-DIF verification fails and the policy asks for it, the failing I/O's
// parameters, guards and data are written as text into a numbered file of the dump directory
// for later analysis. Nothing in the system reads the files back.
#pragma once

#include <cstdio>

#include "mos/env/mos_net_iov.h"
#include "mos/mos_rc.h"
#include "mos/mos_t10dif.h"
#include "tgt/phy/phy_layout.h"

#define DUMP_MGR__DIR_NAME_MAX_LEN 1024u
// "dump.pid-%ld.%04u.date-%02d-%02d.%02d-%02d-%02d.%s.log" is cut to this length (with its end).
#define DUMP_MGR__FILE_NAME_MAX_LEN 64u

struct Cont;

struct DumpMgr {
    Cont *pCont;
    char path[DUMP_MGR__DIR_NAME_MAX_LEN]; // always ends in "/"
    UINT32 numOfDumpFiles; // created; also the next file's sequence number (atomic access)
    UINT32 numOfOpenFiles; // atomic access
};

// Stores the path with a trailing "/" and creates the directory (an existing one is fine; any
// other failure stops the process, as does a path that does not fit).
void dumpMgr_Init(Cont *pCont, DumpMgr *pDumpMgr, const char *pPath);
// Always MOS_RC__SUCCESS; *ppFile is null when the file could not be opened.
Mos_RC dumpMgr_CreateFile(DumpMgr *pDumpMgr, const char *pNamePart, FILE **ppFile);
void dumpMgr_CloseFile(DumpMgr *pDumpMgr, FILE *pFile);

void tgtDump_WriteIO(FILE *pFile, const void *pData, const T10Dif *pDif, CombId combId, UINT32 offsetInComb,
                     UINT32 sizeInLbs);
// The guards and data of each element in turn, block numbers continuing across elements.
void tgtDump_WriteIOIov(FILE *pFile, const NetSmallIov *pDataIov, const NetSmallIov *pDifIov, CombId combId,
                        UINT32 offsetInComb, UINT32 sizeInLbs);
void tgtDump_WriteIoParam(FILE *pFile, CombId combId, UINT32 offsetInComb, UINT32 sizeInLbs);
void tgtDump_WriteIoDif(FILE *pFile, const T10Dif *pDif, UINT32 numOfGuards);
// Blocks are numbered from firstBlock.
void tgtDump_WriteIoData(FILE *pFile, const void *pData, UINT32 sizeInLbs, UINT32 firstBlock);
