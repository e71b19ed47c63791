#include "mos/mos_bits.h"

#include "mos/mos_assert.h"

namespace {
// Mask of the positions startBit..endBit (most significant bit first) of one byte.
inline UINT8 mosBit_ByteMask(UINT32 startBit, UINT32 endBit)
{
    return (UINT8)((0xFFu >> startBit) & (0xFFu << (7 - endBit)));
}
} // namespace

const UINT8 setBitArray_G[256] = {
    0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,
    1, 2, 2, 3, 2, 3, 3, 4, 2, 3, 3, 4, 3, 4, 4, 5,
    1, 2, 2, 3, 2, 3, 3, 4, 2, 3, 3, 4, 3, 4, 4, 5,
    2, 3, 3, 4, 3, 4, 4, 5, 3, 4, 4, 5, 4, 5, 5, 6,
    1, 2, 2, 3, 2, 3, 3, 4, 2, 3, 3, 4, 3, 4, 4, 5,
    2, 3, 3, 4, 3, 4, 4, 5, 3, 4, 4, 5, 4, 5, 5, 6,
    2, 3, 3, 4, 3, 4, 4, 5, 3, 4, 4, 5, 4, 5, 5, 6,
    3, 4, 4, 5, 4, 5, 5, 6, 4, 5, 5, 6, 5, 6, 6, 7,
    1, 2, 2, 3, 2, 3, 3, 4, 2, 3, 3, 4, 3, 4, 4, 5,
    2, 3, 3, 4, 3, 4, 4, 5, 3, 4, 4, 5, 4, 5, 5, 6,
    2, 3, 3, 4, 3, 4, 4, 5, 3, 4, 4, 5, 4, 5, 5, 6,
    3, 4, 4, 5, 4, 5, 5, 6, 4, 5, 5, 6, 5, 6, 6, 7,
    2, 3, 3, 4, 3, 4, 4, 5, 3, 4, 4, 5, 4, 5, 5, 6,
    3, 4, 4, 5, 4, 5, 5, 6, 4, 5, 5, 6, 5, 6, 6, 7,
    3, 4, 4, 5, 4, 5, 5, 6, 4, 5, 5, 6, 5, 6, 6, 7,
    4, 5, 5, 6, 5, 6, 6, 7, 5, 6, 6, 7, 6, 7, 7, 8,
};

UINT32 mosBit_NumConsequtiveSetResetBits(const UINT8 *pBuf, UINT32 startBit, UINT32 maximumBit, BOOL bSet)
{
    const BOOL bWanted = bSet ? TRUE : FALSE;
    if (startBit > maximumBit || mosBit_IsSet(pBuf, startBit) != bWanted)
        return 0;
    const UINT8 fullByte = bWanted ? 0xFF : 0x00;
    UINT64 bit = startBit;
    const UINT64 maxBit = maximumBit;
    // Bit by bit up to the next byte boundary, then whole bytes, then the tail.
    while (bit <= maxBit && (bit & 7) != 0) {
        if (mosBit_IsSet(pBuf, bit) != bWanted)
            return (UINT32)(bit - startBit);
        bit++;
    }
    while (bit + 7 <= maxBit && pBuf[bit >> 3] == fullByte)
        bit += 8;
    while (bit <= maxBit && mosBit_IsSet(pBuf, bit) == bWanted)
        bit++;
    return (UINT32)(bit - startBit);
}

UINT32 mosBit_NumConsequtiveSetBits(const UINT8 *pBuf, UINT32 startBit, UINT32 maximumBit)
{
    return mosBit_NumConsequtiveSetResetBits(pBuf, startBit, maximumBit, TRUE);
}

UINT32 mosBit_NumConsecutiveResetBits(const UINT8 *pBuf, UINT32 startBit, UINT32 maximumBit)
{
    return mosBit_NumConsequtiveSetResetBits(pBuf, startBit, maximumBit, FALSE);
}

UINT32 mosBit_NumPrevConsecutiveResetBits(const UINT8 *pBuf, UINT32 startBit)
{
    INT64 bit = startBit;
    while (bit >= 0 && (bit & 7) != 7) {
        if (mosBit_IsSet(pBuf, (UINT64)bit))
            return (UINT32)(startBit - bit);
        bit--;
    }
    while (bit >= 7 && pBuf[bit >> 3] == 0)
        bit -= 8;
    while (bit >= 0 && !mosBit_IsSet(pBuf, (UINT64)bit))
        bit--;
    return (UINT32)(startBit - bit);
}

