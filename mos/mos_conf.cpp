#include "mos/mos_conf.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <strings.h>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"

namespace {

constexpr std::string_view kKeyDelims = "= \t\r\n";
constexpr std::string_view kValueLeadSkip = " \t=";
constexpr std::string_view kValueEnd = "\t\r\n";
constexpr std::string_view kTrailingSpace = " \t\r\n\v\f";

// Reads lines whole, however long, so that the tail of a long line is never taken for a line of
// its own.
class MosConf_LineReader {
  public:
    explicit MosConf_LineReader(FILE *pFile) : pFile_(pFile) {}
    ~MosConf_LineReader() { free(pBuf_); }
    MosConf_LineReader(const MosConf_LineReader &) = delete;
    MosConf_LineReader &operator=(const MosConf_LineReader &) = delete;

    bool Next(std::string_view &line)
    {
        ssize_t n = getline(&pBuf_, &cap_, pFile_);
        if (n < 0)
            return false;
        line = std::string_view(pBuf_, (size_t)n);
        return true;
    }

  private:
    FILE *pFile_;
    char *pBuf_ = nullptr;
    size_t cap_ = 0;
};

struct MosConf_Line {
    std::string_view key;   // empty when the line has no token
    std::string_view value; // empty when the key has no value
    bool IsComment() const { return !key.empty() && key.front() == '#'; }
};

MosConf_Line mosConf_SplitLine(std::string_view line)
{
    MosConf_Line out;
    size_t start = line.find_first_not_of(kKeyDelims);
    if (start == std::string_view::npos)
        return out;
    size_t end = line.find_first_of(kKeyDelims, start);
    if (end == std::string_view::npos)
        end = line.size();
    out.key = line.substr(start, end - start);

    // The value starts after the key's own delimiter.
    size_t pos = end < line.size() ? end + 1 : end;
    pos = line.find_first_not_of(kValueLeadSkip, pos);
    if (pos == std::string_view::npos)
        return out;
    std::string_view rest = line.substr(pos);
    rest = rest.substr(0, rest.find_first_of(kValueEnd));
    size_t last = rest.find_last_not_of(kTrailingSpace);
    out.value = last == std::string_view::npos ? std::string_view() : rest.substr(0, last + 1);
    return out;
}

bool mosConf_KeyEquals(std::string_view key, const char *pName)
{
    return strlen(pName) == key.size() && strncasecmp(key.data(), pName, key.size()) == 0;
}

// The value of the first line whose key matches and that has one.
bool mosConf_FindValue(const char *pKeyName, MosConf_Info *pIniInfo, std::string &value)
{
    if (pIniInfo == nullptr || pIniInfo->pFile == nullptr || pKeyName == nullptr)
        return false;
    rewind(pIniInfo->pFile);
    MosConf_LineReader reader(pIniInfo->pFile);
    std::string_view line;
    while (reader.Next(line)) {
        MosConf_Line parsed = mosConf_SplitLine(line);
        if (parsed.key.empty() || parsed.IsComment() || parsed.value.empty())
            continue;
        if (mosConf_KeyEquals(parsed.key, pKeyName)) {
            value.assign(parsed.value);
            return true;
        }
    }
    return false;
}

// Only decimal digits make a number here: "12abc", "-5" and an empty text are refused rather than
// read as a prefix or wrapped around, and so is a number beyond 64 bits.
bool mosConf_ParseUnsigned(const std::string &text, UINT64 *pOut)
{
    if (text.empty())
        return false;
    UINT64 v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        if (__builtin_mul_overflow(v, 10u, &v) || __builtin_add_overflow(v, (UINT64)(c - '0'), &v))
            return false;
    }
    *pOut = v;
    return true;
}

bool mosConf_IsSecretKey(const char *pName)
{
    return strcasestr(pName, "password") != nullptr || strcasestr(pName, "token") != nullptr;
}

void mosConf_CopyString(char *pDst, UINT64 dstSize, const char *pSrc)
{
    if (pDst == nullptr || dstSize == 0)
        return;
    if (pSrc == nullptr)
        pSrc = "";
    size_t n = strnlen(pSrc, dstSize - 1);
    memcpy(pDst, pSrc, n);
    pDst[n] = '\0';
}

bool mosConf_KeyDeclared(std::string_view key, MosConfEntry *const *ppConfEntries, const UINT32 *pNumEntries,
                         UINT32 vectors)
{
    for (UINT32 v = 0; v < vectors; v++) {
        if (ppConfEntries[v] == nullptr)
            continue;
        for (UINT32 i = 0; i < pNumEntries[v]; i++) {
            if (ppConfEntries[v][i].pName != nullptr && mosConf_KeyEquals(key, ppConfEntries[v][i].pName))
                return true;
        }
    }
    return false;
}

