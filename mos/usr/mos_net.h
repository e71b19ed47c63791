// TCP socket services: a thin synchronous layer over the socket interface. Failures that depend on
// the peer or the network are return codes; failures that only misuse can cause (options, flags,
// closing, epoll registration) are panics.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include "mos/mos_net_address.h"
#include "mos/mos_rc.h"
#include "mos/mos_types.h"
#include "mos/usr/linux/mos_net.h"

#define MOS_NET__LISTEN_BACKLOG 128
#define MOS_NET__BIND_ATTEMPTS 20
#define MOS_NET__BIND_RETRY_SLEEP_MS 100
#define MOS_NET__GAI_ATTEMPTS 3

// Addresses and text.
Mos_RC NetAddress_ToSockAddr(const NetAddress *pAddr, struct sockaddr_storage *pSockAddr, socklen_t *pLen,
                             BOOL bVerify);
BOOL mosNet_GetAddressFromSockaddr(const struct sockaddr *pSockAddr, NetAddress *pAddr);
Mos_RC netAddress_BuildFromString(NetAddress *pAddr, const char *pStr, Port port);
Mos_RC netAddress_BuildFromNameString(NetAddress *pAddr, const char *pStr, Port port);
Mos_RC packedNetAddress_BuildFromString(PackedNetAddress *pPacked, const char *pStr);
Mos_RC packedNetAddress_BuildFromNameString(PackedNetAddress *pPacked, const char *pStr);
// An IPv4-mapped IPv6 address prints as IPv4 unless bForceOwnFamily is set.
Mos_RC netAddress_ToStrCopyBuf(const NetAddress *pAddr, char *pBuf, UINT32 len, BOOL bForceOwnFamily);
Mos_RC netAddress_ToStrCopy(const NetAddress *pAddr, char *pBuf /* NET_ADDRESS_STRING_LEN bytes */);
// Into a buffer of the calling OS thread, overwritten by its next call.
const char *netAddress_ToStr(const NetAddress *pAddr);
const char *netAddress_ToActualStr(const NetAddress *pAddr);
Mos_RC netAddress_BuildIpListener(NetAddressType type, NetAddress *pAddr, Port port);
BOOL mosNet_GetPeerAddress(SOCKET socketFd, NetAddress *pAddr);
BOOL mosNet_GetMyAddress(SOCKET socketFd, NetAddress *pAddr);
Mos_RC mosNet_GetHostName(char *pBuf, UINT32 size);
Mos_RC osNet_GetHostIPByName(const char *pName, IPV4 *pIpv4);
Mos_RC mosNet_GetMaskForAllIPs(const IPV4 *pIps, UINT32 count, IPV4 *pMasks, UINT32 *pNumFilled);

// Socket life and options.
Mos_RC osNet_Socket(SOCKET *pSocket, NetSocketType sockType);
BOOL osNet_Bind(SOCKET socketFd, Port port, NetSocketType sockType);
BOOL osNet_Listen(SOCKET socketFd);
SOCKET osNet_Accept(SOCKET socketFd);
Mos_RC mosNet_Connect(SOCKET socketFd, const NetAddress *pAddr);
// Connects a blocking socket; with a time limit, success means the connection was established
// (the socket's pending error is 0), not merely that the socket became writable.
BOOL osNet_BlockConnect(SOCKET socketFd, const NetAddress *pAddr, UINT32 milliseconds);
BOOL osNet_BlockSending(SOCKET socketFd);
void osNet_Shutdown(SOCKET socketFd);
void osNet_Close(SOCKET socketFd);
void osNet_SetSockOpt(SOCKET socketFd, int level, int option);
void osNet_ResetSockOpt(SOCKET socketFd, int option);
int mosNet_GetSockOpt(SOCKET socketFd, int level, int option);
void osNet_SetSockOpt_ReuseAddr(SOCKET socketFd);
void osNet_SetSockOpt_Linger(SOCKET socketFd);
void osNet_SetSockOpt_NoDelay(SOCKET socketFd);
int osNet_GetSockOpt_NoDelay(SOCKET socketFd);
void osNet_SetSockOpt_SndBuf(SOCKET socketFd, int bytes);
void osNet_SetSockOpt_RcvBuf(SOCKET socketFd, int bytes);
int osNet_GetSockOpt_SndBuf(SOCKET socketFd);
int osNet_GetSockOpt_RcvBuf(SOCKET socketFd);
void osNet_SetSockOpt_NoIpv6Only(SOCKET socketFd);

// Full transfers for blocking sockets.
Mos_RC osNet_SendFull(SOCKET socketFd, const void *pData, size_t size);
Mos_RC osNet_RcvFull(SOCKET socketFd, void *pBuf, size_t size);
