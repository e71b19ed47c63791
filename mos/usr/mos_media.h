// Media discovery: what the host knows about a block device. Identity (vendor, model, serial
// number, interface and media type), health (firmware, capacity, sector sizes, temperature and
// SSD end-of-life attributes, write cache) and the normalized SMART attributes come from the
// SMART library, opened at run time by library id (file "./smart.so", see mos_media_smart.h);
// for a disk behind a hardware RAID controller, the controller's description and the virtual
// disk's state come from the controllers' command-line tools (storcli, perccli, hpssacli), run
// through the external command runner and parsed line by line. A disk's locate LED can be
// switched on and off.
//
// The media layer is one of the runtime's start-up layers and takes its six query switches from
// the configuration; the Pellar never opens the library nor queries a device.
//
// Device paths are accepted only when they start with "/dev/", are not symbolic links and
// resolve inside "/dev". Every call blocks the calling OS thread while tools run (up to the
// runner's limit each). mosMedia_Destroy waits for library calls in progress, and a second
// mosMedia_Init leaves the open library alone.
#pragma once

#include <cstddef>

#include "mos/mos_rc.h"
#include "mos/mos_types.h"

struct MosMedia_InitParams {
    BOOL bEnableLsiGeneralInfoQuery;
    BOOL bEnableHpGeneralInfoQuery;
    BOOL bEnableDellGeneralInfoQuery;
    BOOL bEnableLsiVirtualDiskQuery;
    BOOL bEnableHpVirtualDiskQuery;
    BOOL bEnableDellVirtualDiskQuery;
};

enum MosMedia_RaidCtrl : UINT32 {
    RAID_CTRL__LSI = 0,
    RAID_CTRL__HP = 1,
    RAID_CTRL__DELL = 2,
    RAID_CTRL__NOT_SUPPORTED = 3,
};

// The two tools of the LSI dialect.
enum MosLsi_Tool : UINT32 {
    MOS_LSI__STORCLI = 0,
    MOS_LSI__PERCCLI = 1,
};
#define MOS_MEDIA__STORCLI_PATH "/opt/MegaRAID/storcli/storcli64"
#define MOS_MEDIA__PERCCLI_PATH "/opt/MegaRAID/perccli/perccli64"
#define MOS_MEDIA__HPSSACLI_PATH "/opt/hp/hpssacli/bld/hpssacli"

enum MosMedia_Type : UINT32 {
    MEDIA_TYPE__UNKNOWN = 0,
    MEDIA_TYPE__SSD = 1,
    MEDIA_TYPE__HDD = 2,
    MEDIA_TYPE__FLASH = 3,
    MEDIA_TYPE__NVRAM = 4,
};

enum MosMedia_Freq : UINT32 {
    MEDIA_FREQ__FREQ = 0,
    MEDIA_FREQ__INFREQ = 1,
    MEDIA_FREQ__ALL = 2,
};

#define MOS_MEDIA__SMART_ATTRIBUTES_NUM 256u
#define MOS_MEDIA__TEXT_LEN 41u // 40 characters and the terminator
#define MOS_MEDIA__SMART_ATT_NAME_LEN 50u
#define MOS_MEDIA__DEV_TYPE_LEN 20u // "megaraid,%u" and its kin, at most 19 characters

// The records below travel in messages of other programs of the product: fixed layouts, texts
// NUL-terminated within their fields.
struct MosMedia_ConstMetadata {
    char model[MOS_MEDIA__TEXT_LEN];
    char serialNumber[MOS_MEDIA__TEXT_LEN];
    UINT32 devType; // 2 when the library's interface code is 0, else 1
    UINT32 mediaType; // MosMedia_Type
    char vendor[MOS_MEDIA__TEXT_LEN];
    char raidControllerSerialNumber[MOS_MEDIA__TEXT_LEN];
    UINT8 padding[258];
};
static_assert(sizeof(MosMedia_ConstMetadata) == 432);
static_assert(offsetof(MosMedia_ConstMetadata, serialNumber) == 41 && offsetof(MosMedia_ConstMetadata, devType) == 84 &&
              offsetof(MosMedia_ConstMetadata, mediaType) == 88 && offsetof(MosMedia_ConstMetadata, vendor) == 92 &&
              offsetof(MosMedia_ConstMetadata, raidControllerSerialNumber) == 133 &&
              offsetof(MosMedia_ConstMetadata, padding) == 174);

