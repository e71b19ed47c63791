// Fault-injection hooks: named hook points in the messaging, socket, device, T10-DIF and uthread
// code where a test build can make a call fail, stall or yield a chosen value. Each point has a
// threshold function (does the hook fire for this call's context value?) and an action function
// (what it does and yields). The product is built with hooks off: every hook point expands to
// nothing and configuration is accepted but not stored.
#pragma once

#include "mos/mos_obj_entry.h"
#include "mos/mos_rc.h"
#include "mos/mos_types.h"

#ifndef MOS_UT_HOOKS_ENABLED
#define MOS_UT_HOOKS_ENABLED 0
#endif

#define MOS_UT__MAX_NAME_LEN 64

enum MosUTEntrieID : UINT32 {
    MOS_UT_ENTRY__ChooseSendPath = 0,
    MOS_UT_ENTRY__CreateKernelSocket = 1,
    MOS_UT_ENTRY__NetPath_RcvLoop = 2,
    MOS_UT_ENTRY__PhyDevWriteIODelay = 3,
    MOS_UT_ENTRY__PhyToothMapHardenAllIODelay = 4,
    MOS_UT_ENTRY__SocketDoIo = 5,
    MOS_UT_ENTRY__T10Dif_UtHook_IohPriWr1Encrypt = 6,
    MOS_UT_ENTRY__T10Dif_UtHook_IohPriWr2Encrypt = 7,
    MOS_UT_ENTRY__T10Dif_UtHook_IohRead = 8,
    MOS_UT_ENTRY__T10Dif_UtHook_IohReadDecrypt = 9,
    MOS_UT_ENTRY__T10Dif_UtHook_IohSecWriteEncrypt = 10,
    MOS_UT_ENTRY__T10Dif_UtHook_PhyDevDecrypt = 11,
    MOS_UT_ENTRY__T10Dif_UtHook_PhyDevRead = 12,
    MOS_UT_ENTRY__T10Dif_UtHook_PhyDevWrite = 13,
    MOS_UT_ENTRY__T10Dif_UtHook_RCacheDecrypt = 14,
    MOS_UT_ENTRY__T10Dif_UtHook_TestAndSetCmp = 15,
    MOS_UT_ENTRY__osNet_Recv = 16,
    MOS_UT_ENTRY__osNet_RecvV = 17,
    MOS_UT_ENTRY__osNet_Send = 18,
    MOS_UT_ENTRY__osNet_SendV = 19,
    MOS_UT_ENTRY__suspendUThread = 20,
    MOS_UT_ENTRY__LAST = 21,
};

enum MosUtThreshFuncType : UINT32 {
    MOS_UT_THRESH_FUNC__None = 0,
    MOS_UT_THRESH_FUNC__Always = 1,
    MOS_UT_THRESH_FUNC__EqualsTo = 2,
    MOS_UT_THRESH_FUNC__BiggerThan = 3,
    MOS_UT_THRESH_FUNC__SmallerThan = 4,
    MOS_UT_THRESH_FUNC__DifferentThan = 5,
    MOS_UT_THRESH_FUNC__RandOneOf = 6,
    MOS_UT_THRESH_FUNC__IsEven = 7,
    MOS_UT_THRESH_FUNC__IsOdd = 8,
    MOS_UT_THRESH_FUNC__CountTimes = 9,
    MOS_UT_THRESH_FUNC__LAST = 10,
};

enum MosUtActionFuncType : UINT32 {
    MOS_UT_ACTION_FUNC__None = 0,
    MOS_UT_ACTION_FUNC__ReturnConstant = 1,
    MOS_UT_ACTION_FUNC__ReturnUserCtx = 2,
    MOS_UT_ACTION_FUNC__ReturnRandLimited = 3,
    MOS_UT_ACTION_FUNC__SpinInPlace = 4,
    MOS_UT_ACTION_FUNC__DelayThread = 5,
    MOS_UT_ACTION_FUNC__LAST = 6,
};

struct MosUTHookEntry {
    UINT32 threshFuncId; // MosUtThreshFuncType; 0 = hook off
    UINT64 threshFuncParam;
    UINT32 actionFuncId; // MosUtActionFuncType
    UINT64 actionFuncParam;
    BOOL bReturnFromHook;
};
typedef MosUTHookEntry *PMosUTHookEntry;

struct MosUTConfEntry {
    CHAR_A entryName[MOS_UT__MAX_NAME_LEN];
    CHAR_A threshFuncName[MOS_UT__MAX_NAME_LEN];
    UINT64 threshFuncParam;
    CHAR_A actionFuncName[MOS_UT__MAX_NAME_LEN];
    UINT64 actionFuncParam;
    BOOL bReturnFromHook;
};

typedef BOOL (*PMosUtThreshFunc)(PMosUTHookEntry pEntry, UINT64 userCtx);
typedef UINT64 (*PMosUtActionFunc)(PMosUTHookEntry pEntry, UINT64 userCtx);

// Name tables; the entry at each table's LAST index is "INVALID".
extern const CHAR_A *const entryNamesTable[MOS_UT_ENTRY__LAST + 1];
extern const CHAR_A *const threshFuncNamesTable[MOS_UT_THRESH_FUNC__LAST + 1];
extern const CHAR_A *const actionFuncNamesTable[MOS_UT_ACTION_FUNC__LAST + 1];
// Function tables, indexed by id; index 0 ("None") is null.
extern const PMosUtThreshFunc mosUt_ThreshFuncs[MOS_UT_THRESH_FUNC__LAST];
extern const PMosUtActionFunc mosUt_ActionFuncs[MOS_UT_ACTION_FUNC__LAST];

