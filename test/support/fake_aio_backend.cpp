#include "test/support/fake_aio_backend.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <unistd.h>

FakeAioBackend::FakeAioBackend()
{
    ops_.pSetup = setup;
    ops_.pDestroy = destroy;
    ops_.pSubmit = submit;
    ops_.pGetEvents = getEvents;
    ops_.pWake = wake;
    ops_.pArg = this;
}

void FakeAioBackend::setAutoComplete(bool bAuto)
{
    std::lock_guard<std::mutex> g(mutex_);
    bAuto_ = bAuto;
}

void FakeAioBackend::setResultFunc(std::function<long(const Seen &, size_t)> f)
{
    std::lock_guard<std::mutex> g(mutex_);
    resultFunc_ = std::move(f);
}

void FakeAioBackend::refuseSubmits(int calls)
{
    std::lock_guard<std::mutex> g(mutex_);
    refuse_ = calls;
}

void FakeAioBackend::acceptAtMost(long n)
{
    std::lock_guard<std::mutex> g(mutex_);
    acceptLimit_ = n;
}

void FakeAioBackend::setPassThrough(bool bOn)
{
    std::lock_guard<std::mutex> g(mutex_);
    bPassThrough_ = bOn;
}

void FakeAioBackend::setDisk(size_t bytes, UINT8 fill)
{
    std::lock_guard<std::mutex> g(mutex_);
    disk_.assign(bytes, fill);
}

int FakeAioBackend::setup(void *pArg, UINT32 maxReq, io_context_t *pCtx)
{
    FakeAioBackend *self = static_cast<FakeAioBackend *>(pArg);
    std::lock_guard<std::mutex> g(self->mutex_);
    if (maxReq == 0)
        return -EINVAL;
    self->ctxCount_++;
    *pCtx = reinterpret_cast<io_context_t>(static_cast<uintptr_t>(self->ctxCount_));
    return 0;
}

int FakeAioBackend::destroy(void *pArg, io_context_t ctx)
{
    (void)pArg;
    (void)ctx;
    return 0;
}

void FakeAioBackend::completeLocked(const Seen &seen, long res)
{
    if (res == kFull)
        res = (long)seen.size;
    if (res > 0 && bPassThrough_) {
        UINT8 *pBuf = static_cast<UINT8 *>(seen.pIocb->u.c.buf);
        ssize_t n = seen.bWrite ? pwrite(seen.pIocb->aio_fildes, pBuf, (size_t)res, (off_t)seen.offset)
                                : pread(seen.pIocb->aio_fildes, pBuf, (size_t)res, (off_t)seen.offset);
        res = n < 0 ? -(long)errno : (long)n;
    } else if (res > 0 && !disk_.empty()) {
        size_t n = std::min<size_t>((size_t)res, disk_.size() > seen.offset ? disk_.size() - seen.offset : 0);
        UINT8 *pBuf = static_cast<UINT8 *>(seen.pIocb->u.c.buf);
        if (seen.bWrite)
            memcpy(disk_.data() + seen.offset, pBuf, n);
        else
            memcpy(pBuf, disk_.data() + seen.offset, n);
    }
    struct io_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.data = seen.pIocb->data;
    ev.obj = seen.pIocb;
    ev.res = (unsigned long)res;
    events_.push_back(ev);
}

int FakeAioBackend::submit(void *pArg, io_context_t ctx, long nr, struct iocb **ppIocbs)
{
    (void)ctx;
    FakeAioBackend *self = static_cast<FakeAioBackend *>(pArg);
    std::lock_guard<std::mutex> g(self->mutex_);
    self->callSizes_.push_back(nr);
    if (self->refuse_ > 0) {
        self->refuse_--;
        return -EAGAIN;
    }
    long n = nr;
    if (self->acceptLimit_ >= 0 && n > self->acceptLimit_)
        n = self->acceptLimit_;
    if (n == 0)
        return -EAGAIN;
    for (long i = 0; i < n; i++) {
        struct iocb *p = ppIocbs[i];
        Seen seen{p, p->aio_lio_opcode == IO_CMD_PWRITE, (UINT64)p->u.c.offset, (UINT64)p->u.c.nbytes};
        size_t index = self->taken_.size();
        self->taken_.push_back(seen);
        if (self->bAuto_)
            self->completeLocked(seen, self->resultFunc_ ? self->resultFunc_(seen, index) : kFull);
        else
            self->held_.push_back(seen);
    }
    self->cv_.notify_all();
    return (int)n;
}

