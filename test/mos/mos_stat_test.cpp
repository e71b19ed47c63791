#include <gtest/gtest.h>

#include "mos/mos_stat.h"

TEST(Stat, AccumulatesRefusesAndRestarts)
{
    MosStat s;
    mosStat_InitEx(&s, FALSE);
    for (UINT64 v : {1, 2, 3})
        mosStat_AddValue(&s, v);
    EXPECT_EQ(s.sampleNum, 3u);
    EXPECT_EQ(s.total, 6u);
    EXPECT_EQ(s.totalPow2, 14u);
    EXPECT_EQ(s.max, 3u);

    // Above 32 bits: refused, nothing else changes.
    mosStat_AddValue(&s, 1ull << 32);
    EXPECT_EQ(s.discardValues, 1u);
    EXPECT_EQ(s.sampleNum, 3u);
    EXPECT_EQ(s.total, 6u);
    EXPECT_EQ(s.max, 3u);

    // Two of the largest squares do not fit in 64 bits: the sums restart from the second.
    const UINT64 big = 0xFFFFFFFFull;
    mosStat_Reset(&s);
    EXPECT_FALSE(s.bDataInCycles);
    mosStat_AddValue(&s, big);
    mosStat_AddValue(&s, big);
    EXPECT_EQ(s.overflows, 1u);
    EXPECT_EQ(s.sampleNum, 1u);
    EXPECT_EQ(s.total, big);
    EXPECT_EQ(s.totalPow2, big * big);
    EXPECT_EQ(s.max, big);

    MosStat_Query q;
    mosStat_Query(&s, &q);
    EXPECT_EQ(q.overflows, 1u);
    EXPECT_EQ(q.totalPow2, big * big);

    mosStat_Init(&s);
    EXPECT_TRUE(s.bDataInCycles);
}

TEST(Stat, AggregateAddsOrRestartsOnOverflow)
{
    MosStat a, b;
    mosStat_Init(&a);
    mosStat_Init(&b);
    mosStat_AddValue(&a, 10);
    mosStat_AddValue(&b, 20);
    mosStat_AddValue(&b, 1ull << 40); // discarded
    mosStat_Aggregate(&a, &b);
    EXPECT_EQ(a.sampleNum, 2u);
    EXPECT_EQ(a.total, 30u);
    EXPECT_EQ(a.totalPow2, 500u);
    EXPECT_EQ(a.max, 20u);
    EXPECT_EQ(a.discardValues, 1u);

    MosStat huge;
    mosStat_Init(&huge);
    mosStat_AddValue(&huge, 0xFFFFFFFFull);
    MosStat dst = huge;
    mosStat_Aggregate(&dst, &huge);
    EXPECT_EQ(dst.sampleNum, 0u);
    EXPECT_EQ(dst.total, 0u);
    EXPECT_EQ(dst.totalPow2, 0u);
    EXPECT_EQ(dst.overflows, 1u);
    EXPECT_EQ(dst.max, 0xFFFFFFFFull);
}