struct MosMedia_SmartAtt {
    INT32 smartValue;
    INT32 worstValue;
    INT32 threshold;
    UINT32 isInitialized;
};
static_assert(sizeof(MosMedia_SmartAtt) == 16);

struct MosMedia_InfrequentRaidVdiskMetadata {
    char status[12];
    char type[8];
    char cache[20];
    UINT8 padding[64];
};
static_assert(sizeof(MosMedia_InfrequentRaidVdiskMetadata) == 104);
static_assert(offsetof(MosMedia_InfrequentRaidVdiskMetadata, type) == 12 &&
              offsetof(MosMedia_InfrequentRaidVdiskMetadata, cache) == 20 &&
              offsetof(MosMedia_InfrequentRaidVdiskMetadata, padding) == 40);

struct MosMedia_InfrequentMetadata {
    char firmwareVersion[16]; // at most 8 characters kept
    UINT64 capacity;
    UINT64 logicalSectorSize;
    UINT64 physicalSectorSize;
    UINT32 aggregatedState; // 1: the library reports the medium as failing
    MosMedia_SmartAtt temperature;
    MosMedia_SmartAtt ssdEndOfLife;
    MosMedia_InfrequentRaidVdiskMetadata raidVdiskMetadata;
    UINT32 cacheLookAhead;
    UINT32 writeCache;
    UINT32 ataSecurity;
    UINT8 padding[256];
};
static_assert(sizeof(MosMedia_InfrequentMetadata) == 448);
static_assert(offsetof(MosMedia_InfrequentMetadata, capacity) == 16 &&
              offsetof(MosMedia_InfrequentMetadata, logicalSectorSize) == 24 &&
              offsetof(MosMedia_InfrequentMetadata, physicalSectorSize) == 32 &&
              offsetof(MosMedia_InfrequentMetadata, aggregatedState) == 40 &&
              offsetof(MosMedia_InfrequentMetadata, temperature) == 44 &&
              offsetof(MosMedia_InfrequentMetadata, ssdEndOfLife) == 60 &&
              offsetof(MosMedia_InfrequentMetadata, raidVdiskMetadata) == 76 &&
              offsetof(MosMedia_InfrequentMetadata, cacheLookAhead) == 180 &&
              offsetof(MosMedia_InfrequentMetadata, writeCache) == 184 &&
              offsetof(MosMedia_InfrequentMetadata, ataSecurity) == 188 &&
              offsetof(MosMedia_InfrequentMetadata, padding) == 192);

struct MosMedia_FrequentMetadata {
    MosMedia_SmartAtt normSmartValues[MOS_MEDIA__SMART_ATTRIBUTES_NUM]; // by SMART attribute id
    UINT8 padding[64];
};
static_assert(sizeof(MosMedia_FrequentMetadata) == 4160);

struct MosMedia_Metadata {
    MosMedia_ConstMetadata constMetadata;
    MosMedia_InfrequentMetadata infrequentMetadata;
    MosMedia_FrequentMetadata frequentMetadata;
    UINT8 padding[512];
};
static_assert(sizeof(MosMedia_Metadata) == 5552);
static_assert(offsetof(MosMedia_Metadata, infrequentMetadata) == 432 &&
              offsetof(MosMedia_Metadata, frequentMetadata) == 880 && offsetof(MosMedia_Metadata, padding) == 5040);

struct MosMedia_RaidController {
    char model[MOS_MEDIA__TEXT_LEN];
    char vendor[MOS_MEDIA__TEXT_LEN];
    char serialNumber[MOS_MEDIA__TEXT_LEN];
    char firmwareVersion[16];
    char driverVersion[16];
    char driverName[MOS_MEDIA__TEXT_LEN];
    char pciAddress[14];
    char status[12];
    char batteryStatus[12];
    UINT8 padding[64];
};
static_assert(sizeof(MosMedia_RaidController) == 298);
static_assert(offsetof(MosMedia_RaidController, vendor) == 41 &&
              offsetof(MosMedia_RaidController, serialNumber) == 82 &&
              offsetof(MosMedia_RaidController, firmwareVersion) == 123 &&
              offsetof(MosMedia_RaidController, driverVersion) == 139 &&
              offsetof(MosMedia_RaidController, driverName) == 155 &&
              offsetof(MosMedia_RaidController, pciAddress) == 196 &&
              offsetof(MosMedia_RaidController, status) == 210 &&
              offsetof(MosMedia_RaidController, batteryStatus) == 222 &&
              offsetof(MosMedia_RaidController, padding) == 234);

