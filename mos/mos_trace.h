// Trace facility: every line names a component and a level and is produced only when the
// component's level allows it, so callers never pay for formatting a suppressed line.
#pragma once

#include <cstdarg>
#include <cstdio>

#include "mos/mos_rc.h"
#include "mos/mos_types.h"

enum MosTraceFrequency : UINT32 {
    MOS_FREQ_NONE = 0,
    MOS_FREQ_LOW = 1,
    MOS_FREQ_MED = 2,
    MOS_FREQ_HIGH = 3,
    MOS_FREQ_LAST = 4,
};

// The trace components in value order, each with the level it starts at (quiet components start
// at LOW). The one source of the enumerators, the names and the starting levels.
#define MOS_TRACE__COMPONENT_LIST(X) \
    X(MOS, MED) \
    X(NET, LOW) \
    X(IO, MED) \
    X(MEMPOOL, MED) \
    X(SYNC, MED) \
    X(UTHREAD, MED) \
    X(UTEST, MED) \
    X(EVENTLOG, MED) \
    X(RAID, MED) \
    X(OSTREL_CAP_MGR, MED) \
    X(OSTREL_MULTIHEAD_MGR, MED) \
    X(OSTREL_MULTIHEAD, MED) \
    X(OSTREL_RAID, MED) \
    X(OSTREL_CONTROL, MED) \
    X(OSTREL_NET, MED) \
    X(OSTREL_TGT_MSG, MED) \
    X(OSTREL_TGT, MED) \
    X(OSTREL_V2C, MED) \
    X(OSTREL_KEEPALIVE, MED) \
    X(OSTREL_VOL_MGR, MED) \
    X(OSTREL_REP, MED) \
    X(OSTREL_CARPAD, MED) \
    X(OSTREL_MGR_OBJ, MED) \
    X(OSTREL_OBJ, MED) \
    X(OSTREL_FD_MGR, MED) \
    X(OSTREL_OBJ_CONTAINER, MED) \
    X(OSTREL_INI, MED) \
    X(OSTREL_INI_MSG, MED) \
    X(OSTREL_CLI_MSG, MED) \
    X(OSTREL_UPD_TRCK, MED) \
    X(TGT_GENERAL, MED) \
    X(TGT_CONT, MED) \
    X(TGT_NET, MED) \
    X(TGT_IOH, MED) \
    X(TGT_PHY, MED) \
    X(TGT_RAID, MED) \
    X(TGT_RCACHE, MED) \
    X(TGT_FLCACHE, MED) \
    X(TGT_VTREE, MED) \
    X(TGT_KALIVE, MED) \
    X(ACTOR, MED) \
    X(VOTER, MED) \
    X(SCSI_TARGET, MED) \
    X(THROTTLE, MED) \
    X(RESERVED_44, MED) \
    X(OSTREL_AUTH_MGR, MED) \
    X(DEV_CONT, MED) \
    X(QUILLET_IOCTL, LOW) \
    X(QUILLET_CONF, LOW) \
    X(QUILLET_INIT, LOW) \
    X(QUILLET_BLK, LOW) \
    X(QUILLET_NET, LOW) \
    X(QUILLET_MAP, LOW) \
    X(OSTREL_OBJ_REFERENCE, MED) \
    X(OSTREL_EVENT_LOG, MED) \
    X(T10DIF, MED) \
    X(NET_RPC, LOW) \
    X(NET_PATH_MNGR, LOW) \
    X(TGT_CON_MONITOR, MED) \
    X(OSTREL_CON_MATRIX, MED) \
    X(MOS_UT, MED) \
    X(OSTREL_LDAP_AUTH_MGR, MED) \
    X(OSTREL_NATIVE_AUTH_MGR, MED) \
    X(CONTENTION, MED) \
    X(MOS_PROFILING, LOW) \
    X(SYNCER, MED)

enum MosTraceComponent : UINT32 {
#define MOS_TRACE__COMPONENT_ENUMERATOR(name, level) MOS_COMP_##name,
    MOS_TRACE__COMPONENT_LIST(MOS_TRACE__COMPONENT_ENUMERATOR)
#undef MOS_TRACE__COMPONENT_ENUMERATOR
    MOS_COMP_LAST,
};
static_assert(MOS_COMP_LAST == 66 && MOS_COMP_SYNCER == 65, "component values travel in the packed level map");

// Current level of each component; read without a lock on every trace call.
extern volatile MosTraceFrequency g_componentFreqLevelsArr[MOS_COMP_LAST];
// Printable component names in value order, "LAST" after them.
extern const char *const ptraceComponentsName[MOS_COMP_LAST + 1];

// The packed level map: 2 bits per component, 4 components per byte, room for 80 components.
#define MOS_TRACE__COMPONENT_MAX_VALUE 80u
#define MOS_TRACE__COMPONENTS_IN_EACH_BYTE 4u
#define MOS_TRACE__MAP_SIZE (MOS_TRACE__COMPONENT_MAX_VALUE / MOS_TRACE__COMPONENTS_IN_EACH_BYTE)
// The map as text: two letters per byte (low nibble first) and a terminator.
#define MOS_TRACE__COMPONENTS_MAP_STRING_SIZE ((MOS_TRACE__MAP_SIZE * 2) + 1)
static_assert(MOS_TRACE__MAP_SIZE == 20 && MOS_TRACE__COMPONENTS_MAP_STRING_SIZE == 41);
static_assert(MOS_COMP_LAST <= MOS_TRACE__COMPONENT_MAX_VALUE);

