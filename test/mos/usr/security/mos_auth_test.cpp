// Challenge-response authentication: a full round trip with keys made by the key-pair
// generation and a certificate issued by the service acting as authority; tampered, untrusted
// and malformed answers refused.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "mos/mos_trace.h"
#include "mos/usr/security/mos_auth.h"
#include "mos/usr/security/mos_security.h"
#include "mos/usr/security/mos_security_cert.h"
#include "test/support/keypair_support.h"
#include "test/support/scratch_dir.h"
#include "test/support/umt_test_support.h"
#include "mos/mos_trace_layer.h"

namespace {

::testing::Environment *const kEnv = ::testing::AddGlobalTestEnvironment(new UmtRuntimeEnv);

using keytest::kPassword;
using keytest::slurp;
const std::vector<UINT8> kServerId = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};

MosAuthConf authConf(const std::string &keyPair, const std::string &password, const std::string &trust)
{
    MosAuthConf conf{};
    conf.bEnable = TRUE;
    snprintf(conf.keyPairFile, sizeof(conf.keyPairFile), "%s", keyPair.c_str());
    snprintf(conf.password, sizeof(conf.password), "%s", password.c_str());
    snprintf(conf.trustedCertFile, sizeof(conf.trustedCertFile), "%s", trust.c_str());
    return conf;
}

using Msg = std::vector<UINT8>;

Msg take(UINT8 *pBuf, UINT32 len)
{
    Msg m(pBuf, pBuf + len);
    mosAuth_DestroyMsg(pBuf);
    return m;
}

// Security up; an authority ("ca.pem", no password) and a server key pair ("server.pem", self-
// signed) made by the generation; the server's request signed by the service while it holds the
// authority's key pair, giving "issued.pem" (the server's key, then the issued certificate).
class Auth : public ::testing::Test {
  protected:
    void SetUp() override
    {
        mosTrcLayer_DumpToStdout(TRUE);
        MosSecurityConf conf{};
        conf.authConf.bEnable = TRUE;
        ASSERT_EQ(mosSecurity_Init(&conf), MOS_RC__SUCCESS);
        ASSERT_TRUE(keytest::makeAuthorityAndServer(dir.path(), "Auth CA", "PELLAR-00a"));
        const MosAuthConf ca = authConf(dir.file("ca.pem"), "", dir.file("ca.pem"));
        ASSERT_EQ(mosAuth_UpdateConf(&ca), MOS_RC__SUCCESS);
        const std::string csr = slurp(dir.file("server.csr"));
        UINT8 *pCert = nullptr;
        UINT32 certLen = 0;
        ASSERT_EQ(mosAuth_CreateSignedCertMsg(reinterpret_cast<const UINT8 *>(csr.data()), (UINT32)csr.size(),
                                              &pCert, &certLen),
                  MOS_RC__SUCCESS);
        const std::string issued(reinterpret_cast<char *>(pCert), certLen);
        mosAuth_DestroyMsg(pCert);
        ASSERT_EQ(issued.rfind("-----BEGIN CERTIFICATE-----", 0), 0u);
        issuedConf = authConf(keytest::writeIssuedKeyPair(dir.path(), issued), kPassword, dir.file("ca.pem"));
        ASSERT_EQ(mosAuth_UpdateConf(&issuedConf), MOS_RC__SUCCESS);
    }
    void TearDown() override { mosSecurityLayer_Destroy(); }

    Msg challenge(const Msg &id)
    {
        UINT8 *pBuf = nullptr;
        UINT32 len = 0;
        EXPECT_EQ(mosAuth_CreateChallengeMsg(id.data(), (UINT32)id.size(), &pBuf, &len), MOS_RC__SUCCESS);
        return pBuf != nullptr ? take(pBuf, len) : Msg{};
    }
    Mos_RC respond(const Msg &id, const Msg &ch, Msg *pResponse)
    {
        UINT8 *pBuf = nullptr;
        UINT32 len = 0;
        const Mos_RC rc =
            mosAuth_CreateResponseMsg(id.data(), (UINT32)id.size(), ch.data(), (UINT32)ch.size(), &pBuf, &len);
        if (rc == MOS_RC__SUCCESS)
            *pResponse = take(pBuf, len);
        return rc;
    }
    Mos_RC verify(const Msg &ch, const Msg &response, MosSecurityCertQuery *pQuery = nullptr)
    {
        return mosAuth_VerifyResponseMsg(ch.data(), response.data(), (UINT32)response.size(), pQuery);
    }

