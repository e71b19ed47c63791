#include "mos/usr/linux/mos_process.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mos/mos_trace.h"

namespace {

std::atomic<UINT32> runTimeLimitMillis_G{MOS_PROCESS__RUN_TIME_LIMIT_SECONDS * 1000u};

// ---- Code that runs in a forked child before exec: async-signal-safe calls only. ----

void childWriteStr(int fd, const char *s)
{
    size_t len = 0;
    while (s[len] != '\0')
        len++;
    while (len > 0) {
        const ssize_t n = write(fd, s, len);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            return;
        }
        s += n;
        len -= static_cast<size_t>(n);
    }
}

void childWriteInt(int fd, int value)
{
    char buf[16];
    char *p = buf + sizeof(buf);
    *--p = '\0';
    unsigned v = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    do {
        *--p = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    if (value < 0)
        *--p = '-';
    childWriteStr(fd, p);
}

[[noreturn]] void childSleepAndExit(UINT64 millis)
{
    struct timespec ts = {static_cast<time_t>(millis / 1000), static_cast<long>((millis % 1000) * 1000000)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
    _exit(0);
}

// outFd < 0 leaves standard output as it is.
[[noreturn]] void childExec(char *const argv[], int outFd)
{
    // Own process group, so that a time-out also reaches what the program started.
    setpgid(0, 0);
    // The caller's thread may block signals and the process ignore SIGPIPE; the program
    // should start with neither.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, nullptr);

    if (outFd >= 0 && dup2(outFd, STDOUT_FILENO) < 0)
        _exit(-1);
    execv(argv[0], argv);
    const int err = errno;
    childWriteStr(STDOUT_FILENO, "filename = ");
    childWriteStr(STDOUT_FILENO, argv[0]);
    childWriteStr(STDOUT_FILENO, "\n");
    childWriteStr(STDOUT_FILENO, "errno = ");
    childWriteInt(STDOUT_FILENO, err);
    childWriteStr(STDOUT_FILENO, "\n\n");
    _exit(-1);
}

// ---- Parent side. ----

// One child of this call; reaped exactly once, by its own process id.
struct Child {
    pid_t pid = -1;
    bool bReaped = false;
    int status = 0;
    bool bGroup = false; // kill its whole process group

    bool alive() const { return pid > 0 && !bReaped; }

    // 1 when reaped now or before, 0 when still running (WNOHANG), -1 when waiting failed.
    int reap(int options)
    {
        if (bReaped)
            return 1;
        if (bGroup) {
            const int ended = awaitEndKillGroup(options);
            if (ended != 1)
                return ended;
        }
        for (;;) {
            const pid_t r = waitpid(pid, &status, options);
            if (r == pid) {
                bReaped = true;
                return 1;
            }
            if (r == 0)
                return 0;
            if (errno == EINTR)
                continue;
            if (errno == ECHILD) {
                // Not ours any more (someone reaped it): treat it as gone.
                bReaped = true;
                status = -1;
                return 1;
            }
            return -1;
        }
    }

    // What the program left running (still writing into its output) ends with it, however the
    // program itself ended. The group is killed while its leader is not yet reaped: until then
    // the id cannot pass to another process and its group. 1 once ended, as reap().
    int awaitEndKillGroup(int options)
    {
        for (;;) {
            siginfo_t info;
            info.si_pid = 0;
            if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT | (options & WNOHANG)) == 0) {
                if (info.si_pid == 0)
                    return 0;
                kill(-pid, SIGKILL);
                return 1;
            }
            if (errno == EINTR)
                continue;
            // ECHILD: not ours any more; the wait below says so.
            return errno == ECHILD ? 1 : -1;
        }
    }

    void killAndReap()
    {
        if (!alive())
            return;
        if (bGroup)
            kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
        reap(0);
    }
};

int procPidfdOpen(pid_t pid)
{
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    MOS_UNUSED(pid);
    errno = ENOSYS;
    return -1;
#endif
}

// Waits until one of the two children ends and reaps it (`a` when both have); returns it, or
// nullptr when waiting failed. Only these two process ids are ever waited for, so children of
// other threads are never reaped here.
Child *waitFirst(Child &a, Child &b)
{
    int fds[2] = {procPidfdOpen(a.pid), procPidfdOpen(b.pid)};
    Child *pEnded = nullptr;
    if (fds[0] >= 0 && fds[1] >= 0) {
        struct pollfd pfd[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
        while (pEnded == nullptr) {
            const int n = poll(pfd, 2, -1);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            const int ra = pfd[0].revents != 0 ? a.reap(WNOHANG) : 0;
            if (ra == 1) {
                pEnded = &a;
                break;
            }
            const int rb = pfd[1].revents != 0 ? b.reap(WNOHANG) : 0;
            if (rb == 1)
                pEnded = &b;
            else if (ra < 0 || rb < 0)
                break;
        }
    } else {
        // Kernels without process descriptors: look at both every few milliseconds.
        while (pEnded == nullptr) {
            const int ra = a.reap(WNOHANG);
            const int rb = ra == 1 ? 0 : b.reap(WNOHANG);
            if (ra == 1)
                pEnded = &a;
            else if (rb == 1)
                pEnded = &b;
            else if (ra < 0 || rb < 0)
                break;
            else {
                struct timespec ts = {0, 5 * 1000000};
                nanosleep(&ts, nullptr);
            }
        }
    }
    for (int fd : fds)
        if (fd >= 0)
            close(fd);
    return pEnded;
}

} // namespace

