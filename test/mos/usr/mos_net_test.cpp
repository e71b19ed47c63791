#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "mos/usr/mos_net.h"
#include "test/support/panic_expect.h"

namespace {

// The port a socket is bound to (its address may be the wildcard, which is no NetAddress).
Port boundPort(SOCKET fd)
{
    struct sockaddr_in6 sa = {};
    socklen_t len = sizeof(sa);
    EXPECT_EQ(getsockname(fd, reinterpret_cast<struct sockaddr *>(&sa), &len), 0);
    return ntohs(sa.sin6_port); // same place in sockaddr_in
}

// A listening socket on the loopback address of one family, on a port the kernel picks.
struct Listener {
    SOCKET fd = MOS_NET__INVALID_SOCKET;
    NetAddress addr = {};
    bool bSkip = false;

    explicit Listener(NetSocketType type)
    {
        Mos_RC rc = osNet_Socket(&fd, type);
        if (rc == MOS_RC__NOT_SUPPORTED) {
            bSkip = true;
            return;
        }
        EXPECT_EQ(rc, MOS_RC__SUCCESS);
        osNet_SetSockOpt_ReuseAddr(fd);
        EXPECT_TRUE(osNet_Bind(fd, 0, type));
        EXPECT_TRUE(osNet_Listen(fd));
        EXPECT_EQ(netAddress_BuildIpListener(netAddress_SocketTypeToAddressType(type), &addr, boundPort(fd)),
                  MOS_RC__SUCCESS);
    }
    ~Listener()
    {
        if (fd != MOS_NET__INVALID_SOCKET)
            osNet_Close(fd);
    }
};

// A connected pair over loopback: client side and accepted side.
struct Pair {
    SOCKET client = MOS_NET__INVALID_SOCKET;
    SOCKET server = MOS_NET__INVALID_SOCKET;
    bool bSkip = false;

    explicit Pair(NetSocketType type)
    {
        Listener l(type);
        if (l.bSkip) {
            bSkip = true;
            return;
        }
        EXPECT_EQ(osNet_Socket(&client, type), MOS_RC__SUCCESS);
        if (!osNet_BlockConnect(client, &l.addr, 30000)) {
            bSkip = true; // no loopback for this family on this host
            return;
        }
        server = osNet_Accept(l.fd);
        EXPECT_NE(server, MOS_NET__INVALID_SOCKET);
    }
    ~Pair()
    {
        if (client != MOS_NET__INVALID_SOCKET)
            osNet_Close(client);
        if (server != MOS_NET__INVALID_SOCKET)
            osNet_Close(server);
    }
};

// A port on which nobody listens: bound once, then released.
Port closedPort(NetSocketType type)
{
    SOCKET fd;
    EXPECT_EQ(osNet_Socket(&fd, type), MOS_RC__SUCCESS);
    EXPECT_TRUE(osNet_Bind(fd, 0, type));
    Port port = boundPort(fd);
    osNet_Close(fd);
    return port;
}

bool isNonBlocking(int fd)
{
    return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}

class NetFamily : public testing::TestWithParam<NetSocketType> {};

} // namespace

INSTANTIATE_TEST_SUITE_P(Loopback, NetFamily, testing::Values(NET_SOCKET_TYPE__IPV4, NET_SOCKET_TYPE__IPV6),
                         [](const testing::TestParamInfo<NetSocketType> &i) {
                             return i.param == NET_SOCKET_TYPE__IPV4 ? "IPv4" : "IPv6";
                         });

