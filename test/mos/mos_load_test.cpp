#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "mos/mos_fastlock.h"
#include "mos/mos_load.h"
#include "test/support/child_process.h"
#include "test/support/panic_expect.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Layer tables.

std::vector<std::string> calls_G;
int params_G[6];

template <int N, Mos_RC RC> Mos_RC TestLoad(void *pParam)
{
    calls_G.push_back("L" + std::to_string(N) + (pParam == &params_G[N - 1] ? "" : "(wrong param)"));
    return RC;
}

template <int N> void TestUnload(void)
{
    calls_G.push_back("U" + std::to_string(N));
}

std::string Calls()
{
    std::string s;
    for (const auto &c : calls_G)
        s += c + " ";
    return s;
}

} // namespace

TEST(Loader, FailingLayerUnloadsEarlierLayersInReverse)
{
    const MosLoader_FuncPair funcs[] = {
        {TestLoad<1, MOS_RC__SUCCESS>, &params_G[0], TestUnload<1>},
        {TestLoad<2, MOS_RC__SUCCESS>, &params_G[1], TestUnload<2>},
        {TestLoad<3, MOS_RC__SUCCESS>, &params_G[2], TestUnload<3>},
        {TestLoad<4, MOS_RC__SUCCESS>, &params_G[3], TestUnload<4>},
        {TestLoad<5, MOS_RC__NO_RESOURCES>, &params_G[4], TestUnload<5>},
        {TestLoad<6, MOS_RC__SUCCESS>, &params_G[5], TestUnload<6>},
    };
    calls_G.clear();
    EXPECT_EQ(mosLoader_Load(funcs, 6), MOS_RC__NO_RESOURCES);
    EXPECT_EQ(Calls(), "L1 L2 L3 L4 L5 U4 U3 U2 U1 ");

    calls_G.clear();
    EXPECT_EQ(mosLoader_Load(funcs, 1), MOS_RC__SUCCESS);
    EXPECT_EQ(mosLoader_Load(funcs, 0), MOS_RC__SUCCESS);
    EXPECT_EQ(Calls(), "L1 ");

    calls_G.clear();
    mosLoader_Unload(funcs, 4);
    EXPECT_EQ(Calls(), "U4 U3 U2 U1 ");

    // A first layer that fails unloads nothing.
    const MosLoader_FuncPair first[] = {{TestLoad<1, MOS_RC__ERROR>, &params_G[0], TestUnload<1>}};
    calls_G.clear();
    EXPECT_EQ(mosLoader_Load(first, 1), MOS_RC__ERROR);
    EXPECT_EQ(Calls(), "L1 ");
}

TEST(Version, TextNumbersAndBanner)
{
    EXPECT_STREQ(mosVersion_Get(), "private Kestrim R2_0.13004.110_Release Jun 11 2017");
    UINT32 a = 9, b = 9, c = 9, d = 9;
    mosVersion_GetDetails(&a, &b, &c, &d);
    EXPECT_EQ(std::vector<UINT32>({a, b, c, d}), std::vector<UINT32>({2, 0, 13004, 110}));
    mosVersion_GetDetails(nullptr, nullptr, nullptr, &d);
    EXPECT_FALSE(mosVersion_IsDebugBuild());
    testing::internal::CaptureStdout();
    mosLoad_PrintVersion();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Qel Kestrim Version: R2_0.13004.110\n");
}

