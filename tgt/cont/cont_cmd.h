// The front door of the Ostrel's commands: every request on the control groups reaches
// contCmd_NewRequest, which admits it, checks its length, takes the controller's command lock in
// the mode its type needs, checks the connection generation and the reconfiguration state, runs
// its handler and writes the result into the response's context word.
//
// One table (contCmd_Specs) holds what each command type needs: its name, its length rule, its
// lock and its checks, and its handler. Admission, locking, the failure traces and the two
// watch timers are done once, in the dispatcher, from that table; a handler only reads its record
// and appends its answer.
//
// Command payload: one buffer, the addressed server's TgtId (8 bytes, 0 meaning this server), then
// the command's packed little-endian record. Every length, count and offset in a record comes
// from the network: a payload shorter than the TgtId, a record shorter than its fixed head plus
// its counts times their strides (computed in 64 bits), or a count of 0 where one element at
// least is needed, is answered MOS_RC__INTERFACE_ERROR (26) before any lock is taken. The key
// tgt_allow_different_request_len__enabled lets a record be longer than its rule says (for an
// Ostrel that appends fields), never shorter.
//
// Admission, in order: before an accepted add-manager only GET_VER, ADD_OSTREL and GET_TGT_PROP
// are served (70 otherwise); a TgtId other than 0 and the own one is answered 59; then the
// length (26); then, as the table says, the reconfiguration state (70) and the generation (31),
// tested before the lock and again under it. Types the table does not list answer 46, the
// deprecated ones 422.
//
// Concurrency: command threads run in parallel, ordered by Cont.rwLock alone; add-manager,
// clean-up, the reconfiguration commands and the group commands inside a cycle hold it for
// writing. A command that runs longer than 10 s is traced and counted; one that runs 5 minutes
// stops the process (a command that never ends holds the lock against every other).
#pragma once

#include <cstddef>
#include <span>

#include "mos/mos_fastlock.h"
#include "mos/umt/mos_umt_semaphore.h"
#include "net/net_con.h"
#include "net/net_msg.h"
#include "tgt/cont/cont_cmd_state.h"
#include "tgt/cont/cont_net.h"

struct Cont;

