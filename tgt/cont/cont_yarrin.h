// The link to the node's installation agent (Yarrin) and the list of RAID controllers behind the
// server's disks.
//
// The agent runs beside the server and reads media metadata (model, serial, firmware, SMART values,
// the RAID controller in front of a disk) and switches a disk's locate LED. The server is its
// client over one connection (id 1200, owner type Yarrin, one path to the agent's address, by
// default 127.0.0.1:9099): a poller asks for the metadata of every device and flash-cache device
// once a round, stores each answer in its object and collects the distinct RAID controllers; the
// LED command is forwarded as it comes.
//
// Rounds: a round whose last query failed counts a failure; above four failures in a row the
// poller sleeps on the slower queue (devMetadataPollingFreqFailure) until a round succeeds again.
// A round with the connection down asks nothing and is not counted (the messaging layer brings
// the connection back); a kind with no device is not counted either.
//
// The path buffer of a round is sized from the number of devices it is asked for (at most
// CONT_YARRIN__MAX_DEVS plus the flash-cache devices), never a fixed count. An agent's answer is
// taken only when it holds a whole metadata record and RAID-controller record; a controller
// without a serial number, one already held (same serial), or a fifth one is not added.
//
// Locking: fastLock guards bAbort; the RAID list has its own fast lock, so the metadata query can
// read it while a round fills it. The connection and the round's buffers belong to the poller.
#pragma once

#include "mos/mos_fastlock.h"
#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_semaphore.h"
#include "mos/usr/mos_media.h"
#include "net/net.h"
#include "tgt/cont/cont_yarrin_state.h"

struct Cont;
struct ContCmdCtx;

#define CONT_NET__YARRIN_CON_ID 1200u
#define CONT_YARRIN__DEFAULT_HOST "127.0.0.1"
#define CONT_YARRIN__DEFAULT_PORT 9099u
#define CONT_YARRIN__MAX_HOSTS 8u
#define CONT_YARRIN__INDEPENDENT_ID_BASE 1024u
#define CONT_YARRIN__MAX_DEVS 128u
#define CONT_YARRIN__FAILURES_BEFORE_BACKOFF 4u
#define CONT_YARRIN__MAX_FAIL_COUNT 5u
#define YARRIN_MSG_TYPE__GET_MEDIA_INFO 7031u
#define YARRIN_MSG_TYPE__CHANGE_MEDIA_LED 7032u

// An agent's answer to a media query: the metadata, then the controller in front of the disk.
#define CONT_YARRIN__MEDIA_ANSWER_SIZE (sizeof(MosMedia_Metadata) + sizeof(MosMedia_RaidController))
static_assert(CONT_YARRIN__MEDIA_ANSWER_SIZE == 5850);

#pragma pack(push, 1)
// UPDATE_LED_STATUS (2229), after the command's 8-byte target id.
struct OstrelTgtReq_UpdateLedStatus {
    UINT16 ostrelTgtConnectionGenNum;
    UINT64 devId;
    UINT32 isLedOn;
    UINT8 padding[24];
};
#pragma pack(pop)
static_assert(sizeof(OstrelTgtReq_UpdateLedStatus) == 38);
static_assert(offsetof(OstrelTgtReq_UpdateLedStatus, devId) == 2 &&
              offsetof(OstrelTgtReq_UpdateLedStatus, isLedOn) == 10 &&
              offsetof(OstrelTgtReq_UpdateLedStatus, padding) == 14);

// RAID-controller list.
void contRaidCtrl_Destroy(ContRaidCtrl *pRaidCtrl);
void contRaidCtrl_Reset(ContRaidCtrl *pRaidCtrl);
// Ignores null, a controller without serial number, one held already and a fifth.
void contRaidCtrl_Add(ContRaidCtrl *pRaidCtrl, const MosMedia_RaidController *pCtrl);
// The count, and a copy of the held controllers (null when none) that the caller frees with
// mos_MemFree; MOS_RC__NO_RESOURCES when the copy cannot be allocated.
Mos_RC contRaidCtrl_GetMetadata(ContRaidCtrl *pRaidCtrl, UINT16 *pCount, MosMedia_RaidController **ppCtrls);

void contYarrin_Destroy(ContYarrin *pYarrin);
BOOL contYarrin_ShouldAbort(ContYarrin *pYarrin);
void contYarrin_GetYarrinHost(ContYarrin *pYarrin, NetCon_RemoteHosts *pHosts);
// MOS_RC__SUCCESS once the connection is asked for (it comes up asynchronously), MOS_RC__ERROR else.
Mos_RC contYarrin_Connect(ContYarrin *pYarrin);
void contYarrin_Disconnect(ContYarrin *pYarrin);

// One media query (7031) for a device path: 65 with both records filled, or the failure.
Mos_RC contYarrin_GetMediaInfo(ContYarrin *pYarrin, const CHAR_A *pDevPath, MosMedia_Metadata *pMetadata,
                               MosMedia_RaidController *pRaidCtrl);
// One LED request (7032): the agent's code, or the transport's failure.
Mos_RC contYarrin_ChangeLedMode(ContYarrin *pYarrin, const MosMedia_LedCmdReq *pReq);
void contYarrin_ConnectedNotif(ContYarrin *pYarrin);
void contYarrin_DisconnectedNotif(ContYarrin *pYarrin);

// Metadata of n devices (flash-cache devices with bFlcache): the code of the last query (65 for
// none).
Mos_RC contYarrin_CollectMetadata(ContYarrin *pYarrin, BOOL bFlcache, const UINT64 *pIds,
                                  const CHAR_A (*pPaths)[CONT_YARRIN__PATH_LEN], UINT32 n);
// 65 clears the count; a failure adds one up to CONT_YARRIN__MAX_FAIL_COUNT.
void contYarrin_UpdatePollerFailCount(ContYarrin *pYarrin, Mos_RC rc);
// One round of the poller: connect when there is no connection yet, collect everything when it is
// up; the queue to sleep on until the next round.
MosTimerQ_ID contYarrin_PollOnce(ContYarrin *pYarrin);
// The poller's loop (the uthread's body).
void contYarrin_CollectMetadataLoop(void *pArg);

// UPDATE_LED_STATUS (2229): 126 for a device the server does not know, or when the link was never
// set up (no network), without asking the agent; else the agent's code.
Mos_RC contCmd_UpdateLedStatus(ContYarrin *pYarrin, const OstrelTgtReq_UpdateLedStatus *pReq);
