// Files and directories, restricted ones (owner-only) among them.
#pragma once

#include <cstdio>
#include "mos/mos_rc.h"
#include "mos/mos_types.h"

// Full names are at most 4095 characters.
#define MOS_MAX_FULL_FILE_NAME 4096u
void mos_CreateFullFileName(char *fullFileNameBuf, size_t fullFileNameBufLen, const char *directoryName,
                            const char *fileName);
FILE *mos_FileOpen(const char *directory, const char *fileName, BOOL bWrite);
FILE *mos_FullFileNameOpen(const char *fileName, BOOL bWrite);
Mos_RC mos_FileWrite(FILE *file, const void *data, size_t dataLen);
Mos_RC mos_FileRead(FILE *file, void *out_data, size_t *inout_dataLen);
void mos_FileRewind(FILE *file);
Mos_RC mos_FileClose(FILE *file);
Mos_RC mos_FileGetName(FILE *file, char *outBuffer, size_t outBufferSize);
BOOL mos_FullFileNameDelete(const char *fileName);
Mos_RC mos_FullFileNameCreateRestricted(const char *fileName);
Mos_RC mos_FullFileNameSetRestrictedMode(const char *fileName);
FILE *mos_FullFileNameOpenRestricted(const char *fileName);
Mos_RC mos_FileCreateRestricted(const char *directory, const char *fileName);
FILE *mos_FileOpenRestricted(const char *directory, const char *fileName);
Mos_RC mos_FileSetRestrictedMode(const char *directory, const char *fileName);
Mos_RC mos_CreateDirectory(const char *pDirectoryName);
int mos_CreateDirectoryInternal(const char *pDirectoryName);
Mos_RC mos_GetHomeDirectory(char *out_homeDirectory, size_t bufLength);
Mos_RC mos_GetCurrDirectory(char *pCurrDirBuf, size_t bufSize);
Mos_RC mos_GetAvailableDiskSpace(const char *dirName, UINT64 *pAvailableSpaceBytes);
Mos_RC mos_GetEstimatedCoreSize(UINT64 *coreSizeBytes);
