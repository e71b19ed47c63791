#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>

#include "mos/mos_trace.h"
#include "mos/mos_trace_intrn.h"
#include "test/support/diag_support.h"
#include "mos/mos_trace_layer.h"
#include "test/support/panic_expect.h"

using diagtest::readFile;
using diagtest::splitLines;

namespace {

constexpr MosTraceComponent kLowByDefault[] = {
    MOS_COMP_NET,         MOS_COMP_QUILLET_IOCTL, MOS_COMP_QUILLET_CONF,  MOS_COMP_QUILLET_INIT,
    MOS_COMP_QUILLET_BLK, MOS_COMP_QUILLET_NET,   MOS_COMP_QUILLET_MAP,   MOS_COMP_NET_RPC,
    MOS_COMP_NET_PATH_MNGR, MOS_COMP_MOS_PROFILING,
};

// Every test starts from the initial levels and leaves them so.
struct TraceConf : ::testing::Test {
    MosTraceFrequency saved[MOS_COMP_LAST];
    void SetUp() override
    {
        for (UINT32 c = 0; c < MOS_COMP_LAST; c++)
            saved[c] = g_componentFreqLevelsArr[c];
    }
    void TearDown() override
    {
        for (UINT32 c = 0; c < MOS_COMP_LAST; c++)
            g_componentFreqLevelsArr[c] = saved[c];
        bTraceAllowModify_G = TRUE;
    }
    static std::string confString()
    {
        char s[MOS_TRACE__COMPONENTS_MAP_STRING_SIZE];
        mosTraceConf_GetConfString(s, sizeof(s));
        return s;
    }
};

TEST_F(TraceConf, InitialLevels)
{
    for (UINT32 c = 0; c < MOS_COMP_LAST; c++) {
        bool bLow = std::find(std::begin(kLowByDefault), std::end(kLowByDefault), c) != std::end(kLowByDefault);
        EXPECT_EQ(mosTraceConf_GetComponentFreq((MosTraceComponent)c), bLow ? MOS_FREQ_LOW : MOS_FREQ_MED)
            << mosTraceConf_GetCompName((MosTraceComponent)c);
    }
    EXPECT_TRUE(mosTraceConf_GetModifyMode());
}

TEST_F(TraceConf, PackedMapLayout)
{
    MosTraceFrequency levels[MOS_COMP_LAST];
    for (auto &l : levels)
        l = MOS_FREQ_MED;
    levels[1] = MOS_FREQ_LOW;
    levels[65] = MOS_FREQ_HIGH;
    UINT8 map[MOS_TRACE__MAP_SIZE];
    memset(map, 0x55, sizeof(map));
    mosTraceConf_Zip(map, levels, sizeof(map), MOS_COMP_LAST);
    EXPECT_EQ(map[0], 0xA6);
    EXPECT_EQ(map[1], 0xAA);
    // Components 64 and 65 share byte 16; the slots of 66 to 79 stay 0.
    EXPECT_EQ(map[16], 0x0E);
    for (UINT32 i = 17; i < MOS_TRACE__MAP_SIZE; i++)
        EXPECT_EQ(map[i], 0) << i;
    char text[MOS_TRACE__COMPONENTS_MAP_STRING_SIZE];
    mosTraceConf_MapToString(text, sizeof(text), map, sizeof(map));
    EXPECT_EQ(std::string(text, 4), "GKKK");
    EXPECT_EQ(strlen(text), 40u);
    MosTraceFrequency back[MOS_COMP_LAST];
    mosTraceConf_Unzip(map, back, sizeof(map), MOS_COMP_LAST);
    EXPECT_EQ(memcmp(back, levels, sizeof(levels)), 0);
    UINT8 parsed[MOS_TRACE__MAP_SIZE];
    mosTraceConf_StringToMap(text, 40, parsed, sizeof(parsed));
    EXPECT_EQ(memcmp(parsed, map, sizeof(map)), 0);
}

TEST_F(TraceConf, MapStrings)
{
    const std::string gk = "G" + std::string(39, 'K');
    struct Case {
        const char *name;
        std::string text;
        bool bTaken;
    };
    const Case cases[] = {
        {"G then K", gk, true},
        {"all A is ignored", std::string(40, 'A'), true},
        {"39 letters", std::string(39, 'K'), false},
        {"41 letters", std::string(41, 'K'), false},
        {"lower case", std::string(39, 'K') + "k", false},
        {"past P", "Q" + std::string(39, 'K'), false},
        {"below A", "@" + std::string(39, 'K'), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        g_componentFreqLevelsArr[MOS_COMP_MOS] = MOS_FREQ_HIGH;
        EXPECT_EQ(mosTraceConf_SetFromdString(c.text.c_str(), (UINT32)c.text.size()), c.bTaken ? TRUE : FALSE);
        if (c.text == gk) {
            for (UINT32 comp = 0; comp < MOS_COMP_LAST; comp++)
                EXPECT_EQ(g_componentFreqLevelsArr[comp], comp == 1 ? MOS_FREQ_LOW : MOS_FREQ_MED) << comp;
            // What the string said about the slots past the last component is not kept.
            EXPECT_EQ(confString(), "GK" + std::string(30, 'K') + "KA" + std::string(6, 'A'));
        } else {
            EXPECT_EQ(g_componentFreqLevelsArr[MOS_COMP_MOS], MOS_FREQ_HIGH);
            EXPECT_EQ(g_componentFreqLevelsArr[MOS_COMP_NET], MOS_FREQ_LOW);
        }
    }
}

TEST_F(TraceConf, ForbiddenModificationChangesNothing)
{
    mosTraceConf_SetModifyMode(FALSE);
    EXPECT_FALSE(mosTraceConf_GetModifyMode());
    mosTraceConf_SetComponentFrequency(MOS_COMP_IO, MOS_FREQ_HIGH);
    const std::string allHigh(40, 'P');
    mosTraceConf_SetFromdString(allHigh.c_str(), 40);
    EXPECT_EQ(g_componentFreqLevelsArr[MOS_COMP_IO], MOS_FREQ_MED);
    EXPECT_EQ(g_componentFreqLevelsArr[MOS_COMP_NET], MOS_FREQ_LOW);
    mosTraceConf_SetModifyMode(TRUE);
    mosTraceConf_SetComponentFrequency(MOS_COMP_IO, MOS_FREQ_HIGH);
    EXPECT_EQ(mosTraceConf_GetComponentFreq(MOS_COMP_IO), MOS_FREQ_HIGH);
}

TEST_F(TraceConf, NamesAndLookups)
{
    EXPECT_STREQ(mosTraceConf_GetCompName(MOS_COMP_TGT_IOH), "TGT_IOH");
    EXPECT_STREQ(mosTraceConf_GetCompName(MOS_COMP_SYNCER), "SYNCER");
    EXPECT_STREQ(ptraceComponentsName[MOS_COMP_LAST], "LAST");
    EXPECT_EQ(mosTraceConf_GetCompEnum("tgt_ioh"), MOS_COMP_TGT_IOH);
    EXPECT_EQ(mosTraceConf_GetCompEnum("Mos"), MOS_COMP_MOS);
    EXPECT_EQ(mosTraceConf_GetCompEnum("TGT_IO"), MOS_COMP_LAST);
    EXPECT_EQ(mosTraceConf_GetFreqEnum("medium"), MOS_FREQ_MED);
    EXPECT_EQ(mosTraceConf_GetFreqEnum("Med"), MOS_FREQ_LAST);
    EXPECT_EQ(mosTraceConf_GetFreqEnum("HIGH"), MOS_FREQ_HIGH);
    EXPECT_EQ(mosTraceConf_GetFreqEnum("None"), MOS_FREQ_NONE);
    EXPECT_STREQ(mosTraceConf_GetFreqName(MOS_FREQ_MED), "Medium");
}

// The panic report itself is checked with the panic path; here only that these are panics.
TEST_F(TraceConf, BrokenInvariantsPanic)
{
    EXPECT_PANIC(mosTraceConf_GetCompName(MOS_COMP_LAST), "");
    EXPECT_PANIC(mosTraceConf_SetComponentFrequency(MOS_COMP_MOS, MOS_FREQ_LAST), "");
    UINT8 map[MOS_TRACE__MAP_SIZE];
    EXPECT_PANIC(mosTraceConf_StringToMap("@KKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKKK", 40, map, sizeof(map)), "");
    EXPECT_PANIC(mosTraceConf_Zip(map, nullptr, 19, MOS_COMP_LAST), "");
}

TEST_F(TraceConf, PrintedTableListsEveryComponent)
{
    ::testing::internal::CaptureStdout();
    MosTraceFrequency levels[MOS_COMP_LAST];
    for (UINT32 c = 0; c < MOS_COMP_LAST; c++)
        levels[c] = g_componentFreqLevelsArr[c];
    mosTraceConf_PrintConfiguration(levels, MOS_COMP_LAST);
    std::string out = ::testing::internal::GetCapturedStdout();
    std::vector<std::string> lines = splitLines(out);
    ASSERT_GE(lines.size(), 4u + MOS_COMP_LAST + 3u);
    EXPECT_EQ(lines[0], "Trace Configuration:");
    EXPECT_EQ(lines[1], std::string(74, '='));
    EXPECT_EQ(lines[2], "| Component                   | Frequency                                |");
    // Not a terminal: no colour sequences.
    EXPECT_EQ(lines[4], "| MOS                         | Medium                                   |");
    EXPECT_EQ(lines[5], "| NET                         | Low                                      |");
    EXPECT_EQ(out.find('\033'), std::string::npos);
    EXPECT_NE(out.find("| Configuration map:          | " + confString() + " |"), std::string::npos);
}

// The trace layer writes lines to the trace file, error lines also to the error file.
struct TraceLayer : ::testing::Test {
    diagtest::RuntimeBase runtime;
    diagtest::ScratchDir dir;
    void TearDown() override { mosTrcLayer_Destroy(); }
    MosTrc_InitParams params(bool bErrFile)
    {
        MosTrc_InitParams p{};
        p.traceFileParams = diagtest::fileParams(dir.path(), "trc", true, 5, 1 << 20);
        p.errFileParams = diagtest::fileParams(dir.path(), "err", true, 5, 1 << 20);
        p.errFileParams.bUseFile = bErrFile ? TRUE : FALSE;
        return p;
    }
};

TEST_F(TraceLayer, LinesReachTheirFiles)
{
    MosTrc_InitParams p = params(true);
    ASSERT_EQ(mosTrcLayer_Create(&p), MOS_RC__SUCCESS);
    MOS_TRACE(MOS_COMP_IO, MOS_FREQ_MED, "visible %d", 1);
    MOS_TRACE(MOS_COMP_IO, MOS_FREQ_HIGH, "suppressed %d", 2);
    MOS_NOISE(MOS_COMP_IO, "suppressed too");
    MOS_ERROR(MOS_COMP_IO, "bad thing %s", "happened");
    int errLine = __LINE__ - 1;
    mosTrace_DumpNow(0);
    std::vector<std::string> trc = splitLines(readFile(dir.file("trc.0")));
    std::vector<std::string> err = splitLines(readFile(dir.file("err.0")));
    ASSERT_EQ(trc.size(), 3u) << readFile(dir.file("trc.0"));
    const std::regex kStarted(".{22}---------- Process started\\. Version .*\\. PID \\d+ ----------");
    EXPECT_TRUE(std::regex_match(trc[0], kStarted)) << trc[0];
    EXPECT_TRUE(std::regex_match(trc[1], std::regex(".{22}\\(nil\\):TestBody:\\d{5}: visible 1"))) << trc[1];
    char want[64];
    snprintf(want, sizeof(want), "(nil):TestBody:%05d: ERROR: bad thing happened", errLine);
    EXPECT_EQ(trc[2].substr(22), want);
    ASSERT_EQ(err.size(), 2u);
    EXPECT_TRUE(std::regex_match(err[0], kStarted));
    snprintf(want, sizeof(want), "TestBody:%05d: ERROR: bad thing happened", errLine);
    EXPECT_EQ(err[1].substr(22), want);
}

TEST_F(TraceLayer, WithoutFilesOnlyStandardOutput)
{
    MosTrc_InitParams p{};
    p.bToStdout = TRUE;
    ASSERT_EQ(mosTrcLayer_Create(&p), MOS_RC__SUCCESS);
    ::testing::internal::CaptureStdout();
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "to the console");
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_HIGH, "not at this level");
    mosTrcLayer_DumpToStdout(FALSE);
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "nowhere");
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::regex_match(out, std::regex("\\(nil\\):TestBody:\\d{5}: to the console\n"))) << out;
    EXPECT_EQ(mosTrcLayer_GetLogFile(), nullptr);
}

