#include "mos/mos_ut.h"

#include <cstring>
#include <x86intrin.h>

#include "mos/mos_assert.h"
#include "mos/mos_ticks.h"
#include "mos/mos_trace.h"

const CHAR_A *const entryNamesTable[MOS_UT_ENTRY__LAST + 1] = {
    "ChooseSendPath",
    "CreateKernelSocket",
    "NetPath_RcvLoop",
    "PhyDevWriteIODelay",
    "PhyToothMapHardenAllIODelay",
    "SocketDoIo",
    "T10Dif_UtHook_IohPriWr1Encrypt",
    "T10Dif_UtHook_IohPriWr2Encrypt",
    "T10Dif_UtHook_IohRead",
    "T10Dif_UtHook_IohReadDecrypt",
    "T10Dif_UtHook_IohSecWriteEncrypt",
    "T10Dif_UtHook_PhyDevDecrypt",
    "T10Dif_UtHook_PhyDevRead",
    "T10Dif_UtHook_PhyDevWrite",
    "T10Dif_UtHook_RCacheDecrypt",
    "T10Dif_UtHook_TestAndSetCmp",
    "osNet_Recv",
    "osNet_RecvV",
    "osNet_Send",
    "osNet_SendV",
    "suspendUThread",
    "INVALID",
};

const CHAR_A *const threshFuncNamesTable[MOS_UT_THRESH_FUNC__LAST + 1] = {
    "None",
    "mosUtThresh_Always",
    "mosUtThresh_EqualsTo",
    "mosUtThresh_BiggerThan",
    "mosUtThresh_SmallerThan",
    "mosUtThresh_DifferentThan",
    "mosUtThresh_RandOneOf",
    "mosUtThresh_IsEven",
    "mosUtThresh_IsOdd",
    "mosUtThresh_CountTimes",
    "INVALID",
};

const CHAR_A *const actionFuncNamesTable[MOS_UT_ACTION_FUNC__LAST + 1] = {
    "None",
    "mosUtAction_ReturnConstant",
    "mosUtAction_ReturnUserCtx",
    "mosUtAction_ReturnRandLimited",
    "mosUtAction_SpinInPlace",
    "mosUtAction_DelayThread",
    "INVALID",
};

const PMosUtThreshFunc mosUt_ThreshFuncs[MOS_UT_THRESH_FUNC__LAST] = {
    nullptr,
    mosUtThresh_Always,
    mosUtThresh_EqualsTo,
    mosUtThresh_BiggerThan,
    mosUtThresh_SmallerThan,
    mosUtThresh_DifferentThan,
    mosUtThresh_RandOneOf,
    mosUtThresh_IsEven,
    mosUtThresh_IsOdd,
    mosUtThresh_CountTimes,
};

const PMosUtActionFunc mosUt_ActionFuncs[MOS_UT_ACTION_FUNC__LAST] = {
    nullptr,
    mosUtAction_ReturnConstant,
    mosUtAction_ReturnUserCtx,
    mosUtAction_ReturnRandLimited,
    mosUtAction_SpinInPlace,
    mosUtAction_DelayThread,
};

MosUTHookEntry MOS_UT__HOOKS_TABLE[MOS_UT_ENTRY__LAST] = {};

// ---- Threshold functions ----

BOOL mosUtThresh_Always(PMosUTHookEntry pEntry, UINT64 userCtx)
{
    MOS_UNUSED(pEntry);
    MOS_UNUSED(userCtx);
    return TRUE;
}

BOOL mosUtThresh_EqualsTo(PMosUTHookEntry pEntry, UINT64 userCtx)
{
    return userCtx == pEntry->threshFuncParam ? TRUE : FALSE;
}

BOOL mosUtThresh_BiggerThan(PMosUTHookEntry pEntry, UINT64 userCtx)
{
    return userCtx > pEntry->threshFuncParam ? TRUE : FALSE;
}

BOOL mosUtThresh_SmallerThan(PMosUTHookEntry pEntry, UINT64 userCtx)
{
    return userCtx < pEntry->threshFuncParam ? TRUE : FALSE;
}

BOOL mosUtThresh_DifferentThan(PMosUTHookEntry pEntry, UINT64 userCtx)
{
    return userCtx != pEntry->threshFuncParam ? TRUE : FALSE;
}

