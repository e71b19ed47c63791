// Start-up of the runtime: the command line, the configuration file, and the runtime's layers,
// loaded in a fixed order and unloaded in reverse. Also the version of the software and the
// directories derived from the log directory.
#pragma once

#include "mos/env/mos_net_iov.h"
#include "mos/mos_bwc.h"
#include "mos/mos_conf.h"
#include "mos/mos_crc.h"
#include "mos/mos_dbg.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_osthrd.h"
#include "mos/mos_rc.h"
#include "mos/mos_service.h"
#include "mos/mos_ticks.h"
#include "mos/mos_timer.h"
#include "mos/mos_trace.h"
#include "mos/mos_types.h"
#include "mos/mos_utils.h"
#include "mos/mos_version.h"
#include "mos/sdbg/sdbg_server.h"
#include "mos/umt/mos_umt_utils.h"
#include "mos/usr/linux/mos_shm.h"
#include "mos/usr/mos_async_io.h"
#include "mos/mos_trace_layer.h"
#include "mos/usr/mos_media.h"

// The environment layers' parameters, filled by mosLoad_Load from the runtime's configuration
// keys; each layer receives a pointer to its own record. The debug layer's come first: its
// layer receives the whole record.
struct MosEnvSpecific_InitParams {
    MosDbg_InitParams dbgParams;
    MosTrc_InitParams trcParams;
    MosOsThrd_InitParams thrdParams;
    MosShm_InitParams shmParams;
    MosAsyncIO_InitParams asyncIoParams;
    MosFifo_InitParams fifoParams;
    MosMedia_InitParams mediaParams;
    MosUmtUtils_InitParams umtUtilsParams;
};

// The runtime's start-up parameters; zero-filled before use.
struct Mos_InitParam {
    SdbgServer_InitParam sdbgParams;
    MosBWC_InitParams bwcParams;
    MosTimer_InitParams timerParams;
    MosFastlock_InitParams fastlockParams;
    MosEnvSpecific_InitParams envSpecificParams;
    MosCrc_InitParams crcParams;
    MosTicks_InitParams ticksParams;
    MosNetSmallIov_InitParams smallIov_Params;
    MosUtils_InitParams mosUtils_Params;
};

static_assert(offsetof(MosEnvSpecific_InitParams, dbgParams) == 0, "the debug layer reads the whole record");

// One layer: its load callback with its parameter pointer (may be null), and its unload callback.
struct MosLoader_FuncPair {
    Mos_RC (*pLoadCK)(void *pParam);
    void *pLoadFuncParam;
    void (*pUnloadCK)(void);
};

// Runs the load callbacks in order. When one fails, the unload callbacks of the layers before it
// run, last first (the failed layer's own is not called), and its code is returned.
Mos_RC mosLoader_Load(const MosLoader_FuncPair *pFuncs, UINT32 numOfFuncs);
// Calls the unload callbacks of entries numOfFuncs - 1 down to 0.
void mosLoader_Unload(const MosLoader_FuncPair *pFuncs, UINT32 numOfFuncs);

// Number of keys in the runtime's own configuration table.
constexpr UINT32 MOS_LOAD__NUM_RUNTIME_KEYS = 64;
constexpr UINT32 MOS_LOAD__DIR_PATH_LEN = 256;

// Reads the command line and the configuration file into every table of ppEntries (the last of
// the entriesVector slots is overwritten with the runtime's own table), fills the start-up
// parameters and loads the runtime. Exits the process with status 0 after "help" or "version" and
// with status 1 when the command line or the configuration file cannot be loaded. Returns what
// mos_Init returned.
Mos_RC mosLoad_Load(int argc, char **argv, MosConfEntry **ppEntries, UINT32 *pVectorLengths, UINT32 entriesVector,
                    UINT32 module, UINT16 portForSdbg);

// Returns the configuration file's name (or null); "help" and "version" end the process with
// status 0, an option that the parser refuses ends it with status 1. For programs that must check
// a key of the file before mosLoad_Load (which parses the command line again).
const char *mosLoad_ParseCommandLine(int argc, char **argv);

// Loads the runtime's layers; pParams may be null (every layer takes its own defaults), as tools do.
// MOS_RC__ALREADY_EXISTS while the runtime is loaded.
Mos_RC mos_Init(Mos_InitParam *pParams);
// Unloads every layer in reverse order.
void mos_Destroy(void);

// Loads only the layers whose load functions are named (e.g. "mosObjLayer_Create"), in the
// runtime's own order and each with its defaults, for tests that need a few layers. When one
// fails, those loaded before it unload in reverse and its code is returned. MOS_RC__NOT_FOUND
// (nothing loaded) when a name is no layer's (or is named twice); MOS_RC__ALREADY_EXISTS while
// the runtime or another partial load is up.
Mos_RC mosLoad_LoadLayers(const char *const *ppNames, UINT32 numNames);
// Unloads the layers of the partial load in reverse order.
void mosLoad_UnloadLayers(void);

// The environment layers (files, debug, trace, FIFO, I/O...): one runtime layer of their own.
Mos_RC mosEnvSpecific_Create(MosEnvSpecific_InitParams *pParams);
void mosEnvSpecific_Destroy(void);

// The parameters that mosLoad_Load handed to mos_Init (zero before it ran).
const Mos_InitParam *mosLoad_GetInitParams(void);

const char *mosLoad_GetLogDir(void); // null without "log_dir"
const char *mosLoad_GetCfgDir(void);
const char *mosLoad_GetBinDir(void);
const char *mosLoad_GetRepDir(void);
const char *mosLoad_GetDiagDir(void);

// Defaults of numa_affinity and exp_milli_wait_dump_traces; they matter only before mosLoad_Load.
void mosLoad_SetDefaultNumaAffinity(UINT32 affinity);
void mosLoad_SetDefaultTraceOptions(UINT32 waitForDumpMilli);

void mosLoad_PrintVersion(void);

// a * b, or UINT64_MAX when the product does not fit.
constexpr UINT64 mosLoad_MulSaturate(UINT64 a, UINT64 b)
{
    UINT64 r = 0;
    return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}
