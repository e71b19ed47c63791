#include "mos/usr/mos_media.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <scsi/scsi.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mos/mos_trace.h"
#include "mos/usr/linux/mos_dynamic_lib.h"
#include "mos/usr/mos_media_intrn.h"
#include "mos/usr/mos_media_smart.h"

MosMediaLayer mosMediaLayer_G;

namespace {

// The library and its functions. Queries hold the lock for reading while they call into the
// library, so that closing it waits for them; opening and closing hold it for writing.
struct MosMedia_SmartLib {
    MosDynamicLibHandle handle;
    SmartWrap_GetConstMetadataFn pGetConst;
    SmartWrap_GetInfreqMetadataFn pGetInfreq;
    SmartWrap_GetSmartDataFn pGetSmartData;
};
MosMedia_SmartLib smartLib_G;
pthread_rwlock_t smartLibLock_G = PTHREAD_RWLOCK_INITIALIZER;

class SmartLibReadHold {
  public:
    SmartLibReadHold() { pthread_rwlock_rdlock(&smartLibLock_G); }
    ~SmartLibReadHold() { pthread_rwlock_unlock(&smartLibLock_G); }
    SmartLibReadHold(const SmartLibReadHold &) = delete;
    SmartLibReadHold &operator=(const SmartLibReadHold &) = delete;
};

constexpr const char *kDefaultToolPaths[3] = {MOS_MEDIA__STORCLI_PATH, MOS_MEDIA__PERCCLI_PATH,
                                              MOS_MEDIA__HPSSACLI_PATH};

#define MOS_MEDIA__SMART_ATT_NAMES(X)                                                                  \
    X(1, "Read Error Rate") X(2, "Throughput Performance") X(3, "Spin-Up Time") X(4, "Start/Stop Count") \
    X(5, "Reallocated Sectors Count") X(6, "Read Channel Margin") X(7, "Seek Error Rate")                \
    X(8, "Seek Time Performance") X(9, "Power-On Hours Count") X(10, "Spin-up Retries")                  \
    X(11, "Calibration Retries") X(12, "Power Cycle Count") X(13, "Soft Read Error Rate")                \
    X(22, "Current Helium Level") X(100, "Erase/Program Cycles") X(103, "Translation Table Rebuild")     \
    X(108, "Unknown (108)") X(170, "Reserved Block Count") X(171, "Program Fail Count")                   \
    X(172, "Erase Fail Count") X(173, "Wear Leveller Worst Case Erase Count")                            \
    X(174, "Unexpected Power Loss") X(175, "Program Fail Count") X(176, "Erase Fail Count")              \
    X(177, "Wear Leveling Count") X(178, "Used Reserved Block Count") X(179, "Used Reserved Block Count") \
    X(180, "Unused Reserved Block Count") X(181, "Program Fail Count") X(182, "Erase Fail Count")         \
    X(183, "SATA Downshifts") X(184, "End-to-End error") X(185, "Head Stability")                        \
    X(186, "Induced Op-Vibration Detection") X(187, "Reported Uncorrectable Errors")                     \
    X(188, "Command Timeout") X(189, "High Fly Writes") X(190, "Temperature") X(191, "G-Sense Errors")    \
    X(192, "Power-Off Retract Cycles") X(193, "Load/Unload Cycles") X(194, "Temperature")                \
    X(195, "Hardware ECC Recovered") X(196, "Reallocation Events") X(197, "Current Pending Sectors")      \
    X(198, "Off-line Uncorrectable") X(199, "UDMA CRC Error Rate") X(200, "Write Error Rate")             \
    X(201, "Soft Read Errors") X(202, "Data Address Mark Errors") X(203, "Run Out Cancel")                \
    X(204, "Soft ECC Corrections") X(205, "Thermal Asperity Rate") X(206, "Flying Height")               \
    X(207, "Spin High Current") X(208, "Spin Buzz") X(209, "Offline Seek Performance")                   \
    X(210, "Vibration During Write") X(211, "Vibration During Write") X(212, "Shock During Write")        \
    X(220, "Disk Shift") X(221, "G-Sense Error Rate") X(222, "Loaded Hours") X(223, "Load/Unload Retries") \
    X(224, "Load Friction") X(225, "Load/Unload Cycles") X(226, "Load-in Time")                          \
    X(227, "Torque Amplification Count") X(228, "Power-Off Retracts") X(230, "GMR Head Amplitude")        \
    X(231, "Temperature") X(232, "Available Reserved Space") X(233, "Media Wearout Indicator")            \
    X(234, "Average erase count AND Maximum Erase Count")                                                \
    X(235, "Good Block Count AND System(Free) Block Count") X(240, "Head Flying Hours")                  \
    X(241, "Total LBAs Written") X(242, "Total LBAs Read") X(243, "Total LBAs Written Expanded")          \
    X(244, "Total LBAs Read Expanded") X(249, "NAND_Writes_1GiB") X(250, "Read Error Retry Rate")        \
    X(251, "Minimum Spares Remaining") X(252, "Newly Added Bad Flash Block") X(254, "Free Fall Protection")

constexpr auto kSmartAttNames = [] {
    std::array<const char *, MOS_MEDIA__SMART_ATTRIBUTES_NUM> names{};
#define MOS_MEDIA__SMART_ATT_NAME(id, name) names[id] = (name);
    MOS_MEDIA__SMART_ATT_NAMES(MOS_MEDIA__SMART_ATT_NAME)
#undef MOS_MEDIA__SMART_ATT_NAME
    return names;
}();

// Copies a text into a field, cut to at most maxChars characters.
void mosMedia_CopyText(char *pDst, size_t dstSize, const char *pSrc, size_t maxChars)
{
    size_t n = strnlen(pSrc, maxChars);
    n = n < dstSize ? n : dstSize - 1;
    memcpy(pDst, pSrc, n);
    pDst[n] = '\0';
}

BOOL mosMedia_SwitchOn(MosMedia_RaidCtrl kind, BOOL bVdisk)
{
    const MosMedia_InitParams &p = mosMediaLayer_G.params;
    switch (kind) {
    case RAID_CTRL__LSI:
        return bVdisk ? p.bEnableLsiVirtualDiskQuery : p.bEnableLsiGeneralInfoQuery;
    case RAID_CTRL__HP:
        return bVdisk ? p.bEnableHpVirtualDiskQuery : p.bEnableHpGeneralInfoQuery;
    case RAID_CTRL__DELL:
        return bVdisk ? p.bEnableDellVirtualDiskQuery : p.bEnableDellGeneralInfoQuery;
    default:
        return FALSE;
    }
}

MosLsi_Tool mosMedia_LsiTool(MosMedia_RaidCtrl kind)
{
    return kind == RAID_CTRL__DELL ? MOS_LSI__PERCCLI : MOS_LSI__STORCLI;
}

// Identity with "scsi", else with "ata"; the type that answered into pType.
Mos_RC mosMedia_IdentityScsiOrAta(const char *devPath, MosMedia_ConstMetadata *pRecord, const char **ppType)
{
    *ppType = "scsi";
    Mos_RC rc = mosMedia_FillConstMetadata(devPath, *ppType, pRecord);
    if (rc != MOS_RC__SUCCESS) {
        *ppType = "ata";
        rc = mosMedia_FillConstMetadata(devPath, *ppType, pRecord);
    }
    return rc;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Layer and library.

Mos_RC mosMediaLayer_Create(const MosMedia_InitParams *pParams)
{
    memset(&mosMediaLayer_G.params, 0, sizeof(mosMediaLayer_G.params));
    if (pParams != nullptr)
        mosMediaLayer_G.params = *pParams;
    return MOS_RC__SUCCESS;
}

void mosMediaLayer_Destroy(void) {}

void mosMedia_SetToolPaths(const char *pStorcli, const char *pPerccli, const char *pHpssacli)
{
    mosMediaLayer_G.pToolPaths[MOS_MEDIA_TOOL__STORCLI] = pStorcli;
    mosMediaLayer_G.pToolPaths[MOS_MEDIA_TOOL__PERCCLI] = pPerccli;
    mosMediaLayer_G.pToolPaths[MOS_MEDIA_TOOL__HPSSACLI] = pHpssacli;
}

const char *mosMedia_ToolPath(MosMedia_Tool tool)
{
    const char *pPath = mosMediaLayer_G.pToolPaths[tool];
    return pPath != nullptr ? pPath : kDefaultToolPaths[tool];
}

Mos_RC mosMedia_Init(void)
{
    MOS_TRACE(MOS_COMP_RAID, MOS_FREQ_LOW, "Initializing SMART library.");
    pthread_rwlock_wrlock(&smartLibLock_G);
    Mos_RC rc = MOS_RC__SUCCESS;
    if (smartLib_G.handle != nullptr) {
        // Queries may be using it: a second start leaves it open.
        MOS_ERROR(MOS_COMP_RAID, "Library %d is already open", (int)MOS_DYNAMIC_LIBRARY_ID__SMARTCTL);
        rc = MOS_RC__LDAP_UNINITIALIZED;
    } else if ((smartLib_G.handle = mosDynamicLib_Open(MOS_DYNAMIC_LIBRARY_ID__SMARTCTL)) == nullptr) {
        MOS_ERROR(MOS_COMP_RAID, "Failed to open SMART dynamic libraries");
        rc = MOS_RC__LDAP_UNINITIALIZED;
    } else {
        smartLib_G.pGetConst = reinterpret_cast<SmartWrap_GetConstMetadataFn>(
            mosDynamicLib_Load(smartLib_G.handle, MOS_MEDIA_SMART__GET_CONST));
        smartLib_G.pGetInfreq = reinterpret_cast<SmartWrap_GetInfreqMetadataFn>(
            mosDynamicLib_Load(smartLib_G.handle, MOS_MEDIA_SMART__GET_INFREQ));
        smartLib_G.pGetSmartData = reinterpret_cast<SmartWrap_GetSmartDataFn>(
            mosDynamicLib_Load(smartLib_G.handle, MOS_MEDIA_SMART__GET_SMART_DATA));
        if (smartLib_G.pGetConst == nullptr || smartLib_G.pGetInfreq == nullptr || smartLib_G.pGetSmartData == nullptr) {
            mosDynamicLib_Close(smartLib_G.handle);
            smartLib_G = MosMedia_SmartLib{};
            MOS_ERROR(MOS_COMP_RAID, "Failed to load SMART functions");
            rc = MOS_RC__LDAP_UNINITIALIZED;
        }
    }
    pthread_rwlock_unlock(&smartLibLock_G);
    return rc;
}

void mosMedia_Destroy(void)
{
    MOS_TRACE(MOS_COMP_RAID, MOS_FREQ_LOW, "Closing SMART library.");
    pthread_rwlock_wrlock(&smartLibLock_G);
    if (smartLib_G.handle != nullptr)
        mosDynamicLib_Close(smartLib_G.handle);
    smartLib_G = MosMedia_SmartLib{};
    pthread_rwlock_unlock(&smartLibLock_G);
}

Mos_RC mosMedia_SmartConst(const char *devPath, const char *pType, char *pVendor, char *pModel, char *pSerial,
                           int *pIfCode, int *pRpm)
{
    SmartLibReadHold hold;
    if (smartLib_G.pGetConst == nullptr)
        return MOS_RC__ERROR;
    return smartLib_G.pGetConst(devPath, pType, pVendor, pModel, pSerial, pIfCode, pRpm, nullptr, nullptr) == 0
               ? MOS_RC__SUCCESS
               : MOS_RC__ERROR;
}

// ---------------------------------------------------------------------------------------------
// The three library records.

Mos_RC mosMedia_FillConstMetadata(const char *devPath, const char *pType, MosMedia_ConstMetadata *pRecord)
{
    char vendor[MOS_MEDIA_SMART__TEXT_LEN] = {};
    char model[MOS_MEDIA_SMART__TEXT_LEN] = {};
    char serial[MOS_MEDIA_SMART__TEXT_LEN] = {};
    int ifCode = 0;
    int rpm = 0;
    Mos_RC rc = mosMedia_SmartConst(devPath, pType, vendor, model, serial, &ifCode, &rpm);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    mosMedia_CopyText(pRecord->vendor, sizeof(pRecord->vendor), vendor, MOS_MEDIA__TEXT_LEN - 1);
    mosMedia_CopyText(pRecord->model, sizeof(pRecord->model), model, MOS_MEDIA__TEXT_LEN - 1);
    mosMedia_CopyText(pRecord->serialNumber, sizeof(pRecord->serialNumber), serial, MOS_MEDIA__TEXT_LEN - 1);
    pRecord->devType = ifCode == 0 ? 2 : 1;
    pRecord->mediaType = rpm == 1 ? MEDIA_TYPE__SSD : rpm <= 0 ? MEDIA_TYPE__UNKNOWN : MEDIA_TYPE__HDD;
    return MOS_RC__SUCCESS;
}

Mos_RC mosMedia_FillInfreqMetadata(const char *devPath, const char *pType, MosMedia_InfrequentMetadata *pRecord)
{
    pRecord->capacity = 0;
    pRecord->logicalSectorSize = 0;
    pRecord->physicalSectorSize = 0;
    char firmware[MOS_MEDIA_SMART__TEXT_LEN] = {};
    int cacheLookAhead = 0, writeCache = 0, ataSecurity = 0, failing = 0;
    UINT64 capacity = 0, logical = 0, physical = 0;
    int temp = 0, worstTemp = 0, tempThreshold = -1, eol = 0, worstEol = 0, eolThreshold = -1;
    int libRc;
    {
        SmartLibReadHold hold;
        if (smartLib_G.pGetInfreq == nullptr)
            return MOS_RC__ERROR;
        libRc = smartLib_G.pGetInfreq(devPath, pType, firmware, &cacheLookAhead, &writeCache, &ataSecurity, &capacity,
                                      &logical, &physical, &failing, &temp, &worstTemp, &tempThreshold, &eol,
                                      &worstEol, &eolThreshold);
    }
    if (libRc != 0)
        return MOS_RC__ERROR;
    mosMedia_CopyText(pRecord->firmwareVersion, sizeof(pRecord->firmwareVersion), firmware, 8);
    pRecord->capacity = capacity;
    pRecord->logicalSectorSize = logical;
    pRecord->physicalSectorSize = physical;
    pRecord->cacheLookAhead = cacheLookAhead != 0;
    pRecord->writeCache = writeCache != 0;
    pRecord->ataSecurity = ataSecurity != 0;
    pRecord->aggregatedState = failing != 0 ? 1 : 0;
    pRecord->temperature = {temp, worstTemp, tempThreshold, tempThreshold != -1 ? 1u : 0u};
    pRecord->ssdEndOfLife = {eol, worstEol, eolThreshold, eolThreshold != -1 ? 1u : 0u};
    return MOS_RC__SUCCESS;
}

Mos_RC mosMedia_FillFreqMetadata(const char *devPath, const char *pType, MosMedia_FrequentMetadata *pRecord)
{
    int values[MOS_MEDIA_SMART__NUM_ATTRIBUTES] = {};
    int worst[MOS_MEDIA_SMART__NUM_ATTRIBUTES] = {};
    int thresholds[MOS_MEDIA_SMART__NUM_ATTRIBUTES];
    for (UINT32 id = 0; id < MOS_MEDIA__SMART_ATTRIBUTES_NUM; id++) {
        pRecord->normSmartValues[id].isInitialized = 0;
        thresholds[id] = -1;
    }
    int libRc;
    {
        SmartLibReadHold hold;
        if (smartLib_G.pGetSmartData == nullptr)
            return MOS_RC__ERROR;
        libRc = smartLib_G.pGetSmartData(devPath, pType, values, worst, thresholds);
    }
    if (libRc != 0)
        return MOS_RC__ERROR;
    for (UINT32 id = 0; id < MOS_MEDIA__SMART_ATTRIBUTES_NUM; id++)
        if (thresholds[id] >= 0)
            pRecord->normSmartValues[id] = {values[id], worst[id], thresholds[id], 1};
    return MOS_RC__SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Devices.

BOOL mosMedia_GetRealPath(const char *devPath, char *realPath)
{
    if (devPath == nullptr || strncmp(devPath, "/dev/", 5) != 0)
        return FALSE;
    struct stat st;
    if (lstat(devPath, &st) != 0 || S_ISLNK(st.st_mode))
        return FALSE;
    // "/dev/../etc/passwd" starts right but lies outside.
    char resolved[PATH_MAX];
    if (realpath(devPath, resolved) == nullptr || strncmp(resolved, "/dev/", 5) != 0)
        return FALSE;
    mosMedia_CopyText(realPath, PATH_MAX, devPath, PATH_MAX - 1);
    return TRUE;
}

Mos_RC mosMedia_FindScsiID(const char *dev, UINT32 *pScsiHost, UINT32 *pScsiBus, UINT32 *pScsiTarget,
                           UINT32 *pScsiLun)
{
    int fd = open(dev, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        MOS_TRACE(MOS_COMP_RAID, MOS_FREQ_MED, "Failed to open %s for its SCSI address. errno %d", dev, errno);
        return MOS_RC__ERROR;
    }
    struct {
        UINT32 idLun;
        UINT32 hostUniqueId;
    } address = {};
    const int rc = ioctl(fd, SCSI_IOCTL_GET_IDLUN, &address);
    close(fd);
    if (rc != 0) {
        MOS_TRACE(MOS_COMP_RAID, MOS_FREQ_MED, "No SCSI address for %s. errno %d", dev, errno);
        return MOS_RC__ERROR;
    }
    if (pScsiTarget != nullptr)
        *pScsiTarget = address.idLun & 0xFF;
    if (pScsiLun != nullptr)
        *pScsiLun = (address.idLun >> 8) & 0xFF;
    if (pScsiBus != nullptr)
        *pScsiBus = (address.idLun >> 16) & 0xFF;
    if (pScsiHost != nullptr)
        *pScsiHost = (address.idLun >> 24) & 0xFF;
    return MOS_RC__SUCCESS;
}

void mosMedia_GetSmartAttName(UINT32 smartId, char *pNameBuffer)
{
    const char *pName = smartId < kSmartAttNames.size() && kSmartAttNames[smartId] != nullptr ? kSmartAttNames[smartId]
                                                                                              : "UNKNOWN";
    mosMedia_CopyText(pNameBuffer, MOS_MEDIA__SMART_ATT_NAME_LEN, pName, MOS_MEDIA__SMART_ATT_NAME_LEN - 1);
}

MosMedia_RaidCtrl mosMedia_GetSupportedRaid(const char *vendor)
{
    if (vendor == nullptr)
        return RAID_CTRL__NOT_SUPPORTED;
    if (strncasecmp(vendor, "LSI", 3) == 0 || strncasecmp(vendor, "AVAGO", 5) == 0)
        return RAID_CTRL__LSI;
    if (strncasecmp(vendor, "HP", 2) == 0)
        return RAID_CTRL__HP;
    if (strncasecmp(vendor, "DELL", 4) == 0)
        return RAID_CTRL__DELL;
    return RAID_CTRL__NOT_SUPPORTED;
}

Mos_RC mosMedia_GetDevType(const char *devPath, MosMedia_RaidCtrl raidType, char *pDevType, BOOL bPrintError)
{
    UINT32 id = 0;
    Mos_RC rc = MOS_RC__ERROR;
    const char *pForm = nullptr;
    if (raidType == RAID_CTRL__HP && mosMedia_SwitchOn(raidType, TRUE)) {
        rc = mosHp_searchDeviceCcissIndex(devPath, &id);
        pForm = "cciss";
    } else if ((raidType == RAID_CTRL__LSI || raidType == RAID_CTRL__DELL) && mosMedia_SwitchOn(raidType, TRUE)) {
        rc = mosLsi_GetDiskId(mosMedia_LsiTool(raidType), devPath, &id);
        pForm = "megaraid";
    }
    if (rc != MOS_RC__SUCCESS) {
        if (bPrintError)
            MOS_TRACE(MOS_COMP_RAID, MOS_FREQ_MED, "No RAID device type for %s (raid type %u)", devPath,
                      (unsigned)raidType);
        return rc != MOS_RC__SUCCESS ? rc : MOS_RC__ERROR;
    }
    snprintf(pDevType, MOS_MEDIA__DEV_TYPE_LEN, "%s,%u", pForm, id);
    return MOS_RC__SUCCESS;
}

Mos_RC mosMedia_GetRaidInfo(const char *devPath, MosMedia_RaidCtrl raidType, MosMedia_RaidController *pRaidInfo,
                            MosMedia_InfrequentRaidVdiskMetadata *pVdiskInfo, BOOL bPrintError)
{
    MOS_UNUSED(bPrintError);
    if (raidType == RAID_CTRL__NOT_SUPPORTED || raidType > RAID_CTRL__DELL)
        return MOS_RC__ERROR;
    Mos_RC rc = MOS_RC__ERROR;
    MosHp_DiskLocation hpLocation{};
    if (raidType == RAID_CTRL__HP) {
        rc = mosHp_searchDevice(devPath, &hpLocation);
        if (rc != MOS_RC__SUCCESS)
            return rc;
        rc = MOS_RC__ERROR;
    }
    if (mosMedia_SwitchOn(raidType, FALSE) && pRaidInfo != nullptr) {
        rc = raidType == RAID_CTRL__HP ? mosHp_getRaidInfo(hpLocation.slot, pRaidInfo)
                                       : mosLsi_getRaidInfo(mosMedia_LsiTool(raidType), 0, pRaidInfo);
        if (rc != MOS_RC__SUCCESS)
            return rc;
    }
    if (pVdiskInfo != nullptr && mosMedia_SwitchOn(raidType, TRUE))
        rc = raidType == RAID_CTRL__HP ? mosHp_getRaidVdiskInfo(hpLocation.slot, hpLocation.drive, pVdiskInfo)
                                       : mosLsi_getRaidVdiskInfo(mosMedia_LsiTool(raidType), devPath, pVdiskInfo);
    return rc;
}

Mos_RC mosMedia_FillMetadata(const char *devPath, MosMedia_Metadata *pMetadata, MosMedia_RaidController *pRaidMetadata,
                             MosMedia_Freq freq, BOOL bPrintError)
{
    char path[PATH_MAX];
    if (!mosMedia_GetRealPath(devPath, path)) {
        MOS_TRACE(MOS_COMP_RAID, MOS_FREQ_HIGH, "Cannot get metadata for device path %s", devPath);
        return MOS_RC__ERROR;
    }
    MOS_TRACE(MOS_COMP_RAID, MOS_FREQ_LOW, "Device path %s", path);
    const char *pBaseType = nullptr;
    Mos_RC rc = mosMedia_IdentityScsiOrAta(path, &pMetadata->constMetadata, &pBaseType);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    char type[MOS_MEDIA__DEV_TYPE_LEN + 4];
    snprintf(type, sizeof(type), "%s", pBaseType);

    // A disk behind a RAID controller answers only under the controller's device type.
    const MosMedia_RaidCtrl kind = mosMedia_GetSupportedRaid(pMetadata->constMetadata.vendor);
    char raidType[MOS_MEDIA__DEV_TYPE_LEN];
    BOOL bRaid = FALSE;
    if (kind != RAID_CTRL__NOT_SUPPORTED && mosMedia_GetDevType(path, kind, raidType, bPrintError) == MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_RAID, MOS_FREQ_LOW, "Device is a RAID, requerying with %s", raidType);
        char satType[sizeof(type)];
        snprintf(satType, sizeof(satType), "sat+%s", raidType);
        MosMedia_ConstMetadata identity = pMetadata->constMetadata;
        const char *pWorked = nullptr;
        if (mosMedia_FillConstMetadata(path, raidType, &identity) == MOS_RC__SUCCESS)
            pWorked = raidType;
        else if (mosMedia_FillConstMetadata(path, satType, &identity) == MOS_RC__SUCCESS)
            pWorked = satType;
        if (pWorked != nullptr) {
            pMetadata->constMetadata = identity;
            snprintf(type, sizeof(type), "%s", pWorked);
            bRaid = TRUE;
        }
    }
    rc = MOS_RC__SUCCESS;
    if (freq == MEDIA_FREQ__FREQ || freq == MEDIA_FREQ__ALL) {
        if (mosMedia_FillFreqMetadata(path, type, &pMetadata->frequentMetadata) != MOS_RC__SUCCESS)
            rc = MOS_RC__ERROR;
    }
    if (freq == MEDIA_FREQ__INFREQ || freq == MEDIA_FREQ__ALL) {
        if (mosMedia_FillInfreqMetadata(path, type, &pMetadata->infrequentMetadata) != MOS_RC__SUCCESS)
            rc = MOS_RC__ERROR;
        if (bRaid) {
            MosMedia_RaidController ctrl{};
            MosMedia_RaidController *pCtrl = pRaidMetadata != nullptr ? pRaidMetadata : &ctrl;
            if (mosMedia_GetRaidInfo(path, kind, pCtrl, &pMetadata->infrequentMetadata.raidVdiskMetadata,
                                     bPrintError) != MOS_RC__SUCCESS)
                rc = MOS_RC__ERROR;
            mosMedia_CopyText(pMetadata->constMetadata.raidControllerSerialNumber,
                              sizeof(pMetadata->constMetadata.raidControllerSerialNumber), pCtrl->serialNumber,
                              MOS_MEDIA__TEXT_LEN - 1);
        }
    }
    return rc;
}

Mos_RC mosMedia_locateDisk(const char *devPath, BOOL isStop)
{
    char path[PATH_MAX];
    if (!mosMedia_GetRealPath(devPath, path)) {
        MOS_TRACE(MOS_COMP_RAID, MOS_FREQ_MED, "Cannot light LED for given device path: %s", devPath);
        return MOS_RC__INVALID_DEVICE_PATH;
    }
    MosMedia_ConstMetadata identity{};
    const char *pType = nullptr;
    Mos_RC rc = mosMedia_IdentityScsiOrAta(path, &identity, &pType);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    switch (mosMedia_GetSupportedRaid(identity.vendor)) {
    case RAID_CTRL__HP:
        return mosHp_locateDisk(path, isStop);
    case RAID_CTRL__LSI:
        return mosLsi_locateDisk(MOS_LSI__STORCLI, path, isStop);
    case RAID_CTRL__DELL:
        return mosLsi_locateDisk(MOS_LSI__PERCCLI, path, isStop);
    default:
        MOS_TRACE(MOS_COMP_RAID, MOS_FREQ_LOW, "Lighting LED of raid type %s is not supported", identity.vendor);
        return MOS_RC__ERROR;
    }
}
