// Internals of the command module: the handlers the command table names, split by concern over
// cont_cmd.cpp (the door and the table), cont_cmd_ostrel.cpp (add-manager, clean-up),
// cont_cmd_reconf.cpp (the reconfiguration cycle and the group commands) and cont_cmd_perf.cpp
// (performance parameters and throttling).
#pragma once

#include <cstring>
#include <functional>
#include <span>

#include "mos/mos_assert.h"
#include "tgt/cont/cont_cmd.h"
#include "tgt/cont/cont_cmd_rec.h"
#include "tgt/cont/cont_cmd_comb_state_rec.h"
#include "tgt/cont/cont_cmd_single_rec.h"

// A value of the record at off; the length rule has made sure it is there.
template <class T> T contCmd_RecAt(const ContCmdCtx *pCtx, UINT64 off)
{
    MOS_ASSERT(off + sizeof(T) <= pCtx->recLen);
    T v;
    memcpy(&v, pCtx->pRec + off, sizeof(T));
    return v;
}

// Runs fn(0) to fn(n - 1), each on a user-mode thread of the class (a TgtUmtClassType), and returns
// when all have ended. A thread that cannot be started stops the process.
void contCmd_RunOnWorkers(UINT32 n, UINT32 classType, const std::function<void(UINT32)> &fn);

// Appends a heap copy of the answer record to the response.
void contCmd_AppendAnswer(NetRpcData *pRes, const void *pAnswer, UINT32 len);

// One group command as the reconfiguration cycle runs it: the elements (count of them, each
// stride bytes apart from pElems; pTail: the volume's bUseCache array, else null).
struct ContCmdGroup {
    UINT32 count;
    BOOL bReconfigInProgress;
    const UINT8 *pElems;
    const UINT8 *pTail;
};

// The handlers of the table.
Mos_RC contCmd_GetVerCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_GetTgtPropCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_QuiescedVolumesCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_UnquiescedVolumesCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_StartQuiesceCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_StopQuiesceCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_QueryIsQuietAndFlushedCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_ConfigSecurityCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_GenerateCsrCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_UpdateCertificateCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_SetNetCopyLimitCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_QueryDevMetadataCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_QueryDevAdvanceMetadataCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_UpdateDrlInfoCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_UpdateDevSnapCapGroupCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_UpdateDevScanConfCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_UpdateDevRamcacheUseCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_UpdateDevRamcacheWriteModeCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_UpdateDevChecksumCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_SetRebuildRebalanceDestLimitsCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_UpdateCacheFreezeCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_UpdateCacheEnableCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_PurgeCacheCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_UpdateCacheSizeCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_GetTgtDevLatencyBwcCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_GetTgtNetBwcCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_NetTestCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_GetNetTestCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_DiskTestCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_GetDiskTestCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_GetTgtDevIoBwcCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_GetDevLatencyBwcCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_GetVteeDelGenCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_GetTgtDevCapacityCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_GetVteeUsageCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_GetTgtConStateCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_DiskTestSyncCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_GetCountersCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_UpdateOscCountersCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_GetOscCountersCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_SelfTestCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_GetCombStatsCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_AddOstrelCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_CleanUpCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_ReconfStartCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_ReconfDoneCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_AddTgtGroupCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_AddVolGroupCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_AddVtreeGroupCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_AddHeadGroupCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_AddDevGroupCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_AddCombGroupCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_UpdatePerfParamsCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_UpdateThrottleConfCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_DeprecatedDestLimitsCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_DumpCacheCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_QueryAllVtreesSizeCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_FlcacheSetConfCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_FlcacheDevUseUpdateCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_FlcacheQueryCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_ResetDiagCountersCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_ConfigureTraceFreqsCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_QueryDiagCountersCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_QueryDiagCountersExtCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_ChallengeResponseCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_SetCombStateCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_StartMigrateCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_AbortMigrateCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_EndMigrateCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_GetDirtyInfoCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_RemDevCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_RemTgtCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_RemVolCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_RemCombCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_RemVtreesCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_UpdateVolCmd(ContCmdCtx *pCtx);
Mos_RC contCmd_UpdateVtreeCmd(ContCmdCtx *pCtx);

