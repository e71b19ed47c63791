// Diagnostic counters: a fixed, process-wide table of named event counters that any module bumps
// with one call when something noteworthy happens. The table is read and reset by the management
// side through query records whose layout travels on the wire and therefore never changes.
#pragma once

#include <cstddef>

#include "mos/mos_rc.h"
#include "mos/mos_types.h"

enum MosDiagCounterComponentType : UINT32 {
    MOS_DIAG_COUNTER_COMP__NET = 0,
    MOS_DIAG_COUNTER_COMP__IO = 1,
    MOS_DIAG_COUNTER_COMP__MOS = 2,
    MOS_DIAG_COUNTER_COMP__INI_DEV = 3,
    MOS_DIAG_COUNTER_COMP__OSTREL = 4,
    MOS_DIAG_COUNTER_COMP__T10DIF = 5,
    MOS_DIAG_COUNTER_COMP__CMATRIX = 6,
    MOS_DIAG_COUNTER_COMP__PELLAR = 7,
    MOS_DIAG_COUNTER_COMP__LAST = 8,
};

// Threshold of a counter that is never reported as above its threshold.
#define MOS_DIAG_COUNTERS__NO_THRESHOLD 0xFFFFFFFFu

// The table in counter-number order: X(name, component, threshold). The names are printed and
// sent as they stand here, so they are never corrected.
#define MOS_DIAG_COUNTERS__NONE MOS_DIAG_COUNTERS__NO_THRESHOLD
#define MOS_DIAG_COUNTERS__TABLE(X)                                      \
    X(PRIO_SND_LIMIT_REACHED, NET, MOS_DIAG_COUNTERS__NONE)              \
    X(KA_CAUSED_DISCONNECT, NET, 0)                                      \
    X(WRITE_KA_CAUSED_DISCONNECT, NET, 0)                                \
    X(FAILED_TO_ALLOC_KA, NET, 0)                                        \
    X(RPC_TIMED_OUT, NET, 0)                                             \
    X(FAILED_TO_ALLOC_RCV_BUFFER, NET, 0)                                \
    X(FAILED_TO_ALLOC_RCV_MSG, NET, 0)                                   \
    X(DROPPED_REQUESTS, NET, MOS_DIAG_COUNTERS__NONE)                    \
    X(RECEIVED_ILLEGAL_HEADER, NET, 0)                                   \
    X(SND_ERR, NET, 0)                                                   \
    X(RCV_ERR, NET, 0)                                                   \
    X(SOCKET_DOWN, NET, 0)                                               \
    X(CONNECTION_DOWN, NET, 0)                                           \
    X(FAILED_TO_ABORT_TIMER, NET, 0)                                     \
    X(RPC_SEND_LINGERED_5SEC, NET, 0)                                    \
    X(RPC_LINGERED_1SEC, NET, MOS_DIAG_COUNTERS__NONE)                   \
    X(RPC_LINGERED_3SEC, NET, 0)                                         \
    X(RPC_EXCEEDED_EXP_SIZE, NET, 0)                                     \
    X(MESSAGE_PEER_ID_MISMATCH, NET, MOS_DIAG_COUNTERS__NONE)            \
    X(NET_CON_PEER_ID_RESET, NET, MOS_DIAG_COUNTERS__NONE)               \
    X(NET_PAUSED_TOGGLE, NET, 0)                                         \
    X(FAILED_TO_CREATE_CON, NET, 0)                                      \
    X(FAILED_TO_ADD_PORTAL, NET, 0)                                      \
    X(NET_CHAN_REJECTED_MSG, NET, 0)                                     \
    X(NET_CHAN_UPDATED, NET, MOS_DIAG_COUNTERS__NONE)                    \
    X(REMOTE_IS_UNREACHABLE, NET, 0)                                     \
    X(OSTREL_IS_UNREACHABLE, NET, 0)                                     \
    X(SND_ERR_NOT_CONNECTED, NET, MOS_DIAG_COUNTERS__NONE)               \
    X(SND_TIMEOUT, NET, MOS_DIAG_COUNTERS__NONE)                         \
    X(RCV_TIMEOUT, NET, MOS_DIAG_COUNTERS__NONE)                         \
    X(NET_IO_ABORTED, NET, MOS_DIAG_COUNTERS__NONE)                      \
    X(SND_SOCK_IO_ERR, NET, 0)                                           \
    X(RCV_SOCK_IO_ERR, NET, 0)                                           \
    X(SND_MSG_FORMAT_ERROR, NET, MOS_DIAG_COUNTERS__NONE)                \
    X(RCV_MSG_FORMAT_ERROR, NET, MOS_DIAG_COUNTERS__NONE)                \
    X(RCV_MSG_RPC_NOT_FOUND, NET, MOS_DIAG_COUNTERS__NONE)               \
    X(SND_IOV_INIT_ERROR, NET, MOS_DIAG_COUNTERS__NONE)                  \
    X(RCV_IOV_INIT_ERROR, NET, MOS_DIAG_COUNTERS__NONE)                  \
    X(RPC_INIT_ERROR, NET, 0)                                            \
    X(RPC_WAS_THROTTLED, NET, MOS_DIAG_COUNTERS__NONE)                   \
    X(NET_KA_GRACE_TIME, NET, MOS_DIAG_COUNTERS__NONE)                   \
    X(NET_SOCK_TYPE_NOT_SUPPORTED, NET, MOS_DIAG_COUNTERS__NONE)         \
    X(NET_CHAN_ESTABLISH_ERROR, NET, 0)                                  \
    X(EPOLL_WAIT_INTERRUPTED, NET, MOS_DIAG_COUNTERS__NONE)              \
    X(NET_CON_CK_EXCEEDED_LIMIT, NET, MOS_DIAG_COUNTERS__NONE)           \
    X(SOCKET_CK_EXCEEDED_LIMIT, NET, MOS_DIAG_COUNTERS__NONE)            \
    X(POLL_EXEC_EVENTS_EXCEEDED_LIMIT, NET, MOS_DIAG_COUNTERS__NONE)     \
    X(CON_SND_MSG_ABORTED, NET, MOS_DIAG_COUNTERS__NONE)                 \
    X(NET_KA_POOL_EXTENDED, NET, MOS_DIAG_COUNTERS__NONE)                \
    X(IO_EXCEEDED_RETRY_QUOTA, IO, 0)                                    \
    X(IO_EAGER_ZEOR_WRITTEN_MB, IO, MOS_DIAG_COUNTERS__NONE)             \
    X(IO_FAILURE, IO, 0)                                                 \
    X(IO_TEST_AND_SET_FAILURE, IO, 0)                                    \
    X(IO_RESERVATION_CONFLICT, IO, 0)                                    \
    X(IO_ZERO_BUF_FAILURE, IO, 0)                                        \
    X(IO_SIZE_MISMATCH, IO, 0)                                           \
    X(IO_FAULT_OLD_SCSI_GEN, IO, 0)                                      \
    X(IO_ABORTED, IO, 0)                                                 \
    X(IO_HARD_ERROR, IO, 0)                                              \
    X(IO_ZERO_BUF, IO, MOS_DIAG_COUNTERS__NONE)                          \
    X(IO_PROCESSED, IO, MOS_DIAG_COUNTERS__NONE)                         \
    X(UNKNOWN_MSG, IO, 0)                                                \
    X(IO_LONG_120, IO, 0)                                                \
    X(IO_LONG_60, IO, 0)                                                 \
    X(IO_LONG_30, IO, 0)                                                 \
    X(IO_LONG_15, IO, 0)                                                 \
    X(IO_LONG_5, IO, 0)                                                  \
    X(IO_LONG_1, IO, MOS_DIAG_COUNTERS__NONE)                            \
    X(IO_RETRY_10, IO, 0)                                                \
    X(IO_RETRY_6, IO, 0)                                                 \
    X(IO_RETRY_3, IO, 0)                                                 \
    X(IO_FAULT_NOT_PRI, IO, 0)                                           \
    X(IO_FAULT_NOT_SEC, IO, 0)                                           \
    X(IO_FAULT_BLOCKED, IO, 0)                                           \
    X(IO_FAULT_NO_VOL, IO, 0)                                            \
    X(IO_FAULT_NO_COMB, IO, 0)                                           \
    X(IO_FAULT_WRONG_VOL_GEN, IO, 0)                                     \
    X(IO_FAULT_WRONG_COMB_GEN, IO, 0)                                    \
    X(IO_FAULT_TEST_FAILED, IO, 0)                                       \
    X(IO_FAULT_NEW_SCSI_GEN, IO, 0)                                      \
    X(IO_FAULT_RESERVATION_CONFLICT, IO, 0)                              \
    X(IO_FAULT_NO_SPACE, IO, 0)                                          \
    X(IO_FAULT_VOL_NOT_THIN, IO, 0)                                      \
    X(IO_FAULT_VOL_HAS_SNAPSHOTS, IO, 0)                                 \
    X(IO_FAULT_HARD_ERROR, IO, 0)                                        \
    X(IO_FAULT_QUIESCED, IO, 0)                                          \
    X(IO_FAULT_IS_QUIESCED, IO, 0)                                       \
    X(IO_TIMEDOUT, IO, 0)                                                \
    X(NT_IO_SPLITTED_MDL, IO, 0)                                         \
    X(IO_THROTTLED_TO_WAITER_LIST, IO, 0)                                \
    X(IO_ERROR_DEFAULT, IO, 0)                                           \
    X(IO_SILENTLY_DROP_ERROR_TRPORT, IO, 0)                              \
    X(NT_MDL_ALLOC_FAILED, IO, 0)                                        \
    X(IO_FAULT_VOL_HAS_SNAPS_FAILURE, IO, 0)                             \
    X(IO_LONG_INFLIGHT_TICKS_NOT_SET, IO, 0)                             \
    X(ZOMBIE_LB_INFO, IO, MOS_DIAG_COUNTERS__NONE)                       \
    X(TASK_EXECUTED, IO, 0)                                              \
    X(COMMAND_GOING_TO_BE_EXECUTED, IO, 0)                               \
    X(COMMAND_EXECUTED, IO, 0)                                           \
    X(COMMAND_DONE, IO, 0)                                               \
    X(COMMAND_ABORTED, IO, 0)                                            \
    X(COMMAND_FAILED, IO, 0)                                             \
    X(CREATED_DEVICES, INI_DEV, MOS_DIAG_COUNTERS__NONE)                 \
    X(DESTROYED_DEVICES, INI_DEV, 0)                                     \
    X(CREATED_PE_DEVICES, INI_DEV, MOS_DIAG_COUNTERS__NONE)              \
    X(DESTROYED_PE_DEVICES, INI_DEV, 0)                                  \
    X(CREATED_VVOL_DEVICES, INI_DEV, MOS_DIAG_COUNTERS__NONE)            \
    X(DESTROYED_VVOL_DEVICES, INI_DEV, 0)                                \
    X(REUSE_DEVICES, INI_DEV, 0)                                         \
    X(FAILED_CREATING_DEVICE, INI_DEV, 0)                                \
    X(FAILED_DESTROYING_DEVICE, INI_DEV, 0)                              \
    X(ILLEGAL_DESTROY_DEVICE, INI_DEV, 0)                                \
    X(DEAD_DEVICE, INI_DEV, 0)                                           \
    X(ESX_ADD_PEND_DEVICE, INI_DEV, 0)                                   \
    X(NORMAL_DEVICE, INI_DEV, 0)                                         \
    X(OSTREL_RM_PENDING_DEVICE, INI_DEV, 0)                              \
    X(ESX_RM_PENDING_DEVICE, INI_DEV, 0)                                 \
    X(SECONDS_FROM_UP_TIME, MOS, 0)                                      \
    X(PHY_IO_ERROR, MOS, 0)                                              \
    X(OSTREL_SCAN_FAILURE, MOS, 0)                                       \
    X(SCHEDULER_STUCK, MOS, 0)                                           \
    X(DYING_SCHEDULER_PICKED, MOS, MOS_DIAG_COUNTERS__NONE)              \
    X(FAILED_TO_CREATE_THRD, MOS, 0)                                     \
    X(FAILED_TO_SET_THRD_HPRIORITY, MOS, 0)                              \
    X(UMT_GRACEFULLY_PREEMPTED, MOS, MOS_DIAG_COUNTERS__NONE)            \
    X(OSC_CNT_UNKNOWN_TYPE, MOS, MOS_DIAG_COUNTERS__NONE)                \
    X(OSC_CNT_WIN_OUT_OF_RANGE, MOS, 0)                                  \
    X(IO_SUBMIT_EXCEEDED_LIMIT, MOS, MOS_DIAG_COUNTERS__NONE)            \
    X(ASYNC_IO_CK_EXCEEDED_LIMIT, MOS, MOS_DIAG_COUNTERS__NONE)          \
    X(TIMER_CK_EXCEEDED_LIMIT, MOS, MOS_DIAG_COUNTERS__NONE)             \
    X(POLL_Q_RANGE_EXCEEDED_LIMIT, MOS, MOS_DIAG_COUNTERS__NONE)         \
    X(MEM_ALLOC_EXCEEDED_LIMIT, MOS, MOS_DIAG_COUNTERS__NONE)            \
    X(MALLOC_FAILED, MOS, MOS_DIAG_COUNTERS__NONE)                       \
    X(MALLOC_CAUSED_YIELD, MOS, MOS_DIAG_COUNTERS__NONE)                 \
    X(MEMPOOL_CAUSED_YIELD, MOS, MOS_DIAG_COUNTERS__NONE)                \
    X(REP_UPGRADE_SKIPPED_WRITES, OSTREL, MOS_DIAG_COUNTERS__NONE)       \
    X(REP_UPGRADE_SKIPPED_PAGES, OSTREL, MOS_DIAG_COUNTERS__NONE)        \
    X(REP_UPGRADE_SKIPPED_SECTIONS, OSTREL, MOS_DIAG_COUNTERS__NONE)     \
    X(T10DIF_WR_PRI_WITH_DIF, T10DIF, MOS_DIAG_COUNTERS__NONE)           \
    X(T10DIF_WR_PRI_NO_DIF, T10DIF, MOS_DIAG_COUNTERS__NONE)             \
    X(T10DIF_WR_SEC_WITH_DIF, T10DIF, MOS_DIAG_COUNTERS__NONE)           \
    X(T10DIF_WR_SEC_NO_DIF, T10DIF, MOS_DIAG_COUNTERS__NONE)             \
    X(T10DIF_WR_SEC_DIF_MISSING, T10DIF, 0)                              \
    X(T10DIF_RD_SEC_DIF_MISSING, T10DIF, 0)                              \
    X(T10DIF_GEN_WR_PRI, T10DIF, MOS_DIAG_COUNTERS__NONE)                \
    X(T10DIF_GEN_WR_PRI_TestAndSet, T10DIF, MOS_DIAG_COUNTERS__NONE)     \
    X(T10DIF_GEN_READ_FROM_DRIVE, T10DIF, MOS_DIAG_COUNTERS__NONE)       \
    X(T10DIF_GEN_READ_INTO_CACHE, T10DIF, MOS_DIAG_COUNTERS__NONE)       \
    X(T10DIF_GEN_READ_INTO_NETBUF, T10DIF, MOS_DIAG_COUNTERS__NONE)      \
    X(T10DIF_GEN_READ_CACHE, T10DIF, MOS_DIAG_COUNTERS__NONE)            \
    X(T10DIF_VERIFY_WR_DISK, T10DIF, MOS_DIAG_COUNTERS__NONE)            \
    X(T10DIF_VERIFY_READ_PRI, T10DIF, MOS_DIAG_COUNTERS__NONE)           \
    X(T10DIF_VERIFY_READ_SEC, T10DIF, MOS_DIAG_COUNTERS__NONE)           \
    X(T10DIF_ENCRYPT_WR_PRI, T10DIF, MOS_DIAG_COUNTERS__NONE)            \
    X(T10DIF_WR_SUPPORT_ATTACH_FAIL, T10DIF, 0)                          \
    X(T10DIF_RD_STRICT_VERIFY, T10DIF, 0)                                \
    X(T10DIF_WR_STRICT_VERIFY, T10DIF, 0)                                \
    X(T10DIF_VERIFY_FAIL_PHY_WRITE, T10DIF, 0)                           \
    X(T10DIF_VERIFY_FAIL_IOH_READ_PRI, T10DIF, 0)                        \
    X(T10DIF_VERIFY_FAIL_IOH_READ_SEC, T10DIF, 0)                        \
    X(T10DIF_VERIFY_FAIL_IOH_TS_CMP, T10DIF, 0)                          \
    X(T10DIF_VERIFY_FAIL_DISK_RD_PRI, T10DIF, 0)                         \
    X(T10DIF_VERIFY_FAIL_DISK_RD_SEC, T10DIF, 0)                         \
    X(T10DIF_VERIFY_FAIL_IOH_RD_PRI, T10DIF, 0)                          \
    X(T10DIF_VERIFY_FAIL_IOH_RD_SEC, T10DIF, 0)                          \
    X(T10DIF_VERIFY_FAIL_CACHE_DCRPT, T10DIF, 0)                         \
    X(T10DIF_FAILED_TO_ALLOCATE_BUF, T10DIF, 0)                          \
    X(T10DIF_FAILED_TO_MAP_PHY_MEM, T10DIF, 0)                           \
    X(VERIFY_FAIL_ENCRT_IOH_RD, T10DIF, 0)                               \
    X(VERIFY_FAIL_ENCRT_IOH_PRI_WR1, T10DIF, 0)                          \
    X(VERIFY_FAIL_ENCRT_IOH_PRI_WR2, T10DIF, 0)                          \
    X(VERIFY_FAIL_ENCRT_IOH_SEC_WR, T10DIF, 0)                           \
    X(VERIFY_FAIL_ENCRT_DISK_PRI_RD, T10DIF, 0)                          \
    X(VERIFY_FAIL_ENCRT_DISK_SEC_RD, T10DIF, 0)                          \
    X(T10DIF_NO_CHECKSUM_RECEIVED, T10DIF, 0)                            \
    X(T10DIF_FAIL_RD_WRONGLENGTH, T10DIF, 0)                             \
    X(T10DIF_FAIL_WR_NO_DIF_FLAGS, T10DIF, 0)                            \
    X(T10DIF_FAIL_WR_BY_PELLAR, T10DIF, 0)                               \
    X(T10DIF_FAIL_RD_BY_QUILLET, T10DIF, 0)                              \
    X(FAILED_TO_MAP_PHY_MEM, T10DIF, 0)                                  \
    X(CMATRIX_VECTOR_NOT_SENT, CMATRIX, 0)                               \
    X(CMATRIX_VECTOR_DROPPED_INVALID, CMATRIX, 0)                        \
    X(CMATRIX_VECTOR_DROPPED_OLD, CMATRIX, 0)                            \
    X(CMATRIX_VECTOR_DROPPED_LOCKED, CMATRIX, 0)                         \
    X(CMATRIX_VECTOR_DROPPED_IGNORED, CMATRIX, 0)                        \
    X(CMATRIX_VECTOR_FULLY_RECEIVED, CMATRIX, 0)                         \
    X(CMATRIX_REPORTED_CELL_NOT_FOUND, CMATRIX, 0)                       \
    X(CMATRIX_DEGRADE_PERMIT_GRANTED, CMATRIX, 0)                        \
    X(CMATRIX_DEGRADE_PERMIT_DENIED, CMATRIX, 0)                         \
    X(CMATRIX_MATRIX_REALLOCED, CMATRIX, 0)                              \
    X(CMATRIX_MATRIX_FULLY_ANALYZED, CMATRIX, MOS_DIAG_COUNTERS__NONE)   \
    X(CMATRIX_MATRIX_POLICY_CHANGED, CMATRIX, 0)                         \
    X(CMATRIX_STALE_ROW_IDENTIFIED, CMATRIX, 0)                          \
    X(NETSMALLIOV_LARGE, NET, MOS_DIAG_COUNTERS__NONE)                   \
    X(PELLAR_IO_VERSION_UNKNOWN, PELLAR, MOS_DIAG_COUNTERS__NONE)

