// TLS sessions over memory buffers: two sessions of one process, certificates made by the
// openssl command for each test.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "mos/mos_trace.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "mos/usr/security/mos_security.h"
#include "mos/usr/security/mos_ssl_intrn.h"
#include "test/support/scratch_dir.h"
#include "test/support/tls_support.h"
#include "test/support/umt_test_support.h"
#include "mos/mos_trace_layer.h"

namespace {

::testing::Environment *const kEnv = ::testing::AddGlobalTestEnvironment(new UmtRuntimeEnv);

constexpr MosSslContextIdType kServerCtx = MOS_SSL_CONTEXT_ID__DEFAULT;
constexpr MosSslContextIdType kClientCtx = MOS_SSL_CONTEXT_ID__CUSTOM_1;
constexpr MosSslContextIdType kSpareCtx = MOS_SSL_CONTEXT_ID__CUSTOM_2;

void setString(char *pDst, size_t size, const std::string &value)
{
    snprintf(pDst, size, "%s", value.c_str());
}

MosSslConf sslConf(UINT64 contextId, const std::string &keyPair, const std::string &password, const std::string &trust)
{
    MosSslConf conf{};
    conf.bEnable = TRUE;
    conf.contextId = contextId;
    conf.certVerifyDepth = 4;
    setString(conf.keyPairFile, sizeof(conf.keyPairFile), keyPair);
    setString(conf.password, sizeof(conf.password), password);
    setString(conf.trustedCertFile, sizeof(conf.trustedCertFile), trust);
    setString(conf.sslMethodStr, sizeof(conf.sslMethodStr), "TLSv1.2");
    setString(conf.sslCipherList, sizeof(conf.sslCipherList),
              "ECDH+AESGCM:DH+AESGCM:ECDH+AES256:DH+AES256:ECDH+AES128:DH+AES:RSA+AESGCM:RSA+AES:!aNULL:!eNULL:!MD5");
    return conf;
}

// Security up with the server's context in slot 0 and the client's in slot 1, both trusting the
// test authority.
class TlsSessions : public ::testing::Test {
  protected:
    void SetUp() override
    {
        mosTrcLayer_DumpToStdout(TRUE); // failures show their trace lines in the test's output
        ASSERT_TRUE(tlstest::makeTlsCerts(dir.path(), &certs));
        conf = MosSecurityConf{};
        conf.bEnable = TRUE;
        conf.sslConf = sslConf(kServerCtx, certs.serverKeyPair, tlstest::kServerPassword, certs.caFile);
        ASSERT_EQ(mosSecurity_Init(&conf), MOS_RC__SUCCESS);
        ASSERT_TRUE(mosSecurity_IsInitialized());
        clientConf = sslConf(kClientCtx, certs.clientKeyPair, "", certs.caFile);
        ASSERT_EQ(mosSsl_UpdateConf(&clientConf), MOS_RC__SUCCESS);
    }
    void TearDown() override
    {
        for (MosSslSocketHandle *h : handles)
            mosSsl_DestroySocketHandle(h);
        for (MosSecurityCertOpaque *p : opaques)
            mosSecurity_FreeCertOpaque(p);
        mosSecurityLayer_Destroy();
    }
    MosSslSocketHandle *session(MosSslContextIdType ctx, BOOL bServer, MosSecurityCertOpaque *pOpq = nullptr)
    {
        MosSslSessionParams params{ctx, pOpq};
        MosSslSocketHandle *h = mosSsl_CreateSocketHandle(&params, bServer);
        if (h != nullptr)
            handles.push_back(h);
        return h;
    }
    MosSecurityCertOpaque *opaque()
    {
        opaques.push_back(mosSecurity_AllocCertOpaque());
        return opaques.back();
    }

    ScratchDir dir;
    tlstest::TlsCerts certs;
    MosSecurityConf conf;
    MosSslConf clientConf;
    std::vector<MosSslSocketHandle *> handles;
    std::vector<MosSecurityCertOpaque *> opaques;
};

// One direction of the wire between the two uthreads.
struct Pipe {
    std::mutex lock;
    std::string bytes;
};

// One side of a session run by its own uthread: hands its ciphertext to `out`, feeds what `in`
// holds, and yields when neither it nor its peer can make progress.
struct Side {
    MosSslSocketHandle *h;
    Pipe *in;
    Pipe *out;
    UINT8 seed;
    size_t total;
    size_t sent = 0;
    size_t received = 0;
    bool bad = false;

