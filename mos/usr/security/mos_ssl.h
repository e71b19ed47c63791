// TLS contexts and sessions over memory buffers.
//
// Up to three configured TLS contexts (slots 0 to 2) and sessions that never touch a socket: each
// session has a read buffer, into which the caller writes ciphertext that arrived from the
// network, and a write buffer, from which the caller takes the ciphertext that TLS produced and
// sends it. The messaging layer owns the sockets and the scheduling; this module only drives
// OpenSSL (through the run-time binding).
//
// Driving a session:
//   handshake: call mosSsl_Handshake until MOS_RC__SUCCESS; on MOS_RC__PENDING send the write
//   buffer when told to write (mosSsl_WriteGetData, send, mosSsl_WriteDone) and feed received
//   ciphertext when told to read (mosSsl_ReadPrepare); then mosSsl_VerifyPeer.
//   out: mosSsl_WritePrepare(plaintext), then send the write buffer as above.
//   in: mosSsl_ReadPrepare(ciphertext), then mosSsl_Read until MOS_RC__PENDING (needs more).
// Error rules of every TLS call: MOS_RC__PENDING when it needs more input (or room), MOS_RC__NOT_CONN
// once a closing alert was sent or received, MOS_RC__ERROR for any protocol or library failure.
//
// Verification: a client always verifies its server. A server verifies its client unless the
// context was configured with bDisableClientAuth. With verification on, a peer without a
// certificate fails. When the session was given a certificate opaque, a failed check stores the
// peer's certificate and the reason in it (MOS_RC__ISSUER_CERT_NOT_TRUSTED,
// MOS_RC__SELF_SIGNED_CERT_NOT_TRUSTED or MOS_RC__CERT_VERIFY_FAILURE).
//
// Concurrency: a session is used by one task at a time. Contexts are reference-counted under
// their slot's lock; a context is replaced only while no session holds it. Configuration updates
// run on the module's own blocking-call thread ("MOS_SSL_Blocking").
#pragma once

#include "mos/mos_blocking.h"
#include "mos/mos_rc.h"
#include "mos/mos_types.h"
#include "mos/usr/security/mos_security_conf.h"
#include "mos/usr/security/mos_security_cert.h"

typedef struct ssl_st SSL;
typedef struct bio_st BIO;

enum MosSslContextIdType : UINT32 {
    MOS_SSL_CONTEXT_ID__DEFAULT = 0,
    MOS_SSL_CONTEXT_ID__CUSTOM_1 = 1,
    MOS_SSL_CONTEXT_ID__CUSTOM_2 = 2,
    MOS_SSL_CONTEXT_ID__LAST = 3,
};

enum MosSslMethodType : UINT32 {
    MOS_SSL_METHOD_TYPE__TLS_1_0 = 0,
    MOS_SSL_METHOD_TYPE__TLS_1_1 = 1,
    MOS_SSL_METHOD_TYPE__TLS_1_2 = 2,
    MOS_SSL_METHOD_TYPE__LAST = 3,
};
extern const char *const mosSslMethodNames_G[MOS_SSL_METHOD_TYPE__LAST];

// Given by the caller per session.
struct MosSslSessionParams {
    MosSslContextIdType sslContextId;
    MosSecurityCertOpaque *pPeerCertOpq; // optional; receives the peer's certificate when it fails
};

// One session, allocated by mosSsl_CreateSocketHandle and freed by mosSsl_DestroySocketHandle.
struct MosSslSocketHandle {
    SSL *pSsl;
    MosSslContextIdType contextId;
    BOOL bConnected; // the handshake has completed
    BIO *pReadBio;   // ciphertext from the network, written by mosSsl_ReadPrepare
    BIO *pWriteBio;  // ciphertext for the network, read through mosSsl_WriteGetData
    BOOL bVerifyPeer; // the peer must present a certificate that verifies
    BIO *pSpareWriteBio; // an empty write buffer kept for the next mosSsl_WriteTake
};

// Contexts. Init and Fini are called by the security layer.
Mos_RC mosSsl_Init(const MosSslConf *pConf);
void mosSsl_Fini(void);
BOOL mosSsl_IsInitialized(void);
// Replaces the context of the slot that pConf->contextId names. MOS_RC__ERROR_UPDATING_SECURITY_CONF
// for a bad slot, a slot that sessions use (the old context stays), or a failed apply (the slot is
// then empty); other codes of the apply are passed on.
Mos_RC mosSsl_UpdateConf(const MosSslConf *pConf);
// Queues mosSsl_UpdateConf(pConf) on "MOS_SSL_Blocking"; pReq and pConf must live until it ran.
Mos_RC mosSsl_UpdateConfAsync(MosBlocking_Req *pReq, const MosSslConf *pConf);
// Take or drop a session's reference on a slot; the caller checks the identifier.
void mosSsl_GetContextRef(MosSslContextIdType contextId);
void mosSsl_FreeContextRef(MosSslContextIdType contextId);

