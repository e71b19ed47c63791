#include "mos/mos_load.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <array>
#include <getopt.h>
#include <tuple>
#include <type_traits>

#include "mos/mos_blocking.h"
#include "mos/mos_bwc.h"
#include "mos/mos_contention.h"
#include "mos/mos_cpu.h"
#include "mos/mos_crc.h"
#include "mos/mos_dbg.h"
#include "mos/mos_memtracker.h"
#include "mos/mos_diag_counters.h"
#include "mos/mos_ds_hash.h"
#include "mos/mos_dynamic_array.h"
#include "mos/mos_dynamic_mempool.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_mempool.h"
#include "mos/mos_obj.h"
#include "mos/mos_osc_cnt.h"
#include "mos/mos_osthrd.h"
#include "mos/mos_perf.h"
#include "mos/mos_stat.h"
#include "mos/mos_t10dif.h"
#include "mos/mos_ticks.h"
#include "mos/mos_timer.h"
#include "mos/mos_trace.h"
#include "mos/mos_ut.h"
#include "mos/mos_utils.h"
#include "mos/env/mos_net_iov.h"
#include "mos/usr/linux/mos_net.h"
#include "mos/usr/linux/mos_shm.h"
#include "mos/usr/mos_io.h"
#include "mos/usr/security/mos_security.h"
#include "mos/umt/mos_umt_utils.h"
#include "mos/mos_utils_mem.h"
#include "mos/mos_utils_text.h"
#include "mos/mos_utils_scramble.h"
#include "mos/mos_utils_file.h"
#include "mos/mos_utils_blkdev.h"
#include "mos/mos_utils_console.h"
#include "mos/mos_trace_layer.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Layer tables. A row names a layer's load and unload functions and the member of the parameter
// record that its load function receives; mos_Init turns the rows into MosLoader_FuncPair entries.

template <typename F> struct MosLoad_FnTraits;
template <typename R, typename... A> struct MosLoad_FnTraits<R (*)(A...)> {
    static constexpr size_t arity = sizeof...(A);
    using Args = std::tuple<A...>;
};

// Calls a layer's load function with the parameter pointer converted to what it takes: nothing,
// a pointer to its record, or a single value read through the pointer (zero without parameters).
template <auto F> Mos_RC mosLoad_CallLoad(void *pParam)
{
    using Traits = MosLoad_FnTraits<decltype(F)>;
    if constexpr (Traits::arity == 0) {
        MOS_UNUSED(pParam);
        return F();
    } else {
        using Arg = std::tuple_element_t<0, typename Traits::Args>;
        if constexpr (std::is_pointer_v<Arg>) {
            return F(static_cast<Arg>(pParam));
        } else {
            using Value = std::remove_cvref_t<Arg>;
            return F(pParam != nullptr ? *static_cast<Value *>(pParam) : Value{});
        }
    }
}

template <auto F> void mosLoad_CallUnload(void)
{
    (void)F();
}

template <typename P> struct MosLoad_LayerRow {
    const char *pName; // the load function's name
    Mos_RC (*pLoadCK)(void *);
    void (*pUnloadCK)(void);
    void *(*pGetParam)(P *); // null when the layer takes no parameter
};

#define MOS_LOAD_LAYER(P, load, unload, member)                                                      \
    MosLoad_LayerRow<P>{#load, &mosLoad_CallLoad<load>, &mosLoad_CallUnload<unload>,                  \
                        [](P *p) -> void * { return p != nullptr ? static_cast<void *>(&p->member) : nullptr; }}
