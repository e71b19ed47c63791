// Remote syslog internals: the layer, its writers, their queues and connections. Only the
// module's own file and its tests include this header.
#pragma once

#include "mos/mos_dlist.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_mempool.h"
#include "mos/mos_net_address.h"
#include "mos/mos_obj.h"
#include "mos/mos_osthrd.h"
#include "mos/usr/mos_rsyslog.h"
#include "mos/usr/linux/mos_condvar.h"

constexpr MosContentionId MOS_RSYSLOG__CONTENTION_LAYER = 72;
constexpr MosContentionId MOS_RSYSLOG__CONTENTION_WRITER = 73;
constexpr MosContentionId MOS_RSYSLOG__CONTENTION_QUEUE = 74;
// Lock ranks: a writer's lock may be held while its queue lock is taken, never the reverse.
constexpr UINT32 MOS_RSYSLOG__LAYER_LOCK_RANK = 10;
constexpr UINT32 MOS_RSYSLOG__WRITER_LOCK_RANK = 9;
constexpr UINT32 MOS_RSYSLOG__QUEUE_LOCK_RANK = 8;
constexpr UINT32 MOS_RSYSLOG__CONNECT_TIMEOUT_MILLIS = 1000;

struct MosRemoteSyslogMsg {
    MosDList_Node node;
    UINT32 severity; // syslog severity
    // Room for the priority prefix, which is written right before the text when it is sent.
    char buffer[MOS_RSYSLOG__MSG_BUFFER_LEN];
};

struct MosRSyslogEventsQueue {
    MosMemPool eventsPool;
    MosFastlock_Base lock; // guards postedQueue, overflowCounter and bActive
    MosDList_Anchor postedQueue;
    UINT32 overflowCounter; // dropped for want of a block since the last report
    UINT32 len;
    BOOL bActive;
    BOOL bInflated; // the pool holds len blocks rather than 1
};

struct MosRemoteSyslogCon {
    char hostName[MOS_RSYSLOG__HOST_NAME_LEN];
    UINT16 port;
    NetAddress addr;
    int socket; // -1: not connected
    BOOL bTcpKeepaliveEnabled;
};

struct MosRSyslogWriter {
    MosRSyslogEventsQueue queue;
    MosRemoteSyslogCon con;
    MosOsThrd writerThrd;
    MosFastlock_Base lock; // guards the state, the configuration and bSignaled
    MosOsw_CondVar condVar;
    MosRSyslogState state;
    BOOL bSignaled;
    BOOL bAttachEventCode;
    UINT8 facility;
    BOOL bExit; // the module is being destroyed
    MosObj dbgObj;
};

struct MosRSyslogLayer {
    MosRSyslogWriter writersArr[MOS_RSYSLOG__MAX_WRITERS];
    char pMachineName[MOS_RSYSLOG__MACHINE_NAME_LEN];
    UINT64 timeBetweenReconnectsInNanos;
    MosFastlock_Base lock;
    BOOL bInitialized;
    UINT8 numOfWriters;
    MosObj_Type dbgWriterObjType;
    BOOL bInRegistry;
};

extern MosRSyslogLayer g_rsyslog;

// The syslog severity of an event severity, configuration commands raised to notice.
UINT32 mosRSyslog_SyslogSeverity(UINT32 mosSeverity, BOOL bConf);
MosRSyslogWriter *mosRSyslogWriter_Get(UINT32 writerIndex);
void mosRSyslogWriter_SdbgQueryFunc(MosObj *pObj, const CHAR_A *pName, void *pData);
