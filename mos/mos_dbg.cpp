#include "mos/mos_dbg_intrn.h"

#include <semaphore.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "mos/mos_osthrd.h"
#include "mos/mos_service.h"
#include "mos/mos_time.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_text.h"
#include "mos/mos_utils_file.h"
#include "mos/mos_trace_layer.h"

MosDbgLayer mosDbgLayer_G;

namespace {

MosDbg_UmtBackTraceHook umtBackTraceHook_G;
MosDbg_EventlogDumpHook eventlogDumpHook_G;
// Set when the first panicking thread has written its whole report.
BOOL bReportDone_G;
// The alternate signal stack that mosDbg_PrepareForExceptions installed, and the thread it is
// installed on: only that thread can take it down again.
void *pAltStack_G;
pthread_t altStackOwner_G;

// A thread that panics while another one reports waits this long at most for the report; a
// report that makes no progress (it may need a lock that the waiting thread holds) must not keep
// the process alive for good.
constexpr UINT32 kReportWaitLimitMillis = 30000;

// SIGTERM and SIGUSR2 arrive asynchronously, at any point of any thread: their handler only
// records the signal and wakes this thread, which runs the stop callback and the flushing (both
// take locks) outside signal context.
struct MosDbgTermination {
    MosOsThrd thrd;
    sem_t sem;
    volatile sig_atomic_t bRunning;
    volatile sig_atomic_t bDie;
    volatile sig_atomic_t pendingSig;
    siginfo_t info;
};
MosDbgTermination termination_G;

[[noreturn]] void mosDbg_Exit(int status)
{
    fflush(stdout);
    fflush(stderr);
    _exit(status);
}

void mosDbg_ReportDone(void)
{
    __atomic_store_n(&bReportDone_G, TRUE, __ATOMIC_RELEASE);
}

// A second panicking thread: wait for the first one's report. The first thread then ends the
// process itself with its own status; this one only ends it if that does not happen.
[[noreturn]] void mosDbg_WaitForFirstReport(void)
{
    UINT32 waited = 0;
    while (!__atomic_load_n(&bReportDone_G, __ATOMIC_ACQUIRE) && waited < kReportWaitLimitMillis) {
        mos_NanoSleep(1000000);
        waited++;
    }
    mos_NanoSleep((UINT64)mosDbgLayer_G.doubleExpWaitMillis * 1000000);
    mosDbg_Exit(MOS_DBG__PANIC_EXIT_CODE);
}

// First step of every panic, planned crash and fatal signal: exactly one thread reports.
void mosDbg_PanicGate(void)
{
    // The report writes files: a thread that owns the rotating files' machinery would deadlock
    // on it, so all file output stops and the report goes to standard output instead.
    if (mosCyclicFileLayer_ThrdBelongs())
        mosCyclicFile_BlockAllIO();
    UINT32 me = mosOsThrd_GetCurThrdID();
    UINT32 prev = __atomic_fetch_add(&mosDbgLayer_G.panicNum, 1, __ATOMIC_SEQ_CST);
    if (prev != 0) {
        // The reporting thread failed again inside its own report.
        if (__atomic_load_n(&mosDbgLayer_G.panicThrd, __ATOMIC_ACQUIRE) == me)
            mosDbg_Exit(MOS_DBG__PANIC_EXIT_CODE);
        mosDbg_WaitForFirstReport();
    }
    __atomic_store_n(&mosDbgLayer_G.panicThrd, me, __ATOMIC_RELEASE);
}

BOOL mosDbg_ExpFileUsable(void)
{
    return mosDbgLayer_G.bInit && !mosCyclicFile_IsIOBlocked();
}

BOOL mosDbg_ShouldDump(void)
{
    if (!mosDbgLayer_G.bDump)
        return FALSE;
    if (mosDbgLayer_G.coreMinDiskSpaceBytes == 0)
        return TRUE;
    char dir[4096];
    if (mosDbg_GetCoreDumpDirectory(dir, sizeof(dir)) != MOS_RC__SUCCESS) {
        mosDbg_ExpWrite(TRUE, "Failed to get current directory for core dump\n");
        return FALSE;
    }
    UINT64 available = 0;
    if (mos_GetAvailableDiskSpace(dir, &available) != MOS_RC__SUCCESS) {
        mosDbg_ExpWrite(TRUE, "Failed to get available disk space for core dump\n");
        return FALSE;
    }
    UINT64 estimated = 0;
    if (mos_GetEstimatedCoreSize(&estimated) != MOS_RC__SUCCESS) {
        mosDbg_ExpWrite(TRUE, "Failed to get estimated size of the core dump\n");
        return FALSE;
    }
    if (available < estimated + mosDbgLayer_G.coreMinDiskSpaceBytes) {
        mosDbg_ExpWrite(TRUE,
                        "Insufficient disk space for a core dump (Estimated size: %luMB, Available: %luMB, Minimum "
                        "Space: %luMB)\n",
                        (unsigned long)(estimated >> 20), (unsigned long)(available >> 20),
                        (unsigned long)(mosDbgLayer_G.coreMinDiskSpaceBytes >> 20));
        return FALSE;
    }
    return TRUE;
}

// Lines that reached the trace after the first flush of the report.
void mosDbg_FlushLateLines(void)
{
    if (mosDbgLayer_G.bDumpTraces)
        mosTrace_DumpNow(mosDbgLayer_G.milliToDumpTraces);
}

// The rest of the report after the gate, for a signal; ends the process.
[[noreturn]] void mosDbg_ReportSignal(int sig, const siginfo_t *pInfo)
{
    // The reason goes straight to the trace file: other threads may keep its ring full to the end.
    if (sig == SIGTERM) {
        mosTrace_DoThrough(MOS_COMP_MOS, MOS_FREQ_LOW, "SIGTERM intercepted. PID is %d. issuing stop CK\n",
                           (int)getpid());
        mosService_Stop();
    }
    void *pAddr = pInfo != nullptr ? pInfo->si_addr : nullptr;
    int err = pInfo != nullptr ? pInfo->si_errno : 0;
    mosDbg_ExpWrite(TRUE, "Termination due to signal %d. PID %d Faulting address %p. errno %d\n", sig, (int)getpid(),
                    pAddr, err);
    mosTrace_DoThrough(MOS_COMP_MOS, MOS_FREQ_LOW,
                       "---Termination due to signal %d. PID %d Faulting address %p. errno %d---\n", sig,
                       (int)getpid(), pAddr, err);
    if (mosDbgLayer_G.bBacktrace && sig != SIGTERM && sig != SIGUSR2) {
        mosTrace_Do(MOS_COMP_MOS, MOS_FREQ_LOW, "Writing backtraces for all UMTs:\n");
        mosDbg_TotalBackTrace();
    }
    mosDbg_PurgeQueues();
    BOOL bCore = mosDbg_ShouldDump();
    if (bCore)
        mosTrace_Do(MOS_COMP_MOS, MOS_FREQ_LOW,
                    "Termination due to signal %d. Calling abort(), attempting to write core file.\n", sig);
    mosDbg_FlushLateLines();
    if (bCore) {
        if (sig == SIGILL || sig == SIGBUS || sig == SIGFPE || sig == SIGSEGV)
            mosDbg_Dump();
    }
    mosDbg_ReportDone();
    mosDbg_Exit(MOS_DBG__PANIC_EXIT_CODE);
}

void mosDbg_TerminationThrd(void *pArg)
{
    MOS_UNUSED(pArg);
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    for (;;) {
        if (sem_wait(&termination_G.sem) != 0)
            continue; // interrupted
        if (termination_G.bDie)
            return;
        int sig = termination_G.pendingSig;
        if (sig == 0)
            continue;
        siginfo_t info = termination_G.info;
        mosDbg_PanicGate();
        mosDbg_ReportSignal(sig, &info);
    }
}

void mosDbg_SignalHandler(int sig, siginfo_t *pInfo, void *pContext)
{
    MOS_UNUSED(pContext);
    if (sig == SIGALRM)
        _exit(MOS_DBG__PANIC_EXIT_CODE);
    if ((sig == SIGTERM || sig == SIGUSR2) && termination_G.bRunning) {
        int savedErrno = errno;
        if (__sync_bool_compare_and_swap(&termination_G.pendingSig, 0, sig)) {
            if (pInfo != nullptr)
                termination_G.info = *pInfo;
            __sync_synchronize();
            sem_post(&termination_G.sem);
        }
        errno = savedErrno;
        return;
    }
    mosDbg_PanicGate();
    mosDbg_ReportSignal(sig, pInfo);
}

// The collection of back traces ends the process when it hangs: the alarm must be able to fire
// even inside a signal handler that runs with every signal blocked.
void mosDbg_ArmBacktraceAlarm(void)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_sigaction = mosDbg_SignalHandler;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigfillset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, nullptr);
    sigset_t alrm;
    sigemptyset(&alrm);
    sigaddset(&alrm, SIGALRM);
    pthread_sigmask(SIG_UNBLOCK, &alrm, nullptr);
    alarm(MOS_DBG__BACKTRACE_ALARM_SEC);
}

} // namespace

