#include "mos/usr/linux/mos_net.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "mos/mos_diag_counters.h"

void osNet_ReserveStdFds(void)
{
    // open() takes the lowest free descriptor: keep opening /dev/null until one lands above 2,
    // and every gap among 0, 1 and 2 is filled.
    for (;;) {
        int fd = open("/dev/null", O_RDWR);
        MOS_ASSERT(fd != -1);
        if (fd > 2) {
            close(fd);
            return;
        }
    }
}

Mos_RC mosNetLayer_Create(void *pArg)
{
    MOS_UNUSED(pArg);
    osNet_ReserveStdFds();
    return MOS_RC__SUCCESS;
}

void mosNetLayer_Destroy(void) {}

void osNet_ChangeBlockMode(int fd, BOOL bNonBlocking)
{
    int flags = fcntl(fd, F_GETFL);
    MOS_ASSERT(flags != -1);
    if (bNonBlocking)
        flags |= O_NONBLOCK;
    else
        flags &= ~O_NONBLOCK;
    MOS_ASSERT(fcntl(fd, F_SETFL, flags) != -1);
    int flags2 = fcntl(fd, F_GETFL);
    MOS_ASSERT(flags == flags2);
}

void osNet_SetSockOpt_KeepAlive(SOCKET socketFd)
{
    int on = 1;
    int idle = MOS_NET__KEEPALIVE_IDLE_SEC;
    int cnt = MOS_NET__KEEPALIVE_PROBES;
    int intvl = MOS_NET__KEEPALIVE_INTVL_SEC;
    MOS_ASSERT(setsockopt(socketFd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on)) != -1);
    MOS_ASSERT(setsockopt(socketFd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle)) != -1);
    MOS_ASSERT(setsockopt(socketFd, IPPROTO_TCP, TCP_KEEPCNT, &cnt, sizeof(cnt)) != -1);
    MOS_ASSERT(setsockopt(socketFd, IPPROTO_TCP, TCP_KEEPINTVL, &intvl, sizeof(intvl)) != -1);
}

void osNet_SetSockOpt_QuickAck(SOCKET socketFd, int value)
{
    MOS_ASSERT(setsockopt(socketFd, IPPROTO_TCP, TCP_QUICKACK, &value, sizeof(value)) != -1);
}

void osNet_SetSockOpt_LoopbackFastPath(SOCKET socketFd)
{
    MOS_UNUSED(socketFd);
}

void osNet_GetSocket_Info(SOCKET socketFd, struct tcp_info *pInfo)
{
    socklen_t len = sizeof(*pInfo);
    MOS_ASSERT(getsockopt(socketFd, IPPROTO_TCP, TCP_INFO, pInfo, &len) != -1);
}

namespace {

// A socket is written with MSG_NOSIGNAL so that a broken connection is a return code, not a
// SIGPIPE; any other descriptor (a pipe in tests and tools) falls back to plain write.
ssize_t writeNoSignal(SOCKET fd, const struct iovec *pIov, int count)
{
    struct msghdr msg;
    memset(&msg, 0, sizeof(msg));
    msg.msg_iov = const_cast<struct iovec *>(pIov);
    msg.msg_iovlen = (size_t)count;
    ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL);
    if (n == -1 && errno == ENOTSOCK)
        n = writev(fd, pIov, count);
    return n;
}

// A failed transfer: would block, interrupted (retry), or the connection is gone.
Mos_RC sockErrnoToRc(SOCKET socketFd, int err)
{
    if (err == EAGAIN || err == EWOULDBLOCK)
        return MOS_RC__NOT_READY;
    if (err == EINTR)
        return MOS_RC__RETRY;
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "declaring socket %u as closed due to Err %d", (unsigned)socketFd, err);
    return MOS_RC__CLOSED;
}

