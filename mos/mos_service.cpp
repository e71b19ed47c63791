#include "mos/mos_service.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_text.h"
#include "mos/mos_time.h"

namespace {

MosService service_G;
MosFifoLayer mosFifoLayer_G;
MosFastlock_Base once_G;
BOOL bOnceInit_G;

// Set by mosFifoLayer_Destroy before it writes STOP. The handler looks at it before every read,
// so a stop asked for while the pipe is still being prepared (when nobody reads the STOP) is
// never lost; once the handler has looked, its pipe is open and the STOP reaches it.
std::atomic<bool> bFifoStopRequested_G{false};
// Wakes a handler blocked on its pipe when the STOP cannot reach it there: the pipe's file may
// have been removed by someone else while the handler held it open.
int fifoWake_G[2] = {-1, -1};

constexpr MosContentionId kOnceLockId = 0;
constexpr UINT64 kOneSecondNanos = 1000000000ull;
constexpr int kRemoveAttempts = 3;

void mosFifo_MainFifoHandlerThread(void *pArg)
{
    const char *pName = static_cast<const char *>(pArg);
    int pid = (int)getpid();

    // Only a named pipe left by an earlier run is ours to remove: a file, a directory or a link
    // of that name belongs to someone else and stays as it is.
    struct stat st;
    if (lstat(pName, &st) == 0 && !S_ISFIFO(st.st_mode)) {
        MOS_ERROR(MOS_COMP_MOS, "Fifo file name %s for PID %d is taken by something that is not a named pipe\n",
                  pName, pid);
        return;
    }
    for (int attempt = 1; attempt <= kRemoveAttempts; attempt++) {
        if (unlink(pName) == 0 || errno == ENOENT)
            break;
        int err = errno;
        if (attempt == kRemoveAttempts) {
            MOS_ERROR(MOS_COMP_MOS, "Failed to remove old Fifo file named %s for PID %d, reason (%d) %s\n", pName, pid,
                      err, strerror(err));
            break;
        }
        mos_NanoSleep(kOneSecondNanos);
    }

    // Only the owner may command the process: the pipe is private whatever the creation mask.
    if (mkfifo(pName, 0600) != 0 || chmod(pName, 0600) != 0) {
        int err = errno;
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW,
                  "mosFifo_MainFifoHandlerThread: Failed calling mkfifo(%s) for PID %d. errno (%d) %s\n", pName, pid,
                  err, strerror(err));
        return;
    }
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_HIGH, "mosFifo_MainFifoHandlerThread: Created Fifo file named %s for PID %d\n",
              pName, pid);

    // Read and write: a read then never sees end-of-file while no writer is connected.
    int fd = -1;
    BOOL bReported = FALSE;
    for (;;) {
        fd = open(pName, O_RDWR | O_CLOEXEC);
        if (fd < 0 && !bReported) {
            MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "mosFifo_MainFifoHandlerThread: Failed to open File %s for PID %d\n",
                      pName, pid);
            bReported = TRUE;
        }
        if (bFifoStopRequested_G.load())
            break;
        mos_NanoSleep(kOneSecondNanos);
        if (fd >= 0)
            break;
    }

    char buf[MOS_FIFO__MAX_READ + 1];
    while (fd >= 0 && !bFifoStopRequested_G.load()) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {fifoWake_G[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno == EINTR)
            continue;
        if (fds[1].revents != 0)
            break;
        ssize_t n = read(fd, buf, MOS_FIFO__MAX_READ);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW,
                      "mosFifo_MainFifoHandlerThread: Failed to read from File %s for PID %d\n", pName, pid);
            break;
        }
        buf[n] = '\0';
        MosFifo_Type type = mosFifo_ParseFifoInput(buf, (UINT32)n);
        if (type == MOS_FIFO_TYPE__STOP)
            break;
        if (type == MOS_FIFO_TYPE__SHUTDOWN) {
            // The same road as SIGTERM: the stop callback, the termination report, the exit. A
            // stop callback alone would leave the process half stopped.
            kill(getpid(), SIGTERM);
            continue;
        }
        MOS_ERROR(MOS_COMP_MOS, "Received unknown Fifo %d Type for PID %d\n", (int)type, pid);
    }
    if (fd >= 0)
        close(fd);
    if (lstat(pName, &st) != 0 || !S_ISFIFO(st.st_mode) || unlink(pName) != 0)
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "mosFifo_MainFifoHandlerThread: Failed to delete File %s for PID %d\n",
                  pName, pid);
}

