#include "mos/mos_trace_intrn.h"

#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "mos/mos_assert.h"

volatile MosTraceFrequency g_componentFreqLevelsArr[MOS_COMP_LAST] = {
#define MOS_TRACE__COMPONENT_LEVEL(name, level) MOS_FREQ_##level,
    MOS_TRACE__COMPONENT_LIST(MOS_TRACE__COMPONENT_LEVEL)
#undef MOS_TRACE__COMPONENT_LEVEL
};

const char *const ptraceComponentsName[MOS_COMP_LAST + 1] = {
#define MOS_TRACE__COMPONENT_NAME(name, level) #name,
    MOS_TRACE__COMPONENT_LIST(MOS_TRACE__COMPONENT_NAME)
#undef MOS_TRACE__COMPONENT_NAME
    "LAST",
};

BOOL bTraceAllowModify_G = TRUE;

namespace {
std::atomic<MosTrace_SinkFunc> traceSink_G{nullptr};
std::atomic<MosTrace_ContextHook> traceContextHook_G{nullptr};
constexpr const char *kFreqNames[MOS_FREQ_LAST + 1] = {"None", "Low", "Medium", "High", "Last"};
constexpr UINT32 kMapStringLen = MOS_TRACE__COMPONENTS_MAP_STRING_SIZE - 1;
} // namespace

// ---------------------------------------------------------------------------------------------
// Trace lines

void mosTrace_Do(MosTraceComponent comp, MosTraceFrequency freq, const char *pFormat, ...)
{
    MOS_UNUSED(comp);
    MOS_UNUSED(freq);
    MosTrace_SinkFunc pSink = traceSink_G.load(std::memory_order_acquire);
    if (pSink == nullptr)
        return;
    va_list ap;
    va_start(ap, pFormat);
    pSink(MOS_TRACE_LINE__QUEUED, pFormat, &ap);
    va_end(ap);
}

void mosTrace_DoThrough(MosTraceComponent comp, MosTraceFrequency freq, const char *pFormat, ...)
{
    MOS_UNUSED(comp);
    MOS_UNUSED(freq);
    MosTrace_SinkFunc pSink = traceSink_G.load(std::memory_order_acquire);
    if (pSink == nullptr)
        return;
    va_list ap;
    va_start(ap, pFormat);
    pSink(MOS_TRACE_LINE__THROUGH, pFormat, &ap);
    va_end(ap);
}

void mosError_Do(MosTraceComponent comp, MosTraceFrequency freq, const char *pFormat, ...)
{
    MOS_UNUSED(comp);
    MOS_UNUSED(freq);
    MosTrace_SinkFunc pSink = traceSink_G.load(std::memory_order_acquire);
    if (pSink == nullptr)
        return;
    va_list ap;
    va_start(ap, pFormat);
    pSink(MOS_TRACE_LINE__ERROR, pFormat, &ap);
    va_end(ap);
}

void mosTrace_SetSink(MosTrace_SinkFunc pSink)
{
    traceSink_G.store(pSink, std::memory_order_release);
}

void mosTrace_SetContextHook(MosTrace_ContextHook pHook)
{
    traceContextHook_G.store(pHook, std::memory_order_release);
}

void *mosTrace_CurContext(void)
{
    MosTrace_ContextHook pHook = traceContextHook_G.load(std::memory_order_acquire);
    return pHook != nullptr ? pHook() : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Levels

MosTraceFrequency mosTraceConf_GetComponentFreq(MosTraceComponent comp)
{
    MOS_ASSERT(comp < MOS_COMP_LAST);
    return g_componentFreqLevelsArr[comp];
}

void mosTraceConf_SetComponentFrequency(MosTraceComponent comp, MosTraceFrequency level)
{
    if (!bTraceAllowModify_G) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Ignoring trace freq modification (comp %u, level %u)", (unsigned)comp,
                  (unsigned)level);
        return;
    }
    MOS_ASSERT(comp < MOS_COMP_LAST);
    MOS_ASSERT(level < MOS_FREQ_LAST);
    g_componentFreqLevelsArr[comp] = level;
}

void mosTraceConf_SetModifyMode(BOOL bAllowModify)
{
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Setting modify mode to %d", (int)bAllowModify);
    bTraceAllowModify_G = bAllowModify;
}

BOOL mosTraceConf_GetModifyMode(void)
{
    return bTraceAllowModify_G;
}

// ---------------------------------------------------------------------------------------------
// The packed map and its text

void mosTraceConf_Zip(UINT8 *pConfZipped, const MosTraceFrequency *pConfExpFull, UINT32 confZippedArrSize,
                      UINT32 confExpArrSize)
{
    MOS_ASSERT(confZippedArrSize == 80 / 4);
    MOS_ASSERT(confExpArrSize == MOS_COMP_LAST);
    memset(pConfZipped, 0, confZippedArrSize);
    for (UINT32 c = 0; c < confExpArrSize; c++) {
        UINT32 shift = 2 * (c % MOS_TRACE__COMPONENTS_IN_EACH_BYTE);
        pConfZipped[c / MOS_TRACE__COMPONENTS_IN_EACH_BYTE] |= (UINT8)((pConfExpFull[c] & 3u) << shift);
    }
}

void mosTraceConf_Unzip(const UINT8 *pConfZipped, MosTraceFrequency *pConfExpFull, UINT32 confZippedArrSize,
                        UINT32 confExpArrSize)
{
    MOS_ASSERT(confZippedArrSize == 80 / 4);
    MOS_ASSERT(confExpArrSize == MOS_COMP_LAST);
    for (UINT32 c = 0; c < confExpArrSize; c++) {
        UINT32 shift = 2 * (c % MOS_TRACE__COMPONENTS_IN_EACH_BYTE);
        pConfExpFull[c] = (MosTraceFrequency)((pConfZipped[c / MOS_TRACE__COMPONENTS_IN_EACH_BYTE] >> shift) & 3u);
    }
}

