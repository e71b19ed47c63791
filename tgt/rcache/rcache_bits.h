// Runs of set bits in a block's 32-bit page bitmap. Page i is bit (7 - i mod 8) of byte i/8, so
// inside a byte bit 0 is the most significant one. A 256-row table describes every byte's runs;
// a scan of the four bytes joins runs across byte boundaries.
#pragma once

#include "mos/mos_types.h"

// One table entry: bits 0-2 the run's first bit, bits 3-5 its length minus 1, bits 7-6 its kind.
#define RCACHE_BITS__KIND_MASK 0xC0u
#define RCACHE_BITS__KIND_NONE 0x00u
#define RCACHE_BITS__KIND_INNER 0x40u // touches neither end of the byte
#define RCACHE_BITS__KIND_START 0xC0u // starts at bit 0, ends before bit 7
#define RCACHE_BITS__KIND_END 0x80u   // ends at bit 7 (a full byte too)
#define RCACHE_BITS__ENTRIES_PER_BYTE 4u
#define RCACHE_BITS__MAX_SEQS 16u

struct RcacheBits_Seq {
    UINT8 start;  // first page
    UINT8 length; // in pages
};

extern const UINT8 setBitsSequenceInByte[256][RCACHE_BITS__ENTRIES_PER_BYTE];

// The runs of set bits of pBuf[0..3] in ascending order, at most 16.
void rcacheBits_CalcSeqIn4BytesBuf(const UINT8 *pBuf, RcacheBits_Seq *pSeqArray, UINT32 *pNumOfSeqs);
// Debug print of the table computed afresh.
void printBitTable(void);