UINT32 mosBit_NextConsecutiveSetResetBits(const UINT8 *pBuf, UINT32 startBit, UINT32 maximumBit, BOOL bSet,
                                          UINT32 *pStartRangeBit, UINT32 *pEndRangeBit)
{
    const UINT32 first =
        bSet ? mosBit_GetNextSetBit(pBuf, startBit, maximumBit) : mosBit_GetNextResetBit(pBuf, startBit, maximumBit);
    if (first == MOS_BIT__NOT_FOUND)
        return 0;
    const UINT32 len = mosBit_NumConsequtiveSetResetBits(pBuf, first, maximumBit, bSet);
    *pStartRangeBit = first;
    *pEndRangeBit = first + len - 1;
    return len;
}

static UINT32 mosBit_GetNext(const UINT8 *pBuf, UINT32 startBit, UINT32 maximumBit, BOOL bSet)
{
    // A byte with no candidate bit is skipped whole, wherever maximumBit falls inside it.
    const UINT8 skipByte = bSet ? 0x00 : 0xFF;
    const BOOL bWanted = bSet ? TRUE : FALSE;
    UINT64 bit = startBit;
    while (bit <= maximumBit) {
        if ((bit & 7) == 0 && pBuf[bit >> 3] == skipByte) {
            bit += 8;
            continue;
        }
        if (mosBit_IsSet(pBuf, bit) == bWanted)
            return (UINT32)bit;
        bit++;
    }
    return MOS_BIT__NOT_FOUND;
}

UINT32 mosBit_GetNextSetBit(const UINT8 *pBuf, UINT32 startBit, UINT32 maximumBit)
{
    return mosBit_GetNext(pBuf, startBit, maximumBit, TRUE);
}

UINT32 mosBit_GetNextResetBit(const UINT8 *pBuf, UINT32 startBit, UINT32 maximumBit)
{
    return mosBit_GetNext(pBuf, startBit, maximumBit, FALSE);
}

UINT32 mosBit_NumSetResetBitRangeInByte(UINT8 byte, UINT32 startBit, UINT32 endBit, BOOL bSet)
{
    MOS_ASSERT((startBit <= endBit) && (endBit <= 7));
    const UINT32 setCount = setBitArray_G[byte & mosBit_ByteMask(startBit, endBit)];
    return bSet ? setCount : (endBit - startBit + 1) - setCount;
}

UINT64 mosBit_NumSetResetBitsInBufRange(const UINT8 *pBuf, UINT64 startBit, UINT64 endBit, BOOL bSet)
{
    MOS_ASSERT(startBit <= endBit);
    const UINT64 firstByte = startBit >> 3;
    const UINT64 lastByte = endBit >> 3;
    if (firstByte == lastByte)
        return mosBit_NumSetResetBitRangeInByte(pBuf[firstByte], (UINT32)(startBit & 7), (UINT32)(endBit & 7), bSet);
    UINT64 count = mosBit_NumSetResetBitRangeInByte(pBuf[firstByte], (UINT32)(startBit & 7), 7, bSet);
    count += mosBit_NumSetResetBitRangeInByte(pBuf[lastByte], 0, (UINT32)(endBit & 7), bSet);
    for (UINT64 i = firstByte + 1; i < lastByte; i++)
        count += bSet ? setBitArray_G[pBuf[i]] : 8u - setBitArray_G[pBuf[i]];
    return count;
}

void mosBit_SetResetBitsRangeInByte(UINT32 startBit, UINT32 endBit, UINT8 *pByte, BOOL bSet)
{
    MOS_ASSERT((startBit <= endBit) && (endBit <= 7));
    const UINT8 mask = mosBit_ByteMask(startBit, endBit);
    if (bSet)
        *pByte |= mask;
    else
        *pByte &= (UINT8)~mask;
}

void mosBit_SetResetBitsInBufRange(UINT8 *pBuf, UINT64 startBit, UINT64 endBit, BOOL bSet)
{
    MOS_ASSERT(startBit <= endBit);
    const UINT64 firstByte = startBit >> 3;
    const UINT64 lastByte = endBit >> 3;
    if (firstByte == lastByte) {
        mosBit_SetResetBitsRangeInByte((UINT32)(startBit & 7), (UINT32)(endBit & 7), &pBuf[firstByte], bSet);
        return;
    }
    mosBit_SetResetBitsRangeInByte((UINT32)(startBit & 7), 7, &pBuf[firstByte], bSet);
    mosBit_SetResetBitsRangeInByte(0, (UINT32)(endBit & 7), &pBuf[lastByte], bSet);
    for (UINT64 i = firstByte + 1; i < lastByte; i++)
        pBuf[i] = bSet ? 0xFF : 0x00;
}

UINT32 mosBit_NumSetBitsInUINT32(UINT32 value)
{
    return setBitArray_G[value & 0xFF] + setBitArray_G[(value >> 8) & 0xFF] + setBitArray_G[(value >> 16) & 0xFF] +
           setBitArray_G[value >> 24];
}

UINT32 mosBit_MsbSetBitOfUINT32(UINT32 value)
{
    return value == 0 ? 32u : (UINT32)__builtin_clz(value);
}