// The cycle's steps, also run by clean-up under its own write lock.
Mos_RC contCmd_ReconfStart(Cont *pCont);
Mos_RC contCmd_ReconfDone(Cont *pCont);
Mos_RC contCmd_AddTgtGroup(Cont *pCont, const ContCmdGroup *pGroup);
Mos_RC contCmd_AddVolGroup(Cont *pCont, const ContCmdGroup *pGroup);
Mos_RC contCmd_AddVtreeGroup(Cont *pCont, const ContCmdGroup *pGroup);
Mos_RC contCmd_AddHeadGroup(Cont *pCont, const ContCmdGroup *pGroup);
Mos_RC contCmd_AddCombGroup(Cont *pCont, const ContCmdGroup *pGroup, BOOL bForceReconfig);
// How many workers a cycle's comb group of numOfCombs would use with umtOsThrds OS threads: one
// unless the list is long enough for several to pay (9 combs on 4 threads: 1; 10: 3).
UINT32 contCmd_CombWorkers(UINT32 numOfCombs, UINT32 umtOsThrds);
// The device group on its head and its elements (pRes, when given, receives the answer): inside a
// cycle every device is marked first; MOS_RC__NOT_READY with an empty answer while a long in-flight
// I/O runs, MOS_RC__INVALID for more than 64 devices, else 65 with each device's code in its entry.
Mos_RC contCmd_AddDevGroup(Cont *pCont, const OstrelTgtReq_AddDevArr *pHead, const UINT8 *pElems, NetRpcData *pRes);
// Removes the devices still marked at the end of a cycle: 65, or MOS_RC__ERROR when the physical
// layer kept one (it stays registered and is reported).
Mos_RC contCmd_RemMarkedDevs(Cont *pCont);
// Empties every object set through one cycle with empty lists: 65, MOS_RC__ERROR when a device
// could not be removed (reported, kept), or the harden's code when a comb array did not reach the
// disk (retried by the watchdog). Behind a long in-flight I/O it ends the server by the planned
// crash; MOS_RC__NOT_READY only where a test's hook let the crash return.
Mos_RC contCmd_CleanUp(Cont *pCont);

// Per-object adds (65 added, 7 known and updated, or the failure) and removals.
Mos_RC contCmd_AddTgt(Cont *pCont, const OstrelTgtReq_AddTgt *pElem);
Mos_RC contCmd_RemTgtIntern(Cont *pCont, UINT64 tgtId, BOOL bRollback);
// bSuppressTrace: a long list traces none of its trees.
Mos_RC contCmd_AddVtree(Cont *pCont, const OstrelTgtReq_AddVtree *pElem, BOOL bSuppressTrace = FALSE);
Mos_RC contCmd_RemVtreeIntern(Cont *pCont, UINT64 vtreeId, BOOL bRollback);
Mos_RC contCmd_AddVol(Cont *pCont, const OstrelTgtReq_AddVol *pElem, BOOL bUseCache);
Mos_RC contCmd_RemVolIntern(Cont *pCont, UINT64 volId, BOOL bRollback);
Mos_RC contCmd_AddHead(Cont *pCont, const OstrelTgtReq_UpdateMultiHead *pElem);
Mos_RC contCmd_RemHeadIntern(Cont *pCont, UINT64 headId, BOOL bRollback);
Mos_RC contCmd_AddExm(Cont *pCont, UINT64 objId, UINT32 data);
Mos_RC contCmd_RemExmIntern(Cont *pCont, UINT64 objId, BOOL bRollback);
// The removal of one example object outside any rollback (65 or MOS_RC__NOT_FOUND).
Mos_RC contCmd_RemExp(Cont *pCont, UINT64 objId);

// The set-state step of SET_COMB_STATE and of the add-comb element: 3 unknown comb, 65 applied or
// only a repeat (no answer record), 58 a change asked of a read-only add, MOS_RC__INVALID an
// older primary generation or a refusal while the comb has no role; any other refusal of the
// mirroring part (60, 30, 32, 7) appends its 22-byte answer to pRes when one is given. Only an
// applied command moves the comb's I/O generation.
Mos_RC contCmd_SetCombStateIntern(Cont *pCont, const RaidComb_SetStateReq *pCombState, NetRpcData *pRes);
// SET_COMB_STATE from its record (bForce: accept any command generation and Ostrel view).
Mos_RC contCmd_SetCombState(Cont *pCont, const OstrelTgtReq_SetCombState *pCombState, NetRpcData *pRes, BOOL bForce,
                            BOOL bPrintTrace);
