// Units, identifiers and the on-disk layout of a device.
//
// Every device (a block device or a preallocated file) carries one layout, in LB of 512 bytes:
// a 64-LB unused lead, the 128-byte header at LB 64, the counters block at LB 66, a write-test
// block at LB 80, the comb array at LB 96 (to 4 MB), the tooth map at LB 8192 (to 200 MB), the
// active and the rebuild dirty-region logs from LB 409600, then the data teeth from the next
// 1 GB boundary, and a 128-LB pad at the end. The fixed offsets and the derived values are all
// kept in the header's PhyDevOffsets, so a device formatted with other settings (bitmap write
// unit) reopens with the layout it was given.
//
// The header and the counters block are packed little-endian records. A header read from a
// device is not trusted: it is decoded through a bounds-checked view, and its signature,
// version, owner and layout are checked before anything is derived from it.
#pragma once

#include <span>

#include "mos/mos_rc.h"
#include "mos/mos_types.h"

// Units.
#define LB_SIZE_IN_BYTES 512u
#define TOOTH_SIZE_LB 2048u
#define TEETH_IN_COMB 8192u
#define MB_IN_LBS 2048ull
#define GB_IN_LBS 2097152ull
#define NUM_MULTIHEAD_ROWS 1024u
#define VOL_ALLOC_BLOCKS_IN_HEAD 1024u

// Identifiers.
typedef UINT64 CombId;
typedef UINT64 CombTId;
typedef UINT32 HeadId;
typedef UINT32 VtoId;
typedef UINT64 VTreeId;
typedef UINT64 TgtId;
typedef UINT64 TgtDevId;
typedef UINT32 PhyToothIndex;

#define COMBID_ROW_INDEX_MASK 0x3FFull
#define COMBID_HEAD_INDEX_MASK 0x7C00ull
#define COMBID_HEAD_INDEX_SHIFT 10u
#define COMBID_MULTIHEAD_ID_MASK 0x7FFFFFFF8000ull
#define COMBID_MULTIHEAD_ID_SHIFT 15u
#define COMBID_OFFSET_IN_COMB 47u
#define COMB_ID_INVALID 0ull
#define PHY_TOOTH_INDEX__INVALID 0x1FFFFFFFu
#define PHY_DEV_ADDR__INVALID 0ull
#define MAX_NUM_DEV_PER_TGT 64u
#define PHY__MAX_NUMBER_OF_DEVS 128u

static_assert((COMBID_ROW_INDEX_MASK | COMBID_HEAD_INDEX_MASK | COMBID_MULTIHEAD_ID_MASK) == (1ull << 47) - 1,
              "the three fields of a comb id fill bits 0-46");

constexpr UINT32 combId_GetRowIndex(CombId id) { return (UINT32)(id & COMBID_ROW_INDEX_MASK); }
constexpr UINT32 combId_GetHeadIndex(CombId id)
{
    return (UINT32)((id & COMBID_HEAD_INDEX_MASK) >> COMBID_HEAD_INDEX_SHIFT);
}
constexpr UINT32 combId_GetMultiHeadId(CombId id)
{
    return (UINT32)((id & COMBID_MULTIHEAD_ID_MASK) >> COMBID_MULTIHEAD_ID_SHIFT);
}
constexpr CombId combId_Make(UINT32 multiHeadId, UINT32 headIndex, UINT32 rowIndex)
{
    return (((CombId)multiHeadId << COMBID_MULTIHEAD_ID_SHIFT) & COMBID_MULTIHEAD_ID_MASK) |
           (((CombId)headIndex << COMBID_HEAD_INDEX_SHIFT) & COMBID_HEAD_INDEX_MASK) | (rowIndex & COMBID_ROW_INDEX_MASK);
}
constexpr HeadId combId_GetHeadId(CombId id) { return (HeadId)((id & ((1ull << 47) - 1)) >> COMBID_MULTIHEAD_ID_SHIFT); }
constexpr CombTId combTId_Make(CombId id, UINT32 toothInComb)
{
    return (id & ((1ull << COMBID_OFFSET_IN_COMB) - 1)) | ((CombTId)toothInComb << COMBID_OFFSET_IN_COMB);
}
constexpr CombId combTId_GetCombId(CombTId id) { return id & ((1ull << COMBID_OFFSET_IN_COMB) - 1); }
constexpr UINT32 combTId_GetTooth(CombTId id) { return (UINT32)(id >> COMBID_OFFSET_IN_COMB); }