void mosFifo_CloseWakePipe(void)
{
    for (int &wakeFd : fifoWake_G) {
        if (wakeFd >= 0)
            close(wakeFd);
        wakeFd = -1;
    }
}

} // namespace

const char fifoCmdArray_G[MOS_FIFO_TYPE__LAST][MOS_FIFO__CMD_SLOT_SIZE] = {"UNKNOWN", "SHUTDOWN", "STOP"};

void mosService_SetCallbacks(MosService_InitCK pInitCK, MosService_StopCK pStopCK)
{
    service_G.pInitCK = pInitCK;
    service_G.pStopCK = pStopCK;
}

void mosService_Start(MosService_InitCK pInitCK, MosService_StopCK pStopCK)
{
    mosService_SetCallbacks(pInitCK, pStopCK);
    if (pInitCK != nullptr)
        pInitCK();
    for (;;)
        pause();
}

void mosService_Stop(void)
{
    if (service_G.pStopCK != nullptr)
        service_G.pStopCK();
}

Mos_RC mosFifoLayer_Create(const MosFifo_InitParams *pParams)
{
    memset(&mosFifoLayer_G, 0, sizeof(mosFifoLayer_G));
    if (pParams == nullptr || !pParams->bIsEnabled)
        return MOS_RC__SUCCESS;
    const char *pName = pParams->pFifoFileName != nullptr ? pParams->pFifoFileName : MOS_FIFO__DEFAULT_FILE_NAME;
    if (strlen(pName) >= sizeof(mosFifoLayer_G.fifoFileName)) {
        MOS_ERROR(MOS_COMP_MOS, "Fifo file name too long: %s", pName);
        return MOS_RC__INVALID;
    }
    strcpy(mosFifoLayer_G.fifoFileName, pName);
    bFifoStopRequested_G.store(false);
    if (pipe2(fifoWake_G, O_CLOEXEC | O_NONBLOCK) != 0) {
        MOS_ERROR(MOS_COMP_MOS, "Fifo handler for %s not started: no pipe to stop it by, errno %d", pName, errno);
        fifoWake_G[0] = fifoWake_G[1] = -1;
        return MOS_RC__NO_RESOURCES;
    }
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_HIGH, "mosFifo_StartFifoHandler: was called. PID %d\n", (int)getpid());
    Mos_RC rc = mosOsThrd_CreateNamed(&mosFifoLayer_G.fifoThrd, mosFifo_MainFifoHandlerThread,
                                      mosFifoLayer_G.fifoFileName, "fifo");
    if (rc == MOS_RC__SUCCESS)
        mosFifoLayer_G.bInit = TRUE;
    else
        mosFifo_CloseWakePipe();
    return rc;
}

void mosFifoLayer_Destroy(void)
{
    if (!mosFifoLayer_G.bInit)
        return;
    bFifoStopRequested_G.store(true);
    if (mosFifo_WriteToFifo(mosFifoLayer_G.fifoFileName, fifoCmdArray_G[MOS_FIFO_TYPE__STOP]) != MOS_RC__SUCCESS)
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW,
                  "mosFifo_StopFifoHandler: Failed to write Stop-Fifo command to File %s for PID %d.\n",
                  mosFifoLayer_G.fifoFileName, (int)getpid());
    const char wake = 1;
    ssize_t woken = write(fifoWake_G[1], &wake, 1);
    MOS_UNUSED(woken);
    mosOsThrd_Destroy(&mosFifoLayer_G.fifoThrd);
    mosFifo_CloseWakePipe();
    mosFifoLayer_G.bInit = FALSE;
}

