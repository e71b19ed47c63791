#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "mos/mos_conf.h"
#include "mos/mos_trace.h"
#include "mos/mos_trace_layer.h"

namespace {

// A configuration file in a private directory, removed at the end of the test.
class ConfFile {
  public:
    explicit ConfFile(const std::string &text)
    {
        char dir[] = "/tmp/mos_conf_testXXXXXX";
        EXPECT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        path_ = dir_ + "/pellar.conf";
        FILE *f = fopen(path_.c_str(), "w");
        EXPECT_NE(f, nullptr);
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }
    ~ConfFile()
    {
        unlink(path_.c_str());
        rmdir(dir_.c_str());
    }
    const char *Path() const { return path_.c_str(); }

  private:
    std::string dir_, path_;
};

// One table with a key of each kind of rule.
struct Values {
    UINT64 win = 0;   // 1..120, default 5
    UINT64 blk = 0;   // 0..4096, multiple of 512, default 1024
    UINT64 big = 0;   // 0..UINT64_MAX, default 500
    BOOL enable = 0;  // default 1
    BOOL stdoutOn = 0; // default 0
    char prefix[16] = {};
    char dir[256] = {};
};

struct Table {
    Values v;
    MosConfEntry entries[7] = {
        mosConf_IntEntry("bwc_win_size_sec", &v.win, 1, 120, 1, 5),
        mosConf_IntEntry("blk", &v.blk, 0, 4096, 512, 1024),
        mosConf_IntEntry("big", &v.big, 0, UINT64_MAX, 1, 500),
        mosConf_BoolEntry("bwc_enable", &v.enable, 1),
        mosConf_BoolEntry("trc_stdout", &v.stdoutOn, 0),
        mosConf_StringEntry("prefix", v.prefix, "trc", sizeof(v.prefix)),
        mosConf_StringEntry("dir", v.dir, "", sizeof(v.dir)),
    };

    Mos_RC Load(const char *pFileName)
    {
        MosConfEntry *vectors[] = {entries};
        UINT32 lengths[] = {7};
        return mosConf_ProcessFile(pFileName, vectors, lengths, 1);
    }
};

struct Case {
    const char *name;
    std::string text;
    UINT64 win, blk, big;
    BOOL enable, stdoutOn;
    std::string prefix, dir;
};

const std::string kLongTail(300, 'x');
// The first 255 characters of this line end exactly where a second key would start if the line
// were read in pieces.
const std::string kSplitLine = "note " + std::string(255 - 5, 'y') + "bwc_win_size_sec 9\n";

const Case kCases[] = {
    {"all defaults", "", 5, 1024, 500, 1, 0, "trc", ""},
    {"in range", "bwc_win_size_sec 7\n", 7, 1024, 500, 1, 0, "trc", ""},
    {"below min", "bwc_win_size_sec 0\n", 5, 1024, 500, 1, 0, "trc", ""},
    {"above max", "bwc_win_size_sec 121\n", 5, 1024, 500, 1, 0, "trc", ""},
    {"key in capitals", "BWC_WIN_SIZE_SEC 7\n", 7, 1024, 500, 1, 0, "trc", ""},
    {"equals and spaces", "  bwc_win_size_sec = 9\r\n", 9, 1024, 500, 1, 0, "trc", ""},
    {"not a number", "bwc_win_size_sec 12abc\n", 5, 1024, 500, 1, 0, "trc", ""},
    {"word for a number", "bwc_win_size_sec seven\n", 5, 1024, 500, 1, 0, "trc", ""},
    {"negative number", "bwc_win_size_sec -5\n", 5, 1024, 500, 1, 0, "trc", ""},
    {"multiple taken", "blk 1536\n", 5, 1536, 500, 1, 0, "trc", ""},
    {"not a multiple", "blk 1000\n", 5, 1024, 500, 1, 0, "trc", ""},
    {"multiple out of range", "blk 4608\n", 5, 1024, 500, 1, 0, "trc", ""},
    {"largest 64-bit", "big 18446744073709551615\n", 5, 1024, UINT64_MAX, 1, 0, "trc", ""},
    {"beyond 64 bits", "big 18446744073709551616\n", 5, 1024, 500, 1, 0, "trc", ""},
    {"first line wins", "bwc_win_size_sec 7\nbwc_win_size_sec 9\n", 7, 1024, 500, 1, 0, "trc", ""},
    {"line without value passed over", "bwc_win_size_sec\nbwc_win_size_sec =\nbwc_win_size_sec 8\n", 8, 1024, 500, 1,
     0, "trc", ""},
    {"comment", "#bwc_win_size_sec 7\n# bwc_enable 0\n", 5, 1024, 500, 1, 0, "trc", ""},
    {"bool above one gives default", "bwc_enable 2\n", 5, 1024, 500, 1, 0, "trc", ""},
    {"bool zero", "bwc_enable 0\n", 5, 1024, 500, 0, 0, "trc", ""},
    {"bool negative kept", "bwc_enable -1\n", 5, 1024, 500, -1, 0, "trc", ""},
    {"bool word reads as false", "bwc_enable yes\n", 5, 1024, 500, 0, 0, "trc", ""},
    {"value ends at tab", "trc_stdout\t1\tx\n", 5, 1024, 500, 1, 1, "trc", ""},
    {"string with spaces", "prefix = a b  \n", 5, 1024, 500, 1, 0, "a b", ""},
    {"string just fits", "prefix 0123456789abcde\n", 5, 1024, 500, 1, 0, "0123456789abcde", ""},
    {"string too long", "prefix 0123456789abcdef\n", 5, 1024, 500, 1, 0, "trc", ""},
    {"long string value not cut to fit", "dir " + kLongTail + "\n", 5, 1024, 500, 1, 0, "trc", ""},
    {"long line read whole", kSplitLine, 5, 1024, 500, 1, 0, "trc", ""},
};

void PrintTo(const Case &c, std::ostream *os)
{
    *os << c.name;
}

class ConfCoercion : public ::testing::TestWithParam<Case> {};

} // namespace

