#include "mos/mos_net_address.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"

namespace {

constexpr UINT8 kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
constexpr UINT8 kIpv6Loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

BOOL isMappedBytes(const UINT8 *pBytes)
{
    return memcmp(pBytes, kMappedPrefix, sizeof(kMappedPrefix)) == 0;
}

IPV4 embeddedIpv4(const UINT8 *pBytes)
{
    IPV4 v;
    memcpy(&v, pBytes + 12, sizeof(v));
    return v;
}

BOOL allZero(const UINT8 *pBytes, UINT32 len)
{
    for (UINT32 i = 0; i < len; i++)
        if (pBytes[i] != 0)
            return FALSE;
    return TRUE;
}

[[noreturn]] void unexpected(const char *pWhat, long value)
{
    MOS_ERROR(MOS_COMP_NET, "Unexpected %s %ld", pWhat, value);
    MOS_UNREACHABLE("");
}

} // namespace

void netAddress_Init(NetAddress *pAddr)
{
    MOS_ASSERT(pAddr != nullptr);
    memset(pAddr, 0, sizeof(*pAddr));
}

Mos_RC netAddress_BuildFromIpv4(NetAddress *pAddr, IPV4 ipv4, Port port)
{
    netAddress_Init(pAddr);
    if (ipv4 == 0)
        return MOS_RC__INVALID;
    pAddr->type = NET_ADDRESS_TYPE__IPV4;
    pAddr->addr.ipv4Addr = ipv4;
    pAddr->port = port;
    return MOS_RC__SUCCESS;
}

Mos_RC netAddress_BuildFromIpv6(NetAddress *pAddr, const UINT8 *pIpv6, Port port)
{
    MOS_ASSERT(pIpv6 != nullptr);
    netAddress_Init(pAddr);
    pAddr->type = NET_ADDRESS_TYPE__IPV6;
    memcpy(pAddr->addr.ipv6Addr, pIpv6, NET_ADDRESS__IPV6_LEN);
    pAddr->port = port;
    return MOS_RC__SUCCESS;
}

Mos_RC netAddress_BuildAnyAddr(NetAddress *pAddr, NetAddressType type, Port port)
{
    netAddress_Init(pAddr);
    if (type != NET_ADDRESS_TYPE__IPV4 && type != NET_ADDRESS_TYPE__IPV6) {
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "WARNING: Unexpected address type %u", (unsigned)type);
        mosError_Do(MOS_COMP_NET, MOS_FREQ_LOW, "%s:%05u: WARNING: Unexpected address type %u\n", __func__,
                    (unsigned)__LINE__, (unsigned)type);
        return MOS_RC__INVALID;
    }
    // The wildcard of either family is all-zero address bytes.
    pAddr->type = type;
    pAddr->port = port;
    return MOS_RC__SUCCESS;
}

NetAddress *netAddress_BuildFromPacked(NetAddress *pAddr, const PackedNetAddress *pPacked, Port port)
{
    MOS_ASSERT(pPacked != nullptr);
    netAddress_Init(pAddr);
    switch (pPacked->type) {
    case NET_ADDRESS_TYPE__NONE:
        break;
    case NET_ADDRESS_TYPE__IPV4:
    case NET_ADDRESS_TYPE__IPV6:
        pAddr->type = (NetAddressType)pPacked->type;
        memcpy(&pAddr->addr, &pPacked->addr, netAddress_GetAddrLen(pAddr->type));
        break;
    default:
        unexpected("address type", pPacked->type);
    }
    pAddr->port = port;
    return pAddr;
}

PackedNetAddress *netAddress_GetPacked(const NetAddress *pAddr, PackedNetAddress *pPacked)
{
    MOS_ASSERT(pAddr != nullptr && pPacked != nullptr);
    memset(pPacked, 0, sizeof(*pPacked));
    switch (pAddr->type) {
    case NET_ADDRESS_TYPE__NONE:
        break;
    case NET_ADDRESS_TYPE__IPV4:
    case NET_ADDRESS_TYPE__IPV6:
        pPacked->type = (UINT8)pAddr->type;
        memcpy(&pPacked->addr, &pAddr->addr, netAddress_GetAddrLen(pAddr->type));
        break;
    default:
        unexpected("address type", pAddr->type);
    }
    return pPacked;
}

