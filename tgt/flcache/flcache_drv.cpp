#include "tgt/flcache/flcache_drv.h"

#include "mos/mos_utils_blkdev.h"

namespace {
int kernelOpen(void *pCtx, const CHAR_A *pPath)
{
    (void)pCtx;
    return mos_DevOpen(pPath);
}

Mos_RC kernelIoctl(void *pCtx, int hDev, unsigned long request, void *pArg)
{
    (void)pCtx;
    return mos_DevSendIoctl(hDev, request, pArg, sizeof(FlcacheDrvCmdHeader));
}

void kernelClose(void *pCtx, int hDev)
{
    (void)pCtx;
    mos_DevClose(hDev);
}

constexpr FlcacheDrvPort kKernelPort = {kernelOpen, kernelIoctl, kernelClose, nullptr};
} // namespace

const FlcacheDrvPort *flcacheDrv_KernelPort(void)
{
    return &kKernelPort;
}
