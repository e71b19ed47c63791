#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <x86intrin.h>

#include "mos/mos_perf.h"
#include "mos/mos_perf_intrn.h"
#include "test/support/mos_container_support.h"

namespace {

void spinCycles(UINT64 cycles)
{
    const UINT64 start = __rdtsc();
    while (__rdtsc() - start < cycles) {
    }
}

const MosPerfStage_Desc kDescs[] = {{0, "alpha"}, {1, "beta"}, {2, "gamma"}, {3, "delta"}};

MosPerfStage_Query query(MosPerfStage *pStage)
{
    MosPerfStage_Query q;
    MosPerfStageQuery(pStage, &q);
    return q;
}

struct Perf : ::testing::Test {
    ContainerLayers layers;
    void SetUp() override { ASSERT_EQ(MosPerfLayer_Init(), MOS_RC__SUCCESS); }
    void TearDown() override { MosPerfLayer_Destroy(); }
};

} // namespace

TEST_F(Perf, GroupSetUpIsChecked)
{
    MosPerfStack s;
    MosPerfStage_Desc many[17];
    for (UINT8 i = 0; i < 17; i++)
        many[i] = {i, "stage"};
    EXPECT_EQ(MosPerfStack_Init(&s, "too many", 17, many), MOS_RC__INVALID);
    const MosPerfStage_Desc badFirst[] = {{2, "x"}, {0, "y"}};
    EXPECT_EQ(MosPerfStack_Init(&s, "bad id", 2, badFirst), MOS_RC__INVALID);
    EXPECT_EQ(MosPerfStack_Init(&s, "none", 0, kDescs), MOS_RC__INVALID);
    MosPerfLinear l;
    EXPECT_EQ(MosPerfLinear_Init(&l, "too many", 17, many), MOS_RC__INVALID);

    // Names are cut to what their fields hold.
    const std::string longName(40, 'n');
    const std::string longContext(80, 'c');
    const MosPerfStage_Desc named[] = {{0, longName.c_str()}};
    ASSERT_EQ(MosPerfStack_Init(&s, longContext.c_str(), 1, named), MOS_RC__SUCCESS);
    EXPECT_EQ(std::string(s.stages[0].stageName), longName.substr(0, 31));
    EXPECT_EQ(std::string(s.contextDescription), longContext.substr(0, 63));
    EXPECT_STREQ(s.totalStage.stageName, "Total stack execution");
    EXPECT_EQ(s.stages[0].histogram.numBuckets, 32u);
    EXPECT_EQ(s.stages[0].histogram.expectedMaxValue, MOS_PERF_MAX_STAGE_CYCLES);
    MosPerfStack_Destroy(&s);

    MosPerfStage stage;
    EXPECT_EQ(MosPerfStage_Init(&stage, "inverted", 100, 10, 1, 8), MOS_RC__INVALID)
        << "a histogram that cannot be made fails the stage";
}

TEST_F(Perf, NestedStagesCountOnlyTheirOwnCycles)
{
    MosPerfStack s;
    ASSERT_EQ(MosPerfStack_Init(&s, "nest", 2, kDescs), MOS_RC__SUCCESS);
    MosPerfStack_Sample run;
    MosPerfStackSample_Init(&run, &s);

    constexpr UINT64 kInner = 300000000; // about a tenth of a second
    MosPerfStackSample_Start(&run, 0);
    MosPerfStackSample_Start(&run, 1);
    spinCycles(kInner);
    MosPerfStackSample_Stop(&run);
    MosPerfStackSample_Stop(&run);
    EXPECT_EQ(run.currStackFrame, 0);

    const MosPerfStage_Query outer = query(&s.stages[0]);
    const MosPerfStage_Query inner = query(&s.stages[1]);
    const MosPerfStage_Query total = query(&s.totalStage);
    EXPECT_EQ(outer.numSamplesStarted, 1u);
    EXPECT_EQ(outer.numSamplesFinished, 1u);
    EXPECT_EQ(inner.stat.sampleNum, 1u);
    EXPECT_GE(inner.stat.total, kInner);
    EXPECT_LT(outer.stat.total, inner.stat.total) << "the inner stage's cycles are not the outer one's";
    EXPECT_EQ(total.stat.sampleNum, 1u);
    EXPECT_GE(total.stat.total, inner.stat.total + outer.stat.total);
    EXPECT_EQ(inner.histogram.numValidSamples, 1u);
    EXPECT_STREQ(inner.stageName, "beta");

    MosPerfStack_Reset(&s);
    EXPECT_EQ(query(&s.stages[1]).stat.sampleNum, 0u);
    EXPECT_EQ(query(&s.totalStage).histogram.numValidSamples, 0u);
    MosPerfStack_Destroy(&s);
}

