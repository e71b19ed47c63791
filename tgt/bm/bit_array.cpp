#include "tgt/bm/bit_array.h"

#include <array>
#include <cstring>

#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"

namespace {
constexpr std::array<UINT8, 256> kSetBitsInByte = [] {
    std::array<UINT8, 256> t{};
    for (unsigned v = 0; v < 256; v++)
        t[v] = (UINT8)__builtin_popcount(v);
    return t;
}();

constexpr UINT8 maskOf(UINT32 bit) { return (UINT8)(0x80u >> (bit & 7)); }
// Bits from bit `from` (0..7) to the end of its byte.
constexpr UINT8 maskFrom(UINT32 from) { return (UINT8)(0xFFu >> from); }
// Bits from the start of a byte up to bit `to` (0..7), inclusive.
constexpr UINT8 maskTo(UINT32 to) { return (UINT8)(0xFFu << (7 - to)); }

void checkBit(const BitArray *pBitArray, UINT32 bit) { Exp(bit >= pBitArray->numOfBits); }

void checkRange(const BitArray *pBitArray, UINT32 firstBit, UINT32 numOfBits)
{
    Exp(firstBit >= pBitArray->numOfBits);
    Exp(numOfBits > pBitArray->numOfBits);
    Exp((UINT64)firstBit + numOfBits - 1 >= pBitArray->numOfBits);
}

// Calls fn(byteIndex, mask) for every byte of the range with the range's bits of that byte;
// stops when fn returns false.
template <typename Fn>
void forEachByte(UINT32 firstBit, UINT32 numOfBits, Fn fn)
{
    if (numOfBits == 0)
        return;
    UINT32 lastBit = firstBit + numOfBits - 1;
    UINT32 firstByte = firstBit / 8;
    UINT32 lastByte = lastBit / 8;
    for (UINT32 b = firstByte; b <= lastByte; b++) {
        UINT8 mask = 0xFF;
        if (b == firstByte)
            mask &= maskFrom(firstBit & 7);
        if (b == lastByte)
            mask &= maskTo(lastBit & 7);
        if (!fn(b, mask))
            return;
    }
}

size_t bytesOf(const BitArray *pBitArray) { return (size_t)pBitArray->numOfLb * 512; }

Mos_RC mapShm(BitArray *pBitArray)
{
    Mos_RC rc = mosShm_Map(&pBitArray->sharedMem, FALSE);
    if (rc != MOS_RC__SUCCESS) {
        mosShm_Close(&pBitArray->sharedMem);
        return rc;
    }
    pBitArray->pBmBuff = static_cast<UINT8 *>(pBitArray->sharedMem.pMem);
    pBitArray->bSharedMem = TRUE;
    return MOS_RC__SUCCESS;
}

enum class ShmOpen { OPENED, MISSING, REPLACED };

// Opens the existing segment when it has the array's size. A segment of another size is
// removed: its contents belong to another layout.
ShmOpen openExistingShm(BitArray *pBitArray)
{
    if (mosShmUmt_Create(&pBitArray->sharedMem, pBitArray->sharedMemName, 0, FALSE, FALSE) != MOS_RC__SUCCESS)
        return ShmOpen::MISSING;
    if (pBitArray->sharedMem.memSize == bytesOf(pBitArray) && mapShm(pBitArray) == MOS_RC__SUCCESS)
        return ShmOpen::OPENED;
    MOS_ERROR(MOS_COMP_TGT_PHY, "Shared memory %s has %lu bytes, expected %lu: made anew all dirty",
              pBitArray->sharedMemName, (unsigned long)pBitArray->sharedMem.memSize,
              (unsigned long)bytesOf(pBitArray));
    if (pBitArray->sharedMem.shmFD == -1) // closed by a failed map
        pBitArray->sharedMem.pName = pBitArray->sharedMemName;
    mosShmUmt_Destroy(&pBitArray->sharedMem);
    return ShmOpen::REPLACED;
}
} // namespace

BOOL bits_IsBitSet(const UINT8 *pBuf, UINT32 bit)
{
    return (pBuf[bit / 8] & maskOf(bit)) != 0;
}

BOOL bits_SetBit(UINT8 *pBuf, UINT32 bit)
{
    if (bits_IsBitSet(pBuf, bit))
        return FALSE;
    pBuf[bit / 8] |= maskOf(bit);
    return TRUE;
}

