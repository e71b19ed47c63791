// The process as a service: an initialisation callback that starts everything and a stop
// callback that asks it to end. The stop callback is reached from SIGTERM and from the command
// "SHUTDOWN" written into the runtime's named pipe; both end the process the same way.
// Also the run-once records, which let several users share one set-up and tear-down pair.
#pragma once

#include "mos/mos_osthrd.h"
#include "mos/mos_rc.h"
#include "mos/mos_types.h"

typedef void (*MosService_InitCK)(void);
typedef void (*MosService_StopCK)(void);

struct MosService {
    MosService_InitCK pInitCK;
    MosService_StopCK pStopCK;
};

// Stores the callbacks, calls the initialisation and then sleeps for good.
[[noreturn]] void mosService_Start(MosService_InitCK pInitCK, MosService_StopCK pStopCK);
// Calls the stored stop callback, when there is one.
void mosService_Stop(void);
// Stores the callbacks without starting (for programs and tests that run their own main loop).
void mosService_SetCallbacks(MosService_InitCK pInitCK, MosService_StopCK pStopCK);

// The command FIFO.
enum MosFifo_Type : UINT32 {
    MOS_FIFO_TYPE__UNKNOWN = 0,
    MOS_FIFO_TYPE__SHUTDOWN = 1,
    MOS_FIFO_TYPE__STOP = 2,
    MOS_FIFO_TYPE__LAST = 3,
};

#define MOS_FIFO__CMD_SLOT_SIZE 32u
#define MOS_FIFO__MAX_READ 31u
#define MOS_FIFO__DEFAULT_FILE_NAME "./.mos.fifo"
#define MOS_FIFO__FILE_NAME_SIZE 256u

extern const char fifoCmdArray_G[MOS_FIFO_TYPE__LAST][MOS_FIFO__CMD_SLOT_SIZE];

struct MosFifo_InitParams {
    BOOL bIsEnabled;
    const char *pFifoFileName;
};

struct MosFifoLayer {
    char fifoFileName[MOS_FIFO__FILE_NAME_SIZE];
    MosOsThrd fifoThrd;
    BOOL bInit;
};

Mos_RC mosFifoLayer_Create(const MosFifo_InitParams *pParams);
void mosFifoLayer_Destroy(void);
Mos_RC mosFifo_WriteToFifo(const char *pFifoFileName, const char *pCmd);
MosFifo_Type mosFifo_ParseFifoInput(const char *pInputStr, UINT32 strLen);

// Run-once: the first user runs the set-up, the last one the tear-down.
typedef Mos_RC (*MosOnce_InitCK)(void);
typedef void (*MosOnce_DestroyCK)(void);

struct MosOnce {
    UINT32 ref;
    MosOnce_InitCK pInitCK;
    MosOnce_DestroyCK pDestroyCK;
};

Mos_RC mosOnceLayer_Create(void);
void mosOnceLayer_Destroy(void);
Mos_RC mosOnce_RunInit(MosOnce *pOnce);
void mosOnce_RunDestroy(MosOnce *pOnce);