#define MOS_LOAD_LAYER_NO_PARAM(P, load, unload)                                                     \
    MosLoad_LayerRow<P>{#load, &mosLoad_CallLoad<load>, &mosLoad_CallUnload<unload>, nullptr}

// The runtime's layers in load order. Rows of modules that are not built yet go where the
// comments name them.
constexpr std::array mosLoadLayers_G = {
    MOS_LOAD_LAYER(Mos_InitParam, mosUtilsLayer_Init, mosUtilsLayer_Destroy, mosUtils_Params),
    MOS_LOAD_LAYER(Mos_InitParam, mosFastlockLayer_Create, mosFastlockLayer_Destroy, fastlockParams),
    MOS_LOAD_LAYER_NO_PARAM(Mos_InitParam, mosMemTrackerLayer_Init, mosMemTrackerLayer_Destroy),
    MOS_LOAD_LAYER_NO_PARAM(Mos_InitParam, MosContentionLayer_Create, MosContentionLayer_Destroy),
    MOS_LOAD_LAYER(Mos_InitParam, mosCpuLayer_Create, mosCpu_Destroy, crcParams.crcEnforcedMethodToUse),
    MOS_LOAD_LAYER(Mos_InitParam, mosCrcLayer_Create, mosCrcLayer_Destroy, crcParams),
    MOS_LOAD_LAYER_NO_PARAM(Mos_InitParam, mosObjLayer_Create, mosObjLayer_Destroy),
    MOS_LOAD_LAYER_NO_PARAM(Mos_InitParam, mosMemTrackerLayer_SdbgRegister, mosMemTrackerLayer_SdbgUnregister),
    MOS_LOAD_LAYER_NO_PARAM(Mos_InitParam, mosHashLayer_Create, mosHashLayer_Destroy),
    MOS_LOAD_LAYER(Mos_InitParam, mosTicks_Init, mosTicks_Destroy, ticksParams),
    MOS_LOAD_LAYER(Mos_InitParam, mosOsThrdLayer_Create, mosOsThrdLayer_Destroy, envSpecificParams.thrdParams),
    MOS_LOAD_LAYER(Mos_InitParam, mosTimer_Init, mosTimer_Delete, timerParams.bDontUseThrds),
    MOS_LOAD_LAYER_NO_PARAM(Mos_InitParam, mosMemPoolLayer_Init, mosMemPoolLayer_Destroy),
    MOS_LOAD_LAYER(Mos_InitParam, netIovInfo_Init, netIovInfo_Destroy, smallIov_Params),
    MOS_LOAD_LAYER(Mos_InitParam, mosBWCLayer_Init, mosBWCLayer_Destroy, bwcParams),
    MOS_LOAD_LAYER_NO_PARAM(Mos_InitParam, mosStatLayer_Init, mosStatLayer_Destroy),
    MOS_LOAD_LAYER_NO_PARAM(Mos_InitParam, MosPerfLayer_Init, MosPerfLayer_Destroy),
    MOS_LOAD_LAYER(Mos_InitParam, mosEnvSpecific_Create, mosEnvSpecific_Destroy, envSpecificParams),
    MOS_LOAD_LAYER_NO_PARAM(Mos_InitParam, mosBlockingLayer_Init, mosBlockingLayer_Destroy),
    MOS_LOAD_LAYER_NO_PARAM(Mos_InitParam, mosDynamicArrayLayer_Init, mosDynamicArrayLayer_Destroy),
    MOS_LOAD_LAYER_NO_PARAM(Mos_InitParam, mosDynamicMemPoolLayer_Init, mosDynamicMemPoolLayer_Destroy),
    MOS_LOAD_LAYER_NO_PARAM(Mos_InitParam, mosSecurityLayer_Load, mosSecurityLayer_Destroy),
    MOS_LOAD_LAYER(Mos_InitParam, sdbgServer_Init, sdbgServer_Destroy, sdbgParams),
    MOS_LOAD_LAYER_NO_PARAM(Mos_InitParam, mosDiagCounters_Init, mosDiagCounters_Finit),
    MOS_LOAD_LAYER_NO_PARAM(Mos_InitParam, mosOscCntLayer_Init, mosOscCntLayer_Destroy),
    MOS_LOAD_LAYER_NO_PARAM(Mos_InitParam, mosT10Dif_Init, mosT10Dif_Destroy),
    MOS_LOAD_LAYER_NO_PARAM(Mos_InitParam, mosContention_RegisterSdbg, mosContention_UnregisterSdbg),
    MOS_LOAD_LAYER_NO_PARAM(Mos_InitParam, mosCpuLayer_RegisterSdbg, mosCpuLayer_UnregisterSdbg),
    MOS_LOAD_LAYER_NO_PARAM(Mos_InitParam, mosUt_LayerInit, mosUt_LayerFinit),
};
static_assert(offsetof(Mos_InitParam, sdbgParams) == 0, "the debug object server reads the whole record");

// The environment layers in load order, with the rows of modules not built yet as comments.
constexpr std::array mosEnvLayers_G = {
    MOS_LOAD_LAYER_NO_PARAM(MosEnvSpecific_InitParams, mosCyclicFileLayer_Create, mosCyclicFileLayer_Destroy),
    // The debug layer's record is the whole environment record: dbgParams is its first member.
    MOS_LOAD_LAYER(MosEnvSpecific_InitParams, mosDbgLayer_Create, mosDbgLayer_Destroy, dbgParams),
    MOS_LOAD_LAYER(MosEnvSpecific_InitParams, mosTrcLayer_Create, mosTrcLayer_Destroy, trcParams),
    MOS_LOAD_LAYER(MosEnvSpecific_InitParams, mosFifoLayer_Create, mosFifoLayer_Destroy, fifoParams),
    MOS_LOAD_LAYER_NO_PARAM(MosEnvSpecific_InitParams, mosNetLayer_Create, mosNetLayer_Destroy),
    MOS_LOAD_LAYER_NO_PARAM(MosEnvSpecific_InitParams, mosIOLayer_Init, mosIOLayer_Destroy),
    MOS_LOAD_LAYER(MosEnvSpecific_InitParams, mosAsyncIOLayer_Create, mosAsyncIOLayer_Destroy, asyncIoParams),
    MOS_LOAD_LAYER_NO_PARAM(MosEnvSpecific_InitParams, mosOnceLayer_Create, mosOnceLayer_Destroy),
    MOS_LOAD_LAYER(MosEnvSpecific_InitParams, mosShmLayer_Create, mosShmLayer_Destroy, shmParams),
    MOS_LOAD_LAYER(MosEnvSpecific_InitParams, mosMediaLayer_Create, mosMediaLayer_Destroy, mediaParams),
    MOS_LOAD_LAYER(MosEnvSpecific_InitParams, mosUmtUtilsLayer_Create, mosUmtUtilsLayer_Destroy, umtUtilsParams),
};

constexpr UINT32 kNumLoadLayers = mosLoadLayers_G.size();
constexpr UINT32 kNumEnvLayers = mosEnvLayers_G.size();

template <typename P, size_t N>
void mosLoad_FillFuncs(const std::array<MosLoad_LayerRow<P>, N> &rows, P *pParams, MosLoader_FuncPair *pFuncs)
{
    for (size_t i = 0; i < N; i++) {
        pFuncs[i].pLoadCK = rows[i].pLoadCK;
        pFuncs[i].pLoadFuncParam = rows[i].pGetParam != nullptr ? rows[i].pGetParam(pParams) : nullptr;
        pFuncs[i].pUnloadCK = rows[i].pUnloadCK;
    }
}

// Keeps one slot even while a table has no rows.
MosLoader_FuncPair mosLoadFuncs_G[kNumLoadLayers > 0 ? kNumLoadLayers : 1];
MosLoader_FuncPair mosEnvSpecificLoadFuncs_G[kNumEnvLayers > 0 ? kNumEnvLayers : 1];
BOOL bMosLoaded_G = FALSE;
// The layers of a partial load (mosLoad_LoadLayers), in load order.
MosLoader_FuncPair mosSomeLoadFuncs_G[kNumLoadLayers + kNumEnvLayers];
UINT32 numSomeLoaded_G = 0;

BOOL mosLoad_IsNamed(const char *pName, const char *const *ppNames, UINT32 numNames)
{
    for (UINT32 i = 0; i < numNames; i++)
        if (strcmp(ppNames[i], pName) == 0)
            return TRUE;
    return FALSE;
}

// ---------------------------------------------------------------------------------------------
// The runtime's configuration: where its 64 keys are stored.

constexpr UINT64 kU64Max = UINT64_MAX;
constexpr UINT64 kU32Max = UINT32_MAX;
constexpr unsigned long kDefaultFileHistory = 5;

struct MosLoad_RuntimeConf {
    BOOL expFileEnabled;
    char expFilePrefix[MOS_CONF__MAX_VALUE_LEN];
    UINT64 expFileHistory;
    UINT64 expFileSize;
    BOOL expDumpTraces;
    UINT64 expMilliWaitDumpTraces;
    BOOL dbgEnableCore;
    BOOL dbgEnableBacktrace;
    UINT64 dbgCoreType;
    BOOL dbgPlannedCrashPanic;
    UINT64 dbgCoreMinDiskSpaceMb;
    BOOL trcFileEnabled;
    BOOL errFileEnabled;
    char errFilePrefix[MOS_CONF__MAX_VALUE_LEN];
    BOOL trcStdout;
    BOOL trcFileAsync;
    UINT64 trcUsedBufPercentDump;
    UINT64 trcAsyncBufSize;
    UINT64 trcAsyncThreadSleepMillisecond;
    char trcFilePrefix[MOS_CONF__MAX_VALUE_LEN];
    char trcFrequencyStrMap[MOS_CONF__MAX_VALUE_LEN];
    BOOL trcFrequencyAllowModify;
    UINT64 trcFileHistory;
    UINT64 trcFileSize;
    UINT64 bwcWinSizeSec;
    BOOL bwcEnable;
    BOOL timerUseThreads;
    UINT64 sdbgPort;
    UINT64 instrumentedLockPeriodLog2;
    UINT64 instrumentedLockMaxContention;
    UINT64 instrumentedLockMaxLatencyCycles;
    UINT64 numaAffinity;
    BOOL numaMemoryAffinity;
    BOOL lockUseSpinlock;
    BOOL shmServerOn;
    UINT64 shmServerPort;
    BOOL dbgIoTimeoutEnable;
    UINT64 dbgIoTimeoutMillis;
    UINT64 dbgIoGoodIos;
    BOOL configOomKiller;
    BOOL useFifoFile;
    char fifoFilename[MOS_CONF__MAX_VALUE_LEN];
    BOOL printConf;
    BOOL printDetailedConf;
    BOOL umtUseRealThreadTicks;
    UINT64 maxCallbackTimeUsec;
    UINT64 pollLoopTimeFactor;
    UINT64 pollLoopMaxOvershootFactor;
    BOOL intrViolationCrash;
    BOOL netsmalliovUseMemPool;
    UINT64 netsmalliovMemPoolSize;
    UINT64 debugDoubleExpWaitSec;
    UINT64 memsetThresholdInBytes;
    UINT64 memsetThresholdInMilliseconds;
    BOOL hwAwareEnableLsiGenInfo;
    BOOL hwAwareEnableHpGenInfo;
    BOOL hwAwareEnableDellGenInfo;
    BOOL hwAwareEnableLsiVdiskInfo;
    BOOL hwAwareEnableHpVdiskInfo;
    BOOL hwAwareEnableDellVdiskInfo;
};

MosLoad_RuntimeConf runtimeConf_G;
// Kept in static storage, not on the stack: the caller's vector array points at it afterwards.
MosConfEntry runtimeConfEntries_G[MOS_LOAD__NUM_RUNTIME_KEYS];
Mos_InitParam mosInitParam_G;

const char *pLogDir_G = nullptr;
char cfgDirPath_G[MOS_LOAD__DIR_PATH_LEN];
char binDirPath_G[MOS_LOAD__DIR_PATH_LEN];
char repDirPath_G[MOS_LOAD__DIR_PATH_LEN];
char diagDirPath_G[MOS_LOAD__DIR_PATH_LEN];

UINT64 defaultNumaAffinity_G = 0;
UINT64 defaultMilliWaitDumpTraces_G = 100;

void mosLoad_BuildRuntimeTable(MosConfEntry *pTable, UINT16 portForSdbg)
{
    MosLoad_RuntimeConf &c = runtimeConf_G;
    constexpr UINT64 S = MOS_CONF__MAX_VALUE_LEN;
    const MosConfEntry table[] = {
        mosConf_BoolEntry("exp_file_enabled", &c.expFileEnabled, 1),
        mosConf_StringEntry("exp_file_prefix", c.expFilePrefix, "exp", S),
        mosConf_IntEntry("exp_file_history", &c.expFileHistory, 0, 20, 1, kDefaultFileHistory),
        mosConf_IntEntry("exp_file_size", &c.expFileSize, 1024, 1048576, 1, 1048576),
        mosConf_BoolEntry("exp_dump_traces", &c.expDumpTraces, 1),
        mosConf_IntEntry("exp_milli_wait_dump_traces", &c.expMilliWaitDumpTraces, 0, 2000, 1,
                         defaultMilliWaitDumpTraces_G),
        mosConf_BoolEntry("dbg_enable_core", &c.dbgEnableCore, 0),
        mosConf_BoolEntry("dbg_enable_backtrace", &c.dbgEnableBacktrace, 1),
        mosConf_IntEntry("dbg_core_type", &c.dbgCoreType, 0, 3, 1, 0),
        mosConf_BoolEntry("dbg_planned_crash_panic", &c.dbgPlannedCrashPanic, 0),
        mosConf_IntEntry("dbg_core_min_disk_space_mb", &c.dbgCoreMinDiskSpaceMb, 0, kU64Max, 1, 500),
        mosConf_BoolEntry("trc_file_enabled", &c.trcFileEnabled, 1),
        mosConf_BoolEntry("err_file_enabled", &c.errFileEnabled, 0),
        mosConf_StringEntry("err_file_prefix", c.errFilePrefix, "err", S),
        mosConf_BoolEntry("trc_stdout", &c.trcStdout, 0),
        mosConf_BoolEntry("trc_file_async", &c.trcFileAsync, 1),
        mosConf_IntEntry("trc_used_buf_percent_dump", &c.trcUsedBufPercentDump, 1, 50, 1, 10),
        mosConf_IntEntry("trc_async_buf_size", &c.trcAsyncBufSize, 262144, 104857600, 1, 5242880),
        mosConf_IntEntry("trc_async_thread_sleep_millisecond", &c.trcAsyncThreadSleepMillisecond, 100, 10000, 1,
                         1000),
        mosConf_StringEntry("trc_file_prefix", c.trcFilePrefix, "trc", S),
        mosConf_StringEntry("trc_frequency_str_map", c.trcFrequencyStrMap, "", S),
        mosConf_BoolEntry("trc_frequency_allow_modify", &c.trcFrequencyAllowModify, 1),
        mosConf_IntEntry("trc_file_history", &c.trcFileHistory, 0, 200, 1, kDefaultFileHistory),
        mosConf_IntEntry("trc_file_size", &c.trcFileSize, 1024, 104857600, 1, 52428800),
        mosConf_IntEntry("bwc_win_size_sec", &c.bwcWinSizeSec, 1, 120, 1, 5),
        mosConf_BoolEntry("bwc_enable", &c.bwcEnable, 1),
        mosConf_BoolEntry("timer_use_threads", &c.timerUseThreads, 0),
        mosConf_IntEntry("sdbg_port", &c.sdbgPort, 0, 65535, 1, portForSdbg),
        mosConf_IntEntry("instrumented_lock_period_log2", &c.instrumentedLockPeriodLog2, 1, 32, 1, 10),
        mosConf_IntEntry("instrumented_lock_max_contention", &c.instrumentedLockMaxContention, 1, kU64Max, 1, 100),
        mosConf_IntEntry("instrumented_lock_max_latency_cycles", &c.instrumentedLockMaxLatencyCycles, 1, kU64Max, 1,
                         500000),
        mosConf_IntEntry("numa_affinity", &c.numaAffinity, 0, 1023, 1, defaultNumaAffinity_G),
        mosConf_BoolEntry("numa_memory_affinity", &c.numaMemoryAffinity, 1),
        mosConf_BoolEntry("lock_use_spinlock", &c.lockUseSpinlock, 0),
        mosConf_BoolEntry("shm_server_on", &c.shmServerOn, 0),
        mosConf_IntEntry("shm_server_port", &c.shmServerPort, 0, 65535, 1, 0),
        mosConf_BoolEntry("dbg_io_timeout_enable", &c.dbgIoTimeoutEnable, 0),
        mosConf_IntEntry("dbg_io_timeout_millis", &c.dbgIoTimeoutMillis, 0, kU32Max, 1, 15000),
        mosConf_IntEntry("dbg_io_good_ios", &c.dbgIoGoodIos, 0, kU32Max, 1, 5000),
        mosConf_BoolEntry("config_oom_killer", &c.configOomKiller, 0),
        mosConf_BoolEntry("use_fifo_file", &c.useFifoFile, 0),
        mosConf_StringEntry("fifo_filename", c.fifoFilename, "./.mos.fifo", S),
        mosConf_BoolEntry("print_conf", &c.printConf, 1),
        mosConf_BoolEntry("print_detailed_conf", &c.printDetailedConf, 1),
        mosConf_BoolEntry("umt_use_real_thread_ticks", &c.umtUseRealThreadTicks, 0),
        mosConf_IntEntry("max_callback_time_usec", &c.maxCallbackTimeUsec, 1, kU64Max, 1, 1000),
        mosConf_IntEntry("poll_loop_time_factor", &c.pollLoopTimeFactor, 0, kU32Max, 1, 0),
        mosConf_IntEntry("poll_loop_max_overshoot_factor", &c.pollLoopMaxOvershootFactor, 0, kU32Max, 1, 0),
        mosConf_BoolEntry("intr_violation_crash", &c.intrViolationCrash, 0),
        mosConf_BoolEntry("netsmalliov_use_mem_pool", &c.netsmalliovUseMemPool, 1),
        mosConf_IntEntry("netsmalliov_mem_pool_size", &c.netsmalliovMemPoolSize, 1, kU32Max, 1, 30000),
        mosConf_IntEntry("debug_double_exp_wait_sec", &c.debugDoubleExpWaitSec, 1, 1000, 1, 1),
        mosConf_IntEntry("mos_memset_threshold_in_bytes", &c.memsetThresholdInBytes, 1024, kU64Max, 1, 8388608),
        mosConf_IntEntry("mos_memset_threshold_in_milliseconds", &c.memsetThresholdInMilliseconds, 0, 1000, 1, 10),
        mosConf_StringEntry("cfg_dir_path", cfgDirPath_G, "", S),
        mosConf_StringEntry("bin_dir_path", binDirPath_G, "", S),
        mosConf_StringEntry("rep_dir_path", repDirPath_G, "", S),
        mosConf_StringEntry("diag_dir_path", diagDirPath_G, "", S),
        mosConf_BoolEntry("hw_aware_enable_lsi_gen_info", &c.hwAwareEnableLsiGenInfo, 0),
        mosConf_BoolEntry("hw_aware_enable_hp_gen_info", &c.hwAwareEnableHpGenInfo, 1),
        mosConf_BoolEntry("hw_aware_enable_dell_gen_info", &c.hwAwareEnableDellGenInfo, 0),
        mosConf_BoolEntry("hw_aware_enable_lsi_vdisk_info", &c.hwAwareEnableLsiVdiskInfo, 1),
        mosConf_BoolEntry("hw_aware_enable_hp_vdisk_info", &c.hwAwareEnableHpVdiskInfo, 1),
        mosConf_BoolEntry("hw_aware_enable_dell_vdisk_info", &c.hwAwareEnableDellVdiskInfo, 1),
    };
    static_assert(MOS_ARRAY_SIZE(table) == MOS_LOAD__NUM_RUNTIME_KEYS, "the runtime declares 64 keys");
    memcpy(pTable, table, sizeof(table));
}

constexpr const char *kUsage = "Usage:\nconf_file\nThe name of the configuration file. This name must include full "
                               "path.\n\nlog_dir\nThe directory to which log information is written.\n\nversion\n"
                               "Output the module version and exits the process.\n\nhelp\nPrint this help message";

} // namespace