struct MosMedia_MetadataRsp {
    MosMedia_Metadata metadata;
    MosMedia_RaidController raidCtrl;
};
static_assert(sizeof(MosMedia_MetadataRsp) == 5856 && offsetof(MosMedia_MetadataRsp, raidCtrl) == 5552);

struct MosMedia_LedCmdReq {
    BOOL bLedOn;
    UINT32 subDevNum;
    char path[64];
    UINT8 padding[16];
};
static_assert(sizeof(MosMedia_LedCmdReq) == 88 && offsetof(MosMedia_LedCmdReq, subDevNum) == 4 &&
              offsetof(MosMedia_LedCmdReq, path) == 8 && offsetof(MosMedia_LedCmdReq, padding) == 72);

// The layer: clears the switches and copies the six from pParams when given.
Mos_RC mosMediaLayer_Create(const MosMedia_InitParams *pParams);
void mosMediaLayer_Destroy(void);
// Where the three tools are (null: the default path). Set before queries run.
void mosMedia_SetToolPaths(const char *pStorcli, const char *pPerccli, const char *pHpssacli);

// Opens the SMART library and binds its three functions. MOS_RC__LDAP_UNINITIALIZED (499) when
// the library or a function is missing, or when it is already open (it then stays open).
Mos_RC mosMedia_Init(void);
// Closes the library once no call into it is running.
void mosMedia_Destroy(void);

// Identity, health and SMART values of a device; with a disk behind a supported RAID controller
// also the controller (into pRaidMetadata, optional) and the virtual disk. MOS_RC__ERROR when
// the path is refused or any part asked for failed.
Mos_RC mosMedia_FillMetadata(const char *devPath, MosMedia_Metadata *pMetadata,
                             MosMedia_RaidController *pRaidMetadata, MosMedia_Freq freq, BOOL bPrintError);
Mos_RC mosMedia_FillConstMetadata(const char *devPath, const char *pType, MosMedia_ConstMetadata *pRecord);
Mos_RC mosMedia_FillInfreqMetadata(const char *devPath, const char *pType, MosMedia_InfrequentMetadata *pRecord);
Mos_RC mosMedia_FillFreqMetadata(const char *devPath, const char *pType, MosMedia_FrequentMetadata *pRecord);

// Switches the locate LED of the disk on (isStop FALSE) or off. MOS_RC__INVALID_DEVICE_PATH for a
// refused path, MOS_RC__ERROR for a disk not behind a supported controller.
Mos_RC mosMedia_locateDisk(const char *devPath, BOOL isStop);

// The name of a SMART attribute (MOS_MEDIA__SMART_ATT_NAME_LEN), "UNKNOWN" for ids without one.
void mosMedia_GetSmartAttName(UINT32 smartId, char *pNameBuffer);
// The controller kind from the disk's vendor text (its first characters, any case).
MosMedia_RaidCtrl mosMedia_GetSupportedRaid(const char *vendor);
// The SMART library's device type of a RAID disk ("megaraid,%u", "cciss,%u") into pDevType
// (MOS_MEDIA__DEV_TYPE_LEN).
Mos_RC mosMedia_GetDevType(const char *devPath, MosMedia_RaidCtrl raidType, char *pDevType, BOOL bPrintError);
// Controller 0 (the disk's, for HP) and the disk's virtual disk, as the switches allow.
Mos_RC mosMedia_GetRaidInfo(const char *devPath, MosMedia_RaidCtrl raidType, MosMedia_RaidController *pRaidInfo,
                            MosMedia_InfrequentRaidVdiskMetadata *pVdiskInfo, BOOL bPrintError);
// TRUE when devPath is an accepted device path; then it is copied into realPath (PATH_MAX).
BOOL mosMedia_GetRealPath(const char *devPath, char *realPath);
// The SCSI address of a device; each output is optional.
Mos_RC mosMedia_FindScsiID(const char *dev, UINT32 *pScsiHost, UINT32 *pScsiBus, UINT32 *pScsiTarget,
                           UINT32 *pScsiLun);