namespace {

// ---------------------------------------------------------------------------------------------
// mosLoad_Load runs in a child process: it loads the runtime and may end the process.

class TempDir {
  public:
    TempDir()
    {
        char dir[] = "/tmp/mos_load_testXXXXXX";
        EXPECT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    ~TempDir()
    {
        for (const auto &f : files_)
            unlink(f.c_str());
        rmdir(dir_.c_str());
    }
    std::string Write(const std::string &name, const std::string &text)
    {
        std::string path = dir_ + "/" + name;
        FILE *f = fopen(path.c_str(), "w");
        EXPECT_NE(f, nullptr);
        fputs(text.c_str(), f);
        fclose(f);
        files_.push_back(path);
        return path;
    }
    // A path in the directory for a file that the code under test creates.
    std::string Path(const std::string &name)
    {
        files_.push_back(dir_ + "/" + name);
        return files_.back();
    }

  private:
    std::string dir_;
    std::vector<std::string> files_;
};

// The program's own table, then the slot for the runtime's.
struct ProgramTables {
    UINT64 ownKey = 0;
    MosConfEntry own[1] = {mosConf_IntEntry("tgt_port", &ownKey, 1, 65535, 1, 7072)};
    MosConfEntry *vectors[2] = {own, nullptr};
    UINT32 lengths[2] = {1, 0};
};

Mos_RC LoadWith(std::vector<std::string> args, ProgramTables &t)
{
    std::vector<char *> argv;
    static std::string prog = "pellar";
    argv.push_back(prog.data());
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return mosLoad_Load((int)argv.size() - 1, argv.data(), t.vectors, t.lengths, 2, 2, 25640);
}

std::string Str(const char *p)
{
    return p == nullptr ? "(null)" : p;
}

// What the runtime's layers will receive, as one line per value.
void PrintReport(Mos_RC rc, const ProgramTables &t)
{
    const Mos_InitParam *p = mosLoad_GetInitParams();
    const MosEnvSpecific_InitParams &env = p->envSpecificParams;
    const MosCyclicFile_InitParams &trc = env.trcParams.traceFileParams;
    const MosCyclicFile_InitParams &err = env.trcParams.errFileParams;
    const MosCyclicFile_InitParams &exp = env.dbgParams.fileInfo;
    printf("rc=%d\nvectorLen=%u\nownKey=%lu\nmodule=%u\nport=%u\n", rc, t.lengths[1], t.ownKey, p->sdbgParams.module,
           p->sdbgParams.sdbgPort);
    printf("spin=%d layerSpin=%d period=%lu contention=%lu latency=%lu\n", p->fastlockParams.bUseSpinLocks,
           mosFastlockLayer_UseSpinlocks(), p->fastlockParams.acquirePeriodLog, p->fastlockParams.contentionLimit,
           p->fastlockParams.maxLatencyCycles);
    printf("noTimerThreads=%d bwc=%u/%d numa=%lu/%d oom=%d stdout=%d\n", p->timerParams.bDontUseThrds,
           p->bwcParams.winSize, p->bwcParams.bEnableCounters, env.thrdParams.numaAffinity,
           env.thrdParams.numaMemoryAffinity, env.thrdParams.bConfigOomKiller, env.trcParams.bToStdout);
    printf("media=%d%d%d%d%d%d umtUtils=%lu/%lu iov=%d/%u utils=%d/%lu\n", env.mediaParams.bEnableLsiGeneralInfoQuery,
           env.mediaParams.bEnableHpGeneralInfoQuery, env.mediaParams.bEnableDellGeneralInfoQuery,
           env.mediaParams.bEnableLsiVirtualDiskQuery, env.mediaParams.bEnableHpVirtualDiskQuery,
           env.mediaParams.bEnableDellVirtualDiskQuery, env.umtUtilsParams.timeoutThreshold,
           env.umtUtilsParams.sizeThreshold, p->smallIov_Params.bUseMemPool, p->smallIov_Params.memPoolSize,
           p->mosUtils_Params.bCrashOnIntrViolation, p->mosUtils_Params.maxCkTimeUsec);
    printf("fifo=%d %s\n", env.fifoParams.bIsEnabled, Str(env.fifoParams.pFifoFileName).c_str());
    printf("trc=%d async=%d %s/%s h=%u size=%u pct=%u sleep=%u buf=%u\n", trc.bUseFile, trc.bAsync,
           Str(trc.pDir).c_str(), Str(trc.pPrefix).c_str(), trc.history, trc.maxFileSize, trc.dumpOnPercent,
           trc.thrdSleepMilli, trc.logBufSize);
    printf("err=%d async=%d %s/%s h=%u size=%u pct=%u sleep=%u buf=%u\n", err.bUseFile, err.bAsync,
           Str(err.pDir).c_str(), Str(err.pPrefix).c_str(), err.history, err.maxFileSize, err.dumpOnPercent,
           err.thrdSleepMilli, err.logBufSize);
    printf("exp=%d async=%d %s/%s h=%u size=%u\n", exp.bUseFile, exp.bAsync, Str(exp.pDir).c_str(),
           Str(exp.pPrefix).c_str(), exp.history, exp.maxFileSize);
    printf("dbg dump=%d bt=%d traces=%d wait=%u core=%u planned=%d minDisk=%lu dblWait=%u\n",
           env.dbgParams.bEnableDump, env.dbgParams.bEnableBacktrace, env.dbgParams.bDumpTraces,
           env.dbgParams.milliToDumpTraces, env.dbgParams.coreType, env.dbgParams.bPlannedCrashPanic,
           env.dbgParams.coreMinDiskSpaceBytes, env.dbgParams.doubleExpWaitSec);
    printf("shm=%d/%u aio=%d/%u/%u\n", env.shmParams.bShmServer, env.shmParams.serverPort,
           env.asyncIoParams.bDebugTimeouts, env.asyncIoParams.deltaGoodIos, env.asyncIoParams.millisTimeout);
    printf("log=%s\ncfg=%s\nbin=%s\nrep=%s\ndiag=%s\n", Str(mosLoad_GetLogDir()).c_str(),
           Str(mosLoad_GetCfgDir()).c_str(), Str(mosLoad_GetBinDir()).c_str(), Str(mosLoad_GetRepDir()).c_str(),
           Str(mosLoad_GetDiagDir()).c_str());
}

void ExpectLines(const std::string &out, const std::vector<std::string> &lines)
{
    for (const auto &l : lines)
        EXPECT_NE(out.find(l + "\n"), std::string::npos) << "missing: " << l << "\n--- got:\n" << out;
}

const char *kUsage = "Usage:\nconf_file\nThe name of the configuration file. This name must include full path.\n\n"
                     "log_dir\nThe directory to which log information is written.\n\nversion\nOutput the module "
                     "version and exits the process.\n\nhelp\nPrint this help message\n";

} // namespace

TEST(LoadCommandLine, HelpVersionAndRefusedOptions)
{
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string out; // exact, or empty for "anything"
    } cases[] = {
        {{"--help"}, 0, kUsage},
        {{"--version"}, 0, "Qel Kestrim Version: R2_0.13004.110\n"},
        {{"--conf_file=/nonexistent.conf", "--log_dir", "/tmp", "--help"}, 0, kUsage},
        {{"--version", "--help"}, 0, "Qel Kestrim Version: R2_0.13004.110\n"},
        {{"--bogus"}, 1, kUsage},
        {{"--conf_file"}, 1, kUsage},
        {{"-h"}, 1, kUsage},
        {{"--log_dir", ""}, 1, std::string("log_dir must name a directory\n") + kUsage},
        {{"--log_dir="}, 1, std::string("log_dir must name a directory\n") + kUsage},
    };
    for (auto &c : cases) {
        ChildResult r = runInChild([&] {
            ProgramTables t;
            LoadWith(c.args, t);
            printf("returned\n");
        });
        SCOPED_TRACE(c.args[0]);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_EQ(r.out, c.out);
    }
}

