// TLS test support, header-only so that benchmarks (which do not link the test support library)
// can use it too: certificates made at run time by the openssl command in a directory of the
// caller's (a test authority, leaf key-pair files signed by it, one signed by an authority nobody
// trusts, a self-signed one), and moving ciphertext between two sessions in one process.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "mos/usr/security/mos_ssl.h"

namespace tlstest {

// The key-pair files hold the certificate, then its private key; the server's key is encrypted
// with kServerPassword.
struct TlsCerts {
    std::string caFile;         // the trusted authority's certificate
    std::string serverKeyPair;  // CN "server", signed by the authority
    std::string clientKeyPair;  // CN "client", signed by the authority
    std::string rogueKeyPair;   // CN "server", signed by an authority that is not trusted
    std::string selfSignedKeyPair; // CN "server", self-signed
};

inline constexpr const char *kServerPassword = "s3cret-pass";

// Runs a fixture command, its output kept aside. A command that fails is tried again (a loaded
// machine has been seen to fail one now and then) and, failing still, its output is shown.
inline bool runQuiet(const std::string &cmd)
{
    const std::string log = "/tmp/pellar-tls-fixture-" + std::to_string(getpid()) + ".log";
    bool ok = false;
    for (int attempt = 0; attempt < 3 && !ok; attempt++)
        ok = std::system(("(" + cmd + ") >" + log + " 2>&1").c_str()) == 0;
    if (!ok) {
        fprintf(stderr, "fixture command failed: %s\n", cmd.c_str());
        if (std::system(("cat " + log + " >&2").c_str()) != 0)
            fprintf(stderr, "(its output is lost)\n");
    }
    std::remove(log.c_str());
    return ok;
}

// Makes every file in dir; false when the openssl command fails.
inline bool makeTlsCerts(const std::string &dir, TlsCerts *pCerts)
{
    const std::string d = dir + "/";
    auto authority = [&](const std::string &name) {
        return runQuiet("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 -subj '/CN=" + name + "' -keyout " + d +
                        name + ".key -out " + d + name + ".pem");
    };
    // A leaf signed by `ca`, written as <name>.pem = certificate then key (encrypted when a
    // password is given).
    auto leaf = [&](const std::string &name, const std::string &cn, const std::string &ca, const std::string &pass) {
        const std::string key = d + name + ".key";
        bool ok = runQuiet("openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj '/CN=" + cn + "' -keyout " + key + " -out " + d +
                           name + ".csr") &&
                  runQuiet("openssl x509 -req -days 30 -in " + d + name + ".csr -CA " + d + ca + ".pem -CAkey " + d +
                           ca + ".key -CAcreateserial -out " + d + name + ".crt");
        if (ok && !pass.empty())
            ok = runQuiet("openssl pkey -in " + key + " -aes256 -passout pass:" + pass + " -out " + key + ".enc") &&
                 runQuiet("mv " + key + ".enc " + key);
        return ok && runQuiet("cat " + d + name + ".crt " + key + " > " + d + name + ".pem");
    };
    bool ok = authority("testca") && authority("rogueca") && leaf("server", "server", "testca", kServerPassword) &&
              leaf("client", "client", "testca", "") && leaf("rogue", "server", "rogueca", "") &&
              runQuiet("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 -subj '/CN=server' -keyout " + d +
                       "self.key -out " + d + "self.crt") &&
              runQuiet("cat " + d + "self.crt " + d + "self.key > " + d + "self.pem");
    pCerts->caFile = d + "testca.pem";
    pCerts->serverKeyPair = d + "server.pem";
    pCerts->clientKeyPair = d + "client.pem";
    pCerts->rogueKeyPair = d + "rogue.pem";
    pCerts->selfSignedKeyPair = d + "self.pem";
    return ok;
}

// A TLS 1.2 context's settings for slot ctx: the key pair (with its password, "" for none) and
// the authorities it trusts.
inline MosSslConf sslConf(UINT64 ctx, const std::string &keyPair, const std::string &password,
                          const std::string &trust)
{
    MosSslConf conf{};
    conf.bEnable = TRUE;
    conf.contextId = ctx;
    conf.certVerifyDepth = 4;
    snprintf(conf.keyPairFile, sizeof(conf.keyPairFile), "%s", keyPair.c_str());
    snprintf(conf.password, sizeof(conf.password), "%s", password.c_str());
    snprintf(conf.trustedCertFile, sizeof(conf.trustedCertFile), "%s", trust.c_str());
    snprintf(conf.sslMethodStr, sizeof(conf.sslMethodStr), "TLSv1.2");
    snprintf(conf.sslCipherList, sizeof(conf.sslCipherList), "ECDH+AESGCM:ECDH+AES256:ECDH+AES128:!aNULL:!eNULL");
    return conf;
}

// Moves the ciphertext waiting in from's write buffer into to's read buffer. False on a failure.
inline bool moveCiphertext(MosSslSocketHandle *pFrom, MosSslSocketHandle *pTo, bool *pMoved = nullptr)
{
    const UINT8 *pData = nullptr;
    UINT32 size = 0;
    const Mos_RC rc = mosSsl_WriteGetData(pFrom, &pData, &size);
    if (pMoved != nullptr)
        *pMoved = rc == MOS_RC__SUCCESS;
    if (rc == MOS_RC__NO_MORE_ELEMENTS)
        return true;
    if (rc != MOS_RC__SUCCESS || mosSsl_ReadPrepare(pTo, pData, size) != MOS_RC__SUCCESS)
        return false;
    mosSsl_WriteDone(pFrom);
    return true;
}

// Runs both handshakes on the calling thread until both complete. The first failing step's
// code, or MOS_RC__SUCCESS.
inline Mos_RC handshakePair(MosSslSocketHandle *pClient, MosSslSocketHandle *pServer)
{
    Mos_RC clientRc = MOS_RC__PENDING, serverRc = MOS_RC__PENDING;
    for (int round = 0; round < 100 && (clientRc != MOS_RC__SUCCESS || serverRc != MOS_RC__SUCCESS); round++) {
        BOOL bRead = FALSE, bWrite = FALSE;
        clientRc = mosSsl_Handshake(pClient, &bRead, &bWrite);
        if (clientRc != MOS_RC__SUCCESS && clientRc != MOS_RC__PENDING)
            return clientRc;
        if (!moveCiphertext(pClient, pServer))
            return MOS_RC__ERROR;
        serverRc = mosSsl_Handshake(pServer, &bRead, &bWrite);
        if (serverRc != MOS_RC__SUCCESS && serverRc != MOS_RC__PENDING)
            return serverRc;
        if (!moveCiphertext(pServer, pClient))
            return MOS_RC__ERROR;
    }
    return clientRc == MOS_RC__SUCCESS && serverRc == MOS_RC__SUCCESS ? MOS_RC__SUCCESS : MOS_RC__TIMEOUT;
}

} // namespace tlstest