void mosDbg_ExpWrite(BOOL bWriteTime, const char *pFormat, ...)
{
    va_list ap;
    va_start(ap, pFormat);
    if (mosDbg_ExpFileUsable()) {
        mosCyclicFile_WriteFormattedSync(&mosDbgLayer_G.expFile, TRUE, bWriteTime, FALSE, pFormat, &ap);
    } else {
        vprintf(pFormat, ap);
        fflush(stdout);
    }
    va_end(ap);
}

void mosDbg_PanicPrepare(const char *pFile, const char *pFunc, const char *pExpr, const char *pExtDescription,
                         int lineNum)
{
    mosDbg_PanicGate();
    mosDbg_PurgeQueues();
    mosDbg_ExpWrite(TRUE, "Panic in file %s, line %d, function %s, PID %d.Panic Expression %s %s.\n", pFile, lineNum,
                    pFunc, (int)getpid(), pExpr, pExtDescription);
    mosTrace_DoThrough(MOS_COMP_MOS, MOS_FREQ_LOW,
                       "---Panic in file %s, line %d, function %s, PID %d.Panic Expression %s %s.---\n", pFile,
                       lineNum, pFunc, (int)getpid(), pExpr, pExtDescription);
    mosDbg_BackTrace(mosDbg_ExpFileUsable() ? FALSE : TRUE);
    if (mosDbgLayer_G.bBacktrace)
        mosDbg_TotalBackTrace();
    // The lines above went to the trace after the first flush.
    mosDbg_FlushLateLines();
    if (mosDbg_ShouldDump())
        mosDbg_Dump();
    mosDbg_ReportDone();
}

