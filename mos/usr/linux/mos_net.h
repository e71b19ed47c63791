// Linux half of the socket services: raw non-blocking transfer mapped onto return codes,
// descriptor blocking mode, keep-alive, edge-triggered epoll and the poll loop's wake-up event.
#pragma once

#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/uio.h>

#include <cstddef>

#include "mos/mos_rc.h"
#include "mos/mos_types.h"

static_assert(sizeof(struct epoll_event) == 12, "the kernel's packed epoll record");

typedef int SOCKET;
#define MOS_NET__INVALID_SOCKET (-1)

#define MOS_NET__EPOLL_SIZE_HINT 1024
#define MOS_NET__KEEPALIVE_IDLE_SEC 1
#define MOS_NET__KEEPALIVE_PROBES 5
#define MOS_NET__KEEPALIVE_INTVL_SEC 1
#define MOS_NET__ZERO_WRITE_ATTEMPTS 3

struct OsNet_EpollFdArr {
    int epollFd;
    struct epoll_event *pEvents; // the caller's array of ready events
};

struct MosNet_IoEvt {
    BOOL bEventFd;
    union {
        struct {
            int readFD;
            int writeFD;
        };
        int eventFD;
    };
};

// Start-up layer of the Linux half. It makes sure descriptors 0, 1 and 2 are open (on /dev/null
// when they were closed), so that no socket or file of the process lands on a standard descriptor.
Mos_RC mosNetLayer_Create(void *pArg);
void mosNetLayer_Destroy(void);
void osNet_ReserveStdFds(void);

void osNet_ChangeBlockMode(int fd, BOOL bNonBlocking);
void osNet_SetSockOpt_KeepAlive(SOCKET socketFd);
void osNet_SetSockOpt_QuickAck(SOCKET socketFd, int value);
void osNet_SetSockOpt_LoopbackFastPath(SOCKET socketFd);
void osNet_GetSocket_Info(SOCKET socketFd, struct tcp_info *pInfo);

// Raw transfer on any descriptor. SUCCESS: some bytes moved, or none were asked for (0 bytes,
// no system call); NOT_READY: it would block; CLOSED: the peer closed or the connection broke.
// A write to a broken connection never raises SIGPIPE.
Mos_RC osNet_Send(SOCKET socketFd, const void *pData, size_t size, size_t *pBytes);
Mos_RC osNet_SendV(SOCKET socketFd, const struct iovec *pIov, int count, size_t *pBytes);
Mos_RC osNet_Recv(SOCKET socketFd, void *pBuf, size_t size, size_t *pBytes);
Mos_RC osNet_RecvV(SOCKET socketFd, const struct iovec *pIov, int count, size_t *pBytes);

void mosNet_EpollInit(int *pEpollFd);
void mosNet_EpollAddSocket(OsNet_EpollFdArr *pSet, int fd, void *pContext);
void mosNet_EpollModSocket(OsNet_EpollFdArr *pSet, int fd, void *pContext, BOOL bRead, BOOL bWrite, BOOL bError);
void mosNet_EpollRemSocket(OsNet_EpollFdArr *pSet, int fd);
int mosNet_Epoll(OsNet_EpollFdArr *pSet, int maxEvents, int timeoutMillis);

Mos_RC mosNet_IoEvtCreate(MosNet_IoEvt *pEvt);
void mosNet_IoEvtDestroy(MosNet_IoEvt *pEvt);
void mosNet_IoEvtSend(MosNet_IoEvt *pEvt);
void mosNet_IoEvtRecv(MosNet_IoEvt *pEvt);
