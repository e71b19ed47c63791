// SHA-256 throughput beside `openssl speed -evp sha256`, and TLS 1.2 bulk transfer between two
// sessions over memory buffers beside `openssl speed -evp aes-128-gcm`, both on 16 KB blocks and
// measured in the same run.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_harness.h"
#include "common/sha2.h"
#include "mos/mos_load.h"
#include "mos/usr/security/mos_security.h"
#include "mos/usr/security/mos_ssl.h"
#include "test/support/tls_support.h"

namespace {

constexpr size_t kBlock = 16384;
constexpr size_t kTotal = size_t{256} << 20;

// The anchor: openssl's own figure for 16 KB blocks, in MB/s (its table is in 1000s of bytes/s).
double opensslSpeed(const char *pAlg)
{
    const std::string cmd = std::string("openssl speed -evp ") + pAlg + " -bytes 16384 -seconds 2 2>/dev/null";
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return 0;
    char line[512];
    double kPerSec = 0;
    while (fgets(line, sizeof(line), p) != nullptr) {
        char name[64];
        double value = 0;
        if (sscanf(line, "%63s %lfk", name, &value) == 2 && value > 0)
            kPerSec = value;
    }
    pclose(p);
    return kPerSec / 1000.0;
}

double sha256MBps()
{
    std::vector<sha2_byte> block(kBlock);
    for (size_t i = 0; i < block.size(); i++)
        block[i] = (sha2_byte)(i * 13);
    const double secs = bench::bestSeconds(3, [&] {
        sha2_byte digest[SHA256_DIGEST_LENGTH];
        for (size_t done = 0; done < kTotal; done += kBlock) {
            SHA256_CTX ctx;
            SHA256_Init(&ctx);
            SHA256_Update(&ctx, block.data(), block.size());
            SHA256_Final(digest, &ctx);
            bench::keep(digest);
        }
    });
    return (double)kTotal / secs / 1e6;
}

// Client encrypts 16 KB records, the ciphertext moves to the server's read buffer, the server
// decrypts: MB/s of plaintext through both ends.
double tlsMBps(MosSslSocketHandle *pClient, MosSslSocketHandle *pServer)
{
    std::vector<UINT8> out(kBlock, 0x5a), in(kBlock);
    bool ok = true;
    const double secs = bench::bestSeconds(3, [&] {
        for (size_t done = 0; done < kTotal && ok; done += kBlock) {
            UINT32 taken = 0;
            ok = mosSsl_WritePrepare(pClient, out.data(), (UINT32)out.size(), &taken) == MOS_RC__SUCCESS &&
                 tlstest::moveCiphertext(pClient, pServer);
            for (size_t got = 0; ok && got < kBlock;) {
                UINT32 n = 0;
                ok = mosSsl_Read(pServer, in.data(), (UINT32)in.size(), &n) == MOS_RC__SUCCESS;
                got += n;
            }
        }
    });
    return ok ? (double)kTotal / secs / 1e6 : 0;
}

MosSslConf sslConf(UINT64 contextId, const std::string &keyPair, const char *pPassword, const std::string &trust)
{
    MosSslConf conf{};
    conf.bEnable = TRUE;
    conf.contextId = contextId;
    conf.certVerifyDepth = 4;
    snprintf(conf.keyPairFile, sizeof(conf.keyPairFile), "%s", keyPair.c_str());
    snprintf(conf.password, sizeof(conf.password), "%s", pPassword);
    snprintf(conf.trustedCertFile, sizeof(conf.trustedCertFile), "%s", trust.c_str());
    snprintf(conf.sslMethodStr, sizeof(conf.sslMethodStr), "TLSv1.2");
    // The anchor's cipher, so that the two figures compare the same work plus our overhead.
    snprintf(conf.sslCipherList, sizeof(conf.sslCipherList), "ECDHE-ECDSA-AES128-GCM-SHA256");
    return conf;
}

} // namespace

int main()
{
    const double ours = sha256MBps();
    const double anchor = opensslSpeed("sha256");
    printf("SHA-256, 16 KB blocks: %.0f MB/s   (openssl speed -evp sha256: %.0f MB/s, ratio %.2f)\n", ours, anchor,
           anchor > 0 ? ours / anchor : 0);

    if (mos_Init(nullptr) != MOS_RC__SUCCESS) {
        printf("TLS bulk transfer: runtime did not start\n");
        return 1;
    }
    char dir[] = "/tmp/pellar-bench-XXXXXX";
    tlstest::TlsCerts certs;
    if (mkdtemp(dir) == nullptr || !tlstest::makeTlsCerts(dir, &certs)) {
        printf("TLS bulk transfer: certificates could not be made\n");
        return 1;
    }
    MosSecurityConf conf{};
    conf.bEnable = TRUE;
    conf.sslConf = sslConf(MOS_SSL_CONTEXT_ID__DEFAULT, certs.serverKeyPair, tlstest::kServerPassword, certs.caFile);
    MosSslConf clientConf = sslConf(MOS_SSL_CONTEXT_ID__CUSTOM_1, certs.clientKeyPair, "", certs.caFile);
    double tls = 0;
    if (mosSecurity_Init(&conf) == MOS_RC__SUCCESS && mosSsl_UpdateConf(&clientConf) == MOS_RC__SUCCESS) {
        MosSslSessionParams serverParams{MOS_SSL_CONTEXT_ID__DEFAULT, nullptr};
        MosSslSessionParams clientParams{MOS_SSL_CONTEXT_ID__CUSTOM_1, nullptr};
        MosSslSocketHandle *pServer = mosSsl_CreateSocketHandle(&serverParams, TRUE);
        MosSslSocketHandle *pClient = mosSsl_CreateSocketHandle(&clientParams, FALSE);
        if (pServer != nullptr && pClient != nullptr && tlstest::handshakePair(pClient, pServer) == MOS_RC__SUCCESS)
            tls = tlsMBps(pClient, pServer);
        mosSsl_DestroySocketHandle(pClient);
        mosSsl_DestroySocketHandle(pServer);
    }
    const double gcm = opensslSpeed("aes-128-gcm");
    printf("TLS 1.2 bulk over memory buffers (AES-128-GCM, 16 KB records, encrypt + decrypt): %.0f MB/s   "
           "(openssl speed -evp aes-128-gcm, one direction: %.0f MB/s, ratio %.2f; two passes per byte here)\n",
           tls, gcm, gcm > 0 ? tls / gcm : 0);
    tlstest::runQuiet(std::string("rm -rf ") + dir);
    mos_Destroy();
    return tls > 0 ? 0 : 1;
}