// A bad error-file setting leaves the process running with the trace file alone.
TEST_F(TraceLayer, BadErrorFileSettingIsNotFatal)
{
    MosTrc_InitParams p = params(true);
    p.errFileParams.pPrefix = "an-error-file-prefix-longer-than-32";
    ASSERT_EQ(mosTrcLayer_Create(&p), MOS_RC__SUCCESS);
    EXPECT_NE(mosTrcLayer_GetLogFile(), nullptr);
    EXPECT_EQ(mosTrcLayer_GetErrFile(), nullptr);
    mosTrace_DumpNow(0);
    EXPECT_NE(readFile(dir.file("trc.0")).find("ERROR: Failed to create the error file"), std::string::npos);
}

TEST_F(TraceLayer, RefusedMapWritesTraceAndErrorLines)
{
    MosTrc_InitParams p = params(true);
    ASSERT_EQ(mosTrcLayer_Create(&p), MOS_RC__SUCCESS);
    mosTraceConf_SetFromdString("KKK", 3);
    mosTrace_DumpNow(0);
    EXPECT_NE(readFile(dir.file("trc.0")).find(": ERROR: Expected 41 sized string, got 3\n"), std::string::npos);
    EXPECT_NE(readFile(dir.file("err.0")).find(": ERROR: Expected 41 sized string, got 3\n"), std::string::npos);
}

} // namespace