void mosTrace_Do(MosTraceComponent comp, MosTraceFrequency freq, const char *pFormat, ...)
    __attribute__((format(printf, 3, 4)));
// The same line as mosTrace_Do, written straight to the trace file after the lines queued before
// it, so that a full ring cannot drop it: the reason a process ends. Costs a disk write.
void mosTrace_DoThrough(MosTraceComponent comp, MosTraceFrequency freq, const char *pFormat, ...)
    __attribute__((format(printf, 3, 4)));
void mosError_Do(MosTraceComponent comp, MosTraceFrequency freq, const char *pFormat, ...)
    __attribute__((format(printf, 3, 4)));

#define MOS_TRACE_COND(comp, freq) (g_componentFreqLevelsArr[(comp)] >= (freq))

#define MOS_TRACE(comp, freq, format, ...)                                                          \
    do {                                                                                            \
        if (MOS_TRACE_COND(comp, freq))                                                             \
            mosTrace_Do((comp), (freq), "%p:%s:%05u: " format "\n", mosTrace_CurContext(), \
                        __func__, (unsigned)__LINE__, ##__VA_ARGS__);                               \
    } while (0)

#define MOS_NOISE(comp, format, ...) MOS_TRACE(comp, MOS_FREQ_HIGH, format, ##__VA_ARGS__)

#define MOS_ERROR(comp, format, ...)                                                                \
    do {                                                                                            \
        MOS_TRACE(comp, MOS_FREQ_LOW, "ERROR: " format, ##__VA_ARGS__);                             \
        mosError_Do((comp), MOS_FREQ_LOW, "%s:%05u: ERROR: " format "\n", __func__, (unsigned)__LINE__, \
                    ##__VA_ARGS__);                                                                 \
    } while (0)

// A line at LOW level marked as a warning, copied to the error file like an error.
#define MOS_WARNING(comp, format, ...)                                                              \
    do {                                                                                            \
        MOS_TRACE(comp, MOS_FREQ_LOW, "WARNING: " format, ##__VA_ARGS__);                           \
        mosError_Do((comp), MOS_FREQ_LOW, "%s:%05u: WARNING: " format "\n", __func__, (unsigned)__LINE__, \
                    ##__VA_ARGS__);                                                                 \
    } while (0)

#define MOS_TRACE_NAKED(comp, freq, format, ...)                                                    \
    do {                                                                                            \
        if (MOS_TRACE_COND(comp, freq))                                                             \
            printf(format, ##__VA_ARGS__);                                                          \
    } while (0)

// Where kept lines go. The trace layer (mos/mos_trace_layer.h) registers its sink when it
// starts; until then kept lines are dropped.
enum MosTrace_LineKind : UINT32 {
    MOS_TRACE_LINE__QUEUED = 0,  // through the trace file's ring
    MOS_TRACE_LINE__THROUGH = 1, // straight to the trace file (mosTrace_DoThrough)
    MOS_TRACE_LINE__ERROR = 2,   // the copy that MOS_ERROR makes for the error file
};
typedef void (*MosTrace_SinkFunc)(MosTrace_LineKind kind, const char *pFormat, va_list *pAp);
void mosTrace_SetSink(MosTrace_SinkFunc pSink);
// What a line names as its context (the current uthread); the uthread module registers it when
// it starts (null withdraws it), and without it lines name none.
typedef void *(*MosTrace_ContextHook)(void);
void mosTrace_SetContextHook(MosTrace_ContextHook pHook);
void *mosTrace_CurContext(void);

// Levels of the components.
MosTraceFrequency mosTraceConf_GetComponentFreq(MosTraceComponent comp);
void mosTraceConf_SetComponentFrequency(MosTraceComponent comp, MosTraceFrequency level);
void mosTraceConf_SetModifyMode(BOOL bAllowModify);
BOOL mosTraceConf_GetModifyMode(void);

// The packed map and its text form.
void mosTraceConf_Zip(UINT8 *pConfZipped, const MosTraceFrequency *pConfExpFull, UINT32 confZippedArrSize,
                      UINT32 confExpArrSize);
void mosTraceConf_Unzip(const UINT8 *pConfZipped, MosTraceFrequency *pConfExpFull, UINT32 confZippedArrSize,
                        UINT32 confExpArrSize);
void mosTraceConf_GetZipped(UINT8 *pConf, UINT32 confArrSize);
void mosTraceConf_SetFromdZipped(const UINT8 *pConf, UINT32 confArrSize);
void mosTraceConf_MapToString(char *pString, UINT32 stringSize, const UINT8 *pMap, UINT32 mapSize);
void mosTraceConf_GetConfString(char *pStr, UINT32 stringSize);
void mosTraceConf_StringToMap(const char *pString, UINT32 stringSize, UINT8 *pMap, UINT32 mapSize);
// Applies a 40-letter map; a map of another length or with letters outside A to P is refused
// with an error line and the levels stay as they are. Returns whether the map was taken.
BOOL mosTraceConf_SetFromdString(const char *pConfStr, UINT32 strSize);

const char *mosTraceConf_GetCompName(MosTraceComponent comp);
MosTraceComponent mosTraceConf_GetCompEnum(const char *pCompStr);
const char *mosTraceConf_GetFreqName(MosTraceFrequency freq);
MosTraceFrequency mosTraceConf_GetFreqEnum(const char *pfreqStr);
