#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "mos/mos_net_address.h"
#include "mos/usr/mos_net.h"
#include "test/support/panic_expect.h"

namespace {

NetAddress v4(const char *pText, Port port = 0)
{
    NetAddress a;
    EXPECT_EQ(netAddress_BuildFromIpv4(&a, inet_addr(pText), port), MOS_RC__SUCCESS) << pText;
    return a;
}

NetAddress v6(const char *pText, Port port = 0)
{
    UINT8 bytes[16];
    EXPECT_EQ(inet_pton(AF_INET6, pText, bytes), 1) << pText;
    NetAddress a;
    EXPECT_EQ(netAddress_BuildFromIpv6(&a, bytes, port), MOS_RC__SUCCESS);
    return a;
}

NetAddress cleared()
{
    NetAddress a;
    memset(&a, 0x5A, sizeof(a));
    netAddress_Init(&a);
    return a;
}

UINT32 hashOf(const NetAddress &a, UINT64 buckets)
{
    PackedNetAddress p;
    netAddress_GetPacked(&a, &p);
    return packedNetAddress_HashFunc((UINT64)(uintptr_t)&p, buckets);
}

} // namespace

TEST(NetAddress, BuildersClearAndRefuseBadData)
{
    NetAddress a = cleared();
    const NetAddress zero = {};
    EXPECT_EQ(memcmp(&a, &zero, sizeof(a)), 0);
    EXPECT_EQ(netAddress_GetType(&a), NET_ADDRESS_TYPE__NONE);

    // 0.0.0.0 is no endpoint; only the wildcard builder makes it.
    memset(&a, 0x77, sizeof(a));
    EXPECT_EQ(netAddress_BuildFromIpv4(&a, 0, 80), MOS_RC__INVALID);
    EXPECT_EQ(memcmp(&a, &zero, sizeof(a)), 0);

    // An IPv4 builder leaves the bytes past the first 4 zero, so whole-record copies compare.
    memset(&a, 0x77, sizeof(a));
    ASSERT_EQ(netAddress_BuildFromIpv4(&a, inet_addr("10.1.2.3"), 3260), MOS_RC__SUCCESS);
    for (int i = 4; i < 16; i++)
        EXPECT_EQ(a.addr.ipv6Addr[i], 0) << i;
    EXPECT_EQ(netAddress_GetIpv4(&a), inet_addr("10.1.2.3"));
    EXPECT_EQ(netAddress_GetPort(&a), 3260);
    EXPECT_EQ(netAddress_GetPortInNetOrder(&a), htons(3260));

    ASSERT_EQ(netAddress_BuildAnyAddr(&a, NET_ADDRESS_TYPE__IPV6, 7072), MOS_RC__SUCCESS);
    EXPECT_EQ(netAddress_GetType(&a), NET_ADDRESS_TYPE__IPV6);
    EXPECT_EQ(netAddress_GetPort(&a), 7072);
    EXPECT_FALSE(netAddress_IsValidAddr(&a));
    memset(&a, 0x77, sizeof(a));
    EXPECT_EQ(netAddress_BuildAnyAddr(&a, NET_ADDRESS_TYPE__NONE, 7072), MOS_RC__INVALID);
    EXPECT_EQ(memcmp(&a, &zero, sizeof(a)), 0);

    PackedNetAddress p;
    const UINT8 zeros[16] = {};
    EXPECT_EQ(packedNetAddress_BuildFromIpv6(&p, zeros), MOS_RC__INVALID);
    EXPECT_EQ(p.type, NET_ADDRESS_TYPE__NONE);
    EXPECT_EQ(packedNetAddress_BuildFromIpv4(&p, 0), MOS_RC__INVALID);
    EXPECT_EQ(packedNetAddress_BuildFromIpv4(&p, inet_addr("10.0.0.1")), MOS_RC__SUCCESS);
    EXPECT_EQ(p.type, NET_ADDRESS_TYPE__IPV4);
}

