#include "mos/usr/mos_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <libgen.h>
#include <linux/fs.h>
#include <mntent.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mos/mos_assert.h"
#include "mos/mos_diag_counters.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils.h"

#define MOS_IO_WARNING(format, ...)                                                                 \
    do {                                                                                            \
        MOS_TRACE(MOS_COMP_IO, MOS_FREQ_LOW, "WARNING: " format, ##__VA_ARGS__);                    \
        mosError_Do(MOS_COMP_IO, MOS_FREQ_LOW, "%s:%05u: WARNING: " format "\n", __func__,           \
                    (unsigned)__LINE__, ##__VA_ARGS__);                                             \
    } while (0)

namespace {
int mosIO_FsyncCK(void *pContext)
{
    return fsync(*static_cast<int *>(pContext)) == 0 ? 0 : errno;
}

// A new file's directory entry is durable only once its directory is flushed.
void mosIO_FlushParentDir(const char *name)
{
    char path[1024];
    snprintf(path, sizeof(path), "%s", name);
    int dirFd = open(dirname(path), O_RDONLY | O_CLOEXEC);
    if (dirFd < 0)
        return;
    mosUtils_RunBlocking(mosIO_FsyncCK, &dirFd);
    close(dirFd);
}
} // namespace

Mos_RC mosIOLayerOS_Init(void)
{
    return MOS_RC__SUCCESS;
}

Mos_RC mosIO_IsMounted(const char *pDevName, BOOL *pBMounted)
{
    MOS_ASSERT(pDevName != ((void *)0));
    MOS_ASSERT(pBMounted != ((void *)0));
    *pBMounted = FALSE;
    struct stat devStat;
    if (stat(pDevName, &devStat) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return MOS_RC__NOT_FOUND;
        MOS_IO_WARNING("Failed to get status of %s: errno %d %s", pDevName, errno, strerror(errno));
        return MOS_RC__ERROR;
    }
    if (!S_ISBLK(devStat.st_mode))
        return MOS_RC__SUCCESS;

    FILE *pMtab = setmntent("/etc/mtab", "r");
    if (pMtab == nullptr) {
        int err = errno;
        MOS_IO_WARNING("Failed to open mount file: errno %d %s", err, strerror(err));
        return MOS_RC__ERROR;
    }
    mntent entry;
    char buf[4096];
    while (!*pBMounted && getmntent_r(pMtab, &entry, buf, sizeof(buf)) != nullptr) {
        struct stat fsStat;
        if (stat(entry.mnt_fsname, &fsStat) == 0 && S_ISBLK(fsStat.st_mode) && fsStat.st_rdev == devStat.st_rdev)
            *pBMounted = TRUE;
    }
    endmntent(pMtab);
    if (*pBMounted)
        return MOS_RC__SUCCESS;

    // The mount table names only the device a file system sits on. A disk whose partition is
    // mounted, or that LVM, MD or swap holds, shows up through the kernel's refusal to hand
    // it out for exclusive use.
    int fd = open(pDevName, O_RDONLY | O_EXCL | O_CLOEXEC);
    if (fd >= 0)
        close(fd);
    else if (errno == EBUSY)
        *pBMounted = TRUE;
    return MOS_RC__SUCCESS;
}

Mos_RC mosIO_open(HMosIO hMosIO, const char *name, BOOL bCreateFileIfNeeded, BOOL bDisableCache)
{
    MOS_ASSERT(hMosIO != ((void *)0));
    MOS_ASSERT(name != ((void *)0));
    hMosIO->fd = -1;
    hMosIO->fileSizeInBytes = 0;
    int flags = O_RDWR | O_CLOEXEC | (bDisableCache ? O_DIRECT : 0);
    UINT64 size = 0;
    BOOL bCreate = bCreateFileIfNeeded;
    BOOL bDevice = FALSE;
    if (!bCreate) {
        if (mosIO_IsFile(name, &size)) {
            bCreate = TRUE;
        } else {
            BOOL bMounted = FALSE;
            Mos_RC rc = mosIO_IsMounted(name, &bMounted);
            if (rc != MOS_RC__SUCCESS) {
                MOS_IO_WARNING("Failed to get mount status for %s (%s)", name, MOS_RC__GET_STR(rc));
                return rc;
            }
            if (bMounted)
                return MOS_RC__DEV_MOUNTED;
            bDevice = TRUE;
        }
    }
    int fd = bCreate ? open(name, flags | O_CREAT, S_IRUSR | S_IWUSR) : open(name, flags);
    if (fd < 0) {
        int err = errno;
        MOS_IO_WARNING("Failed to open file %s (create %d, disable cache %d): errno %d %s", name,
                       bCreateFileIfNeeded ? 1 : 0, bDisableCache ? 1 : 0, err, strerror(err));
        return MOS_RC__ERROR;
    }
    if (bDevice) {
        UINT64 devSize = 0;
        if (ioctl(fd, BLKGETSIZE64, &devSize) != 0) {
            perror("mosIO_open");
            close(fd);
            return MOS_RC__ERROR;
        }
        size = devSize;
    }
    if (bCreateFileIfNeeded) {
        // A file that was already there keeps its length; reporting 0 for it would be wrong.
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
            size = (UINT64)st.st_size;
    }
    hMosIO->fd = fd;
    hMosIO->fileSizeInBytes = size;
    mosIO_FlushParentDir(name);
    return MOS_RC__SUCCESS;
}

void mosIO_close(HMosIO hMosIO)
{
    MOS_TRACE(MOS_COMP_IO, MOS_FREQ_MED, "Closing FD(%d)", hMosIO->fd);
    if (hMosIO->fd >= 0)
        close(hMosIO->fd);
    hMosIO->fd = -1;
    hMosIO->fileSizeInBytes = 0;
}

// Loops over short transfers and EINTR so that callers see one whole transfer or one failure.
template <typename Buf, typename Op>
static Mos_RC mosIO_Transfer(HMosIO hMosIO, Buf *p, UINT64 buffSize, UINT64 offset, Op op, const char *pWhat)
{
    while (buffSize > 0) {
        ssize_t done = op(hMosIO->fd, p, buffSize, (off_t)offset);
        if (done < 0 && errno == EINTR)
            continue;
        if (done < 0) {
            perror(pWhat);
            MOS_DIAG_COUNT(PHY_IO_ERROR);
            return MOS_RC__ERROR;
        }
        if (done == 0) {
            MOS_IO_WARNING("%s of FD(%d) made no progress at offset %lu", pWhat, hMosIO->fd, (unsigned long)offset);
            MOS_DIAG_COUNT(PHY_IO_ERROR);
            return MOS_RC__ERROR;
        }
        p += done;
        buffSize -= (UINT64)done;
        offset += (UINT64)done;
    }
    return MOS_RC__SUCCESS;
}

Mos_RC mosIO_read(HMosIO hMosIO, void *pBuff, UINT64 buffSize, UINT64 offset)
{
    return mosIO_Transfer(hMosIO, static_cast<UINT8 *>(pBuff), buffSize, offset, pread, "mosIO_read");
}

Mos_RC mosIO_write(HMosIO hMosIO, const void *pBuff, UINT64 buffSize, UINT64 offset)
{
    return mosIO_Transfer(hMosIO, static_cast<const UINT8 *>(pBuff), buffSize, offset, pwrite, "mosIO_write");
}

Mos_RC mosIO_flush(HMosIO hMosIO)
{
    MOS_TRACE(MOS_COMP_IO, MOS_FREQ_MED, "flushing FD(%d)", hMosIO->fd);
    int fd = hMosIO->fd;
    return mosUtils_RunBlocking(mosIO_FsyncCK, &fd) == 0 ? MOS_RC__SUCCESS : MOS_RC__ERROR;
}

Mos_RC mosIO_ExtendAndReserveFile(HMosIO hIO, UINT64 size)
{
    // The file's own length counts too, in case another writer grew it since the open.
    UINT64 current = hIO->fileSizeInBytes;
    struct stat st;
    if (fstat(hIO->fd, &st) == 0 && S_ISREG(st.st_mode) && (UINT64)st.st_size > current)
        current = (UINT64)st.st_size;
    if (current >= size) {
        hIO->fileSizeInBytes = current;
        return MOS_RC__SUCCESS;
    }
    if (size > (UINT64)INT64_MAX) {
        MOS_IO_WARNING("Cannot reserve %lu bytes for FD(%d)", (unsigned long)size, hIO->fd);
        return MOS_RC__IO_HARD_ERROR;
    }
    if (fallocate(hIO->fd, 0, 0, (off_t)size) == 0) {
        hIO->fileSizeInBytes = size;
        return MOS_RC__SUCCESS;
    }
    int err = errno;
    if (err != EOPNOTSUPP && err != ENOSYS) {
        MOS_IO_WARNING("Failed to allocate %lu bytes for FD(%d): errno %d %s", (unsigned long)size, hIO->fd, err,
                       strerror(err));
        return MOS_RC__IO_HARD_ERROR;
    }
    // The file system has no native allocation call: the portable one writes the blocks.
    err = posix_fallocate(hIO->fd, 0, (off_t)size);
    if (err != 0) {
        MOS_IO_WARNING("Failed to allocate %lu bytes for FD(%d): errno %d %s", (unsigned long)size, hIO->fd, err,
                       strerror(err));
        return MOS_RC__ERROR;
    }
    hIO->fileSizeInBytes = size;
    return MOS_RC__SUCCESS;
}

Mos_RC mosIO_GetSectorSizeInBytes(HMosIO hMosIO, UINT32 *pSectorSize)
{
    int sectorSize = 0;
    if (ioctl(hMosIO->fd, BLKSSZGET, &sectorSize) != 0) {
        int err = errno;
        MOS_ERROR(MOS_COMP_IO, "Failed to send ioctl BLKSSZGET. errno %d : %s", err, strerror(err));
        return MOS_RC__ERROR;
    }
    *pSectorSize = (UINT32)sectorSize;
    return MOS_RC__SUCCESS;
}

BOOL mosIO_IsFile(const char *name, UINT64 *pSize)
{
    struct stat st;
    if (stat(name, &st) != 0 || !S_ISREG(st.st_mode))
        return FALSE;
    if (pSize != nullptr)
        *pSize = (UINT64)st.st_size;
    return TRUE;
}
