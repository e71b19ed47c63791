// The security commands through the command door of an in-process controller: the key pair and
// its request, the certificate an outside authority issues for it, and what is refused.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "mos/usr/security/mos_auth.h"
#include "test/support/cont_cmd_rig.h"
#include "test/support/keypair_support.h"
#include "test/support/scratch_dir.h"
#include "test/support/tls_support.h"
#include "tgt/cont/cont_cmd_ident_rec.h"
#include "tgt/cont/cont_cmd_intrn.h"
#include "tgt/cont/cont_ostrel.h"

namespace {

class ContCmdRuntimeEnv : public ::testing::Environment {
  public:
    void SetUp() override { ASSERT_TRUE(ContCmdRig::initRuntime()); }
};
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new ContCmdRuntimeEnv);

constexpr UINT16 kGen = 5;

template <class T> std::vector<UINT8> bytesOf(const T &rec, const std::string &tail = {})
{
    std::vector<UINT8> b(sizeof(rec));
    memcpy(b.data(), &rec, sizeof(rec));
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
}

Mos_RC configSecurity(UINT32 mode, BOOL bUseExisting)
{
    const OstrelTgtReq_ConfigSecurity rec{0, kGen, mode, (UINT32)bUseExisting};
    return ContCmdRig::send(TGT_MSG_TYPE__CONFIG_SECURITY, 0, bytesOf(rec));
}

Mos_RC generateCsr(std::vector<UINT8> *pAnswer = nullptr)
{
    const OstrelTgtReq_GenerateCsr rec{0, kGen};
    return ContCmdRig::send(TGT_MSG_TYPE__GENERATE_CSR, 0, bytesOf(rec), pAnswer);
}

Mos_RC updateCertificate(const std::string &text, UINT32 certificateLen)
{
    const OstrelTgtReq_UpdateCertificate rec{0, kGen, certificateLen};
    return ContCmdRig::send(TGT_MSG_TYPE__UPDATE_CERTIFICATE, 0, bytesOf(rec, text));
}

Mos_RC updateCertificate(const std::string &text)
{
    return updateCertificate(text, (UINT32)text.size());
}

// Every test works in a directory of its own (the security files go to the working directory
// when no configuration directory is set) with an adopted server whose security is off.
class ContCmdSec : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ContCmdRig::buildController();
        ContCmdRig::adopt(kGen, FALSE);
        ASSERT_NE(getcwd(cwd_, sizeof(cwd_)), nullptr);
        ASSERT_EQ(chdir(dir_.path().c_str()), 0);
        ASSERT_EQ(configSecurity(TGT_SECURITY__NONE, FALSE), MOS_RC__SUCCESS);
    }
    void TearDown() override { EXPECT_EQ(chdir(cwd_), 0); }

    std::string keyPairPath() const { return dir_.file(CONT_OSTREL__KEY_PAIR_FILE); }

    // Security on, a fresh key pair and its request; the request's text.
    std::string enableAndGenerate()
    {
        EXPECT_EQ(configSecurity(TGT_SECURITY__OSTREL_TGT_AUTHENTICATION, FALSE), MOS_RC__SUCCESS);
        std::vector<UINT8> ans;
        EXPECT_EQ(generateCsr(&ans), MOS_RC__SUCCESS);
        if (ans.size() < sizeof(OstrelTgtRsp_GenerateCsr))
            return {};
        OstrelTgtRsp_GenerateCsr head;
        memcpy(&head, ans.data(), sizeof(head));
        EXPECT_EQ(head.csrLen, ans.size() - sizeof(head));
        return std::string(ans.begin() + sizeof(head), ans.end());
    }

    // A test authority and the certificate it issues for the server's request.
    std::string issueCertificate()
    {
        return keytest::issueWithTestAuthority(dir_.path(), dir_.file(CONT_OSTREL__CSR_FILE));
    }

    ScratchDir dir_;
    char cwd_[4096] = {};
};

// The certificate that answers a challenge to this server, as DER.
std::vector<UINT8> certificateOfChallengeAnswer()
{
    const UINT64 id = cont_g.ostrel.tgtId;
    std::vector<UINT8> cert;
    ContCmdRig::run([&] {
        UINT8 *pChallenge = nullptr, *pResponse = nullptr;
        UINT32 challengeLen = 0, responseLen = 0;
        ASSERT_EQ(mosAuth_CreateChallengeMsg(reinterpret_cast<const UINT8 *>(&id), sizeof(id), &pChallenge, &challengeLen),
                  MOS_RC__SUCCESS);
        ASSERT_EQ(mosAuth_CreateResponseMsg(reinterpret_cast<const UINT8 *>(&id), sizeof(id), pChallenge, challengeLen,
                                            &pResponse, &responseLen),
                  MOS_RC__SUCCESS);
        const MosAuth_ResponseHdr *pHdr = mosAuth_ResponseMsgSanityCheck(pResponse, responseLen);
        ASSERT_NE(pHdr, nullptr);
        const UINT8 *pCert = pResponse + sizeof(*pHdr) + ntohl(pHdr->randomLen) + ntohl(pHdr->idLen);
        cert.assign(pCert, pCert + ntohl(pHdr->certLen));
        mosAuth_DestroyMsg(pChallenge);
        mosAuth_DestroyMsg(pResponse);
    });
    return cert;
}