// A device address: the device's index in the device set and an LB offset on it.
union PhyDevAddr {
    UINT64 devAddr;
    struct {
        UINT64 devId : 12;
        UINT64 devOffset : 52;
    } devAddrBits;
};
static_assert(sizeof(PhyDevAddr) == 8);

// The label of one tooth version.
#pragma pack(push, 1)
struct VtoOnDev {
    UINT32 vtoId;
    UINT32 time;
};
#pragma pack(pop)
static_assert(sizeof(VtoOnDev) == 8);

// Fixed areas (LB).
#define PHY_DEV__HEADER_OFFSET 64u
#define PHY_DEV__HEADER_SIZE 2u
#define PHY_DEV__COUNTERS_OFFSET 66u
#define PHY_DEV__COUNTERS_SIZE 14u
#define PHY_DEV__EMPTY_OFFSET 80u
#define PHY_DEV__EMPTY_SIZE 16u
#define PHY_DEV__EMPTY_SIZE_CHECKED_LBS 1u
#define PHY_DEV__COMBS_MAP_OFFSET 96u
#define PHY_DEV__COMBS_MAP_SIZE 8096u
#define PHY_DEV__TEETH_MAP_OFFSET 8192u
#define PHY_DEV__TEETH_MAP_SIZE 401408u
#define PHY_DEV__BM_OFFSET 409600u
#define PHY_DEV__START_USER_DATA 2097152u
#define PHY_DEV__PAD_AT_THE_END 128u
// Comb-array slots: 8 bytes each, filling the comb array exactly.
#define PHY_DEV__MIN_NUM_OF_COMBS 5120u
#define PHY_DEV__MAX_NUM_OF_COMBS 0x7E800u
#define PHY_DEV__COMBS_PER_COMB_SIZE 128u
#define PHY_DEV__DIRTY_GRANULARITY_IN_LBS 2048u
// One DRL bit per 1024 LB is what the area is sized for; 4096 bits fill one LB.
#define PHY_DEV__DRL_SIZING_LBS_PER_BIT 1024u
#define PHY_DEV__BITS_IN_LB 4096u

static_assert(PHY_DEV__COMBS_MAP_OFFSET + PHY_DEV__COMBS_MAP_SIZE == PHY_DEV__TEETH_MAP_OFFSET);
static_assert(PHY_DEV__TEETH_MAP_OFFSET + PHY_DEV__TEETH_MAP_SIZE == PHY_DEV__BM_OFFSET);
static_assert((UINT64)PHY_DEV__MAX_NUM_OF_COMBS * 8 == (UINT64)PHY_DEV__COMBS_MAP_SIZE * LB_SIZE_IN_BYTES);

#define PHY_DEV__SIGNATURE 0x1357924680ACDFEBull
#define PHY_DEV__STRUCT_VERSION 5ull

#define PHY_DEV_HDR_FLAG__MEM_DRL 0x1u
#define PHY_DEV_HDR_FLAG__MD_ZEROED 0x2u

enum DevType : UINT32 {
    DEV_TYPE__NONE = 0,
    DEV_TYPE__FLCACHE_FLASH = 1,
    DEV_TYPE__DATA_SPINDLE = 2,
    DEV_TYPE__DATA_FLASH = 3,
};

#pragma pack(push, 1)
struct PhyDevOffsets {
    UINT64 combsMapOffset;
    UINT64 teethMapOffset;
    UINT64 activeBmOffset;
    UINT64 rebuildBmOffset;
    UINT64 freeSpaceOffset;
    UINT64 teethOffset;
    UINT64 devSizeInLbs;
    UINT64 maxNumOfCombs;
    UINT64 numOfTeeth;
    UINT32 dirtyGranularity;
};

struct PhyDevHeader {
    UINT64 sigStart;
    UINT64 devVersion;
    UINT64 tgtId;
    UINT64 devId;
    PhyDevOffsets devOffsets;
    UINT32 combSizeInLbs;
    UINT64 sigEnd;
    UINT32 flags;
    UINT32 type; // DevType
};

