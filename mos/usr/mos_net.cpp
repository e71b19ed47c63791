#include "mos/usr/mos_net.h"

#include <algorithm>
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "mos/mos_diag_counters.h"
#include "mos/mos_utils_text.h"
#include "mos/mos_time.h"

namespace {

Mos_RC buildAddrFromString(void *pTarget, const char *pStr, Port port, BOOL bPacked, BOOL bResolveNames)
{
    if (pTarget == nullptr)
        return MOS_RC__INVALID;
    if (bPacked)
        memset(pTarget, 0, sizeof(PackedNetAddress));
    else
        netAddress_Init(static_cast<NetAddress *>(pTarget));
    if (pStr == nullptr)
        return MOS_RC__INVALID;
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ALL | (bResolveNames ? 0 : AI_NUMERICHOST);

    struct addrinfo *pRes = nullptr;
    int err = 0;
    for (int retryCount = 0; retryCount < MOS_NET__GAI_ATTEMPTS; retryCount++) {
        err = getaddrinfo(pStr, nullptr, &hints, &pRes);
        if (err == 0)
            break;
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Failed to get address info for host(%s) due to %s. retryCount(%d)",
                  pStr, gai_strerror(err), retryCount);
        pRes = nullptr;
        if (err != EAI_AGAIN)
            break;
    }

    Mos_RC rc = MOS_RC__INVALID;
    if (err == 0 && pRes != nullptr) {
        if (pRes->ai_family == AF_INET) {
            const auto *pSin = reinterpret_cast<const struct sockaddr_in *>(pRes->ai_addr);
            rc = bPacked ? packedNetAddress_BuildFromIpv4(static_cast<PackedNetAddress *>(pTarget),
                                                          pSin->sin_addr.s_addr)
                         : netAddress_BuildFromIpv4(static_cast<NetAddress *>(pTarget), pSin->sin_addr.s_addr, port);
        } else if (pRes->ai_family == AF_INET6) {
            const auto *pSin6 = reinterpret_cast<const struct sockaddr_in6 *>(pRes->ai_addr);
            const UINT8 *pBytes = pSin6->sin6_addr.s6_addr;
            if (bPacked) {
                rc = packedNetAddress_BuildFromIpv6(static_cast<PackedNetAddress *>(pTarget), pBytes);
            } else {
                NetAddress *pAddr = static_cast<NetAddress *>(pTarget);
                netAddress_BuildFromIpv6(pAddr, pBytes, port);
                // "::" is the wildcard, never an endpoint.
                rc = netAddress_IsValidAddr(pAddr) ? MOS_RC__SUCCESS : MOS_RC__INVALID;
                if (rc != MOS_RC__SUCCESS)
                    netAddress_Init(pAddr);
            }
        }
    }
    if (pRes != nullptr)
        freeaddrinfo(pRes);
    return rc;
}

BOOL getSockAddress(SOCKET socketFd, NetAddress *pAddr, BOOL bPeer)
{
    MOS_ASSERT(pAddr != nullptr);
    MOS_ASSERT(socketFd != MOS_NET__INVALID_SOCKET);
    struct sockaddr_in6 sa;
    socklen_t len = sizeof(sa);
    memset(&sa, 0, sizeof(sa));
    const char *pWhat = bPeer ? "peer" : "local";
    int res = bPeer ? getpeername(socketFd, reinterpret_cast<struct sockaddr *>(&sa), &len)
                    : getsockname(socketFd, reinterpret_cast<struct sockaddr *>(&sa), &len);
    if (res != 0) {
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "WARNING: Failed to retrieve socket %s address for socket %u with Errno %d",
                  pWhat, (unsigned)socketFd, errno);
        return FALSE;
    }
    if (!mosNet_GetAddressFromSockaddr(reinterpret_cast<struct sockaddr *>(&sa), pAddr)) {
        MOS_ERROR(MOS_COMP_NET, "Failed to retrieve socket %s address for socket %u", pWhat, (unsigned)socketFd);
        return FALSE;
    }
    return TRUE;
}

