#include <gtest/gtest.h>

#include "tgt/cont/cont_net.h"

namespace {

// The size rule of a write's payload: 100 bytes of record, then 514 bytes a block with guards
// (flag 0x4) or 512 without, agreeing with the record's size.
TEST(ContNet, WriteSizeFollowsThePayloadAndTheRecord)
{
    constexpr UINT32 kDif = TGT_IO_WR__T10DIF_ATTACHED;
    struct Case {
        UINT32 msgLen;
        UINT32 flags;
        UINT32 fromCmd;
        BOOL bZero;
        BOOL bTestASet;
        UINT32 expected; // 0: malformed
    };
    const Case cases[] = {
        {100 + 8 * 514, kDif, 8, FALSE, FALSE, 8},
        {100 + 8 * 512, 0, 8, FALSE, FALSE, 8},
        {100 + 8 * 512, kDif, 8, FALSE, FALSE, 0},        // not a multiple of 514
        {100 + 8 * 514, 0, 8, FALSE, FALSE, 0},           // not a multiple of 512
        {100 + 8 * 512, 0, 7, FALSE, FALSE, 0},           // disagrees with the record
        {100, 0, 0, FALSE, FALSE, 0},                     // no data
        {99, 0, 0, FALSE, FALSE, 0},                      // shorter than the record
        {100 + 2048 * 514, kDif, 2048, FALSE, FALSE, 2048}, // one whole tooth
        {100 + 2049 * 512, 0, 2049, FALSE, FALSE, 0},     // crosses a tooth
        {100 + 16 * 514, kDif, 8, FALSE, TRUE, 8},        // test-a-set: compare and write data
        {100 + 16 * 512, 0, 16, FALSE, TRUE, 0},          // test-a-set whose half disagrees
        {100, 0, 64, TRUE, FALSE, 64},                    // write-zero: the record's size
        {100, 0, 4096, TRUE, FALSE, 0},                   // write-zero beyond a tooth
        {0xFFFFFFFFu, 0, 0x7FFFFF, FALSE, FALSE, 0},      // huge announced length
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.msgLen << " flags " << c.flags << " cmd " << c.fromCmd);
        EXPECT_EQ(contNet_GetWriteIoSizeInLbs(c.msgLen, c.flags, c.fromCmd, c.bZero, c.bTestASet), c.expected);
    }
}

} // namespace