Mos_RC packedNetAddress_BuildFromIpv4(PackedNetAddress *pPacked, IPV4 ipv4)
{
    MOS_ASSERT(pPacked != nullptr);
    memset(pPacked, 0, sizeof(*pPacked));
    if (ipv4 == 0)
        return MOS_RC__INVALID;
    pPacked->type = NET_ADDRESS_TYPE__IPV4;
    memcpy(&pPacked->addr.ipv4Addr, &ipv4, sizeof(ipv4));
    return MOS_RC__SUCCESS;
}

Mos_RC packedNetAddress_BuildFromIpv6(PackedNetAddress *pPacked, const UINT8 *pIpv6)
{
    MOS_ASSERT(pPacked != nullptr && pIpv6 != nullptr);
    memset(pPacked, 0, sizeof(*pPacked));
    if (allZero(pIpv6, NET_ADDRESS__IPV6_LEN))
        return MOS_RC__INVALID;
    pPacked->type = NET_ADDRESS_TYPE__IPV6;
    memcpy(pPacked->addr.ipv6Addr, pIpv6, NET_ADDRESS__IPV6_LEN);
    return MOS_RC__SUCCESS;
}

void netAddress_SetPort(NetAddress *pAddr, Port port)
{
    pAddr->port = port;
}

Port netAddress_GetPort(const NetAddress *pAddr)
{
    return pAddr->port;
}

NetAddressType netAddress_GetType(const NetAddress *pAddr)
{
    return pAddr->type;
}

Port netAddress_GetPortInNetOrder(const NetAddress *pAddr)
{
    return htons(pAddr->port);
}

IPV4 netAddress_GetIpv4(const NetAddress *pAddr)
{
    MOS_ASSERT(NET_ADDRESS_TYPE__IPV4 == netAddress_GetType(pAddr));
    return pAddr->addr.ipv4Addr;
}

const UINT8 *netAddress_GetIpv6(const NetAddress *pAddr)
{
    MOS_ASSERT(NET_ADDRESS_TYPE__IPV6 == netAddress_GetType(pAddr));
    return pAddr->addr.ipv6Addr;
}

const NetAddressInner *netAddress_GetInnerAddr(const NetAddress *pAddr)
{
    return &pAddr->addr;
}

UINT32 netAddress_GetInnerAddrLen(const NetAddress *pAddr)
{
    MOS_UNUSED(pAddr);
    return sizeof(NetAddressInner);
}

UINT32 netAddress_GetAddrLen(NetAddressType type)
{
    switch (type) {
    case NET_ADDRESS_TYPE__IPV4:
        return NET_ADDRESS__IPV4_LEN;
    case NET_ADDRESS_TYPE__IPV6:
        return NET_ADDRESS__IPV6_LEN;
    default:
        unexpected("address type", type);
    }
}

BOOL netAddress_IsIPv4MappedIpv6Addr(const NetAddress *pAddr)
{
    return pAddr->type == NET_ADDRESS_TYPE__IPV6 && isMappedBytes(pAddr->addr.ipv6Addr);
}

const IPV4 *netAddress_GetInnerIPv4MappedAddr(const NetAddress *pAddr)
{
    MOS_ASSERT(netAddress_IsIPv4MappedIpv6Addr(pAddr));
    return reinterpret_cast<const IPV4 *>(pAddr->addr.ipv6Addr + 12);
}

