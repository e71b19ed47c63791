// The records of the Ostrel's comb role and migration commands, as they follow the payload's
// 8-byte TgtId: packed little-endian, every size and offset pinned. The migration records and the
// set-state answer belong to the mirroring part, which reads them as they are.
#pragma once

#include <cstddef>

#include "tgt/raid/raid_comb.h"

#pragma pack(push, 1)

// SET_COMB_STATE (2011).
struct OstrelTgtReq_SetCombState {
    UINT64 combId;
    UINT32 newState;     // CombState: PRIMARY or SECONDARY
    UINT32 curState;     // CombState the Ostrel believes the comb has
    UINT32 newRaidState; // CombRAIDState of the partnership named by raidType
    UINT32 curRaidState; // mask of states the Ostrel believes that partnership is in
    UINT64 primaryTgtGenNum;
    UINT16 ostrelTgtConnectionGenNum;
    UINT16 tgtCombCmdGenNum;
    UINT32 raidType; // RaidProtType: NONE, SECONDARY or MAINTENANCE
};

// GET_DIRTY_INFO (2022): the head, then numCombs CombIds.
struct OstrelTgtReq_GetDirtyInfo {
    UINT64 destTgtID;
    UINT16 destOstrelTgtConnectionGenNum;
    UINT32 numCombs;
    UINT16 ostrelTgtConnectionGenNum;
};

struct OstrelTgtRsp_CombDirtyInfo {
    UINT64 combId;
    UINT32 dirtyCapacityLBs;
    UINT32 dirtyIOs;
};

// The answer's head, then numCombs entries of combInfoStructSize bytes.
struct OstrelTgtRsp_GetDirtyInfo {
    UINT64 destTgtID;
    UINT16 destOstrelTgtConnectionGenNum;
    UINT64 numCombs;
    UINT64 combInfoStructSize;
};

#pragma pack(pop)

static_assert(sizeof(OstrelTgtReq_SetCombState) == 40);
static_assert(offsetof(OstrelTgtReq_SetCombState, newState) == 8);
static_assert(offsetof(OstrelTgtReq_SetCombState, curState) == 12);
static_assert(offsetof(OstrelTgtReq_SetCombState, newRaidState) == 16);
static_assert(offsetof(OstrelTgtReq_SetCombState, curRaidState) == 20);
static_assert(offsetof(OstrelTgtReq_SetCombState, primaryTgtGenNum) == 24);
static_assert(offsetof(OstrelTgtReq_SetCombState, ostrelTgtConnectionGenNum) == 32);
static_assert(offsetof(OstrelTgtReq_SetCombState, tgtCombCmdGenNum) == 34);
static_assert(offsetof(OstrelTgtReq_SetCombState, raidType) == 36);
static_assert(sizeof(OstrelTgtReq_GetDirtyInfo) == 16);
static_assert(offsetof(OstrelTgtReq_GetDirtyInfo, numCombs) == 10);
static_assert(offsetof(OstrelTgtReq_GetDirtyInfo, ostrelTgtConnectionGenNum) == 14);
static_assert(sizeof(OstrelTgtRsp_CombDirtyInfo) == 16);
static_assert(offsetof(OstrelTgtRsp_CombDirtyInfo, dirtyCapacityLBs) == 8);
static_assert(offsetof(OstrelTgtRsp_CombDirtyInfo, dirtyIOs) == 12);
static_assert(sizeof(OstrelTgtRsp_GetDirtyInfo) == 26);
static_assert(offsetof(OstrelTgtRsp_GetDirtyInfo, numCombs) == 10);
static_assert(offsetof(OstrelTgtRsp_GetDirtyInfo, combInfoStructSize) == 18);
// The migration records travel as the mirroring part defines them; their places in the record are
// what the command table's generation offsets point at.
static_assert(offsetof(OstrelTgtReq_StartMigrate, ostrelTgtConnectionGenNum) == 28);
static_assert(offsetof(OstrelTgtReq_AbortMigrate, ostrelTgtConnectionGenNum) == 16);
static_assert(offsetof(OstrelTgtReq_EndMigrate, ostrelTgtConnectionGenNum) == 32);
