#include "tgt/phy/tgt_dump.h"

#include <unistd.h>

#include <cstring>

#include "mos/mos_dbg.h"
#include "mos/mos_time.h"
#include "mos/mos_utils_file.h"

namespace {
constexpr const char *kEol = "\r\n";
constexpr UINT32 kItemsPerLine = 8;
} // namespace

void dumpMgr_Init(Cont *pCont, DumpMgr *pDumpMgr, const char *pPath)
{
    memset(pDumpMgr, 0, sizeof(*pDumpMgr));
    pDumpMgr->pCont = pCont;
    size_t len = strlen(pPath);
    bool bSlash = len > 0 && pPath[len - 1] == '/';
    Exp(len + (bSlash ? 0 : 1) >= DUMP_MGR__DIR_NAME_MAX_LEN);
    memcpy(pDumpMgr->path, pPath, len);
    if (!bSlash)
        pDumpMgr->path[len] = '/';
    Mos_RC rc = mos_CreateDirectory(pDumpMgr->path);
    Exp(rc != MOS_RC__SUCCESS && rc != MOS_RC__ALREADY_EXISTS);
}

Mos_RC dumpMgr_CreateFile(DumpMgr *pDumpMgr, const char *pNamePart, FILE **ppFile)
{
    UINT32 seq = __atomic_fetch_add(&pDumpMgr->numOfDumpFiles, 1, __ATOMIC_RELAXED);
    UINT32 year, month, day, hour, min, sec, usec;
    mos_CurTimeDetails(&year, &month, &day, &hour, &min, &sec, &usec);
    char name[DUMP_MGR__FILE_NAME_MAX_LEN];
    snprintf(name, sizeof(name), "dump.pid-%ld.%04u.date-%02d-%02d.%02d-%02d-%02d.%s.log", (long)getpid(), seq,
             (int)day, (int)month, (int)hour, (int)min, (int)sec, pNamePart);
    *ppFile = mos_FileOpen(pDumpMgr->path, name, TRUE);
    if (*ppFile != nullptr)
        __atomic_add_fetch(&pDumpMgr->numOfOpenFiles, 1, __ATOMIC_RELAXED);
    return MOS_RC__SUCCESS;
}

void dumpMgr_CloseFile(DumpMgr *pDumpMgr, FILE *pFile)
{
    Exp(pFile == nullptr);
    mos_FileClose(pFile);
    __atomic_sub_fetch(&pDumpMgr->numOfOpenFiles, 1, __ATOMIC_RELAXED);
}

void tgtDump_WriteIoParam(FILE *pFile, CombId combId, UINT32 offsetInComb, UINT32 sizeInLbs)
{
    fprintf(pFile, "%s%s  combId=%lx%s  offsetInComb=%u%s  sizeInLbs=%u%s%s", "Info:", kEol, (unsigned long)combId,
            kEol, offsetInComb, kEol, sizeInLbs, kEol, kEol);
}

void tgtDump_WriteIoDif(FILE *pFile, const T10Dif *pDif, UINT32 numOfGuards)
{
    fprintf(pFile, "DIF:%s", kEol);
    for (UINT32 i = 0; i < numOfGuards; i++) {
        fprintf(pFile, "%04x ", pDif[i].guard);
        if ((i + 1) % kItemsPerLine == 0)
            fputs(kEol, pFile);
    }
    if (numOfGuards % kItemsPerLine != 0)
        fputs(kEol, pFile);
    fputs(kEol, pFile);
}

void tgtDump_WriteIoData(FILE *pFile, const void *pData, UINT32 sizeInLbs, UINT32 firstBlock)
{
    const UINT8 *p = static_cast<const UINT8 *>(pData);
    fprintf(pFile, "Data:%s", kEol);
    for (UINT32 blk = 0; blk < sizeInLbs; blk++) {
        fprintf(pFile, "Block#%u%s", firstBlock + blk, kEol);
        for (UINT32 i = 0; i < LB_SIZE_IN_BYTES; i++) {
            fprintf(pFile, "%02x ", p[(size_t)blk * LB_SIZE_IN_BYTES + i]);
            if ((i + 1) % kItemsPerLine == 0)
                fputs(kEol, pFile);
        }
    }
}

void tgtDump_WriteIO(FILE *pFile, const void *pData, const T10Dif *pDif, CombId combId, UINT32 offsetInComb,
                     UINT32 sizeInLbs)
{
    tgtDump_WriteIoParam(pFile, combId, offsetInComb, sizeInLbs);
    tgtDump_WriteIoDif(pFile, pDif, sizeInLbs);
    tgtDump_WriteIoData(pFile, pData, sizeInLbs, 0);
}

void tgtDump_WriteIOIov(FILE *pFile, const NetSmallIov *pDataIov, const NetSmallIov *pDifIov, CombId combId,
                        UINT32 offsetInComb, UINT32 sizeInLbs)
{
    tgtDump_WriteIoParam(pFile, combId, offsetInComb, sizeInLbs);
    UINT32 block = 0;
    for (UINT32 i = 0; i < pDataIov->numOfUsedBuffers; i++) {
        UINT32 dataLen = 0;
        const void *pData = NET_IOV__GET(pDataIov, i, &dataLen);
        if (i < pDifIov->numOfUsedBuffers) {
            UINT32 difLen = 0;
            const void *pDif = NET_IOV__GET(pDifIov, i, &difLen);
            tgtDump_WriteIoDif(pFile, static_cast<const T10Dif *>(pDif), difLen / sizeof(T10Dif));
        }
        tgtDump_WriteIoData(pFile, pData, dataLen / LB_SIZE_IN_BYTES, block);
        block += dataLen / LB_SIZE_IN_BYTES;
    }
}
