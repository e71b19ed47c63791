// Remote syslog: forwards product events to up to four remote syslog servers over TCP, one
// writer OS thread per server, in the RFC 5424 format, one newline-terminated line per event.
//
// Every event posted to the event log is fanned out to every writer whose queue is active. A
// post never blocks on the network: each writer has its own pool of message blocks, and a post
// that finds the pool empty drops the message for that writer and counts it (the count is
// traced once per write-loop round). A writer connects by itself, reconnects after a failure
// (pausing between attempts) and resends the message whose send failed before any later one.
//
// Writers are configured at run time: started with a host, port, facility and whether to append
// the event code, stopped again (a stopped writer shrinks its pool to one block). A writer
// accepts messages from initialisation on; they wait until it is started. The module has no
// stop of its own in the product (the writers live as long as the process); tests end it with
// mosRSyslog_Destroy. Init must run before anything posts (the event log posts here): a post,
// Start or Stop before it is a broken invariant.
#pragma once

#include "mos/mos_rc.h"
#include "mos/mos_types.h"

#define MOS_RSYSLOG__MAX_WRITERS 4u
#define MOS_RSYSLOG__VERSION_STR "1"
#define MOS_RSYSLOG__APP_NAME "Qel-Kestrim"
#define MOS_RSYSLOG__EVENT_PRI_SIZE 6u
#define MOS_RSYSLOG__MSG_BUFFER_LEN 1062u
#define MOS_RSYSLOG__MAX_TEXT_LEN 1054u
#define MOS_RSYSLOG__HOST_NAME_LEN 64u
#define MOS_RSYSLOG__MACHINE_NAME_LEN 32u
#define MOS_RSYSLOG__DEFAULT_PORT 1468u
#define MOS_RSYSLOG__DEFAULT_FACILITY 16u // local0
#define MOS_RSYSLOG__MAX_FACILITY 23u
#define MOS_RSYSLOG__STATE_NAME_LEN 32u

enum MosRSyslogState : UINT32 {
    MOS_RSYSLOG_STATE__INIT = 0,
    MOS_RSYSLOG_STATE__STARTED = 1,
    MOS_RSYSLOG_STATE__BEING_STARTED = 2,
    MOS_RSYSLOG_STATE__STOPPED = 3,
    MOS_RSYSLOG_STATE__BEING_STOPPED = 4,
    MOS_RSYSLOG_STATE__LAST = 5,
};
extern const char *const g_rsyslogStateNames[MOS_RSYSLOG_STATE__LAST + 1];

// The debug query record of one writer (native byte order).
struct MosRSyslogWriterQuery {
    BOOL bQueueActive;
    BOOL bQueueInflated;
    UINT32 overflows;
    UINT32 queueLen;
    UINT32 numOfEnqueued;
    char hostName[MOS_RSYSLOG__HOST_NAME_LEN];
    char resolvedHostName[MOS_RSYSLOG__HOST_NAME_LEN];
    UINT32 port;
    INT32 socket;
    UINT64 pWriter;
    char state[MOS_RSYSLOG__STATE_NAME_LEN];
    UINT32 facility;
    BOOL bSignaled;
    BOOL bAttachEventCode;
};
static_assert(sizeof(MosRSyslogWriterQuery) == 216);
static_assert(offsetof(MosRSyslogWriterQuery, hostName) == 20);
static_assert(offsetof(MosRSyslogWriterQuery, resolvedHostName) == 84);
static_assert(offsetof(MosRSyslogWriterQuery, pWriter) == 160);
static_assert(offsetof(MosRSyslogWriterQuery, state) == 168);
static_assert(offsetof(MosRSyslogWriterQuery, bAttachEventCode) == 208);

UINT16 mosRSyslog_GetDefaultPort(void);
UINT8 mosRSyslog_GetDefaultFacility(void);
UINT32 mosRSyslog_GetInitialIp(void);
BOOL mosRSyslog_IsValidIp(UINT32 ipv4);
BOOL mosRSyslog_ValidateFacilityValue(UINT32 facility);

// Sets up numOfWriters writers (0 panics; more than 4 are cut to 4 with a warning), each with a
// pool of queueSize messages. A second call only warns.
void mosRSyslog_Init(UINT32 queueSize, UINT64 timeBetweenReconnectsInMillis, UINT32 numOfWriters,
                     BOOL bTcpKeepaliveEnabled);
// Stops every writer thread, closes its connection and frees its pool. Tests only.
void mosRSyslog_Destroy(void);

// Starts writer instanceIdx towards hostName:port. MOS_RC__INVALID for an index out of range,
// MOS_RC__ALREADY_IN_START_STATE when started, MOS_RC__REMOTE_SYSLOG_IS_BUSY in a transition.
Mos_RC mosRSyslog_Start(UINT32 instanceIdx, const char *hostName, UINT16 port, UINT8 facility,
                        BOOL bAttachEventCode);
// Stops writer instanceIdx; MOS_RC__ALREADY_IN_STOPPED_STATE when stopped.
Mos_RC mosRSyslog_Stop(UINT32 instanceIdx);
// A facility above 23 sets the default 16.
void mosRSyslog_SetFacility(UINT32 instanceIdx, UINT32 facility);

// Fans an event out to every active writer. pInfo and pMoreInfo may be null (empty texts).
void mosRSyslog_PostMore(UINT32 eventTypeId, UINT32 mosSeverity, BOOL bConf, const char *pInfo,
                         const char *pMoreInfo);
void mosRSyslog_Post(UINT32 eventTypeId, UINT32 mosSeverity, BOOL bConf, const char *pMsg);

UINT32 mosRSyslog_GetNumOfWriters(void);
// Fills the query record of writer writerIdx; *pbConfigured tells whether it is STARTED.
void mosRSyslogWriter_QueryFunc(MosRSyslogWriterQuery *pQuery, UINT32 writerIdx, BOOL *pbConfigured);
