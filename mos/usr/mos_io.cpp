#include "mos/usr/mos_io.h"

#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"

namespace {
struct MosIOLayer {
    void *pZeroBuf;
};
MosIOLayer ioLayer_G;
} // namespace

Mos_RC mosIOLayer_Init(void *pArg)
{
    MOS_UNUSED(pArg);
    MOS_ASSERT_WITH_DESC(ioLayer_G.pZeroBuf == nullptr, "file I/O layer started twice");
    Mos_RC rc = mosIOLayerOS_Init();
    if (rc != MOS_RC__SUCCESS)
        return rc;
    ioLayer_G.pZeroBuf = mos_AllocPageAligned(MOS_IO__ZERO_BUF_SIZE);
    if (ioLayer_G.pZeroBuf == nullptr)
        return MOS_RC__NO_RESOURCES;
    memset(ioLayer_G.pZeroBuf, 0, MOS_IO__ZERO_BUF_SIZE);
    return MOS_RC__SUCCESS;
}

void mosIOLayer_Destroy(void)
{
    MOS_ASSERT(ioLayer_G.pZeroBuf != ((void *)0));
    mos_FreePageAligned(ioLayer_G.pZeroBuf);
    ioLayer_G.pZeroBuf = nullptr;
}

const void *mosIOLayer_ZeroBufDetails(UINT32 *pBufSize)
{
    if (pBufSize != nullptr)
        *pBufSize = MOS_IO__ZERO_BUF_SIZE;
    return ioLayer_G.pZeroBuf;
}

Mos_RC mosIO_writeZero(HMosIO hMosIO, UINT64 buffSize, UINT64 offset)
{
    MOS_ASSERT_WITH_DESC(ioLayer_G.pZeroBuf != nullptr, "file I/O layer not started");
    while (buffSize > 0) {
        UINT64 piece = buffSize < MOS_IO__ZERO_BUF_SIZE ? buffSize : MOS_IO__ZERO_BUF_SIZE;
        Mos_RC rc = mosIO_write(hMosIO, ioLayer_G.pZeroBuf, piece, offset);
        if (rc != MOS_RC__SUCCESS)
            return rc;
        buffSize -= piece;
        offset += piece;
    }
    return MOS_RC__SUCCESS;
}

UINT64 mosIO_GetSize(HMosIO hMosIO)
{
    return hMosIO->fileSizeInBytes;
}

UINT64 mosIO_GetSizeLb(HMosIO hMosIO)
{
    return hMosIO->fileSizeInBytes / MOS_LB_SIZE;
}

BOOL mos_IsWindowsPhysicalDrive(const char *pPath)
{
    MOS_UNUSED(pPath);
    return FALSE;
}

BOOL mos_IsWindowsDriveLetter(const char *pPath)
{
    MOS_UNUSED(pPath);
    return FALSE;
}

BOOL mos_IsWindowsVolume(const char *pPath)
{
    MOS_UNUSED(pPath);
    return FALSE;
}