INT64 monotonicMillis(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (INT64)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

} // namespace

Mos_RC NetAddress_ToSockAddr(const NetAddress *pAddr, struct sockaddr_storage *pSockAddr, socklen_t *pLen,
                             BOOL bVerify)
{
    if (pAddr == nullptr || pSockAddr == nullptr || pLen == nullptr)
        return MOS_RC__INVALID;
    if (bVerify && !netAddress_IsValid(pAddr)) {
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "ERROR: Invalid address (port %u)", (unsigned)pAddr->port);
        return MOS_RC__INVALID;
    }
    memset(pSockAddr, 0, sizeof(*pSockAddr));
    *pLen = 0;
    switch (pAddr->type) {
    case NET_ADDRESS_TYPE__IPV4: {
        auto *pSin = reinterpret_cast<struct sockaddr_in *>(pSockAddr);
        pSin->sin_family = AF_INET;
        pSin->sin_port = htons(pAddr->port);
        pSin->sin_addr.s_addr = pAddr->addr.ipv4Addr;
        *pLen = sizeof(struct sockaddr_in);
        return MOS_RC__SUCCESS;
    }
    case NET_ADDRESS_TYPE__IPV6: {
        auto *pSin6 = reinterpret_cast<struct sockaddr_in6 *>(pSockAddr);
        pSin6->sin6_family = AF_INET6;
        pSin6->sin6_port = htons(pAddr->port);
        memcpy(pSin6->sin6_addr.s6_addr, pAddr->addr.ipv6Addr, NET_ADDRESS__IPV6_LEN);
        *pLen = sizeof(struct sockaddr_in6);
        return MOS_RC__SUCCESS;
    }
    default:
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Unexpected socket type %u", (unsigned)pAddr->type);
        return MOS_RC__INVALID;
    }
}

BOOL mosNet_GetAddressFromSockaddr(const struct sockaddr *pSockAddr, NetAddress *pAddr)
{
    MOS_ASSERT(pSockAddr != nullptr);
    switch (pSockAddr->sa_family) {
    case AF_INET: {
        const auto *pSin = reinterpret_cast<const struct sockaddr_in *>(pSockAddr);
        return netAddress_BuildFromIpv4(pAddr, pSin->sin_addr.s_addr, ntohs(pSin->sin_port)) == MOS_RC__SUCCESS;
    }
    case AF_INET6: {
        const auto *pSin6 = reinterpret_cast<const struct sockaddr_in6 *>(pSockAddr);
        return netAddress_BuildFromIpv6(pAddr, pSin6->sin6_addr.s6_addr, ntohs(pSin6->sin6_port)) == MOS_RC__SUCCESS;
    }
    default:
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "Unsupported address family %u", (unsigned)pSockAddr->sa_family);
        return FALSE;
    }
}

Mos_RC netAddress_BuildFromString(NetAddress *pAddr, const char *pStr, Port port)
{
    return buildAddrFromString(pAddr, pStr, port, FALSE, FALSE);
}

Mos_RC netAddress_BuildFromNameString(NetAddress *pAddr, const char *pStr, Port port)
{
    return buildAddrFromString(pAddr, pStr, port, FALSE, TRUE);
}

Mos_RC packedNetAddress_BuildFromString(PackedNetAddress *pPacked, const char *pStr)
{
    return buildAddrFromString(pPacked, pStr, 0, TRUE, FALSE);
}

Mos_RC packedNetAddress_BuildFromNameString(PackedNetAddress *pPacked, const char *pStr)
{
    return buildAddrFromString(pPacked, pStr, 0, TRUE, TRUE);
}

