#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "test/support/scratch_dir.h"
#include "tgt/tgt_conf.h"

namespace {

struct TableView {
    MosConfEntry *pEntries = nullptr;
    UINT32 num = 0;
    TableView() { tgtConf_Init(&pEntries, &num); }
};

// With no configuration file every key's variable holds the table's default, whatever it held
// before, and no two keys share a variable.
TEST(TgtConf, WithoutAFileEveryKeyTakesItsDefault)
{
    TableView t;
    ASSERT_EQ(t.num, 122u);
    memset(static_cast<void *>(&tgtInitParam_G), 0xAB, sizeof(tgtInitParam_G));
    ASSERT_EQ(mosConf_ProcessFile(nullptr, &t.pEntries, &t.num, 1), MOS_RC__SUCCESS);

    std::set<std::string> names;
    std::set<const void *> vars;
    for (UINT32 i = 0; i < t.num; i++) {
        const MosConfEntry &e = t.pEntries[i];
        SCOPED_TRACE(e.pName);
        EXPECT_TRUE(names.insert(e.pName).second);
        switch (e.type) {
        case MOS_CONF_ENTRY_TYPE__INT:
            EXPECT_TRUE(vars.insert(e.params.intParams.pVar).second);
            EXPECT_EQ(*e.params.intParams.pVar, e.params.intParams.defVal);
            break;
        case MOS_CONF_ENTRY_TYPE__BOOL:
            EXPECT_TRUE(vars.insert(e.params.boolParams.pBVar).second);
            EXPECT_EQ(*e.params.boolParams.pBVar, e.params.boolParams.bDefValue);
            break;
        case MOS_CONF_ENTRY_TYPE__STRING:
            EXPECT_TRUE(vars.insert(e.params.stringParams.pValString).second);
            EXPECT_STREQ(e.params.stringParams.pValString, e.params.stringParams.pDefString);
            break;
        }
    }
    EXPECT_STREQ(tgtInitParam_G.repName, "rep_tgt.txt");
    EXPECT_EQ(tgtInitParam_G.port, 7072u);
    EXPECT_EQ(tgtInitParam_G.netParam.maxRcvMsg, 10000u);
    EXPECT_EQ(tgtInitParam_G.netParam.pollCpu, 0xFFFFFFFFull);
    EXPECT_EQ(tgtInitParam_G.totalUmts, 1600u);
    tgtConf_SetDefaults();
}

// The record's start values (code and tests that run without a file) are the table's defaults.
TEST(TgtConf, TheRecordStartsAtTheTableDefaults)
{
    tgtConf_SetDefaults();
    TgtConfParam before = tgtInitParam_G;
    TableView t;
    ASSERT_EQ(mosConf_ProcessFile(nullptr, &t.pEntries, &t.num, 1), MOS_RC__SUCCESS);
    EXPECT_EQ(memcmp(&before, &tgtInitParam_G, sizeof(before)), 0);
}

TEST(TgtConf, PerformanceQueryBeforeAnyChangeReportsTheStartValues)
{
    tgtConf_SetDefaults();
    tgtPerfInitParam_G.threadIniIo = 7; // a change not yet copied to the query
    tgtConf_InitPerfParams();
    PerfParamsQuery q;
    memset(&q, 0xFF, sizeof(q));
    perf_params_Query(&tgtPerfInitParam_G.sdbgObj, "perf", &q);
    EXPECT_EQ(q.numOfSocketsPerIpPellarToPellar, 1u);
    EXPECT_EQ(q.keepaliveTimeMs, 5000u);
    EXPECT_EQ(q.numNetWorkerThreads, 4u);
    EXPECT_EQ(q.recvBufferInKb, 0u);
    EXPECT_EQ(q.sendBufferInKb, 0u);
    EXPECT_EQ(q.maxReqPerAsyncFile, 8u);
    EXPECT_EQ(q.threadIniIo, 100u);
    EXPECT_EQ(q.threadTgtIoMain, 100u);
    EXPECT_EQ(q.threadTgtIoCopy, 164u);
    EXPECT_EQ(q.threadCopyIo, 164u);
    EXPECT_EQ(q.umtOsThrds, 4u);
    EXPECT_EQ(q.numIoBuffs, 2u);
    EXPECT_EQ(q.allocRcvBufferWaitMillis, 1000u);
    EXPECT_EQ(q.breakDoIOLoop, 0u);
}

TEST(TgtConf, PortCheckRefusesWhatTheServerCannotListenOn)
{
    ScratchDir dir;
    struct Case {
        const char *pText; // null: no file
        Mos_RC rc;
    };
    const Case cases[] = {
        {nullptr, MOS_RC__SUCCESS},
        {"tgt_thread__sms 3\n", MOS_RC__SUCCESS},
        {"tgt_port 7000\n", MOS_RC__SUCCESS},
        {"tgt_port 1024\n", MOS_RC__SUCCESS},
        {"tgt_port 65535\n", MOS_RC__SUCCESS},
        {"tgt_port 6611\n", MOS_RC__PARAMETER_OUT_OF_RANGE},
        {"tgt_port 1023\n", MOS_RC__PARAMETER_OUT_OF_RANGE},
        {"tgt_port 65536\n", MOS_RC__PARAMETER_OUT_OF_RANGE},
        {"tgt_port 0\n", MOS_RC__PARAMETER_OUT_OF_RANGE},
        {"tgt_port seven\n", MOS_RC__INVALID},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pText != nullptr ? c.pText : "(no file)");
        std::string path;
        if (c.pText != nullptr) {
            path = dir.path() + "/pellar.conf";
            FILE *f = fopen(path.c_str(), "w");
            ASSERT_NE(f, nullptr);
            fputs(c.pText, f);
            fclose(f);
        }
        EXPECT_EQ(tgtConf_CheckPort(c.pText != nullptr ? path.c_str() : nullptr), c.rc);
    }
}

} // namespace
