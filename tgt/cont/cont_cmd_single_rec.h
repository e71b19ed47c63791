// The records of the Ostrel's commands on single objects and plain id lists (no reconfiguration
// sweep), as they follow the payload's 8-byte TgtId: packed little-endian, every size and offset
// pinned. Element arrays follow their head at the head's size; the command door has checked their
// count against the record's length. Every one of these commands answers with its code alone.
#pragma once

#include <cstddef>

#include "mos/mos_types.h"
#include "tgt/vtree/vtree.h"

#pragma pack(push, 1)

struct OstrelTgtReq_RemDev {
    UINT64 devId;
    UINT16 ostrelTgtConnectionGenNum;
};

struct OstrelTgtReq_RemTgt {
    UINT64 tgtId;
    UINT16 ostrelTgtConnectionGenNum;
};

struct OstrelTgtReq_RemVol {
    UINT64 volId;
    UINT16 ostrelTgtConnectionGenNum;
};

struct OstrelTgtReq_RemComb {
    UINT64 combId;
    UINT16 ostrelTgtConnectionGenNum;
};

// Followed by numOfVTrees VTreeIds; the list may be empty.
struct OstrelTgtReq_RemVtrees {
    UINT32 numOfVTrees;
    UINT16 ostrelTgtConnectionGenNum;
};

// Followed by numOfVols OstrelTgtReq_UpdateVol, then numOfVols BOOL bUseCache in the same order.
struct OstrelTgtReq_UpdateVolArr {
    UINT32 numOfVols;
    UINT32 updateVolStructSize; // not trusted, not used: the stride is the element's size
    UINT16 ostrelTgtConnectionGenNum;
};

struct OstrelTgtReq_UpdateVol {
    UINT64 volId;
    UINT64 volGenNum;
    UINT64 scsiGenNum;
    UINT64 vtreeId;
    UINT32 vtoId;
    UINT64 reserverKey;
    UINT32 bTeachAboutScsiGen;
};

// Followed by numOfNodes OstrelTgtReq_VtreeNode (tgt/vtree/vtree.h).
struct OstrelTgtReq_UpdateVtree {
    UINT32 numOfNodes;
    UINT32 vtreeStructSize; // not trusted, not used
    UINT32 bReconfigInProgress;
    UINT16 ostrelTgtConnectionGenNum;
};

#pragma pack(pop)

static_assert(sizeof(OstrelTgtReq_RemDev) == 10 && offsetof(OstrelTgtReq_RemDev, ostrelTgtConnectionGenNum) == 8);
static_assert(sizeof(OstrelTgtReq_RemTgt) == 10 && offsetof(OstrelTgtReq_RemTgt, ostrelTgtConnectionGenNum) == 8);
static_assert(sizeof(OstrelTgtReq_RemVol) == 10 && offsetof(OstrelTgtReq_RemVol, ostrelTgtConnectionGenNum) == 8);
static_assert(sizeof(OstrelTgtReq_RemComb) == 10 && offsetof(OstrelTgtReq_RemComb, ostrelTgtConnectionGenNum) == 8);
static_assert(sizeof(OstrelTgtReq_RemVtrees) == 6 && offsetof(OstrelTgtReq_RemVtrees, ostrelTgtConnectionGenNum) == 4);
static_assert(sizeof(OstrelTgtReq_UpdateVolArr) == 10 &&
              offsetof(OstrelTgtReq_UpdateVolArr, ostrelTgtConnectionGenNum) == 8);
static_assert(sizeof(OstrelTgtReq_UpdateVol) == 48);
static_assert(offsetof(OstrelTgtReq_UpdateVol, vtreeId) == 24 && offsetof(OstrelTgtReq_UpdateVol, vtoId) == 32 &&
              offsetof(OstrelTgtReq_UpdateVol, reserverKey) == 36 &&
              offsetof(OstrelTgtReq_UpdateVol, bTeachAboutScsiGen) == 44);
static_assert(sizeof(OstrelTgtReq_UpdateVtree) == 14 &&
              offsetof(OstrelTgtReq_UpdateVtree, bReconfigInProgress) == 8 &&
              offsetof(OstrelTgtReq_UpdateVtree, ostrelTgtConnectionGenNum) == 12);
static_assert(sizeof(OstrelTgtReq_VtreeNode) == 32);