TEST(LoadCommandLine, NoVectorsOrBadTableEndWithStatusOne)
{
    ChildResult r = runInChild([] {
        char prog[] = "pellar";
        char *argv[] = {prog, nullptr};
        mosLoad_Load(1, argv, nullptr, nullptr, 0, 2, 25640);
    });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "Array of configuration entries vector is 0. Cannot load\n");

    TempDir dir;
    std::string conf = dir.Write("bad.conf", "tgt_port 9000\n");
    for (const std::string &name : {conf, std::string()}) {
        r = runInChild([&] {
            ProgramTables t;
            t.own[0].type = static_cast<MosConfEntry_Type>(7);
            LoadWith(name.empty() ? std::vector<std::string>{} : std::vector<std::string>{"--conf_file", name}, t);
        });
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "Error loading configuration file " + (name.empty() ? "unknown" : name) +
                             ". Status INVALID(11)\n");
    }
}

TEST(LoadRuntimeKeys, DefaultsWithoutLogDir)
{
    TempDir dir;
    // Settings that need a log directory are ignored without one.
    std::string conf = dir.Write("pellar.conf", "tgt_port 9000\nuse_fifo_file 1\nshm_server_on 1\n"
                                                "dbg_io_timeout_enable 1\nlock_use_spinlock 1\n");
    ChildResult r = runInChild([&] {
        ProgramTables t;
        PrintReport(LoadWith({"--conf_file", conf}, t), t);
    });
    EXPECT_EQ(r.exitCode, 0);
    ExpectLines(r.out, {
                           "rc=65",
                           "vectorLen=64",
                           "ownKey=9000",
                           "module=2",
                           "port=25640",
                           "spin=1 layerSpin=1 period=10 contention=100 latency=500000",
                           "noTimerThreads=1 bwc=5/1 numa=0/1 oom=0 stdout=0",
                           "media=010111 umtUtils=10/8388608 iov=1/30000 utils=0/1000",
                           "fifo=0 (null)",
                           "trc=0 async=0 (null)/(null) h=0 size=0 pct=0 sleep=0 buf=0",
                           "err=0 async=0 (null)/(null) h=0 size=0 pct=0 sleep=0 buf=0",
                           "exp=0 async=0 (null)/(null) h=0 size=0",
                           "dbg dump=0 bt=1 traces=0 wait=0 core=0 planned=0 minDisk=0 dblWait=1",
                           "shm=0/0 aio=0/0/0",
                           "log=(null)",
                           "cfg=",
                       });
}

