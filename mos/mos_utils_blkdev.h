// The block devices of the machine and device control calls.
#pragma once

#include <cstdio>
#include "mos/mos_rc.h"
#include "mos/mos_types.h"

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
