// The security commands against a real pellar: security brought up by command in a process whose
// configuration did not ask for it, the key pair and request written to the configuration
// directory derived from the log directory, and the issued certificate installed there.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "test/peers/sim_peer.h"
#include "test/support/net_support.h"
#include "test/support/pellar_process.h"
#include "test/support/keypair_support.h"
#include "test/support/tls_support.h"
#include "tgt/cont/cont_cmd.h"
#include "tgt/cont/cont_cmd_ident_rec.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new NetTestRuntimeEnv);

constexpr uint16_t kGen = 1;

template <class T> std::vector<uint8_t> secTest_Bytes(const T &rec, const std::string &tail = {})
{
    std::vector<uint8_t> b(sizeof(rec));
    memcpy(b.data(), &rec, sizeof(rec));
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
}

TEST(PellarSec, RequestOnCommandAndIssuedCertificateInstalled)
{
    ASSERT_TRUE(std::filesystem::exists(pellarPath())) << pellarPath();
    ScratchDir dir;
    // The log directory is <dir>/log, so the configuration directory is <dir>/cfg.
    const std::string cfg = dir.file("cfg");
    std::filesystem::create_directories(cfg);
    const int port = freePort();
    PellarProcess p(dir, "tgt_port " + std::to_string(port) + "\nsdbg_port 0\n");
    ASSERT_TRUE(p.waitListening(port)) << p.output();
    OstrelSim ostrel;
    ASSERT_TRUE(ostrel.Connect((uint16_t)port, 0x1));
    ASSERT_EQ(ostrel.Attach({.generation = kGen}), MOS_RC__SUCCESS) << p.traces();
    ASSERT_EQ(ostrel.Reconf(true, kGen), MOS_RC__SUCCESS);
    ASSERT_EQ(ostrel.Reconf(false, kGen), MOS_RC__SUCCESS);

    const OstrelTgtReq_GenerateCsr gen{0, kGen};
    EXPECT_EQ(ostrel.Command(TGT_MSG_TYPE__GENERATE_CSR, 0, secTest_Bytes(gen)), MOS_RC__SECURITY_IS_DISABLED);
    const OstrelTgtReq_ConfigSecurity enable{0, kGen, TGT_SECURITY__OSTREL_TGT_AUTHENTICATION, 0};
    ASSERT_EQ(ostrel.Command(TGT_MSG_TYPE__CONFIG_SECURITY, 0, secTest_Bytes(enable)), MOS_RC__SUCCESS) << p.traces();

    std::vector<uint8_t> ans;
    ASSERT_EQ(ostrel.Command(TGT_MSG_TYPE__GENERATE_CSR, 0, secTest_Bytes(gen), &ans), MOS_RC__SUCCESS) << p.traces();
    ASSERT_GE(ans.size(), sizeof(OstrelTgtRsp_GenerateCsr));
    const std::string csr(ans.begin() + sizeof(OstrelTgtRsp_GenerateCsr), ans.end());
    EXPECT_EQ(csr, readFile(cfg + "/pellar.csr"));
    EXPECT_TRUE(tlstest::runQuiet("openssl req -in " + cfg + "/pellar.csr -noout -verify"));

    const std::string issued = keytest::issueWithTestAuthority(dir.path(), cfg + "/pellar.csr");
    ASSERT_FALSE(issued.empty());
    const OstrelTgtReq_UpdateCertificate update{0, kGen, (uint32_t)issued.size()};
    EXPECT_EQ(ostrel.Command(TGT_MSG_TYPE__UPDATE_CERTIFICATE, 0, secTest_Bytes(update, issued)), MOS_RC__SUCCESS)
        << p.traces();
    const std::string keyPair = readFile(cfg + "/pellar_certificate.pem");
    EXPECT_EQ(keyPair.substr(keyPair.find("-----BEGIN CERTIFICATE-----")), issued);
    // The authority's chain holds for what the server now keeps.
    EXPECT_TRUE(tlstest::runQuiet("openssl verify -CAfile " + dir.file("ca.pem") + " " + cfg + "/pellar_certificate.pem"));
    // Enabled again on the file as it stands: the key and its new certificate load.
    const OstrelTgtReq_ConfigSecurity reuse{0, kGen, TGT_SECURITY__OSTREL_TGT_AUTHENTICATION, 1};
    EXPECT_EQ(ostrel.Command(TGT_MSG_TYPE__CONFIG_SECURITY, 0, secTest_Bytes(reuse)), MOS_RC__SUCCESS) << p.traces();
    EXPECT_FALSE(p.exited(std::chrono::milliseconds(0))) << p.traces();
}

} // namespace
