// Key-pair test support: an authority and a server key pair made by the key-pair generation in a
// directory of the caller's, and the server's key-pair file rebuilt around an issued certificate.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

#include "mos/usr/security/mos_security_cert.h"
#include "test/support/tls_support.h"

namespace keytest {

inline constexpr const char *kPassword = "0123456789abcdef0123456789abcde"; // 31 characters, like the server's

inline std::string slurp(const std::string &file)
{
    std::ifstream in(file);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Writes <dir>/ca.pem (subject /CN=<caName>/O=Qel, key not encrypted) and <dir>/server.pem
// (given name givenName, key encrypted with kPassword) with its request <dir>/server.csr.
inline bool makeAuthorityAndServer(const std::string &dir, const char *caName, const char *givenName)
{
    MosSecurityCertConf caConf{};
    return mosSecurity_InitCertConf(&caConf, nullptr, caName, nullptr, nullptr, nullptr, "Qel", nullptr, nullptr) ==
               MOS_RC__SUCCESS &&
           mosSecurity_GenerateKeyPairFileConf(dir.c_str(), "ca.pem", "", 0, &caConf, nullptr) == MOS_RC__SUCCESS &&
           mosSecurity_GenerateKeyPairFile(dir.c_str(), "server.pem", kPassword, 31, givenName, "server.csr") ==
               MOS_RC__SUCCESS;
}

// <dir>/issued.pem: the server's key block from server.pem followed by the issued certificate
// (PEM text appended by the caller when issuedPem is empty). Returns its path.
inline std::string writeIssuedKeyPair(const std::string &dir, const std::string &issuedPem)
{
    const std::string server = slurp(dir + "/server.pem");
    const std::string path = dir + "/issued.pem";
    std::ofstream(path) << server.substr(0, server.find("-----BEGIN CERTIFICATE-----")) << issuedPem;
    return path;
}

// An outside authority made by the openssl command (<dir>/ca.pem, its key <dir>/ca.key) issues a
// certificate for the PEM request csrFile into <dir>/issued.crt; its text, empty on failure.
inline std::string issueWithTestAuthority(const std::string &dir, const std::string &csrFile)
{
    const std::string d = dir + "/";
    const bool ok =
        tlstest::runQuiet("openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj '/CN=test-ca' -keyout " + d +
                          "ca.key -out " + d + "ca.pem") &&
        tlstest::runQuiet("openssl x509 -req -days 30 -in " + csrFile + " -CA " + d + "ca.pem -CAkey " + d +
                          "ca.key -CAcreateserial -out " + d + "issued.crt");
    return ok ? slurp(d + "issued.crt") : std::string();
}

} // namespace keytest