Mos_RC netAddress_ToStrCopyBuf(const NetAddress *pAddr, char *pBuf, UINT32 len, BOOL bForceOwnFamily)
{
    if (pBuf == nullptr || len == 0)
        return MOS_RC__INVALID;
    if (!netAddress_IsValidAddr(pAddr)) {
        snprintf(pBuf, len, "%s", NET_ADDRESS_STRING__INVALID);
        return MOS_RC__INVALID;
    }
    int family = AF_INET6;
    const void *pSrc = pAddr->addr.ipv6Addr;
    if (pAddr->type == NET_ADDRESS_TYPE__IPV4) {
        family = AF_INET;
        pSrc = &pAddr->addr.ipv4Addr;
    } else if (!bForceOwnFamily && netAddress_IsIPv4MappedIpv6Addr(pAddr)) {
        family = AF_INET;
        pSrc = pAddr->addr.ipv6Addr + 12;
    }
    if (inet_ntop(family, pSrc, pBuf, len) == nullptr) {
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "ERROR: Failed to translate network address with error %d\n", errno);
        snprintf(pBuf, len, "%s", NET_ADDRESS_STRING__INVALID);
        return MOS_RC__ERROR;
    }
    pBuf[len - 1] = '\0';
    return MOS_RC__SUCCESS;
}

Mos_RC netAddress_ToStrCopy(const NetAddress *pAddr, char *pBuf)
{
    return netAddress_ToStrCopyBuf(pAddr, pBuf, NET_ADDRESS_STRING_LEN, FALSE);
}

Mos_RC packedNetAddress_ToStrCopy(const PackedNetAddress *pPacked, char *pBuf)
{
    NetAddress addr;
    netAddress_BuildFromPacked(&addr, pPacked, 0);
    return netAddress_ToStrCopy(&addr, pBuf);
}

// Reached only through these functions so that a caller never holds the address of another
// thread's buffer.
static __attribute__((noinline)) char *netAddress_ThreadBuf(void)
{
    static thread_local char buf[NET_ADDRESS_STRING_LEN];
    return buf;
}

const char *netAddress_ToStr(const NetAddress *pAddr)
{
    char *pBuf = netAddress_ThreadBuf();
    netAddress_ToStrCopyBuf(pAddr, pBuf, NET_ADDRESS_STRING_LEN, FALSE);
    return pBuf;
}

const char *netAddress_ToActualStr(const NetAddress *pAddr)
{
    char *pBuf = netAddress_ThreadBuf();
    if (netAddress_ToStrCopyBuf(pAddr, pBuf, NET_ADDRESS_STRING_LEN, TRUE) != MOS_RC__SUCCESS)
        return nullptr;
    return pBuf;
}

Mos_RC netAddress_BuildIpListener(NetAddressType type, NetAddress *pAddr, Port port)
{
    switch (type) {
    case NET_ADDRESS_TYPE__IPV4:
        return netAddress_BuildFromString(pAddr, "127.0.0.1", port);
    case NET_ADDRESS_TYPE__IPV6:
        return netAddress_BuildFromString(pAddr, "::1", port);
    default:
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "ERROR: Invalid address type %u", (unsigned)type);
        return MOS_RC__INVALID;
    }
}

BOOL mosNet_GetPeerAddress(SOCKET socketFd, NetAddress *pAddr)
{
    return getSockAddress(socketFd, pAddr, TRUE);
}

BOOL mosNet_GetMyAddress(SOCKET socketFd, NetAddress *pAddr)
{
    return getSockAddress(socketFd, pAddr, FALSE);
}

Mos_RC mosNet_GetHostName(char *pBuf, UINT32 size)
{
    if (pBuf == nullptr || size == 0)
        return MOS_RC__ERROR;
    if (gethostname(pBuf, size) != 0)
        return MOS_RC__ERROR;
    pBuf[size - 1] = '\0';
    return MOS_RC__SUCCESS;
}