    bool flush()
    {
        const UINT8 *pData = nullptr;
        UINT32 size = 0;
        const Mos_RC rc = mosSsl_WriteGetData(h, &pData, &size);
        if (rc == MOS_RC__NO_MORE_ELEMENTS)
            return false;
        EXPECT_EQ(rc, MOS_RC__SUCCESS);
        {
            std::lock_guard<std::mutex> g(out->lock);
            out->bytes.append(reinterpret_cast<const char *>(pData), size);
        }
        mosSsl_WriteDone(h);
        return true;
    }
    bool feed()
    {
        std::string chunk;
        {
            std::lock_guard<std::mutex> g(in->lock);
            chunk.swap(in->bytes);
        }
        if (chunk.empty())
            return false;
        EXPECT_EQ(mosSsl_ReadPrepare(h, chunk.data(), (UINT32)chunk.size()), MOS_RC__SUCCESS);
        return true;
    }
    Mos_RC handshake()
    {
        for (;;) {
            BOOL bRead = FALSE, bWrite = FALSE;
            const Mos_RC rc = mosSsl_Handshake(h, &bRead, &bWrite);
            if (rc != MOS_RC__PENDING)
                return rc;
            flush();
            if (bRead && !feed())
                mosUmt_Yield();
        }
    }
    // Sends `total` bytes of its pattern and checks as many of the peer's, at once.
    void exchange()
    {
        std::vector<UINT8> chunk(16384), buf(16384);
        while ((sent < total || received < total) && !bad) {
            bool progress = false;
            if (sent < total) {
                const UINT32 n = (UINT32)std::min(chunk.size(), total - sent);
                for (UINT32 i = 0; i < n; i++)
                    chunk[i] = (UINT8)((sent + i) * 7 + seed);
                UINT32 taken = 0;
                EXPECT_EQ(mosSsl_WritePrepare(h, chunk.data(), n, &taken), MOS_RC__SUCCESS);
                EXPECT_EQ(taken, n);
                sent += n;
                progress = flush();
            }
            progress = feed() || progress;
            for (;;) {
                UINT32 got = 0;
                const Mos_RC rc = mosSsl_Read(h, buf.data(), (UINT32)buf.size(), &got);
                if (rc == MOS_RC__PENDING)
                    break;
                if (rc != MOS_RC__SUCCESS) {
                    ADD_FAILURE() << "read failed with " << mosRc_GetStr(rc);
                    bad = true;
                    break;
                }
                for (UINT32 i = 0; i < got; i++)
                    if (buf[i] != (UINT8)((received + i) * 7 + (seed ^ 1))) {
                        ADD_FAILURE() << "byte " << received + i << " differs";
                        bad = true;
                        break;
                    }
                received += got;
                progress = true;
            }
            if (!progress)
                mosUmt_Yield();
        }
    }
};

// Runs fnA and fnB as two uthreads on a scheduler of two OS threads, so that either may move to
// the other OS thread between two TLS calls, and joins both.
void runOnTwoUthreads(const std::function<void()> &fnA, const std::function<void()> &fnB)
{
    MosUmt_SchedThrd sched;
    ASSERT_EQ(mosUmtSchedThrd_Create(&sched, "tls test", 2, 2, 0), MOS_RC__SUCCESS);
    struct Box {
        std::function<void()> fn;
    } a{fnA}, b{fnB};
    auto start = [](void *p) { static_cast<Box *>(p)->fn(); };
    HMosUmt_UThread ha = mosUmt_CreateUThreadEx(start, &a, &sched.base, nullptr, TRUE, MosUmtClassId{0, 0});
    HMosUmt_UThread hb = mosUmt_CreateUThreadEx(start, &b, &sched.base, nullptr, TRUE, MosUmtClassId{0, 0});
    ASSERT_NE(ha, nullptr);
    ASSERT_NE(hb, nullptr);
    mosUmt_JoinSync(ha);
    mosUmt_JoinSync(hb);
    mosUmtSchedThrd_Destroy(&sched);
}

TEST_F(TlsSessions, HandshakeThenAMegabyteEachWayOnUthreads)
{
    MosSslSocketHandle *server = session(kServerCtx, TRUE, opaque());
    MosSslSocketHandle *client = session(kClientCtx, FALSE, opaque());
    ASSERT_NE(server, nullptr);
    ASSERT_NE(client, nullptr);
    Pipe toServer, toClient;
    constexpr size_t kBytes = 1 << 20;
    Side s{server, &toServer, &toClient, 0x20, kBytes};
    Side c{client, &toClient, &toServer, 0x21, kBytes};
    Mos_RC serverRc = MOS_RC__ERROR, clientRc = MOS_RC__ERROR;
    runOnTwoUthreads([&] { serverRc = s.handshake(); }, [&] { clientRc = c.handshake(); });
    ASSERT_EQ(serverRc, MOS_RC__SUCCESS);
    ASSERT_EQ(clientRc, MOS_RC__SUCCESS);
    EXPECT_TRUE(server->bConnected);
    EXPECT_TRUE(client->bConnected);

    // Both peers verified; the client knows its server by its exact common name.
    EXPECT_EQ(mosSsl_VerifyPeer(server, nullptr, 0), MOS_RC__SUCCESS);
    const char *const kNames[] = {"other", "server"};
    EXPECT_EQ(mosSsl_VerifyPeer(client, kNames, 2), MOS_RC__SUCCESS);
    const char *const kClientName[] = {"client"};
    EXPECT_EQ(mosSsl_VerifyPeer(server, kClientName, 1), MOS_RC__SUCCESS);
    for (const char *pWrong : {"serve", "server ", "Server", "server.example", ""}) {
        const char *const names[] = {pWrong};
        EXPECT_EQ(mosSsl_VerifyPeer(client, names, 1), MOS_RC__CERT_VERIFY_FAILURE) << "'" << pWrong << "'";
    }

    // Starting security again while the sessions live keeps the binding and their contexts.
    SSL_CTX *pServerCtx = mosSsl_Manager_G.contextData[kServerCtx].pSslCtx;
    EXPECT_EQ(mosSecurity_Init(&conf), MOS_RC__SUCCESS);
    EXPECT_TRUE(mosSecurity_IsInitialized());
    EXPECT_EQ(mosSsl_Manager_G.contextData[kServerCtx].pSslCtx, pServerCtx);
    EXPECT_EQ(mosSsl_Manager_G.contextData[kServerCtx].refCnt, 1u);

    runOnTwoUthreads([&] { s.exchange(); }, [&] { c.exchange(); });
    EXPECT_EQ(s.received, kBytes);
    EXPECT_EQ(c.received, kBytes);
    EXPECT_FALSE(s.bad || c.bad);
}

TEST_F(TlsSessions, ReadingAnEmptyBufferIsPendingNotClosed)
{
    MosSslSocketHandle *server = session(kServerCtx, TRUE);
    MosSslSocketHandle *client = session(kClientCtx, FALSE);
    ASSERT_EQ(tlstest::handshakePair(client, server), MOS_RC__SUCCESS);
    char buf[64];
    UINT32 got = 99;
    EXPECT_EQ(mosSsl_Read(server, buf, sizeof(buf), &got), MOS_RC__PENDING);
    EXPECT_EQ(got, 0u);
    const UINT8 *pData = nullptr;
    UINT32 size = 0;
    EXPECT_EQ(mosSsl_WriteGetData(server, &pData, &size), MOS_RC__NO_MORE_ELEMENTS);
    // Garbage where a record should be is an error, not a wait.
    const char kJunk[] = "this is no TLS record at all, just text";
    ASSERT_EQ(mosSsl_ReadPrepare(server, kJunk, sizeof(kJunk)), MOS_RC__SUCCESS);
    EXPECT_EQ(mosSsl_Read(server, buf, sizeof(buf), &got), MOS_RC__ERROR);
    EXPECT_EQ(mosSsl_Disconnect(server), MOS_RC__SUCCESS);
    EXPECT_FALSE(server->bConnected);

    // A peer's closing alert ends the session: its reads report "not connected" from then on.
    MosSslSocketHandle *server2 = session(kServerCtx, TRUE);
    MosSslSocketHandle *client2 = session(kClientCtx, FALSE);
    ASSERT_EQ(tlstest::handshakePair(client2, server2), MOS_RC__SUCCESS);
    ASSERT_GE(SSL_shutdown_p(client2->pSsl), 0);
    ASSERT_TRUE(tlstest::moveCiphertext(client2, server2));
    EXPECT_EQ(mosSsl_Read(server2, buf, sizeof(buf), &got), MOS_RC__NOT_CONN);
}

// A sender that took the write buffer keeps its bytes while the session writes on (into a fresh
// buffer): a large write that would have to grow a shared buffer leaves them where they are.
TEST_F(TlsSessions, ATakenWriteBufferIsNotMovedByLaterWrites)
{
    MosSslSocketHandle *server = session(kServerCtx, TRUE);
    MosSslSocketHandle *client = session(kClientCtx, FALSE);
    ASSERT_EQ(tlstest::handshakePair(client, server), MOS_RC__SUCCESS);
    BIO *pBio = nullptr;
    const UINT8 *pData = nullptr;
    UINT32 size = 0;
    EXPECT_EQ(mosSsl_WriteTake(client, &pBio, &pData, &size), MOS_RC__NO_MORE_ELEMENTS);

    const std::string first = "first message", second(200000, 'x');
    UINT32 taken = 0;
    ASSERT_EQ(mosSsl_WritePrepare(client, first.data(), (UINT32)first.size(), &taken), MOS_RC__SUCCESS);
    ASSERT_EQ(mosSsl_WriteTake(client, &pBio, &pData, &size), MOS_RC__SUCCESS);
    const std::vector<UINT8> snapshot(pData, pData + size);
    ASSERT_EQ(mosSsl_WritePrepare(client, second.data(), (UINT32)second.size(), &taken), MOS_RC__SUCCESS);
    ASSERT_EQ(std::vector<UINT8>(pData, pData + size), snapshot);

    // The taken bytes, then what was written after them, make the stream in order.
    ASSERT_EQ(mosSsl_ReadPrepare(server, pData, size), MOS_RC__SUCCESS);
    mosSsl_WriteRelease(client, pBio);
    EXPECT_NE(client->pSpareWriteBio, nullptr); // kept for the next take
    ASSERT_TRUE(tlstest::moveCiphertext(client, server));
    std::string got(first.size() + second.size(), '\0');
    size_t have = 0;
    while (have < got.size()) {
        UINT32 n = 0;
        ASSERT_EQ(mosSsl_Read(server, &got[have], (UINT32)(got.size() - have), &n), MOS_RC__SUCCESS) << have;
        have += n;
    }
    EXPECT_TRUE(got == first + second);
}

// A server whose certificate the client cannot trust: refused during the handshake, and the
// client's opaque holds the server's certificate and the reason.
TEST_F(TlsSessions, UntrustedServerIsRefusedWithTheReason)
{
    struct Case {
        std::string keyPair;
        Mos_RC expected;
    };
    const Case kCases[] = {{certs.rogueKeyPair, MOS_RC__ISSUER_CERT_NOT_TRUSTED},
                           {certs.selfSignedKeyPair, MOS_RC__SELF_SIGNED_CERT_NOT_TRUSTED}};
    for (const Case &k : kCases) {
        MosSslConf rogue = sslConf(kSpareCtx, k.keyPair, "", "");
        ASSERT_EQ(mosSsl_UpdateConf(&rogue), MOS_RC__SUCCESS);
        MosSecurityCertOpaque *pOpq = opaque();
        MosSslSocketHandle *server = session(kSpareCtx, TRUE);
        MosSslSocketHandle *client = session(kClientCtx, FALSE, pOpq);
        EXPECT_EQ(tlstest::handshakePair(client, server), MOS_RC__ERROR) << k.keyPair;
        EXPECT_TRUE(pOpq->bValid);
        EXPECT_EQ(pOpq->rc, k.expected) << k.keyPair;
        EXPECT_GT(pOpq->bufSize, 0u);
        EXPECT_NE(pOpq->verifyErrStr[0], '\0');
        X509 *pCert = nullptr;
        EXPECT_EQ(mosSecurity_GetCertFromOpaque(pOpq, &pCert), MOS_RC__SUCCESS);
        X509_free_p(pCert);
        for (MosSslSocketHandle *h : {server, client}) {
            mosSsl_DestroySocketHandle(h);
            std::erase(handles, h);
        }
    }
}

// Switching client authentication off concerns the server only: its client need not show a
// certificate, but a client configured the same way still refuses a server it cannot verify.
TEST_F(TlsSessions, DisabledClientAuthBindsTheServerOnly)
{
    MosSslConf anonymous = sslConf(kSpareCtx, "", "", "");
    anonymous.bDisableClientAuth = TRUE;
    ASSERT_EQ(mosSsl_UpdateConf(&anonymous), MOS_RC__SUCCESS);
    MosSslConf server = sslConf(kServerCtx, certs.serverKeyPair, tlstest::kServerPassword, certs.caFile);
    server.bDisableClientAuth = TRUE;
    ASSERT_EQ(mosSsl_UpdateConf(&server), MOS_RC__SUCCESS);

    MosSslSocketHandle *s = session(kServerCtx, TRUE, opaque());
    MosSslSocketHandle *c = session(kClientCtx, FALSE);
    ASSERT_EQ(tlstest::handshakePair(c, s), MOS_RC__SUCCESS);
    EXPECT_EQ(mosSsl_VerifyPeer(s, nullptr, 0), MOS_RC__SUCCESS);

    // The client without a trust file cannot verify the server, whatever its own setting says.
    MosSecurityCertOpaque *pOpq = opaque();
    MosSslSocketHandle *s2 = session(kServerCtx, TRUE);
    MosSslSocketHandle *c2 = session(kSpareCtx, FALSE, pOpq);
    EXPECT_EQ(tlstest::handshakePair(c2, s2), MOS_RC__ERROR);
    EXPECT_EQ(pOpq->rc, MOS_RC__ISSUER_CERT_NOT_TRUSTED);
}

// OpenSSL's verification result reads "ok" before any certificate was seen; a session whose peer
// never showed one must not pass for verified.
TEST_F(TlsSessions, PeerWithoutCertificateIsNotVerified)
{
    MosSslSocketHandle *client = session(kClientCtx, FALSE);
    MosSslSocketHandle *server = session(kServerCtx, TRUE);
    EXPECT_EQ(mosSsl_VerifyPeer(client, nullptr, 0), MOS_RC__CERT_VERIFY_FAILURE);
    EXPECT_EQ(mosSsl_VerifyPeer(server, nullptr, 0), MOS_RC__CERT_VERIFY_FAILURE);
    EXPECT_EQ(mosSsl_VerifyPeer(nullptr, nullptr, 0), MOS_RC__ERROR);
}

// A server that requires client certificates refuses a client that has none.
TEST_F(TlsSessions, ClientWithoutCertificateIsRefused)
{
    MosSslConf bare = sslConf(kSpareCtx, "", "", certs.caFile);
    ASSERT_EQ(mosSsl_UpdateConf(&bare), MOS_RC__SUCCESS);
    MosSslSocketHandle *s = session(kServerCtx, TRUE, opaque());
    MosSslSocketHandle *c = session(kSpareCtx, FALSE);
    EXPECT_NE(tlstest::handshakePair(c, s), MOS_RC__SUCCESS);
    EXPECT_NE(mosSsl_VerifyPeer(s, nullptr, 0), MOS_RC__SUCCESS);
}

TEST_F(TlsSessions, ContextUpdatesRefuseBadFilesAndContextsInUse)
{
    struct Case {
        const char *pWhat;
        MosSslConf conf;
        Mos_RC expected;
    };
    MosSslConf badCiphers = sslConf(kSpareCtx, certs.clientKeyPair, "", certs.caFile);
    setString(badCiphers.sslCipherList, sizeof(badCiphers.sslCipherList), "NO-SUCH-CIPHER");
    MosSslConf badSlot = sslConf(kSpareCtx, "", "", "");
    badSlot.contextId = 3;
    const Case kCases[] = {
        {"missing key pair", sslConf(kSpareCtx, dir.file("none.pem"), "", ""), MOS_RC__ERROR_LOADING_SSL_KEY_PAIR},
        {"wrong password", sslConf(kSpareCtx, certs.serverKeyPair, "wrong", ""), MOS_RC__ERROR_LOADING_SSL_KEY_PAIR},
        {"missing trust file", sslConf(kSpareCtx, "", "", dir.file("none.pem")), MOS_RC__ERROR_LOADING_SSL_TRUST},
        {"bad cipher list", badCiphers, MOS_RC__INVALID_SSL_CIPHERS},
        {"slot 3", badSlot, MOS_RC__ERROR_UPDATING_SECURITY_CONF},
    };
    for (const Case &k : kCases) {
        EXPECT_EQ(mosSsl_UpdateConf(&k.conf), k.expected) << k.pWhat;
        EXPECT_EQ(mosSsl_Manager_G.contextData[kSpareCtx].pSslCtx, nullptr) << k.pWhat;
    }
    // A slot that a session holds keeps its context.
    MosSslSocketHandle *h = session(kClientCtx, FALSE);
    ASSERT_NE(h, nullptr);
    SSL_CTX *pBefore = mosSsl_Manager_G.contextData[kClientCtx].pSslCtx;
    EXPECT_EQ(mosSsl_UpdateConf(&clientConf), MOS_RC__ERROR_UPDATING_SECURITY_CONF);
    EXPECT_EQ(mosSsl_Manager_G.contextData[kClientCtx].pSslCtx, pBefore);
    // A session on an empty slot or a slot past the last is not made.
    MosSslSessionParams empty{kSpareCtx, nullptr};
    EXPECT_EQ(mosSsl_CreateSocketHandle(&empty, TRUE), nullptr);
    EXPECT_EQ(mosSsl_Manager_G.contextData[kSpareCtx].refCnt, 0u);
    MosSslSessionParams past{MOS_SSL_CONTEXT_ID__LAST, nullptr};
    EXPECT_EQ(mosSsl_CreateSocketHandle(&past, TRUE), nullptr);
}

// Runs fn with the runtime's trace lines captured from standard output.
template <typename F>
std::string traced(F &&fn)
{
    ::testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

std::string commandOutput(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return out;
    char buf[512];
    while (fgets(buf, sizeof(buf), p) != nullptr)
        out += buf;
    pclose(p);
    return out;
}

// An opaque holding the first certificate of a PEM file.
MosSecurityCertOpaque *opaqueFromFile(const std::string &file)
{
    FILE *f = fopen(file.c_str(), "r");
    if (f == nullptr)
        return nullptr;
    X509 *pCert = PEM_read_X509_p(f, nullptr, nullptr, nullptr);
    fclose(f);
    MosSecurityCertOpaque *pOpq = mosSecurity_AllocCertOpaque();
    if (pCert == nullptr || mosSecurity_StoreCertInOpaque(pOpq, pCert) != MOS_RC__SUCCESS) {
        mosSecurity_FreeCertOpaque(pOpq);
        pOpq = nullptr;
    }
    X509_free_p(pCert);
    return pOpq;
}

TEST_F(TlsSessions, MethodNamesChooseTheVersionIgnoringCase)
{
    struct Case {
        const char *pName;
        const char *pLine;
    };
    const Case kCases[] = {{"tlsv1.1", "Method: TLSv1.1 (1)"}, {"TLSV1.0", "Method: TLSv1.0 (0)"},
                           {"SSLv3", "WARNING: Invalid method (SSLv3) - using default"}, {"SSLv3", "Method: TLSv1.2 (2)"}};
    for (const Case &k : kCases) {
        MosSslConf c = sslConf(kSpareCtx, "", "", "");
        setString(c.sslMethodStr, sizeof(c.sslMethodStr), k.pName);
        const std::string out = traced([&] { EXPECT_EQ(mosSsl_UpdateConf(&c), MOS_RC__SUCCESS) << k.pName; });
        EXPECT_NE(out.find(k.pLine), std::string::npos) << k.pName << ":\n" << out;
    }
}

TEST_F(TlsSessions, QueriesDescribeOwnAndPeerCertificates)
{
    MosSecurityCertQuery q;
    ASSERT_EQ(mosSsl_QueryCertByContext(kServerCtx, &q), MOS_RC__SUCCESS);
    EXPECT_STREQ(q.subject, "/CN=server");
    EXPECT_STREQ(q.issuer, "/CN=testca");
    // The thumbprint is openssl's SHA-1 fingerprint of the same certificate.
    const std::string fp = commandOutput("openssl x509 -noout -fingerprint -sha1 -in " + dir.file("server.crt"));
    EXPECT_NE(fp.find(std::string("=") + q.digestBuf), std::string::npos) << fp << " vs " << q.digestBuf;
    EXPECT_EQ(strlen(q.digestBuf), 59u); // 20 bytes as "AB:" with the last colon dropped
    EXPECT_EQ(strlen(q.notValidBeforeAsn1), 13u);
    EXPECT_EQ(q.notValidAfterAsn1[12], 'Z');
    EXPECT_NE(std::string(q.notValidAfter).find("GMT"), std::string::npos) << q.notValidAfter;
    EXPECT_EQ(mosSsl_Manager_G.contextData[kServerCtx].refCnt, 0u);
    EXPECT_EQ(mosSsl_QueryCertByContext(kSpareCtx, &q), MOS_RC__INVALID);
    EXPECT_EQ(mosSsl_Manager_G.contextData[kSpareCtx].refCnt, 0u);

    MosSslSocketHandle *server = session(kServerCtx, TRUE);
    MosSslSocketHandle *client = session(kClientCtx, FALSE);
    ASSERT_EQ(tlstest::handshakePair(client, server), MOS_RC__SUCCESS);
    ASSERT_EQ(mosSsl_QueryPeerCert(client, &q), MOS_RC__SUCCESS);
    EXPECT_STREQ(q.subject, "/CN=server");
    ASSERT_EQ(mosSsl_QueryPeerCert(server, &q), MOS_RC__SUCCESS);
    EXPECT_STREQ(q.subject, "/CN=client");
    EXPECT_EQ(mosSsl_QueryPeerCert(nullptr, &q), MOS_RC__NOT_FOUND);
}

// Trusting a new authority: added to a context it makes its servers acceptable; written out, the
// trust file holds it and every other authority of the context once.
TEST_F(TlsSessions, TrustedAuthoritiesAreAddedAndWrittenOut)
{
    MosSslConf rogue = sslConf(kSpareCtx, certs.rogueKeyPair, "", certs.caFile); // it knows our clients
    ASSERT_EQ(mosSsl_UpdateConf(&rogue), MOS_RC__SUCCESS);
    MosSecurityCertOpaque *pRogueCa = opaqueFromFile(dir.file("rogueca.pem"));
    ASSERT_NE(pRogueCa, nullptr);
    opaques.push_back(pRogueCa);
    auto tryHandshake = [&] {
        MosSslSocketHandle *s = session(kSpareCtx, TRUE);
        MosSslSocketHandle *c = session(kClientCtx, FALSE);
        return tlstest::handshakePair(c, s);
    };
    EXPECT_EQ(tryHandshake(), MOS_RC__ERROR);
    EXPECT_EQ(mosSsl_AddTrustedCertToContext(kClientCtx, pRogueCa), MOS_RC__SUCCESS);
    EXPECT_EQ(mosSsl_AddTrustedCertToContext(kClientCtx, pRogueCa), MOS_RC__SUCCESS); // replaces, not doubles
    EXPECT_EQ(tryHandshake(), MOS_RC__SUCCESS);

    const std::string trust = dir.file("trust.pem");
    ASSERT_EQ(mosSsl_CreateTrustFile(trust.c_str(), kClientCtx, pRogueCa), MOS_RC__SUCCESS);
    const std::string subjects = commandOutput(
        "openssl crl2pkcs7 -nocrl -certfile " + trust + " | openssl pkcs7 -print_certs -noout | grep subject");
    EXPECT_EQ(subjects, "subject=CN = rogueca\nsubject=CN = testca\n");

    // Refusals: an empty slot, an opaque without a certificate, a file that cannot be made.
    MosSecurityCertOpaque *pEmpty = opaque();
    EXPECT_EQ(mosSsl_AddTrustedCertToContext(kClientCtx, pEmpty), MOS_RC__INVALID);
    EXPECT_EQ(mosSsl_CreateTrustFile(trust.c_str(), kClientCtx, pEmpty), MOS_RC__INVALID);
    EXPECT_EQ(mosSsl_CreateTrustFile(dir.file("no/such/dir.pem").c_str(), kClientCtx, pRogueCa), MOS_RC__NOT_FOUND);
}

TEST_F(TlsSessions, AsynchronousUpdateFillsTheSlot)
{
    MosSslConf spare = sslConf(kSpareCtx, certs.clientKeyPair, "", certs.caFile);
    MosBlocking_Req req;
    ASSERT_EQ(mosSsl_UpdateConfAsync(&req, &spare), MOS_RC__SUCCESS);
    EXPECT_TRUE(umtTest_WaitFor(
        [&] { return __atomic_load_n(&mosSsl_Manager_G.contextData[kSpareCtx].pSslCtx, __ATOMIC_ACQUIRE) != nullptr; }));
}

} // namespace
