// Synchronous file and device I/O: opens a block device or a regular file that serves as a
// device, learns its size and sector size, reserves space in a file, reads and writes with
// positioned calls, flushes and closes. The layer also owns the process-wide zero buffer from
// which zero writes are made.
#pragma once

#include "mos/mos_rc.h"
#include "mos/mos_types.h"

#define MOS_IO__ZERO_BUF_SIZE 0x100000u

struct MosIO {
    int fd;                  // -1 when closed
    UINT64 fileSizeInBytes; // found at open, or reserved since
};
typedef MosIO *HMosIO;

Mos_RC mosIOLayer_Init(void *pArg);
void mosIOLayer_Destroy(void);
Mos_RC mosIOLayerOS_Init(void);
// The zero buffer; its size (MOS_IO__ZERO_BUF_SIZE) in *pBufSize when asked.
const void *mosIOLayer_ZeroBufDetails(UINT32 *pBufSize);

Mos_RC mosIO_open(HMosIO hMosIO, const char *name, BOOL bCreateFileIfNeeded, BOOL bDisableCache);
void mosIO_close(HMosIO hMosIO);
// A transfer is complete or a failure: a short transfer (end of file) is MOS_RC__ERROR too.
Mos_RC mosIO_read(HMosIO hMosIO, void *pBuff, UINT64 buffSize, UINT64 offset);
Mos_RC mosIO_write(HMosIO hMosIO, const void *pBuff, UINT64 buffSize, UINT64 offset);
Mos_RC mosIO_writeZero(HMosIO hMosIO, UINT64 buffSize, UINT64 offset);
Mos_RC mosIO_flush(HMosIO hMosIO);
Mos_RC mosIO_ExtendAndReserveFile(HMosIO hIO, UINT64 size);
UINT64 mosIO_GetSize(HMosIO hMosIO);
UINT64 mosIO_GetSizeLb(HMosIO hMosIO);
Mos_RC mosIO_GetSectorSizeInBytes(HMosIO hMosIO, UINT32 *pSectorSize);
BOOL mosIO_IsFile(const char *name, UINT64 *pSize);
// A block device counts as mounted when a mounted file system sits on it, or when the kernel
// refuses exclusive use of it (a file system on one of its partitions, LVM, MD, swap).
Mos_RC mosIO_IsMounted(const char *pDevName, BOOL *pBMounted);

// Path kinds of other platforms; never true here.
BOOL mos_IsWindowsPhysicalDrive(const char *pPath);
BOOL mos_IsWindowsDriveLetter(const char *pPath);
BOOL mos_IsWindowsVolume(const char *pPath);