// Both ends of a connection and the wake-up event on one edge-triggered epoll set. Small socket
// buffers force partial writes; every readiness edge is followed by work until the kernel would
// block, as edge-triggered epoll demands.
TEST_P(NetFamily, EchoOverEdgeTriggeredEpoll)
{
    Pair p(GetParam());
    if (p.bSkip)
        GTEST_SKIP() << "no loopback for this family";
    osNet_ChangeBlockMode(p.client, TRUE);
    osNet_ChangeBlockMode(p.server, TRUE);
    osNet_SetSockOpt_NoDelay(p.client);
    osNet_SetSockOpt_SndBuf(p.client, 64 * 1024);
    osNet_SetSockOpt_SndBuf(p.server, 64 * 1024);

    constexpr size_t kTotal = 3 * 1024 * 1024 + 17;
    std::vector<UINT8> out(kTotal), echoed(kTotal), relay(kTotal);
    for (size_t i = 0; i < kTotal; i++)
        out[i] = (UINT8)(i * 131 + (i >> 13));
    size_t sent = 0, relayIn = 0, relayOut = 0, back = 0;
    int partialWrites = 0;
    bool bServerSawClose = false;

    struct epoll_event events[8];
    OsNet_EpollFdArr set = {-1, events};
    mosNet_EpollInit(&set.epollFd);
    MosNet_IoEvt evt;
    ASSERT_EQ(mosNet_IoEvtCreate(&evt), MOS_RC__SUCCESS);
    EXPECT_TRUE(evt.bEventFd);
    int tags[3];
    mosNet_EpollAddSocket(&set, p.client, &tags[0]);
    mosNet_EpollAddSocket(&set, p.server, &tags[1]);
    mosNet_EpollAddSocket(&set, evt.eventFD, &tags[2]);
    mosNet_EpollModSocket(&set, p.client, &tags[0], TRUE, TRUE, TRUE);
    mosNet_EpollModSocket(&set, p.server, &tags[1], TRUE, TRUE, TRUE);
    mosNet_EpollModSocket(&set, evt.eventFD, &tags[2], TRUE, FALSE, FALSE);

    auto pump = [&] {
        bool bProgress = true;
        while (bProgress) {
            bProgress = false;
            size_t n;
            if (sent < kTotal) {
                // The rest of the data in three pieces, to go through writev.
                size_t left = kTotal - sent, a = left / 3, b = left / 3;
                struct iovec iov[3] = {{&out[sent], a}, {&out[sent + a], b}, {&out[sent + a + b], left - a - b}};
                Mos_RC rc = osNet_SendV(p.client, iov, 3, &n);
                if (rc == MOS_RC__SUCCESS) {
                    partialWrites += n < left;
                    sent += n;
                    bProgress = true;
                } else {
                    ASSERT_EQ(rc, MOS_RC__NOT_READY);
                }
            }
            if (relayIn < kTotal) {
                Mos_RC rc = osNet_Recv(p.server, &relay[relayIn], kTotal - relayIn, &n);
                if (rc == MOS_RC__SUCCESS) {
                    relayIn += n;
                    bProgress = true;
                } else {
                    ASSERT_EQ(rc, MOS_RC__NOT_READY);
                    ASSERT_EQ(n, 0u);
                }
            }
            if (relayOut < relayIn) {
                Mos_RC rc = osNet_Send(p.server, &relay[relayOut], relayIn - relayOut, &n);
                if (rc == MOS_RC__SUCCESS) {
                    relayOut += n;
                    bProgress = true;
                } else {
                    ASSERT_EQ(rc, MOS_RC__NOT_READY);
                }
            }
            if (back < kTotal) {
                struct iovec iov = {&echoed[back], kTotal - back};
                Mos_RC rc = osNet_RecvV(p.client, &iov, 1, &n);
                if (rc == MOS_RC__SUCCESS) {
                    back += n;
                    bProgress = true;
                } else {
                    ASSERT_EQ(rc, MOS_RC__NOT_READY);
                }
            }
        }
    };

    pump();
    while (back < kTotal) {
        int ready = mosNet_Epoll(&set, 8, 30000);
        ASSERT_GT(ready, 0) << "no progress: sent " << sent << " relayed " << relayOut << " back " << back;
        pump();
        if (HasFatalFailure())
            return;
    }
    EXPECT_EQ(memcmp(out.data(), echoed.data(), kTotal), 0);
    EXPECT_GT(partialWrites, 0);

    // The loop sleeps in epoll with nothing else pending; another thread's event wakes it,
    // and after one drain nothing is left to read.
    while (mosNet_Epoll(&set, 8, 0) > 0) {
    }
    std::thread waker([&] {
        mosNet_IoEvtSend(&evt);
        mosNet_IoEvtSend(&evt);
    });
    int ready = mosNet_Epoll(&set, 8, 60000);
    waker.join();
    ASSERT_EQ(ready, 1);
    EXPECT_EQ(events[0].data.ptr, &tags[2]);
    mosNet_IoEvtRecv(&evt);
    UINT64 v;
    EXPECT_EQ(read(evt.eventFD, &v, sizeof(v)), -1);
    EXPECT_EQ(errno, EAGAIN);

    // The client leaves: the server's read reports the close, never success with 0 bytes.
    mosNet_EpollRemSocket(&set, p.client);
    osNet_Shutdown(p.client);
    for (int i = 0; i < 100 && !bServerSawClose; i++) {
        size_t n = 99;
        char c;
        Mos_RC rc = osNet_Recv(p.server, &c, 1, &n);
        if (rc == MOS_RC__NOT_READY) {
            mosNet_Epoll(&set, 8, 1000);
            continue;
        }
        EXPECT_EQ(rc, MOS_RC__CLOSED);
        EXPECT_EQ(n, 0u);
        bServerSawClose = true;
    }
    EXPECT_TRUE(bServerSawClose);
    mosNet_EpollRemSocket(&set, p.server);
    mosNet_IoEvtDestroy(&evt);
    close(set.epollFd);
}

