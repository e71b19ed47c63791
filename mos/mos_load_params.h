// Start-up parameters of the runtime's layers, filled by mosLoad_Load from the runtime's
// configuration keys. Each layer receives a pointer to its own record. Records of modules that
// are built come from their modules' headers; the others are defined here until their module
// lands and takes its record over (move the definition, include the module's header here).
#pragma once

#include "mos/mos_bwc.h"
#include "mos/mos_crc.h"
#include "mos/mos_dbg.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_osthrd.h"
#include "mos/mos_service.h"
#include "mos/mos_ticks.h"
#include "mos/mos_trace.h"
#include "mos/mos_types.h"
#include "mos/mos_utils.h"
#include "mos/usr/mos_async_io.h"

struct MosSdbg_InitParams {
    UINT32 module;
    UINT16 sdbgPort;
};

struct MosTimer_InitParams {
    BOOL bDontUseThrds;
};

struct MosShm_InitParams {
    BOOL bShmServer;
    UINT32 serverPort;
};

struct MosMedia_InitParams {
    BOOL bEnableLsiGeneralInfoQuery;
    BOOL bEnableHpGeneralInfoQuery;
    BOOL bEnableDellGeneralInfoQuery;
    BOOL bEnableLsiVirtualDiskQuery;
    BOOL bEnableHpVirtualDiskQuery;
    BOOL bEnableDellVirtualDiskQuery;
};

struct MosUmtUtils_InitParams {
    UINT64 timeoutThreshold; // milliseconds
    UINT64 sizeThreshold;    // bytes
};

// The debug layer's parameters come first: its layer receives the whole record.
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

struct MosNetSmallIov_InitParams {
    BOOL bUseMemPool;
    UINT32 memPoolSize;
};

// The runtime's start-up parameters; zero-filled before use.
struct Mos_InitParam {
    MosSdbg_InitParams sdbgParams;
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
