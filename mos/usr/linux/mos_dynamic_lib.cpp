#include "mos/usr/linux/mos_dynamic_lib.h"

#include <dlfcn.h>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"

namespace {

struct LibFile {
    MosDynamicLibraryId id;
    const char *pFile;
};

// OpenSSL 3 splits TLS and crypto into two files; each id opens its own.
constexpr LibFile kLibFiles[] = {
    {MOS_DYNAMIC_LIBRARY_ID__OPENSSL_SSL, "libssl.so.3"},
    {MOS_DYNAMIC_LIBRARY_ID__OPENSSL_CRYPTO, "libcrypto.so.3"},
    {MOS_DYNAMIC_LIBRARY_ID__OPENLDAP, "libldap-2.4.so.2"},
    {MOS_DYNAMIC_LIBRARY_ID__SMARTCTL, "./smart.so"},
};

const char *loaderError(void)
{
    const char *pErr = dlerror();
    return pErr != nullptr ? pErr : "";
}

// Files that tests put in place of an identifier's own (null: none), indexed from the first id.
const char *testFiles_G[MOS_ARRAY_SIZE(kLibFiles)];

const char *fileOf(MosDynamicLibraryId librayId)
{
    for (size_t i = 0; i < MOS_ARRAY_SIZE(kLibFiles); i++)
        if (kLibFiles[i].id == librayId)
            return testFiles_G[i] != nullptr ? testFiles_G[i] : kLibFiles[i].pFile;
    return nullptr;
}

} // namespace

MosDynamicLibHandle mosDynamicLib_Open(MosDynamicLibraryId librayId)
{
    const char *pFile = fileOf(librayId);
    if (pFile == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Invalid library ID (%d)", (int)librayId);
        return nullptr;
    }
    (void)dlerror();
    MosDynamicLibHandle handle = dlopen(pFile, RTLD_NOW);
    if (handle == nullptr)
        MOS_ERROR(MOS_COMP_MOS, "Failed to open library %s (%s)", pFile, loaderError());
    return handle;
}

MosDynamicLibFuncPtr mosDynamicLib_Load(MosDynamicLibHandle handle, const char *pFuncName)
{
    MOS_ASSERT(handle != nullptr && pFuncName != nullptr);
    (void)dlerror();
    void *pSym = dlsym(handle, pFuncName);
    if (pSym == nullptr) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to load function %s (%s)", pFuncName, loaderError());
        return nullptr;
    }
    return reinterpret_cast<MosDynamicLibFuncPtr>(pSym);
}

void mosDynamicLib_Close(MosDynamicLibHandle handle)
{
    MOS_ASSERT(handle != nullptr);
    dlclose(handle);
}

void mosDynamicLib_SetFileForTest(MosDynamicLibraryId librayId, const char *pFile)
{
    for (size_t i = 0; i < MOS_ARRAY_SIZE(kLibFiles); i++)
        if (kLibFiles[i].id == librayId)
            testFiles_G[i] = pFile;
}