// A transfer of no bytes is complete before it starts. It must not reach the system call: a read
// that returns 0 would be taken for the peer's close, a write that returns 0 for a dead link.
bool isEmptyTransfer(const struct iovec *pIov, int count)
{
    for (int i = 0; i < count; i++)
        if (pIov[i].iov_len != 0)
            return false;
    return true;
}

Mos_RC sendVec(SOCKET socketFd, const struct iovec *pIov, int count, size_t *pBytes)
{
    *pBytes = 0;
    if (isEmptyTransfer(pIov, count))
        return MOS_RC__SUCCESS;
    int zeroWrites = 0;
    for (;;) {
        ssize_t n = writeNoSignal(socketFd, pIov, count);
        if (n > 0) {
            *pBytes = (size_t)n;
            return MOS_RC__SUCCESS;
        }
        if (n == 0) {
            if (++zeroWrites < MOS_NET__ZERO_WRITE_ATTEMPTS)
                continue;
            MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Zero bytes in write to socket %u, closing", (unsigned)socketFd);
            return MOS_RC__CLOSED;
        }
        Mos_RC rc = sockErrnoToRc(socketFd, errno);
        if (rc != MOS_RC__RETRY)
            return rc;
    }
}

Mos_RC recvVec(SOCKET socketFd, const struct iovec *pIov, int count, size_t *pBytes)
{
    *pBytes = 0;
    if (isEmptyTransfer(pIov, count))
        return MOS_RC__SUCCESS;
    for (;;) {
        ssize_t n = count == 1 ? read(socketFd, pIov[0].iov_base, pIov[0].iov_len) : readv(socketFd, pIov, count);
        if (n > 0) {
            *pBytes = (size_t)n;
            return MOS_RC__SUCCESS;
        }
        if (n == 0)
            return MOS_RC__CLOSED;
        Mos_RC rc = sockErrnoToRc(socketFd, errno);
        if (rc != MOS_RC__RETRY)
            return rc;
    }
}

} // namespace

Mos_RC osNet_Send(SOCKET socketFd, const void *pData, size_t size, size_t *pBytes)
{
    struct iovec iov = {const_cast<void *>(pData), size};
    return sendVec(socketFd, &iov, 1, pBytes);
}

Mos_RC osNet_SendV(SOCKET socketFd, const struct iovec *pIov, int count, size_t *pBytes)
{
    return sendVec(socketFd, pIov, count, pBytes);
}

Mos_RC osNet_Recv(SOCKET socketFd, void *pBuf, size_t size, size_t *pBytes)
{
    struct iovec iov = {pBuf, size};
    return recvVec(socketFd, &iov, 1, pBytes);
}

Mos_RC osNet_RecvV(SOCKET socketFd, const struct iovec *pIov, int count, size_t *pBytes)
{
    return recvVec(socketFd, pIov, count, pBytes);
}

void mosNet_EpollInit(int *pEpollFd)
{
    MOS_ASSERT(pEpollFd != nullptr);
    *pEpollFd = epoll_create(MOS_NET__EPOLL_SIZE_HINT);
    MOS_ASSERT(*pEpollFd != -1);
}

void mosNet_EpollAddSocket(OsNet_EpollFdArr *pSet, int fd, void *pContext)
{
    struct epoll_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.events = EPOLLET;
    ev.data.ptr = pContext;
    MOS_ASSERT(epoll_ctl(pSet->epollFd, EPOLL_CTL_ADD, fd, &ev) != -1);
}

void mosNet_EpollModSocket(OsNet_EpollFdArr *pSet, int fd, void *pContext, BOOL bRead, BOOL bWrite, BOOL bError)
{
    struct epoll_event ev;
    memset(&ev, 0, sizeof(ev));
    UINT32 mask = EPOLLET;
    if (bRead)
        mask |= EPOLLIN;
    if (bWrite)
        mask |= EPOLLOUT;
    if (bError)
        mask |= EPOLLERR | EPOLLHUP;
    ev.events = mask;
    ev.data.ptr = pContext;
    MOS_ASSERT(epoll_ctl(pSet->epollFd, EPOLL_CTL_MOD, fd, &ev) != -1);
}