const char *mosLoad_ParseCommandLine(int argc, char **argv)
{
    enum { OPT_CONF_FILE = 1, OPT_LOG_DIR, OPT_HELP, OPT_VERSION };
    static const struct option longOptions[] = {
        {"conf_file", required_argument, nullptr, OPT_CONF_FILE},
        {"log_dir", required_argument, nullptr, OPT_LOG_DIR},
        {"help", no_argument, nullptr, OPT_HELP},
        {"version", no_argument, nullptr, OPT_VERSION},
        {nullptr, 0, nullptr, 0},
    };
    const char *pConfFile = nullptr;
    optind = 0; // a full restart of the parser, in case a caller parsed before us
    for (;;) {
        int c = getopt_long(argc, argv, "", longOptions, nullptr);
        if (c == -1)
            break;
        switch (c) {
        case OPT_CONF_FILE:
            pConfFile = optarg;
            break;
        case OPT_LOG_DIR:
            // An empty directory would put the files at the root of the file system.
            if (optarg[0] == '\0') {
                printf("log_dir must name a directory\n%s\n", kUsage);
                fflush(stdout);
                exit(1);
            }
            pLogDir_G = optarg;
            break;
        case OPT_HELP:
            printf("%s\n", kUsage);
            fflush(stdout);
            exit(0);
        case OPT_VERSION:
            mosLoad_PrintVersion();
            fflush(stdout);
            exit(0);
        case '?':
            // The parser has named the option. Running on with a misspelt option would start the
            // process with settings its operator did not ask for.
            printf("%s\n", kUsage);
            fflush(stdout);
            exit(1);
        default:
            printf("?? Unknown  option %o ??\n", (unsigned)c);
            break;
        }
    }
    return pConfFile;
}