// LB 66; the rest of the LB is zero.
struct PhyDevCounters {
    UINT32 scanCompareErrors;
    UINT32 localDiskFixes;
    UINT32 MBsScanned;
};
#pragma pack(pop)

static_assert(sizeof(PhyDevOffsets) == 76);
static_assert(offsetof(PhyDevOffsets, dirtyGranularity) == 72);
static_assert(sizeof(PhyDevHeader) == 128);
static_assert(offsetof(PhyDevHeader, devVersion) == 8);
static_assert(offsetof(PhyDevHeader, tgtId) == 16);
static_assert(offsetof(PhyDevHeader, devId) == 24);
static_assert(offsetof(PhyDevHeader, devOffsets) == 32);
static_assert(offsetof(PhyDevHeader, devOffsets) + offsetof(PhyDevOffsets, teethOffset) == 72);
static_assert(offsetof(PhyDevHeader, devOffsets) + offsetof(PhyDevOffsets, numOfTeeth) == 96);
static_assert(offsetof(PhyDevHeader, combSizeInLbs) == 108);
static_assert(offsetof(PhyDevHeader, sigEnd) == 112);
static_assert(offsetof(PhyDevHeader, flags) == 120);
static_assert(offsetof(PhyDevHeader, type) == 124);
static_assert(sizeof(PhyDevCounters) == 12);
static_assert(offsetof(PhyDevCounters, MBsScanned) == 8);

// LB of one dirty-region log of a device of devSizeInLbs, for a bitmap write unit of
// bmWriteSizeInLbs.
UINT64 phyDev_CalcDrlSizeInLbs(UINT64 devSizeInLbs, UINT32 bmWriteSizeInLbs);
// The layout of a device of sizeInLbs (rounded down to whole teeth here). MOS_RC__DEV_SIZE_TOO_SMALL
// when no tooth fits behind the metadata. A dirty granularity below one tooth is a broken
// invariant of the configuration.
Mos_RC phyDev_CalcDevOffsets(UINT64 sizeInLbs, UINT32 bmWriteSizeInLbs, UINT32 dirtyGranularity,
                             PhyDevOffsets *pOffsets);
// Checks a layout read from a device against the rules every layout of this program obeys,
// so that no area derived from it can overlap another or pass the device's end.
// MOS_RC__TGT_ADD_DEVICE_VALIDATION_FAILED (with a trace line naming the field) otherwise.
Mos_RC phyDev_ValidateOffsets(const PhyDevOffsets *pOffsets);

void phyDev_BuildPhyDevHeader(PhyDevHeader *pHeader, TgtId tgtId, TgtDevId devId, const PhyDevOffsets *pOffsets,
                              UINT32 flags, DevType type);
// A flash-cache device's header: signatures, version, type 1, ids; everything else zero.
void phyDev_BuildFlcachePhyDevHeader(PhyDevHeader *pHeader, TgtId tgtId, TgtDevId devId);

// The header as the first 128 bytes of a buffer of at least that size (the rest is left as it is).
Mos_RC phyDevHeader_Encode(const PhyDevHeader *pHeader, std::span<UINT8> buf);
// MOS_RC__INVALID when the buffer is shorter than a header.
Mos_RC phyDevHeader_Decode(std::span<const UINT8> buf, PhyDevHeader *pHeader);
Mos_RC phyDevCounters_Encode(const PhyDevCounters *pCounters, std::span<UINT8> buf);
Mos_RC phyDevCounters_Decode(std::span<const UINT8> buf, PhyDevCounters *pCounters);

// Header validity on reopen: version, both signatures, the process's comb size, and the owner
// and device ids unless the expected one is 0. MOS_RC__SUCCESS or MOS_RC__ERROR (traced). With
// all device I/O switched off every header is valid.
Mos_RC phyDev_CheckHeader(const PhyDevHeader *pHeader, TgtId expectedTgtId, TgtDevId expectedDevId);
// The discovery check: version and both signatures only; MOS_RC__INVALID_DEVICE_HEADER_SIGNATURE.
Mos_RC phyDev_CheckHeaderSignature(const PhyDevHeader *pHeader);

// Address of comb slot combIndex on device index devIndex of a set of maxNumOfDevs devices.
PhyDevAddr phyDev_CombAddr(UINT32 devIndex, UINT64 combIndex, UINT64 teethOffset, UINT32 maxNumOfDevs);