Mos_RC osNet_GetHostIPByName(const char *pName, IPV4 *pIpv4)
{
    if (pName == nullptr || pIpv4 == nullptr)
        return MOS_RC__INVALID;
    struct in_addr dotted;
    if (inet_pton(AF_INET, pName, &dotted) == 1) {
        *pIpv4 = inet_addr(pName);
        return MOS_RC__SUCCESS;
    }
    struct hostent he;
    struct hostent *pResult = nullptr;
    int hErr = 0;
    size_t bufLen = 1024;
    char *pWork = static_cast<char *>(malloc(bufLen));
    if (pWork == nullptr)
        return MOS_RC__ERROR;
    int rc = gethostbyname_r(pName, &he, pWork, bufLen, &pResult, &hErr);
    if (rc == ERANGE) {
        free(pWork);
        bufLen = 2048;
        pWork = static_cast<char *>(malloc(bufLen));
        if (pWork == nullptr)
            return MOS_RC__ERROR;
        rc = gethostbyname_r(pName, &he, pWork, bufLen, &pResult, &hErr);
    }
    Mos_RC result = MOS_RC__ERROR;
    if (rc == 0 && pResult != nullptr && pResult->h_addrtype == AF_INET && pResult->h_addr_list[0] != nullptr) {
        memcpy(pIpv4, pResult->h_addr_list[0], sizeof(*pIpv4));
        result = MOS_RC__SUCCESS;
    } else {
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "gethostbyname_r failed (host=%s rc=%d error=%d)", pName, rc, hErr);
    }
    free(pWork);
    return result;
}

Mos_RC mosNet_GetMaskForAllIPs(const IPV4 *pIps, UINT32 count, IPV4 *pMasks, UINT32 *pNumFilled)
{
    if (pIps == nullptr || pMasks == nullptr || pNumFilled == nullptr || count == 0)
        return MOS_RC__INVALID;
    *pNumFilled = 0;
    struct ifaddrs *pList = nullptr;
    if (getifaddrs(&pList) != 0)
        return MOS_RC__ERROR;
    for (UINT32 i = 0; i < count; i++) {
        for (struct ifaddrs *pIf = pList; pIf != nullptr; pIf = pIf->ifa_next) {
            if (pIf->ifa_addr == nullptr || pIf->ifa_addr->sa_family != AF_INET || pIf->ifa_netmask == nullptr)
                continue;
            if (reinterpret_cast<const struct sockaddr_in *>(pIf->ifa_addr)->sin_addr.s_addr != pIps[i])
                continue;
            pMasks[(*pNumFilled)++] = reinterpret_cast<const struct sockaddr_in *>(pIf->ifa_netmask)->sin_addr.s_addr;
            break;
        }
    }
    freeifaddrs(pList);
    return MOS_RC__SUCCESS;
}

Mos_RC osNet_Socket(SOCKET *pSocket, NetSocketType sockType)
{
    MOS_ASSERT(pSocket != nullptr);
    *pSocket = MOS_NET__INVALID_SOCKET;
    SOCKET fd = socket(netAddress_SocketTypeToAddressFamily(sockType), SOCK_STREAM, 0);
    if (fd == -1) {
        int err = errno;
        if (err == EPROTONOSUPPORT || err == EAFNOSUPPORT) {
            MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "WARNING: Socket type %u is not supported (errno 0x%x)",
                      (unsigned)sockType, (unsigned)err);
            MOS_DIAG_COUNT(NET_SOCK_TYPE_NOT_SUPPORTED);
            return MOS_RC__NOT_SUPPORTED;
        }
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "ERROR: Failed to create a socket with errno(0x%x)", (unsigned)err);
        return MOS_RC__ERROR;
    }
    *pSocket = fd;
    return MOS_RC__SUCCESS;
}

BOOL osNet_Bind(SOCKET socketFd, Port port, NetSocketType sockType)
{
    NetAddress addr;
    Mos_RC rc = netAddress_BuildAnyAddr(&addr, netAddress_SocketTypeToAddressType(sockType), port);
    MOS_ASSERT_SUCCESS(rc);
    struct sockaddr_storage sa;
    socklen_t len;
    rc = NetAddress_ToSockAddr(&addr, &sa, &len, FALSE);
    MOS_ASSERT_SUCCESS(rc);
    for (int iter = 1;; iter++) {
        if (bind(socketFd, reinterpret_cast<struct sockaddr *>(&sa), len) == 0)
            return TRUE;
        int err = errno;
        if (err != EADDRINUSE) {
            MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "WARNING: Bind error %u", (unsigned)err);
            return FALSE;
        }
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "Errno %d. Iter %d\n", err, iter);
        if (iter == MOS_NET__BIND_ATTEMPTS)
            break;
        mos_NanoSleep((UINT64)MOS_NET__BIND_RETRY_SLEEP_MS * 1000000ull);
    }
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "WARNING: Binding port %u failed, loop ended", (unsigned)port);
    return FALSE;
}

