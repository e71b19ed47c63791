#include <gtest/gtest.h>

#include "mos/usr/linux/mos_dynamic_lib.h"

TEST(MosDynamicLib, OpensOpenSslByIdAndBindsFunctions)
{
    MosDynamicLibHandle hCrypto = mosDynamicLib_Open(MOS_DYNAMIC_LIBRARY_ID__OPENSSL_CRYPTO);
    ASSERT_NE(hCrypto, nullptr);
    auto pVersionNum = reinterpret_cast<unsigned long (*)(void)>(mosDynamicLib_Load(hCrypto, "OpenSSL_version_num"));
    ASSERT_NE(pVersionNum, nullptr);
    EXPECT_GE(pVersionNum() >> 28, 3ul); // a 3.x library behind the id

    // Two ids, two handles, each closed on its own; the TLS library has the TLS functions.
    MosDynamicLibHandle hSsl = mosDynamicLib_Open(MOS_DYNAMIC_LIBRARY_ID__OPENSSL_SSL);
    ASSERT_NE(hSsl, nullptr);
    EXPECT_NE(mosDynamicLib_Load(hSsl, "SSL_CTX_new"), nullptr);
    MosDynamicLibHandle hCrypto2 = mosDynamicLib_Open(MOS_DYNAMIC_LIBRARY_ID__OPENSSL_CRYPTO);
    ASSERT_NE(hCrypto2, nullptr);
    mosDynamicLib_Close(hCrypto2);

    // A missing name is null and the library stays usable.
    EXPECT_EQ(mosDynamicLib_Load(hCrypto, "no_such_function_in_libcrypto"), nullptr);
    EXPECT_NE(mosDynamicLib_Load(hCrypto, "EVP_sha256"), nullptr);
    mosDynamicLib_Close(hSsl);
    mosDynamicLib_Close(hCrypto);
}

TEST(MosDynamicLib, UnknownIdsAndMissingFilesGiveNull)
{
    for (int id : {99, 104, -1, 0})
        EXPECT_EQ(mosDynamicLib_Open(static_cast<MosDynamicLibraryId>(id)), nullptr) << id;
    // "./smart.so" is not in the test's working directory.
    EXPECT_EQ(mosDynamicLib_Open(MOS_DYNAMIC_LIBRARY_ID__SMARTCTL), nullptr);
}