TEST_P(ConfCoercion, FileValueOrDefault)
{
    const Case &c = GetParam();
    ConfFile file(c.text);
    Table t;
    ASSERT_EQ(t.Load(file.Path()), MOS_RC__SUCCESS);
    EXPECT_EQ(t.v.win, c.win);
    EXPECT_EQ(t.v.blk, c.blk);
    EXPECT_EQ(t.v.big, c.big);
    EXPECT_EQ(t.v.enable, c.enable);
    EXPECT_EQ(t.v.stdoutOn, c.stdoutOn);
    EXPECT_EQ(std::string(t.v.prefix), c.prefix);
    EXPECT_EQ(std::string(t.v.dir), c.dir);
}

INSTANTIATE_TEST_SUITE_P(Rules, ConfCoercion, ::testing::ValuesIn(kCases), [](const auto &info) {
    std::string n = info.param.name;
    for (char &ch : n)
        if (!isalnum((unsigned char)ch))
            ch = '_';
    return n;
});

TEST(ConfFile, MissingFileOrNoNameGivesDefaults)
{
    for (const char *pName : {static_cast<const char *>(nullptr), "/nonexistent/dir/pellar.conf"}) {
        Table t;
        t.v.win = 77;
        std::strcpy(t.v.prefix, "old");
        ASSERT_EQ(t.Load(pName), MOS_RC__SUCCESS);
        EXPECT_EQ(t.v.win, 5u);
        EXPECT_EQ(t.v.enable, 1);
        EXPECT_STREQ(t.v.prefix, "trc");
    }
}

TEST(ConfFile, UnknownEntryTypeStopsAfterFillingEarlierEntries)
{
    ConfFile file("a 3\nb 4\n");
    UINT64 a = 0, b = 0;
    MosConfEntry entries[] = {
        mosConf_IntEntry("a", &a, 0, 10, 1, 1),
        mosConf_IntEntry("b", &b, 0, 10, 1, 1),
        mosConf_IntEntry("c", &b, 0, 10, 1, 1),
    };
    entries[1].type = static_cast<MosConfEntry_Type>(9);
    MosConfEntry *vectors[] = {entries};
    UINT32 lengths[] = {3};
    EXPECT_EQ(mosConf_ProcessFile(file.Path(), vectors, lengths, 1), MOS_RC__INVALID);
    EXPECT_EQ(a, 3u);
    EXPECT_EQ(b, 0u);
}

TEST(ConfFile, NonNumericIntegerIsRefusedWithErrorLineNamingKey)
{
    ConfFile file("bwc_win_size_sec 12abc\n");
    MosConf_Info info{fopen(file.Path(), "r"), file.Path()};
    ASSERT_NE(info.pFile, nullptr);
    UINT64 v = 0;
    MosConfEntry e = mosConf_IntEntry("bwc_win_size_sec", &v, 1, 120, 1, 5);

    MosTraceFrequency saved = g_componentFreqLevelsArr[MOS_COMP_MOS];
    g_componentFreqLevelsArr[MOS_COMP_MOS] = MOS_FREQ_LOW;
    // Trace lines reach standard output only through the trace layer.
    MosTrc_InitParams toStdout{};
    toStdout.bToStdout = TRUE;
    mosTrcLayer_Create(&toStdout);
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    Mos_RC rc = mosConf_GetPrefValueInt(e.pName, &info, &e.params.intParams);
    std::string out = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
    mosTrcLayer_Create(nullptr);
    g_componentFreqLevelsArr[MOS_COMP_MOS] = saved;
    fclose(info.pFile);

    EXPECT_EQ(rc, MOS_RC__INVALID);
    EXPECT_EQ(v, 5u);
    EXPECT_NE(out.find("ERROR"), std::string::npos) << out;
    EXPECT_NE(out.find("bwc_win_size_sec"), std::string::npos) << out;
}