TEST(NetAddress, PackedRoundTripDropsThePort)
{
    for (NetAddress a : {v4("192.168.7.9", 80), v6("fe80::1:2", 443), v6("::ffff:10.0.0.1", 1), cleared()}) {
        PackedNetAddress p;
        memset(&p, 0x33, sizeof(p));
        netAddress_GetPacked(&a, &p);
        NetAddress b;
        netAddress_BuildFromPacked(&b, &p, a.port);
        EXPECT_EQ(memcmp(&a, &b, sizeof(a)), 0);
        EXPECT_EQ(netAddress_BuildFromPacked(&b, &p, 9)->port, 9);
    }
    NetAddress none = cleared();
    PackedNetAddress p;
    memset(&p, 0x33, sizeof(p));
    netAddress_GetPacked(&none, &p);
    const PackedNetAddress empty = {};
    EXPECT_EQ(memcmp(&p, &empty, sizeof(p)), 0);
}

TEST(NetAddress, ValidityAndLocalHost)
{
    struct Case {
        NetAddress addr;
        BOOL bValidAddr, bValid, bLocal;
    } cases[] = {
        {v4("127.0.0.1", 1), TRUE, TRUE, TRUE},
        {v4("127.0.0.2", 1), TRUE, TRUE, FALSE},
        {v6("::1", 0), TRUE, FALSE, TRUE},
        {v6("::ffff:127.0.0.1", 5), TRUE, TRUE, TRUE},
        {v6("::ffff:10.0.0.1", 5), TRUE, TRUE, FALSE},
        {v6("::", 5), FALSE, FALSE, FALSE},
        {v6("::2", 5), TRUE, TRUE, FALSE},
        {cleared(), FALSE, FALSE, FALSE},
    };
    for (const Case &c : cases) {
        std::string what = std::string(netAddress_ToActualStr(&c.addr) ? netAddress_ToActualStr(&c.addr) : "?");
        EXPECT_EQ(netAddress_IsValidAddr(&c.addr), c.bValidAddr) << what;
        EXPECT_EQ(netAddress_IsValid(&c.addr), c.bValid) << what;
        EXPECT_EQ(netAddress_IsLocalHost(&c.addr), c.bLocal) << what;
    }
    EXPECT_FALSE(netAddress_IsValidAddr(nullptr));
}

TEST(NetAddress, EqualitySimilarityAndHashAgree)
{
    struct Case {
        NetAddress a, b;
        BOOL bEqual, bSimilar;
    } cases[] = {
        {v4("10.0.0.1", 80), v4("10.0.0.1", 80), TRUE, TRUE},
        {v4("10.0.0.1", 80), v4("10.0.0.1", 81), FALSE, TRUE},
        {v4("10.0.0.1", 80), v4("10.0.0.2", 80), FALSE, FALSE},
        {v6("::ffff:10.0.0.1", 80), v4("10.0.0.1", 80), FALSE, TRUE},
        {v4("10.0.0.1", 80), v6("::ffff:10.0.0.1", 80), FALSE, TRUE},
        {v6("::ffff:10.0.0.2", 80), v4("10.0.0.1", 80), FALSE, FALSE},
        // Embedded bytes without the mapped prefix are no IPv4 address.
        {v6("::10.0.0.1", 80), v4("10.0.0.1", 80), FALSE, FALSE},
        {v6("2001:db8::1", 1), v6("2001:db8::1", 2), FALSE, TRUE},
        {v6("2001:db8::1", 1), v6("2001:db8::2", 1), FALSE, FALSE},
        {cleared(), cleared(), TRUE, FALSE},
        {cleared(), v4("10.0.0.1", 0), FALSE, FALSE},
    };
    for (const Case &c : cases) {
        std::string what = std::string(netAddress_ToActualStr(&c.a) ? netAddress_ToActualStr(&c.a) : "none") + " vs " +
                           (netAddress_ToActualStr(&c.b) ? netAddress_ToActualStr(&c.b) : "none");
        EXPECT_EQ(netAddress_IsEqual(&c.a, &c.b), c.bEqual) << what;
        EXPECT_EQ(netAddress_IsSimilar(&c.a, &c.b), c.bSimilar) << what;
        if (c.bSimilar) {
            for (UINT64 buckets : {1ull, 7ull, 64ull, 1021ull})
                EXPECT_EQ(hashOf(c.a, buckets), hashOf(c.b, buckets)) << what << " buckets " << buckets;
            PackedNetAddress pa, pb;
            netAddress_GetPacked(&c.a, &pa);
            netAddress_GetPacked(&c.b, &pb);
            EXPECT_TRUE(packedNetAddress_CompareFunc((UINT64)(uintptr_t)&pa, (UINT64)(uintptr_t)&pb, 0)) << what;
        }
    }
    NetAddress a = v4("10.0.0.1", 1);
    EXPECT_TRUE(netAddress_IsEqual(&a, &a));
    EXPECT_FALSE(netAddress_IsEqual(&a, nullptr));
    EXPECT_FALSE(netAddress_IsSimilar(nullptr, &a));
}