TEST_F(Perf, AStackNestsAsManyStagesAsItHas)
{
    for (UINT32 n : {1u, 4u}) {
        MosPerfStack s;
        ASSERT_EQ(MosPerfStack_Init(&s, "depth", n, kDescs), MOS_RC__SUCCESS);
        MosPerfStack_Sample run;
        MosPerfStackSample_Init(&run, &s);
        for (UINT8 i = 0; i < n; i++)
            MosPerfStackSample_Start(&run, i);
        EXPECT_EQ(run.currStackFrame, n);
        EXPECT_PANIC(MosPerfStackSample_Start(&run, 0), "pStackSample->currStackFrame < pStack->numStages");
        for (UINT32 i = 0; i < n; i++)
            MosPerfStackSample_Stop(&run);
        for (UINT32 i = 0; i < n; i++)
            EXPECT_EQ(query(&s.stages[i]).numSamplesFinished, 1u) << i;
        EXPECT_EQ(query(&s.totalStage).numSamplesFinished, 1u);
        MosPerfStack_Destroy(&s);
    }
}

TEST_F(Perf, MisuseOfARunIsABrokenInvariant)
{
    MosPerfStack s;
    ASSERT_EQ(MosPerfStack_Init(&s, "misuse", 2, kDescs), MOS_RC__SUCCESS);
    MosPerfStack_Sample run;
    MosPerfStackSample_Init(&run, &s);
    EXPECT_PANIC(MosPerfStackSample_Start(&run, 2), "stageId < pStack->numStages");
    EXPECT_PANIC(MosPerfStackSample_Stop(&run), "pSample->startCycles != 0");
    MosPerfSample sample = {};
    EXPECT_PANIC(MosPerfSample_Resume(&sample), "pSample->isPaused");
    MosPerfLinear l;
    ASSERT_EQ(MosPerfLinear_Init(&l, "misuse", 2, kDescs), MOS_RC__SUCCESS);
    MosPerfLinear_Sample lrun;
    MosPerfLinearSample_Init(&lrun, &l);
    EXPECT_PANIC(MosPerfLinearSample_Start(&lrun, 2), "stageId < pStack->numStages");
    MosPerfLinear_Destroy(&l);
    MosPerfStack_Destroy(&s);
}

TEST_F(Perf, LinearRunEndsAStageByStartingTheNext)
{
    MosPerfLinear l;
    ASSERT_EQ(MosPerfLinear_Init(&l, "linear", 3, kDescs), MOS_RC__SUCCESS);
    MosPerfLinear_Sample run;
    MosPerfLinearSample_Init(&run, &l);

    MosPerfLinearSample_Start(&run, 1);
    MosPerfLinearSample_Start(&run, 2);
    EXPECT_EQ(query(&l.stack.stages[1]).numSamplesFinished, 1u);
    EXPECT_EQ(query(&l.stack.stages[2]).numSamplesStarted, 1u);
    EXPECT_EQ(query(&l.stack.stages[2]).numSamplesFinished, 0u);
    EXPECT_EQ(query(&l.stack.totalStage).numSamplesFinished, 0u);

    // The run moves to another OS thread and back.
    std::thread([&] { MosPerfLinearSample_Start(&run, 0); }).join();
    MosPerfLinearSample_Stop(&run);
    EXPECT_EQ(query(&l.stack.stages[2]).numSamplesFinished, 1u);
    EXPECT_EQ(query(&l.stack.stages[0]).numSamplesFinished, 1u);
    EXPECT_EQ(query(&l.stack.totalStage).numSamplesFinished, 1u);
    EXPECT_EQ(l.stack.ctxSwitchStat.sampleNum, 1u);
    EXPECT_EQ(l.stack.ctxSwitchStat.total, 2u);

    // The same run record serves the next request; a stop without a start adds nothing.
    MosPerfLinearSample_Start(&run, 0);
    MosPerfLinearSample_Stop(&run);
    MosPerfLinearSample_Stop(&run);
    EXPECT_EQ(query(&l.stack.totalStage).numSamplesFinished, 2u);
    EXPECT_EQ(l.stack.ctxSwitchStat.sampleNum, 2u);
    EXPECT_EQ(l.stack.ctxSwitchStat.total, 2u);
    MosPerfLinear_Destroy(&l);
}