int FakeAioBackend::getEvents(void *pArg, io_context_t ctx, long minNr, long nr, struct io_event *pEvents,
                              struct timespec *pTimeout)
{
    (void)ctx;
    (void)minNr;
    FakeAioBackend *self = static_cast<FakeAioBackend *>(pArg);
    std::unique_lock<std::mutex> lk(self->mutex_);
    unsigned gen = self->wakeGen_;
    auto limit = std::chrono::seconds(pTimeout->tv_sec) + std::chrono::nanoseconds(pTimeout->tv_nsec);
    self->cv_.wait_for(lk, limit, [&] { return !self->events_.empty() || self->wakeGen_ != gen; });
    int got = 0;
    while (got < nr && !self->events_.empty()) {
        pEvents[got++] = self->events_.front();
        self->events_.pop_front();
    }
    return got;
}

void FakeAioBackend::wake(void *pArg, io_context_t ctx)
{
    (void)ctx;
    FakeAioBackend *self = static_cast<FakeAioBackend *>(pArg);
    std::lock_guard<std::mutex> g(self->mutex_);
    self->wakeGen_++;
    self->cv_.notify_all();
}

bool FakeAioBackend::waitHeld(size_t n, std::chrono::seconds limit)
{
    std::unique_lock<std::mutex> lk(mutex_);
    return cv_.wait_for(lk, limit, [&] { return held_.size() >= n; });
}

bool FakeAioBackend::waitTaken(size_t n, std::chrono::seconds limit)
{
    std::unique_lock<std::mutex> lk(mutex_);
    return cv_.wait_for(lk, limit, [&] { return taken_.size() >= n; });
}

size_t FakeAioBackend::heldCount()
{
    std::lock_guard<std::mutex> g(mutex_);
    return held_.size();
}

std::vector<FakeAioBackend::Seen> FakeAioBackend::held()
{
    std::lock_guard<std::mutex> g(mutex_);
    return held_;
}

void FakeAioBackend::complete(struct iocb *pIocb, long res)
{
    std::lock_guard<std::mutex> g(mutex_);
    auto it = std::find_if(held_.begin(), held_.end(), [&](const Seen &s) { return s.pIocb == pIocb; });
    if (it == held_.end())
        throw std::logic_error("completing a transfer that is not held");
    Seen seen = *it;
    held_.erase(it);
    completeLocked(seen, res);
    cv_.notify_all();
}

void FakeAioBackend::completeOldest(long res)
{
    std::lock_guard<std::mutex> g(mutex_);
    if (held_.empty())
        throw std::logic_error("nothing is held");
    Seen seen = held_.front();
    held_.erase(held_.begin());
    completeLocked(seen, res);
    cv_.notify_all();
}

void FakeAioBackend::completeAll()
{
    std::lock_guard<std::mutex> g(mutex_);
    for (const Seen &seen : held_)
        completeLocked(seen, kFull);
    held_.clear();
    cv_.notify_all();
}

std::vector<FakeAioBackend::Seen> FakeAioBackend::taken()
{
    std::lock_guard<std::mutex> g(mutex_);
    return taken_;
}

std::vector<long> FakeAioBackend::submitCallSizes()
{
    std::lock_guard<std::mutex> g(mutex_);
    return callSizes_;
}

std::vector<UINT8> FakeAioBackend::disk()
{
    std::lock_guard<std::mutex> g(mutex_);
    return disk_;
}
