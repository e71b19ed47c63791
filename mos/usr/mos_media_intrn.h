// Media discovery internals: the layer's switches and tool paths, the tool runner and the
// per-tool queries. Only media discovery's own files and its tests include this header.
#pragma once

#include <functional>
#include <string_view>

#include "mos/usr/mos_media.h"

// Lines of tool output longer than this are read in pieces.
#define MOS_MEDIA__TOOL_LINE_LEN 248u
// At most this many HP controllers are asked about.
#define MOS_MEDIA__HP_MAX_CONTROLLERS 2u
// The SMART library is asked about "cciss,N" for N below this while a serial number is sought.
#define MOS_MEDIA__MAX_CCISS_INDEX 128u

struct MosMediaLayer {
    MosMedia_InitParams params;
    const char *pToolPaths[3]; // storcli, perccli, hpssacli
};
extern MosMediaLayer mosMediaLayer_G;

enum MosMedia_Tool : UINT32 {
    MOS_MEDIA_TOOL__STORCLI = MOS_LSI__STORCLI,
    MOS_MEDIA_TOOL__PERCCLI = MOS_LSI__PERCCLI,
    MOS_MEDIA_TOOL__HPSSACLI = 2,
};

// The path of a tool: the one set by mosMedia_SetToolPaths, else its default.
const char *mosMedia_ToolPath(MosMedia_Tool tool);

// Runs a tool with the given words after its path and hands each output line (without its
// newline) to onLine. The runner's result.
Mos_RC mosMedia_RunTool(MosMedia_Tool tool, std::initializer_list<std::string_view> words,
                        const std::function<void(std::string_view line)> &onLine, BOOL bPrintErr);

// LSI dialect (storcli, perccli), by controller, virtual disk, enclosure and slot numbers.
Mos_RC mosLsi_GetPDfromVD(MosLsi_Tool tool, UINT32 ctrl, UINT32 vd, UINT32 *pEnclosure, UINT32 *pSlot,
                          UINT32 *pDiskId);
Mos_RC mosLsi_locateDiskByVd(MosLsi_Tool tool, UINT32 vd, BOOL isStop);
Mos_RC mosLsi_getRaidInfo(MosLsi_Tool tool, UINT32 ctrl, MosMedia_RaidController *pCtrl);
Mos_RC mosLsi_getRaidVdiskInfoByVd(MosLsi_Tool tool, UINT32 vd, MosMedia_InfrequentRaidVdiskMetadata *pVdisk);
// By device path: its SCSI target is the virtual disk on controller 0.
Mos_RC mosLsi_GetDiskId(MosLsi_Tool tool, const char *devPath, UINT32 *pDiskId);
Mos_RC mosLsi_locateDisk(MosLsi_Tool tool, const char *devPath, BOOL isStop);
Mos_RC mosLsi_getRaidVdiskInfo(MosLsi_Tool tool, const char *devPath, MosMedia_InfrequentRaidVdiskMetadata *pVdisk);

// HP (hpssacli): controllers by slot, logical drives by number, arrays by name.
struct MosHp_DiskLocation {
    UINT32 slot;
    UINT32 drive;
    char array[MOS_MEDIA__TOOL_LINE_LEN + 1];
};
Mos_RC mosHP_getControllers(UINT32 *pSlots, UINT32 *pNumSlots);
Mos_RC mosHp_searchVdisk(UINT32 slot, const char *devPath, MosHp_DiskLocation *pLocation);
Mos_RC mosHp_searchDevice(const char *devPath, MosHp_DiskLocation *pLocation);
Mos_RC mosHp_locateDisk(const char *devPath, BOOL isStop);
Mos_RC mosHp_getRaidInfo(UINT32 slot, MosMedia_RaidController *pCtrl);
Mos_RC mosHp_getRaidVdiskInfo(UINT32 slot, UINT32 drive, MosMedia_InfrequentRaidVdiskMetadata *pVdisk);
Mos_RC mosHp_getPdiskSerial(UINT32 slot, const char *pArray, char *pSerial, UINT32 serialSize);
Mos_RC mosHp_searchDeviceCcissIndex(const char *devPath, UINT32 *pIndex);

// The SMART library's identity call, under the library's read hold.
Mos_RC mosMedia_SmartConst(const char *devPath, const char *pType, char *pVendor, char *pModel, char *pSerial,
                           int *pIfCode, int *pRpm);
