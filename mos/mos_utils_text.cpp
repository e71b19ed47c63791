// Conversions of numbers, hex text, identifiers and addresses.
#include "mos/mos_utils_text.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"

char *mos_Uint64ToStr(UINT64 value, char *pStr, size_t bufSize, UINT32 base)
{
    MOS_ASSERT_WITH_DESC(base == 10 || base == 16 || base == 17, "unsupported base");
    switch (base) {
    case 10:
        snprintf(pStr, bufSize, "%lu", (unsigned long)value);
        break;
    case 16:
        snprintf(pStr, bufSize, "%lx", (unsigned long)value);
        break;
    case 17:
        snprintf(pStr, bufSize, "%016lx", (unsigned long)value);
        break;
    default:
        break;
    }
    return pStr;
}

char *mos_Int64ToStr(INT64 value, char *pStr, size_t bufSize, UINT32 base)
{
    // Only base 10 has a sign; the hex forms print the two's-complement bits.
    if (base != 10)
        return mos_Uint64ToStr((UINT64)value, pStr, bufSize, base);
    snprintf(pStr, bufSize, "%ld", (long)value);
    return pStr;
}

char *mos_Uint32ToStr(UINT32 value, char *pStr, size_t bufSize, UINT32 base)
{
    return mos_Uint64ToStr(value, pStr, bufSize, base);
}

char *mos_Uint16ToStr(UINT16 value, char *pStr, size_t bufSize, UINT32 base)
{
    return mos_Uint64ToStr(value & 0xffffu, pStr, bufSize, base);
}

char *mos_Uint8ToStr(UINT8 value, char *pStr, size_t bufSize, UINT32 base)
{
    return mos_Uint64ToStr(value & 0xffu, pStr, bufSize, base);
}

char *mos_Int32ToStr(INT32 value, char *pStr, size_t bufSize, UINT32 base)
{
    return mos_Int64ToStr(value, pStr, bufSize, base);
}

static int mos_HexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

