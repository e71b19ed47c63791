// Conversions of numbers, hex text, identifiers and addresses.
#pragma once

#include <cstddef>
#include "mos/mos_rc.h"
#include "mos/mos_types.h"

char *mos_Uint64ToStr(UINT64 value, char *pStr, size_t bufSize, UINT32 base);
char *mos_Int64ToStr(INT64 value, char *pStr, size_t bufSize, UINT32 base);
char *mos_Uint32ToStr(UINT32 value, char *pStr, size_t bufSize, UINT32 base);
char *mos_Uint16ToStr(UINT16 value, char *pStr, size_t bufSize, UINT32 base);
char *mos_Uint8ToStr(UINT8 value, char *pStr, size_t bufSize, UINT32 base);
char *mos_Int32ToStr(INT32 value, char *pStr, size_t bufSize, UINT32 base);
// At most strLen characters, "0x" for hexadecimal, an optional leading minus. All ones for a
// text that is not a number or does not fit in 64 bits.
UINT64 mosStrToUll(const char *pStrIn, size_t strLen);
// Signed division; the remainder takes the sign of x. A divisor of 0 is a panic.
INT64 mos_DivRem64(INT64 x, INT64 y, INT64 *pRem);
const char *mos_StrChr(const char *pStrIn, size_t maxStrLen, char delim);
char *mos_TrimWhitespace(char *pStr);
void mos_HexDump(const void *pSrc, size_t srcLen, char *pDest, size_t destLen);
// MOS_RC__INVALID when the text holds a character that is not a hex digit.
Mos_RC mos_HexDumpToData(const char *pHexDump, UINT8 *pData, size_t dataLen);
#define MOS_UUID_SIZE 16u
Mos_RC mos_StrToUuidNoAssert(const char *pStr, UINT8 *pUuid);
void mos_StrToUuid(const char *pStr, UINT8 *pUuid);
// The address is in network order; the text lives in a per-thread buffer.
const char *mos_IpToStr(UINT32 ip);
Mos_RC mosIpFromStr(const char *ipStr, UINT32 *out_pIp);
