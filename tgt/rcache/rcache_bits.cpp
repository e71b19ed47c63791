#include "tgt/rcache/rcache_bits.h"

#include <array>
#include <cstdio>

namespace {
using ByteRuns = std::array<std::array<UINT8, RCACHE_BITS__ENTRIES_PER_BYTE>, 256>;

constexpr UINT8 encode(UINT32 first, UINT32 length, UINT32 kind)
{
    return (UINT8)(kind | ((length - 1) << 3) | first);
}

// Entry 0 a run from bit 0, entry 3 a run to bit 7, inner runs in the lowest free entries.
constexpr std::array<UINT8, RCACHE_BITS__ENTRIES_PER_BYTE> runsOfByte(UINT32 value)
{
    std::array<UINT8, RCACHE_BITS__ENTRIES_PER_BYTE> row{};
    bool used[RCACHE_BITS__ENTRIES_PER_BYTE] = {};
    auto isSet = [value](UINT32 bit) { return ((value >> (7 - bit)) & 1) != 0; };
    UINT32 bit = 0;
    UINT8 inner[4] = {};
    UINT32 numInner = 0;
    while (bit < 8) {
        if (!isSet(bit)) {
            bit++;
            continue;
        }
        const UINT32 first = bit;
        while (bit < 8 && isSet(bit))
            bit++;
        const UINT32 length = bit - first;
        if (bit == 8) {
            row[3] = encode(first, length, RCACHE_BITS__KIND_END);
            used[3] = true;
        } else if (first == 0) {
            row[0] = encode(first, length, RCACHE_BITS__KIND_START);
            used[0] = true;
        } else {
            inner[numInner++] = encode(first, length, RCACHE_BITS__KIND_INNER);
        }
    }
    for (UINT32 i = 0, e = 0; i < numInner; i++) {
        while (used[e])
            e++;
        row[e] = inner[i];
        used[e] = true;
    }
    return row;
}

constexpr ByteRuns buildTable()
{
    ByteRuns table{};
    for (UINT32 v = 0; v < 256; v++)
        table[v] = runsOfByte(v);
    return table;
}

constexpr ByteRuns kTable = buildTable();
static_assert(kTable[0xFF][3] == 0xB8 && kTable[0xFF][0] == 0);
static_assert(kTable[0xAA][0] == encode(0, 1, RCACHE_BITS__KIND_START) && kTable[0xAA][3] == encode(6, 1, RCACHE_BITS__KIND_INNER));

UINT32 firstOf(UINT8 e) { return e & 7u; }
UINT32 lengthOf(UINT8 e) { return ((e >> 3) & 7u) + 1; }

struct Scan {
    RcacheBits_Seq *pOut;
    UINT32 num;
    bool bPending;
    UINT32 start;
    UINT32 length;

    void emit(UINT32 s, UINT32 l) { pOut[num++] = RcacheBits_Seq{(UINT8)s, (UINT8)l}; }
    void extend(UINT32 s, UINT32 l)
    {
        if (bPending) {
            length += l;
            return;
        }
        bPending = true;
        start = s;
        length = l;
    }
    void flush()
    {
        if (bPending)
            emit(start, length);
        bPending = false;
    }
};

// One byte of the scan: a run from bit 0 continues the pending run, anything but a full byte
// ends it, inner runs stand alone, and a run to bit 7 becomes the pending run.
void rcacheBits_CalcSeq(UINT8 value, UINT32 byteIndex, Scan *pScan)
{
    const UINT8 *pRow = setBitsSequenceInByte[value];
    const UINT32 base = byteIndex * 8;
    if ((pRow[0] & RCACHE_BITS__KIND_MASK) == RCACHE_BITS__KIND_START)
        pScan->extend(base, lengthOf(pRow[0]));
    if (value != 0xFF)
        pScan->flush();
    for (UINT32 e = 0; e < RCACHE_BITS__ENTRIES_PER_BYTE; e++)
        if ((pRow[e] & RCACHE_BITS__KIND_MASK) == RCACHE_BITS__KIND_INNER)
            pScan->emit(base + firstOf(pRow[e]), lengthOf(pRow[e]));
    if ((pRow[3] & RCACHE_BITS__KIND_MASK) == RCACHE_BITS__KIND_END)
        pScan->extend(base + firstOf(pRow[3]), lengthOf(pRow[3]));
}
} // namespace

const UINT8 setBitsSequenceInByte[256][RCACHE_BITS__ENTRIES_PER_BYTE] = {
#define RCACHE_BITS_ROW(v) {kTable[v][0], kTable[v][1], kTable[v][2], kTable[v][3]}
#define RCACHE_BITS_ROW4(v) RCACHE_BITS_ROW(v), RCACHE_BITS_ROW(v + 1), RCACHE_BITS_ROW(v + 2), RCACHE_BITS_ROW(v + 3)
#define RCACHE_BITS_ROW16(v) RCACHE_BITS_ROW4(v), RCACHE_BITS_ROW4(v + 4), RCACHE_BITS_ROW4(v + 8), RCACHE_BITS_ROW4(v + 12)
#define RCACHE_BITS_ROW64(v) RCACHE_BITS_ROW16(v), RCACHE_BITS_ROW16(v + 16), RCACHE_BITS_ROW16(v + 32), RCACHE_BITS_ROW16(v + 48)
    RCACHE_BITS_ROW64(0), RCACHE_BITS_ROW64(64), RCACHE_BITS_ROW64(128), RCACHE_BITS_ROW64(192),
#undef RCACHE_BITS_ROW64
#undef RCACHE_BITS_ROW16
#undef RCACHE_BITS_ROW4
#undef RCACHE_BITS_ROW
};

void rcacheBits_CalcSeqIn4BytesBuf(const UINT8 *pBuf, RcacheBits_Seq *pSeqArray, UINT32 *pNumOfSeqs)
{
    Scan scan{pSeqArray, 0, false, 0, 0};
    for (UINT32 b = 0; b < 4; b++)
        rcacheBits_CalcSeq(pBuf[b], b, &scan);
    scan.flush();
    *pNumOfSeqs = scan.num;
}

void printBitTable(void)
{
    const ByteRuns table = buildTable();
    for (UINT32 v = 0; v < 256; v++)
        printf("0x%02x: 0x%02x 0x%02x 0x%02x 0x%02x\n", v, table[v][0], table[v][1], table[v][2], table[v][3]);
}
