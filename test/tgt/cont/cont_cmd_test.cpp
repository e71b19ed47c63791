#include <gtest/gtest.h>

#include "tgt/cont/cont_cmd.h"

namespace {

// The add-manager's version rule: equal major, minor and build/10,000, or a newer sender.
TEST(ContCmd, AddManagerVersionRule)
{
    const UINT32 own = 0x02050000u | 23456u; // 2.5, build 23456 (third level 2)
    struct Case {
        UINT32 sender;
        BOOL bAccepted;
    };
    const Case cases[] = {
        {own, TRUE},
        {0x02050000u | 29999u, TRUE},  // same third level, other build
        {0x02050000u | 30000u, TRUE},  // newer third level: newer sender
        {0x02050000u | 19999u, FALSE}, // older third level
        {0x02040000u | 23456u, FALSE}, // lower minor
        {0x02060000u, TRUE},           // higher minor
        {0x01050000u | 23456u, FALSE}, // major 1
        {0x03000000u, TRUE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.sender);
        EXPECT_EQ(contCmd_IsVersionAccepted(c.sender, own), c.bAccepted);
    }
}

} // namespace