extern MosUTHookEntry MOS_UT__HOOKS_TABLE[MOS_UT_ENTRY__LAST];

BOOL mosUtThresh_Always(PMosUTHookEntry pEntry, UINT64 userCtx);
BOOL mosUtThresh_EqualsTo(PMosUTHookEntry pEntry, UINT64 userCtx);
BOOL mosUtThresh_BiggerThan(PMosUTHookEntry pEntry, UINT64 userCtx);
BOOL mosUtThresh_SmallerThan(PMosUTHookEntry pEntry, UINT64 userCtx);
BOOL mosUtThresh_DifferentThan(PMosUTHookEntry pEntry, UINT64 userCtx);
BOOL mosUtThresh_RandOneOf(PMosUTHookEntry pEntry, UINT64 userCtx);
BOOL mosUtThresh_IsEven(PMosUTHookEntry pEntry, UINT64 userCtx);
BOOL mosUtThresh_IsOdd(PMosUTHookEntry pEntry, UINT64 userCtx);
// Fires the next threshFuncParam times, then never. Not locked: concurrent callers may fire
// once more or fewer.
BOOL mosUtThresh_CountTimes(PMosUTHookEntry pEntry, UINT64 userCtx);

UINT64 mosUtAction_ReturnConstant(PMosUTHookEntry pEntry, UINT64 userCtx);
UINT64 mosUtAction_ReturnUserCtx(PMosUTHookEntry pEntry, UINT64 userCtx);
UINT64 mosUtAction_ReturnRandLimited(PMosUTHookEntry pEntry, UINT64 userCtx);
UINT64 mosUtAction_SpinInPlace(PMosUTHookEntry pEntry, UINT64 userCtx);
UINT64 mosUtAction_DelayThread(PMosUTHookEntry pEntry, UINT64 userCtx);

UINT32 mosUt_GetEntryIdFromName(const CHAR_A *pName);
UINT32 mosUt_GetThreshFuncIdFromName(const CHAR_A *pName);
UINT32 mosUt_GetActionFuncIdFromName(const CHAR_A *pName);

Mos_RC mosUt_ConfigureEntry(UINT32 entryId, UINT32 threshFunc, UINT64 threshVal, UINT32 actionFunc, UINT64 actionVal,
                            BOOL bReturnFromHook);
Mos_RC mosUt_DigestConfArray(const MosUTConfEntry *pEntries, UINT32 numOfEntries);

void mosUt_SdbgEntryQueryFunc(MosObj *pObj, const CHAR_A *pName, void *pData);
void mosUt_SdbgActionQueryFunc(MosObj *pObj, const CHAR_A *pName, void *pData);
void mosUt_SdbgThreshQueryFunc(MosObj *pObj, const CHAR_A *pName, void *pData);
void mosUt_SdbgBackdoorFunc(MosObj *pObj, UINT32 backdoorOp, UINT32 argCount, PSdbgConfStr argVec);

Mos_RC mosUt_LayerInit(void);
void mosUt_LayerFinit(void);

// Runs the hook of entryId for this context value: when its threshold fires, traces and runs
// the action. TRUE when the hooked function is to return *pResult at once.
BOOL mosUt_HookFire(UINT32 entryId, UINT64 userCtx, UINT64 *pResult);

// Hook points. With hooks off they are empty statements and do not evaluate their arguments.
#if MOS_UT_HOOKS_ENABLED
// Runs the hook and goes on whatever it yields.
#define MOS_UT_HOOK(entryId, userCtx)                                                                      \
    do {                                                                                                   \
        UINT64 mosUtResult_;                                                                               \
        (void)mosUt_HookFire((entryId), (UINT64)(userCtx), &mosUtResult_);                                 \
    } while (0)
// Returns the action's value, converted to RetType, when the hook says so.
#define MOS_UT_HOOK_RETURN(entryId, userCtx, RetType)                                                      \
    do {                                                                                                   \
        UINT64 mosUtResult_;                                                                               \
        if (mosUt_HookFire((entryId), (UINT64)(userCtx), &mosUtResult_))                                   \
            return (RetType)mosUtResult_;                                                                  \
    } while (0)
// For functions without a result.
#define MOS_UT_HOOK_RETURN_VOID(entryId, userCtx)                                                          \
    do {                                                                                                   \
        UINT64 mosUtResult_;                                                                               \
        if (mosUt_HookFire((entryId), (UINT64)(userCtx), &mosUtResult_))                                   \
            return;                                                                                        \
    } while (0)
#else
// sizeof names the arguments (so they count as used) without evaluating them.
#define MOS_UT_HOOK(entryId, userCtx)                                                                      \
    do {                                                                                                   \
        (void)sizeof(entryId);                                                                             \
        (void)sizeof((UINT64)(userCtx));                                                                   \
    } while (0)
#define MOS_UT_HOOK_RETURN(entryId, userCtx, RetType) MOS_UT_HOOK(entryId, userCtx)
#define MOS_UT_HOOK_RETURN_VOID(entryId, userCtx) MOS_UT_HOOK(entryId, userCtx)
#endif
