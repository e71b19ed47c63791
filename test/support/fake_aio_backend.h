// A stand-in for the kernel's asynchronous I/O, for tests of the asynchronous I/O engine. It
// takes submitted control blocks and holds them until the test completes them (in any order,
// with any result), or completes them at once; it can refuse submissions for lack of resources
// or take only part of a batch. Completed transfers can be applied to an in-memory disk.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "mos/usr/mos_async_io.h"

class FakeAioBackend {
  public:
    // A submitted transfer as it was when taken (control blocks are reused by their owners).
    struct Seen {
        struct iocb *pIocb;
        bool bWrite;
        UINT64 offset;
        UINT64 size;
    };
    static constexpr long kFull = -1000000; // complete with the full byte count

    FakeAioBackend();
    const MosAsyncIO_Backend *ops() const { return &ops_; }

    // Behaviour.
    void setAutoComplete(bool bAuto);                                   // default: hold
    void setResultFunc(std::function<long(const Seen &, size_t index)> f); // auto mode; index counts taken blocks
    void refuseSubmits(int calls);                                       // next calls answer -EAGAIN
    void acceptAtMost(long n);                                           // per call; negative: no limit
    void setDisk(size_t bytes, UINT8 fill);                              // completions read and write it
    // Completions read and write the control block's own file descriptor (no in-memory disk):
    // a seam in front of a real file that sees every transfer.
    void setPassThrough(bool bOn);

    // Held transfers.
    bool waitHeld(size_t n, std::chrono::seconds limit = std::chrono::seconds(60));
    size_t heldCount();
    std::vector<Seen> held();
    // Completes one held transfer (res: bytes, or a negated error number).
    void complete(struct iocb *pIocb, long res = kFull);
    void completeOldest(long res = kFull);
    void completeAll();

    // What happened.
    std::vector<Seen> taken();          // every block taken, in order
    std::vector<long> submitCallSizes(); // nr of every submit call, refused ones too
    std::vector<UINT8> disk();
    bool waitTaken(size_t n, std::chrono::seconds limit = std::chrono::seconds(60));

  private:
    static int setup(void *pArg, UINT32 maxReq, io_context_t *pCtx);
    static int destroy(void *pArg, io_context_t ctx);
    static int submit(void *pArg, io_context_t ctx, long nr, struct iocb **ppIocbs);
    static int getEvents(void *pArg, io_context_t ctx, long minNr, long nr, struct io_event *pEvents,
                         struct timespec *pTimeout);
    static void wake(void *pArg, io_context_t ctx);
    void completeLocked(const Seen &seen, long res);

    MosAsyncIO_Backend ops_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool bAuto_ = false;
    bool bPassThrough_ = false;
    std::function<long(const Seen &, size_t)> resultFunc_;
    int refuse_ = 0;
    long acceptLimit_ = -1;
    std::vector<UINT8> disk_;
    std::vector<Seen> held_;
    std::vector<Seen> taken_;
    std::vector<long> callSizes_;
    std::deque<struct io_event> events_;
    unsigned wakeGen_ = 0;
    int ctxCount_ = 0;
};
