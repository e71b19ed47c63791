#include <gtest/gtest.h>

#include <cstring>
#include <iterator>

#include "mos/mos_rc.h"

TEST(MosRc, NamesDescriptionsAndTypes)
{
    struct Case {
        INT64 rc;
        const char *name;
        const char *desc;
        MosRCType type;
    } cases[] = {
        {65, "SUCCESS", "Success", MOS_RC_TYPE__CLIENT},
        {0, "ILLEGAL", "Illegal", MOS_RC_TYPE__INTERNAL},
        {2, "PENDING", "Pending", MOS_RC_TYPE__INTERNAL},
        {5, "CLOSED", "Internal Error #", MOS_RC_TYPE__INTERNAL},
        {68, "TIMEOUT", "A timeout occurred", MOS_RC_TYPE__CLIENT},
        {418, "CERT_VERIFY_FAILURE", "The peer's certificate failed verification", MOS_RC_TYPE__INTERNAL},
        {628, "IO_DISCARD_REQ_UNALIGNED", "IO discard request is not properly aligned", MOS_RC_TYPE__INTERNAL},
        {37, "TGT_ADD_DEVICE_VALIDATION_FAILED", nullptr, MOS_RC_TYPE__CLIENT},
        {621, "SUCCESSOR_OOS", nullptr, MOS_RC_TYPE__INTERNAL},
    };
    for (const Case &c : cases) {
        EXPECT_STREQ(MOS_RC__GET_STR(c.rc), c.name) << c.rc;
        if (c.desc != nullptr) {
            EXPECT_STREQ(MOS_RC__GET_SPEC_STR(c.rc), c.desc) << c.rc;
        }
        EXPECT_EQ(MOS_RC__GET_TYPE(c.rc), c.type) << c.rc;
    }
    EXPECT_EQ(MOS_RC__SUCCESS, 65);
    EXPECT_EQ(MOS_RC__LAST, 629);
    EXPECT_TRUE(MOS_RC__IS_SUCCESS(MOS_RC__SUCCESS));
    EXPECT_FALSE(MOS_RC__IS_SUCCESS(MOS_RC__ERROR));
}

TEST(MosRc, UnassignedAndOutOfRangeCodesAreUnknown)
{
    // 127..132, 159, 179 are gaps inside the contiguous range; negatives arrive from the wire.
    for (INT64 rc : std::initializer_list<INT64>{127, 132, 159, 179, 599, 629, 1286, 100000, -1, -65, INT32_MIN}) {
        EXPECT_STREQ(MOS_RC__GET_STR(rc), "MOS_RC__UNKNOWN") << rc;
        EXPECT_STREQ(MOS_RC__GET_SPEC_STR(rc), "MOS_RC__UNKNOWN") << rc;
        EXPECT_EQ(MOS_RC__GET_TYPE(rc), MOS_RC_TYPE__INVALID) << rc;
    }
}

TEST(MosRc, EveryListedCodeHasItsNameADescriptionAndAType)
{
    struct Row {
        INT64 value;
        const char *pName;
        const char *pDesc;
    };
    static constexpr Row kRows[] = {
#define MOS_RC__TEST_ROW(name, value, type, desc) {value, #name, desc},
        MOS_RC__LIST(MOS_RC__TEST_ROW)
#undef MOS_RC__TEST_ROW
    };
    for (const Row &r : kRows) {
        EXPECT_STREQ(MOS_RC__GET_STR(r.value), r.pName);
        EXPECT_NE(r.pDesc, nullptr) << r.value;
        EXPECT_NE(MOS_RC__GET_TYPE(r.value), MOS_RC_TYPE__INVALID) << r.value;
        EXPECT_NE(MOS_RC__GET_TYPE(r.value), MOS_RC_TYPE__CLIENT_HIDDEN) << r.value;
    }
    EXPECT_GT(std::size(kRows), 500u);
}