// How long a command waits for the handler to open its pipe for reading.
constexpr UINT32 MOS_FIFO__READER_WAIT_MILLIS = 2000;

Mos_RC mosFifo_WriteToFifo(const char *pFifoFileName, const char *pCmd)
{
    // Only a named pipe: an ordinary file left under that name must not be written into.
    struct stat st;
    // Opened without waiting: a pipe that nobody reads (a handler that just ended, or an old pipe
    // left behind) is a failure, never a wait for ever. The write itself then blocks as usual.
    // A handler that has just created its pipe may not have opened it yet: give it a moment.
    int fd = -1;
    if (stat(pFifoFileName, &st) == 0 && S_ISFIFO(st.st_mode)) {
        for (UINT32 waited = 0; waited <= MOS_FIFO__READER_WAIT_MILLIS; waited += 5) {
            fd = open(pFifoFileName, O_WRONLY | O_CLOEXEC | O_NONBLOCK);
            if (fd >= 0 || errno != ENXIO)
                break;
            usleep(5000);
        }
    }
    if (fd >= 0)
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (fd < 0) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "mosFifo_WriteToFifo: Failed to create File %s for PID %d\n",
                  pFifoFileName, (int)getpid());
        return MOS_RC__CLOSED;
    }
    size_t len = strlen(pCmd);
    ssize_t n = write(fd, pCmd, len);
    close(fd);
    if (n != (ssize_t)len) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW,
                  "mosFifo_WriteToFifo: Failed to write Stop-Fifo command to File %s for PID %d, expected Len %d, "
                  "wrote %d\n",
                  pFifoFileName, (int)getpid(), (int)len, (int)n);
        return MOS_RC__ERROR;
    }
    return MOS_RC__SUCCESS;
}

MosFifo_Type mosFifo_ParseFifoInput(const char *pInputStr, UINT32 strLen)
{
    if (pInputStr == nullptr || strLen <= 1)
        return MOS_FIFO_TYPE__UNKNOWN;
    if (pInputStr[strLen - 1] == '\n')
        strLen--;
    for (UINT32 t = 0; t < MOS_FIFO_TYPE__LAST; t++) {
        if (strlen(fifoCmdArray_G[t]) == strLen && memcmp(fifoCmdArray_G[t], pInputStr, strLen) == 0)
            return (MosFifo_Type)t;
    }
    return MOS_FIFO_TYPE__UNKNOWN;
}

Mos_RC mosOnceLayer_Create(void)
{
    MOS_FASTLOCK_CREATE(&once_G, kOnceLockId);
    bOnceInit_G = TRUE;
    return MOS_RC__SUCCESS;
}

void mosOnceLayer_Destroy(void)
{
    if (!bOnceInit_G)
        return;
    bOnceInit_G = FALSE;
    mosFastlockBase_Destroy(&once_G);
}

Mos_RC mosOnce_RunInit(MosOnce *pOnce)
{
    MosFastlockGuard guard(&once_G);
    if (pOnce->ref != 0) {
        pOnce->ref++;
        return MOS_RC__SUCCESS;
    }
    Mos_RC rc = pOnce->pInitCK != nullptr ? pOnce->pInitCK() : MOS_RC__SUCCESS;
    if (rc == MOS_RC__SUCCESS)
        pOnce->ref++;
    return rc;
}

void mosOnce_RunDestroy(MosOnce *pOnce)
{
    MosFastlockGuard guard(&once_G);
    MOS_ASSERT(pOnce->ref != 0);
    pOnce->ref--;
    if (pOnce->ref == 0 && pOnce->pDestroyCK != nullptr)
        pOnce->pDestroyCK();
}
