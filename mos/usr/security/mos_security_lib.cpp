// The run-time binding of OpenSSL: opening the libraries, binding every function by name, and
// the small operations every security module shares (digest choice, error reporting, version).
#include "mos/usr/security/mos_security_lib.h"

#include <cerrno>
#include <cstring>

#include "mos/mos_contention.h"
#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"

#define MOS_SECURITY_DEFINE_POINTER(name) decltype(&::name) name##_p = nullptr;
MOS_SECURITY_SSL_FUNCTIONS(MOS_SECURITY_DEFINE_POINTER)
MOS_SECURITY_CRYPTO_FUNCTIONS(MOS_SECURITY_DEFINE_POINTER)
#undef MOS_SECURITY_DEFINE_POINTER

MosSecurityLibrary mosSecurityLibraries_G[MOS_SECURITY__NUM_LIBRARIES] = {
    {nullptr, MOS_DYNAMIC_LIBRARY_ID__OPENSSL_SSL},
    {nullptr, MOS_DYNAMIC_LIBRARY_ID__OPENSSL_CRYPTO},
};

MosSecurityCryptoLocks mosSecurityCryptoLocks_G;

namespace {

constexpr UINT32 kSslLibrary = 0;
constexpr UINT32 kCryptoLibrary = 1;
constexpr MosContentionId kCryptoLockId = 70;

// One row of the binding table: the function's name, the library entry that provides it, and
// how the looked-up address is stored into the function's own typed pointer.
struct MosSecurityBinding {
    const char *pName;
    UINT32 library;
    void (*store)(MosDynamicLibFuncPtr pFunc);
};

#define MOS_SECURITY_SSL_ROW(name)                                                                     \
    MosSecurityBinding{#name, kSslLibrary,                                                             \
                       [](MosDynamicLibFuncPtr pFunc) { name##_p = reinterpret_cast<decltype(name##_p)>(pFunc); }},
#define MOS_SECURITY_CRYPTO_ROW(name)                                                                  \
    MosSecurityBinding{#name, kCryptoLibrary,                                                          \
                       [](MosDynamicLibFuncPtr pFunc) { name##_p = reinterpret_cast<decltype(name##_p)>(pFunc); }},

const MosSecurityBinding kBindings[] = {
    MOS_SECURITY_SSL_FUNCTIONS(MOS_SECURITY_SSL_ROW) MOS_SECURITY_CRYPTO_FUNCTIONS(MOS_SECURITY_CRYPTO_ROW)};

#undef MOS_SECURITY_SSL_ROW
#undef MOS_SECURITY_CRYPTO_ROW

// Opens each entry in turn. On failure closes only what this call opened: an entry found already
// open belongs to a live binding, whose sessions would otherwise lose the code they run in.
Mos_RC openLibraries(void)
{
    for (UINT32 i = 0; i < MOS_SECURITY__NUM_LIBRARIES; i++) {
        MosSecurityLibrary &lib = mosSecurityLibraries_G[i];
        BOOL bFailed = FALSE;
        if (lib.handle != nullptr) {
            MOS_ERROR(MOS_COMP_MOS, "Library %d is already open", (int)lib.libraryId);
            bFailed = TRUE;
        } else {
            lib.handle = mosDynamicLib_Open(lib.libraryId);
            bFailed = lib.handle == nullptr ? TRUE : FALSE;
        }
        if (bFailed) {
            for (UINT32 j = 0; j < i; j++) {
                mosDynamicLib_Close(mosSecurityLibraries_G[j].handle);
                mosSecurityLibraries_G[j].handle = nullptr;
            }
            return MOS_RC__ERROR;
        }
    }
    return MOS_RC__SUCCESS;
}

Mos_RC bindFunctions(void)
{
    for (const MosSecurityBinding &b : kBindings) {
        MosDynamicLibFuncPtr pFunc = mosDynamicLib_Load(mosSecurityLibraries_G[b.library].handle, b.pName);
        if (pFunc == nullptr)
            return MOS_RC__ERROR;
        b.store(pFunc);
    }
    return MOS_RC__SUCCESS;
}

// What SSL_library_init and SSL_load_error_strings did in 1.0. OpenSSL 3 pins itself in memory
// when initialised, so closing our handles later never unloads code that its exit handler needs.
Mos_RC initLibrary(void)
{
    mosSecurity_InitSecurityLibOS();
    if (OPENSSL_init_ssl_p(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr) != 1)
        return MOS_RC__ERROR;
    if (RAND_status_p() != 1) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Insufficient entropy for PRNG");
        return MOS_RC__ERROR;
    }
    for (MosFastlock_Base &lock : mosSecurityCryptoLocks_G.locks)
        mosFastlockBase_Create(&lock, kCryptoLockId, __FILE__, __LINE__);
    mosSecurityCryptoLocks_G.bInitialized = TRUE;
    return MOS_RC__SUCCESS;
}

} // namespace

void mosSecurity_InitSecurityLibOS(void)
{
}

BOOL mosSecurity_IsBound(void)
{
    return mosSecurityLibraries_G[kSslLibrary].handle != nullptr ? TRUE : FALSE;
}

void mosSecurity_CloseLibraries(void)
{
    for (MosSecurityLibrary &lib : mosSecurityLibraries_G) {
        if (lib.handle != nullptr) {
            mosDynamicLib_Close(lib.handle);
            lib.handle = nullptr;
        }
    }
}

Mos_RC mosSecurity_InitIntrn(void)
{
    if (openLibraries() != MOS_RC__SUCCESS) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to open security dynamic libraries");
        return MOS_RC__ERROR_LOADING_OPENSSL;
    }
    if (bindFunctions() != MOS_RC__SUCCESS) {
        mosSecurity_CloseLibraries();
        MOS_ERROR(MOS_COMP_MOS, "Failed to load security functions");
        return MOS_RC__OPENSSL_VERSION_TOO_OLD;
    }
    if (initLibrary() != MOS_RC__SUCCESS) {
        mosSecurity_CloseLibraries();
        MOS_ERROR(MOS_COMP_MOS, "Failed to initialize the security libraries");
        return MOS_RC__ERROR_LOADING_OPENSSL;
    }
    return MOS_RC__SUCCESS;
}

void mosSecurity_FiniIntrn(void)
{
    if (mosSecurityCryptoLocks_G.bInitialized) {
        mosSecurityCryptoLocks_G.bInitialized = FALSE;
        for (MosFastlock_Base &lock : mosSecurityCryptoLocks_G.locks)
            mosFastlockBase_Destroy(&lock);
    }
    mosSecurity_CloseLibraries();
}

void mosSecurity_LockingCB(int mode, int type, const char *file, int line)
{
    MOS_UNUSED(file);
    MOS_UNUSED(line);
    if (!mosSecurityCryptoLocks_G.bInitialized)
        return;
    MOS_ASSERT(type >= 0 && type < 41);
    if (mode & 1)
        mosFastlockBase_Acquire(&mosSecurityCryptoLocks_G.locks[type]);
    else if (mode & 2)
        mosFastlockBase_Release(&mosSecurityCryptoLocks_G.locks[type]);
    else
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "WARNING: Invalid mode 0x%x", (unsigned)mode);
}

const EVP_MD *mosSecurity_GetDigestMethod(UINT32 digestType)
{
    switch (digestType) {
    case MOS_SECURITY_DIGEST_TYPE__SHA_1: return EVP_sha1_p();
    case MOS_SECURITY_DIGEST_TYPE__SHA_256: return EVP_sha256_p();
    case MOS_SECURITY_DIGEST_TYPE__SHA_512: return EVP_sha512_p();
    default:
        MOS_ERROR(MOS_COMP_MOS, "Invalid digest type (%u)", digestType);
        return nullptr;
    }
}

int mosSecurity_HandOutPassword(char *buf, int size, const Password &password)
{
    const int len = (int)strnlen(password, sizeof(Password));
    if (len >= size) {
        MOS_ERROR(MOS_COMP_MOS, "Password buffer is too short (%d < %d)", size, len);
        return 0;
    }
    memcpy(buf, password, (size_t)len);
    return len;
}

void mosSecurity_PrintLibError(const char *msg)
{
    char text[256] = {};
    ERR_error_string_n_p(ERR_get_error_p(), text, sizeof(text));
    MOS_ERROR(MOS_COMP_MOS, "%s: %s", msg, text);
}

void mosSecurity_PrintLibX509StoreCtxError(const char *msg, X509_STORE_CTX *pX509Ctx, int *pVerifyErr,
                                           const char **pVerifyErrStr)
{
    const int err = X509_STORE_CTX_get_error_p(pX509Ctx);
    const char *pText = X509_verify_cert_error_string_p(err);
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_MED, "%s: %s", msg, pText != nullptr ? pText : "");
    if (pVerifyErr != nullptr)
        *pVerifyErr = err;
    if (pVerifyErrStr != nullptr)
        *pVerifyErrStr = pText;
}

BIO *mosSecurity_AllocMemBio(void)
{
    BIO *pBio = BIO_new_p(BIO_s_mem_p());
    if (pBio != nullptr)
        BIO_ctrl_p(pBio, BIO_C_SET_BUF_MEM_EOF_RETURN, -1, nullptr);
    return pBio;
}
