#include "mos/usr/linux/mos_async_io.h"

// The kernel's interface: libaio's calls as they are.
namespace {

int mosAsyncIOKrn_Setup(void *pArg, UINT32 maxReq, io_context_t *pCtx)
{
    MOS_UNUSED(pArg);
    *pCtx = nullptr;
    return io_setup((int)maxReq, pCtx);
}

int mosAsyncIOKrn_Destroy(void *pArg, io_context_t ctx)
{
    MOS_UNUSED(pArg);
    return io_destroy(ctx);
}

int mosAsyncIOKrn_Submit(void *pArg, io_context_t ctx, long nr, struct iocb **ppIocbs)
{
    MOS_UNUSED(pArg);
    return io_submit(ctx, nr, ppIocbs);
}

int mosAsyncIOKrn_GetEvents(void *pArg, io_context_t ctx, long minNr, long nr, struct io_event *pEvents,
                            struct timespec *pTimeout)
{
    MOS_UNUSED(pArg);
    return io_getevents(ctx, minNr, nr, pEvents, pTimeout);
}

const MosAsyncIO_Backend mosAsyncIOKrn_Backend_G = {
    mosAsyncIOKrn_Setup, mosAsyncIOKrn_Destroy, mosAsyncIOKrn_Submit, mosAsyncIOKrn_GetEvents, nullptr, nullptr,
};

} // namespace

const MosAsyncIO_Backend *mosAsyncIO_GetKernelBackend(void)
{
    return &mosAsyncIOKrn_Backend_G;
}
