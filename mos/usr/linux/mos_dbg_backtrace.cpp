// Back traces by frame pointers (everything builds with -fno-omit-frame-pointer), of the calling
// thread and, through the process-trace facility in a forked child, of every other runtime
// thread: the panicking process itself is never stopped by the tracer.
#include <execinfo.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mos/mos_dbg.h"
#include "mos/mos_osthrd.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"

namespace {

// Longest piece of the child's output copied to the exception file at once.
constexpr size_t kPipePiece = 79;

void mosDbg_WriteAll(int fd, const char *pBuf, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, pBuf, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        pBuf += n;
        len -= (size_t)n;
    }
}

// Reads one word of a stopped thread.
bool mosDbg_PeekWord(pid_t tid, UINT64 addr, UINT64 *pOut)
{
    errno = 0;
    long word = ptrace(PTRACE_PEEKDATA, tid, (void *)addr, nullptr);
    if (errno != 0)
        return false;
    *pOut = (UINT64)word;
    return true;
}

// In the child: one thread's title and frames into the pipe.
void mosDbg_ChildTraceThread(pid_t tid, int fd)
{
    if (ptrace(PTRACE_ATTACH, tid, nullptr, nullptr) != 0)
        return;
    int status = 0;
    if (waitpid(tid, &status, __WALL) != tid) {
        ptrace(PTRACE_DETACH, tid, nullptr, nullptr);
        return;
    }
    user_regs_struct regs;
    memset(&regs, 0, sizeof(regs));
    if (ptrace(PTRACE_GETREGS, tid, nullptr, &regs) == 0) {
        char title[128];
        int len = snprintf(title, sizeof(title), "----------========== Backtrace of thread %lu ==========----------\n",
                           (unsigned long)tid);
        mosDbg_WriteAll(fd, title, (size_t)len);
        void *addrs[MOS_DBG__MAX_BACKTRACE_DEPTH];
        UINT32 depth = 0;
        addrs[depth++] = (void *)regs.rip;
        UINT64 bp = regs.rbp;
        while (bp != 0 && depth < MOS_DBG__MAX_BACKTRACE_DEPTH) {
            UINT64 ret = 0;
            UINT64 next = 0;
            if (!mosDbg_PeekWord(tid, bp + 8, &ret) || !mosDbg_PeekWord(tid, bp, &next) || ret == 0)
                break;
            addrs[depth++] = (void *)ret;
            // Frames lie further up the stack; anything else is not a frame chain.
            if (next <= bp)
                break;
            bp = next;
        }
        // Writes straight to the descriptor: no allocation in a child of a multi-threaded process.
        backtrace_symbols_fd(addrs, (int)depth, fd);
    }
    ptrace(PTRACE_DETACH, tid, nullptr, nullptr);
}

} // namespace

void mosDbg_BackTraceByEbpToStrArr(void *startBp, char ***ppSymbols, UINT32 *pDepth)
{
    void *addrs[MOS_DBG__MAX_BACKTRACE_DEPTH];
    UINT32 maxDepth = MOS_MIN(*pDepth, MOS_DBG__MAX_BACKTRACE_DEPTH);
    UINT32 depth = 0;
    void **pFrame = static_cast<void **>(startBp);
    while (pFrame != nullptr && depth < maxDepth) {
        void *pRet = nullptr;
        void *pNext = nullptr;
        if (mos_TryReadPtr(pFrame + 1, &pRet) != MOS_RC__SUCCESS || mos_TryReadPtr(pFrame, &pNext) != MOS_RC__SUCCESS ||
            pRet == nullptr)
            break;
        addrs[depth++] = pRet;
        if (pNext <= (void *)pFrame)
            break;
        pFrame = static_cast<void **>(pNext);
    }
    *ppSymbols = depth != 0 ? backtrace_symbols(addrs, (int)depth) : nullptr;
    *pDepth = *ppSymbols != nullptr ? depth : 0;
}

void mosDbg_BackTraceByEbp(const char *pTitleStr, void *startBp)
{
    mosDbg_ExpWrite(FALSE, "----------========== %s ==========----------\n", pTitleStr);
    char **ppSymbols = nullptr;
    UINT32 depth = MOS_DBG__MAX_BACKTRACE_DEPTH;
    mosDbg_BackTraceByEbpToStrArr(startBp, &ppSymbols, &depth);
    for (UINT32 i = 0; i < depth; i++)
        mosDbg_ExpWrite(FALSE, "%s\n", ppSymbols[i]);
    free(ppSymbols);
}

void mosDbg_BackTrace(BOOL bStderr)
{
    char **ppSymbols = nullptr;
    UINT32 depth = MOS_DBG__MAX_BACKTRACE_DEPTH;
    mosDbg_BackTraceByEbpToStrArr(__builtin_frame_address(0), &ppSymbols, &depth);
    for (UINT32 i = 0; i < depth; i++) {
        if (bStderr) {
            fprintf(stderr, "%s\n", ppSymbols[i]);
        } else {
            mosDbg_ExpWrite(FALSE, "%s\n", ppSymbols[i]);
            mosTrace_Do(MOS_COMP_MOS, MOS_FREQ_LOW, "%s\n", ppSymbols[i]);
        }
    }
    if (bStderr)
        fflush(stderr);
    free(ppSymbols);
}

void mosDbg_PrintStackToTraces(void)
{
    char **ppSymbols = nullptr;
    UINT32 depth = MOS_DBG__MAX_BACKTRACE_DEPTH;
    mosDbg_BackTraceByEbpToStrArr(__builtin_frame_address(0), &ppSymbols, &depth);
    for (UINT32 i = 0; i < depth; i++)
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "%s", ppSymbols[i]);
    free(ppSymbols);
}

void mosDbg_BackTraceAllOsThreads(void)
{
    int fds[2];
    if (pipe(fds) != 0) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Unable to open pipe for backtrace collection.");
        return;
    }
    UINT32 *pIds = nullptr;
    UINT32 numIds = 0;
    if (mosOsThrdLayer_GetActiveThrdIDs(&pIds, &numIds) != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Unable to obtain running threads IDs.");
        close(fds[0]);
        close(fds[1]);
        return;
    }
    UINT32 me = mosOsThrd_GetCurThrdID();
    // Where the kernel restricts tracing to descendants, the child still needs leave to trace us.
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
    fflush(stdout);
    fflush(stderr);
    pid_t child = fork();
    if (child < 0) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Error forking.");
        free(pIds);
        close(fds[0]);
        close(fds[1]);
        return;
    }
    if (child == 0) {
        close(fds[0]);
        for (UINT32 i = 0; i < numIds; i++)
            if (pIds[i] != me)
                mosDbg_ChildTraceThread((pid_t)pIds[i], fds[1]);
        close(fds[1]);
        _exit(0);
    }
    free(pIds);
    close(fds[1]);
    char piece[kPipePiece + 1];
    for (;;) {
        ssize_t n = read(fds[0], piece, kPipePiece);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        piece[n] = '\0';
        mosDbg_ExpWrite(FALSE, "%s", piece);
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
}