BOOL osNet_Listen(SOCKET socketFd)
{
    MOS_ASSERT(listen(socketFd, MOS_NET__LISTEN_BACKLOG) != -1);
    return TRUE;
}

SOCKET osNet_Accept(SOCKET socketFd)
{
    return accept(socketFd, nullptr, nullptr);
}

Mos_RC mosNet_Connect(SOCKET socketFd, const NetAddress *pAddr)
{
    MOS_ASSERT(pAddr != nullptr);
    if (pAddr->type != NET_ADDRESS_TYPE__IPV4 && pAddr->type != NET_ADDRESS_TYPE__IPV6) {
        MOS_ERROR(MOS_COMP_NET, "Unexpected socket type %u", (unsigned)pAddr->type);
        MOS_UNREACHABLE("");
    }
    struct sockaddr_storage sa;
    socklen_t len;
    Mos_RC rc = NetAddress_ToSockAddr(pAddr, &sa, &len, TRUE);
    if (rc != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Failed to build the socket address socket %d rc %u ", socketFd,
                  (unsigned)rc);
        return rc;
    }
    if (connect(socketFd, reinterpret_cast<struct sockaddr *>(&sa), len) == 0)
        return MOS_RC__SUCCESS;
    int err = errno;
    if (err == EAGAIN || err == EINPROGRESS)
        return MOS_RC__PENDING;
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "Socket connecting error %d %d\n", socketFd, err);
    return MOS_RC__ERROR;
}

BOOL osNet_BlockConnect(SOCKET socketFd, const NetAddress *pAddr, UINT32 milliseconds)
{
    if (milliseconds == 0)
        return mosNet_Connect(socketFd, pAddr) == MOS_RC__SUCCESS;

    osNet_ChangeBlockMode(socketFd, TRUE);
    BOOL bConnected = FALSE;
    Mos_RC rc = mosNet_Connect(socketFd, pAddr);
    if (rc == MOS_RC__SUCCESS) {
        bConnected = TRUE;
    } else if (rc == MOS_RC__PENDING) {
        // poll, not select: descriptors above FD_SETSIZE are common in this process.
        const INT64 deadline = monotonicMillis() + milliseconds;
        struct pollfd pfd = {socketFd, POLLOUT, 0};
        int ready;
        for (;;) {
            INT64 left = deadline - monotonicMillis();
            ready = poll(&pfd, 1, left > 0 ? (int)std::min<INT64>(left, INT32_MAX) : 0);
            if (ready >= 0 || errno != EINTR)
                break;
        }
        MOS_ASSERT(ready != -1);
        if (ready > 0) {
            // Writable also means "the attempt failed": only a zero pending error is a connection.
            int soErr = -1;
            socklen_t len = sizeof(soErr);
            if (getsockopt(socketFd, SOL_SOCKET, SO_ERROR, &soErr, &len) == 0 && soErr == 0)
                bConnected = TRUE;
            else
                MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "Socket connecting error %d %d\n", socketFd, soErr);
        }
    }
    osNet_ChangeBlockMode(socketFd, FALSE);
    return bConnected;
}

BOOL osNet_BlockSending(SOCKET socketFd)
{
    return shutdown(socketFd, SHUT_WR) == 0;
}

void osNet_Shutdown(SOCKET socketFd)
{
    if (shutdown(socketFd, SHUT_RDWR) != 0)
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "shutdown failed for socket %d with err %u\n", socketFd,
                  (unsigned)errno);
}

void osNet_Close(SOCKET socketFd)
{
    // EINTR still releases the descriptor on Linux; retrying could close a reused one.
    MOS_ASSERT(close(socketFd) == 0 || errno == EINTR);
}

