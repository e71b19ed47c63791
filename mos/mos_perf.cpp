#include "mos/mos_perf_intrn.h"

#include <cstring>
#include <x86intrin.h>

#include "mos/mos_contention.h"
#include "mos/mos_assert.h"
#include "mos/mos_osthrd.h"
#include "mos/mos_trace.h"

MosPerf_Layer mosPerfLayer_G;

namespace {

BOOL bPerfLayerUp_G = FALSE;
// The object type joined the debug object registry (only when it was running at layer start).
BOOL bPerfInRegistry_G = FALSE;

UINT64 readCycles(void)
{
    return __rdtsc();
}

// The OS thread's id, read once per thread. Not inlined: a run may move between OS threads.
__attribute__((noinline)) UINT32 currentThreadId(void)
{
    static thread_local UINT32 threadId = 0;
    if (threadId == 0)
        threadId = mosOsThrd_GetCurThrdID();
    return threadId;
}

// Records the calling thread; a change counts as a switch unless this begins the run.
void noteThread(UINT32 *pThreadID, UINT32 *pNumThreadSwitches, BOOL bRunBegins)
{
    const UINT32 threadId = currentThreadId();
    if (*pThreadID == threadId)
        return;
    if (!bRunBegins)
        (*pNumThreadSwitches)++;
    *pThreadID = threadId;
}

void copyText(CHAR_A *pDst, size_t dstLen, const CHAR_A *pSrc)
{
    memset(pDst, 0, dstLen);
    if (pSrc != nullptr)
        strncpy(pDst, pSrc, dstLen - 1);
}

Mos_RC initStageForGroup(MosPerfStage *pStage, const CHAR_A *pName)
{
    return MosPerfStage_Init(pStage, pName, 0, MOS_PERF_MAX_STAGE_CYCLES, MOS_PERF_MIN_HISTOGRAM_BUCKET_SIZE,
                             MOS_PERF_NUM_HISTOGRAM_BUCKETS);
}

Mos_RC checkGroupParams(UINT32 numStages, const MosPerfStage_Desc *pStagesDesc)
{
    if (numStages > MOS_PERF_STACK_MAX_FRAMES) {
        MOS_TRACE(MOS_COMP_MOS_PROFILING, MOS_FREQ_HIGH, "Number of frames %d too big, expected max %d", (int)numStages,
                  (int)MOS_PERF_STACK_MAX_FRAMES);
        return MOS_RC__INVALID;
    }
    if (numStages == 0 || pStagesDesc == nullptr) {
        MOS_TRACE(MOS_COMP_MOS_PROFILING, MOS_FREQ_HIGH, "No stages given (%u frames, descriptions %p)", numStages,
                  (const void *)pStagesDesc);
        return MOS_RC__INVALID;
    }
    if (pStagesDesc[0].id >= numStages) {
        MOS_TRACE(MOS_COMP_MOS_PROFILING, MOS_FREQ_HIGH, "Frame id %d is invalid, expected max id %d",
                  (int)pStagesDesc[0].id, (int)numStages - 1);
        return MOS_RC__INVALID;
    }
    return MOS_RC__SUCCESS;
}

Mos_RC groupInit(MosPerfStack *pStack, const CHAR_A *pContextDescription, UINT32 numStages,
                 const MosPerfStage_Desc *pStagesDesc)
{
    memset(pStack, 0, sizeof(*pStack));
    copyText(pStack->contextDescription, sizeof(pStack->contextDescription), pContextDescription);
    Mos_RC rc = initStageForGroup(&pStack->totalStage, MOS_PERF_TOTAL_STAGE_NAME);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    pStack->bTotalStageInitialized = TRUE;
    for (UINT32 i = 0; i < numStages; i++) {
        rc = initStageForGroup(&pStack->stages[i], pStagesDesc[i].pDescription);
        if (rc != MOS_RC__SUCCESS) {
            for (UINT32 j = 0; j < i; j++)
                MosPerfStage_Destroy(&pStack->stages[j]);
            MosPerfStage_Destroy(&pStack->totalStage);
            pStack->bTotalStageInitialized = FALSE;
            return rc;
        }
        pStack->stageIds[i] = pStagesDesc[i].id;
    }
    pStack->numStages = numStages;
    mosStat_InitEx(&pStack->ctxSwitchStat, FALSE);
    if (bPerfInRegistry_G)
        mosObjType_RegObj(&mosPerfLayer_G.objType, &pStack->obj, pStack->contextDescription);
    return MOS_RC__SUCCESS;
}

void endRun(MosPerfStack *pStack, MosPerfSample *pTotalSample, UINT32 *pNumThreadSwitches)
{
    MosPerfSample_Stop(pTotalSample, &pStack->totalStage);
    {
        MosFastlockGuard guard(&pStack->totalStage.lock);
        mosStat_AddValue(&pStack->ctxSwitchStat, *pNumThreadSwitches);
    }
    *pNumThreadSwitches = 0;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Layer

Mos_RC MosPerfLayer_Init(void)
{
    memset(&mosPerfLayer_G, 0, sizeof(mosPerfLayer_G));
    bPerfInRegistry_G = mosObjLayer_IsRunning();
    if (bPerfInRegistry_G)
        mosObjType_RegObjType(&mosPerfLayer_G.objType, MosPerfStackQuery, MosPerfStackBackDoor,
                              SDBG_EXPORTS_OBJ_TYPE__MOS_EXECUTION_STACK, sizeof(MosPerfStack_Query));
    mosFastlockBase_CreateWithRank(&mosPerfLayer_G.lock, CONTENTION_ENUM_COMMON_CREATED__PERF_LAYER,
                                   MOS_PERF_LAYER_LOCK_RANK, __FILE__, __LINE__);
    bPerfLayerUp_G = TRUE;
    return MOS_RC__SUCCESS;
}

void MosPerfLayer_Destroy(void)
{
    if (!bPerfLayerUp_G)
        return;
    if (mosPerfLayer_G.bDefStackInitialized) {
        MosPerfStack_Destroy(&mosPerfLayer_G.defStack);
        mosPerfLayer_G.bDefStackInitialized = FALSE;
    }
    if (mosPerfLayer_G.bDefLinearInitialized) {
        MosPerfLinear_Destroy(&mosPerfLayer_G.defLinear);
        mosPerfLayer_G.bDefLinearInitialized = FALSE;
    }
    if (bPerfInRegistry_G)
        mosObjType_UnregObjType(&mosPerfLayer_G.objType);
    bPerfInRegistry_G = FALSE;
    mosFastlockBase_Destroy(&mosPerfLayer_G.lock);
    bPerfLayerUp_G = FALSE;
}

// ---------------------------------------------------------------------------------------------
// Stages and samples

Mos_RC MosPerfStage_Init(MosPerfStage *pStage, const CHAR_A *pStageName, UINT64 expectedMinSample,
                         UINT64 expectedMaxSample, UINT64 minBucketSize, UINT32 numHistogramBuckets)
{
    memset(pStage, 0, sizeof(*pStage));
    mosFastlockBase_CreateWithRank(&pStage->lock, CONTENTION_ENUM_COMMON_CREATED__PERF_STAGE, MOS_PERF_STAGE_LOCK_RANK,
                                   __FILE__, __LINE__);
    copyText(pStage->stageName, sizeof(pStage->stageName), pStageName);
    mosStat_Init(&pStage->stat);
    Mos_RC rc = mosHistogram_Init(&pStage->histogram, numHistogramBuckets, expectedMinSample, expectedMaxSample,
                                  minBucketSize, TRUE);
    if (rc != MOS_RC__SUCCESS) {
        MOS_ERROR(MOS_COMP_MOS_PROFILING, "Failed to init histogram");
        mosStat_Destroy(&pStage->stat);
        mosFastlockBase_Destroy(&pStage->lock);
        memset(pStage, 0, sizeof(*pStage));
        return rc;
    }
    return MOS_RC__SUCCESS;
}

void MosPerfStage_Destroy(MosPerfStage *pStage)
{
    mosHistogram_Destroy(&pStage->histogram);
    mosStat_Destroy(&pStage->stat);
    mosFastlockBase_Destroy(&pStage->lock);
}

void MosPerfStage_Reset(MosPerfStage *pStage)
{
    MosFastlockGuard guard(&pStage->lock);
    mosStat_Reset(&pStage->stat);
    mosHistogram_Reset(&pStage->histogram);
}

void MosPerfStageQuery(MosPerfStage *pStage, MosPerfStage_Query *pQuery)
{
    memset(pQuery, 0, sizeof(*pQuery));
    MosFastlockGuard guard(&pStage->lock);
    mosHistogram_Query(&pStage->histogram, &pQuery->histogram);
    mosStat_Query(&pStage->stat, &pQuery->stat);
    memcpy(pQuery->stageName, pStage->stageName, sizeof(pQuery->stageName));
    pQuery->numSamplesStarted = __atomic_load_n(&pStage->numSamplesStarted, __ATOMIC_RELAXED);
    pQuery->numSamplesFinished = pStage->numSamplesFinished;
}

void MosPerfSample_Start(MosPerfSample *pSample, MosPerfStage *pStage)
{
    pSample->startCycles = readCycles();
    pSample->cyclesTillNow = 0;
    pSample->isPaused = FALSE;
    __atomic_fetch_add(&pStage->numSamplesStarted, 1, __ATOMIC_RELAXED);
}

void MosPerfSample_Pause(MosPerfSample *pSample)
{
    if (pSample->startCycles != 0)
        pSample->cyclesTillNow += readCycles() - pSample->startCycles;
    pSample->startCycles = 0;
    pSample->isPaused = TRUE;
}

void MosPerfSample_Resume(MosPerfSample *pSample)
{
    MOS_ASSERT(pSample->isPaused);
    pSample->startCycles = readCycles();
    pSample->isPaused = FALSE;
}

void MosPerfSample_Stop(MosPerfSample *pSample, MosPerfStage *pStage)
{
    UINT64 value = pSample->cyclesTillNow;
    if (pSample->startCycles != 0)
        value += readCycles() - pSample->startCycles;
    {
        MosFastlockGuard guard(&pStage->lock);
        mosStat_AddValue(&pStage->stat, value);
        mosHistogram_AddValue(&pStage->histogram, value);
        pStage->numSamplesFinished++;
    }
    pSample->startCycles = 0;
    pSample->cyclesTillNow = 0;
    pSample->isPaused = FALSE;
}

// ---------------------------------------------------------------------------------------------
// Groups

Mos_RC MosPerfStack_Init(MosPerfStack *pStack, const CHAR_A *pContextDescription, UINT32 numStages,
                         const MosPerfStage_Desc *pStagesDesc)
{
    Mos_RC rc = checkGroupParams(numStages, pStagesDesc);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    if (pStack != nullptr)
        return groupInit(pStack, pContextDescription, numStages, pStagesDesc);

    if (!bPerfLayerUp_G)
        return MOS_RC__NOT_READY;
    MosFastlockGuard guard(&mosPerfLayer_G.lock);
    if (mosPerfLayer_G.bDefStackInitialized)
        return MOS_RC__SUCCESS;
    rc = groupInit(&mosPerfLayer_G.defStack, pContextDescription, numStages, pStagesDesc);
    if (rc == MOS_RC__SUCCESS)
        __atomic_store_n(&mosPerfLayer_G.bDefStackInitialized, TRUE, __ATOMIC_RELEASE);
    return rc;
}

void MosPerfStack_Destroy(MosPerfStack *pStack)
{
    if (mosObj_IsRegistered(&pStack->obj))
        mosObjType_UnregObj(&mosPerfLayer_G.objType, &pStack->obj);
    for (UINT32 i = 0; i < pStack->numStages; i++)
        MosPerfStage_Destroy(&pStack->stages[i]);
    if (pStack->bTotalStageInitialized)
        MosPerfStage_Destroy(&pStack->totalStage);
    memset(pStack, 0, sizeof(*pStack));
}

void MosPerfStack_Reset(MosPerfStack *pStack)
{
    for (UINT32 i = 0; i < pStack->numStages; i++)
        MosPerfStage_Reset(&pStack->stages[i]);
    MosPerfStage_Reset(&pStack->totalStage);
    MosFastlockGuard guard(&pStack->totalStage.lock);
    mosStat_Reset(&pStack->ctxSwitchStat);
}

void MosPerfStackQuery(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    MOS_UNUSED(pName);
    MosPerfStack *pStack = MOS_CONTAINER_OF(pObj, MosPerfStack, obj);
    // The record is packed to 4 bytes; each part is built aligned and copied in.
    MosPerfStack_Query *pQuery = static_cast<MosPerfStack_Query *>(pData);
    memset(pQuery, 0, sizeof(*pQuery));
    MosPerfStage_Query stageQuery;
    for (UINT32 i = 0; i < pStack->numStages; i++) {
        MosPerfStageQuery(&pStack->stages[i], &stageQuery);
        memcpy(reinterpret_cast<char *>(pQuery) + offsetof(MosPerfStack_Query, stages) + i * sizeof(stageQuery),
               &stageQuery, sizeof(stageQuery));
    }
    MosPerfStageQuery(&pStack->totalStage, &stageQuery);
    memcpy(reinterpret_cast<char *>(pQuery) + offsetof(MosPerfStack_Query, totalStage), &stageQuery,
           sizeof(stageQuery));
    MosStat_Query statQuery;
    {
        MosFastlockGuard guard(&pStack->totalStage.lock);
        mosStat_Query(&pStack->ctxSwitchStat, &statQuery);
    }
    memcpy(reinterpret_cast<char *>(pQuery) + offsetof(MosPerfStack_Query, ctxSwitchStat), &statQuery,
           sizeof(statQuery));
    memcpy(pQuery->contextDescription, pStack->contextDescription, sizeof(pQuery->contextDescription));
    pQuery->numStages = pStack->numStages;
}

void MosPerfStackBackDoor(MosObj *pObj, UINT32 op, UINT32 argCount, PSdbgConfStr argVec)
{
    MOS_UNUSED(argCount);
    MOS_UNUSED(argVec);
    if (op == MOS_PERF_BACKDOOR_OP__RESET)
        MosPerfStack_Reset(MOS_CONTAINER_OF(pObj, MosPerfStack, obj));
}

Mos_RC MosPerfLinear_Init(MosPerfLinear *pLinear, const CHAR_A *pContextDescription, UINT32 numStages,
                          const MosPerfStage_Desc *pStagesDesc)
{
    Mos_RC rc = checkGroupParams(numStages, pStagesDesc);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    if (pLinear != nullptr)
        return groupInit(&pLinear->stack, pContextDescription, numStages, pStagesDesc);

    if (!bPerfLayerUp_G)
        return MOS_RC__NOT_READY;
    MosFastlockGuard guard(&mosPerfLayer_G.lock);
    if (mosPerfLayer_G.bDefLinearInitialized)
        return MOS_RC__ALREADY_EXISTS;
    rc = groupInit(&mosPerfLayer_G.defLinear.stack, pContextDescription, numStages, pStagesDesc);
    if (rc == MOS_RC__SUCCESS)
        __atomic_store_n(&mosPerfLayer_G.bDefLinearInitialized, TRUE, __ATOMIC_RELEASE);
    return rc;
}

void MosPerfLinear_Destroy(MosPerfLinear *pLinear)
{
    MosPerfStack_Destroy(&pLinear->stack);
}

void MosPerfLinear_Reset(MosPerfLinear *pLinear)
{
    MosPerfStack_Reset(&pLinear->stack);
}

// ---------------------------------------------------------------------------------------------
// Runs

void MosPerfStackSample_Init(MosPerfStack_Sample *pSample, MosPerfStack *pStack)
{
    memset(pSample, 0, sizeof(*pSample));
    if (pStack == nullptr && __atomic_load_n(&mosPerfLayer_G.bDefStackInitialized, __ATOMIC_ACQUIRE))
        pStack = &mosPerfLayer_G.defStack;
    pSample->pStack = pStack;
}

void MosPerfStackSample_Start(MosPerfStack_Sample *pStackSample, UINT8 stageId)
{
    MosPerfStack *pStack = pStackSample->pStack;
    if (pStack == nullptr) {
        MOS_TRACE(MOS_COMP_MOS_PROFILING, MOS_FREQ_HIGH, "NULL stack handed");
        return;
    }
    MOS_ASSERT(stageId < pStack->numStages);
    // A stack nests at most as many stages as it has.
    MOS_ASSERT(pStackSample->currStackFrame < pStack->numStages);

    const BOOL bRunBegins = pStackSample->currStackFrame == 0;
    if (bRunBegins)
        MosPerfSample_Start(&pStackSample->totalSample, &pStack->totalStage);
    noteThread(&pStackSample->threadID, &pStackSample->numThreadSwitches, bRunBegins);

    MosPerfSample *pOuter = &pStackSample->samples[pStackSample->currStackFrame];
    if (pOuter->startCycles != 0)
        MosPerfSample_Pause(pOuter);
    const UINT8 depth = ++pStackSample->currStackFrame;
    MosPerfSample_Start(&pStackSample->samples[depth], &pStack->stages[stageId]);
    pStackSample->stages[depth] = stageId;
}

void MosPerfStackSample_Stop(MosPerfStack_Sample *pStackSample)
{
    MosPerfStack *pStack = pStackSample->pStack;
    if (pStack == nullptr) {
        MOS_TRACE(MOS_COMP_MOS_PROFILING, MOS_FREQ_HIGH, "NULL stack handed");
        return;
    }
    noteThread(&pStackSample->threadID, &pStackSample->numThreadSwitches, FALSE);

    const UINT8 depth = pStackSample->currStackFrame;
    MosPerfSample *pSample = &pStackSample->samples[depth];
    MOS_ASSERT(pSample->startCycles != 0);
    MosPerfSample_Stop(pSample, &pStack->stages[pStackSample->stages[depth]]);
    pStackSample->currStackFrame = depth - 1;
    if (pStackSample->currStackFrame > 0)
        MosPerfSample_Resume(&pStackSample->samples[pStackSample->currStackFrame]);
    else
        endRun(pStack, &pStackSample->totalSample, &pStackSample->numThreadSwitches);
}

void MosPerfLinearSample_Init(MosPerfLinear_Sample *pSample, MosPerfLinear *pLinear)
{
    memset(pSample, 0, sizeof(*pSample));
    if (pLinear == nullptr && __atomic_load_n(&mosPerfLayer_G.bDefLinearInitialized, __ATOMIC_ACQUIRE))
        pLinear = &mosPerfLayer_G.defLinear;
    pSample->pLinear = pLinear;
    pSample->bFirstSample = TRUE;
}

void MosPerfLinearSample_Start(MosPerfLinear_Sample *pLinearSample, UINT8 stageId)
{
    if (pLinearSample->pLinear == nullptr) {
        MOS_TRACE(MOS_COMP_MOS_PROFILING, MOS_FREQ_HIGH, "NULL sample handed (pLinearSample %p)",
                  (void *)pLinearSample);
        return;
    }
    MosPerfStack *pStack = &pLinearSample->pLinear->stack;
    MOS_ASSERT(stageId < pStack->numStages);

    const BOOL bRunBegins = pLinearSample->bFirstSample;
    if (bRunBegins)
        MosPerfSample_Start(&pLinearSample->totalSample, &pStack->totalStage);
    noteThread(&pLinearSample->threadID, &pLinearSample->numThreadSwitches, bRunBegins);

    if (pLinearSample->sample.startCycles != 0)
        MosPerfSample_Stop(&pLinearSample->sample, &pStack->stages[pLinearSample->stageId]);
    MosPerfSample_Start(&pLinearSample->sample, &pStack->stages[stageId]);
    pLinearSample->stageId = stageId;
    pLinearSample->bFirstSample = FALSE;
}

void MosPerfLinearSample_Stop(MosPerfLinear_Sample *pLinearSample)
{
    if (pLinearSample->pLinear == nullptr) {
        MOS_TRACE(MOS_COMP_MOS_PROFILING, MOS_FREQ_HIGH, "NULL sample handed");
        return;
    }
    MosPerfStack *pStack = &pLinearSample->pLinear->stack;
    if (pLinearSample->sample.startCycles != 0)
        MosPerfSample_Stop(&pLinearSample->sample, &pStack->stages[pLinearSample->stageId]);
    noteThread(&pLinearSample->threadID, &pLinearSample->numThreadSwitches, FALSE);
    if (pLinearSample->totalSample.startCycles != 0)
        endRun(pStack, &pLinearSample->totalSample, &pLinearSample->numThreadSwitches);
    pLinearSample->numThreadSwitches = 0;
    pLinearSample->bFirstSample = TRUE;
}