// The migration commands: 3 for an unknown comb, else the mirroring part's code.
Mos_RC contCmd_StartMigration(Cont *pCont, const OstrelTgtReq_StartMigrate *pMigCmd);
Mos_RC contCmd_AbortMigration(Cont *pCont, const OstrelTgtReq_AbortMigrate *pMigCmd);
Mos_RC contCmd_EndMigration(Cont *pCont, const OstrelTgtReq_EndMigrate *pMigCmd);
// One comb's dirty ranges and LBs into *pDirtyInfo: 65, or 3 for an unknown comb (entry untouched).
Mos_RC contCmd_GetDirtyInfo(Cont *pCont, CombId combId, OstrelTgtRsp_CombDirtyInfo *pDirtyInfo);
// GET_DIRTY_INFO over the head's numCombs ids at pCombIds (unaligned): unknown combs are left
// out, the others answered in request order; always 65.
Mos_RC contCmd_GetDirtyCapacityGroup(Cont *pCont, const OstrelTgtReq_GetDirtyInfo *pGetDirtyInfoCmdArr,
                                     const UINT8 *pCombIds, NetRpcData *pRes);

// The per-object operations' lines "<label> <id> - Start|Done rc = <code>": the start at medium
// level, the done line at high level for 65 and at medium level for anything else; the done line
// answers rc.
void contCmd_TraceObjStart(const char *pLabel, UINT64 id);
Mos_RC contCmd_TraceObjDone(const char *pLabel, UINT64 id, Mos_RC rc);

// Every text field the Ostrel sends (device paths, host names) must end within its field: 65, or
// MOS_RC__INVALID_DEVICE_PATH with a trace line naming what and whose (id) it is.
Mos_RC contCmd_CheckTextField(std::span<const CHAR_A> field, const char *pWhat, UINT64 id);

// The single-object commands' operations (cont_cmd_single.cpp). The removals answer 65 or
// MOS_RC__NOT_FOUND (a device also MOS_RC__ERROR when the physical layer keeps it).
Mos_RC contCmd_RemDev(Cont *pCont, UINT64 devId);
Mos_RC contCmd_RemTgt(Cont *pCont, UINT64 tgtId);
Mos_RC contCmd_RemVol(Cont *pCont, UINT64 volId);
Mos_RC contCmd_RemComb(Cont *pCont, UINT64 combId);
// ids: the packed VTreeIds; each is removed if it is there; always 65.
Mos_RC contCmd_RemVtreeGroup(Cont *pCont, std::span<const UINT8> ids);
// 65, MOS_RC__NOT_FOUND, or the volume's refusal of the values (MOS_RC__INVALID_ARG).
Mos_RC contCmd_UpdateVol(Cont *pCont, const OstrelTgtReq_UpdateVol *pElem, BOOL bUseCache);
// Every element (pTail: their bUseCache flags); 65 or the last failing element's code.
Mos_RC contCmd_UpdateVolGroup(Cont *pCont, const ContCmdGroup *pGroup);
// pNodes: numOfNodes packed nodes; 65, or MOS_RC__INVALID_ARG when a run was refused.
Mos_RC contCmd_UpdateVtree(Cont *pCont, UINT32 numOfNodes, const UINT8 *pNodes);

// The version rule of add-manager: equal major, minor and build/10,000, or a newer sender.
BOOL contCmd_IsVersionAccepted(UINT32 senderVersion, UINT32 ownVersion);
// Whether the server's generation is newer than the record's (16-bit serial order); a server
// generation of 0 (none yet) is never newer.
BOOL contCmd_IsGenStale(UINT16 serverGen, UINT16 recordGen);
// The ranges of the performance parameters and their relations (not the runtime's thread count).
BOOL contCmd_ArePerfParamsInRange(const Tgt_PerformanceParamsV200 *pParams);
// The throttling rules for rebuild and for rebalance.
BOOL contCmd_ValidateThrottlingInfo(const OstrelTgtThrottlingInfo *pInfo);
// The wire's throttling record as the physical device takes it.
PhyDevThrottlingInfo contCmd_PhyThrottling(const OstrelTgtThrottlingInfo &t);
// The socket buffer size to set for a changed request: 0 becomes 128, below 64 becomes 64.
UINT32 contCmd_FixSocketBufferKb(UINT32 requestedKb);

// The command table's handler of 2229 (the installation agent's link's own): the record, then
// contCmd_UpdateLedStatus on the controller's link.
Mos_RC contCmd_UpdateLedStatusCmd(ContCmdCtx *pCtx);
