// The interface of the SMART library "./smart.so" that media discovery opens at run time. The
// library is not part of this system: only these three functions, their arguments and their
// results are fixed. Each returns 0 on success. path is the device path; type is the device
// type: "scsi", "ata", "megaraid,N", "cciss,N", or "sat+" before a RAID form. Text outputs are
// buffers of MOS_MEDIA_SMART__TEXT_LEN characters.
#pragma once

#include "mos/mos_types.h"

#define MOS_MEDIA_SMART__TEXT_LEN 64u
#define MOS_MEDIA_SMART__NUM_ATTRIBUTES 256u

#define MOS_MEDIA_SMART__GET_CONST "smartWrap_GetConstMetadata"
#define MOS_MEDIA_SMART__GET_INFREQ "smartWrap_GetInfreqMetadata"
#define MOS_MEDIA_SMART__GET_SMART_DATA "smartWrap_GetSmartData"

extern "C" {
// Identity: three texts, the interface code (0 = SAS/SCSI) and the rotation rate (1 = SSD, 0 or
// less unknown, else the rate). formFactor and isSmartEnabled may be null (not asked for).
typedef int (*SmartWrap_GetConstMetadataFn)(const char *path, const char *type, char *vendor, char *model,
                                            char *serialNumber, int *devType, int *rpm, char *formFactor,
                                            int *isSmartEnabled);
// Health. A threshold of -1 means that the attribute is absent.
typedef int (*SmartWrap_GetInfreqMetadataFn)(const char *path, const char *type, char *firmware, int *cacheLookAhead,
                                             int *writeCache, int *ataSecurity, UINT64 *capacity,
                                             UINT64 *logicalSectorSize, UINT64 *physicalSectorSize,
                                             int *isMediaFailing, int *temperature, int *worstTemperature,
                                             int *temperatureThreshold, int *ssdEndOfLife, int *worstSsdEndOfLife,
                                             int *ssdEndOfLifeThreshold);
// SMART values by attribute id; an attribute is present when its threshold is 0 or more (the
// caller presets the thresholds to -1).
typedef int (*SmartWrap_GetSmartDataFn)(const char *path, const char *type, int *smartValues, int *worstValues,
                                        int *thresholds);
}
