// The messaging layer's configuration: one record that the owning program fills from its
// configuration keys and performance parameters before the layer starts, and of which the layer
// keeps a private copy. Integers are 64 bits and flags BOOL, as the program's table stores them.
#pragma once

#include "mos/mos_timer.h"
#include "mos/mos_types.h"
#include "net/security/net_sec_conf.h"

#define NET_POLL__DEF_TIMEOUT 250u
#define NET_POLL__NO_CPU 4294967295ull
#define NET_WORK_GROUP__MAX_NUM_OF_WORKERS 16u
#define NET_WORK_GROUP__DEF_NUM_OF_WORKERS 4u

struct NetConfParam {
    UINT64 quickAck;        // TCP quick-acknowledge before a receive waits (0: leave it)
    UINT64 sendTimeout;     // timer queue of the RPC time-out
    UINT64 connectTimeoutQ; // timer queue that bounds a TCP connect
    UINT64 connectRetriesNum;
    UINT64 sendBufferInKb; // 0: the kernel's size
    UINT64 recvBufferInKb;
    UINT64 kaRcvcQuiteSocketTimeoutMs;
    UINT64 kaSndQuiteSocketTimeoutMs;
    UINT64 kaSndFrequency;
    UINT64 breakDoIOLoop; // system calls a transfer makes before it yields (0: no bound)
    UINT64 allocRcvBufferWaitMillis;
    BOOL bUseYield;
    BOOL bUseKeepalive;
    UINT64 breakRcvLoop;
    BOOL bPollTimers; // the poll loop drives the timer queues
    UINT64 pollMicroDelay;
    UINT64 pollDelayCount;
    UINT64 pollCpu;     // NET_POLL__NO_CPU: the poll thread is not bound
    UINT64 pollTimeout; // the poll loop's interval in milliseconds
    UINT64 pollWorkers; // active workers of the work group
    BOOL bUseSeparateSched;
    UINT64 maxNumOfWorkers;
    BOOL bImportantUmt;
    BOOL bUseLoopbackFastpath;
    UINT64 maxRcvMsg;
    UINT64 maxPrioritySends;
    BOOL bCrashOnSendTimeout;
    // Largest payload a frame may announce; a longer one is refused before anything is sized
    // from it.
    UINT64 maxDataLen;
    // Whether paths are upgraded to TLS, per side (all zero: everything in the clear).
    NetSecConf securityParams;
};

// The defaults of every field, as the storage server's keys and performance parameters have them.
void netConfParam_SetDefaults(NetConfParam *pConf);