void mosProcess_SetRunTimeLimitMillis(UINT32 millis)
{
    runTimeLimitMillis_G.store(millis != 0 ? millis : MOS_PROCESS__RUN_TIME_LIMIT_SECONDS * 1000u);
}

UINT32 mosProcess_GetRunTimeLimitMillis(void)
{
    return runTimeLimitMillis_G.load();
}

Mos_RC mosProcess_RunWithPipe(char *const argumentsVector[], int *pOutput, BOOL bPrintErr)
{
    if (pOutput != nullptr)
        *pOutput = -1;
    if (argumentsVector == nullptr || argumentsVector[0] == nullptr) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "no program to run");
        return MOS_RC__ERROR;
    }

    char tempName[] = MOS_PROCESS__TEMP_FILE_TEMPLATE;
    // Close-on-exec: no other program started meanwhile by another thread inherits it.
    const int tempFd = mkostemp(tempName, O_CLOEXEC);
    if (tempFd < 0) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "cannot create temp file for command %s, errno %d", argumentsVector[0],
                  errno);
        return MOS_RC__ERROR;
    }
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_HIGH, "open temp file %s for command %s", tempName, argumentsVector[0]);
    // The name goes at once; the children write through the descriptor. Nothing is left in /tmp
    // on any path, even if this process dies during the run.
    unlink(tempName);

    const UINT64 limitMillis = runTimeLimitMillis_G.load();
    Child watchdog, worker;
    Mos_RC rc = MOS_RC__ERROR;

    watchdog.pid = fork();
    if (watchdog.pid == 0)
        childSleepAndExit(limitMillis);
    if (watchdog.pid < 0) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "fork failed for command %s, errno %d", argumentsVector[0], errno);
        close(tempFd);
        return MOS_RC__ERROR;
    }

    worker.pid = fork();
    if (worker.pid == 0)
        childExec(argumentsVector, tempFd);
    if (worker.pid < 0) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "fork failed for command %s, errno %d", argumentsVector[0], errno);
    } else {
        worker.bGroup = true;
        setpgid(worker.pid, worker.pid); // also here, so the group exists before any kill
        // The program first: when both have ended, its own result counts.
        Child *pFirst = waitFirst(worker, watchdog);
        if (pFirst == nullptr) {
            MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "wait failed for command %s, errno %d", argumentsVector[0], errno);
        } else if (pFirst == &watchdog) {
            MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "command %s did not end within %lu ms, killed", argumentsVector[0],
                      (unsigned long)limitMillis);
            rc = MOS_RC__TIMEOUT;
        } else if (WIFEXITED(worker.status) && WEXITSTATUS(worker.status) == 0) {
            rc = MOS_RC__SUCCESS;
        } else if (bPrintErr) {
            if (WIFSIGNALED(worker.status))
                MOS_ERROR(MOS_COMP_MOS, "file %s killed by signal %d", argumentsVector[0], WTERMSIG(worker.status));
            else
                MOS_ERROR(MOS_COMP_MOS, "file %s failed to execute, returned %d", argumentsVector[0],
                          WIFEXITED(worker.status) ? WEXITSTATUS(worker.status) : worker.status);
        }
    }
    worker.killAndReap();
    watchdog.killAndReap();

    if (rc == MOS_RC__SUCCESS && pOutput != nullptr && lseek(tempFd, 0, SEEK_SET) == 0) {
        *pOutput = tempFd;
        return rc;
    }
    if (rc == MOS_RC__SUCCESS && pOutput != nullptr) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "cannot rewind output of command %s, errno %d", argumentsVector[0],
                  errno);
        rc = MOS_RC__ERROR;
    }
    close(tempFd);
    return rc;
}

pid_t mos_CreateProcessWithTimeout(char *const argumentsVector[], UINT32 timeoutSeconds)
{
    if (argumentsVector == nullptr || argumentsVector[0] == nullptr)
        return -1;
    Child worker, watchdog;
    worker.pid = fork();
    if (worker.pid == 0)
        childExec(argumentsVector, -1);
    if (worker.pid < 0)
        return -1;
    worker.bGroup = true;
    setpgid(worker.pid, worker.pid);

    watchdog.pid = fork();
    if (watchdog.pid == 0)
        childSleepAndExit(UINT64{timeoutSeconds} * 1000u);
    if (watchdog.pid < 0) {
        worker.killAndReap();
        return -1;
    }

    Child *pFirst = waitFirst(worker, watchdog);
    Child *pSecond = (pFirst == &worker) ? &watchdog : &worker;
    if (pFirst == nullptr) {
        worker.killAndReap();
        watchdog.killAndReap();
        return -1;
    }
    pSecond->killAndReap();
    return pSecond->pid;
}