TEST_P(NetFamily, ConnectToClosedPortFails)
{
    Listener probe(GetParam());
    if (probe.bSkip)
        GTEST_SKIP() << "family not supported";
    NetAddress addr = probe.addr;
    netAddress_SetPort(&addr, closedPort(GetParam()));

    SOCKET fd;
    ASSERT_EQ(osNet_Socket(&fd, GetParam()), MOS_RC__SUCCESS);
    EXPECT_EQ(mosNet_Connect(fd, &addr), MOS_RC__ERROR);
    osNet_Close(fd);

    // With a time limit the socket becomes writable when the attempt is refused: that is a
    // failure, and the socket is back in blocking mode either way.
    ASSERT_EQ(osNet_Socket(&fd, GetParam()), MOS_RC__SUCCESS);
    EXPECT_FALSE(osNet_BlockConnect(fd, &addr, 30000));
    EXPECT_FALSE(isNonBlocking(fd));
    osNet_Close(fd);

    // A non-blocking connect reports the attempt in progress (or its immediate refusal).
    ASSERT_EQ(osNet_Socket(&fd, GetParam()), MOS_RC__SUCCESS);
    osNet_ChangeBlockMode(fd, TRUE);
    Mos_RC rc = mosNet_Connect(fd, &addr);
    EXPECT_TRUE(rc == MOS_RC__PENDING || rc == MOS_RC__ERROR) << MOS_RC__GET_STR(rc);
    osNet_Close(fd);
}

TEST_P(NetFamily, BlockConnectAndAddressesOfBothEnds)
{
    Listener l(GetParam());
    if (l.bSkip)
        GTEST_SKIP() << "family not supported";
    SOCKET fd;
    ASSERT_EQ(osNet_Socket(&fd, GetParam()), MOS_RC__SUCCESS);
    if (!osNet_BlockConnect(fd, &l.addr, 30000)) {
        osNet_Close(fd);
        GTEST_SKIP() << "no loopback for this family";
    }
    EXPECT_FALSE(isNonBlocking(fd));
    SOCKET acc = osNet_Accept(l.fd);
    ASSERT_GE(acc, 0);
    NetAddress peer, mine, accPeer;
    ASSERT_TRUE(mosNet_GetPeerAddress(fd, &peer));
    ASSERT_TRUE(mosNet_GetMyAddress(fd, &mine));
    ASSERT_TRUE(mosNet_GetPeerAddress(acc, &accPeer));
    EXPECT_TRUE(netAddress_IsEqual(&peer, &l.addr));
    EXPECT_TRUE(netAddress_IsEqual(&mine, &accPeer));
    EXPECT_TRUE(netAddress_IsLocalHost(&mine));

    // Full transfers on blocking sockets, larger than any socket buffer.
    std::vector<char> data(2 * 1024 * 1024), got(data.size());
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (char)(i % 251);
    std::thread sender([&] { EXPECT_EQ(osNet_SendFull(fd, data.data(), data.size()), MOS_RC__SUCCESS); });
    EXPECT_EQ(osNet_RcvFull(acc, got.data(), got.size()), MOS_RC__SUCCESS);
    sender.join();
    EXPECT_EQ(data, got);
    // The peer closes half-way through what the reader wants: an error, not a short success.
    EXPECT_EQ(osNet_SendFull(fd, data.data(), 10), MOS_RC__SUCCESS);
    osNet_Close(fd);
    EXPECT_EQ(osNet_RcvFull(acc, got.data(), 20), MOS_RC__ERROR);
    osNet_Close(acc);
}

