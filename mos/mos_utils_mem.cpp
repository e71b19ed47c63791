#include "mos/mos_utils_mem.h"

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
#include "mos/mos_osthrd.h"
#include "mos/mos_trace.h"

void *mos_MemMalloc(size_t size, size_t maxSize, const char *func, BOOL bCanFail)
{
    if (size > maxSize) {
        printf("!!!!!!!!!!!!!! Malloc: %s size %ld!!!!!!!!! SIZE TOO LARGE !!!!!!!!!!\n", func, (long)size);
        MOS_ASSERT(0);
    }
    void *p = malloc(size != 0 ? size : 1);
    if (p == nullptr) {
        MOS_ASSERT(bCanFail);
        return nullptr;
    }
    mosOsThrd_UpdateMallocCount();
    return p;
}

void *mos_MemCalloc(size_t size, size_t maxSize, const char *func, BOOL bCanFail)
{
    if (size > maxSize) {
        printf("!!!!!!!!!!!!!! Calloc: %s size %ld!!!!!!!!! SIZE TOO LARGE !!!!!!!!!!\n", func, (long)size);
        MOS_ASSERT(0);
    }
    void *p = calloc(1, size != 0 ? size : 1);
    if (p == nullptr) {
        MOS_ASSERT(bCanFail);
        return nullptr;
    }
    mosOsThrd_UpdateMallocCount();
    return p;
}

void *mos_MemRealloc(size_t size, size_t maxSize, void *ptr, const char *func, BOOL bCanFail)
{
    MOS_ASSERT(ptr != ((void *)0));
    if (size > maxSize) {
        printf("!!!!!!!!!!!!!! Realloc: %s size %ld!!!!!!!!! SIZE TOO LARGE !!!!!!!!!!\n", func, (long)size);
        MOS_ASSERT(0);
    }
    void *p = realloc(ptr, size != 0 ? size : 1);
    if (p == nullptr) {
        MOS_ASSERT(bCanFail);
        return nullptr;
    }
    return p;
}

void mos_MemFree(void *pMem)
{
    if (pMem == nullptr)
        return;
    mosOsThrd_UpdateFreeCount();
    free(pMem);
}

void *mos_AllocPageAligned(size_t sizeBytes)
{
    void *p = nullptr;
    if (posix_memalign(&p, mos_PageSize(), sizeBytes != 0 ? sizeBytes : 1) != 0)
        return nullptr;
    return p;
}

void *mos_AllocPageAlignedOrPanic(size_t size)
{
    void *p = mos_AllocPageAligned(size);
    MOS_ASSERT(p != ((void *)0));
    return p;
}

void mos_FreePageAligned(void *pMem)
{
    free(pMem);
}

void mos_MemMove(void *pDest, const void *pSrc, size_t num)
{
    // memmove copies forwards when the destination is lower and backwards otherwise.
    if (pDest != pSrc)
        memmove(pDest, pSrc, num);
}

BOOL mos_LockBuf(void *pMem, size_t bufSize)
{
    return mlock(pMem, bufSize) == 0 ? TRUE : FALSE;
}

BOOL mos_UnlockBuf(void *pMem, size_t bufSize)
{
    return munlock(pMem, bufSize) == 0 ? TRUE : FALSE;
}

size_t mos_PageSize(void)
{
    long pageSize = sysconf(_SC_PAGESIZE);
    MOS_ASSERT(pageSize > 0);
    return (size_t)pageSize;
}

static void mos_Protect(void *pMem, size_t regionSize, int prot, BOOL bTrace)
{
    MOS_ASSERT_WITH_DESC(((uintptr_t)pMem % mos_PageSize()) == 0, "address not page-aligned");
    int err = mprotect(pMem, regionSize, prot);
    if (err != 0 && bTrace)
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "mprotect failed: %s", strerror(errno));
    MOS_ASSERT(err == 0);
}

void mos_MarkPageNotAvailable(void *pMem)
{
    mos_Protect(pMem, mos_PageSize(), PROT_NONE, TRUE);
}

void mos_MarkPageAvailable(void *pMem)
{
    mos_Protect(pMem, mos_PageSize(), PROT_READ | PROT_WRITE, TRUE);
}

void mos_MarkRegionReadOnly(void *pMem, size_t regionSize)
{
    mos_Protect(pMem, regionSize, PROT_READ, TRUE);
}

void mos_MarkRegionReadWrite(void *pMem, size_t regionSize)
{
    mos_Protect(pMem, regionSize, PROT_READ | PROT_WRITE, FALSE);
}

void mos_RemoveReadImpliseExec(void)
{
    int persona = personality(0xffffffff);
    if (persona == -1 || personality((unsigned long)persona & ~0x0400000UL) == -1) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to edit the process personality with %s", strerror(errno));
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "DEBUG ASSERT, Reason:%s", "Failed to set personality");
    }
}

void mos_InitMemProperties(void)
{
    mos_RemoveReadImpliseExec();
}

Mos_RC mos_TryReadPtr(const void *p, void **pOut)
{
    const size_t pageSize = mos_PageSize();
    uintptr_t first = (uintptr_t)p & ~(uintptr_t)(pageSize - 1);
    uintptr_t last = ((uintptr_t)p + sizeof(void *) - 1) & ~(uintptr_t)(pageSize - 1);
    for (uintptr_t page = first;; page += pageSize) {
        unsigned char resident = 0;
        if (mincore((void *)page, pageSize, &resident) != 0 || (resident & 1) == 0)
            return MOS_RC__ERROR;
        if (page == last)
            break;
    }
    memcpy(pOut, p, sizeof(void *));
    return MOS_RC__SUCCESS;
}

void mos_CoreDumpExcludeInclude(void *pMemAddr, size_t length, BOOL bExclude)
{
    if (madvise(pMemAddr, length, bExclude ? MADV_DONTDUMP : MADV_DODUMP) != 0)
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "madvise failed: %s", strerror(errno));
}

Mos_RC mos_GetNodeTotalRam(UINT64 *pTotalRam)
{
    MOS_ASSERT(pTotalRam != ((void *)0));
    if (numa_available() >= 0) {
        bitmask *pMask = numa_get_membind();
        if (pMask != nullptr) {
            BOOL bBound = numa_bitmask_weight(pMask) != 0 && !numa_bitmask_equal(pMask, numa_all_nodes_ptr);
            if (bBound) {
                UINT64 totalBytes = 0;
                for (int node = 0; node < 128; node++) {
                    if (numa_bitmask_isbitset(pMask, (unsigned)node)) {
                        long long size = numa_node_size(node, nullptr);
                        if (size > 0)
                            totalBytes += (UINT64)size;
                    }
                }
                numa_bitmask_free(pMask);
                *pTotalRam = totalBytes / 1024;
                return MOS_RC__SUCCESS;
            }
            numa_bitmask_free(pMask);
        }
    }
    struct sysinfo info;
    if (sysinfo(&info) != 0) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Failed to get system info. errono %d: %s", errno, strerror(errno));
        return MOS_RC__ERROR;
    }
    *pTotalRam = (UINT64)info.totalram * info.mem_unit / 1024;
    return MOS_RC__SUCCESS;
}