UINT64 mosStrToUll(const char *pStrIn, size_t strLen)
{
    MOS_ASSERT(pStrIn != ((void *)0));
    size_t i = 0;
    BOOL bNegative = FALSE;
    if (i < strLen && pStrIn[i] == '-') {
        bNegative = TRUE;
        i++;
    }
    UINT64 base = 10;
    if (strLen - i > 2 && pStrIn[i] == '0' && (pStrIn[i + 1] == 'x' || pStrIn[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    while (i < strLen && pStrIn[i] == '0')
        i++;
    UINT64 result = 0;
    for (; i < strLen && pStrIn[i] != '\0'; i++) {
        int digit = mos_HexDigitValue(pStrIn[i]);
        if (digit < 0 || (UINT64)digit >= base) {
            MOS_WARNING(MOS_COMP_MOS, "Illegal string handed(%.*s), forsaking", (int)strLen, pStrIn);
            return ~(UINT64)0;
        }
        if (__builtin_mul_overflow(result, base, &result) || __builtin_add_overflow(result, (UINT64)digit, &result)) {
            MOS_WARNING(MOS_COMP_MOS, "Number too large in string handed(%.*s), forsaking", (int)strLen, pStrIn);
            return ~(UINT64)0;
        }
    }
    return bNegative ? (UINT64)0 - result : result;
}

INT64 mos_DivRem64(INT64 x, INT64 y, INT64 *pRem)
{
    MOS_ASSERT(y != 0);
    BOOL bNegX = x < 0;
    BOOL bNegY = y < 0;
    UINT64 dividend = bNegX ? (UINT64)0 - (UINT64)x : (UINT64)x;
    UINT64 divisor = bNegY ? (UINT64)0 - (UINT64)y : (UINT64)y;
    UINT64 quotient = 0;
    UINT64 remainder = 0;
    for (int bit = 63; bit >= 0; bit--) {
        remainder = (remainder << 1) | ((dividend >> bit) & 1);
        if (remainder >= divisor) {
            remainder -= divisor;
            quotient |= (UINT64)1 << bit;
        }
    }
    if (pRem != nullptr)
        *pRem = bNegX ? (INT64)((UINT64)0 - remainder) : (INT64)remainder;
    return (bNegX != bNegY) ? (INT64)((UINT64)0 - quotient) : (INT64)quotient;
}

const char *mos_StrChr(const char *pStrIn, size_t maxStrLen, char delim)
{
    MOS_ASSERT(pStrIn != ((void *)0));
    MOS_ASSERT(maxStrLen != 0);
    for (size_t i = 0; i < maxStrLen && pStrIn[i] != '\0'; i++) {
        if (pStrIn[i] == delim)
            return &pStrIn[i];
    }
    return nullptr;
}

char *mos_TrimWhitespace(char *pStr)
{
    MOS_ASSERT(pStr != ((void *)0));
    while (isspace((unsigned char)*pStr))
        pStr++;
    size_t len = strlen(pStr);
    while (len > 0 && isspace((unsigned char)pStr[len - 1]))
        pStr[--len] = '\0';
    return pStr;
}

void mos_HexDump(const void *pSrc, size_t srcLen, char *pDest, size_t destLen)
{
    MOS_ASSERT(pSrc != ((void *)0));
    MOS_ASSERT(pDest != ((void *)0));
    if (destLen == 0)
        return;
    static const char kDigits[] = "0123456789abcdef";
    const UINT8 *pBytes = static_cast<const UINT8 *>(pSrc);
    size_t out = 0;
    for (size_t i = 0; i < srcLen && out + 2 < destLen; i++) {
        pDest[out++] = kDigits[pBytes[i] >> 4];
        pDest[out++] = kDigits[pBytes[i] & 0xf];
    }
    pDest[out] = '\0';
}

Mos_RC mos_HexDumpToData(const char *pHexDump, UINT8 *pData, size_t dataLen)
{
    MOS_ASSERT(pHexDump != ((void *)0));
    MOS_ASSERT(pData != ((void *)0));
    size_t hexDumpLen = strlen(pHexDump);
    MOS_ASSERT((((hexDumpLen) + (2) - 1) / (2)) <= dataLen);
    for (size_t i = 0; i < hexDumpLen; i += 2) {
        int high = mos_HexDigitValue(pHexDump[i]);
        // An odd final digit stands alone.
        int low = (i + 1 < hexDumpLen) ? mos_HexDigitValue(pHexDump[i + 1]) : -2;
        if (high < 0 || low == -1)
            return MOS_RC__INVALID;
        pData[i / 2] = low == -2 ? (UINT8)high : (UINT8)((high << 4) | low);
    }
    return MOS_RC__SUCCESS;
}

Mos_RC mos_StrToUuidNoAssert(const char *pStr, UINT8 *pUuid)
{
    MOS_ASSERT(pStr != ((void *)0));
    MOS_ASSERT(pUuid != ((void *)0));
    const char *p = pStr;
    UINT8 bytes[MOS_UUID_SIZE];
    for (UINT32 i = 0; i < MOS_UUID_SIZE; i++) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            if (*p != '-')
                goto invalid;
            p++;
        }
        int high = mos_HexDigitValue(p[0]);
        int low = high < 0 ? -1 : mos_HexDigitValue(p[1]);
        if (high < 0 || low < 0)
            goto invalid;
        bytes[i] = (UINT8)((high << 4) | low);
        p += 2;
    }
    if (*p != '\0')
        goto invalid;
    memcpy(pUuid, bytes, sizeof(bytes));
    return MOS_RC__SUCCESS;
invalid:
    MOS_ERROR(MOS_COMP_MOS, "Invalid UUID %s", pStr);
    return MOS_RC__INVALID;
}

void mos_StrToUuid(const char *pStr, UINT8 *pUuid)
{
    const Mos_RC rc = mos_StrToUuidNoAssert(pStr, pUuid);
    if (rc != MOS_RC__SUCCESS)
        fprintf(stderr, "failed reading GUID string: %s\n", pStr);
    MOS_ASSERT_WITH_DESC(rc == MOS_RC__SUCCESS, "bad UUID text");
}

const char *mos_IpToStr(UINT32 ip)
{
    static thread_local char ipText[INET_ADDRSTRLEN];
    in_addr addr;
    addr.s_addr = ip;
    inet_ntop(AF_INET, &addr, ipText, sizeof(ipText));
    return ipText;
}

Mos_RC mosIpFromStr(const char *ipStr, UINT32 *out_pIp)
{
    in_addr addr;
    if (ipStr == nullptr || inet_pton(AF_INET, ipStr, &addr) != 1)
        return MOS_RC__INVALID;
    *out_pIp = addr.s_addr;
    return MOS_RC__SUCCESS;
}
