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

enum MosTraceComponent : UINT32 {
    MOS_COMP_MOS = 0,
    MOS_COMP_NET = 1,
    MOS_COMP_IO = 2,
    MOS_COMP_MEMPOOL = 3,
    MOS_COMP_SYNC = 4,
    MOS_COMP_UTHREAD = 5,
    MOS_COMP_UTEST = 6,
    MOS_COMP_EVENTLOG = 7,
    MOS_COMP_RAID = 8,
    MOS_COMP_OSTREL_CAP_MGR = 9,
    MOS_COMP_OSTREL_MULTIHEAD_MGR = 10,
    MOS_COMP_OSTREL_MULTIHEAD = 11,
    MOS_COMP_OSTREL_RAID = 12,
    MOS_COMP_OSTREL_CONTROL = 13,
    MOS_COMP_OSTREL_NET = 14,
    MOS_COMP_OSTREL_TGT_MSG = 15,
    MOS_COMP_OSTREL_TGT = 16,
    MOS_COMP_OSTREL_V2C = 17,
    MOS_COMP_OSTREL_KEEPALIVE = 18,
    MOS_COMP_OSTREL_VOL_MGR = 19,
    MOS_COMP_OSTREL_REP = 20,
    MOS_COMP_OSTREL_CARPAD = 21,
    MOS_COMP_OSTREL_MGR_OBJ = 22,
    MOS_COMP_OSTREL_OBJ = 23,
    MOS_COMP_OSTREL_FD_MGR = 24,
    MOS_COMP_OSTREL_OBJ_CONTAINER = 25,
    MOS_COMP_OSTREL_INI = 26,
    MOS_COMP_OSTREL_INI_MSG = 27,
    MOS_COMP_OSTREL_CLI_MSG = 28,
    MOS_COMP_OSTREL_UPD_TRCK = 29,
    MOS_COMP_TGT_GENERAL = 30,
    MOS_COMP_TGT_CONT = 31,
    MOS_COMP_TGT_NET = 32,
    MOS_COMP_TGT_IOH = 33,
    MOS_COMP_TGT_PHY = 34,
    MOS_COMP_TGT_RAID = 35,
    MOS_COMP_TGT_RCACHE = 36,
    MOS_COMP_TGT_FLCACHE = 37,
    MOS_COMP_TGT_VTREE = 38,
    MOS_COMP_TGT_KALIVE = 39,
    MOS_COMP_ACTOR = 40,
    MOS_COMP_VOTER = 41,
    MOS_COMP_SCSI_TARGET = 42,
    MOS_COMP_THROTTLE = 43,
    MOS_COMP_RESERVED_44 = 44,
    MOS_COMP_OSTREL_AUTH_MGR = 45,
    MOS_COMP_DEV_CONT = 46,
    MOS_COMP_QUILLET_IOCTL = 47,
    MOS_COMP_QUILLET_CONF = 48,
    MOS_COMP_QUILLET_INIT = 49,
    MOS_COMP_QUILLET_BLK = 50,
    MOS_COMP_QUILLET_NET = 51,
    MOS_COMP_QUILLET_MAP = 52,
    MOS_COMP_OSTREL_OBJ_REFERENCE = 53,
    MOS_COMP_OSTREL_EVENT_LOG = 54,
    MOS_COMP_T10DIF = 55,
    MOS_COMP_NET_RPC = 56,
    MOS_COMP_NET_PATH_MNGR = 57,
    MOS_COMP_TGT_CON_MONITOR = 58,
    MOS_COMP_OSTREL_CON_MATRIX = 59,
    MOS_COMP_MOS_UT = 60,
    MOS_COMP_OSTREL_LDAP_AUTH_MGR = 61,
    MOS_COMP_OSTREL_NATIVE_AUTH_MGR = 62,
    MOS_COMP_CONTENTION = 63,
    MOS_COMP_MOS_PROFILING = 64,
    MOS_COMP_SYNCER = 65,
    MOS_COMP_LAST = 66,
};

// Current level of each component; read without a lock on every trace call.
extern volatile MosTraceFrequency g_componentFreqLevelsArr[MOS_COMP_LAST];
// Printable component names in value order, "LAST" after them.
extern const char *const ptraceComponentsName[MOS_COMP_LAST + 1];
extern BOOL bTraceAllowModify_G;

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