// The Ostrel's command types (the data-path types 2101 and on live with the I/O handler).
#define CONT_CMD__TYPE_LIST(X)                                                                                        \
    X(GET_VER, 2000)                                                                                                   \
    X(ADD_OSTREL, 2001)                                                                                                \
    X(REM_OSTREL, 2002)                                                                                                \
    X(ADD_DEV_1_30, 2003)                                                                                              \
    X(REM_DEV, 2004)                                                                                                   \
    X(ADD_TGT, 2005)                                                                                                   \
    X(REM_TGT, 2006)                                                                                                   \
    X(ADD_VOL, 2007)                                                                                                   \
    X(UPDATE_VOL, 2008)                                                                                                \
    X(REM_VOL, 2009)                                                                                                   \
    X(ADD_COMB_1_30, 2010)                                                                                             \
    X(SET_COMB_STATE, 2011)                                                                                            \
    X(REM_COMB, 2012)                                                                                                  \
    X(KEEP_ALIVE_RSP, 2013)                                                                                            \
    X(GET_CAPACITY, 2014)                                                                                              \
    X(RECONF_START, 2015)                                                                                              \
    X(RECONF_DONE, 2016)                                                                                               \
    X(QUERY_REBUILD_STATE, 2017)                                                                                       \
    X(START_MIGRATE, 2018)                                                                                             \
    X(ABORT_MIGRATE, 2019)                                                                                             \
    X(CLEAN_UP, 2020)                                                                                                  \
    X(END_MIGRATE, 2021)                                                                                               \
    X(GET_DIRTY_INFO, 2022)                                                                                            \
    X(ADD_VTREE, 2023)                                                                                                 \
    X(REM_VTREES, 2024)                                                                                                \
    X(UPDATE_VTREE, 2025)                                                                                              \
    X(CREATE_SNAP_START, 2026)                                                                                         \
    X(CREATE_SNAP_END_2_010, 2027)                                                                                     \
    X(UPDATE_DRL_INFO, 2028)                                                                                           \
    X(SET_NET_COPY_LIMIT, 2029)                                                                                        \
    X(GET_TGT_DEV_LATENCY_BWC, 2030)                                                                                   \
    X(GET_TGT_NET_BWC, 2031)                                                                                           \
    X(START_NET_TEST, 2032)                                                                                            \
    X(GET_NET_TEST_RES, 2033)                                                                                          \
    X(START_DISK_TEST, 2034)                                                                                           \
    X(GET_DISK_TEST_RES, 2035)                                                                                         \
    X(GET_TGT_DEV_IO_BWC, 2036)                                                                                        \
    X(GET_DEV_LATENCY_BWC, 2037)                                                                                       \
    X(QUERY_VTREE_DEL_GEN, 2038)                                                                                       \
    X(GET_DEV_CAPACITY, 2039)                                                                                          \
    X(UPDATE_MULTIHEADS, 2040)                                                                                         \
    X(UPDATE_DEV_SNAP_CAP_LIMIT, 2041)                                                                                 \
    X(QUERY_VTREE_SIZE, 2042)                                                                                          \
    X(GET_TGT_PROP, 2043)                                                                                              \
    X(GET_CON_STATE, 2044)                                                                                             \
    X(START_DISK_TEST_SYNC, 2045)                                                                                      \
    X(UPDATE_DEV_THROTTLING_CONF, 2046)                                                                                \
    X(QUERY_IS_QUIET_AND_FLUSHED, 2047)                                                                                \
    X(START_QUIESCE, 2048)                                                                                             \
    X(STOP_QUIESCE, 2049)                                                                                              \
    X(SET_REBUILD_REBALANCE_DEST_LIMITS_1_30, 2050)                                                                    \
    X(QUERY_ALL_VTREES_SIZE, 2051)                                                                                     \
    X(UPDATE_DEV_SCAN_CONF, 2052)                                                                                      \
    X(UPDATE_PERF_PARAMS, 2053)                                                                                        \
    X(ADD_DEV, 2054)                                                                                                   \
    X(UPDATE_CACHE_FREEZE, 2203)                                                                                       \
    X(UPDATE_CACHE_ENABLE, 2204)                                                                                       \
    X(PURGE_CACHE, 2205)                                                                                               \
    X(UPDATE_CACHE_SIZE, 2206)                                                                                         \
    X(GET_TGT_COUNTERS, 2208)                                                                                          \
    X(UPDATE_DEV_RAMCACHE_USE, 2209)                                                                                   \
    X(UPDATE_DEV_RAMCACHE_WRITE_MODE, 2210)                                                                            \
    X(DUMP_CACHE, 2212)                                                                                                \
    X(UPDATE_DEV_CHECKSUM, 2213)                                                                                       \
    X(FLCACHE_SET_CONF, 2214)                                                                                          \
    X(FLCACHE_DEV_USE_UPDATE, 2215)                                                                                    \
    X(FLCACHE_QUERY, 2216)                                                                                             \
    X(ADD_COMB, 2217)                                                                                                  \
    X(UPDATE_OSC_COUNTER, 2219)                                                                                        \
    X(GET_OSC_COUNTERS, 2220)                                                                                          \
    X(CONFIG_SECURITY, 2221)                                                                                           \
    X(GENERATE_CSR, 2222)                                                                                              \
    X(UPDATE_CERTIFICATE, 2223)                                                                                        \
    X(SET_REBUILD_REBALANCE_DEST_LIMITS, 2224)                                                                         \
    X(SELF_TEST, 2225)                                                                                                 \
    X(QUERY_MULTIHEAD_COMB_STATS, 2228)                                                                                \
    X(UPDATE_LED_STATUS, 2229)                                                                                         \
    X(QUERY_DEV_METADATA, 2230)                                                                                        \
    X(QUERY_DEV_ADVANCED_METADATA, 2231)                                                                               \
    X(CREATE_SNAP_END, 2232)

enum ContCmdType : UINT32 {
#define CONT_CMD__TYPE_ENUM(name, value) TGT_MSG_TYPE__##name = value,
    CONT_CMD__TYPE_LIST(CONT_CMD__TYPE_ENUM)
#undef CONT_CMD__TYPE_ENUM
};

// The generic types of the messaging layer that reach the command door as well.
#define NET_MSG_TYPE__NET_KA 1u
#define NET_MSG_TYPE__CONFIGURE_TRACE_FREQS 2u
#define NET_MSG_TYPE__QUERY_DIAG_COUNTERS 3u
#define NET_MSG_TYPE__RESET_DIAG_COUNTERS 4u
#define NET_MSG_TYPE__CHALLENGE_RESPONSE 5u
#define NET_MSG_TYPE__QUERY_DIAG_COUNTERS_EXT 6u

#define CONT_CMD__TGT_ID_SIZE 8u
#define CONT_CMD__NO_OFFSET 0xFFFFu