TEST_F(ContCmdSec, GeneratedRequestVerifiesAndNamesTheServer)
{
    const std::string csr = enableAndGenerate();
    EXPECT_EQ(csr, keytest::slurp(dir_.file(CONT_OSTREL__CSR_FILE)));
    const std::string answered = dir_.file("answered.csr");
    std::ofstream(answered) << csr;
    EXPECT_TRUE(tlstest::runQuiet("openssl req -in " + answered + " -noout -verify"));
    EXPECT_TRUE(tlstest::runQuiet("openssl req -in " + answered + " -noout -subject | grep -q 'Pellar-011'"));
    // The key is for its owner only, and the derived password opens it.
    struct stat st{};
    ASSERT_EQ(stat(keyPairPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    CHAR_A password[CONT_OSTREL__SEC_PASSWORD_LEN + 1];
    contOstrel_SecPassword(cont_g.ostrel.tgtId, password);
    EXPECT_EQ(strlen(password), 31u);
    ContCmdRig::run([&] { EXPECT_EQ(mosSecurity_CheckKeyPairFile(keyPairPath().c_str(), password), MOS_RC__SUCCESS); });
}

// The issued certificate replaces the self-signed one behind the same key, and the
// authentication service answers with it from then on, also after security is enabled again
// on the existing file.
TEST_F(ContCmdSec, IssuedCertificateIsInstalledAndServed)
{
    enableAndGenerate();
    const std::string before = keytest::slurp(keyPairPath());
    const std::string keyPart = before.substr(0, before.find(CONT_OSTREL__CERT_MARKER));
    const std::string issued = issueCertificate();
    ASSERT_FALSE(issued.empty());

    // The Ostrel may count the terminating zero: the text ends there.
    EXPECT_EQ(updateCertificate(issued + std::string(1, '\0') + "trailing bytes"), MOS_RC__SUCCESS);
    EXPECT_EQ(keytest::slurp(keyPairPath()), keyPart + issued);

    ASSERT_TRUE(tlstest::runQuiet("openssl x509 -in " + dir_.file("issued.crt") + " -outform DER -out " +
                                  dir_.file("issued.der")));
    const std::string der = keytest::slurp(dir_.file("issued.der"));
    const std::vector<UINT8> want(der.begin(), der.end());
    EXPECT_EQ(certificateOfChallengeAnswer(), want);

    EXPECT_EQ(configSecurity(TGT_SECURITY__OSTREL_TGT_AUTHENTICATION, TRUE), MOS_RC__SUCCESS);
    EXPECT_EQ(certificateOfChallengeAnswer(), want);
}

// Bad input is answered with a code and changes nothing.
TEST_F(ContCmdSec, BadInputIsRefusedWithoutChange)
{
    // Security off: neither a request nor a certificate.
    EXPECT_EQ(generateCsr(), MOS_RC__SECURITY_IS_DISABLED);
    EXPECT_EQ(updateCertificate("x"), MOS_RC__SECURITY_IS_DISABLED);
    EXPECT_EQ(configSecurity(2, FALSE), MOS_RC__INVALID);
    // On, but there is no key pair to put a certificate on, or to enable with.
    ASSERT_EQ(configSecurity(TGT_SECURITY__OSTREL_TGT_AUTHENTICATION, FALSE), MOS_RC__SUCCESS);
    EXPECT_EQ(updateCertificate("x"), MOS_RC__CERTIFICATE_DOES_NOT_EXIST);
    EXPECT_NE(configSecurity(TGT_SECURITY__OSTREL_TGT_AUTHENTICATION, TRUE), MOS_RC__SUCCESS);

    enableAndGenerate();
    const std::string issued = issueCertificate();
    const std::string before = keytest::slurp(keyPairPath());
    const std::string caCert = keytest::slurp(dir_.file("ca.pem"));
    struct Case {
        const char *what;
        std::string text;
        UINT32 certificateLen;
        Mos_RC want;
    };
    const Case cases[] = {
        {"not PEM", "not a certificate", 17, MOS_RC__INVALID},
        {"PEM cut short", issued.substr(0, issued.size() / 2), (UINT32)(issued.size() / 2), MOS_RC__INVALID},
        {"another key's certificate", caCert, (UINT32)caCert.size(), MOS_RC__INVALID},
        {"empty", "", 0, MOS_RC__INVALID},
        {"length past the record", issued, (UINT32)issued.size() + 1, MOS_RC__INTERFACE_ERROR},
        {"length near 2^32", issued, 0xFFFFFFF0u, MOS_RC__INTERFACE_ERROR},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(updateCertificate(c.text, c.certificateLen), c.want) << c.what;
        EXPECT_EQ(keytest::slurp(keyPairPath()), before) << c.what;
        EXPECT_NE(access((keyPairPath() + ".tmp").c_str(), F_OK), 0) << c.what;
    }
    // Records of the wrong size, with the exact length test on.
    const BOOL bAllow = tgtInitParam_G.bAllowDifferentRequestLen;
    tgtInitParam_G.bAllowDifferentRequestLen = FALSE;
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__CONFIG_SECURITY, 0, std::vector<UINT8>(13)), MOS_RC__INTERFACE_ERROR);
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__GENERATE_CSR, 0, std::vector<UINT8>(7)), MOS_RC__INTERFACE_ERROR);
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__UPDATE_CERTIFICATE, 0, std::vector<UINT8>(9)), MOS_RC__INTERFACE_ERROR);
    EXPECT_EQ(updateCertificate(issued, (UINT32)issued.size() - 1), MOS_RC__INTERFACE_ERROR);
    tgtInitParam_G.bAllowDifferentRequestLen = bAllow;
    EXPECT_EQ(keytest::slurp(keyPairPath()), before);
}

} // namespace
