// Performance stages: code marks the start and end of named stages with the processor's cycle
// counter, and each stage accumulates the cycles of its samples into an accumulator and a
// histogram. A stack nests stages (an inner stage pauses the outer one, so each counts only its
// own cycles); a linear sequence ends one stage by starting the next. Both measure the whole run
// and count how often it moved to another OS thread. Every group is a debug object that can be
// read and reset.
#pragma once

#include "mos/mos_fastlock.h"
#include "mos/mos_histogram.h"
#include "mos/mos_obj.h"
#include "mos/mos_rc.h"
#include "mos/mos_stat.h"
#include "mos/mos_types.h"

#define MOS_PERF_STAGE_NAME_LEN 32u   // with the terminator
#define MOS_PERF_STACK_MAX_FRAMES 16u // stages per group
#define MOS_PERF_CONTEXT_DESC_LEN 64u // with the terminator
#define MOS_PERF_MAX_STAGE_CYCLES 2000000000ull
#define MOS_PERF_MIN_HISTOGRAM_BUCKET_SIZE 20000ull
#define MOS_PERF_NUM_HISTOGRAM_BUCKETS 32u
#define MOS_PERF_STAGE_LOCK_RANK 16u
#define MOS_PERF_LAYER_LOCK_RANK 9u
#define MOS_PERF_TOTAL_STAGE_NAME "Total stack execution"
// Back-door operation that resets a group.
#define MOS_PERF_BACKDOOR_OP__RESET 1u

struct MosPerfStage {
    CHAR_A stageName[MOS_PERF_STAGE_NAME_LEN];
    MosHistogram histogram;
    MosStat stat;
    MosFastlock_Base lock; // guards histogram, stat and numSamplesFinished
    UINT64 numSamplesStarted; // counted without the lock
    UINT64 numSamplesFinished;
};

struct MosPerfStage_Desc {
    UINT8 id;
    const CHAR_A *pDescription; // the stage's name
};

struct MosPerfStack {
    CHAR_A contextDescription[MOS_PERF_CONTEXT_DESC_LEN];
    UINT32 numStages;
    UINT8 stageIds[MOS_PERF_STACK_MAX_FRAMES]; // per slot, the stage number given
    MosPerfStage stages[MOS_PERF_STACK_MAX_FRAMES];
    MosPerfStage totalStage;
    MosStat ctxSwitchStat; // thread switches per run, under totalStage's lock
    MosObj obj;
    BOOL bTotalStageInitialized;
};

struct MosPerfLinear {
    MosPerfStack stack;
};

struct MosPerfSample {
    UINT64 startCycles; // 0 when not running
    BOOL isPaused;
    UINT64 cyclesTillNow;
};

// One run through a stack, owned by the caller. Depth 0 is outside every stage; depth d holds
// the d-th nested stage.
struct MosPerfStack_Sample {
    UINT8 currStackFrame;
    UINT8 stages[MOS_PERF_STACK_MAX_FRAMES + 1];
    MosPerfSample samples[MOS_PERF_STACK_MAX_FRAMES + 1];
    MosPerfSample totalSample;
    UINT32 threadID; // 0 until the first start
    UINT32 numThreadSwitches;
    MosPerfStack *pStack;
};

struct MosPerfLinear_Sample {
    MosPerfSample sample;
    MosPerfSample totalSample;
    UINT32 numThreadSwitches;
    MosPerfLinear *pLinear;
    BOOL bFirstSample; // the next start begins a run
    UINT8 stageId;
    UINT32 threadID;
};

struct MosPerfStage_Query {
    MosHistogram_Query histogram;
    MosStat_Query stat;
    CHAR_A stageName[MOS_PERF_STAGE_NAME_LEN];
    UINT64 numSamplesStarted;
    UINT64 numSamplesFinished;
};

#pragma pack(push, 4)
struct MosPerfStack_Query {
    MosPerfStage_Query stages[MOS_PERF_STACK_MAX_FRAMES];
    MosPerfStage_Query totalStage;
    MosStat_Query ctxSwitchStat;
    CHAR_A contextDescription[MOS_PERF_CONTEXT_DESC_LEN];
    UINT32 numStages;
};
#pragma pack(pop)

