// The RAID-controller tools: storcli and perccli (one dialect, JSON output) for LSI and DELL
// controllers, hpssacli for HP. Each run is the external command runner's (no shell, bounded
// time); its output is read line by line and only the keys below are taken from it.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "mos/mos_trace.h"
#include "mos/usr/linux/mos_process.h"
#include "mos/usr/mos_media_intrn.h"

namespace {

// A number word directly behind its prefix ("/c0", "/v12"); numbers of at most 4 digits.
std::string mosMedia_NumberWord(const char *pPrefix, UINT32 number)
{
    char word[16];
    snprintf(word, sizeof(word), "%s%u", pPrefix, number % 10000);
    return word;
}

// Copies a value into a field of size bytes, keeping at most maxChars characters.
void mosMedia_SetField(char *pField, size_t size, size_t maxChars, std::string_view value)
{
    size_t n = std::min({value.size(), maxChars, size - 1});
    memcpy(pField, value.data(), n);
    pField[n] = '\0';
}

std::string_view mosMedia_Trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// ---------------------------------------------------------------------------------------------
// storcli / perccli: JSON text, one key per line ("Key" : value).

// Whether the line holds the quoted key.
bool mosLsi_HasKey(std::string_view line, std::string_view key)
{
    size_t at = line.find(key);
    return at != std::string_view::npos && at > 0 && line[at - 1] == '"' && at + key.size() < line.size() &&
           line[at + key.size()] == '"';
}

// The value after the first ": ": behind an opening quotation mark, up to the line's last
// quotation mark, or, without one, up to its last comma.
std::string_view mosLsi_Value(std::string_view line)
{
    size_t colon = line.find(": ");
    if (colon == std::string_view::npos)
        return {};
    std::string_view v = line.substr(colon + 2);
    if (!v.empty() && v.front() == '"')
        v.remove_prefix(1);
    size_t end = v.rfind('"');
    if (end == std::string_view::npos)
        end = v.rfind(',');
    return mosMedia_Trim(end == std::string_view::npos ? v : v.substr(0, end));
}

bool mosLsi_IsSuccessStatus(std::string_view line)
{
    size_t at = line.find("\"Status\"");
    return at != std::string_view::npos && line.find(':', at) != std::string_view::npos &&
           line.find("Success") != std::string_view::npos;
}

// A record field that a tool's output fills: its key, where it goes and how many characters stay.
struct MosMedia_Field {
    const char *pKey;
    char *pField;
    size_t size;
    size_t maxChars;
};
#define MOS_MEDIA__FIELD(key, field, maxChars) {(key), (field), sizeof(field), (maxChars)}

// Fills each field from the first line holding its key, while the field is still empty.
void mosLsi_TakeFields(std::string_view line, const MosMedia_Field *pFields, size_t num)
{
    for (size_t i = 0; i < num; i++)
        if (pFields[i].pField[0] == '\0' && mosLsi_HasKey(line, pFields[i].pKey))
            mosMedia_SetField(pFields[i].pField, pFields[i].size, pFields[i].maxChars, mosLsi_Value(line));
}

MosMedia_Tool mosLsi_Tool(MosLsi_Tool tool)
{
    return tool == MOS_LSI__PERCCLI ? MOS_MEDIA_TOOL__PERCCLI : MOS_MEDIA_TOOL__STORCLI;
}

Mos_RC mosLsi_VdOfDevice(const char *devPath, UINT32 *pVd)
{
    return mosMedia_FindScsiID(devPath, nullptr, nullptr, pVd, nullptr);
}

// ---------------------------------------------------------------------------------------------
// hpssacli: "Key: value" lines.

bool mosHp_KeyValue(std::string_view line, std::string_view key, std::string_view *pValue)
{
    std::string_view t = mosMedia_Trim(line);
    if (t.substr(0, key.size()) != key || t.substr(key.size(), 2) != ": ")
        return false;
    *pValue = mosMedia_Trim(t.substr(key.size() + 2));
    return true;
}

// Fills each field from the first "Key: value" line of its key.
void mosHp_TakeFields(std::string_view line, const MosMedia_Field *pFields, size_t num)
{
    std::string_view value;
    for (size_t i = 0; i < num; i++)
        if (pFields[i].pField[0] == '\0' && mosHp_KeyValue(line, pFields[i].pKey, &value))
            mosMedia_SetField(pFields[i].pField, pFields[i].size, pFields[i].maxChars, value);
}

std::string mosHp_SlotWord(UINT32 slot)
{
    return "slot=" + std::to_string(slot);
}

} // namespace

