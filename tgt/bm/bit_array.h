// Bit arrays of the dirty-region logs: bit n lies in byte n / 8 under the mask 0x80 >> (n mod 8)
// (most significant bit first); one LB holds 4096 bits. The memory is private (page-aligned) or a
// POSIX shared-memory segment "/qel_%016lx_%u_%c" that outlives a restart of the process.
//
// Every operation checks its bit or range against the array; a bit or range outside it is a
// broken invariant of the caller. A range is tested in the order: start inside, length not above
// the size, last bit inside.
#pragma once

#include <cstdio>

#include "mos/mos_rc.h"
#include "mos/mos_types.h"
#include "mos/usr/linux/mos_shm.h"

#define BIT_ARRAY__NOT_FOUND 0xFFFFFFFFu
#define BIT_ARRAY__BITS_IN_LB 4096u
#define BIT_ARRAY__SHM_NAME_LEN 25u
#define BIT_ARRAY__SHM_TYPE_WORKING 'P'

struct BitArray {
    MosShm sharedMem;
    UINT8 *pBmBuff;
    UINT32 numOfBits;
    UINT32 numOfLb; // ceil(numOfBits / 4096)
    BOOL bSharedMem;
    char sharedMemName[BIT_ARRAY__SHM_NAME_LEN + 1];
};

// Raw bytes.
BOOL bits_IsBitSet(const UINT8 *pBuf, UINT32 bit);
BOOL bits_SetBit(UINT8 *pBuf, UINT32 bit); // TRUE when it changed
UINT32 bits_ChangeBits(UINT8 *pBuf, UINT32 firstBit, UINT32 numOfBits, BOOL bSet); // bits changed
UINT32 bit_OrBits(UINT8 *pDst, const UINT8 *pSrc, UINT32 firstBit, UINT32 numOfBits); // bits changed
BOOL bit_IsAllSet(const UINT8 *pBuf, UINT32 firstBit, UINT32 numOfBits);
UINT32 bits_FindNextSetBit(const UINT8 *pBuf, UINT32 firstBit, UINT32 numOfBits);
UINT32 bits_FindLastSetBit(const UINT8 *pBuf, UINT32 firstBit, UINT32 numOfBits);

// The segment name of a device's log; its length is fixed (any other is a broken invariant).
void bitArray_ShmName(char *pName, UINT64 devId, UINT32 index, char type);

// With shared memory: bWrite creates the segment; otherwise the existing one is opened as it is,
// and a missing segment, or one whose size is not the array's, is made anew (*pbNew). A new
// array is filled with bStartSet, except a segment replaced for its size, which starts all set:
// what it held cannot be trusted, so every region counts as dirty.
Mos_RC bitArray_Init(BitArray *pBitArray, UINT32 numOfBits, BOOL bStartSet, BOOL bWrite, BOOL bUseShm,
                     UINT64 devId, UINT32 index, char type, BOOL *pbNew);
void bitArray_Destroy(BitArray *pBitArray);
BOOL bitArray_IsBitSet(const BitArray *pBitArray, UINT32 bit);
BOOL bitArray_SetBit(BitArray *pBitArray, UINT32 bit);
BOOL bitArray_ResetBit(BitArray *pBitArray, UINT32 bit);
UINT32 bitArray_ChangeBits(BitArray *pBitArray, UINT32 firstBit, UINT32 numOfBits, BOOL bSet);
// bitNum and numOfBits multiples of 8; returns the bits that changed.
UINT32 bitArray_SetBits(BitArray *pBitArray, UINT32 bitNum, UINT32 numOfBits, const UINT8 *pSrcBuf);
void bitArray_ReadBits(const BitArray *pBitArray, UINT32 bitNum, UINT32 numOfBits, UINT8 *pDstBuf);
UINT32 bitArray_OrBits(BitArray *pDst, const BitArray *pSrc, UINT32 firstBit, UINT32 numOfBits);
UINT32 bitArray_CountSetBits(const BitArray *pBitArray, UINT32 firstBit, UINT32 numOfBits);
UINT32 bitArray_CountResetBits(const BitArray *pBitArray, UINT32 firstBit, UINT32 numOfBits);
BOOL bitArray_IsAllSet(const BitArray *pBitArray, UINT32 firstBit, UINT32 numOfBits);
BOOL bitArray_IsAllReset(const BitArray *pBitArray, UINT32 firstBit, UINT32 numOfBits);
UINT32 bitArray_FindNextSetBit(const BitArray *pBitArray, UINT32 firstBit, UINT32 numOfBits);
UINT32 bitArray_FindLastSetBit(const BitArray *pBitArray, UINT32 firstBit, UINT32 numOfBits);
void bitArray_ResetAll(BitArray *pBitArray);
void bitArray_Print(const BitArray *pBitArray, UINT32 firstBit, UINT32 numOfBits, BOOL bDetailed, FILE *pOut);
// Creates the segment and moves the contents into it; FALSE when the array is already shared
// or the segment cannot be made.
BOOL bitArray_CreateShm(BitArray *pBitArray, UINT64 devId, UINT32 index, char type);
BOOL bitArray_MoveToSharedMem(BitArray *pBitArray, UINT64 devId, UINT32 index, char type);
// Private copy of the shared contents; the segment stays until bitArray_DestroyShm.
void bitArray_MoveToDisk(BitArray *pBitArray);
void bitArray_DestroyShm(BitArray *pBitArray);
