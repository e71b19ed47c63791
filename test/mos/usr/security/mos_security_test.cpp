// The security layer and the run-time binding of OpenSSL: configuration keys, starts with and
// without security, and refusals when the library or one of its functions is missing.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "mos/mos_conf.h"
#include "mos/mos_trace.h"
#include "mos/usr/linux/mos_dynamic_lib.h"
#include "mos/usr/security/mos_security.h"
#include "mos/usr/security/mos_security_lib.h"
#include "mos/usr/security/mos_ssl.h"
#include "test/support/scratch_dir.h"
#include "test/support/umt_test_support.h"
#include "mos/mos_trace_layer.h"

namespace {

::testing::Environment *const kEnv = ::testing::AddGlobalTestEnvironment(new UmtRuntimeEnv);

// Security with TLS on and nothing to load: binding and an empty-handed context suffice.
MosSecurityConf tlsOnly()
{
    MosSecurityConf conf{};
    conf.sslConf.bEnable = TRUE;
    conf.sslConf.certVerifyDepth = 4;
    snprintf(conf.sslConf.sslMethodStr, sizeof(conf.sslConf.sslMethodStr), "tlsv1.2");
    snprintf(conf.sslConf.sslCipherList, sizeof(conf.sslConf.sslCipherList), "ECDH+AESGCM");
    return conf;
}

// Runs fn with the runtime's trace lines on standard output and returns what it printed.
template <typename F>
std::string traced(F &&fn)
{
    mosTrcLayer_DumpToStdout(TRUE);
    ::testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    std::string out = ::testing::internal::GetCapturedStdout();
    mosTrcLayer_DumpToStdout(FALSE);
    return out;
}

class SecurityLayer : public ::testing::Test {
  protected:
    void TearDown() override
    {
        mosDynamicLib_SetFileForTest(MOS_DYNAMIC_LIBRARY_ID__OPENSSL_SSL, nullptr);
        mosDynamicLib_SetFileForTest(MOS_DYNAMIC_LIBRARY_ID__OPENSSL_CRYPTO, nullptr);
        mosSecurityLayer_Destroy();
    }
};

TEST_F(SecurityLayer, KeysAndTheirDefaults)
{
    mosSecurity_GetConf()->bEnable = TRUE;
    MosConfEntry *pEntries = nullptr;
    UINT32 numEntries = 0;
    mosSecurity_GetConfEntry(&pEntries, &numEntries);
    ASSERT_EQ(numEntries, 16u);
    EXPECT_FALSE(mosSecurity_GetConf()->bEnable); // handing out the table wipes the record

    // A file that sets a few keys; the others take their defaults.
    ScratchDir dir;
    const std::string file = dir.file("pellar.conf");
    FILE *f = fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fprintf(f, "ssl_enable=1\nssl_context_id=2\nssl_cert_verify_depth=0\nauth_key_pair_file=/etc/k.pem\n");
    fclose(f);
    MosConfEntry *const vectors[] = {pEntries};
    const UINT32 lengths[] = {numEntries};
    ASSERT_EQ(mosConf_ProcessFile(file.c_str(), vectors, lengths, 1), MOS_RC__SUCCESS);
    const MosSecurityConf &c = *mosSecurity_GetConf();
    EXPECT_TRUE(c.sslConf.bEnable);
    EXPECT_FALSE(c.bEnable || c.bAsynchronousLoad || c.bServerAllowUnsecure || c.sslConf.bDisableClientAuth);
    EXPECT_EQ(c.sslConf.contextId, 2u);
    EXPECT_EQ(c.sslConf.certVerifyDepth, 4u); // 0 is below the range: the default stays
    EXPECT_STREQ(c.sslConf.sslMethodStr, "TLSv1.2");
    EXPECT_STREQ(c.sslConf.sslCipherList,
                 "ECDH+AESGCM:DH+AESGCM:ECDH+AES256:DH+AES256:ECDH+AES128:DH+AES:ECDH+3DES:DH+3DES:RSA+AESGCM:RSA+AES:"
                 "RSA+3DES:!aNULL:!eNULL:!EXPORT:!MD5:!DSS:!DES:!RC4");
    EXPECT_STREQ(c.authConf.keyPairFile, "/etc/k.pem");
    const char *const kNames[] = {"security_enable", "security_asynchronous_load", "security_allow_unsecure",
                                  "ssl_enable", "ssl_disable_client_auth", "ssl_trust_cert_file", "ssl_key_pair_file",
                                  "ssl_private_key_password", "ssl_cipher_list", "ssl_method", "ssl_context_id",
                                  "ssl_cert_verify_depth", "auth_enable", "auth_key_pair_file",
                                  "auth_private_key_password", "auth_trust_cert_file"};
    for (UINT32 i = 0; i < numEntries; i++)
        EXPECT_STREQ(pEntries[i].pName, kNames[i]);
}

TEST_F(SecurityLayer, DisabledSecurityOpensNothing)
{
    MosSecurityConf conf{};
    const std::string out = traced([&] { EXPECT_EQ(mosSecurity_Init(&conf), MOS_RC__SUCCESS); });
    EXPECT_NE(out.find("Security is disabled"), std::string::npos);
    EXPECT_FALSE(mosSecurity_IsInitialized());
    EXPECT_FALSE(mosSecurity_IsBound());
    char version[64];
    EXPECT_EQ(mosSecurity_GetLibVersion(version, sizeof(version), nullptr), MOS_RC__SECURITY_NOT_SUPPORTED);
}

TEST_F(SecurityLayer, StartsAndReportsTheLibraryVersion)
{
    MosSecurityConf conf = tlsOnly();
    ASSERT_EQ(mosSecurity_Init(&conf), MOS_RC__SUCCESS);
    EXPECT_TRUE(mosSecurity_IsInitialized());
    EXPECT_EQ(mosSecurity_IsSupported(), MOS_RC__SUCCESS);
    char version[128];
    BOOL bSupported = FALSE;
    ASSERT_EQ(mosSecurity_GetLibVersion(version, sizeof(version), &bSupported), MOS_RC__SUCCESS);
    EXPECT_EQ(std::string(version).rfind("OpenSSL 3", 0), 0u) << version;
    EXPECT_TRUE(bSupported);
    EXPECT_EQ(mosSecurity_GetLibVersion(version, 5, nullptr), MOS_RC__BUF_TOO_SMALL);
    EXPECT_NE(mosSecurity_GetDigestMethod(MOS_SECURITY_DIGEST_TYPE__SHA_256), nullptr);
    EXPECT_EQ(mosSecurity_GetDigestMethod(7), nullptr);

    // Unloading returns the layer to uninitialised and closes the libraries.
    mosSecurityLayer_Destroy();
    EXPECT_FALSE(mosSecurity_IsInitialized());
    EXPECT_FALSE(mosSecurity_IsBound());
}

// A missing library or function: the code, a trace line naming what is missing, nothing left
// open, and the process goes on (a later start with the real library works).
TEST_F(SecurityLayer, MissingLibraryOrFunctionLeavesSecurityOff)
{
    struct Case {
        const char *pWhat;
        MosDynamicLibraryId id;
        const char *pFile;
        Mos_RC expected;
        const char *pLine;
    };
    const Case kCases[] = {
        {"no TLS library", MOS_DYNAMIC_LIBRARY_ID__OPENSSL_SSL, "libssl-missing.so.3", MOS_RC__ERROR_LOADING_OPENSSL,
         "Failed to open library libssl-missing.so.3"},
        {"no crypto library", MOS_DYNAMIC_LIBRARY_ID__OPENSSL_CRYPTO, "libcrypto-missing.so.3",
         MOS_RC__ERROR_LOADING_OPENSSL, "Failed to open library libcrypto-missing.so.3"},
        // A TLS library without the TLS functions, and a crypto library without the crypto ones.
        {"TLS functions missing", MOS_DYNAMIC_LIBRARY_ID__OPENSSL_SSL, "libcrypto.so.3",
         MOS_RC__OPENSSL_VERSION_TOO_OLD, "Failed to load function OPENSSL_init_ssl"},
        {"crypto functions missing", MOS_DYNAMIC_LIBRARY_ID__OPENSSL_CRYPTO, "libm.so.6",
         MOS_RC__OPENSSL_VERSION_TOO_OLD, "Failed to load function RAND_status"},
    };
    for (const Case &k : kCases) {
        mosDynamicLib_SetFileForTest(k.id, k.pFile);
        MosSecurityConf conf = tlsOnly();
        Mos_RC rc = MOS_RC__SUCCESS;
        const std::string out = traced([&] { rc = mosSecurity_Init(&conf); });
        EXPECT_EQ(rc, k.expected) << k.pWhat;
        EXPECT_NE(out.find(k.pLine), std::string::npos) << k.pWhat << ":\n" << out;
        EXPECT_NE(out.find("Failed to open security dynamic libraries ("), std::string::npos) << k.pWhat;
        EXPECT_FALSE(mosSecurity_IsInitialized()) << k.pWhat;
        EXPECT_FALSE(mosSecurity_IsBound()) << k.pWhat;
        for (const MosSecurityLibrary &lib : mosSecurityLibraries_G)
            EXPECT_EQ(lib.handle, nullptr) << k.pWhat;
        mosDynamicLib_SetFileForTest(k.id, nullptr);
    }
    MosSecurityConf conf = tlsOnly();
    EXPECT_EQ(mosSecurity_Init(&conf), MOS_RC__SUCCESS);
    EXPECT_TRUE(mosSecurity_IsInitialized());
}

// Binding again while bound is refused, and the refusal leaves the live binding in place: the
// sessions that run inside the library keep it.
TEST_F(SecurityLayer, BindingTwiceIsRefusedWithoutUnbinding)
{
    MosSecurityConf conf = tlsOnly();
    ASSERT_EQ(mosSecurity_Init(&conf), MOS_RC__SUCCESS);
    MosSslSessionParams params{MOS_SSL_CONTEXT_ID__DEFAULT, nullptr};
    MosSslSocketHandle *h = mosSsl_CreateSocketHandle(&params, TRUE);
    ASSERT_NE(h, nullptr);
    Mos_RC rc = MOS_RC__SUCCESS;
    const std::string out = traced([&] { rc = mosSecurity_InitIntrn(); });
    EXPECT_EQ(rc, MOS_RC__ERROR_LOADING_OPENSSL);
    EXPECT_NE(out.find("Library 100 is already open"), std::string::npos) << out;
    EXPECT_TRUE(mosSecurity_IsBound());
    // Starting the layer again also keeps it, and the session still works.
    EXPECT_EQ(mosSecurity_Init(&conf), MOS_RC__SUCCESS);
    EXPECT_TRUE(mosSecurity_IsBound());
    BOOL bRead = FALSE, bWrite = FALSE;
    EXPECT_EQ(mosSsl_Handshake(h, &bRead, &bWrite), MOS_RC__PENDING); // a server waits for its client
    EXPECT_TRUE(bRead);
    mosSsl_DestroySocketHandle(h);
}

TEST_F(SecurityLayer, AsynchronousLoadIsPendingUntilDone)
{
    MosSecurityConf &conf = *mosSecurity_GetConf();
    conf = tlsOnly();
    conf.bAsynchronousLoad = TRUE;
    EXPECT_EQ(mosSecurityLayer_Load(nullptr), MOS_RC__SUCCESS);
    const Mos_RC first = mosSecurity_IsSupported();
    EXPECT_TRUE(first == MOS_RC__PENDING || first == MOS_RC__SUCCESS) << mosRc_GetStr(first);
    EXPECT_TRUE(umtTest_WaitFor([] { return mosSecurity_IsInitialized() == TRUE; }));
    EXPECT_EQ(mosSecurity_IsSupported(), MOS_RC__SUCCESS);
    mosSecurity_ConfReset();
}

TEST_F(SecurityLayer, TrialBindingAnswersWithoutStarting)
{
    EXPECT_EQ(mosSecurity_IsSupported(), MOS_RC__SUCCESS);
    EXPECT_FALSE(mosSecurity_IsBound()); // the trial binding is released at once
    mosDynamicLib_SetFileForTest(MOS_DYNAMIC_LIBRARY_ID__OPENSSL_SSL, "libssl-missing.so.3");
    Mos_RC rc = MOS_RC__SUCCESS;
    umtTest_RunAsUmt([&] { rc = mosSecurity_IsSupported(); }); // suspends on the blocking service
    EXPECT_EQ(rc, MOS_RC__ERROR_LOADING_OPENSSL);
}

TEST_F(SecurityLayer, LockingCallbackChecksItsArguments)
{
    MosSecurityConf conf = tlsOnly();
    ASSERT_EQ(mosSecurity_Init(&conf), MOS_RC__SUCCESS);
    mosSecurity_LockingCB(1, 40, __FILE__, __LINE__);
    mosSecurity_LockingCB(2, 40, __FILE__, __LINE__);
    const std::string out = traced([] { mosSecurity_LockingCB(4, 3, __FILE__, __LINE__); });
    EXPECT_NE(out.find("WARNING: Invalid mode 0x4"), std::string::npos) << out;
    EXPECT_PANIC(mosSecurity_LockingCB(1, 41, __FILE__, __LINE__), "type >= 0 && type < 41");
}

} // namespace
