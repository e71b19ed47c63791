// Bit maps: bit n of a buffer lives in byte n / 8 under the mask 0x80 >> (n % 8), so bit 0 is
// the most significant bit of the first byte. Ranges are inclusive at both ends. No locks: the
// caller serialises access to a map.
#pragma once

#include "mos/mos_types.h"

#define MOS_BIT__NOT_FOUND 0xFFFFFFFFu

// Number of set bits of each byte value.
extern const UINT8 setBitArray_G[256];

UINT32 mosBit_NumConsequtiveSetResetBits(const UINT8 *pBuf, UINT32 startBit, UINT32 maximumBit, BOOL bSet);
UINT32 mosBit_NumConsequtiveSetBits(const UINT8 *pBuf, UINT32 startBit, UINT32 maximumBit);
UINT32 mosBit_NumConsecutiveResetBits(const UINT8 *pBuf, UINT32 startBit, UINT32 maximumBit);
UINT32 mosBit_NumPrevConsecutiveResetBits(const UINT8 *pBuf, UINT32 startBit);
UINT32 mosBit_NextConsecutiveSetResetBits(const UINT8 *pBuf, UINT32 startBit, UINT32 maximumBit, BOOL bSet,
                                          UINT32 *pStartRangeBit, UINT32 *pEndRangeBit);
UINT32 mosBit_GetNextSetBit(const UINT8 *pBuf, UINT32 startBit, UINT32 maximumBit);
UINT32 mosBit_GetNextResetBit(const UINT8 *pBuf, UINT32 startBit, UINT32 maximumBit);
UINT32 mosBit_NumSetResetBitRangeInByte(UINT8 byte, UINT32 startBit, UINT32 endBit, BOOL bSet);
UINT64 mosBit_NumSetResetBitsInBufRange(const UINT8 *pBuf, UINT64 startBit, UINT64 endBit, BOOL bSet);
void mosBit_SetResetBitsRangeInByte(UINT32 startBit, UINT32 endBit, UINT8 *pByte, BOOL bSet);
void mosBit_SetResetBitsInBufRange(UINT8 *pBuf, UINT64 startBit, UINT64 endBit, BOOL bSet);
UINT32 mosBit_NumSetBitsInUINT32(UINT32 value);
UINT32 mosBit_MsbSetBitOfUINT32(UINT32 value);

static inline BOOL mosBit_IsSet(const UINT8 *pBuf, UINT64 bit)
{
    return (pBuf[bit >> 3] & (0x80u >> (bit & 7))) != 0;
}