TEST(NetAddress, HashValues)
{
    // IPv4: the stored 32-bit value; plain IPv6: the wrapping sum of its four stored words.
    NetAddress a = v4("10.0.0.1");
    EXPECT_EQ(hashOf(a, 1000), inet_addr("10.0.0.1") % 1000);
    NetAddress b = v6("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff");
    EXPECT_EQ(hashOf(b, 1000), (UINT32)(4ull * 0xFFFFFFFFull) % 1000);
}

TEST(NetAddress, MappedAccessors)
{
    NetAddress m = v6("::ffff:192.0.2.33");
    EXPECT_TRUE(netAddress_IsIPv4MappedIpv6Addr(&m));
    EXPECT_EQ(*netAddress_GetInnerIPv4MappedAddr(&m), inet_addr("192.0.2.33"));
    NetAddress n = v4("192.0.2.33");
    EXPECT_FALSE(netAddress_IsIPv4MappedIpv6Addr(&n));
    EXPECT_EQ(netAddress_GetAddrLen(NET_ADDRESS_TYPE__IPV4), 4u);
    EXPECT_EQ(netAddress_GetAddrLen(NET_ADDRESS_TYPE__IPV6), 16u);
    EXPECT_EQ(netAddress_GetInnerAddrLen(&n), 16u);
}

TEST(NetAddress, ConvertIpv4ArrayStopsAtFirstZero)
{
    const IPV4 in[] = {inet_addr("10.0.0.1"), 0, inet_addr("10.0.0.2")};
    PackedNetAddress out[3];
    memset(out, 0x44, sizeof(out));
    netAddress_ConvertIPV4ArrToPackedArray(in, 3, out, 3);
    EXPECT_EQ(out[0].type, NET_ADDRESS_TYPE__IPV4);
    EXPECT_EQ(out[0].addr.ipv4Addr, inet_addr("10.0.0.1"));
    const PackedNetAddress empty = {};
    EXPECT_EQ(memcmp(&out[1], &empty, sizeof(empty)), 0);
    EXPECT_EQ(memcmp(&out[2], &empty, sizeof(empty)), 0);
}

TEST(NetAddress, Conversions)
{
    EXPECT_EQ(netAddress_SocketTypeToAddressFamily(NET_SOCKET_TYPE__IPV4), AF_INET);
    EXPECT_EQ(netAddress_SocketTypeToAddressFamily(NET_SOCKET_TYPE__IPV6), AF_INET6);
    EXPECT_EQ(netAddress_AddressFamilyToSocketType(AF_INET6), NET_SOCKET_TYPE__IPV6);
    EXPECT_EQ(netAddress_AddressTypeToSocketType(NET_ADDRESS_TYPE__IPV4), NET_SOCKET_TYPE__IPV4);
    EXPECT_EQ(netAddress_SocketTypeToAddressType(NET_SOCKET_TYPE__IPV6), NET_ADDRESS_TYPE__IPV6);
    EXPECT_EQ(netAddress_AddressTypeToAddressFamily(NET_ADDRESS_TYPE__IPV6), AF_INET6);
}

