// The link to the Ostrel: which Ostrel this server belongs to and which id it was given, kept in
// the repository file so that a restarted server recognises its Ostrel; whether an add-manager
// command may be accepted; the start of keep-alive and the connectivity monitor at the first
// attach; and the road of every request and notification the server sends to its Ostrel.
//
// Repository file: one 512-byte block beginning "ostrelId=%lx,tgtId=%lx" and a zero byte, in the
// working directory under tgt_rep__name ("rep_tgt.txt" when empty). An attach that cannot write it
// in 10 tries is refused (MOS_RC__ERROR): an attach that a restart would forget is not an attach.
//
// Concurrency: validation, attach and detach run in command threads under the controller's
// command lock; the senders read hOstrelCon without a lock (only the add-manager command sets it).
#pragma once

#include "mos/mos_obj_entry.h"
#include "mos/umt/mos_umt_semaphore.h"
#include "net/net_msg.h"
#include "tgt/cmonitor/cmonitor.h"
#include "tgt/cont/cont_root.h"
#include "tgt/kalive/kalive.h"
#include "tgt/raid/raid_resync.h"

struct Cont;

#define CONT_OSTREL__REP_BLOCK_SIZE 512u
#define CONT_OSTREL__REP_DEFAULT_NAME "rep_tgt.txt"
#define CONT_OSTREL__REP_WRITE_TRIES 10u
#define CONT_OSTREL__REP_REMOVE_TRIES 5u
#define CONT_OSTREL__RECV_GROUP 13u // the Ostrel's control group for the server's requests
#define CONT_OSTREL__KEY_PAIR_FILE "pellar_certificate.pem"
#define CONT_OSTREL__CSR_FILE "pellar.csr"
#define CONT_OSTREL__CERT_MARKER "-----BEGIN CERTIFICATE-----"
#define CONT_OSTREL__SEC_PASSWORD_LEN 31u

struct ContOstrel {
    UINT64 tgtId;   // own id, 0 until attached
    UINT64 ostrelId; // 0 until attached
    Kalive kalive;
    ConMonitor conMonitor;
    BOOL bFirstConfig;
    MosObj sdbgObj;
    UINT32 stage; // 1 after the link, one more per later step of cont_Init, 100 when built
    BOOL bSecurityEnabled;
    MosUmt_Sem secSem; // one unit: the security operations never overlap (they may run under a read lock)
    RaidSyncPool syncPool; // every copy job of the server runs on it
};

// The link's debug query record.
struct ContOstrelQuery {
    UINT64 tgtId;
    UINT64 ostrelId;
    UINT32 stage;
    UINT32 pad;
};
static_assert(sizeof(ContOstrelQuery) == 24 && offsetof(ContOstrelQuery, stage) == 16);

void contOstrel_Init(ContOstrel *pOstrel, Cont *pCont);
// Classifies an add-manager's pair: 65 new or restart attach, 7 repeated, 74/75 same Ostrel with
// another id (keep-alive alive / blocked), 76/77 another Ostrel (alive / blocked). The known pair
// (memory, else the repository file, else zeros) is returned through both outputs.
Mos_RC contOstrel_ValidateOstrel(Cont *pCont, ContOstrel *pOstrel, UINT64 tgtId, UINT64 ostrelId,
                                 UINT64 *pKnownTgtId, UINT64 *pKnownOstrelId);
// 65, MOS_RC__NOT_FOUND (an Ostrel that believes in an attach this server has no record of) or
// MOS_RC__ERROR (the repository file could not be written).
Mos_RC contOstrel_AddOstrel(ContOstrel *pOstrel, Cont *pCont, UINT64 tgtId, UINT64 ostrelId,
                            UINT32 keepaliveTimeoutMs, BOOL bNew, UINT64 knownTgtId, UINT64 knownOstrelId);
Mos_RC contOstrel_RemOstrel(ContOstrel *pOstrel);
Mos_RC contOstrel_ReadValuesFromRepository(Cont *pCont, UINT64 *pTgtId, UINT64 *pOstrelId);
// The repository file's name as configured.
const CHAR_A *contOstrel_RepositoryName(void);

// A blocking request on the Ostrel's connection with the 1-second queue: the Ostrel's code, or
// MOS_RC__TIMEOUT when it could not be completed. The caller builds and destroys pMsg.
Mos_RC contOstrel_SendRequest(Cont *pCont, NetRpcMsg *pMsg);
Mos_RC contOstrel_SendNotif(Cont *pCont, NetRpcMsg *pMsg);
void contOstrel_RecvKeepAliveNotif(ContOstrel *pOstrel, NetRpcData *pReq);
BOOL contOstrel_IsBlocked(ContOstrel *pOstrel);
void contOstrel_Query(MosObj *pObj, const CHAR_A *pName, void *pData);

// Security of the manager link. The key pair and its certificate live in "pellar_certificate.pem",
// the request in "pellar.csr", both in the runtime's configuration directory (the working
// directory when none is configured); the key's password is derived from the own id. The
// operations take secSem, so two commands under the read lock never interleave.
//
// Enable: brings the runtime's security up on first use (MOS_RC__ERROR_LOADING_SECURITY or the
// layer's code when it cannot) and, with bUseExistingCertificate, points the authentication
// service at the key-pair file. Disable only clears the flag: the transport stays as it is.
Mos_RC contOstrel_EnableSecurity(ContOstrel *pOstrel, BOOL bUseExistingCertificate);
void contOstrel_DisableSecurity(ContOstrel *pOstrel);
// A new key pair with a self-signed certificate and its request. MOS_RC__SECURITY_IS_DISABLED,
// or the generation's code (earlier files are then left as they were).
Mos_RC contOstrel_GenerateCsr(ContOstrel *pOstrel);
// Replaces the key-pair file's certificate part by the received text (up to its first NUL) and
// re-points the authentication service at it. MOS_RC__SECURITY_IS_DISABLED,
// MOS_RC__CERTIFICATE_DOES_NOT_EXIST without a key-pair file, MOS_RC__INVALID for a text that
// holds no certificate of the file's key (the file is then left untouched).
Mos_RC contOstrel_UpdateCertificate(ContOstrel *pOstrel, const CHAR_A *pCertificate, UINT32 certificateLen);
// <configuration directory>/<pName> into pBuf; FALSE when it does not fit.
BOOL contOstrel_SecFilePath(const CHAR_A *pName, CHAR_A *pBuf, UINT32 bufLen);
// The key pair's password of server tgtId: 31 hexadecimal digits and a NUL.
void contOstrel_SecPassword(UINT64 tgtId, CHAR_A (&password)[CONT_OSTREL__SEC_PASSWORD_LEN + 1]);