void mosNet_EpollRemSocket(OsNet_EpollFdArr *pSet, int fd)
{
    struct epoll_event ev;
    memset(&ev, 0, sizeof(ev));
    MOS_ASSERT(epoll_ctl(pSet->epollFd, EPOLL_CTL_DEL, fd, &ev) != -1);
}

int mosNet_Epoll(OsNet_EpollFdArr *pSet, int maxEvents, int timeoutMillis)
{
    for (;;) {
        int n = epoll_wait(pSet->epollFd, pSet->pEvents, maxEvents, timeoutMillis);
        if (n >= 0)
            return n;
        int err = errno;
        if (err == EINTR) {
            MOS_DIAG_COUNT(EPOLL_WAIT_INTERRUPTED);
            continue;
        }
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Epoll error %u", (unsigned)err);
        MOS_UNREACHABLE("epoll_wait failed");
    }
}

Mos_RC mosNet_IoEvtCreate(MosNet_IoEvt *pEvt)
{
    MOS_ASSERT(pEvt != nullptr);
    memset(pEvt, 0, sizeof(*pEvt));
    int efd = eventfd(0, 0);
    if (efd != -1) {
        osNet_ChangeBlockMode(efd, TRUE);
        pEvt->bEventFd = TRUE;
        pEvt->eventFD = efd;
        return MOS_RC__SUCCESS;
    }
    int fds[2];
    if (pipe(fds) != 0) {
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Failed to create pipe with error %u", (unsigned)errno);
        pEvt->readFD = -1;
        pEvt->writeFD = -1;
        return MOS_RC__ERROR;
    }
    osNet_ChangeBlockMode(fds[0], TRUE);
    osNet_ChangeBlockMode(fds[1], TRUE);
    pEvt->bEventFd = FALSE;
    pEvt->readFD = fds[0];
    pEvt->writeFD = fds[1];
    return MOS_RC__SUCCESS;
}

void mosNet_IoEvtDestroy(MosNet_IoEvt *pEvt)
{
    MOS_ASSERT(pEvt != nullptr);
    if (pEvt->bEventFd) {
        MOS_ASSERT(close(pEvt->eventFD) == 0 || errno == EINTR);
    } else {
        MOS_ASSERT(close(pEvt->readFD) == 0 || errno == EINTR);
        MOS_ASSERT(close(pEvt->writeFD) == 0 || errno == EINTR);
    }
    pEvt->readFD = -1;
    pEvt->writeFD = -1;
}

void mosNet_IoEvtSend(MosNet_IoEvt *pEvt)
{
    const UINT64 one = 1;
    const int fd = pEvt->bEventFd ? pEvt->eventFD : pEvt->writeFD;
    for (;;) {
        ssize_t n = write(fd, &one, sizeof(one));
        if (n == (ssize_t)sizeof(one))
            return;
        MOS_ASSERT(n == -1);
        int err = errno;
        if (err == EINTR)
            continue;
        if (err == EAGAIN) {
            // A full pipe already holds unread wake-ups: the loop will wake anyway, and waiting
            // here for it to drain could wait for ever when the caller is the loop itself.
            if (!pEvt->bEventFd)
                return;
            MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "eventFD send error %u", (unsigned)err);
            continue;
        }
        MOS_UNREACHABLE("I/O event write failed");
    }
}

void mosNet_IoEvtRecv(MosNet_IoEvt *pEvt)
{
    const int fd = pEvt->bEventFd ? pEvt->eventFD : pEvt->readFD;
    for (;;) {
        UINT64 value;
        ssize_t n = read(fd, &value, sizeof(value));
        if (n == (ssize_t)sizeof(value))
            continue;
        MOS_ASSERT(n == -1);
        int err = errno;
        if (err == EINTR)
            continue;
        if (err == EAGAIN)
            return;
        MOS_UNREACHABLE("I/O event read failed");
    }
}
