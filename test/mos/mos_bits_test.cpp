#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "mos/mos_bits.h"
#include "test/support/mos_container_support.h"

namespace {

// Reference model: one bool per bit, most significant bit of each byte first.
std::vector<bool> Unpack(const std::vector<UINT8> &buf)
{
    std::vector<bool> bits;
    for (UINT8 byte : buf)
        for (int i = 7; i >= 0; i--)
            bits.push_back((byte >> i) & 1);
    return bits;
}

} // namespace

TEST(Bits, ScansAndCountsOnAFixedMap)
{
    const UINT8 buf[] = {0x0F, 0xFF, 0x80};
    struct Case {
        const char *pName;
        UINT32 got;
        UINT32 want;
    };
    UINT32 first = 0, last = 0;
    const UINT32 nextRun = mosBit_NextConsecutiveSetResetBits(buf, 0, 23, TRUE, &first, &last);
    const Case cases[] = {
        {"set run from 4", mosBit_NumConsequtiveSetResetBits(buf, 4, 23, TRUE), 13},
        {"set run capped by maximum", mosBit_NumConsequtiveSetBits(buf, 4, 9), 6},
        {"set run from a reset bit", mosBit_NumConsequtiveSetBits(buf, 0, 23), 0},
        {"start beyond maximum", mosBit_NumConsequtiveSetBits(buf, 5, 4), 0},
        {"reset run from 0", mosBit_NumConsecutiveResetBits(buf, 0, 23), 4},
        {"reset run to the end", mosBit_NumConsecutiveResetBits(buf, 17, 23), 7},
        {"next reset bit from 4", mosBit_GetNextResetBit(buf, 4, 23), 17},
        {"next set bit from 0", mosBit_GetNextSetBit(buf, 0, 23), 4},
        {"next set bit past the last", mosBit_GetNextSetBit(buf, 17, 23), MOS_BIT__NOT_FOUND},
        {"next reset bit beyond maximum", mosBit_GetNextResetBit(buf, 4, 16), MOS_BIT__NOT_FOUND},
        {"previous reset run from 3", mosBit_NumPrevConsecutiveResetBits(buf, 3), 4},
        {"previous reset run from 20", mosBit_NumPrevConsecutiveResetBits(buf, 20), 4},
        {"previous reset run on a set bit", mosBit_NumPrevConsecutiveResetBits(buf, 16), 0},
        {"next set run length", nextRun, 13},
        {"next set run first", first, 4},
        {"next set run last", last, 16},
        {"set bits in [0, 23]", (UINT32)mosBit_NumSetResetBitsInBufRange(buf, 0, 23, TRUE), 13},
        {"reset bits in [0, 23]", (UINT32)mosBit_NumSetResetBitsInBufRange(buf, 0, 23, FALSE), 11},
        {"set bits in [5, 6]", (UINT32)mosBit_NumSetResetBitsInBufRange(buf, 5, 6, TRUE), 2},
        {"set positions 2..5 of 0x0F", mosBit_NumSetResetBitRangeInByte(0x0F, 2, 5, TRUE), 2},
        {"reset positions 0..7 of 0x80", mosBit_NumSetResetBitRangeInByte(0x80, 0, 7, FALSE), 7},
        {"bits of 0xF0F0F0F1", mosBit_NumSetBitsInUINT32(0xF0F0F0F1), 17},
        {"msb of 1", mosBit_MsbSetBitOfUINT32(1), 31},
        {"msb of 0x80000000", mosBit_MsbSetBitOfUINT32(0x80000000u), 0},
        {"msb of 0", mosBit_MsbSetBitOfUINT32(0), 32},
        {"msb of 0x00010000", mosBit_MsbSetBitOfUINT32(0x00010000u), 15},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.got, c.want) << c.pName;

    UINT32 untouched = 77;
    EXPECT_EQ(mosBit_NextConsecutiveSetResetBits(buf, 17, 23, TRUE, &untouched, &untouched), 0u);
    EXPECT_EQ(untouched, 77u);
}

TEST(Bits, SettingRangesMatchesABitModel)
{
    std::mt19937 rng(7);
    for (int iter = 0; iter < 400; iter++) {
        std::vector<UINT8> buf(12);
        for (auto &b : buf)
            b = (UINT8)rng();
        const UINT64 a = rng() % 96, b = rng() % 96;
        const UINT64 lo = std::min(a, b), hi = std::max(a, b);
        const BOOL bSet = rng() & 1;
        std::vector<bool> model = Unpack(buf);
        for (UINT64 i = lo; i <= hi; i++)
            model[i] = bSet;
        mosBit_SetResetBitsInBufRange(buf.data(), lo, hi, bSet);
        ASSERT_EQ(Unpack(buf), model) << lo << ".." << hi;

        // Counts and scans over a random range agree with the model too.
        const UINT32 start = rng() % 96, maxBit = start + rng() % (96 - start);
        UINT64 setCount = 0;
        for (UINT32 i = start; i <= maxBit; i++)
            setCount += model[i];
        ASSERT_EQ(mosBit_NumSetResetBitsInBufRange(buf.data(), start, maxBit, TRUE), setCount);
        UINT32 run = 0;
        while (start + run <= maxBit && model[start + run] == model[start])
            run++;
        ASSERT_EQ(mosBit_NumConsequtiveSetResetBits(buf.data(), start, maxBit, model[start]), run);
        UINT32 nextSet = MOS_BIT__NOT_FOUND;
        for (UINT32 i = start; i <= maxBit && nextSet == MOS_BIT__NOT_FOUND; i++)
            if (model[i])
                nextSet = i;
        ASSERT_EQ(mosBit_GetNextSetBit(buf.data(), start, maxBit), nextSet);
    }
}

TEST(Bits, BadRangesPanic)
{
    UINT8 buf[2] = {};
    EXPECT_PANIC(mosBit_NumSetResetBitRangeInByte(0, 3, 8, TRUE), "\\(startBit <= endBit\\) && \\(endBit <= 7\\)");
    EXPECT_PANIC(mosBit_NumSetResetBitsInBufRange(buf, 9, 8, TRUE), "startBit <= endBit");
    EXPECT_PANIC(mosBit_SetResetBitsInBufRange(buf, 9, 8, TRUE), "startBit <= endBit");
}
