// Configuration entries and the configuration file.
//
// Each component declares its keys as a table of MosConfEntry. At start-up every table is filled
// from one text file: a missing, malformed or out-of-range value leaves the variable at its
// default, unknown keys in the file are only reported, and the result can be printed to the trace.
#pragma once

#include <cstdio>

#include "mos/mos_rc.h"
#include "mos/mos_types.h"

enum MosConfEntry_Type : UINT32 {
    MOS_CONF_ENTRY_TYPE__INT = 1,
    MOS_CONF_ENTRY_TYPE__BOOL = 2,
    MOS_CONF_ENTRY_TYPE__STRING = 3,
};

struct MosConfEntry_IntParams {
    UINT64 *pVar;
    void *pPad;
    UINT64 minValue;
    UINT64 maxValue;
    UINT64 multiple;
    UINT64 defVal;
};

struct MosConfEntry_BoolParams {
    BOOL *pBVar;
    void *pPad;
    BOOL bDefValue;
};

struct MosConfEntry_StringParams {
    char *pValString;       // receives the value
    const char *pDefString;
    UINT64 maxStringSize;   // size of pValString, terminator included
};

struct MosConfEntry {
    const char *pName;
    MosConfEntry_Type type;
    union {
        MosConfEntry_IntParams intParams;
        MosConfEntry_BoolParams boolParams;
        MosConfEntry_StringParams stringParams;
    } params;
};

struct MosConf_Info {
    FILE *pFile;            // null when the file could not be opened
    const char *pFileName;
};

// Size of the caller's buffer for mosConf_GetIniValue and of every runtime string key.
constexpr UINT32 MOS_CONF__MAX_VALUE_LEN = 256;

// Table builders, so that a table reads as one row per key.
constexpr MosConfEntry mosConf_IntEntry(const char *pName, UINT64 *pVar, UINT64 minValue, UINT64 maxValue,
                                        UINT64 multiple, UINT64 defVal)
{
    return MosConfEntry{pName, MOS_CONF_ENTRY_TYPE__INT,
                        {.intParams = {pVar, nullptr, minValue, maxValue, multiple, defVal}}};
}

constexpr MosConfEntry mosConf_BoolEntry(const char *pName, BOOL *pBVar, BOOL bDefValue)
{
    return MosConfEntry{pName, MOS_CONF_ENTRY_TYPE__BOOL, {.boolParams = {pBVar, nullptr, bDefValue}}};
}

constexpr MosConfEntry mosConf_StringEntry(const char *pName, char *pValString, const char *pDefString,
                                           UINT64 maxStringSize)
{
    return MosConfEntry{pName, MOS_CONF_ENTRY_TYPE__STRING, {.stringParams = {pValString, pDefString, maxStringSize}}};
}

// Fills every entry of every vector from the file (or with its default when the file cannot be
// opened or the key is absent). MOS_RC__INVALID for an entry of an unknown type or a missing table;
// the entries before it have been filled.
Mos_RC mosConf_ProcessFile(const char *pFileName, MosConfEntry *const *ppConfEntries, const UINT32 *pNumEntries,
                           UINT32 vectors);

// The value text of a key in the caller's buffer of MOS_CONF__MAX_VALUE_LEN characters, or null when
// the key has no value in the file. A value too long for the buffer is not returned.
char *mosConf_GetIniValue(const char *pKeyName, MosConf_Info *pIniInfo, char *pVal);

// Fill one variable. Results: MOS_RC__SUCCESS when the file's value was taken, MOS_RC__NOT_FOUND when
// the key has no value (default stored), MOS_RC__PARAMETER_OUT_OF_RANGE when the value was refused
// for its range, multiple or length, and MOS_RC__INVALID when an integer key's value is not a
// number (default stored, error line naming the key).
Mos_RC mosConf_GetPrefValueInt(const char *pKeyName, MosConf_Info *pIniInfo, const MosConfEntry_IntParams *pParams);
Mos_RC mosConf_GetPrefValueBool(const char *pKeyName, MosConf_Info *pIniInfo, const MosConfEntry_BoolParams *pParams);
Mos_RC mosConf_GetPrefValueString(const char *pKeyName, MosConf_Info *pIniInfo,
                                  const MosConfEntry_StringParams *pParams);

// The key of the next line that has one and is not a comment (from the start of the file when
// bFisrt is TRUE), copied into pVal (MOS_CONF__MAX_VALUE_LEN characters, cut if longer); null at the end.
char *mosConf_GetToken(MosConf_Info *pIniInfo, BOOL bFisrt, char *pVal);

// Traces every key of the file that no vector declares. Returns how many lines had such a key.
UINT32 mosConf_ValidateConfFile(const char *pFileName, MosConfEntry *const *ppConfEntries, const UINT32 *pNumEntries,
                                UINT32 vectors);

// Prints one table to the trace: every entry when bPrintAll, else only those that differ from
// their defaults. Values of keys that contain "password" or "token" are never printed.
void mosConf_Trace(const MosConfEntry *pEntries, UINT32 numEntries, BOOL bPrintAll);

// The text that mosConf_Trace prints for one entry, without the trace line's prefix; FALSE when
// the entry is not printed. An entry of an unknown type is a panic.
BOOL mosConf_FormatEntry(const MosConfEntry *pEntry, BOOL bPrintAll, char *pBuf, size_t bufSize);
