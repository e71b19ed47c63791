// Libraries that the program may use without linking against them, opened by a fixed
// identifier (never by a caller's file name) and searched for functions by name.
#pragma once

#include "mos/mos_types.h"

enum MosDynamicLibraryId : INT32 {
    MOS_DYNAMIC_LIBRARY_ID__INVALID = 99,
    MOS_DYNAMIC_LIBRARY_ID__OPENSSL_SSL = 100,
    MOS_DYNAMIC_LIBRARY_ID__OPENSSL_CRYPTO = 101,
    MOS_DYNAMIC_LIBRARY_ID__OPENLDAP = 102,
    MOS_DYNAMIC_LIBRARY_ID__SMARTCTL = 103,
};

typedef void *MosDynamicLibHandle;
typedef void (*MosDynamicLibFuncPtr)(void);

MosDynamicLibHandle mosDynamicLib_Open(MosDynamicLibraryId librayId);
MosDynamicLibFuncPtr mosDynamicLib_Load(MosDynamicLibHandle handle, const char *pFuncName);
void mosDynamicLib_Close(MosDynamicLibHandle handle);

// Test seam: opens pFile in place of the identifier's own file (null restores it), so that tests
// can stand in a missing library or one that lacks functions. Not for product code.
void mosDynamicLib_SetFileForTest(MosDynamicLibraryId librayId, const char *pFile);
