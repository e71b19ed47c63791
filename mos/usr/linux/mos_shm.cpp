#include "mos/usr/linux/mos_shm.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"

namespace {

void shmClearRecord(MosShm *pShm)
{
    pShm->pName = nullptr;
    pShm->shmFD = -1;
    pShm->pMem = nullptr;
    pShm->memSize = 0;
}

// Opens the segment and tells whether this call brought it into existence, so that a later
// failure removes only what it created.
int shmOpen(const char *pName, BOOL bCreate, BOOL bExclusive, bool *pbCreated)
{
    *pbCreated = false;
    if (!bCreate)
        return shm_open(pName, O_RDWR, 0600);
    for (;;) {
        int fd = shm_open(pName, O_RDWR | O_CREAT | O_EXCL, 0600);
        if (fd >= 0) {
            *pbCreated = true;
            return fd;
        }
        if (errno != EEXIST || bExclusive)
            return -1;
        fd = shm_open(pName, O_RDWR, 0600);
        if (fd >= 0 || errno != ENOENT)
            return fd;
        // Removed between the two calls: try to create it again.
    }
}

void shmFailAfterOpen(MosShm *pShm, bool bCreated)
{
    close(pShm->shmFD);
    if (bCreated)
        shm_unlink(pShm->pName);
    shmClearRecord(pShm);
}

} // namespace

Mos_RC mosShmLayer_Create(void *pArg)
{
    MOS_UNUSED(pArg);
    return MOS_RC__SUCCESS;
}

void mosShmLayer_Destroy(void) {}

Mos_RC mosShmUmt_Create(MosShm *pShm, const char *pName, UINT64 memSize, BOOL bCreate, BOOL bExclusive)
{
    MOS_ASSERT(pName != nullptr);
    if (bCreate)
        MOS_ASSERT(memSize != 0);

    bool bCreated = false;
    const int fd = shmOpen(pName, bCreate, bExclusive, &bCreated);
    if (fd < 0) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "shm_open failed, name %s, errno %u, size %lu", pName, (unsigned)errno,
                  (unsigned long)memSize);
        shmClearRecord(pShm);
        return MOS_RC__ERROR;
    }
    pShm->pName = pName;
    pShm->shmFD = fd;
    pShm->pMem = nullptr;

    UINT64 curSize = 0;
    if (!bCreated) {
        struct stat st;
        if (fstat(fd, &st) != 0) {
            MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "fstat failed, name %s, errno %u", pName, (unsigned)errno);
            shmFailAfterOpen(pShm, bCreated);
            return MOS_RC__ERROR;
        }
        curSize = static_cast<UINT64>(st.st_size);
    }
    if (memSize == 0) {
        memSize = curSize;
        // Left empty by a creator that died before sizing it: there is nothing to map.
        if (memSize == 0) {
            MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "shm segment %s is empty", pName);
            shmFailAfterOpen(pShm, bCreated);
            return MOS_RC__ERROR;
        }
    }
    pShm->memSize = memSize;

    // A persisted segment keeps its contents: it is only ever extended, never cut. Another process
    // may size and map the segment between the size read above and this step, so the size must
    // not be set outright: allocating its last byte extends the segment when it is shorter and
    // leaves it alone otherwise, in one step of the kernel, and keeps the rest of it sparse.
    if (memSize > curSize) {
        int err = 0;
        if (memSize > static_cast<UINT64>(INT64_MAX))
            err = EFBIG;
        else if (fallocate(fd, 0, static_cast<off_t>(memSize - 1), 1) != 0)
            err = errno;
        if (err != 0) {
            // The sizing step keeps the line that operators know for it.
            MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "ftruncate failed, errno %u, size %lu", (unsigned)err,
                      (unsigned long)memSize);
            shmFailAfterOpen(pShm, bCreated);
            return MOS_RC__ERROR;
        }
    }
    // Something outside this module may still have cut it: a mapping of the asked size would
    // fault past the end, so such a segment is refused rather than handed out.
    struct stat st;
    if (fstat(fd, &st) != 0 || static_cast<UINT64>(st.st_size) < memSize) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "shm segment %s is smaller than %lu bytes", pName,
                  (unsigned long)memSize);
        shmFailAfterOpen(pShm, bCreated);
        return MOS_RC__ERROR;
    }
    return MOS_RC__SUCCESS;
}

Mos_RC mosShm_Map(MosShm *pShm, BOOL bLock)
{
    MOS_ASSERT(pShm->pMem == nullptr);
    MOS_ASSERT(pShm->memSize != 0);
    MOS_ASSERT(pShm->shmFD != -1);
    void *pMem = mmap(nullptr, pShm->memSize, PROT_READ | PROT_WRITE, MAP_SHARED | (bLock ? MAP_LOCKED : 0),
                      pShm->shmFD, 0);
    if (pMem == MAP_FAILED) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "mmap failed, name %s, errno %u, size %lu", pShm->pName, (unsigned)errno,
                  (unsigned long)pShm->memSize);
        return MOS_RC__ERROR;
    }
    pShm->pMem = pMem;
    return MOS_RC__SUCCESS;
}

void mosShm_Unmap(MosShm *pShm)
{
    MOS_ASSERT(pShm->pMem != nullptr);
    MOS_ASSERT(pShm->memSize != 0);
    const int ret = munmap(pShm->pMem, pShm->memSize);
    MOS_ASSERT(ret == 0);
    pShm->pMem = nullptr;
    pShm->memSize = 0;
}

void mosShm_Close(MosShm *pShm)
{
    if (pShm->pMem != nullptr)
        mosShm_Unmap(pShm);
    MOS_ASSERT(pShm->shmFD != -1);
    const int ret = close(pShm->shmFD);
    MOS_ASSERT(ret == 0);
    pShm->shmFD = -1;
}

void mosShmUmt_Destroy(MosShm *pShm)
{
    if (pShm->shmFD != -1) {
        MOS_ASSERT(pShm->shmFD != 0);
        close(pShm->shmFD);
    }
    if (pShm->pMem != nullptr)
        mosShm_Unmap(pShm);
    if (pShm->pName != nullptr && shm_unlink(pShm->pName) != 0 && errno != ENOENT)
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "shm_unlink failed, name %s, errno %u", pShm->pName, (unsigned)errno);
    shmClearRecord(pShm);
}