// The mode in which the dispatcher holds Cont.rwLock for a command.
enum LockState : UINT32 {
    UNLOCKED = 0,
    READ_LOCKED = 1,
    WRITE_LOCKED = 2,
};

enum ContCmdLock : UINT8 {
    CONT_CMD_LOCK__NONE = 0,
    CONT_CMD_LOCK__READ = 1,
    CONT_CMD_LOCK__WRITE = 2,
    CONT_CMD_LOCK__BY_FLAG = 3, // write with the record's bReconfigInProgress set, else read
};

// Checks of a command (bits).
enum ContCmdCheck : UINT8 {
    CONT_CMD_CHECK__GEN = 0x1,       // the record's generation must be the server's
    CONT_CMD_CHECK__GEN_OWN = 0x2,   // no generation in the record: only a change while waiting for the lock fails
    CONT_CMD_CHECK__NOT_RECONF = 0x4, // no cycle open, and a RECONF_START seen
    CONT_CMD_CHECK__FLAG = 0x8,       // the record's bReconfigInProgress must match (RECONF_START seen)
    CONT_CMD_CHECK__IN_RECONF = 0x10, // a cycle must be open
};

// The length rule of a record (after the TgtId): head + count1 x stride1 + count2 x stride2, with
// the counts read as UINT32 at their offsets. bAnyLen: the record is not tested at all (it has
// none); bMinOne: count1 must not be 0 (unless the record's bReconfigInProgress is set: an empty
// list inside a cycle is how the Ostrel removes every object of a kind).
struct ContCmdLen {
    UINT32 head;
    UINT32 stride1;
    UINT32 stride2;
    UINT8 count1Off;
    UINT8 count2Off;
    bool bMinOne;
    bool bAnyLen;
    bool bAtLeast; // the rest of the record has a layout of its own that its handler checks
};

struct ContCmdCtx;
typedef Mos_RC (*ContCmd_Handler)(ContCmdCtx *pCtx);

enum ContCmdKind : UINT8 {
    CONT_CMD_KIND__HANDLED = 0,    // admitted, locked, checked, then its handler (none yet: 46)
    CONT_CMD_KIND__DEPRECATED = 1, // 422, no lock
    CONT_CMD_KIND__UNHANDLED = 2,  // 46, no lock
};

struct ContCmdSpec {
    UINT32 type;
    const CHAR_A *pName;
    ContCmdKind kind;
    ContCmdLen len;
    ContCmdLock lock;
    UINT8 checks;  // ContCmdCheck bits
    UINT16 genOff;  // of the UINT16 generation in the record, CONT_CMD__NO_OFFSET: none
    UINT16 flagOff; // of the BOOL bReconfigInProgress, CONT_CMD__NO_OFFSET: none
    ContCmd_Handler pHandler;
};

// What a handler sees: the record (its length rule already holds), the request and the response
// to which it appends its answer.
struct ContCmdCtx {
    Cont *pCont;
    NetRpcData *pReq;
    NetRpcData *pRes;
    HNetCon hCon;
    const ContCmdSpec *pSpec;
    const UINT8 *pRec;
    UINT32 recLen;
    LockState lockState;
};

// Every listed type in ascending order; null for an unlisted one.
std::span<const ContCmdSpec> contCmd_Specs(void);
const ContCmdSpec *contCmd_FindSpec(UINT32 type);
// The length rule on a record of recLen bytes: 65 or MOS_RC__INTERFACE_ERROR. bExact: the
// record must be exactly as long as its rule (tgt_allow_different_request_len__enabled off).
Mos_RC contCmd_CheckLen(const ContCmdSpec *pSpec, const UINT8 *pRec, UINT32 recLen, BOOL bExact);

// The rare watchdog loop's retry of a comb-array harden that the end of a cycle could not finish:
// TRUE when nothing is pending any more; FALSE when it is still pending (the write failed again, a
// command holds the lock, or a cycle is open: the next tick tries again).
BOOL contCmd_RetryHardenCombArr(Cont *pCont);

// Takes rwLock in the given mode and returns it; any other mode is an internal error.
LockState contCmd_LockByType(Cont *pCont, LockState lockState);
// The reconfiguration and generation tests before the lock and again under it: 65, 70 or 31;
// *pLockState tells which lock is held, also when the result is not 65.
Mos_RC contCmd_DoubleCheckLock(Cont *pCont, BOOL bReconfigInProgress, BOOL bCheckReconfig,
                               UINT16 ostrelTgtConnectionGenNum, BOOL bCheckGen, LockState lockState,
                               LockState *pLockState);