void osNet_SetSockOpt(SOCKET socketFd, int level, int option)
{
    int on = 1;
    MOS_ASSERT(setsockopt(socketFd, level, option, (char *)&on, sizeof(on)) != -1);
}

void osNet_ResetSockOpt(SOCKET socketFd, int option)
{
    int off = 0;
    MOS_ASSERT(setsockopt(socketFd, SOL_SOCKET, option, (char *)&off, sizeof(off)) != -1);
}

int mosNet_GetSockOpt(SOCKET socketFd, int level, int option)
{
    int value = 0;
    socklen_t len = sizeof(value);
    if (getsockopt(socketFd, level, option, &value, &len) != 0)
        return -1;
    return value;
}

void osNet_SetSockOpt_ReuseAddr(SOCKET socketFd)
{
    osNet_SetSockOpt(socketFd, SOL_SOCKET, SO_REUSEADDR);
}

void osNet_SetSockOpt_Linger(SOCKET socketFd)
{
    struct linger so_linger = {1, 0};
    MOS_ASSERT(setsockopt(socketFd, SOL_SOCKET, SO_LINGER, (char *)&so_linger, sizeof(so_linger)) != -1);
}

void osNet_SetSockOpt_NoDelay(SOCKET socketFd)
{
    osNet_SetSockOpt(socketFd, IPPROTO_TCP, TCP_NODELAY);
}

int osNet_GetSockOpt_NoDelay(SOCKET socketFd)
{
    return mosNet_GetSockOpt(socketFd, IPPROTO_TCP, TCP_NODELAY);
}

static void setBufSize(SOCKET socketFd, int option, int bytes)
{
    const int ret = setsockopt(socketFd, SOL_SOCKET, option, (char *)&bytes, sizeof(bytes));
    if (ret == -1)
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "ERROR: Failed socket %u with err %d", (unsigned)socketFd, errno);
    MOS_ASSERT_WITH_DESC(ret != -1, "setting a socket's buffer size failed");
}

void osNet_SetSockOpt_SndBuf(SOCKET socketFd, int bytes)
{
    setBufSize(socketFd, SO_SNDBUF, bytes);
}

void osNet_SetSockOpt_RcvBuf(SOCKET socketFd, int bytes)
{
    setBufSize(socketFd, SO_RCVBUF, bytes);
}

int osNet_GetSockOpt_SndBuf(SOCKET socketFd)
{
    return mosNet_GetSockOpt(socketFd, SOL_SOCKET, SO_SNDBUF);
}

int osNet_GetSockOpt_RcvBuf(SOCKET socketFd)
{
    return mosNet_GetSockOpt(socketFd, SOL_SOCKET, SO_RCVBUF);
}

void osNet_SetSockOpt_NoIpv6Only(SOCKET socketFd)
{
    int off = 0;
    MOS_ASSERT(setsockopt(socketFd, IPPROTO_IPV6, IPV6_V6ONLY, (char *)&off, sizeof(off)) != -1);
}

Mos_RC osNet_SendFull(SOCKET socketFd, const void *pData, size_t size)
{
    const char *p = static_cast<const char *>(pData);
    while (size > 0) {
        size_t bytes = 0;
        Mos_RC rc = osNet_Send(socketFd, p, size, &bytes);
        if (rc == MOS_RC__NOT_READY)
            continue;
        if (rc != MOS_RC__SUCCESS)
            return MOS_RC__ERROR;
        p += bytes;
        size -= bytes;
    }
    return MOS_RC__SUCCESS;
}

Mos_RC osNet_RcvFull(SOCKET socketFd, void *pBuf, size_t size)
{
    char *p = static_cast<char *>(pBuf);
    while (size > 0) {
        size_t bytes = 0;
        Mos_RC rc = osNet_Recv(socketFd, p, size, &bytes);
        if (rc != MOS_RC__SUCCESS || bytes == 0)
            return MOS_RC__ERROR;
        p += bytes;
        size -= bytes;
    }
    return MOS_RC__SUCCESS;
}