UINT32 bits_ChangeBits(UINT8 *pBuf, UINT32 firstBit, UINT32 numOfBits, BOOL bSet)
{
    UINT32 changed = 0;
    forEachByte(firstBit, numOfBits, [&](UINT32 b, UINT8 mask) {
        UINT8 before = pBuf[b];
        pBuf[b] = bSet ? (UINT8)(before | mask) : (UINT8)(before & ~mask);
        changed += kSetBitsInByte[(UINT8)(before ^ pBuf[b])];
        return true;
    });
    return changed;
}

UINT32 bit_OrBits(UINT8 *pDst, const UINT8 *pSrc, UINT32 firstBit, UINT32 numOfBits)
{
    UINT32 changed = 0;
    forEachByte(firstBit, numOfBits, [&](UINT32 b, UINT8 mask) {
        UINT8 add = (UINT8)(pSrc[b] & mask & ~pDst[b]);
        pDst[b] |= add;
        changed += kSetBitsInByte[add];
        return true;
    });
    return changed;
}

BOOL bit_IsAllSet(const UINT8 *pBuf, UINT32 firstBit, UINT32 numOfBits)
{
    bool bAll = true;
    forEachByte(firstBit, numOfBits, [&](UINT32 b, UINT8 mask) { return bAll = (pBuf[b] & mask) == mask; });
    return bAll;
}

UINT32 bits_FindNextSetBit(const UINT8 *pBuf, UINT32 firstBit, UINT32 numOfBits)
{
    UINT32 found = BIT_ARRAY__NOT_FOUND;
    forEachByte(firstBit, numOfBits, [&](UINT32 b, UINT8 mask) {
        UINT8 v = pBuf[b] & mask;
        if (v == 0)
            return true;
        found = b * 8 + (UINT32)__builtin_clz((unsigned)v << 24);
        return false;
    });
    return found;
}

UINT32 bits_FindLastSetBit(const UINT8 *pBuf, UINT32 firstBit, UINT32 numOfBits)
{
    if (numOfBits == 0)
        return BIT_ARRAY__NOT_FOUND;
    UINT32 lastBit = firstBit + numOfBits - 1;
    UINT32 firstByte = firstBit / 8;
    for (UINT32 b = lastBit / 8 + 1; b-- > firstByte;) {
        UINT8 mask = 0xFF;
        if (b == firstByte)
            mask &= maskFrom(firstBit & 7);
        if (b == lastBit / 8)
            mask &= maskTo(lastBit & 7);
        UINT8 v = pBuf[b] & mask;
        if (v != 0)
            return b * 8 + 7 - (UINT32)__builtin_ctz(v);
    }
    return BIT_ARRAY__NOT_FOUND;
}

void bitArray_ShmName(char *pName, UINT64 devId, UINT32 index, char type)
{
    int len = snprintf(pName, BIT_ARRAY__SHM_NAME_LEN + 1, "/qel_%016lx_%u_%c", (unsigned long)devId, index, type);
    Exp(len != (int)BIT_ARRAY__SHM_NAME_LEN);
}

Mos_RC bitArray_Init(BitArray *pBitArray, UINT32 numOfBits, BOOL bStartSet, BOOL bWrite, BOOL bUseShm,
                     UINT64 devId, UINT32 index, char type, BOOL *pbNew)
{
    memset(pBitArray, 0, sizeof(*pBitArray));
    pBitArray->sharedMem.shmFD = -1;
    pBitArray->numOfBits = numOfBits;
    pBitArray->numOfLb = (numOfBits + BIT_ARRAY__BITS_IN_LB - 1) / BIT_ARRAY__BITS_IN_LB;
    BOOL bNew = TRUE;
    if (!bUseShm) {
        pBitArray->pBmBuff = static_cast<UINT8 *>(mos_AllocPageAlignedOrPanic(bytesOf(pBitArray)));
    } else {
        bitArray_ShmName(pBitArray->sharedMemName, devId, index, type);
        ShmOpen opened = bWrite ? ShmOpen::MISSING : openExistingShm(pBitArray);
        if (opened == ShmOpen::OPENED) {
            bNew = FALSE;
        } else {
            if (opened == ShmOpen::REPLACED)
                bStartSet = TRUE;
            Mos_RC rc = mosShmUmt_Create(&pBitArray->sharedMem, pBitArray->sharedMemName, bytesOf(pBitArray), TRUE,
                                         FALSE);
            if (rc == MOS_RC__SUCCESS)
                rc = mapShm(pBitArray);
            if (rc != MOS_RC__SUCCESS)
                return rc;
        }
    }
    if (bNew)
        memset(pBitArray->pBmBuff, bStartSet ? 0xFF : 0, bytesOf(pBitArray));
    if (pbNew != nullptr)
        *pbNew = bNew;
    return MOS_RC__SUCCESS;
}