TEST(NetAddressDeathTest, MisusePanics)
{
    NetAddress a = v4("10.0.0.1", 1);
    NetAddress none = cleared();
    PackedNetAddress bad = {};
    bad.type = 3;
    EXPECT_PANIC(netAddress_GetIpv6(&a), "");
    EXPECT_PANIC(netAddress_GetIpv4(&none), "");
    EXPECT_PANIC(netAddress_GetInnerIPv4MappedAddr(&a), "");
    EXPECT_PANIC(netAddress_GetAddrLen(NET_ADDRESS_TYPE__NONE), "");
    EXPECT_PANIC(netAddress_BuildFromPacked(&a, &bad, 0), "");
    EXPECT_PANIC(packedNetAddress_HashFunc((UINT64)(uintptr_t)&bad, 8), "");
    EXPECT_PANIC(netAddress_AddressFamilyToSocketType(AF_UNIX), "");
    EXPECT_PANIC(netAddress_SocketTypeToAddressFamily(NET_SOCKET_TYPE__LAST), "");
    const IPV4 in[2] = {1, 2};
    PackedNetAddress out[1];
    EXPECT_PANIC(netAddress_ConvertIPV4ArrToPackedArray(in, 2, out, 1), "");
}

TEST(NetAddressText, ParseTable)
{
    struct Case {
        const char *pText;
        BOOL bNamesAllowed;
        Mos_RC rc;
        NetAddressType type;
    } cases[] = {
        {"10.20.30.40", FALSE, MOS_RC__SUCCESS, NET_ADDRESS_TYPE__IPV4},
        {"2001:db8::7", FALSE, MOS_RC__SUCCESS, NET_ADDRESS_TYPE__IPV6},
        {"::ffff:10.0.0.1", FALSE, MOS_RC__SUCCESS, NET_ADDRESS_TYPE__IPV6},
        {"0.0.0.0", FALSE, MOS_RC__INVALID, NET_ADDRESS_TYPE__NONE},
        {"::", FALSE, MOS_RC__INVALID, NET_ADDRESS_TYPE__NONE},
        {"localhost", FALSE, MOS_RC__INVALID, NET_ADDRESS_TYPE__NONE},
        {"10.0.0.300", FALSE, MOS_RC__INVALID, NET_ADDRESS_TYPE__NONE},
        {"", FALSE, MOS_RC__INVALID, NET_ADDRESS_TYPE__NONE},
        {"10.0.0.1", TRUE, MOS_RC__SUCCESS, NET_ADDRESS_TYPE__IPV4},
    };
    for (const Case &c : cases) {
        NetAddress a;
        memset(&a, 0x66, sizeof(a));
        Mos_RC rc = c.bNamesAllowed ? netAddress_BuildFromNameString(&a, c.pText, 9)
                                    : netAddress_BuildFromString(&a, c.pText, 9);
        EXPECT_EQ(rc, c.rc) << c.pText;
        EXPECT_EQ(netAddress_GetType(&a), c.type) << c.pText;
        EXPECT_EQ(netAddress_GetPort(&a), c.rc == MOS_RC__SUCCESS ? 9 : 0) << c.pText;
        PackedNetAddress p;
        Mos_RC prc = c.bNamesAllowed ? packedNetAddress_BuildFromNameString(&p, c.pText)
                                     : packedNetAddress_BuildFromString(&p, c.pText);
        EXPECT_EQ(prc, c.rc) << c.pText;
        EXPECT_EQ(p.type, c.type) << c.pText;
    }
    NetAddress a;
    EXPECT_EQ(netAddress_BuildFromString(&a, nullptr, 1), MOS_RC__INVALID);

    // "localhost" resolves when names are allowed, to whichever loopback the host lists first.
    ASSERT_EQ(netAddress_BuildFromNameString(&a, "localhost", 77), MOS_RC__SUCCESS);
    EXPECT_TRUE(netAddress_IsLocalHost(&a));
    EXPECT_EQ(netAddress_GetPort(&a), 77);
}