static_assert(sizeof(MosPerfStage_Query) == 928);
static_assert(offsetof(MosPerfStage_Query, stat) == 824);
static_assert(offsetof(MosPerfStage_Query, stageName) == 880);
static_assert(sizeof(MosPerfStack_Query) == 15900, "the debug object server's record of an execution stack");
static_assert(offsetof(MosPerfStack_Query, totalStage) == 14848);
static_assert(offsetof(MosPerfStack_Query, ctxSwitchStat) == 15776);
static_assert(offsetof(MosPerfStack_Query, contextDescription) == 15832);
static_assert(offsetof(MosPerfStack_Query, numStages) == 15896);

// The storage server's request stages, by id: the default sequence that the controller sets up.
#define MOS_PERF_NUM_REQUEST_STAGES 14u
inline constexpr MosPerfStage_Desc MOS_PERF_REQUEST_STAGES[MOS_PERF_NUM_REQUEST_STAGES] = {
    {0, "Rcv message header"},
    {1, "Process rcv message header"},
    {2, "Alloc rcv buffer"},
    {3, "Rcv message data"},
    {4, "Notify on rcv message"},
    {5, "Rcv RPC create"},
    {6, "Rcv RPC queued for NetGrp"},
    {7, "Rcv RPC process in NetGrp"},
    {8, "Tgt Pri Read IO processing"},
    {9, "Tgt Pri Write IO processing"},
    {10, "Tgt other IO processing"},
    {11, "Tgt Send IO response"},
    {12, "NetSock get send permission"},
    {13, "NetSock send"},
};

Mos_RC MosPerfLayer_Init(void);
void MosPerfLayer_Destroy(void);

Mos_RC MosPerfStage_Init(MosPerfStage *pStage, const CHAR_A *pStageName, UINT64 expectedMinSample,
                         UINT64 expectedMaxSample, UINT64 minBucketSize, UINT32 numHistogramBuckets);
void MosPerfStage_Destroy(MosPerfStage *pStage);
void MosPerfStage_Reset(MosPerfStage *pStage);
void MosPerfStageQuery(MosPerfStage *pStage, MosPerfStage_Query *pQuery);

void MosPerfSample_Start(MosPerfSample *pSample, MosPerfStage *pStage);
void MosPerfSample_Pause(MosPerfSample *pSample);
void MosPerfSample_Resume(MosPerfSample *pSample);
void MosPerfSample_Stop(MosPerfSample *pSample, MosPerfStage *pStage);

// A null group initialises the layer's default stack (once; later calls change nothing).
Mos_RC MosPerfStack_Init(MosPerfStack *pStack, const CHAR_A *pContextDescription, UINT32 numStages,
                         const MosPerfStage_Desc *pStagesDesc);
void MosPerfStack_Destroy(MosPerfStack *pStack);
void MosPerfStack_Reset(MosPerfStack *pStack);
void MosPerfStackQuery(MosObj *pObj, const CHAR_A *pName, void *pData);
void MosPerfStackBackDoor(MosObj *pObj, UINT32 op, UINT32 argCount, PSdbgConfStr argVec);

// A null group initialises the layer's default sequence (once; a second call is
// MOS_RC__ALREADY_EXISTS).
Mos_RC MosPerfLinear_Init(MosPerfLinear *pLinear, const CHAR_A *pContextDescription, UINT32 numStages,
                          const MosPerfStage_Desc *pStagesDesc);
void MosPerfLinear_Destroy(MosPerfLinear *pLinear);
void MosPerfLinear_Reset(MosPerfLinear *pLinear);

// A null group binds the run to the default group when it exists; a run bound to nothing
// ignores every later call.
void MosPerfStackSample_Init(MosPerfStack_Sample *pSample, MosPerfStack *pStack);
void MosPerfStackSample_Start(MosPerfStack_Sample *pStackSample, UINT8 stageId);
void MosPerfStackSample_Stop(MosPerfStack_Sample *pStackSample);

void MosPerfLinearSample_Init(MosPerfLinear_Sample *pSample, MosPerfLinear *pLinear);
void MosPerfLinearSample_Start(MosPerfLinear_Sample *pLinearSample, UINT8 stageId);
void MosPerfLinearSample_Stop(MosPerfLinear_Sample *pLinearSample);
