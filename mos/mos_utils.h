// Small process services shared by all code: allocation with size ceilings, conversions,
// the XOR scrambling of device data, restricted files and directories, page protection,
// NUMA placement, the OOM score, block-device enumeration, console output. The layer also
// holds four process-wide settings from the configuration.
#pragma once

#include <cstdio>
#include <ctime>
#include <sys/time.h>

#include "mos/mos_osthrd.h"
#include "mos/mos_rc.h"
#include "mos/mos_types.h"

struct MosUtils_InitParams {
    BOOL bCrashOnIntrViolation;
    UINT64 maxCkTimeUsec;
    UINT32 pollLoopTimeFactor;
    UINT32 pollLoopMaxOvershootFactor;
};

Mos_RC mosUtilsLayer_Init(const MosUtils_InitParams *pInitParams);
void mosUtilsLayer_Destroy(void);
UINT64 mosUtilsLayer_GetMaxIntrUsec(void);
BOOL mosUtilsLayer_GetCrashOnIntrViolation(void);
UINT32 mosUtilsLayer_GetPollLoopTimeFactor(void);
UINT32 mosUtilsLayer_GetPollLoopMaxOvershootFactor(void);
Mos_RC mosUtilsLayer_InitOS(void);
void mosUtilsLayer_DestroyOS(void);

// Memory. A size above maxSize is a panic; an exhausted heap returns null only when bCanFail.
void *mos_MemMalloc(size_t size, size_t maxSize, const char *func, BOOL bCanFail);
void *mos_MemCalloc(size_t size, size_t maxSize, const char *func, BOOL bCanFail);
void *mos_MemRealloc(size_t size, size_t maxSize, void *ptr, const char *func, BOOL bCanFail);
void mos_MemFree(void *pMem);
void *mos_AllocPageAligned(size_t sizeBytes);
void *mos_AllocPageAlignedOrPanic(size_t size);
void mos_FreePageAligned(void *pMem);
void mos_MemMove(void *pDest, const void *pSrc, size_t num);
BOOL mos_LockBuf(void *pMem, size_t bufSize);
BOOL mos_UnlockBuf(void *pMem, size_t bufSize);
size_t mos_PageSize(void);
void mos_MarkPageNotAvailable(void *pMem);
void mos_MarkPageAvailable(void *pMem);
void mos_MarkRegionReadOnly(void *pMem, size_t regionSize);
void mos_MarkRegionReadWrite(void *pMem, size_t regionSize);
void mos_InitMemProperties(void);
void mos_RemoveReadImpliseExec(void);
Mos_RC mos_TryReadPtr(const void *p, void **pOut);
void mos_CoreDumpExcludeInclude(void *pMemAddr, size_t length, BOOL bExclude);
Mos_RC mos_GetNodeTotalRam(UINT64 *pTotalRam);

// Process placement.
void mos_NanoSleep(UINT64 nanos);
Mos_RC mos_SetProcessNumaAffinity(UINT32 numaNode, BOOL numaMemoryAffinity);
Mos_RC mos_GetCurThreadAffinity(MosOsThrd_CpuSet *pMask);
void mos_PrepareSetCpuMask(MosOsThrd_CpuSet *pSet);
Mos_RC mos_ConfigProcessOomKiller(void);

// Runs a call that may block its OS thread for long (fsync, mkdir) and returns its result. On
// a user-mode thread the call is handed to the blocking-call service, so the scheduler's OS
// thread keeps running other user-mode threads.
int mosUtils_RunBlocking(int (*pFunc)(void *pContext), void *pContext);
// How the layer above hands such a call on: TRUE with the call's result in *pResult when it did,
// FALSE when the caller is a plain OS thread that runs the call itself. The uthread module
// registers its hook when it starts (null withdraws it).
typedef BOOL (*MosUtils_RunBlockingHook)(int (*pFunc)(void *pContext), void *pContext, int *pResult);
void mosUtils_SetRunBlockingHook(MosUtils_RunBlockingHook pHook);

// Numbers and text.
char *mos_Uint64ToStr(UINT64 value, char *pStr, size_t bufSize, UINT32 base);
char *mos_Int64ToStr(INT64 value, char *pStr, size_t bufSize, UINT32 base);
char *mos_Uint32ToStr(UINT32 value, char *pStr, size_t bufSize, UINT32 base);
char *mos_Uint16ToStr(UINT16 value, char *pStr, size_t bufSize, UINT32 base);
char *mos_Uint8ToStr(UINT8 value, char *pStr, size_t bufSize, UINT32 base);
char *mos_Int32ToStr(INT32 value, char *pStr, size_t bufSize, UINT32 base);
// At most strLen characters, "0x" for hexadecimal, an optional leading minus. All ones for a
// text that is not a number or does not fit in 64 bits.
UINT64 mosStrToUll(const char *pStrIn, size_t strLen);
// Signed division; the remainder takes the sign of x. A divisor of 0 is a panic.
INT64 mos_DivRem64(INT64 x, INT64 y, INT64 *pRem);
const char *mos_StrChr(const char *pStrIn, size_t maxStrLen, char delim);
char *mos_TrimWhitespace(char *pStr);
void mos_HexDump(const void *pSrc, size_t srcLen, char *pDest, size_t destLen);
// MOS_RC__INVALID when the text holds a character that is not a hex digit.
Mos_RC mos_HexDumpToData(const char *pHexDump, UINT8 *pData, size_t dataLen);
#define MOS_UUID_SIZE 16u
Mos_RC mos_StrToUuidNoAssert(const char *pStr, UINT8 *pUuid);
void mos_StrToUuid(const char *pStr, UINT8 *pUuid);
// The address is in network order; the text lives in a per-thread buffer.
const char *mos_IpToStr(UINT32 ip);
Mos_RC mosIpFromStr(const char *ipStr, UINT32 *out_pIp);