BOOL mosUtThresh_RandOneOf(PMosUTHookEntry pEntry, UINT64 userCtx)
{
    MOS_UNUSED(userCtx);
    const UINT64 n = pEntry->threshFuncParam;
    return n == 0 || mosTicks_GetCurrentTick() % n == 0 ? TRUE : FALSE;
}

BOOL mosUtThresh_IsEven(PMosUTHookEntry pEntry, UINT64 userCtx)
{
    MOS_UNUSED(pEntry);
    return (static_cast<UINT32>(userCtx) & 1u) == 0 ? TRUE : FALSE;
}

BOOL mosUtThresh_IsOdd(PMosUTHookEntry pEntry, UINT64 userCtx)
{
    MOS_UNUSED(pEntry);
    return (static_cast<UINT32>(userCtx) & 1u) != 0 ? TRUE : FALSE;
}

BOOL mosUtThresh_CountTimes(PMosUTHookEntry pEntry, UINT64 userCtx)
{
    MOS_UNUSED(userCtx);
    if (pEntry->threshFuncParam == 0)
        return FALSE;
    pEntry->threshFuncParam--;
    return TRUE;
}

// ---- Action functions ----

UINT64 mosUtAction_ReturnConstant(PMosUTHookEntry pEntry, UINT64 userCtx)
{
    MOS_UNUSED(userCtx);
    return pEntry->actionFuncParam;
}

UINT64 mosUtAction_ReturnUserCtx(PMosUTHookEntry pEntry, UINT64 userCtx)
{
    MOS_UNUSED(pEntry);
    return userCtx;
}

UINT64 mosUtAction_ReturnRandLimited(PMosUTHookEntry pEntry, UINT64 userCtx)
{
    MOS_UNUSED(userCtx);
    MOS_ASSERT(pEntry->actionFuncParam != 0);
    return mosTicks_GetCurrentTick() % pEntry->actionFuncParam;
}

UINT64 mosUtAction_SpinInPlace(PMosUTHookEntry pEntry, UINT64 userCtx)
{
    MOS_UNUSED(userCtx);
    const UINT64 cycles = pEntry->actionFuncParam;
    const UINT64 start = __rdtsc();
    // The difference is taken modulo 2^64, so a wrapping counter still ends the wait.
    while (__rdtsc() - start < cycles)
        _mm_pause();
    return cycles;
}

UINT64 mosUtAction_DelayThread(PMosUTHookEntry pEntry, UINT64 userCtx)
{
    MOS_UNUSED(userCtx);
    const UINT64 millis = pEntry->actionFuncParam;
    const MosTicks_Cnt start = mosTicks_GetCurrentTick();
    while (mosTicks_TicksToMillis(mosTicks_DiffInTicks(mosTicks_GetCurrentTick(), start)) < millis)
        _mm_pause();
    return millis;
}

// ---- Names ----

namespace {

UINT32 utLookup(const CHAR_A *const *pTable, UINT32 last, const CHAR_A *pName)
{
    if (pName == nullptr)
        return last;
    for (UINT32 i = 0; i < last; i++)
        if (strncmp(pTable[i], pName, MOS_UT__MAX_NAME_LEN) == 0)
            return i;
    return last;
}

} // namespace

UINT32 mosUt_GetEntryIdFromName(const CHAR_A *pName)
{
    return utLookup(entryNamesTable, MOS_UT_ENTRY__LAST, pName);
}

UINT32 mosUt_GetThreshFuncIdFromName(const CHAR_A *pName)
{
    return utLookup(threshFuncNamesTable, MOS_UT_THRESH_FUNC__LAST, pName);
}

UINT32 mosUt_GetActionFuncIdFromName(const CHAR_A *pName)
{
    return utLookup(actionFuncNamesTable, MOS_UT_ACTION_FUNC__LAST, pName);
}

// ---- Configuration ----