    ScratchDir dir;
    MosAuthConf issuedConf;
};

UINT32 word(const Msg &m, size_t at)
{
    UINT32 v;
    memcpy(&v, m.data() + at, 4);
    return ntohl(v);
}

TEST_F(Auth, ChallengeIsAnsweredAndTheAnswerVerified)
{
    const Msg ch = challenge(kServerId);
    ASSERT_EQ(ch.size(), 48u);
    EXPECT_EQ(word(ch, 0), 32u);
    EXPECT_EQ(word(ch, 4), 8u);
    Msg response;
    ASSERT_EQ(respond(kServerId, ch, &response), MOS_RC__SUCCESS);
    EXPECT_EQ(word(response, 0), 32u);
    EXPECT_EQ(word(response, 4), 8u);
    EXPECT_EQ(word(response, 12), 256u); // an RSA-2048 signature
    EXPECT_EQ(memcmp(response.data() + 16, ch.data() + 8, 32), 0);
    EXPECT_EQ(memcmp(response.data() + 48, kServerId.data(), 8), 0);
    MosSecurityCertQuery query;
    ASSERT_EQ(verify(ch, response, &query), MOS_RC__SUCCESS);
    EXPECT_EQ(std::string(query.subject).rfind("/GN=PELLAR-00a/", 0), 0u) << query.subject;
    EXPECT_STREQ(query.issuer, "/CN=Auth CA/O=Qel");

    // A challenge of 16 random bytes is answered with those 16; the signature covers 16 + N.
    Msg ch16 = ch;
    const UINT32 sixteen = htonl(16);
    memcpy(ch16.data(), &sixteen, 4);
    ASSERT_EQ(respond(kServerId, ch16, &response), MOS_RC__SUCCESS);
    EXPECT_EQ(word(response, 0), 16u);
    EXPECT_EQ(memcmp(response.data() + 16, ch.data() + 8, 16), 0);
    EXPECT_EQ(verify(ch16, response), MOS_RC__SUCCESS);
    EXPECT_EQ(verify(ch, response), MOS_RC__SIG_VERIFY_FAILURE);
}

TEST_F(Auth, TamperedOrUntrustedAnswersAreRefused)
{
    const Msg ch = challenge(kServerId);
    Msg response;
    ASSERT_EQ(respond(kServerId, ch, &response), MOS_RC__SUCCESS);
    const size_t certAt = 16 + 32 + 8;
    struct Case {
        const char *what;
        size_t at;
    };
    const Case cases[] = {
        {"random", 16 + 5}, {"identity", 16 + 32 + 2}, {"certificate", certAt + 200}, {"signature", response.size() - 3}};
    for (const Case &c : cases) {
        Msg bad = response;
        bad[c.at] ^= 0x40;
        EXPECT_EQ(verify(ch, bad), MOS_RC__SIG_VERIFY_FAILURE) << c.what;
    }
    // The answer to another challenge does not pass for this one.
    const Msg other = challenge(kServerId);
    EXPECT_EQ(verify(other, response), MOS_RC__SIG_VERIFY_FAILURE);

    // A correctly signed answer whose certificate no trusted authority issued.
    const MosAuthConf selfSigned = authConf(dir.file("server.pem"), kPassword, dir.file("ca.pem"));
    ASSERT_EQ(mosAuth_UpdateConf(&selfSigned), MOS_RC__SUCCESS);
    Msg untrusted;
    ASSERT_EQ(respond(kServerId, ch, &untrusted), MOS_RC__SUCCESS);
    ::testing::internal::CaptureStdout();
    const Mos_RC rc = verify(ch, untrusted);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, MOS_RC__SIG_VERIFY_FAILURE);
    EXPECT_NE(out.find("Auth certificate verification error"), std::string::npos) << out;
}

// Builds a response header with the given lengths and `extra` bytes after it.
Msg responseOf(UINT32 r, UINT32 n, UINT32 c, UINT32 s, size_t extra)
{
    Msg m(16 + extra, 0);
    const UINT32 words[] = {htonl(r), htonl(n), htonl(c), htonl(s)};
    memcpy(m.data(), words, 16);
    return m;
}

