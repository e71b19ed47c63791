// Network addresses: one IPv4 or IPv6 endpoint (address and TCP port) as a plain value, and its
// packed, port-less form used as the key of address-keyed hash tables. No socket calls here: the
// conversions to and from socket addresses and text live with the socket services.
#pragma once

#include "mos/mos_rc.h"
#include "mos/mos_types.h"

enum NetAddressType : UINT32 {
    NET_ADDRESS_TYPE__NONE = 0,
    NET_ADDRESS_TYPE__IPV4 = 1,
    NET_ADDRESS_TYPE__IPV6 = 2,
};

enum NetSocketType : UINT32 {
    NET_SOCKET_TYPE__NONE = 0,
    NET_SOCKET_TYPE__IPV4 = 1,
    NET_SOCKET_TYPE__IPV6 = 2,
    NET_SOCKET_TYPE__LAST = 3,
};

// IPv4 exactly as sin_addr holds it (network byte order); IPv6 as sin6_addr.
typedef UINT32 IPV4;
typedef UINT8 IPV6[16];
typedef UINT16 Port;

#define NET_ADDRESS__IPV4_LEN 4u
#define NET_ADDRESS__IPV6_LEN 16u

union NetAddressInner {
    IPV4 ipv4Addr;
    IPV6 ipv6Addr;
};

struct NetAddress {
    NetAddressInner addr;
    NetAddressType type;
    Port port; // host byte order
};

struct __attribute__((packed)) PackedNetAddress {
    NetAddressInner addr;
    UINT8 type; // a NetAddressType
};

static_assert(sizeof(NetAddressInner) == 16);
static_assert(sizeof(NetAddress) == 24);
static_assert(offsetof(NetAddress, type) == 16 && offsetof(NetAddress, port) == 20);
static_assert(sizeof(PackedNetAddress) == 17 && offsetof(PackedNetAddress, type) == 16);

void netAddress_Init(NetAddress *pAddr);
Mos_RC netAddress_BuildFromIpv4(NetAddress *pAddr, IPV4 ipv4, Port port);
Mos_RC netAddress_BuildFromIpv6(NetAddress *pAddr, const UINT8 *pIpv6, Port port);
Mos_RC netAddress_BuildAnyAddr(NetAddress *pAddr, NetAddressType type, Port port);
NetAddress *netAddress_BuildFromPacked(NetAddress *pAddr, const PackedNetAddress *pPacked, Port port);
PackedNetAddress *netAddress_GetPacked(const NetAddress *pAddr, PackedNetAddress *pPacked);
Mos_RC packedNetAddress_BuildFromIpv4(PackedNetAddress *pPacked, IPV4 ipv4);
Mos_RC packedNetAddress_BuildFromIpv6(PackedNetAddress *pPacked, const UINT8 *pIpv6);

void netAddress_SetPort(NetAddress *pAddr, Port port);
Port netAddress_GetPort(const NetAddress *pAddr);
NetAddressType netAddress_GetType(const NetAddress *pAddr);
Port netAddress_GetPortInNetOrder(const NetAddress *pAddr);
IPV4 netAddress_GetIpv4(const NetAddress *pAddr);
const UINT8 *netAddress_GetIpv6(const NetAddress *pAddr);
const NetAddressInner *netAddress_GetInnerAddr(const NetAddress *pAddr);
UINT32 netAddress_GetInnerAddrLen(const NetAddress *pAddr);
UINT32 netAddress_GetAddrLen(NetAddressType type);

BOOL netAddress_IsIPv4MappedIpv6Addr(const NetAddress *pAddr);
const IPV4 *netAddress_GetInnerIPv4MappedAddr(const NetAddress *pAddr);
BOOL netAddress_IsValidAddr(const NetAddress *pAddr);
BOOL netAddress_IsValid(const NetAddress *pAddr);
BOOL netAddress_IsLocalHost(const NetAddress *pAddr);
BOOL netAddress_IsEqual(const NetAddress *pAddr1, const NetAddress *pAddr2);
BOOL netAddress_IsSimilar(const NetAddress *pAddr1, const NetAddress *pAddr2);

// A zero entry ends the list: it and every later packed entry become empty (type NONE).
void netAddress_ConvertIPV4ArrToPackedArray(const IPV4 *pIpv4Arr, UINT32 ipv4ArrSize, PackedNetAddress *pPackedArr,
                                            UINT32 packedArrSize);

// Callbacks of an address-keyed MosHash: the key is a pointer to a PackedNetAddress. An address
// and its IPv4-mapped IPv6 form share a bucket and compare equal.
UINT32 packedNetAddress_HashFunc(UINT64 key, UINT64 numOfBuckets);
BOOL packedNetAddress_CompareFunc(UINT64 recordKey, UINT64 key, UINT64 hashingMethodParm);

// Text of an address (formatting lives with the socket services).
#define NET_ADDRESS_STRING_LEN 64
#define NET_ADDRESS_STRING__INVALID "INVALID"
Mos_RC packedNetAddress_ToStrCopy(const PackedNetAddress *pPacked, char *pBuf);

int netAddress_SocketTypeToAddressFamily(NetSocketType sockType);
NetSocketType netAddress_AddressFamilyToSocketType(int family);
NetSocketType netAddress_AddressTypeToSocketType(NetAddressType type);
NetAddressType netAddress_SocketTypeToAddressType(NetSocketType sockType);
int netAddress_AddressTypeToAddressFamily(NetAddressType type);