enum MosDiagCounterType : UINT32 {
#define MOS_DIAG_COUNTERS__ENUM(name, comp, threshold) MOS_DIAG_COUNTER__##name,
    MOS_DIAG_COUNTERS__TABLE(MOS_DIAG_COUNTERS__ENUM)
#undef MOS_DIAG_COUNTERS__ENUM
    MOS_DIAG_COUNTER__LAST,
};

#define MOS_DIAG_COUNTERS__NUM_OF_COUNTERS 195u
static_assert(MOS_DIAG_COUNTER__LAST == MOS_DIAG_COUNTERS__NUM_OF_COUNTERS, "the counter table has 195 rows");
// The component blocks start where the management side expects them.
static_assert(MOS_DIAG_COUNTER__IO_EXCEEDED_RETRY_QUOTA == 49);
static_assert(MOS_DIAG_COUNTER__CREATED_DEVICES == 102);
static_assert(MOS_DIAG_COUNTER__SECONDS_FROM_UP_TIME == 117);
static_assert(MOS_DIAG_COUNTER__REP_UPGRADE_SKIPPED_WRITES == 135);
static_assert(MOS_DIAG_COUNTER__T10DIF_WR_PRI_WITH_DIF == 138);
static_assert(MOS_DIAG_COUNTER__CMATRIX_VECTOR_NOT_SENT == 180);
static_assert(MOS_DIAG_COUNTER__NETSMALLIOV_LARGE == 193);
static_assert(MOS_DIAG_COUNTER__PELLAR_IO_VERSION_UNKNOWN == 194);