TEST_F(Auth, MalformedMessagesAreRefusedBeforeAnyRead)
{
    struct ResponseCase {
        Msg msg;
        const char *warning;
    };
    const ResponseCase responses[] = {
        {Msg(15, 0), "Response is too short (15)"},
        {responseOf(0, 0, 0, 0, 0), "Invalid response - no certificate"},
        {responseOf(0, 0, 4, 0, 4), "Invalid response - no signature"},
        {responseOf(0, 0, 4, 4, 9), "total length is 24 instead of 25"},
        // Lengths whose 32-bit sum wraps to the received size: 2^32 - 16 + 16 + 4 + 4.
        {responseOf(0xFFFFFFF0u, 0x10, 4, 4, 8), "total length is 4294967320 instead of 24"},
    };
    const Msg ch = challenge(kServerId);
    for (const ResponseCase &c : responses) {
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(mosAuth_ResponseMsgSanityCheck(c.msg.data(), (UINT32)c.msg.size()), nullptr);
        EXPECT_EQ(verify(ch, c.msg), MOS_RC__SIG_VERIFY_FAILURE);
        const std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(c.warning), std::string::npos) << out;
    }

    struct ChallengeCase {
        UINT32 r, n;
        size_t size;
        bool ok;
    };
    const ChallengeCase challenges[] = {
        {32, 0, 39, false}, {33, 0, 40, false}, {32, 8, 47, false}, {32, 0xFFFFFFFFu, 39, false},
        {32, 0, 40, true},  {32, 8, 48, true},
    };
    for (const ChallengeCase &c : challenges) {
        Msg m(std::max<size_t>(c.size, 8), 0);
        const UINT32 words[] = {htonl(c.r), htonl(c.n)};
        memcpy(m.data(), words, 8);
        EXPECT_EQ(mosAuth_ChallengeMsgSanityCheck(m.data(), (UINT32)c.size) != nullptr, c.ok) << c.r << " " << c.n;
    }
    // A well-formed challenge without identity cannot be answered by anyone.
    Msg empty(40, 0);
    const UINT32 r32 = htonl(32);
    memcpy(empty.data(), &r32, 4);
    Msg response;
    EXPECT_EQ(respond(kServerId, empty, &response), MOS_RC__INVALID);
    EXPECT_EQ(respond(Msg{0x11}, ch, &response), MOS_RC__INVALID);
    EXPECT_EQ(mosAuth_CreateChallengeMsg(nullptr, 0, nullptr, nullptr), MOS_RC__INVALID);
    EXPECT_EQ(mosAuth_VerifyResponseMsg(nullptr, ch.data(), 48, nullptr), MOS_RC__INVALID);
}

TEST_F(Auth, MissingKeyFileDisablesAndAsynchronousUpdateRestores)
{
    const Msg ch = challenge(kServerId);
    Msg response;
    // Enabled without a key pair: nothing to sign with.
    const MosAuthConf noKey = authConf("", "", dir.file("ca.pem"));
    ASSERT_EQ(mosAuth_UpdateConf(&noKey), MOS_RC__SUCCESS);
    EXPECT_EQ(respond(kServerId, ch, &response), MOS_RC__NOT_READY);

    const MosAuthConf missing = authConf(dir.file("nowhere.pem"), kPassword, dir.file("ca.pem"));
    EXPECT_EQ(mosAuth_UpdateConf(&missing), MOS_RC__ERROR_LOADING_AUTH_KEY_PAIR);
    EXPECT_FALSE(mosAuth_IsEnabled());
    EXPECT_EQ(respond(kServerId, ch, &response), MOS_RC__NOT_READY);
    EXPECT_EQ(verify(ch, responseOf(32, 8, 4, 4, 48)), MOS_RC__NOT_READY);

    // The update on the service's own thread enables it again when it is done.
    MosBlocking_Req req;
    ASSERT_EQ(mosAuth_UpdateConfAsync(&req, &issuedConf), MOS_RC__SUCCESS);
    for (int i = 0; i < 4000 && !mosAuth_IsEnabled(); i++)
        usleep(5000);
    ASSERT_EQ(respond(kServerId, ch, &response), MOS_RC__SUCCESS);
    EXPECT_EQ(verify(ch, response), MOS_RC__SUCCESS);
}

} // namespace