BOOL netAddress_IsValidAddr(const NetAddress *pAddr)
{
    if (pAddr == nullptr)
        return FALSE;
    switch (pAddr->type) {
    case NET_ADDRESS_TYPE__IPV4:
        return pAddr->addr.ipv4Addr != 0;
    case NET_ADDRESS_TYPE__IPV6:
        return !allZero(pAddr->addr.ipv6Addr, NET_ADDRESS__IPV6_LEN);
    default:
        return FALSE;
    }
}

BOOL netAddress_IsValid(const NetAddress *pAddr)
{
    return netAddress_IsValidAddr(pAddr) && pAddr->port != 0;
}

BOOL netAddress_IsLocalHost(const NetAddress *pAddr)
{
    if (!netAddress_IsValidAddr(pAddr))
        return FALSE;
    const IPV4 loop4 = htonl(INADDR_LOOPBACK);
    if (pAddr->type == NET_ADDRESS_TYPE__IPV4)
        return pAddr->addr.ipv4Addr == loop4;
    if (memcmp(pAddr->addr.ipv6Addr, kIpv6Loopback, sizeof(kIpv6Loopback)) == 0)
        return TRUE;
    return isMappedBytes(pAddr->addr.ipv6Addr) && embeddedIpv4(pAddr->addr.ipv6Addr) == loop4;
}

BOOL netAddress_IsEqual(const NetAddress *pAddr1, const NetAddress *pAddr2)
{
    if (pAddr1 == pAddr2)
        return TRUE;
    if (pAddr1 == nullptr || pAddr2 == nullptr)
        return FALSE;
    if (pAddr1->type != pAddr2->type || pAddr1->port != pAddr2->port)
        return FALSE;
    if (pAddr1->type == NET_ADDRESS_TYPE__NONE)
        return TRUE;
    return memcmp(&pAddr1->addr, &pAddr2->addr, netAddress_GetAddrLen(pAddr1->type)) == 0;
}

BOOL netAddress_IsSimilar(const NetAddress *pAddr1, const NetAddress *pAddr2)
{
    if (pAddr1 == pAddr2)
        return TRUE;
    if (pAddr1 == nullptr || pAddr2 == nullptr)
        return FALSE;
    if (pAddr1->type == pAddr2->type) {
        if (pAddr1->type == NET_ADDRESS_TYPE__NONE)
            return FALSE;
        return memcmp(&pAddr1->addr, &pAddr2->addr, netAddress_GetAddrLen(pAddr1->type)) == 0;
    }
    const NetAddress *pV4 = pAddr1->type == NET_ADDRESS_TYPE__IPV4 ? pAddr1 : pAddr2;
    const NetAddress *pV6 = pAddr1->type == NET_ADDRESS_TYPE__IPV4 ? pAddr2 : pAddr1;
    if (pV4->type != NET_ADDRESS_TYPE__IPV4 || !netAddress_IsIPv4MappedIpv6Addr(pV6))
        return FALSE;
    return embeddedIpv4(pV6->addr.ipv6Addr) == pV4->addr.ipv4Addr;
}

void netAddress_ConvertIPV4ArrToPackedArray(const IPV4 *pIpv4Arr, UINT32 ipv4ArrSize, PackedNetAddress *pPackedArr,
                                            UINT32 packedArrSize)
{
    MOS_ASSERT(ipv4ArrSize == packedArrSize);
    UINT32 i = 0;
    for (; i < ipv4ArrSize && pIpv4Arr[i] != 0; i++) {
        NetAddress addr;
        Mos_RC rc = netAddress_BuildFromIpv4(&addr, pIpv4Arr[i], 0);
        if (rc != MOS_RC__SUCCESS) {
            MOS_TRACE(MOS_COMP_OSTREL_TGT, MOS_FREQ_LOW, "ERROR: Failed to translate IP %x in index %u with rc %s",
                      (unsigned)pIpv4Arr[i], (unsigned)i, MOS_RC__GET_STR(rc));
            MOS_ASSERT_SUCCESS(rc);
        }
        netAddress_GetPacked(&addr, &pPackedArr[i]);
    }
    for (; i < packedArrSize; i++)
        memset(&pPackedArr[i], 0, sizeof(pPackedArr[i]));
}