#define MOS_DIAG_COUNTERS__COMP_MAX_STR_LEN 8
#define MOS_DIAG_COUNTERS__COUNTER_MAX_STR_LEN 32
// Datum of a count that came without one.
#define MOS_DIAG_COUNTERS__NULL_EXT_DATA 0x00000000FFFFFFFFull

// One counter in a query answer (native byte order).
struct MosDiagCounterEntry {
    UINT32 value;
    UINT32 threshold; // above threshold when value > threshold
    CHAR_A compName[MOS_DIAG_COUNTERS__COMP_MAX_STR_LEN];
    CHAR_A name[MOS_DIAG_COUNTERS__COUNTER_MAX_STR_LEN];
};

// One counter with its last datum and time. In the table the time is the tick of the last count;
// in a query answer it is the milliseconds since then. 0 means never counted in both.
struct MosDiagCounterExtEntry {
    UINT32 value;
    UINT32 threshold;
    CHAR_A compName[MOS_DIAG_COUNTERS__COMP_MAX_STR_LEN];
    CHAR_A name[MOS_DIAG_COUNTERS__COUNTER_MAX_STR_LEN];
    UINT64 countExtData;
    union {
        UINT64 lastCountTime;
        UINT64 lastCountTimeMilli;
    };
};

static_assert(sizeof(MosDiagCounterEntry) == 48);
static_assert(offsetof(MosDiagCounterEntry, value) == 0);
static_assert(offsetof(MosDiagCounterEntry, threshold) == 4);
static_assert(offsetof(MosDiagCounterEntry, compName) == 8);
static_assert(offsetof(MosDiagCounterEntry, name) == 16);
static_assert(sizeof(MosDiagCounterExtEntry) == 64);
static_assert(offsetof(MosDiagCounterExtEntry, value) == 0);
static_assert(offsetof(MosDiagCounterExtEntry, threshold) == 4);
static_assert(offsetof(MosDiagCounterExtEntry, compName) == 8);
static_assert(offsetof(MosDiagCounterExtEntry, name) == 16);
static_assert(offsetof(MosDiagCounterExtEntry, countExtData) == 48);
static_assert(offsetof(MosDiagCounterExtEntry, lastCountTime) == 56);

