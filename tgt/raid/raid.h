// The mirroring layer: what it needs from the controller and the network, as one table of calls
// that the controller registers at its start (raid_Init) and tests fill with an in-process partner.
//
// Every data-path exchange with a partner server is one RPC: a request record (and, for writes,
// data and guards) sent on a receive group of the partner, answered with a return code in the
// response's context word and an optional payload. The mirrored write sends its legs first and
// waits for them later (sendRpc, then waitRpc), so the two copies are written at the same time.
//
// The Ostrel is reached only through sendOstrelRequest (a blocking request on its control group)
// and checkDegradePermit (the cached leave to drop a partner, Parts of the peer servers).
#pragma once

#include "mos/mos_rc.h"
#include "mos/mos_types.h"
#include "mos/umt/mos_umt_semaphore.h"
#include "net/net_con.h"
#include "tgt/phy/phy_comb.h"

struct Cont;
struct ContDev;
struct RaidComb;
struct RaidCombProt;

// Receive groups of a partner server.
#define RAID__RECV_GROUP__TGT_IO_MAIN 23u // peer I/O
#define RAID__RECV_GROUP__TGT_IO_COPY 24u // copies and whole teeth

// A connection to a partner, as the controller hands it out.
struct RaidCon {
    HNetCon hCon;       // NET_CON__INVALID_HCON: none
    BOOL bNotReachable; // the partner is known to be unreachable
    void *pPeer;        // the controller's peer object, given back with the connection
};

// One RPC to a partner. The caller fills the request part; the send fills the answer part.
struct RaidRpc {
    UINT32 msgType;
    UINT32 grpId;
    const void *pRec; // the request record
    UINT32 recLen;
    const void *pData; // data and guards, or null
    UINT32 dataLen;
    const void *pDif;
    UINT32 difLen;
    void *pRsp; // room for the answer's payload, or null
    UINT32 rspCap;
    // Answer: the return code carried by the response, and how much payload arrived.
    Mos_RC rspRc;
    UINT32 rspLen;
    MosUmt_Sem semForRsp; // raised when the answer arrives (set up by the send)
    void *pPriv[4];       // the sender's own state between send and wait
};

struct RaidHooks {
    // A connection to the partner: MOS_RC__SUCCESS (pCon filled, maybe bNotReachable) or
    // MOS_RC__NOT_CONN. Every success is given back with releaseTgtCon.
    Mos_RC (*acquireTgtCon)(Cont *pCont, TgtId tgtId, RaidCon *pCon);
    void (*releaseTgtCon)(Cont *pCont, RaidCon *pCon);
    // Starts an RPC; its answer is collected with waitRpc (exactly once after a successful send).
    Mos_RC (*sendRpc)(Cont *pCont, const RaidCon *pCon, RaidRpc *pRpc);
    // Waits for the answer: the transport's code (MOS_RC__SUCCESS when an answer arrived; then
    // pRpc->rspRc is the partner's code).
    Mos_RC (*waitRpc)(Cont *pCont, RaidRpc *pRpc);
    // The Ostrel's leave to degrade combs shared with the peer: 65, MOS_RC__ABORTED or MOS_RC__RETRY.
    Mos_RC (*checkDegradePermit)(Cont *pCont, TgtId peerTgtId);
    // A blocking request of one record to the Ostrel: its code, or MOS_RC__TIMEOUT.
    Mos_RC (*sendOstrelRequest)(Cont *pCont, UINT32 msgType, const void *pRec, UINT32 len);
    TgtId (*getOwnTgtId)(Cont *pCont);
    void (*logNetHiccup)(Cont *pCont, TgtId peerTgtId);
    // The device object holding a comb: its failures and error flag.
    void (*devWriteError)(ContDev *pContDev);
    void (*devReadError)(ContDev *pContDev);
    BOOL (*isDevInError)(ContDev *pContDev);
    TgtDevId (*getDevId)(ContDev *pContDev);
    // The head's capacity state for the comb's first access; FALSE when the head is not known.
    BOOL (*getHeadState)(Cont *pCont, CombId combId, PhyCombHead *pHeadState);
    // The resync pool: queues the copy job of the slot (FALSE: no pool, the job cannot run), and
    // raises a queued or running job's priority. Either may be null.
    BOOL (*queueCopyJob)(Cont *pCont, RaidComb *pComb, RaidCombProt *pProt);
    void (*raiseCopyPriority)(Cont *pCont, RaidComb *pComb, RaidCombProt *pProt);
};

struct RaidLayerQuery {
    UINT32 syncWriteSec;
    UINT32 asyncWriteSec;
};

struct Raid {
    Cont *pCont;
    const RaidHooks *pHooks;
    RaidLayerQuery query;
    BOOL bInitialized;
};

// Registers the hooks (every member except the two resync ones must be set).
void raid_Init(Raid *pRaid, Cont *pCont, const RaidHooks *pHooks);
void raid_Destroy(Raid *pRaid);
void raid_Query(Raid *pRaid, RaidLayerQuery *pQuery);
const RaidHooks *raid_Hooks(void);
Raid *raid_Get(void);

// Failures that may mean the partner is gone rather than refusing: 0, 1, 4, 8, 14, 28, 68, 460.
BOOL raid_IsNetworkRelatedError(Mos_RC rc);