Mos_RC mosUt_ConfigureEntry(UINT32 entryId, UINT32 threshFunc, UINT64 threshVal, UINT32 actionFunc, UINT64 actionVal,
                            BOOL bReturnFromHook)
{
#if MOS_UT_HOOKS_ENABLED
    if (entryId >= MOS_UT_ENTRY__LAST || threshFunc >= MOS_UT_THRESH_FUNC__LAST ||
        actionFunc >= MOS_UT_ACTION_FUNC__LAST ||
        (actionFunc == MOS_UT_ACTION_FUNC__ReturnRandLimited && actionVal == 0)) {
        MOS_TRACE(MOS_COMP_MOS_UT, MOS_FREQ_LOW, "bad hook configuration: entry %u thresh %u action %u", entryId,
                  threshFunc, actionFunc);
        return MOS_RC__INVALID;
    }
    MosUTHookEntry *pEntry = &MOS_UT__HOOKS_TABLE[entryId];
    pEntry->threshFuncId = MOS_UT_THRESH_FUNC__None; // off while it changes
    pEntry->threshFuncParam = threshVal;
    pEntry->actionFuncId = actionFunc;
    pEntry->actionFuncParam = actionVal;
    pEntry->bReturnFromHook = bReturnFromHook;
    pEntry->threshFuncId = threshFunc;
#else
    MOS_UNUSED(entryId);
    MOS_UNUSED(threshFunc);
    MOS_UNUSED(threshVal);
    MOS_UNUSED(actionFunc);
    MOS_UNUSED(actionVal);
    MOS_UNUSED(bReturnFromHook);
#endif
    return MOS_RC__SUCCESS;
}

Mos_RC mosUt_DigestConfArray(const MosUTConfEntry *pEntries, UINT32 numOfEntries)
{
#if MOS_UT_HOOKS_ENABLED
    for (UINT32 i = 0; i < numOfEntries; i++) {
        const MosUTConfEntry *pConf = &pEntries[i];
        const Mos_RC rc = mosUt_ConfigureEntry(
            mosUt_GetEntryIdFromName(pConf->entryName), mosUt_GetThreshFuncIdFromName(pConf->threshFuncName),
            pConf->threshFuncParam, mosUt_GetActionFuncIdFromName(pConf->actionFuncName), pConf->actionFuncParam,
            pConf->bReturnFromHook);
        if (rc != MOS_RC__SUCCESS)
            return rc;
    }
#else
    MOS_UNUSED(pEntries);
    MOS_UNUSED(numOfEntries);
#endif
    return MOS_RC__SUCCESS;
}

BOOL mosUt_HookFire(UINT32 entryId, UINT64 userCtx, UINT64 *pResult)
{
    MOS_ASSERT(entryId < MOS_UT_ENTRY__LAST);
    MosUTHookEntry *pEntry = &MOS_UT__HOOKS_TABLE[entryId];
    const UINT32 threshId = pEntry->threshFuncId;
    if (threshId == MOS_UT_THRESH_FUNC__None || threshId >= MOS_UT_THRESH_FUNC__LAST)
        return FALSE;
    if (!mosUt_ThreshFuncs[threshId](pEntry, userCtx))
        return FALSE;
    MOS_TRACE(MOS_COMP_MOS_UT, MOS_FREQ_HIGH, "%s passed the threshold", entryNamesTable[entryId]);
    const UINT32 actionId = pEntry->actionFuncId;
    const UINT64 value = (actionId != MOS_UT_ACTION_FUNC__None && actionId < MOS_UT_ACTION_FUNC__LAST)
                             ? mosUt_ActionFuncs[actionId](pEntry, userCtx)
                             : 0;
    *pResult = value;
    return pEntry->bReturnFromHook;
}

// ---- Debug object queries and the layer: nothing to report while hooks are off. ----

void mosUt_SdbgEntryQueryFunc(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    MOS_UNUSED(pObj);
    MOS_UNUSED(pName);
    MOS_UNUSED(pData);
}

void mosUt_SdbgActionQueryFunc(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    MOS_UNUSED(pObj);
    MOS_UNUSED(pName);
    MOS_UNUSED(pData);
}

void mosUt_SdbgThreshQueryFunc(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    MOS_UNUSED(pObj);
    MOS_UNUSED(pName);
    MOS_UNUSED(pData);
}

void mosUt_SdbgBackdoorFunc(MosObj *pObj, UINT32 backdoorOp, UINT32 argCount, PSdbgConfStr argVec)
{
    MOS_UNUSED(pObj);
    MOS_UNUSED(backdoorOp);
    MOS_UNUSED(argCount);
    MOS_UNUSED(argVec);
}

Mos_RC mosUt_LayerInit(void)
{
    return MOS_RC__SUCCESS;
}

void mosUt_LayerFinit(void) {}
