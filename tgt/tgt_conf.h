// The storage server's process-wide settings: the configuration record filled from the
// configuration file before any server thread exists, the performance parameters that the
// Ostrel may change at run time, and the comb size. Only the members that the built layers read
// are here; each keeps its key's default, so code and tests run without a configuration file.
//
// Readers take a member at the moment they need it (no copies), since the performance record
// changes under them; the configuration record is written only before the server's threads run
// and by tests between runs.
#pragma once

#include "mos/mos_types.h"

// Default comb: 8192 teeth of 2048 LB.
#define TGT__DEFAULT_COMB_SIZE_IN_LBS 16777216u

struct TgtConfParam {
    UINT64 phyDevDirtyGranularityInLbs;    // tgt_dev__dirty_granularity_in_lbs
    UINT64 phyDevSimulatedDevSizeInGb;     // tgt_dev__sim_dev_size_in_gb
    UINT64 stmpMemorySizeInLbs;            // tgt_mem__stmp_size_in_lbs
    UINT64 zmpMemorySizeInbuffers;         // tgt_mem__zmp_size_in_buffers
    UINT64 guardPageEnableMask;            // tgt_mem__guard_page_enable_mask
    UINT64 bmWriteSizeInLbs;               // tgt_bm__write_size_in_lbs
    BOOL bSdbgExtraInfo;                   // tgt_sdbg__extra
    BOOL bDit;                             // tgt_dit__enabled
    BOOL bDitExtra;                        // tgt_dit__extra_enabled
    BOOL bDetailedDump;                    // tgt_dit__detailed_dump
    BOOL bPhyDevIoEnabled;                 // tgt_dev__io_enabled
    BOOL bPhyDevIoEnabledMd;               // tgt_dev__io_enabled_md
    UINT64 devInflightLongIosLowThreas;    // tgt_dev__long_inflight_ios_threashold
    UINT64 devInflightLongIosHighThreas;   // tgt_dev__long_inflight_ios_high_threashold
    UINT64 devLongSuccessfulIosTimeMs;     // tgt_dev__long_successful_ios_threshold_ms
    UINT64 devLongSuccessfulGapToNotify;   // tgt_dev__long_successful_gap_notify
    BOOL bTreatLongIoAsGap;                // tgt_dev__treat_long_pending_as_gap
    UINT64 devLongIoToGapThreshold;        // tgt_dev__long_pending_to_gap_threshold
    BOOL bT10DifRestartWhenVerifyFail;     // t10dif_restart_when_verify_fail
    UINT64 phyToothRemainder;              // tgt_phy__tooth_remainder
    BOOL bAllowFineDrl;                    // tgt_allow_fine_drl
    UINT64 phyDevFineDrlSizeOfMemoryMb;        // tgt_dev__fine_drl_size_of_memory_in_mb
    UINT64 phyDevDirtyFineGranularityInLbs;      // tgt_dev__dirty_fine_granularity_in_lbs
    UINT64 fineDrlToothTooDirtyThreshold;  // tgt_fine_drl_tooth_too_dirty_threshold
    UINT64 phyDevMinCapacityInLbs;            // tgt_dev__min_capacity_in_lbs
    UINT64 phyDevMaxCapacityInGbs;            // tgt_dev__max_capacity_in_gbs
    BOOL bPhyDevFixHeader;                       // tgt_dev__fix_header
    UINT64 netMaxRcvMsg;                   // tgt_net__max_rcv_msg
    BOOL bRamcacheCoreDumpExclude;         // tgt_ramcache__core_dump_exclude
    BOOL bRamcacheLockInMem;               // tgt_ramcache_lock_in_mem
    UINT64 ramcacheHashSizeMultiply;       // rcache_hash_size_multiply
    BOOL bVtreeCnt;                        // tgt_vtree_cnt__enabled
    UINT64 phyCombAllocationSize;          // tgt_phy__comb_allocation_size
    BOOL bPhyCombAllowFirstAccessFailure;  // tgt_phy_comb__allow_first_access_failure
    UINT64 rcacheHostMemoryThresholdKb;    // rcache_host_memory_threshold
    UINT64 rcacheAllowedHighMemoryPct;     // rcache_allowed_high_memory_percentage
    UINT64 rcacheAllowedLowMemoryPct;      // rcache_allowed_low_memory_percentage
};

struct TgtPerfParam {
    UINT32 maxReqPerAsyncFile; // in-flight limit of one device file
    UINT8 numIoBuffs;          // multiplier of the data-path buffer pools
};

extern TgtConfParam tgtInitParam_G;
extern TgtPerfParam tgtPerfInitParam_G;

// Set once by the Ostrel's add-manager command; stored in every device header.
extern UINT32 combSizeInLbs_g;
extern UINT32 teethInComb_g;

// Puts every member back to its default (tests start from a known state with it).
void tgtConf_SetDefaults(void);