TEST(MosNet, BlockConnectWorksAboveSelectLimit)
{
    struct rlimit rl;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
    if (rl.rlim_cur < 1600) {
        if (rl.rlim_max < 1600)
            GTEST_SKIP() << "descriptor limit too low";
        rl.rlim_cur = 1600;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &rl), 0);
    }
    Listener l(NET_SOCKET_TYPE__IPV4);
    NetAddress closed = l.addr;
    netAddress_SetPort(&closed, closedPort(NET_SOCKET_TYPE__IPV4));
    for (const NetAddress *pTarget : {&l.addr, &closed}) {
        SOCKET low;
        ASSERT_EQ(osNet_Socket(&low, NET_SOCKET_TYPE__IPV4), MOS_RC__SUCCESS);
        SOCKET high = dup2(low, 1500);
        ASSERT_EQ(high, 1500);
        osNet_Close(low);
        EXPECT_EQ(osNet_BlockConnect(high, pTarget, 30000), pTarget == &l.addr ? TRUE : FALSE);
        osNet_Close(high);
    }
}

TEST(MosNet, BindGivesUpAfterItsRetries)
{
    Listener holder(NET_SOCKET_TYPE__IPV4);
    SOCKET fd;
    ASSERT_EQ(osNet_Socket(&fd, NET_SOCKET_TYPE__IPV4), MOS_RC__SUCCESS);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(osNet_Bind(fd, holder.addr.port, NET_SOCKET_TYPE__IPV4));
    // 20 attempts with 100 ms between them: at least 19 pauses.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900));
    osNet_Close(fd);
}

TEST(MosNet, RawTransferReturnCodes)
{
    Pair p(NET_SOCKET_TYPE__IPV4);
    ASSERT_FALSE(p.bSkip);
    osNet_ChangeBlockMode(p.client, TRUE);
    osNet_ChangeBlockMode(p.server, TRUE);
    size_t n = 7;
    char buf[64];
    EXPECT_EQ(osNet_Recv(p.server, buf, sizeof(buf), &n), MOS_RC__NOT_READY);
    EXPECT_EQ(n, 0u);

    // Asking to move nothing moves nothing, successfully: only a read of 0 bytes for a non-empty
    // buffer means that the peer closed.
    struct iovec empty[2] = {{buf, 0}, {buf, 0}};
    struct Zero {
        const char *what;
        Mos_RC (*transfer)(SOCKET, struct iovec *, size_t *);
    } zeros[] = {
        {"send", [](SOCKET s, struct iovec *v, size_t *pN) { return osNet_Send(s, v[0].iov_base, 0, pN); }},
        {"sendv", [](SOCKET s, struct iovec *v, size_t *pN) { return osNet_SendV(s, v, 2, pN); }},
        {"sendv of no buffers", [](SOCKET s, struct iovec *v, size_t *pN) { return osNet_SendV(s, v, 0, pN); }},
        {"recv", [](SOCKET s, struct iovec *v, size_t *pN) { return osNet_Recv(s, v[0].iov_base, 0, pN); }},
        {"recvv", [](SOCKET s, struct iovec *v, size_t *pN) { return osNet_RecvV(s, v, 2, pN); }},
    };
    for (const Zero &z : zeros) {
        n = 7;
        EXPECT_EQ(z.transfer(p.client, empty, &n), MOS_RC__SUCCESS) << z.what;
        EXPECT_EQ(n, 0u) << z.what;
    }
    // The connection is still whole: bytes sent now arrive.
    EXPECT_EQ(osNet_Send(p.client, "ok", 2, &n), MOS_RC__SUCCESS);
    struct pollfd readable = {p.server, POLLIN, 0};
    ASSERT_EQ(poll(&readable, 1, 30000), 1);
    EXPECT_EQ(osNet_Recv(p.server, buf, 0, &n), MOS_RC__SUCCESS);
    EXPECT_EQ(osNet_Recv(p.server, buf, sizeof(buf), &n), MOS_RC__SUCCESS);
    EXPECT_EQ(std::string(buf, n), "ok");

    // Fill the pipe until the kernel would block.
    std::vector<char> chunk(256 * 1024, 'x');
    Mos_RC rc;
    while ((rc = osNet_Send(p.client, chunk.data(), chunk.size(), &n)) == MOS_RC__SUCCESS) {
    }
    EXPECT_EQ(rc, MOS_RC__NOT_READY);

    // The peer resets the connection: writing to it is CLOSED, and no SIGPIPE ends the process.
    osNet_SetSockOpt_Linger(p.server);
    osNet_Close(p.server);
    p.server = MOS_NET__INVALID_SOCKET;
    struct pollfd pfd = {p.client, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 30000), 1) << "the reset never arrived";
    rc = osNet_Send(p.client, chunk.data(), chunk.size(), &n);
    EXPECT_EQ(rc, MOS_RC__CLOSED);
    EXPECT_EQ(osNet_Recv(p.client, buf, sizeof(buf), &n), MOS_RC__CLOSED);
}

