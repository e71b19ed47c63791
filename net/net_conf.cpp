#include "net/net_conf.h"

#include <cstring>

#include "net/net_socket_header.h"

void netConfParam_SetDefaults(NetConfParam *pConf)
{
    memset(pConf, 0, sizeof(*pConf));
    pConf->quickAck = 2;
    pConf->sendTimeout = MOS_TIMER_QUEUE_ID__5SEC;
    pConf->kaRcvcQuiteSocketTimeoutMs = 2000;
    pConf->allocRcvBufferWaitMillis = 1000;
    pConf->breakRcvLoop = 10;
    pConf->bPollTimers = TRUE;
    pConf->pollCpu = NET_POLL__NO_CPU;
    pConf->pollTimeout = NET_POLL__DEF_TIMEOUT;
    pConf->pollWorkers = NET_WORK_GROUP__DEF_NUM_OF_WORKERS;
    pConf->maxNumOfWorkers = NET_WORK_GROUP__MAX_NUM_OF_WORKERS;
    pConf->bImportantUmt = TRUE;
    pConf->bUseLoopbackFastpath = TRUE;
    pConf->maxRcvMsg = 10000;
    pConf->maxPrioritySends = 16;
    pConf->bCrashOnSendTimeout = TRUE;
    pConf->maxDataLen = SOCKET_HEADER__DEF_MAX_DATA_LEN;
}