// Closes the configuration file on every path out of a function.
struct MosConf_FileGuard {
    MosConf_Info info{};
    explicit MosConf_FileGuard(const char *pFileName)
    {
        info.pFileName = pFileName;
        info.pFile = pFileName != nullptr ? fopen(pFileName, "r") : nullptr;
    }
    ~MosConf_FileGuard()
    {
        if (info.pFile != nullptr)
            fclose(info.pFile);
    }
    MosConf_FileGuard(const MosConf_FileGuard &) = delete;
    MosConf_FileGuard &operator=(const MosConf_FileGuard &) = delete;
};

} // namespace

char *mosConf_GetIniValue(const char *pKeyName, MosConf_Info *pIniInfo, char *pVal)
{
    std::string value;
    if (!mosConf_FindValue(pKeyName, pIniInfo, value) || value.size() >= MOS_CONF__MAX_VALUE_LEN)
        return nullptr;
    memcpy(pVal, value.c_str(), value.size() + 1);
    return pVal;
}

Mos_RC mosConf_GetPrefValueInt(const char *pKeyName, MosConf_Info *pIniInfo, const MosConfEntry_IntParams *pParams)
{
    MOS_ASSERT(pParams->pVar != nullptr);
    *pParams->pVar = pParams->defVal;
    std::string text;
    if (!mosConf_FindValue(pKeyName, pIniInfo, text))
        return MOS_RC__NOT_FOUND;
    UINT64 v = 0;
    if (!mosConf_ParseUnsigned(text, &v)) {
        if (mosConf_IsSecretKey(pKeyName))
            MOS_ERROR(MOS_COMP_MOS, "Configuration key %s: value is not a number, keeping the default %lu", pKeyName,
                      pParams->defVal);
        else
            MOS_ERROR(MOS_COMP_MOS, "Configuration key %s: value \"%.64s\" is not a number, keeping the default %lu",
                      pKeyName, text.c_str(), pParams->defVal);
        return MOS_RC__INVALID;
    }
    if (pParams->multiple != 0 && v % pParams->multiple != 0)
        return MOS_RC__PARAMETER_OUT_OF_RANGE;
    if (v < pParams->minValue || v > pParams->maxValue)
        return MOS_RC__PARAMETER_OUT_OF_RANGE;
    *pParams->pVar = v;
    return MOS_RC__SUCCESS;
}

Mos_RC mosConf_GetPrefValueBool(const char *pKeyName, MosConf_Info *pIniInfo, const MosConfEntry_BoolParams *pParams)
{
    MOS_ASSERT(pParams->pBVar != nullptr);
    *pParams->pBVar = pParams->bDefValue;
    std::string text;
    if (!mosConf_FindValue(pKeyName, pIniInfo, text))
        return MOS_RC__NOT_FOUND;
    // A signed decimal reading: text without digits is 0 (false) and a negative value is kept
    // (it is true wherever the flag is tested for non-zero).
    long long v = strtoll(text.c_str(), nullptr, 10);
    if (v > 1)
        return MOS_RC__PARAMETER_OUT_OF_RANGE;
    *pParams->pBVar = v < INT32_MIN ? INT32_MIN : (BOOL)v;
    return MOS_RC__SUCCESS;
}

Mos_RC mosConf_GetPrefValueString(const char *pKeyName, MosConf_Info *pIniInfo,
                                  const MosConfEntry_StringParams *pParams)
{
    std::string text;
    Mos_RC rc = MOS_RC__SUCCESS;
    const char *pChosen = pParams->pDefString;
    if (!mosConf_FindValue(pKeyName, pIniInfo, text))
        rc = MOS_RC__NOT_FOUND;
    else if (text.size() >= pParams->maxStringSize)
        rc = MOS_RC__PARAMETER_OUT_OF_RANGE;
    else
        pChosen = text.c_str();
    mosConf_CopyString(pParams->pValString, pParams->maxStringSize, pChosen);
    return rc;
}

char *mosConf_GetToken(MosConf_Info *pIniInfo, BOOL bFisrt, char *pVal)
{
    if (pIniInfo == nullptr || pIniInfo->pFile == nullptr)
        return nullptr;
    if (bFisrt)
        rewind(pIniInfo->pFile);
    MosConf_LineReader reader(pIniInfo->pFile);
    std::string_view line;
    while (reader.Next(line)) {
        MosConf_Line parsed = mosConf_SplitLine(line);
        if (parsed.key.empty() || parsed.IsComment())
            continue;
        std::string key(parsed.key);
        mosConf_CopyString(pVal, MOS_CONF__MAX_VALUE_LEN, key.c_str());
        return pVal;
    }
    return nullptr;
}

