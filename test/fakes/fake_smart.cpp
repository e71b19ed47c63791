// A SMART library for tests, loaded as "./smart.so" by media discovery. It answers from a text
// file named by FAKE_SMART_FILE, one line per answer (fields separated by blanks):
//   const  <path> <type> <vendor> <model> <serial> <interface code> <rpm>
//   infreq <path> <type> <firmware> <look-ahead> <write cache> <ATA security> <capacity> <logical>
//          <physical> <failing> <temp> <worst temp> <temp threshold> <EOL> <worst EOL> <EOL threshold>
//   smart  <path> <type> <id>:<value>:<worst>:<threshold> ...
// A call without a matching line fails (returns 1). Every call is appended to FAKE_SMART_LOG as
// "<function> <path> <type>". Built without FAKE_SMART_WITH_SMART_DATA, the library lacks its
// third function.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "mos/usr/mos_media_smart.h"

namespace {

void logCall(const char *pFunc, const char *path, const char *type)
{
    const char *pLog = getenv("FAKE_SMART_LOG");
    if (pLog == nullptr)
        return;
    std::ofstream(pLog, std::ios::app) << pFunc << " " << path << " " << type << "\n";
}

// The rest of the line whose first three words are kind, path and type.
bool findLine(const char *pKind, const char *path, const char *type, std::istringstream *pRest)
{
    const char *pFile = getenv("FAKE_SMART_FILE");
    if (pFile == nullptr)
        return false;
    std::ifstream in(pFile);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string kind, p, t;
        words >> kind >> p >> t;
        if (kind == pKind && p == path && t == type) {
            std::string rest;
            std::getline(words, rest);
            pRest->str(rest);
            return true;
        }
    }
    return false;
}

void copyText(char *pDst, const std::string &s)
{
    snprintf(pDst, MOS_MEDIA_SMART__TEXT_LEN, "%s", s.c_str());
}

} // namespace

extern "C" {

int smartWrap_GetConstMetadata(const char *path, const char *type, char *vendor, char *model, char *serialNumber,
                               int *devType, int *rpm, char *formFactor, int *isSmartEnabled)
{
    logCall("const", path, type);
    std::istringstream rest;
    if (formFactor != nullptr || isSmartEnabled != nullptr || !findLine("const", path, type, &rest))
        return 1;
    std::string v, m, s;
    rest >> v >> m >> s >> *devType >> *rpm;
    copyText(vendor, v);
    copyText(model, m);
    copyText(serialNumber, s);
    return 0;
}

int smartWrap_GetInfreqMetadata(const char *path, const char *type, char *firmware, int *cacheLookAhead,
                                int *writeCache, int *ataSecurity, UINT64 *capacity, UINT64 *logicalSectorSize,
                                UINT64 *physicalSectorSize, int *isMediaFailing, int *temperature,
                                int *worstTemperature, int *temperatureThreshold, int *ssdEndOfLife,
                                int *worstSsdEndOfLife, int *ssdEndOfLifeThreshold)
{
    logCall("infreq", path, type);
    std::istringstream rest;
    if (!findLine("infreq", path, type, &rest))
        return 1;
    std::string fw;
    rest >> fw >> *cacheLookAhead >> *writeCache >> *ataSecurity >> *capacity >> *logicalSectorSize >>
        *physicalSectorSize >> *isMediaFailing >> *temperature >> *worstTemperature >> *temperatureThreshold >>
        *ssdEndOfLife >> *worstSsdEndOfLife >> *ssdEndOfLifeThreshold;
    copyText(firmware, fw);
    return 0;
}

#ifdef FAKE_SMART_WITH_SMART_DATA
int smartWrap_GetSmartData(const char *path, const char *type, int *smartValues, int *worstValues, int *thresholds)
{
    logCall("smart", path, type);
    std::istringstream rest;
    if (!findLine("smart", path, type, &rest))
        return 1;
    for (std::string att; rest >> att;) {
        unsigned id;
        int value, worst, threshold;
        if (sscanf(att.c_str(), "%u:%d:%d:%d", &id, &value, &worst, &threshold) == 4 &&
            id < MOS_MEDIA_SMART__NUM_ATTRIBUTES) {
            smartValues[id] = value;
            worstValues[id] = worst;
            thresholds[id] = threshold;
        }
    }
    return 0;
}
#endif
}
