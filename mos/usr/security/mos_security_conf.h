// The security configuration records: the process-wide MosSecurityConf and the settings of the
// TLS contexts and of the authentication service that it carries. Plain data, no behaviour.
#pragma once

#include "mos/mos_types.h"

#define MOS_SECURITY__FILE_NAME_LEN 256
#define MOS_SECURITY__PASSWORD_LEN 32
#define MOS_SECURITY__NUM_CONF_ENTRIES 16

typedef CHAR_A MosSecurityFileName[MOS_SECURITY__FILE_NAME_LEN];
typedef CHAR_A Password[MOS_SECURITY__PASSWORD_LEN];

// Settings of the TLS contexts. Strings are NUL-terminated.
struct MosSslConf {
    MosSecurityFileName trustedCertFile; // PEM file of trusted certificate authorities
    MosSecurityFileName keyPairFile;     // PEM file: this process's certificate chain and private key
    Password password;                   // the private key's password
    CHAR_A sslCipherList[256];           // an OpenSSL cipher-list string
    CHAR_A sslMethodStr[256];            // "TLSv1.0", "TLSv1.1" or "TLSv1.2" (any case)
    UINT64 contextId;                    // which of the three context slots this fills
    UINT64 certVerifyDepth;              // maximum certificate chain depth
    BOOL bEnable;
    BOOL bDisableClientAuth; // a server does not ask for or verify its client's certificate
};

// Settings of the authentication service.
struct MosAuthConf {
    MosSecurityFileName keyPairFile;     // PEM file with this process's certificate and private key
    MosSecurityFileName trustedCertFile; // PEM file of trusted certificates for checking peers
    Password password;
    BOOL bEnable;
};

struct MosSecurityConf {
    MosSslConf sslConf;
    MosAuthConf authConf;
    BOOL bEnable;              // security requested as a whole
    BOOL bAsynchronousLoad;    // initialise on the layer's own blocking-call thread
    BOOL bServerAllowUnsecure; // read by the messaging layer's server policy
};

enum MosSecurityDigestType : UINT32 {
    MOS_SECURITY_DIGEST_TYPE__SHA_1 = 0,
    MOS_SECURITY_DIGEST_TYPE__SHA_256 = 1,
    MOS_SECURITY_DIGEST_TYPE__SHA_512 = 2,
};