TEST(ConfFile, GetIniValueAndTokens)
{
    ConfFile file("# header\n\nalpha = one two\t# trailing\nbeta\n  gamma=3\n");
    MosConf_Info info{fopen(file.Path(), "r"), file.Path()};
    ASSERT_NE(info.pFile, nullptr);
    char buf[MOS_CONF__MAX_VALUE_LEN];
    ASSERT_NE(mosConf_GetIniValue("ALPHA", &info, buf), nullptr);
    EXPECT_STREQ(buf, "one two");
    EXPECT_EQ(mosConf_GetIniValue("beta", &info, buf), nullptr);
    ASSERT_NE(mosConf_GetIniValue("gamma", &info, buf), nullptr);
    EXPECT_STREQ(buf, "3");

    std::string tokens;
    for (char *p = mosConf_GetToken(&info, TRUE, buf); p != nullptr; p = mosConf_GetToken(&info, FALSE, buf))
        tokens += std::string(p) + ",";
    EXPECT_EQ(tokens, "alpha,beta,gamma,");
    fclose(info.pFile);
}

TEST(ConfFile, UnknownKeysAreCountedAndTraced)
{
    ConfFile file("bwc_win_size_sec 7\nfoo 1\n#bar 2\nBWC_ENABLE 0\n" + kSplitLine);
    Table t;
    MosConfEntry *vectors[] = {t.entries};
    UINT32 lengths[] = {7};

    MosTraceFrequency saved = g_componentFreqLevelsArr[MOS_COMP_MOS];
    g_componentFreqLevelsArr[MOS_COMP_MOS] = MOS_FREQ_MED;
    // Trace lines reach standard output only through the trace layer.
    MosTrc_InitParams toStdout{};
    toStdout.bToStdout = TRUE;
    mosTrcLayer_Create(&toStdout);
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    UINT32 unknown = mosConf_ValidateConfFile(file.Path(), vectors, lengths, 1);
    std::string out = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
    mosTrcLayer_Create(nullptr);
    g_componentFreqLevelsArr[MOS_COMP_MOS] = saved;

    // "foo" and "note"; the tail of the long line is not a key of its own.
    EXPECT_EQ(unknown, 2u);
    EXPECT_NE(out.find("Unknown token foo\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Unknown token bwc"), std::string::npos) << out;
    EXPECT_EQ(mosConf_ValidateConfFile("/nonexistent/pellar.conf", vectors, lengths, 1), 0u);
}

TEST(ConfTrace, ChangedOnlyUnlessAllAndSecretsMasked)
{
    UINT64 n = 7;
    BOOL b = 1;
    char s[8] = "abc";
    char secret[32] = "hunter2";
    UINT64 tokenCount = 12345;
    const MosConfEntry entries[] = {
        mosConf_IntEntry("win", &n, 1, 120, 1, 5),
        mosConf_BoolEntry("flag", &b, 1),
        mosConf_StringEntry("name", s, "abc", sizeof(s)),
        mosConf_StringEntry("admin_password", secret, "", sizeof(secret)),
        mosConf_IntEntry("session_token_size", &tokenCount, 0, UINT64_MAX, 1, 0),
    };
    struct Expect {
        BOOL bPrintAll;
        const char *lines[5]; // null: not printed
    } expects[] = {
        {FALSE,
         {"Conf: win = 7 (5)", nullptr, nullptr, "Skipping printout of admin_password",
          "Skipping printout of session_token_size"}},
        {TRUE,
         {"Conf: win = 7 (5)", "Conf: flag = 1 (1)", "Conf: name = abc (abc)", "Skipping printout of admin_password",
          "Skipping printout of session_token_size"}},
    };
    for (const Expect &e : expects) {
        for (size_t i = 0; i < 5; i++) {
            char buf[512];
            BOOL printed = mosConf_FormatEntry(&entries[i], e.bPrintAll, buf, sizeof(buf));
            SCOPED_TRACE(entries[i].pName);
            ASSERT_EQ(printed != FALSE, e.lines[i] != nullptr);
            if (printed) {
                EXPECT_STREQ(buf, e.lines[i]);
                EXPECT_EQ(std::string(buf).find("hunter2"), std::string::npos);
                EXPECT_EQ(std::string(buf).find("12345"), std::string::npos);
            }
        }
    }
}