UINT32 packedNetAddress_HashFunc(UINT64 key, UINT64 numOfBuckets)
{
    const PackedNetAddress *pPacked = reinterpret_cast<const PackedNetAddress *>((uintptr_t)key);
    MOS_ASSERT(pPacked != nullptr && numOfBuckets != 0);
    UINT8 bytes[16];
    memcpy(bytes, &pPacked->addr, sizeof(bytes));
    UINT32 value = 0;
    switch (pPacked->type) {
    case NET_ADDRESS_TYPE__IPV4:
        memcpy(&value, bytes, sizeof(value));
        break;
    case NET_ADDRESS_TYPE__IPV6:
        if (isMappedBytes(bytes)) {
            value = embeddedIpv4(bytes);
        } else {
            for (int w = 0; w < 4; w++) {
                UINT32 word;
                memcpy(&word, bytes + 4 * w, sizeof(word));
                value += word;
            }
        }
        break;
    default:
        unexpected("address type", pPacked->type);
    }
    return (UINT32)(value % numOfBuckets);
}

BOOL packedNetAddress_CompareFunc(UINT64 recordKey, UINT64 key, UINT64 hashingMethodParm)
{
    MOS_UNUSED(hashingMethodParm);
    NetAddress a1, a2;
    netAddress_BuildFromPacked(&a1, reinterpret_cast<const PackedNetAddress *>((uintptr_t)recordKey), 0);
    netAddress_BuildFromPacked(&a2, reinterpret_cast<const PackedNetAddress *>((uintptr_t)key), 0);
    return netAddress_IsSimilar(&a1, &a2);
}

int netAddress_SocketTypeToAddressFamily(NetSocketType sockType)
{
    switch (sockType) {
    case NET_SOCKET_TYPE__IPV4:
        return AF_INET;
    case NET_SOCKET_TYPE__IPV6:
        return AF_INET6;
    default:
        MOS_ERROR(MOS_COMP_NET, "Unexpected socket type %d", (int)sockType);
        MOS_UNREACHABLE("");
    }
}

NetSocketType netAddress_AddressFamilyToSocketType(int family)
{
    switch (family) {
    case AF_INET:
        return NET_SOCKET_TYPE__IPV4;
    case AF_INET6:
        return NET_SOCKET_TYPE__IPV6;
    default:
        MOS_ERROR(MOS_COMP_NET, "Unexpected address family %d", family);
        MOS_UNREACHABLE("");
    }
}

NetSocketType netAddress_AddressTypeToSocketType(NetAddressType type)
{
    switch (type) {
    case NET_ADDRESS_TYPE__IPV4:
        return NET_SOCKET_TYPE__IPV4;
    case NET_ADDRESS_TYPE__IPV6:
        return NET_SOCKET_TYPE__IPV6;
    default:
        MOS_ERROR(MOS_COMP_NET, "Unexpected address type %d", (int)type);
        MOS_UNREACHABLE("");
    }
}

NetAddressType netAddress_SocketTypeToAddressType(NetSocketType sockType)
{
    switch (sockType) {
    case NET_SOCKET_TYPE__IPV4:
        return NET_ADDRESS_TYPE__IPV4;
    case NET_SOCKET_TYPE__IPV6:
        return NET_ADDRESS_TYPE__IPV6;
    default:
        MOS_ERROR(MOS_COMP_NET, "Unexpected socket type %d", (int)sockType);
        MOS_UNREACHABLE("");
    }
}

int netAddress_AddressTypeToAddressFamily(NetAddressType type)
{
    switch (type) {
    case NET_ADDRESS_TYPE__IPV4:
        return AF_INET;
    case NET_ADDRESS_TYPE__IPV6:
        return AF_INET6;
    default:
        MOS_ERROR(MOS_COMP_NET, "Unexpected address type %d", (int)type);
        MOS_UNREACHABLE("");
    }
}