void mosDbg_PanicDo(void)
{
    mosDbg_Exit(MOS_DBG__PANIC_EXIT_CODE);
}

void mosDbg_PlannedCrashModuleWithDesc(const char *desc)
{
    mosTrace_Do(MOS_COMP_MOS, MOS_FREQ_LOW, "---Planned crash, reason: %s ---\n", desc != nullptr ? desc : "");
    mosDbg_PanicGate();
    mosDbg_PurgeQueues();
    mosDbg_ReportDone();
    mosDbg_Exit(MOS_DBG__PLANNED_CRASH_EXIT_CODE);
}

void mosDbg_CrashModule(const char *pFile, const char *pFunc, UINT32 counter, int lineNum)
{
    mosDbg_ExpWrite(TRUE, "mosDbg_CrashModule called from file %s, line %d,function %s Counter=%u.\n", pFile, lineNum,
                    pFunc, counter);
    mosDbg_PanicGate();
    mosDbg_PurgeQueues();
    mosDbg_ReportDone();
    mosDbg_Exit(MOS_DBG__PLANNED_CRASH_EXIT_CODE);
}

Mos_RC mosDbgLayer_Create(const MosDbg_InitParams *pParams)
{
    memset(&mosDbgLayer_G, 0, sizeof(mosDbgLayer_G));
    mosTime_InitSystemUpTimestamp();
    mosDbgLayer_G.doubleExpWaitMillis = 1000;
    BOOL bWantExpFile = FALSE;
    if (pParams != nullptr) {
        mosDbgLayer_G.doubleExpWaitMillis = pParams->doubleExpWaitSec * 1000;
        mosDbgLayer_G.coreMinDiskSpaceBytes = pParams->coreMinDiskSpaceBytes;
        mosDbgLayer_G.bDump = pParams->bEnableDump ? TRUE : FALSE;
        mosDbgLayer_G.bBacktrace = pParams->bEnableBacktrace ? TRUE : FALSE;
        mosDbgLayer_G.bDumpTraces = pParams->bDumpTraces ? TRUE : FALSE;
        mosDbgLayer_G.milliToDumpTraces = pParams->milliToDumpTraces;
        mosDbgLayer_G.coreType = (MosDbgCore_Type)pParams->coreType;
        mosDbgLayer_G.bPlannedCrashPanic = pParams->bPlannedCrashPanic;
        bWantExpFile = pParams->fileInfo.bUseFile && pParams->fileInfo.pDir != nullptr;
    }
    const char *pLogDir = (pParams != nullptr && pParams->fileInfo.pDir != nullptr) ? pParams->fileInfo.pDir : ".";
    snprintf(mosDbgLayer_G.coreFileName, sizeof(mosDbgLayer_G.coreFileName), "%s/core-%d.dmp", pLogDir,
             (int)getpid());

    // The asynchronous-termination thread must run before the handler can hand a signal to it.
    if (!termination_G.bRunning) {
        sem_init(&termination_G.sem, 0, 0);
        termination_G.bDie = 0;
        termination_G.pendingSig = 0;
        if (mosOsThrd_CreateNamed(&termination_G.thrd, mosDbg_TerminationThrd, nullptr, "sigterm") ==
            MOS_RC__SUCCESS)
            termination_G.bRunning = 1;
    }
    Mos_RC rc = mosDbg_PrepareForExceptions(mosDbgLayer_G.bDump);
    if (bWantExpFile) {
        MosCyclicFile_InitParams expParams = pParams->fileInfo;
        expParams.bAsync = FALSE;
        if (mosCyclicFile_Create(&mosDbgLayer_G.expFile, &expParams) == MOS_RC__SUCCESS)
            mosDbgLayer_G.bInit = TRUE;
    }
    return rc;
}