// Sessions.
MosSslSocketHandle *mosSsl_CreateSocketHandle(const MosSslSessionParams *pSslParams, BOOL bIsServer);
void mosSsl_DestroySocketHandle(MosSslSocketHandle *pHandle);
Mos_RC mosSsl_Handshake(MosSslSocketHandle *pHandle, BOOL *pShouldRead, BOOL *pShouldWrite);
// After the handshake: the verification result must be good and, when allowedNames is given and
// not empty, the peer's common name must equal one of them exactly. MOS_RC__CERT_VERIFY_FAILURE
// otherwise; MOS_RC__ERROR when the session or the peer's names cannot be read.
Mos_RC mosSsl_VerifyPeer(MosSslSocketHandle *pHandle, const CHAR_A *const *allowedNames, UINT32 allowedNamesNum);
Mos_RC mosSsl_ReadPrepare(MosSslSocketHandle *pHandle, const void *buf, UINT32 bufSize);
Mos_RC mosSsl_Read(MosSslSocketHandle *pHandle, void *buf, UINT32 bufSize, UINT32 *pReadBytes);
Mos_RC mosSsl_WritePrepare(MosSslSocketHandle *pHandle, const void *buf, UINT32 bufSize, UINT32 *pWriteBytes);
// Points at the ciphertext waiting in the write buffer (no copy). MOS_RC__NO_MORE_ELEMENTS when
// there is none.
Mos_RC mosSsl_WriteGetData(MosSslSocketHandle *pHandle, const UINT8 **ppData, UINT32 *pDataSize);
// Empties the write buffer once all of it was sent.
void mosSsl_WriteDone(MosSslSocketHandle *pHandle);
// For a caller that sends while other calls may go on with the session (a read can make it write:
// an alert, an answer to a renegotiation request): hands over the write buffer itself, with the
// ciphertext waiting in it, and gives the session an empty one, so that nothing the session
// writes meanwhile can move or change the bytes being sent. MOS_RC__NO_MORE_ELEMENTS when no
// ciphertext waits, MOS_RC__NO_MEMORY when no buffer can be made. The caller sends *ppData and
// gives the buffer back with mosSsl_WriteRelease.
Mos_RC mosSsl_WriteTake(MosSslSocketHandle *pHandle, BIO **ppBio, const UINT8 **ppData, UINT32 *pDataSize);
void mosSsl_WriteRelease(MosSslSocketHandle *pHandle, BIO *pBio);
// Marks the session disconnected; no closing alert is produced.
Mos_RC mosSsl_Disconnect(MosSslSocketHandle *pHandle);
// Fills the query from the peer's certificate. MOS_RC__NOT_FOUND for a null handle or a peer
// without a certificate.
Mos_RC mosSsl_QueryPeerCert(MosSslSocketHandle *pHandle, MosSecurityCertQuery *pQuery);

// Context queries and trusted certificates (for management tools; the storage server does not
// call them). All work under a reference on the slot.
// Describes the context's own certificate. MOS_RC__INVALID for an empty slot, MOS_RC__NOT_FOUND
// for a context without a certificate.
Mos_RC mosSsl_QueryCertByContext(MosSslContextIdType contextId, MosSecurityCertQuery *pQuery);
// Writes the opaque's certificate, then every trusted certificate of the context with another
// subject, into filename (PEM). MOS_RC__NOT_FOUND when the file cannot be made, MOS_RC__INVALID
// for an opaque without a certificate, an empty slot or a failed write.
Mos_RC mosSsl_CreateTrustFile(const CHAR_A *filename, MosSslContextIdType contextId, MosSecurityCertOpaque *pCertOpq);
// Trusts the opaque's certificate in the context, in place of any trusted certificate of the
// same subject. MOS_RC__INVALID for an opaque without a certificate or an empty slot,
// MOS_RC__ERROR when the store refuses.
Mos_RC mosSsl_AddTrustedCertToContext(MosSslContextIdType contextId, MosSecurityCertOpaque *pCertOpq);