Mos_RC mosConf_ProcessFile(const char *pFileName, MosConfEntry *const *ppConfEntries, const UINT32 *pNumEntries,
                           UINT32 vectors)
{
    MosConf_FileGuard file(pFileName);
    if (vectors != 0 && (ppConfEntries == nullptr || pNumEntries == nullptr))
        return MOS_RC__INVALID;
    for (UINT32 v = 0; v < vectors; v++) {
        if (ppConfEntries[v] == nullptr) {
            if (pNumEntries[v] != 0)
                return MOS_RC__INVALID;
            continue;
        }
        for (UINT32 i = 0; i < pNumEntries[v]; i++) {
            MosConfEntry *pEntry = &ppConfEntries[v][i];
            switch (pEntry->type) {
            case MOS_CONF_ENTRY_TYPE__INT:
                mosConf_GetPrefValueInt(pEntry->pName, &file.info, &pEntry->params.intParams);
                break;
            case MOS_CONF_ENTRY_TYPE__BOOL:
                mosConf_GetPrefValueBool(pEntry->pName, &file.info, &pEntry->params.boolParams);
                break;
            case MOS_CONF_ENTRY_TYPE__STRING:
                mosConf_GetPrefValueString(pEntry->pName, &file.info, &pEntry->params.stringParams);
                break;
            default:
                MOS_ERROR(MOS_COMP_MOS, "Configuration entry %s has unknown type %u",
                          pEntry->pName != nullptr ? pEntry->pName : "(null)", (unsigned)pEntry->type);
                return MOS_RC__INVALID;
            }
        }
    }
    return MOS_RC__SUCCESS;
}

UINT32 mosConf_ValidateConfFile(const char *pFileName, MosConfEntry *const *ppConfEntries, const UINT32 *pNumEntries,
                                UINT32 vectors)
{
    MosConf_FileGuard file(pFileName);
    if (file.info.pFile == nullptr)
        return 0;
    UINT32 unknown = 0;
    MosConf_LineReader reader(file.info.pFile);
    std::string_view line;
    while (reader.Next(line)) {
        MosConf_Line parsed = mosConf_SplitLine(line);
        if (parsed.key.empty() || parsed.IsComment())
            continue;
        if (vectors != 0 && mosConf_KeyDeclared(parsed.key, ppConfEntries, pNumEntries, vectors))
            continue;
        unknown++;
        std::string key(parsed.key);
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_MED, "Unknown token %s", key.c_str());
    }
    return unknown;
}

BOOL mosConf_FormatEntry(const MosConfEntry *pEntry, BOOL bPrintAll, char *pBuf, size_t bufSize)
{
    if (mosConf_IsSecretKey(pEntry->pName)) {
        snprintf(pBuf, bufSize, "Skipping printout of %s", pEntry->pName);
        return TRUE;
    }
    switch (pEntry->type) {
    case MOS_CONF_ENTRY_TYPE__BOOL: {
        const MosConfEntry_BoolParams &p = pEntry->params.boolParams;
        if (!bPrintAll && *p.pBVar == p.bDefValue)
            return FALSE;
        snprintf(pBuf, bufSize, "Conf: %s = %u (%u)", pEntry->pName, (unsigned)*p.pBVar, (unsigned)p.bDefValue);
        return TRUE;
    }
    case MOS_CONF_ENTRY_TYPE__INT: {
        const MosConfEntry_IntParams &p = pEntry->params.intParams;
        if (!bPrintAll && *p.pVar == p.defVal)
            return FALSE;
        snprintf(pBuf, bufSize, "Conf: %s = %lu (%lu)", pEntry->pName, *p.pVar, p.defVal);
        return TRUE;
    }
    case MOS_CONF_ENTRY_TYPE__STRING: {
        const MosConfEntry_StringParams &p = pEntry->params.stringParams;
        const char *pDef = p.pDefString != nullptr ? p.pDefString : "";
        if (!bPrintAll && strncmp(p.pValString, pDef, p.maxStringSize) == 0)
            return FALSE;
        snprintf(pBuf, bufSize, "Conf: %s = %s (%s)", pEntry->pName, p.pValString, pDef);
        return TRUE;
    }
    default:
        MOS_UNREACHABLE("Unknown configuration entry type");
    }
}

void mosConf_Trace(const MosConfEntry *pEntries, UINT32 numEntries, BOOL bPrintAll)
{
    if (!MOS_TRACE_COND(MOS_COMP_MOS, MOS_FREQ_LOW))
        return;
    char line[1024];
    for (UINT32 i = 0; i < numEntries; i++) {
        if (mosConf_FormatEntry(&pEntries[i], bPrintAll, line, sizeof(line)))
            MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "%s", line);
    }
}