void mosTraceConf_GetZipped(UINT8 *pConf, UINT32 confArrSize)
{
    MosTraceFrequency levels[MOS_COMP_LAST];
    for (UINT32 c = 0; c < MOS_COMP_LAST; c++)
        levels[c] = g_componentFreqLevelsArr[c];
    mosTraceConf_Zip(pConf, levels, confArrSize, MOS_COMP_LAST);
}

void mosTraceConf_SetFromdZipped(const UINT8 *pConf, UINT32 confArrSize)
{
    if (!bTraceAllowModify_G) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Ignoring trace freq modification");
        return;
    }
    // The map arrives from the debug server or a manager command: a wrong size is refused.
    if (pConf == nullptr || confArrSize != MOS_TRACE__MAP_SIZE) {
        MOS_ERROR(MOS_COMP_MOS, "Expected %u sized map, got %u", (unsigned)MOS_TRACE__MAP_SIZE, (unsigned)confArrSize);
        return;
    }
    BOOL bAllZero = TRUE;
    for (UINT32 i = 0; i < confArrSize; i++)
        if (pConf[i] != 0)
            bAllZero = FALSE;
    if (bAllZero) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "received an all zeroes map, ignoring.");
        return;
    }
    MosTraceFrequency levels[MOS_COMP_LAST];
    mosTraceConf_Unzip(pConf, levels, confArrSize, MOS_COMP_LAST);
    for (UINT32 c = 0; c < MOS_COMP_LAST; c++)
        g_componentFreqLevelsArr[c] = levels[c];
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_MED, "Trace frequencies configured from map.");
}

void mosTraceConf_MapToString(char *pString, UINT32 stringSize, const UINT8 *pMap, UINT32 mapSize)
{
    MOS_ASSERT(stringSize == ((80 / 4 * 2) + 1));
    MOS_ASSERT(mapSize == 80 / 4);
    for (UINT32 i = 0; i < mapSize; i++) {
        pString[2 * i] = (char)('A' + (pMap[i] & 0xF));
        pString[2 * i + 1] = (char)('A' + (pMap[i] >> 4));
    }
    pString[stringSize - 1] = '\0';
}

void mosTraceConf_GetConfString(char *pStr, UINT32 stringSize)
{
    UINT8 map[MOS_TRACE__MAP_SIZE];
    mosTraceConf_GetZipped(map, sizeof(map));
    mosTraceConf_MapToString(pStr, stringSize, map, sizeof(map));
}

void mosTraceConf_StringToMap(const char *pString, UINT32 stringSize, UINT8 *pMap, UINT32 mapSize)
{
    MOS_ASSERT(stringSize+1 == ((80 / 4 * 2) + 1));
    MOS_ASSERT(mapSize == 80 / 4);
    memset(pMap, 0, mapSize);
    for (UINT32 i = 0; i < stringSize; i++) {
        char mapVal = pString[i];
        MOS_ASSERT(mapVal >= 'A');
        // A letter past P would spill into the neighbouring nibble.
        MOS_ASSERT(mapVal <= 'P');
        pMap[i / 2] |= (UINT8)((mapVal - 'A') << ((i % 2) * 4));
    }
}

BOOL mosTraceConf_SetFromdString(const char *pConfStr, UINT32 strSize)
{
    if (pConfStr == nullptr || strSize != kMapStringLen) {
        MOS_ERROR(MOS_COMP_MOS, "Expected %u sized string, got %u", (unsigned)MOS_TRACE__COMPONENTS_MAP_STRING_SIZE,
                  (unsigned)strSize);
        return FALSE;
    }
    for (UINT32 i = 0; i < strSize; i++) {
        if (pConfStr[i] < 'A' || pConfStr[i] > 'P') {
            MOS_ERROR(MOS_COMP_MOS, "Trace map %.40s has a letter out of A-P at position %u, map ignored", pConfStr,
                      (unsigned)i);
            return FALSE;
        }
    }
    UINT8 map[MOS_TRACE__MAP_SIZE];
    mosTraceConf_StringToMap(pConfStr, strSize, map, sizeof(map));
    mosTraceConf_SetFromdZipped(map, sizeof(map));
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Names

const char *mosTraceConf_GetCompName(MosTraceComponent comp)
{
    MOS_ASSERT(comp < MOS_COMP_LAST);
    return ptraceComponentsName[comp];
}

MosTraceComponent mosTraceConf_GetCompEnum(const char *pCompStr)
{
    if (pCompStr == nullptr)
        return MOS_COMP_LAST;
    for (UINT32 c = 0; c < MOS_COMP_LAST; c++)
        if (strcasecmp(pCompStr, ptraceComponentsName[c]) == 0)
            return (MosTraceComponent)c;
    return MOS_COMP_LAST;
}

const char *mosTraceConf_GetFreqName(MosTraceFrequency freq)
{
    MOS_ASSERT(freq < MOS_FREQ_LAST);
    return kFreqNames[freq];
}

MosTraceFrequency mosTraceConf_GetFreqEnum(const char *pfreqStr)
{
    if (pfreqStr == nullptr)
        return MOS_FREQ_LAST;
    for (UINT32 f = 0; f < MOS_FREQ_LAST; f++)
        if (strcasecmp(pfreqStr, kFreqNames[f]) == 0)
            return (MosTraceFrequency)f;
    return MOS_FREQ_LAST;
}