TEST_F(Perf, DefaultGroupsAndTheRegistry)
{
    // Runs bound to nothing do nothing.
    MosPerfLinear_Sample unbound;
    MosPerfLinearSample_Init(&unbound, nullptr);
    EXPECT_EQ(unbound.pLinear, nullptr);
    MosPerfLinearSample_Start(&unbound, 0);
    MosPerfLinearSample_Stop(&unbound);
    MosPerfStack_Sample unboundStack;
    MosPerfStackSample_Init(&unboundStack, nullptr);
    MosPerfStackSample_Start(&unboundStack, 0);
    MosPerfStackSample_Stop(&unboundStack);

    ASSERT_EQ(MosPerfLinear_Init(nullptr, "requests", MOS_PERF_NUM_REQUEST_STAGES, MOS_PERF_REQUEST_STAGES),
              MOS_RC__SUCCESS);
    EXPECT_EQ(MosPerfLinear_Init(nullptr, "again", 2, kDescs), MOS_RC__ALREADY_EXISTS);
    ASSERT_EQ(MosPerfStack_Init(nullptr, "default stack", 2, kDescs), MOS_RC__SUCCESS);
    EXPECT_EQ(MosPerfStack_Init(nullptr, "again", 3, kDescs), MOS_RC__SUCCESS);
    EXPECT_EQ(mosPerfLayer_G.defStack.numStages, 2u) << "the first set-up stays";

    MosPerfLinear_Sample run;
    MosPerfLinearSample_Init(&run, nullptr);
    ASSERT_EQ(run.pLinear, &mosPerfLayer_G.defLinear);
    MosPerfLinearSample_Start(&run, 13);
    MosPerfLinearSample_Stop(&run);

    MosObj_Type *pType = mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__MOS_EXECUTION_STACK);
    ASSERT_NE(pType, nullptr);
    EXPECT_EQ(pType->queryDataSize, 15900u);
    EXPECT_EQ(mosObjType_GetObjNum(pType), 2u);

    MosObj *pObj = &mosPerfLayer_G.defLinear.stack.obj;
    auto q = std::make_unique<MosPerfStack_Query>();
    mosObj_Query(pObj, pType, q.get());
    EXPECT_EQ(q->numStages, 14u);
    EXPECT_STREQ(q->contextDescription, "requests");
    MosPerfStage_Query stage;
    memcpy(&stage, &q->stages[13], sizeof(stage));
    EXPECT_STREQ(stage.stageName, "NetSock send");
    EXPECT_EQ(stage.numSamplesFinished, 1u);
    EXPECT_EQ(stage.stat.sampleNum, 1u);
    memcpy(&stage, &q->totalStage, sizeof(stage));
    EXPECT_STREQ(stage.stageName, "Total stack execution");
    EXPECT_EQ(stage.histogram.numValidSamples, 1u);

    // Back door operation 1 resets the group; others do nothing.
    mosObj_Backdoor(pObj, pType, 2, 0, nullptr);
    EXPECT_EQ(mosPerfLayer_G.defLinear.stack.stages[13].stat.sampleNum, 1u);
    mosObj_Backdoor(pObj, pType, MOS_PERF_BACKDOOR_OP__RESET, 0, nullptr);
    EXPECT_EQ(mosPerfLayer_G.defLinear.stack.stages[13].stat.sampleNum, 0u);
    EXPECT_EQ(mosPerfLayer_G.defLinear.stack.totalStage.histogram.numValidSamples, 0u);
    // The layer takes its default groups down with it (TearDown).
}