namespace {
// History 0 is accepted by the keys, but a file of no generations could keep nothing of what is
// written to it: the value is refused and the default kept, as for any other refused value.
UINT32 mosLoad_History(const char *pKeyName, UINT64 configured)
{
    if (configured != 0)
        return (UINT32)configured;
    // Printed: the trace and error files do not exist yet.
    printf("Configuration key %s: a history of 0 keeps no file, keeping the default %lu\n", pKeyName,
           kDefaultFileHistory);
    return (UINT32)kDefaultFileHistory;
}

void mosLoad_FillInitParams(Mos_InitParam *p, UINT32 module, const char *pLogDir)
{
    const MosLoad_RuntimeConf &c = runtimeConf_G;
    memset(p, 0, sizeof(*p));
    MosEnvSpecific_InitParams &env = p->envSpecificParams;

    p->sdbgParams.module = module;
    p->sdbgParams.sdbgPort = (UINT16)c.sdbgPort;
    p->bwcParams.winSize = (UINT32)c.bwcWinSizeSec;
    p->bwcParams.bEnableCounters = c.bwcEnable;
    p->timerParams.bDontUseThrds = !c.timerUseThreads;
    p->fastlockParams.acquirePeriodLog = c.instrumentedLockPeriodLog2;
    p->fastlockParams.contentionLimit = c.instrumentedLockMaxContention;
    p->fastlockParams.maxLatencyCycles = c.instrumentedLockMaxLatencyCycles;
    p->fastlockParams.bUseSpinLocks = c.lockUseSpinlock;
    env.thrdParams.numaAffinity = c.numaAffinity;
    env.thrdParams.numaMemoryAffinity = c.numaMemoryAffinity;
    env.thrdParams.bConfigOomKiller = c.configOomKiller;
    env.trcParams.bToStdout = c.trcStdout;
    env.dbgParams.bEnableDump = c.dbgEnableCore;
    env.dbgParams.bEnableBacktrace = c.dbgEnableBacktrace;
    env.dbgParams.doubleExpWaitSec = (UINT32)c.debugDoubleExpWaitSec;
    p->ticksParams.bUmtRealThreadTicks = c.umtUseRealThreadTicks;
    p->smallIov_Params.bUseMemPool = c.netsmalliovUseMemPool;
    p->smallIov_Params.memPoolSize = (UINT32)c.netsmalliovMemPoolSize;
    p->mosUtils_Params.bCrashOnIntrViolation = c.intrViolationCrash;
    p->mosUtils_Params.maxCkTimeUsec = c.maxCallbackTimeUsec;
    p->mosUtils_Params.pollLoopTimeFactor = (UINT32)c.pollLoopTimeFactor;
    p->mosUtils_Params.pollLoopMaxOvershootFactor = (UINT32)c.pollLoopMaxOvershootFactor;
    env.mediaParams.bEnableLsiGeneralInfoQuery = c.hwAwareEnableLsiGenInfo;
    env.mediaParams.bEnableHpGeneralInfoQuery = c.hwAwareEnableHpGenInfo;
    env.mediaParams.bEnableDellGeneralInfoQuery = c.hwAwareEnableDellGenInfo;
    env.mediaParams.bEnableLsiVirtualDiskQuery = c.hwAwareEnableLsiVdiskInfo;
    env.mediaParams.bEnableHpVirtualDiskQuery = c.hwAwareEnableHpVdiskInfo;
    env.mediaParams.bEnableDellVirtualDiskQuery = c.hwAwareEnableDellVdiskInfo;
    env.umtUtilsParams.timeoutThreshold = c.memsetThresholdInMilliseconds;
    env.umtUtilsParams.sizeThreshold = c.memsetThresholdInBytes;
    p->crcParams.crcEnforcedMethodToUse = 0; // no enforcement: chosen by the processor

    // Files, the FIFO, the shared-memory server and I/O time-out debugging need a log directory.
    if (pLogDir == nullptr)
        return;

    MosCyclicFile_InitParams &exp = env.dbgParams.fileInfo;
    exp.bUseFile = c.expFileEnabled;
    exp.bAsync = FALSE;
    exp.pDir = pLogDir;
    exp.pPrefix = c.expFilePrefix;
    exp.history = mosLoad_History("exp_file_history", c.expFileHistory);
    exp.maxFileSize = (UINT32)c.expFileSize;
    env.dbgParams.bDumpTraces = c.expDumpTraces;
    env.dbgParams.milliToDumpTraces = (UINT32)c.expMilliWaitDumpTraces;
    env.dbgParams.coreType = (UINT32)c.dbgCoreType;
    env.dbgParams.bPlannedCrashPanic = c.dbgPlannedCrashPanic;
    env.dbgParams.coreMinDiskSpaceBytes = mosLoad_MulSaturate(c.dbgCoreMinDiskSpaceMb, 1ull << 20);

    MosCyclicFile_InitParams &trc = env.trcParams.traceFileParams;
    trc.bUseFile = c.trcFileEnabled;
    trc.bAsync = c.trcFileAsync;
    trc.pDir = pLogDir;
    trc.pPrefix = c.trcFilePrefix;
    trc.history = mosLoad_History("trc_file_history", c.trcFileHistory);
    trc.maxFileSize = (UINT32)c.trcFileSize;
    trc.dumpOnPercent = (UINT32)c.trcUsedBufPercentDump;
    trc.thrdSleepMilli = (UINT32)c.trcAsyncThreadSleepMillisecond;
    trc.logBufSize = (UINT32)c.trcAsyncBufSize;

    // The error file shares every setting of the trace file but its switch and its prefix.
    MosCyclicFile_InitParams &err = env.trcParams.errFileParams;
    err = trc;
    err.bUseFile = c.errFileEnabled;
    err.pPrefix = c.errFilePrefix;

    env.shmParams.bShmServer = c.shmServerOn;
    env.shmParams.serverPort = (UINT32)c.shmServerPort;
    env.asyncIoParams.bDebugTimeouts = c.dbgIoTimeoutEnable;
    env.asyncIoParams.deltaGoodIos = (UINT32)c.dbgIoGoodIos;
    env.asyncIoParams.millisTimeout = (UINT32)c.dbgIoTimeoutMillis;
    env.fifoParams.bIsEnabled = c.useFifoFile;
    env.fifoParams.pFifoFileName = c.fifoFilename;
}

void mosLoad_DeriveDir(char *pDir, const char *pLogDir, const char *pName)
{
    if (pDir[0] != '\0')
        return;
    int n = snprintf(pDir, MOS_LOAD__DIR_PATH_LEN, "%s%s..%s%s%s", pLogDir, "/", "/", pName, "/");
    if (n < 0 || n >= (int)MOS_LOAD__DIR_PATH_LEN) {
        // A cut path would name some other directory.
        pDir[0] = '\0';
        printf("The %s directory derived from log_dir %s is longer than %u characters; it stays unset\n", pName,
               pLogDir, MOS_LOAD__DIR_PATH_LEN - 1);
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------

Mos_RC mosLoader_Load(const MosLoader_FuncPair *pFuncs, UINT32 numOfFuncs)
{
    for (UINT32 i = 0; i < numOfFuncs; i++) {
        if (pFuncs[i].pLoadCK == nullptr)
            continue;
        Mos_RC rc = pFuncs[i].pLoadCK(pFuncs[i].pLoadFuncParam);
        if (rc != MOS_RC__SUCCESS) {
            mosLoader_Unload(pFuncs, i);
            return rc;
        }
    }
    return MOS_RC__SUCCESS;
}

void mosLoader_Unload(const MosLoader_FuncPair *pFuncs, UINT32 numOfFuncs)
{
    for (UINT32 i = numOfFuncs; i > 0; i--) {
        if (pFuncs[i - 1].pUnloadCK != nullptr)
            pFuncs[i - 1].pUnloadCK();
    }
}

Mos_RC mos_Init(Mos_InitParam *pParams)
{
    if (bMosLoaded_G)
        return MOS_RC__ALREADY_EXISTS;
    mosLoad_FillFuncs(mosLoadLayers_G, pParams, mosLoadFuncs_G);
    Mos_RC rc = mosLoader_Load(mosLoadFuncs_G, kNumLoadLayers);
    if (rc == MOS_RC__SUCCESS)
        bMosLoaded_G = TRUE;
    return rc;
}

void mos_Destroy(void)
{
    if (!bMosLoaded_G)
        return;
    mosLoader_Unload(mosLoadFuncs_G, kNumLoadLayers);
    bMosLoaded_G = FALSE;
}

Mos_RC mosLoad_LoadLayers(const char *const *ppNames, UINT32 numNames)
{
    if (bMosLoaded_G || numSomeLoaded_G != 0)
        return MOS_RC__ALREADY_EXISTS;
    UINT32 numFound = 0;
    UINT32 n = 0;
    auto take = [&](const auto &rows) {
        for (const auto &row : rows) {
            if (!mosLoad_IsNamed(row.pName, ppNames, numNames))
                continue;
            numFound++;
            mosSomeLoadFuncs_G[n++] = MosLoader_FuncPair{row.pLoadCK, nullptr, row.pUnloadCK};
        }
    };
    // The environment layers take the place of the row that loads them all.
    for (const auto &row : mosLoadLayers_G) {
        if (strcmp(row.pName, "mosEnvSpecific_Create") == 0) {
            take(mosEnvLayers_G);
            continue;
        }
        if (mosLoad_IsNamed(row.pName, ppNames, numNames)) {
            numFound++;
            mosSomeLoadFuncs_G[n++] = MosLoader_FuncPair{row.pLoadCK, nullptr, row.pUnloadCK};
        }
    }
    if (numFound != numNames)
        return MOS_RC__NOT_FOUND;
    Mos_RC rc = mosLoader_Load(mosSomeLoadFuncs_G, n);
    if (rc == MOS_RC__SUCCESS)
        numSomeLoaded_G = n;
    return rc;
}

void mosLoad_UnloadLayers(void)
{
    mosLoader_Unload(mosSomeLoadFuncs_G, numSomeLoaded_G);
    numSomeLoaded_G = 0;
}

Mos_RC mosEnvSpecific_Create(MosEnvSpecific_InitParams *pParams)
{
    srand48((long)(UINT32)mosTicks_GetCurrentTick());
    MOS_TRACE(MOS_COMP_TGT_GENERAL, MOS_FREQ_LOW, "mosEnvSpecific_Create: Shutdown is about to be called.\n");
    mosLoad_FillFuncs(mosEnvLayers_G, pParams, mosEnvSpecificLoadFuncs_G);
    return mosLoader_Load(mosEnvSpecificLoadFuncs_G, kNumEnvLayers);
}

void mosEnvSpecific_Destroy(void)
{
    mosLoader_Unload(mosEnvSpecificLoadFuncs_G, kNumEnvLayers);
}

Mos_RC mosLoad_Load(int argc, char **argv, MosConfEntry **ppEntries, UINT32 *pVectorLengths, UINT32 entriesVector,
                    UINT32 module, UINT16 portForSdbg)
{
    mosLoad_BuildRuntimeTable(runtimeConfEntries_G, portForSdbg);
    if (entriesVector == 0 || ppEntries == nullptr || pVectorLengths == nullptr) {
        printf("Array of configuration entries vector is 0. Cannot load\n");
        fflush(stdout);
        exit(1);
    }

    pLogDir_G = nullptr;
    const char *pConfFile = mosLoad_ParseCommandLine(argc, argv);
    ppEntries[entriesVector - 1] = runtimeConfEntries_G;
    pVectorLengths[entriesVector - 1] = MOS_LOAD__NUM_RUNTIME_KEYS;

    Mos_RC rc = mosConf_ProcessFile(pConfFile, ppEntries, pVectorLengths, entriesVector);
    if (rc != MOS_RC__SUCCESS) {
        printf("Error loading configuration file %s. Status %s(%d)\n", pConfFile != nullptr ? pConfFile : "unknown",
               MOS_RC__GET_STR(rc), (int)rc);
        fflush(stdout);
        exit(1);
    }
    // This program configures no fault-injection hooks.
    mosUt_DigestConfArray(nullptr, 0);

    mosLoad_FillInitParams(&mosInitParam_G, module, pLogDir_G);
    if (pLogDir_G != nullptr) {
        mosLoad_DeriveDir(cfgDirPath_G, pLogDir_G, "cfg");
        mosLoad_DeriveDir(binDirPath_G, pLogDir_G, "bin");
        mosLoad_DeriveDir(diagDirPath_G, pLogDir_G, "diag");
        mosLoad_DeriveDir(repDirPath_G, pLogDir_G, "rep");
    }

    Mos_RC initRc = mos_Init(&mosInitParam_G);

    const MosLoad_RuntimeConf &c = runtimeConf_G;
    if (c.trcFrequencyStrMap[0] != '\0') {
        // A malformed map (wrong length, letters outside A to P) is refused with an error line and
        // the default levels stay: nothing in the configuration file may stop start-up.
        mosTraceConf_SetFromdString(c.trcFrequencyStrMap, (UINT32)strlen(c.trcFrequencyStrMap));
        if (!c.trcFrequencyAllowModify)
            mosTraceConf_SetModifyMode(FALSE);
    }

    if (pConfFile != nullptr && initRc == MOS_RC__SUCCESS)
        mosConf_ValidateConfFile(pConfFile, ppEntries, pVectorLengths, entriesVector);

    if (c.printConf) {
        for (UINT32 v = 0; v < entriesVector; v++) {
            if (ppEntries[v] != nullptr)
                mosConf_Trace(ppEntries[v], pVectorLengths[v], c.printDetailedConf);
        }
    }
    return initRc;
}

const Mos_InitParam *mosLoad_GetInitParams(void)
{
    return &mosInitParam_G;
}

const char *mosLoad_GetLogDir(void)
{
    return pLogDir_G;
}

const char *mosLoad_GetCfgDir(void)
{
    return cfgDirPath_G;
}

const char *mosLoad_GetBinDir(void)
{
    return binDirPath_G;
}

const char *mosLoad_GetRepDir(void)
{
    return repDirPath_G;
}

const char *mosLoad_GetDiagDir(void)
{
    return diagDirPath_G;
}

void mosLoad_SetDefaultNumaAffinity(UINT32 affinity)
{
    MOS_ASSERT(affinity < 1024);
    defaultNumaAffinity_G = affinity;
}

void mosLoad_SetDefaultTraceOptions(UINT32 waitForDumpMilli)
{
    defaultMilliWaitDumpTraces_G = waitForDumpMilli;
}

void mosLoad_PrintVersion(void)
{
    printf("%s\n", mosVersion_GetBanner());
}