void bitArray_Destroy(BitArray *pBitArray)
{
    if (pBitArray->bSharedMem) {
        if (pBitArray->sharedMem.shmFD != -1)
            mosShm_Close(&pBitArray->sharedMem);
    } else if (pBitArray->pBmBuff != nullptr) {
        mos_FreePageAligned(pBitArray->pBmBuff);
        if (pBitArray->sharedMem.shmFD != -1)
            mosShm_Close(&pBitArray->sharedMem);
    }
    pBitArray->pBmBuff = nullptr;
}

BOOL bitArray_IsBitSet(const BitArray *pBitArray, UINT32 bit)
{
    checkBit(pBitArray, bit);
    return bits_IsBitSet(pBitArray->pBmBuff, bit);
}

BOOL bitArray_SetBit(BitArray *pBitArray, UINT32 bit)
{
    checkBit(pBitArray, bit);
    return bits_SetBit(pBitArray->pBmBuff, bit);
}

BOOL bitArray_ResetBit(BitArray *pBitArray, UINT32 bit)
{
    checkBit(pBitArray, bit);
    return bits_ChangeBits(pBitArray->pBmBuff, bit, 1, FALSE) != 0;
}

UINT32 bitArray_ChangeBits(BitArray *pBitArray, UINT32 firstBit, UINT32 numOfBits, BOOL bSet)
{
    checkRange(pBitArray, firstBit, numOfBits);
    return bits_ChangeBits(pBitArray->pBmBuff, firstBit, numOfBits, bSet);
}

UINT32 bitArray_SetBits(BitArray *pBitArray, UINT32 bitNum, UINT32 numOfBits, const UINT8 *pSrcBuf)
{
    Exp(bitNum % 8 != 0 || numOfBits % 8 != 0);
    checkRange(pBitArray, bitNum, numOfBits);
    UINT32 changed = 0;
    UINT8 *pDst = pBitArray->pBmBuff + bitNum / 8;
    for (UINT32 i = 0; i < numOfBits / 8; i++) {
        UINT8 add = (UINT8)(pSrcBuf[i] & ~pDst[i]);
        pDst[i] |= add;
        changed += kSetBitsInByte[add];
    }
    return changed;
}

void bitArray_ReadBits(const BitArray *pBitArray, UINT32 bitNum, UINT32 numOfBits, UINT8 *pDstBuf)
{
    Exp(bitNum % 8 != 0 || numOfBits % 8 != 0);
    checkRange(pBitArray, bitNum, numOfBits);
    memcpy(pDstBuf, pBitArray->pBmBuff + bitNum / 8, numOfBits / 8);
}

UINT32 bitArray_OrBits(BitArray *pDst, const BitArray *pSrc, UINT32 firstBit, UINT32 numOfBits)
{
    checkRange(pDst, firstBit, numOfBits);
    checkRange(pSrc, firstBit, numOfBits);
    return bit_OrBits(pDst->pBmBuff, pSrc->pBmBuff, firstBit, numOfBits);
}

UINT32 bitArray_CountSetBits(const BitArray *pBitArray, UINT32 firstBit, UINT32 numOfBits)
{
    checkRange(pBitArray, firstBit, numOfBits);
    UINT32 count = 0;
    forEachByte(firstBit, numOfBits, [&](UINT32 b, UINT8 mask) {
        count += kSetBitsInByte[(UINT8)(pBitArray->pBmBuff[b] & mask)];
        return true;
    });
    return count;
}

UINT32 bitArray_CountResetBits(const BitArray *pBitArray, UINT32 firstBit, UINT32 numOfBits)
{
    return numOfBits - bitArray_CountSetBits(pBitArray, firstBit, numOfBits);
}