void mosDbgLayer_Destroy(void)
{
    // Torn down from another thread, the stack stays: its owner may still take a signal on it,
    // and the caller's own stack is not ours to switch off. It stays recorded, so it is neither
    // lost nor installed a second time.
    if (pAltStack_G != nullptr && pthread_equal(altStackOwner_G, pthread_self())) {
        stack_t cur;
        if (sigaltstack(nullptr, &cur) == 0 && cur.ss_sp == pAltStack_G) {
            stack_t st;
            memset(&st, 0, sizeof(st));
            st.ss_flags = SS_DISABLE;
            sigaltstack(&st, nullptr);
        }
        free(pAltStack_G);
        pAltStack_G = nullptr;
    }
    if (termination_G.bRunning) {
        termination_G.bRunning = 0;
        termination_G.bDie = 1;
        sem_post(&termination_G.sem);
        mosOsThrd_Destroy(&termination_G.thrd);
        sem_destroy(&termination_G.sem);
    }
    if (mosDbgLayer_G.bInit) {
        mosDbgLayer_G.bInit = FALSE;
        mosCyclicFile_Destroy(&mosDbgLayer_G.expFile);
    }
}

Mos_RC mosDbg_PrepareForExceptions(BOOL bDump)
{
    sigset_t mask;
    sigfillset(&mask);
    for (int sig : {SIGUSR1, SIGUSR2, SIGQUIT, SIGINT, SIGSEGV, SIGFPE, SIGILL, SIGBUS, SIGTERM, SIGTRAP, SIGALRM})
        sigdelset(&mask, sig);
    if (!bDump)
        sigdelset(&mask, SIGABRT);
    if (pthread_sigmask(SIG_SETMASK, &mask, nullptr) != 0)
        return MOS_RC__ERROR;

    if (pAltStack_G == nullptr) {
        stack_t signalStack;
        memset(&signalStack, 0, sizeof(signalStack));
        signalStack.ss_sp = nullptr;
        if (posix_memalign(&signalStack.ss_sp, (size_t)sysconf(_SC_PAGESIZE), MOS_DBG__ALT_STACK_SIZE) != 0)
            signalStack.ss_sp = nullptr;
        MOS_ASSERT(signalStack.ss_sp != ((void *)0));
        signalStack.ss_size = MOS_DBG__ALT_STACK_SIZE;
        int ret = sigaltstack(&signalStack, nullptr);
        MOS_ASSERT(ret == 0);
        pAltStack_G = signalStack.ss_sp;
        altStackOwner_G = pthread_self();
    }

    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_sigaction = mosDbg_SignalHandler;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigfillset(&sa.sa_mask);
    for (int sig : {SIGQUIT, SIGABRT, SIGINT, SIGSEGV, SIGBUS, SIGTERM, SIGFPE, SIGTRAP, SIGALRM}) {
        // An abort meant to write a core is not caught.
        if (sig == SIGABRT && bDump)
            continue;
        if (sigaction(sig, &sa, nullptr) != 0)
            return MOS_RC__ERROR;
    }
    if (prctl(PR_SET_PDEATHSIG, SIGUSR2) != 0)
        return MOS_RC__ERROR;
    if (sigaction(SIGUSR2, &sa, nullptr) != 0)
        return MOS_RC__ERROR;
    return MOS_RC__SUCCESS;
}