Mos_RC mosMedia_RunTool(MosMedia_Tool tool, std::initializer_list<std::string_view> words,
                        const std::function<void(std::string_view line)> &onLine, BOOL bPrintErr)
{
    std::vector<std::string> args;
    args.emplace_back(mosMedia_ToolPath(tool));
    for (std::string_view w : words)
        args.emplace_back(w);
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int fd = -1;
    Mos_RC rc = mosProcess_RunWithPipe(argv.data(), &fd, bPrintErr);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    FILE *pOut = fdopen(fd, "r");
    if (pOut == nullptr) {
        close(fd);
        return MOS_RC__ERROR;
    }
    char line[MOS_MEDIA__TOOL_LINE_LEN + 1];
    while (fgets(line, sizeof(line), pOut) != nullptr) {
        std::string_view l(line);
        if (!l.empty() && l.back() == '\n')
            l.remove_suffix(1);
        onLine(l);
    }
    fclose(pOut);
    return MOS_RC__SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// LSI and DELL.

Mos_RC mosLsi_GetPDfromVD(MosLsi_Tool tool, UINT32 ctrl, UINT32 vd, UINT32 *pEnclosure, UINT32 *pSlot,
                          UINT32 *pDiskId)
{
    bool bParseFailed = false;
    bool bSuccess = false;
    bool bHaveSlot = false;
    bool bHaveId = false;
    Mos_RC rc = mosMedia_RunTool(
        mosLsi_Tool(tool),
        {mosMedia_NumberWord("/c", ctrl), mosMedia_NumberWord("/v", vd), "show", "all", "J"},
        [&](std::string_view line) {
            if (bParseFailed)
                return;
            if (mosLsi_IsSuccessStatus(line))
                bSuccess = true;
            if (mosLsi_HasKey(line, "EID:Slt") && !bHaveSlot) {
                std::string value(mosLsi_Value(line));
                unsigned enclosure, slot;
                bParseFailed = sscanf(value.c_str(), "%u:%u", &enclosure, &slot) != 2;
                if (!bParseFailed) {
                    *pEnclosure = enclosure;
                    *pSlot = slot;
                    bHaveSlot = true;
                }
            } else if (mosLsi_HasKey(line, "DID") && !bHaveId) {
                std::string value(mosLsi_Value(line));
                char *pEnd = nullptr;
                unsigned long id = strtoul(value.c_str(), &pEnd, 10);
                bParseFailed = value.empty() || *pEnd != '\0' || id > UINT32_MAX;
                if (!bParseFailed) {
                    *pDiskId = (UINT32)id;
                    bHaveId = true;
                }
            }
        },
        TRUE);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    return !bParseFailed && bSuccess && bHaveSlot && bHaveId ? MOS_RC__SUCCESS : MOS_RC__ERROR;
}

Mos_RC mosLsi_GetDiskId(MosLsi_Tool tool, const char *devPath, UINT32 *pDiskId)
{
    UINT32 vd = 0, enclosure = 0, slot = 0;
    Mos_RC rc = mosLsi_VdOfDevice(devPath, &vd);
    return rc != MOS_RC__SUCCESS ? rc : mosLsi_GetPDfromVD(tool, 0, vd, &enclosure, &slot, pDiskId);
}

Mos_RC mosLsi_locateDiskByVd(MosLsi_Tool tool, UINT32 vd, BOOL isStop)
{
    UINT32 enclosure = 0, slot = 0, diskId = 0;
    Mos_RC rc = mosLsi_GetPDfromVD(tool, 0, vd, &enclosure, &slot, &diskId);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    bool bSuccess = false;
    rc = mosMedia_RunTool(mosLsi_Tool(tool),
                          {"/c0", mosMedia_NumberWord("/e", enclosure), mosMedia_NumberWord("/s", slot),
                           isStop ? "stop" : "start", "locate", "J"},
                          [&](std::string_view line) { bSuccess = bSuccess || mosLsi_IsSuccessStatus(line); }, TRUE);
    return rc != MOS_RC__SUCCESS ? rc : bSuccess ? MOS_RC__SUCCESS : MOS_RC__ERROR;
}

Mos_RC mosLsi_locateDisk(MosLsi_Tool tool, const char *devPath, BOOL isStop)
{
    UINT32 vd = 0;
    Mos_RC rc = mosLsi_VdOfDevice(devPath, &vd);
    return rc != MOS_RC__SUCCESS ? rc : mosLsi_locateDiskByVd(tool, vd, isStop);
}

Mos_RC mosLsi_getRaidInfo(MosLsi_Tool tool, UINT32 ctrl, MosMedia_RaidController *pCtrl)
{
    memset(pCtrl, 0, sizeof(*pCtrl));
    const MosMedia_Field fields[] = {
        MOS_MEDIA__FIELD("Model", pCtrl->model, 40),
        MOS_MEDIA__FIELD("OEMID", pCtrl->vendor, 40),
        MOS_MEDIA__FIELD("Serial Number", pCtrl->serialNumber, 40),
        MOS_MEDIA__FIELD("Firmware Package Build", pCtrl->firmwareVersion, 15),
        MOS_MEDIA__FIELD("Driver Version", pCtrl->driverVersion, 15),
        MOS_MEDIA__FIELD("Driver Name", pCtrl->driverName, 40),
        MOS_MEDIA__FIELD("PCI Address", pCtrl->pciAddress, 13),
        MOS_MEDIA__FIELD("Controller Status", pCtrl->status, 11),
        MOS_MEDIA__FIELD("BBU Status", pCtrl->batteryStatus, 11),
    };
    return mosMedia_RunTool(
        mosLsi_Tool(tool), {mosMedia_NumberWord("/c", ctrl), "show", "all", "J"},
        [&](std::string_view line) { mosLsi_TakeFields(line, fields, MOS_ARRAY_SIZE(fields)); }, TRUE);
}

Mos_RC mosLsi_getRaidVdiskInfoByVd(MosLsi_Tool tool, UINT32 vd, MosMedia_InfrequentRaidVdiskMetadata *pVdisk)
{
    memset(pVdisk, 0, sizeof(*pVdisk));
    const MosMedia_Field fields[] = {
        MOS_MEDIA__FIELD("State", pVdisk->status, 11),
        MOS_MEDIA__FIELD("TYPE", pVdisk->type, 7),
        MOS_MEDIA__FIELD("Cache", pVdisk->cache, 19),
    };
    return mosMedia_RunTool(
        mosLsi_Tool(tool), {"/c0", mosMedia_NumberWord("/v", vd), "show", "J"},
        [&](std::string_view line) { mosLsi_TakeFields(line, fields, MOS_ARRAY_SIZE(fields)); }, TRUE);
}

Mos_RC mosLsi_getRaidVdiskInfo(MosLsi_Tool tool, const char *devPath, MosMedia_InfrequentRaidVdiskMetadata *pVdisk)
{
    UINT32 vd = 0;
    Mos_RC rc = mosLsi_VdOfDevice(devPath, &vd);
    return rc != MOS_RC__SUCCESS ? rc : mosLsi_getRaidVdiskInfoByVd(tool, vd, pVdisk);
}

// ---------------------------------------------------------------------------------------------
// HP.

Mos_RC mosHP_getControllers(UINT32 *pSlots, UINT32 *pNumSlots)
{
    *pNumSlots = 0;
    Mos_RC rc = mosMedia_RunTool(
        MOS_MEDIA_TOOL__HPSSACLI, {"ctrl", "all", "show"},
        [&](std::string_view line) {
            size_t at = line.find("Slot ");
            if (at == std::string_view::npos || *pNumSlots >= MOS_MEDIA__HP_MAX_CONTROLLERS)
                return;
            std::string rest(line.substr(at + 5));
            char *pEnd = nullptr;
            unsigned long slot = strtoul(rest.c_str(), &pEnd, 10);
            if (pEnd != rest.c_str())
                pSlots[(*pNumSlots)++] = (UINT32)slot;
        },
        TRUE);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    return *pNumSlots != 0 ? MOS_RC__SUCCESS : MOS_RC__ERROR;
}

Mos_RC mosHp_searchVdisk(UINT32 slot, const char *devPath, MosHp_DiskLocation *pLocation)
{
    bool bFound = false;
    UINT32 drive = 0;
    std::string array;
    Mos_RC rc = mosMedia_RunTool(
        MOS_MEDIA_TOOL__HPSSACLI, {"ctrl", mosHp_SlotWord(slot), "ld", "all", "show", "detail"},
        [&](std::string_view line) {
            if (bFound)
                return;
            std::string_view value;
            std::string_view t = mosMedia_Trim(line);
            if (mosHp_KeyValue(line, "Logical Drive", &value)) {
                drive = (UINT32)strtoul(std::string(value).c_str(), nullptr, 10);
            } else if (t.substr(0, 6) == "array ") {
                array = std::string(mosMedia_Trim(t.substr(6)));
            } else if (mosHp_KeyValue(line, "Disk Name", &value) && value == devPath) {
                // The whole name: /dev/sda must not match /dev/sdaa.
                bFound = true;
            }
        },
        TRUE);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    if (!bFound)
        return MOS_RC__ERROR;
    pLocation->slot = slot;
    pLocation->drive = drive;
    mosMedia_SetField(pLocation->array, sizeof(pLocation->array), MOS_MEDIA__TOOL_LINE_LEN, array);
    return MOS_RC__SUCCESS;
}

Mos_RC mosHp_searchDevice(const char *devPath, MosHp_DiskLocation *pLocation)
{
    UINT32 slots[MOS_MEDIA__HP_MAX_CONTROLLERS];
    UINT32 numSlots = 0;
    Mos_RC rc = mosHP_getControllers(slots, &numSlots);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    for (UINT32 i = 0; i < numSlots; i++)
        if (mosHp_searchVdisk(slots[i], devPath, pLocation) == MOS_RC__SUCCESS)
            return MOS_RC__SUCCESS;
    return MOS_RC__ERROR;
}

Mos_RC mosHp_locateDisk(const char *devPath, BOOL isStop)
{
    MosHp_DiskLocation location{};
    Mos_RC rc = mosHp_searchDevice(devPath, &location);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    return mosMedia_RunTool(MOS_MEDIA_TOOL__HPSSACLI,
                            {"ctrl", mosHp_SlotWord(location.slot), "ld", std::to_string(location.drive), "modify",
                             isStop ? "led=off" : "led=on"},
                            [](std::string_view) {}, TRUE);
}

Mos_RC mosHp_getRaidInfo(UINT32 slot, MosMedia_RaidController *pCtrl)
{
    memset(pCtrl, 0, sizeof(*pCtrl));
    mosMedia_SetField(pCtrl->vendor, sizeof(pCtrl->vendor), 40, "HP");
    const MosMedia_Field fields[] = {
        MOS_MEDIA__FIELD("Serial Number", pCtrl->serialNumber, 40),
        MOS_MEDIA__FIELD("Firmware Version", pCtrl->firmwareVersion, 15),
        MOS_MEDIA__FIELD("Driver Version", pCtrl->driverVersion, 15),
        MOS_MEDIA__FIELD("Driver Name", pCtrl->driverName, 40),
        MOS_MEDIA__FIELD("PCI Address", pCtrl->pciAddress, 13),
        MOS_MEDIA__FIELD("Controller Status", pCtrl->status, 11),
        MOS_MEDIA__FIELD("Battery/Capacitor Status", pCtrl->batteryStatus, 11),
    };
    return mosMedia_RunTool(
        MOS_MEDIA_TOOL__HPSSACLI, {"ctrl", mosHp_SlotWord(slot), "show", "detail"},
        [&](std::string_view line) {
            size_t at = line.find(" in Slot");
            if (at != std::string_view::npos)
                mosMedia_SetField(pCtrl->model, sizeof(pCtrl->model), 40, mosMedia_Trim(line.substr(0, at)));
            mosHp_TakeFields(line, fields, MOS_ARRAY_SIZE(fields));
        },
        TRUE);
}

Mos_RC mosHp_getRaidVdiskInfo(UINT32 slot, UINT32 drive, MosMedia_InfrequentRaidVdiskMetadata *pVdisk)
{
    memset(pVdisk, 0, sizeof(*pVdisk));
    const MosMedia_Field fields[] = {
        MOS_MEDIA__FIELD("Status", pVdisk->status, 11),
        MOS_MEDIA__FIELD("Fault Tolerance", pVdisk->type, 7),
        MOS_MEDIA__FIELD("Caching", pVdisk->cache, 19),
    };
    return mosMedia_RunTool(
        MOS_MEDIA_TOOL__HPSSACLI, {"ctrl", mosHp_SlotWord(slot), "ld", std::to_string(drive), "show", "detail"},
        [&](std::string_view line) {
            mosHp_TakeFields(line, fields, MOS_ARRAY_SIZE(fields));
        },
        TRUE);
}

Mos_RC mosHp_getPdiskSerial(UINT32 slot, const char *pArray, char *pSerial, UINT32 serialSize)
{
    UINT32 numSerials = 0;
    pSerial[0] = '\0';
    Mos_RC rc = mosMedia_RunTool(
        MOS_MEDIA_TOOL__HPSSACLI, {"ctrl", mosHp_SlotWord(slot), "array", pArray, "pd", "all", "show", "detail"},
        [&](std::string_view line) {
            std::string_view value;
            if (mosHp_KeyValue(line, "Serial Number", &value) && numSerials++ == 0)
                mosMedia_SetField(pSerial, serialSize, serialSize - 1, value);
        },
        TRUE);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    if (numSerials > 1) {
        MOS_ERROR(MOS_COMP_RAID, "More than one disk detected on Array %s - Unsupported configuration!", pArray);
        return MOS_RC__INVALID;
    }
    return numSerials == 1 ? MOS_RC__SUCCESS : MOS_RC__ERROR;
}

Mos_RC mosHp_searchDeviceCcissIndex(const char *devPath, UINT32 *pIndex)
{
    MosHp_DiskLocation location{};
    Mos_RC rc = mosHp_searchDevice(devPath, &location);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    char serial[MOS_MEDIA__TEXT_LEN];
    rc = mosHp_getPdiskSerial(location.slot, location.array, serial, sizeof(serial));
    if (rc != MOS_RC__SUCCESS)
        return rc;
    MOS_TRACE(MOS_COMP_RAID, MOS_FREQ_HIGH, "Drive %s physical Serial Number: %s", devPath, serial);
    // The library numbers the controller's disks: ask until one answers with the serial number.
    for (UINT32 index = 0; index < MOS_MEDIA__MAX_CCISS_INDEX; index++) {
        char type[MOS_MEDIA__DEV_TYPE_LEN];
        snprintf(type, sizeof(type), "cciss,%u", index);
        char vendor[64] = {}, model[64] = {}, found[64] = {};
        int ifCode = 0, rpm = 0;
        rc = mosMedia_SmartConst(devPath, type, vendor, model, found, &ifCode, &rpm);
        if (rc != MOS_RC__SUCCESS)
            return rc;
        if (strncmp(found, serial, MOS_MEDIA__TEXT_LEN - 1) == 0) {
            *pIndex = index;
            return MOS_RC__SUCCESS;
        }
    }
    return MOS_RC__ERROR;
}
