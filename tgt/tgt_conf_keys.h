// The storage server's configuration keys, one row each, in table order: the one list from which
// the table that the loader reads, the defaults of tgtInitParam_G and the key count all come.
//
//   TGT_CONF_INT(key, member, min, max, multiple, default)   integer (UINT64 member)
//   TGT_CONF_BOOL(key, member, default)                      boolean (BOOL member)
//   TGT_CONF_STR(key, member, default)                       string (character array member)
//   TGT_CONF_NET_INT / TGT_CONF_NET_BOOL                     as above, for a field of the
//                                                            messaging layer's record netParam
//
// Included only by tgt_conf.h and tgt_conf.cpp, each of which defines the macros first.
// clang-format off
#define TGT_CONF_KEYS                                                                                              \
    TGT_CONF_INT("tgt_thread__keepalive", threadKeepalive, 1, 2, 0, 1)                                              \
    TGT_CONF_INT("tgt_port", port, 1024, 65535, 0, 7072)                                                            \
    TGT_CONF_INT("tgt_thread__control", threadCont, 1, 20, 0, 10)                                                   \
    TGT_CONF_INT("tgt_thread__control_second", threadContSecond, 0, 20, 0, 10)                                      \
    TGT_CONF_INT("tgt_thread__yarrin", threadYarrin, 0, 20, 0, 5)                                                   \
    TGT_CONF_INT("tgt_thread__sms", threadSms, 0, 20, 0, 5)                                                         \
    TGT_CONF_INT("tgt_dev__min_capacity_in_lbs", phyDevMinCapacityInLbs, 4194304, 0xFFFFFFFFull, 0, 188743680)      \
    TGT_CONF_INT("tgt_dev__max_capacity_in_gbs", phyDevMaxCapacityInGbs, 1024, 10240, 0, 8704)                      \
    TGT_CONF_INT("tgt_dev__dirty_granularity_in_lbs", phyDevDirtyGranularityInLbs, 2048, 2048, 2, 2048)             \
    TGT_CONF_INT("tgt_dev__dirty_fine_granularity_in_lbs", phyDevDirtyFineGranularityInLbs, 8, 8, 2, 8)             \
    TGT_CONF_INT("tgt_dev__fine_drl_size_of_memory_in_mb", phyDevFineDrlSizeOfMemoryMb, 2, 10, 2, 2)                \
    TGT_CONF_INT("tgt_dev__sim_dev_size_in_gb", phyDevSimulatedDevSizeInGb, 20, 1048576, 0, 512)                    \
    TGT_CONF_INT("tgt_keepalive__sleep_between_requests_in_sec", keepAliveSleepBtwnReqInSec, 1, 600, 0, 1)          \
    TGT_CONF_INT("tgt_con_monitor__sleep_between_msgs_in_sec", conMonitorSleepBtwnMsgsInSec, 1, 600, 0, 1)          \
    TGT_CONF_INT("tgt_mem__stmp_size_in_lbs", stmpMemorySizeInLbs, 32768, 524288, 2048, 262144)                     \
    TGT_CONF_INT("tgt_mem__zmp_size_in_buffers", zmpMemorySizeInbuffers, 1, 64, 0, 8)                               \
    TGT_CONF_INT("tgt_mem__guard_page_enable_mask", guardPageEnableMask, 0, 255, 0, 0)                              \
    TGT_CONF_INT("tgt_raid__io_size_in_lbs", raidMigrationIoSize, 2048, 2048, 2, 2048)                              \
    TGT_CONF_BOOL("tgt_raid__reset_bits_on_last_io", raidResetBitsOnLastIo, 1)                                      \
    TGT_CONF_INT("tgt_bm__write_size_in_lbs", bmWriteSizeInLbs, 4, 32, 2, 8)                                        \
    TGT_CONF_BOOL("tgt_wd__first_access_enabled", bWdFirstAccessEnabled, 1)                                         \
    TGT_CONF_BOOL("tgt_wd__freq_loop_enabled", bFreqWdEnabled, 1)                                                   \
    TGT_CONF_BOOL("tgt_wd__rare_loop_enabled", bRareWdEnabled, 1)                                                   \
    TGT_CONF_BOOL("tgt_wd__device_loop_enabled", bDeviceWdEnabled, 1)                                               \
    TGT_CONF_BOOL("tgt_wd__thread_device_loop_enabled", bThreadDeviceWdEnabled, 1)                                  \
    TGT_CONF_BOOL("tgt_wd__abort_all_wd", bAbortAllWd, 0)                                                           \
    TGT_CONF_INT("tgt_elock__lock_in_tooth", elockNumberOfLocksInTooth, 1, 256, 2, 256)                             \
    TGT_CONF_BOOL("tgt_sdbg__extra", bSdbgExtraInfo, 1)                                                             \
    TGT_CONF_NET_INT("tgt_net__send_timeout", sendTimeout, 2, 9, 0, 5)                                         \
    TGT_CONF_INT("ostrel_to_tgt_net__send_timeout", ostrelToTgtNetSendTimeout, 1000, 300000, 0, 4500)               \
    TGT_CONF_NET_BOOL("tgt_net__crash_on_send_timeout", bCrashOnSendTimeout, 1)                                \
    TGT_CONF_NET_INT("tgt_net__close_quite_socket_timeout", kaRcvcQuiteSocketTimeoutMs, 0, 100000, 100, 2000)  \
    TGT_CONF_NET_INT("tgt_net__max_worker_thread", maxNumOfWorkers, 2, 32, 0, 16)                              \
    TGT_CONF_NET_INT("tgt_net__max_priority_sends", maxPrioritySends, 0, UINT64_MAX, 0, 16)                    \
    TGT_CONF_NET_BOOL("tgt_net__use_separate_sched", bUseSeparateSched, 0)                                     \
    TGT_CONF_NET_INT("tgt_net__quickack", quickAck, 0, 2, 0, 2)                                                \
    TGT_CONF_NET_INT("tgt_net__poll_micro_delay", pollMicroDelay, 0, 10000, 0, 0)                              \
    TGT_CONF_NET_INT("tgt_net__poll_delay_count", pollDelayCount, 0, 10000, 0, 0)                              \
    TGT_CONF_NET_INT("tgt_net__poll_cpu", pollCpu, 0, 0xFFFFFFFFull, 0, 0xFFFFFFFFull)                         \
    TGT_CONF_NET_INT("tgt_net__poll_timeout", pollTimeout, 0, 100000, 0, 250)                                  \
    TGT_CONF_NET_INT("tgt_net__break_do_io_loop", breakDoIOLoop, 0, 100, 0, 0)                                 \
    TGT_CONF_NET_INT("tgt_net__break_recv_loop", breakRcvLoop, 0, 1024, 0, 10)                                 \
    TGT_CONF_NET_BOOL("tgt_net__use_yield", bUseYield, 0)                                                      \
    TGT_CONF_NET_BOOL("tgt_net__use_keepalive", bUseKeepalive, 0)                                              \
    TGT_CONF_NET_BOOL("tgt_net__use_loopback_fastpath", bUseLoopbackFastpath, 1)                               \
    TGT_CONF_NET_BOOL("tgt_net__important_umt", bImportantUmt, 1)                                              \
    TGT_CONF_NET_INT("tgt_net__max_rcv_msg", maxRcvMsg, 1000, 10000, 0, 10000)                                 \
    TGT_CONF_NET_BOOL("tgt_net__poll_timer", bPollTimers, 1)                                                   \
    TGT_CONF_BOOL("tgt_dit__enabled", bDit, 0)                                                                      \
    TGT_CONF_BOOL("tgt_dit__extra_enabled", bDitExtra, 0)                                                           \
    TGT_CONF_BOOL("tgt_dit__detailed_dump", bDetailedDump, 0)                                                       \
    TGT_CONF_BOOL("tgt_vtree_cnt__enabled", bVtreeCnt, 0)                                                           \
    TGT_CONF_BOOL("tgt_comb_cnt_trace__enabled", bCombCntTrace, 0)                                                  \
    TGT_CONF_BOOL("tgt_disk_test_trace__enabled", bDiskTestTrace, 0)                                                \
    TGT_CONF_INT("tgt_disk_test_num_jobs", diskTestNumJobs, 0, 32, 0, 32)                                           \
    TGT_CONF_INT("tgt_trace__suppress_vtree_at", maxVtreesToTrace, 0, 0xFFFFFFFFull, 0, 500)                        \
    TGT_CONF_BOOL("tgt_scheme_3_throttling_debug__enabled", bScehme3ThrottlingDebug, 0)                             \
    TGT_CONF_BOOL("tgt_fine_drl_trace", bFineDrlTrace, 0)                                                           \
    TGT_CONF_BOOL("tgt_allow_different_request_len__enabled", bAllowDifferentRequestLen, 1)                         \
    TGT_CONF_BOOL("tgt_dev__io_enabled", bPhyDevIoEnabled, 1)                                                       \
    TGT_CONF_BOOL("tgt_dev__always_force_device_takeover", bAlwaysForceDeviceTakeover, 1)                           \
    TGT_CONF_BOOL("tgt_dev__write_zeroes_to_new_dev", bWriteZeroesToNewDev, 1)                                      \
    TGT_CONF_BOOL("tgt_dev__io_enabled_md", bPhyDevIoEnabledMd, 1)                                                  \
    TGT_CONF_BOOL("tgt_dev__fix_header", bPhyDevFixHeader, 0)                                                       \
    TGT_CONF_BOOL("tgt_dev__long_inflight_ios_check", bInflightLongIosCheck, 1)                                     \
    TGT_CONF_INT("tgt_dev__read_id_threashold", devReadIdThresholdInMillis, 1000, 50000, 0, 3000)                   \
    TGT_CONF_INT("tgt_dev__read_id_sleep_retries", devReadIdSleepRetries, 100, 50000, 0, 300)                       \
    TGT_CONF_INT("tgt_dev__read_id_lock_retries", devReadIdLockRetries, 10, 500, 0, 100)                            \
    TGT_CONF_INT("tgt_dev__long_inflight_ios_notif_threashold", devInflightLongIosNotifyThreas, 1000, 50000, 0, 7000) \
    TGT_CONF_INT("tgt_dev__long_inflight_ios_base_threashold", devInflightLongIosBaseThreas, 1000, 70000, 0, 3000)  \
    TGT_CONF_INT("tgt_dev__long_inflight_ios_threashold", devInflightLongIosLowThreas, 1000, 70000, 0, 10000)       \
    TGT_CONF_INT("tgt_dev__long_inflight_ios_high_threashold", devInflightLongIosHighThreas, 1000, 240000, 0, 45000) \
    TGT_CONF_INT("tgt_dev__long_successful_ios_threshold_ms", devLongSuccessfulIosTimeMs, 1, 10000, 0, 3000)        \
    TGT_CONF_INT("tgt_dev__long_successful_gap_notify", devLongSuccessfulGapToNotify, 1, 100, 0, 3)                 \
    TGT_CONF_INT("tgt_dev__long_inflight_ios_error_action", devInflightLongIosErrorAction, 0, 300, 0, 100)          \
    TGT_CONF_BOOL("tgt_dev__long_inflight_report_dev_error", bInflightLongIosReportDevErr, 1)                       \
    TGT_CONF_BOOL("tgt_dev__treat_long_pending_as_gap", bTreatLongIoAsGap, 1)                                       \
    TGT_CONF_INT("tgt_dev__long_pending_to_gap_threshold", devLongIoToGapThreshold, 1, 90000, 0, 20000)             \
    TGT_CONF_BOOL("tgt_dev__elock_time_check", bElockTimeCheck, 1)                                                  \
    TGT_CONF_INT("tgt_dev__elock_time_threshold", bElockTimeThresh, 1000, 120000, 0, 15000)                         \
    TGT_CONF_INT("tgt_io_total_threshold", ioTimeLimit, 1000, 15000, 0, 10000)                                      \
    TGT_CONF_BOOL("tgt_dev__enable_multipath", bPhyDevEnableMultipath, 0)                                           \
    TGT_CONF_BOOL("tgt_dev__enable_metadata_polling", bDevMetadataPolling, 1)                                       \
    TGT_CONF_INT("tgt_dev__metadata_polling_frequency", devMetadataPollingFreq, 2, 9, 0, 8)                         \
    TGT_CONF_INT("tgt_dev__metadata_polling_frequency_after_failures", devMetadataPollingFreqFailure, 2, 9, 0, 9)   \
    TGT_CONF_INT("tgt_phy__comb_allocation_size", phyCombAllocationSize, 0, 8192, 0, 8)                             \
    TGT_CONF_BOOL("tgt_phy_comb__allow_first_access_failure", bPhyCombAllowFirstAccessFailure, 0)                   \
    TGT_CONF_STR("tgt_rep__name", repName, "rep_tgt.txt")                                                           \
    TGT_CONF_BOOL("tgt_print_compare_error_data", bPrintCompareErrorTeethData, 0)                                   \
    TGT_CONF_INT("tgt_umt_num", totalUmts, 50, 50000, 0, 1600)                                                      \
    TGT_CONF_INT("tgt_umt_stack_size_kb", umtStackSizeKb, 16, 1024, 0, 32)                                          \
    TGT_CONF_INT("tgt_umt_quota_per_os_thrd", umtPerThrdQuota, 0, 100000, 0, 0)                                     \
    TGT_CONF_INT("tgt_sched_thread_stuck_thresh_milli", schedThrdStuckThreshMilli, 0, 60000, 100, 1500)             \
    TGT_CONF_INT("tgt_sched_guard_panic_ratio", schedGuardPanicRatio, 2, 1000, 0, 3)                                \
    TGT_CONF_INT("tgt_sched_thread_stuck_allowed_milli", schedThrdStuckAllowedMilli, 0, 0xFFFFFFFFull, 0, 120000)   \
    TGT_CONF_INT("tgt_umt_run_thresh_ms", umtRunThreshMs, 0, 100000, 100, 10000)                                    \
    TGT_CONF_BOOL("tgt_umt_run_should_panic_on_thresh", umtShouldPanicOnThreshTicks, 0)                             \
    TGT_CONF_BOOL("tgt_umt_use_guard_page", bUmtGuardPage, 1)                                                       \
    TGT_CONF_INT("tgt_umt_sched_policy", umtSchedPolicy, 0, 3, 0, 0)                                                \
    TGT_CONF_INT("tgt_asyncio_thrds", asyncIOThrds, 1, 50, 0, 1)                                                    \
    TGT_CONF_INT("tgt_asyncio_max_global_reqs", maxGlobalAsyncIOReqs, 100, 100000, 0, 1000)                         \
    TGT_CONF_BOOL("tgt_asyncio_is_native", bNativeAsync, 1)                                                         \
    TGT_CONF_INT("tgt_umt_cpu_mask0", umtCpuMask0, 0, UINT64_MAX, 0, 0)                                             \
    TGT_CONF_INT("tgt_umt_cpu_mask1", umtCpuMask1, 0, UINT64_MAX, 0, 0)                                             \
    TGT_CONF_INT("tgt_asyncio_cpu_mask0", asyncIOCpuMask0, 0, UINT64_MAX, 0, 0)                                     \
    TGT_CONF_INT("tgt_asyncio_cpu_mask1", asyncIOCpuMask1, 0, UINT64_MAX, 0, 0)                                     \
    TGT_CONF_BOOL("tgt_umt_poll", bUmtSchedPoll, 0)                                                                 \
    TGT_CONF_INT("tgt_memset_threshold_in_bytes", largeMemsetSizeThresholdBytes, 1024, UINT64_MAX, 0, 8388608)      \
    TGT_CONF_INT("tgt_memset_threshold_in_milliseconds", largeMemsetTimeoutThresholdMillis, 0, 1000, 0, 10)         \
    TGT_CONF_BOOL("tgt_ramcache__core_dump_exclude", bRamcacheCoreDumpExclude, 1)                                   \
    TGT_CONF_BOOL("tgt_ramcache__protect_data_buffers", bRamcacheProtectDataBuffers, 0)                             \
    TGT_CONF_INT("rcache_host_memory_threshold", ramcacheHostMemoryThershold, 0, UINT64_MAX, 1048576, 33554432)     \
    TGT_CONF_INT("rcache_allowed_high_memory_percentage", ramcacheAllowedHighMemoryPercentage, 0, 100, 0, 75)       \
    TGT_CONF_INT("rcache_allowed_low_memory_percentage", ramcacheAllowedLowMemoryPercentage, 0, 100, 0, 50)         \
    TGT_CONF_INT("rcache_hash_size_multiply", ramcacheHashSizeMultiply, 1, 10, 0, 1)                                \
    TGT_CONF_INT("tgt_phy__tooth_remainder", phyToothRemainder, 0, 1000, 0, 100)                                    \
    TGT_CONF_BOOL("tgt_allow_fine_drl", bAllowFineDrl, 1)                                                           \
    TGT_CONF_INT("tgt_fine_drl_tooth_too_dirty_threshold", fineDrlToothTooDirtyThreshold, 1, 256, 0, 10)            \
    TGT_CONF_INT("tgt_fine_drl_type", rebuildDrlType, 0, 3, 0, 2)                                                   \
    TGT_CONF_BOOL("t10dif_restart_when_verify_fail", bT10DifRestartWhenVerifyFail, 0)                               \
    TGT_CONF_INT("t10dif_strict_verify_failure_dump_data", t10DifStrictVerifyFailDumpPolicy, 0, 2, 0, 0)            \
    TGT_CONF_BOOL("tgt_ramcache_lock_in_mem", bRamcacheLockInMem, 0)
// clang-format on