BOOL mosDbg_DumpEnabled(void)
{
    return mosDbgLayer_G.bDump;
}

BOOL mosDbg_BacktraceEnabled(void)
{
    return mosDbgLayer_G.bBacktrace;
}

BOOL mosDbg_IsInit(void)
{
    return mosDbgLayer_G.bInit;
}

MosCyclicFile *mosDbg_GetExpFile(void)
{
    return &mosDbgLayer_G.expFile;
}

const char *mosDbg_DumpFileInfo(MosDbgCore_Type *pCoreType)
{
    if (pCoreType != nullptr)
        *pCoreType = mosDbgLayer_G.coreType;
    return mosDbgLayer_G.coreFileName;
}

Mos_RC mosDbg_GetCoreDumpDirectory(char *coreDirBuf, UINT32 bufSize)
{
    return mos_GetCurrDirectory(coreDirBuf, bufSize);
}

void mosDbg_SetUmtBackTraceHook(MosDbg_UmtBackTraceHook pHook)
{
    umtBackTraceHook_G = pHook;
}

void mosDbg_SetEventlogDumpHook(MosDbg_EventlogDumpHook pHook)
{
    eventlogDumpHook_G = pHook;
}

void mosDbg_TotalBackTrace(void)
{
    mosDbg_ArmBacktraceAlarm();
    mosDbg_ExpWrite(TRUE, "************************** BACKTRACES START *****************************\n");
    if (umtBackTraceHook_G != nullptr)
        umtBackTraceHook_G();
    mosDbg_BackTraceAllOsThreads();
    mosDbg_ExpWrite(TRUE, "************************** BACKTRACES END *******************************\n\n");
    alarm(0);
}

void mosDbg_PurgeQueues(void)
{
    if (mosDbgLayer_G.bDumpTraces)
        mosTrace_DumpNow(mosDbgLayer_G.milliToDumpTraces);
    if (eventlogDumpHook_G != nullptr)
        eventlogDumpHook_G();
}

void mosDbg_SetIgnoredExceptionCode(UINT32 expCode)
{
    MOS_UNUSED(expCode);
}

void mosDbg_Dump(void)
{
    fflush(stdout);
    abort();
}