// XOR scrambling of device data with a 64-bit key; a key of 0 means none.
void mos_Encrypt(void *pData, UINT64 sizeInLbs, UINT64 encryption);
void mos_InitEncryptedZero(void *pData, UINT64 sizeInLbs, UINT64 encryption);
BOOL mos_IsZeroEncrypt(const void *pData, UINT64 sizeInLbs, UINT64 encryption);
BOOL mos_IsZeroBufLbs(const void *pData, UINT64 sizeInLbs);

// Files and directories. Full names are at most 4095 characters.
#define MOS_MAX_FULL_FILE_NAME 4096u
void mos_CreateFullFileName(char *fullFileNameBuf, size_t fullFileNameBufLen, const char *directoryName,
                            const char *fileName);
FILE *mos_FileOpen(const char *directory, const char *fileName, BOOL bWrite);
FILE *mos_FullFileNameOpen(const char *fileName, BOOL bWrite);
Mos_RC mos_FileWrite(FILE *file, const void *data, size_t dataLen);
Mos_RC mos_FileRead(FILE *file, void *out_data, size_t *inout_dataLen);
void mos_FileRewind(FILE *file);
Mos_RC mos_FileClose(FILE *file);
Mos_RC mos_FileGetName(FILE *file, char *outBuffer, size_t outBufferSize);
BOOL mos_FullFileNameDelete(const char *fileName);
Mos_RC mos_FullFileNameCreateRestricted(const char *fileName);
Mos_RC mos_FullFileNameSetRestrictedMode(const char *fileName);
FILE *mos_FullFileNameOpenRestricted(const char *fileName);
Mos_RC mos_FileCreateRestricted(const char *directory, const char *fileName);
FILE *mos_FileOpenRestricted(const char *directory, const char *fileName);
Mos_RC mos_FileSetRestrictedMode(const char *directory, const char *fileName);
Mos_RC mos_CreateDirectory(const char *pDirectoryName);
int mos_CreateDirectoryInternal(const char *pDirectoryName);
Mos_RC mos_GetHomeDirectory(char *out_homeDirectory, size_t bufLength);
Mos_RC mos_GetCurrDirectory(char *pCurrDirBuf, size_t bufSize);
Mos_RC mos_GetAvailableDiskSpace(const char *dirName, UINT64 *pAvailableSpaceBytes);
Mos_RC mos_GetEstimatedCoreSize(UINT64 *coreSizeBytes);

// Block devices of the machine.
struct Mos_EnumBlkDevContext {
    FILE *pProcFile;
    char *pLine;
    size_t lineSize;
};
// Block devices of the data client's driver carry this prefix and are never offered as disks.
#define MOS_QUILLET_DEV_PREFIX "quillet"
Mos_RC mos_StartBlkDevEnum(Mos_EnumBlkDevContext *pEnumContext);
Mos_RC mos_GetNextBlkDev(Mos_EnumBlkDevContext *pEnumContext, char *pDevName, size_t devNameSize);
void mos_FinishBlkDevEnum(Mos_EnumBlkDevContext *pEnumContext);
BOOL mos_IsDiskPartitioned(const char *pValidateDiskName);
// Test seam: the directory that lists the block devices and their partitions (null: the
// kernel's own, /sys/class/block).
void mos_SetSysBlockDirForTest(const char *pDir);
int mos_DevOpen(const char *fullDevPath);
void mos_DevClose(int hDev);
Mos_RC mos_DevSendIoctl(int hDev, unsigned long opcode, void *pBuf, size_t bufSize);

// Console.
enum MosColor : UINT32 {
    COLOR_DEFAULT = 0,
    COLOR_RED = 1,
    COLOR_GREEN = 2,
    COLOR_YELLOW = 3,
    COLOR_BLUE = 4,
    COLOR_MAGENTA = 5,
    COLOR_CYAN = 6,
    COLOR_WAIT = 7,
};
BOOL mos_isInteractive(void);
Mos_RC mos_GetChar(char *pChar, BOOL bDisplayInputChar);
BOOL mos_ShouldUseColor(void);
const char *mos_GetAnsiColorCode(MosColor color);
void mos_PrettyPrint(MosColor color, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