TEST(LoadRuntimeKeys, LogDirFillsFilesAndDirectories)
{
    TempDir dir;
    std::string fifo = dir.Path("p.fifo");
    std::string conf = dir.Write("pellar.conf", "use_fifo_file 1\nfifo_filename " + fifo + "\n"
                                                "trc_file_history 0\ntrc_file_prefix tr\nerr_file_enabled 1\n"
                                                "trc_file_size 2048\nexp_file_history 3\nexp_file_size 4096\n"
                                                "dbg_core_min_disk_space_mb 18446744073709551615\n"
                                                "bin_dir_path /opt/bin\nsdbg_port 1234\ntimer_use_threads 1\n"
                                                "exp_milli_wait_dump_traces abc\nshm_server_on 1\n"
                                                "shm_server_port 77\ndbg_io_timeout_enable 1\n");
    ChildResult r = runInChild([&] {
        ProgramTables t;
        mosLoad_SetDefaultNumaAffinity(3);
        mosLoad_SetDefaultTraceOptions(250);
        PrintReport(LoadWith({"--log_dir", "/var/x", "--conf_file", conf}, t), t);
    });
    EXPECT_EQ(r.exitCode, 0);
    ExpectLines(r.out, {
                           "rc=65",
                           "port=1234",
                           "noTimerThreads=0 bwc=5/1 numa=3/1 oom=0 stdout=0",
                           "fifo=1 " + fifo,
                           // A history of 0 would keep nothing: the default is kept instead.
                           "Configuration key trc_file_history: a history of 0 keeps no file, keeping the default 5",
                           "trc=1 async=1 /var/x/tr h=5 size=2048 pct=10 sleep=1000 buf=5242880",
                           "err=1 async=1 /var/x/err h=5 size=2048 pct=10 sleep=1000 buf=5242880",
                           "exp=1 async=0 /var/x/exp h=3 size=4096",
                           // The size in bytes saturates instead of wrapping; the non-numeric wait
                           // keeps its (program-set) default.
                           "dbg dump=0 bt=1 traces=1 wait=250 core=0 planned=0 minDisk=18446744073709551615 dblWait=1",
                           "shm=1/77 aio=1/5000/15000",
                           "log=/var/x",
                           "cfg=/var/x/../cfg/",
                           "bin=/opt/bin",
                           "rep=/var/x/../rep/",
                           "diag=/var/x/../diag/",
                       });

    std::string plain = dir.Write("plain.conf", "\n");
    r = runInChild([&] {
        ProgramTables t;
        PrintReport(LoadWith({"--log_dir", "/var/x", "--conf_file", plain}, t), t);
    });
    ExpectLines(r.out, {"dbg dump=0 bt=1 traces=1 wait=100 core=0 planned=0 minDisk=524288000 dblWait=1",
                        "trc=1 async=1 /var/x/trc h=5 size=52428800 pct=10 sleep=1000 buf=5242880",
                        "err=0 async=1 /var/x/err h=5 size=52428800 pct=10 sleep=1000 buf=5242880"});
}

// A malformed trace map is refused and the default levels stay; a good one is applied, and
// trc_frequency_allow_modify 0 forbids later changes.
TEST(LoadRuntimeKeys, TraceMapIsCheckedBeforeItApplies)
{
    TempDir dir;
    struct Case {
        std::string map;
        const char *out;
    } cases[] = {
        {std::string(39, 'K'), "MOS=2 NET=1 modify=1\n"},
        {std::string(39, 'K') + "k", "MOS=2 NET=1 modify=1\n"},
        {std::string(40, 'P') + "\ntrc_frequency_allow_modify 0", "MOS=3 NET=3 modify=0\n"},
    };
    for (const Case &c : cases) {
        std::string conf = dir.Write("pellar.conf", "trc_frequency_str_map " + c.map + "\n");
        ChildResult r = runInChild([&] {
            ProgramTables t;
            LoadWith({"--conf_file", conf}, t);
            printf("MOS=%u NET=%u modify=%d\n", (unsigned)g_componentFreqLevelsArr[MOS_COMP_MOS],
                   (unsigned)g_componentFreqLevelsArr[MOS_COMP_NET], (int)mosTraceConf_GetModifyMode());
        });
        SCOPED_TRACE(c.map);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, c.out);
    }
}

TEST(LoadRuntimeKeys, DefaultNumaNodeBeyondLimitPanics)
{
    EXPECT_PANIC(mosLoad_SetDefaultNumaAffinity(1024), "");
}

TEST(MosInit, ToolsLoadWithoutParametersOnce)
{
    ChildResult r = runInChild([] {
        printf("%d ", mos_Init(nullptr));
        printf("%d ", mos_Init(nullptr));
        mos_Destroy();
        printf("%d\n", mos_Init(nullptr));
        mos_Destroy();
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "65 7 65\n");
}
