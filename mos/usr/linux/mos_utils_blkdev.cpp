// Block-device enumeration and device control calls.
#include "mos/mos_utils_blkdev.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <numa.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/personality.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <termios.h>
#include <unistd.h>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_text.h"

Mos_RC mos_StartBlkDevEnum(Mos_EnumBlkDevContext *pEnumContext)
{
    MOS_ASSERT(pEnumContext != ((void *)0));
    memset(pEnumContext, 0, sizeof(*pEnumContext));
    const char *pFileName = getenv("PELLAR_PARTITION_FILE");
    if (pFileName == nullptr || *pFileName == '\0')
        pFileName = "/proc/partitions";
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_MED, "open partition file: %s", pFileName);
    pEnumContext->pProcFile = fopen(pFileName, "r");
    return pEnumContext->pProcFile == nullptr ? MOS_RC__ERROR : MOS_RC__SUCCESS;
}

Mos_RC mos_GetNextBlkDev(Mos_EnumBlkDevContext *pEnumContext, char *pDevName, size_t devNameSize)
{
    static const char *const kIgnoredPrefixes[] = {"dm", "sr", "fd", "cdrom", MOS_QUILLET_DEV_PREFIX};
    MOS_ASSERT(pEnumContext->pProcFile != ((void *)0));
    if (devNameSize < 10)
        return MOS_RC__BUF_TOO_SMALL;
    while (getline(&pEnumContext->pLine, &pEnumContext->lineSize, pEnumContext->pProcFile) >= 0) {
        unsigned long major, minor, blocks;
        char name[256];
        if (sscanf(pEnumContext->pLine, "%lu %lu %lu %255s", &major, &minor, &blocks, name) != 4)
            continue;
        BOOL bIgnored = FALSE;
        for (const char *pPrefix : kIgnoredPrefixes)
            bIgnored |= strncmp(name, pPrefix, strlen(pPrefix)) == 0;
        if (bIgnored)
            continue;
        if ((size_t)snprintf(pDevName, devNameSize, "/dev/%s", name) >= devNameSize)
            return MOS_RC__BUF_TOO_SMALL;
        return MOS_RC__SUCCESS;
    }
    return MOS_RC__NO_MORE_ELEMENTS;
}

void mos_FinishBlkDevEnum(Mos_EnumBlkDevContext *pEnumContext)
{
    free(pEnumContext->pLine);
    pEnumContext->pLine = nullptr;
    pEnumContext->lineSize = 0;
    if (pEnumContext->pProcFile != nullptr)
        fclose(pEnumContext->pProcFile);
    pEnumContext->pProcFile = nullptr;
}

namespace {
char sysBlockDir_G[PATH_MAX] = "/sys/class/block";
} // namespace

void mos_SetSysBlockDirForTest(const char *pDir)
{
    snprintf(sysBlockDir_G, sizeof(sysBlockDir_G), "%s", pDir != nullptr ? pDir : "/sys/class/block");
}

// The kernel lists a disk's partitions as subdirectories of the disk's sysfs directory, each
// holding a "partition" file. Names such as nvme0n1 or loop3 end in a digit and still have
// partitions (nvme0n1p1, loop3p1), so the name alone tells nothing.
BOOL mos_IsDiskPartitioned(const char *pValidateDiskName)
{
    MOS_ASSERT(pValidateDiskName != ((void *)0));
    char path[PATH_MAX];
    snprintf(path, sizeof(path), "%s", pValidateDiskName);
    char *pName = mos_TrimWhitespace(path);
    size_t len = strlen(pName);
    while (len > 0 && pName[len - 1] == '/')
        pName[--len] = '\0';
    if (len == 0)
        return FALSE;
    // /dev/disk/by-id/... and similar names are links to the device node.
    char resolved[PATH_MAX];
    if (realpath(pName, resolved) != nullptr)
        pName = resolved;
    const char *pBase = strrchr(pName, '/');
    pBase = pBase != nullptr ? pBase + 1 : pName;

    char diskDir[PATH_MAX];
    if ((size_t)snprintf(diskDir, sizeof(diskDir), "%s/%s", sysBlockDir_G, pBase) >= sizeof(diskDir))
        return FALSE;
    DIR *pDir = opendir(diskDir);
    if (pDir == nullptr)
        return FALSE;
    BOOL bPartitioned = FALSE;
    while (dirent *pEntry = readdir(pDir)) {
        if (strncmp(pEntry->d_name, pBase, strlen(pBase)) != 0)
            continue;
        char partFile[PATH_MAX + 256 + 16];
        if ((size_t)snprintf(partFile, sizeof(partFile), "%s/%s/partition", diskDir, pEntry->d_name) >=
            sizeof(partFile))
            continue;
        if (access(partFile, F_OK) == 0) {
            printf("Part %s %s\n", pBase, pEntry->d_name);
            bPartitioned = TRUE;
            break;
        }
    }
    closedir(pDir);
    return bPartitioned;
}

int mos_DevOpen(const char *fullDevPath)
{
    int fd = open(fullDevPath, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        MOS_TRACE(MOS_COMP_QUILLET_IOCTL, MOS_FREQ_LOW, "Failed to open device %s. errono %d: %s", fullDevPath, err,
                  strerror(err));
        return -1;
    }
    return fd;
}

void mos_DevClose(int hDev)
{
    MOS_ASSERT(hDev != -1);
    close(hDev);
}

Mos_RC mos_DevSendIoctl(int hDev, unsigned long opcode, void *pBuf, size_t bufSize)
{
    MOS_UNUSED(bufSize);
    if (ioctl(hDev, opcode, pBuf) != 0) {
        int err = errno;
        MOS_TRACE(MOS_COMP_QUILLET_IOCTL, MOS_FREQ_LOW, "Failed to send ioctl %d to fd %d. errno %d: %s", (int)opcode,
                  hDev, err, strerror(err));
        return MOS_RC__ERROR;
    }
    return MOS_RC__SUCCESS;
}