// A query: the caller's array and the filter. numOfElements is the array's capacity in entries
// on the way in, and the entries filled (or the table size when the array was too small) on
// the way out.
struct MosDiagCountersQuery {
    UINT32 numOfElements;
    union {
        BOOL bOnlyAboveThreshold;
        UINT32 dummy;
    };
    CHAR_A limitToComp[MOS_DIAG_COUNTERS__COMP_MAX_STR_LEN]; // empty: all components
    union {
        MosDiagCounterEntry *pElementsArr;
        MosDiagCounterExtEntry *pExtElementsArr;
        UINT64 ptrPad;
    };
};

static_assert(sizeof(MosDiagCountersQuery) == 24);
static_assert(offsetof(MosDiagCountersQuery, numOfElements) == 0);
static_assert(offsetof(MosDiagCountersQuery, bOnlyAboveThreshold) == 4);
static_assert(offsetof(MosDiagCountersQuery, limitToComp) == 8);
static_assert(offsetof(MosDiagCountersQuery, pElementsArr) == 16);

Mos_RC mosDiagCounters_Init(void *pArg);
void mosDiagCounters_Finit(void);

// Counting: one tick read, two stores and one atomic add; returns the value before the count.
UINT32 mosDiagCounters_CountExt(MosDiagCounterType counter, UINT64 extData);
UINT32 mosDiagCounters_Count(MosDiagCounterType counter);
UINT32 mosDiagCounters_Get(MosDiagCounterType counter);
void mosDiagCounters_Reset(MosDiagCounterType counter);
void mosDiagCounters_ResetAll(void);
UINT32 mosDiagCounters_GetNumOfCounters(void);

Mos_RC mosDiagCounters_QueryExt(MosDiagCountersQuery *pQuery, BOOL bExt);
Mos_RC mosDiagCounters_Query(MosDiagCountersQuery *pQuery);

// Prints an ext query answer to standard output; counters above their threshold in red.
void mosDiagCounters_PrintQuery(const MosDiagCountersQuery *pQuery, const char *pHeader, const char *pCounterPref);
void mosDiagCounters_PrintAll(void);

struct MosObj;
// The registry's query of one counter object: fills a 64-byte ext entry.
void mosDiagCounters_SdbgQueryFunc(MosObj *pObj, const CHAR_A *pName, void *pData);

#define MOS_DIAG_COUNT(name) mosDiagCounters_Count(MOS_DIAG_COUNTER__##name)
#define MOS_DIAG_COUNT_EXT(name, data) mosDiagCounters_CountExt(MOS_DIAG_COUNTER__##name, (data))
#define MOS_DIAG_RESET(name) mosDiagCounters_Reset(MOS_DIAG_COUNTER__##name)
#define MOS_DIAG_GET(name) mosDiagCounters_Get(MOS_DIAG_COUNTER__##name)
