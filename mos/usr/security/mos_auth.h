// Challenge-response authentication: a process proves its identity by signing a peer's random
// challenge with its private key and sending its certificate along; the peer checks the
// certificate against its trusted certificates and the signature against the certificate's key.
// The same service signs certificate requests as a small authority.
//
// The service holds this process's certificate and private key and a store of trusted
// certificates, loaded from the files of a MosAuthConf. Every update drops everything first, so a
// failed update leaves the service disabled. A fast lock serialises updates with the users of the
// key material.
#pragma once

#include "mos/mos_blocking.h"
#include "mos/mos_rc.h"
#include "mos/usr/security/mos_security_cert.h"
#include "mos/usr/security/mos_security_conf.h"

#include <cstddef>

// Zeroes the manager, creates "MOS_Auth_Blocking" and the lock and applies pConf.
// MOS_RC__ERROR_LOADING_AUTH_KEY_PAIR or MOS_RC__ERROR_LOADING_AUTH_TRUST when a file cannot be used.
Mos_RC mosAuth_Init(const MosAuthConf *pConf);
void mosAuth_Fini(void);
BOOL mosAuth_IsInitialized(void);
// Drops the current configuration and applies pConf; the result is the apply's.
Mos_RC mosAuth_UpdateConf(const MosAuthConf *pConf);
// TRUE while a configuration with bEnable was applied completely.
BOOL mosAuth_IsEnabled(void);

// Wire records. Every count is a 32-bit unsigned number in network byte order.
//
// Challenge, 40 + N bytes: random length R (at most 32), identity length N, 32 random bytes of
// which the first R count, then the N bytes of the identity that must answer.
#define MOS_AUTH__RANDOM_LEN 32u
struct __attribute__((packed)) MosAuth_ChallengeHdr {
    UINT32 randomLen;
    UINT32 idLen;
    UINT8 random[MOS_AUTH__RANDOM_LEN];
};
static_assert(sizeof(MosAuth_ChallengeHdr) == 40, "challenge header");
static_assert(offsetof(MosAuth_ChallengeHdr, random) == 8, "challenge random");

// Response, 16 + R + N + C + S bytes: the four lengths, then the challenge's R random bytes, the
// N identity bytes, the responder's certificate (DER, C bytes) and the signature (S bytes) over
// random and identity: SHA-256 signed with the responder's private key.
struct __attribute__((packed)) MosAuth_ResponseHdr {
    UINT32 randomLen;
    UINT32 idLen;
    UINT32 certLen;
    UINT32 sigLen;
};
static_assert(sizeof(MosAuth_ResponseHdr) == 16, "response header");
static_assert(offsetof(MosAuth_ResponseHdr, sigLen) == 12, "response signature length");

// Queues mosAuth_UpdateConf(pConf) on "MOS_Auth_Blocking" through the caller's request record,
// which (and pConf) must stay valid until it ran. MOS_RC__ERROR when the service has no room.
Mos_RC mosAuth_UpdateConfAsync(MosBlocking_Req *pReq, const MosAuthConf *pConf);

// Makes a challenge for the party named pId (idLen bytes, not empty: MOS_RC__INVALID) with 32
// bytes from the library's cryptographic generator. The buffer is the caller's (mosAuth_DestroyMsg).
Mos_RC mosAuth_CreateChallengeMsg(const UINT8 *pId, UINT32 idLen, UINT8 **ppBuf, UINT32 *pLen);
// Answers a challenge addressed to pId: MOS_RC__INVALID for a malformed challenge or another
// identity, MOS_RC__NOT_READY while the service is disabled or holds no key pair, MOS_RC__ERROR
// when the library fails. The response buffer is the caller's.
Mos_RC mosAuth_CreateResponseMsg(const UINT8 *pId, UINT32 idLen, const UINT8 *pChallengeData,
                                 UINT32 challengeDataLen, UINT8 **ppBuf, UINT32 *pLen);
// Checks a response to our own challenge: identity and random as sent, a certificate that the
// trusted store accepts, and a signature that its public key verifies. MOS_RC__SIG_VERIFY_FAILURE
// for any mismatch or a malformed response, MOS_RC__NOT_READY while disabled. pQuery, when given,
// receives the responder's certificate description.
Mos_RC mosAuth_VerifyResponseMsg(const UINT8 *pChallenge, const UINT8 *pResponse, UINT32 responseLen,
                                 MosSecurityCertQuery *pQuery);
// Issues a certificate for a PEM request with the service's own certificate as authority; the
// PEM text (no NUL) in a buffer of the caller's.
Mos_RC mosAuth_CreateSignedCertMsg(const UINT8 *pCertReqBuf, UINT32 certReqLen, UINT8 **ppCertBuf,
                                   UINT32 *pCertLen);
// The message as its header when it is well formed, null (with a warning) otherwise. The lengths
// are added in 64 bits, so no set of counts can wrap around to match the received size.
const MosAuth_ChallengeHdr *mosAuth_ChallengeMsgSanityCheck(const UINT8 *pData, UINT32 len);
const MosAuth_ResponseHdr *mosAuth_ResponseMsgSanityCheck(const UINT8 *pData, UINT32 len);
void mosAuth_DestroyMsg(UINT8 *pBuf);