BOOL bitArray_IsAllSet(const BitArray *pBitArray, UINT32 firstBit, UINT32 numOfBits)
{
    checkRange(pBitArray, firstBit, numOfBits);
    return bit_IsAllSet(pBitArray->pBmBuff, firstBit, numOfBits);
}

BOOL bitArray_IsAllReset(const BitArray *pBitArray, UINT32 firstBit, UINT32 numOfBits)
{
    checkRange(pBitArray, firstBit, numOfBits);
    bool bAll = true;
    forEachByte(firstBit, numOfBits,
                [&](UINT32 b, UINT8 mask) { return bAll = (pBitArray->pBmBuff[b] & mask) == 0; });
    return bAll;
}

UINT32 bitArray_FindNextSetBit(const BitArray *pBitArray, UINT32 firstBit, UINT32 numOfBits)
{
    checkRange(pBitArray, firstBit, numOfBits);
    return bits_FindNextSetBit(pBitArray->pBmBuff, firstBit, numOfBits);
}

UINT32 bitArray_FindLastSetBit(const BitArray *pBitArray, UINT32 firstBit, UINT32 numOfBits)
{
    checkRange(pBitArray, firstBit, numOfBits);
    return bits_FindLastSetBit(pBitArray->pBmBuff, firstBit, numOfBits);
}

void bitArray_ResetAll(BitArray *pBitArray)
{
    memset(pBitArray->pBmBuff, 0, bytesOf(pBitArray));
}

void bitArray_Print(const BitArray *pBitArray, UINT32 firstBit, UINT32 numOfBits, BOOL bDetailed, FILE *pOut)
{
    FILE *pTo = pOut != nullptr ? pOut : stdout;
    fprintf(pTo, "Bits from %5u to %5u ", firstBit, firstBit + numOfBits);
    if (bDetailed) {
        for (UINT32 i = 0; i < numOfBits; i++)
            fputc(bitArray_IsBitSet(pBitArray, firstBit + i) ? '1' : '0', pTo);
        fputc('\n', pTo);
    }
    fprintf(pTo, "# of bits set %u \n", numOfBits == 0 ? 0 : bitArray_CountSetBits(pBitArray, firstBit, numOfBits));
}

BOOL bitArray_CreateShm(BitArray *pBitArray, UINT64 devId, UINT32 index, char type)
{
    if (pBitArray->bSharedMem)
        return FALSE;
    bitArray_ShmName(pBitArray->sharedMemName, devId, index, type);
    if (mosShmUmt_Create(&pBitArray->sharedMem, pBitArray->sharedMemName, bytesOf(pBitArray), TRUE, FALSE) !=
        MOS_RC__SUCCESS)
        return FALSE;
    if (mosShm_Map(&pBitArray->sharedMem, FALSE) != MOS_RC__SUCCESS) {
        mosShmUmt_Destroy(&pBitArray->sharedMem);
        return FALSE;
    }
    return TRUE;
}

BOOL bitArray_MoveToSharedMem(BitArray *pBitArray, UINT64 devId, UINT32 index, char type)
{
    if (!bitArray_CreateShm(pBitArray, devId, index, type))
        return FALSE;
    memcpy(pBitArray->sharedMem.pMem, pBitArray->pBmBuff, bytesOf(pBitArray));
    mos_FreePageAligned(pBitArray->pBmBuff);
    pBitArray->pBmBuff = static_cast<UINT8 *>(pBitArray->sharedMem.pMem);
    pBitArray->bSharedMem = TRUE;
    return TRUE;
}

void bitArray_MoveToDisk(BitArray *pBitArray)
{
    if (!pBitArray->bSharedMem)
        return;
    UINT8 *pPrivate = static_cast<UINT8 *>(mos_AllocPageAlignedOrPanic(bytesOf(pBitArray)));
    memcpy(pPrivate, pBitArray->pBmBuff, bytesOf(pBitArray));
    pBitArray->pBmBuff = pPrivate;
    pBitArray->bSharedMem = FALSE;
}

void bitArray_DestroyShm(BitArray *pBitArray)
{
    if (pBitArray->sharedMem.shmFD == -1 && pBitArray->sharedMem.pMem == nullptr)
        return;
    Exp(pBitArray->bSharedMem);
    mosShmUmt_Destroy(&pBitArray->sharedMem);
    pBitArray->sharedMem.shmFD = -1;
}