TEST(MosNet, RawTransferOnPipes)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    osNet_ChangeBlockMode(fds[0], TRUE);
    size_t n;
    EXPECT_EQ(osNet_Send(fds[1], "abc", 3, &n), MOS_RC__SUCCESS);
    EXPECT_EQ(n, 3u);
    char buf[8];
    EXPECT_EQ(osNet_Recv(fds[0], buf, sizeof(buf), &n), MOS_RC__SUCCESS);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(osNet_Recv(fds[0], buf, sizeof(buf), &n), MOS_RC__NOT_READY);
    close(fds[1]);
    EXPECT_EQ(osNet_Recv(fds[0], buf, sizeof(buf), &n), MOS_RC__CLOSED);
    close(fds[0]);
}

TEST(MosNet, IoEventPipeFallbackNeverSpinsWhenFull)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    osNet_ChangeBlockMode(fds[0], TRUE);
    osNet_ChangeBlockMode(fds[1], TRUE);
    MosNet_IoEvt evt = {};
    evt.bEventFd = FALSE;
    evt.readFD = fds[0];
    evt.writeFD = fds[1];
    // Far more wake-ups than the pipe holds: the ones that find it full are already signalled.
    long cap = fcntl(fds[1], F_GETPIPE_SZ);
    for (long i = 0; i < cap / 8 + 100; i++)
        mosNet_IoEvtSend(&evt);
    mosNet_IoEvtRecv(&evt);
    char c;
    EXPECT_EQ(read(fds[0], &c, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
    mosNet_IoEvtSend(&evt);
    EXPECT_EQ(read(fds[0], &c, 1), 1);
    mosNet_IoEvtDestroy(&evt);
}

TEST(MosNet, SocketOptions)
{
    Pair p(NET_SOCKET_TYPE__IPV4);
    ASSERT_FALSE(p.bSkip);
    SOCKET s = p.client;
    osNet_SetSockOpt_KeepAlive(s);
    EXPECT_EQ(mosNet_GetSockOpt(s, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(mosNet_GetSockOpt(s, IPPROTO_TCP, TCP_KEEPIDLE), 1);
    EXPECT_EQ(mosNet_GetSockOpt(s, IPPROTO_TCP, TCP_KEEPCNT), 5);
    EXPECT_EQ(mosNet_GetSockOpt(s, IPPROTO_TCP, TCP_KEEPINTVL), 1);
    osNet_SetSockOpt_NoDelay(s);
    EXPECT_NE(osNet_GetSockOpt_NoDelay(s), 0);
    osNet_SetSockOpt_SndBuf(s, 64 * 1024);
    osNet_SetSockOpt_RcvBuf(s, 64 * 1024);
    EXPECT_GE(osNet_GetSockOpt_SndBuf(s), 64 * 1024);
    EXPECT_GE(osNet_GetSockOpt_RcvBuf(s), 64 * 1024);
    osNet_SetSockOpt_ReuseAddr(s);
    EXPECT_EQ(mosNet_GetSockOpt(s, SOL_SOCKET, SO_REUSEADDR), 1);
    osNet_ResetSockOpt(s, SO_REUSEADDR);
    EXPECT_EQ(mosNet_GetSockOpt(s, SOL_SOCKET, SO_REUSEADDR), 0);
    osNet_SetSockOpt_Linger(s);
    struct linger lg = {};
    socklen_t len = sizeof(lg);
    ASSERT_EQ(getsockopt(s, SOL_SOCKET, SO_LINGER, &lg, &len), 0);
    EXPECT_EQ(lg.l_onoff, 1);
    EXPECT_EQ(lg.l_linger, 0);
    osNet_SetSockOpt_QuickAck(s, 1);
    osNet_SetSockOpt_LoopbackFastPath(s);
    struct tcp_info info;
    osNet_GetSocket_Info(s, &info);
    EXPECT_EQ(info.tcpi_state, TCP_ESTABLISHED);
    EXPECT_EQ(mosNet_GetSockOpt(-1, SOL_SOCKET, SO_TYPE), -1);

    osNet_ChangeBlockMode(s, TRUE);
    EXPECT_TRUE(isNonBlocking(s));
    osNet_ChangeBlockMode(s, FALSE);
    EXPECT_FALSE(isNonBlocking(s));
    EXPECT_TRUE(osNet_BlockSending(s));

    SOCKET s6;
    if (osNet_Socket(&s6, NET_SOCKET_TYPE__IPV6) == MOS_RC__SUCCESS) {
        osNet_SetSockOpt_NoIpv6Only(s6);
        EXPECT_EQ(mosNet_GetSockOpt(s6, IPPROTO_IPV6, IPV6_V6ONLY), 0);
        osNet_Close(s6);
    }
}

TEST(MosNet, HostLookups)
{
    char name[256];
    EXPECT_EQ(mosNet_GetHostName(name, sizeof(name)), MOS_RC__SUCCESS);
    EXPECT_GT(strlen(name), 0u);
    IPV4 ip = 0;
    EXPECT_EQ(osNet_GetHostIPByName("10.1.2.3", &ip), MOS_RC__SUCCESS);
    EXPECT_EQ(ip, inet_addr("10.1.2.3"));
    ip = 0;
    EXPECT_EQ(osNet_GetHostIPByName("localhost", &ip), MOS_RC__SUCCESS);
    EXPECT_EQ(ip, inet_addr("127.0.0.1"));

    // Masks only for addresses the host has, in the order asked.
    const IPV4 ips[] = {inet_addr("192.0.2.254"), inet_addr("127.0.0.1")};
    IPV4 masks[2] = {};
    UINT32 filled = 99;
    EXPECT_EQ(mosNet_GetMaskForAllIPs(ips, 2, masks, &filled), MOS_RC__SUCCESS);
    EXPECT_EQ(filled, 1u);
    EXPECT_EQ(masks[0], inet_addr("255.0.0.0"));
    EXPECT_EQ(mosNet_GetMaskForAllIPs(ips, 0, masks, &filled), MOS_RC__INVALID);
    EXPECT_EQ(mosNet_GetMaskForAllIPs(nullptr, 2, masks, &filled), MOS_RC__INVALID);
}

// Descriptor 0 is an ordinary descriptor; at start the net layer fills closed standard
// descriptors with /dev/null so that sockets never land on them.
static int standardDescriptorsChild(void)
{
    close(0);
    SOCKET fd;
    if (osNet_Socket(&fd, NET_SOCKET_TYPE__IPV4) != MOS_RC__SUCCESS || fd != 0)
        return 1;
    osNet_Close(fd);
    close(1);
    if (mosNetLayer_Create(nullptr) != MOS_RC__SUCCESS)
        return 2;
    struct stat st;
    struct stat devNull;
    if (fstat(0, &st) != 0 || fstat(1, &st) != 0 || stat("/dev/null", &devNull) != 0)
        return 3;
    if (st.st_rdev != devNull.st_rdev || !S_ISCHR(st.st_mode))
        return 4;
    if (osNet_Socket(&fd, NET_SOCKET_TYPE__IPV4) != MOS_RC__SUCCESS || fd <= 2)
        return 5;
    mosNetLayer_Destroy();
    return 0;
}

TEST(MosNetDeathTest, StandardDescriptors)
{
    EXPECT_EXIT(_exit(standardDescriptorsChild()), testing::ExitedWithCode(0), "");
}

TEST(MosNetDeathTest, MisusePanics)
{
    SOCKET fd;
    ASSERT_EQ(osNet_Socket(&fd, NET_SOCKET_TYPE__IPV4), MOS_RC__SUCCESS);
    struct epoll_event ev[1];
    OsNet_EpollFdArr set = {-1, ev};
    mosNet_EpollInit(&set.epollFd);
    mosNet_EpollAddSocket(&set, fd, nullptr);
    NetAddress none = {};
    NetAddress dummy;
    EXPECT_PANIC(mosNet_EpollAddSocket(&set, fd, nullptr), "");
    EXPECT_PANIC(osNet_Close(-1), "");
    EXPECT_PANIC(osNet_ChangeBlockMode(-1, TRUE), "");
    EXPECT_PANIC(mosNet_Connect(fd, &none), "");
    EXPECT_PANIC(mosNet_GetPeerAddress(-1, &dummy), "");
    EXPECT_PANIC(osNet_SetSockOpt_KeepAlive(set.epollFd), "");
    mosNet_EpollRemSocket(&set, fd);
    EXPECT_PANIC(mosNet_EpollRemSocket(&set, fd), "");
    osNet_Close(fd);
    close(set.epollFd);
}