TEST(NetAddressText, Formatting)
{
    char buf[NET_ADDRESS_STRING_LEN];
    NetAddress m = v6("::ffff:10.0.0.1", 1);
    EXPECT_EQ(netAddress_ToStrCopy(&m, buf), MOS_RC__SUCCESS);
    EXPECT_STREQ(buf, "10.0.0.1");
    EXPECT_STREQ(netAddress_ToStr(&m), "10.0.0.1");
    EXPECT_STREQ(netAddress_ToActualStr(&m), "::ffff:10.0.0.1");
    NetAddress a = v6("2001:db8::7");
    EXPECT_STREQ(netAddress_ToStr(&a), "2001:db8::7");

    NetAddress none = cleared();
    EXPECT_EQ(netAddress_ToStrCopy(&none, buf), MOS_RC__INVALID);
    EXPECT_STREQ(buf, "INVALID");
    EXPECT_EQ(netAddress_ToActualStr(&none), nullptr);
    // "INVALID" is cut to fit a short buffer and stays terminated.
    char small[4];
    EXPECT_EQ(netAddress_ToStrCopyBuf(&none, small, sizeof(small), FALSE), MOS_RC__INVALID);
    EXPECT_STREQ(small, "INV");
    // Text that does not fit is a formatting failure, not an overrun.
    NetAddress v = v4("100.100.100.100");
    char tiny[8];
    EXPECT_EQ(netAddress_ToStrCopyBuf(&v, tiny, sizeof(tiny), FALSE), MOS_RC__ERROR);
    EXPECT_STREQ(tiny, "INVALID");

    PackedNetAddress p;
    ASSERT_EQ(packedNetAddress_BuildFromString(&p, "::ffff:10.9.8.7"), MOS_RC__SUCCESS);
    EXPECT_EQ(packedNetAddress_ToStrCopy(&p, buf), MOS_RC__SUCCESS);
    EXPECT_STREQ(buf, "10.9.8.7");

    // Each OS thread has its own buffer.
    const char *pMine = netAddress_ToStr(&a);
    std::string other;
    std::thread t([&] { other = netAddress_ToStr(&m); });
    t.join();
    EXPECT_STREQ(pMine, "2001:db8::7");
    EXPECT_EQ(other, "10.0.0.1");
}

TEST(NetAddressText, SockAddrConversions)
{
    NetAddress a = v6("2001:db8::5", 4000);
    struct sockaddr_storage ss;
    socklen_t len = 0;
    ASSERT_EQ(NetAddress_ToSockAddr(&a, &ss, &len, TRUE), MOS_RC__SUCCESS);
    EXPECT_EQ(len, sizeof(struct sockaddr_in6));
    const auto *pSin6 = reinterpret_cast<const struct sockaddr_in6 *>(&ss);
    EXPECT_EQ(pSin6->sin6_family, AF_INET6);
    EXPECT_EQ(pSin6->sin6_port, htons(4000));
    EXPECT_EQ(pSin6->sin6_flowinfo, 0u);
    EXPECT_EQ(pSin6->sin6_scope_id, 0u);
    NetAddress back;
    ASSERT_TRUE(mosNet_GetAddressFromSockaddr(reinterpret_cast<struct sockaddr *>(&ss), &back));
    EXPECT_TRUE(netAddress_IsEqual(&a, &back));

    NetAddress b = v4("10.0.0.1", 0);
    EXPECT_EQ(NetAddress_ToSockAddr(&b, &ss, &len, TRUE), MOS_RC__INVALID); // port 0
    ASSERT_EQ(NetAddress_ToSockAddr(&b, &ss, &len, FALSE), MOS_RC__SUCCESS);
    EXPECT_EQ(len, sizeof(struct sockaddr_in));
    EXPECT_EQ(NetAddress_ToSockAddr(&b, nullptr, &len, FALSE), MOS_RC__INVALID);
    NetAddress none = cleared();
    EXPECT_EQ(NetAddress_ToSockAddr(&none, &ss, &len, FALSE), MOS_RC__INVALID);

    struct sockaddr_in zero = {};
    zero.sin_family = AF_INET;
    EXPECT_FALSE(mosNet_GetAddressFromSockaddr(reinterpret_cast<struct sockaddr *>(&zero), &back));
    struct sockaddr un = {};
    un.sa_family = AF_UNIX;
    EXPECT_FALSE(mosNet_GetAddressFromSockaddr(&un, &back));

    NetAddress l;
    ASSERT_EQ(netAddress_BuildIpListener(NET_ADDRESS_TYPE__IPV6, &l, 12), MOS_RC__SUCCESS);
    EXPECT_STREQ(netAddress_ToStr(&l), "::1");
    ASSERT_EQ(netAddress_BuildIpListener(NET_ADDRESS_TYPE__IPV4, &l, 12), MOS_RC__SUCCESS);
    EXPECT_STREQ(netAddress_ToStr(&l), "127.0.0.1");
    EXPECT_EQ(netAddress_BuildIpListener(NET_ADDRESS_TYPE__NONE, &l, 12), MOS_RC__INVALID);
}
