// The event log's rotation: an external script, run every ten minutes on a thread of its own,
// trims or archives the database. The script runs directly (no shell), so paths with blanks or
// shell characters reach it as they are.
#include <cstdio>
#include <cstring>

#include "mos/eventlog/mos_eventlog_intrn.h"
#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "mos/usr/linux/mos_process.h"

MosEventLogRotateLayer eventLogRotate_G;

namespace {

void mosEventLog_MainRotateThrd(void *pArg)
{
    MOS_UNUSED(pArg);
    MOS_TRACE(MOS_COMP_OSTREL_EVENT_LOG, MOS_FREQ_LOW, "Event Log Rotation: Started using '%s' command",
              eventLogRotate_G.cmdToExecute);
    for (;;) {
        Mos_RC rc;
        {
            MosFastlockGuard guard(&eventLogRotate_G.lock);
            if (eventLogRotate_G.bStop)
                return;
            rc = mosOSWCond_TimedWait(&eventLogRotate_G.condVar, &eventLogRotate_G.lock,
                                      MOS_EVENTLOG__ROTATE_PERIOD_MILLIS);
            if (eventLogRotate_G.bStop)
                return;
        }
        // A spurious wake-up only starts the period again.
        if (rc == MOS_RC__TIMEOUT)
            mosEventLog_RunRotateCmd();
    }
}

} // namespace

Mos_RC mosEventLog_RunRotateCmd(void)
{
    char *argv[] = {eventLogRotate_G.scriptPath, eventLogRotate_G.confDirArg, eventLogRotate_G.dbFileArg, nullptr};
    Mos_RC rc = mosProcess_RunWithPipe(argv, nullptr, TRUE);
    if (rc != MOS_RC__SUCCESS)
        MOS_TRACE(MOS_COMP_OSTREL_EVENT_LOG, MOS_FREQ_LOW, "Failed running %s command. System RC: %d",
                  eventLogRotate_G.cmdToExecute, rc);
    return rc;
}

Mos_RC mosEventLog_InitRotate(const char *pFilename, const char *pLogPath, const char *pBinPath, const char *pCfgPath)
{
    MOS_ASSERT(pFilename != nullptr);
    MosEventLogRotateLayer &r = eventLogRotate_G;
    memset(&r, 0, sizeof(r));
    mosEventLog_Print(r.eventLogFileName, sizeof(r.eventLogFileName), "%s", pFilename);
    char confDir[MOS_EVENTLOG__ROTATE_CMD_LEN];
    if (pCfgPath != nullptr && strlen(pCfgPath) >= 2)
        mosEventLog_Print(confDir, sizeof(confDir), "%s", pCfgPath);
    else
        mosEventLog_Print(confDir, sizeof(confDir), "%s%s..%s%s%s", pLogPath, "/", "/", "cfg", "/");
    const char *pScript = eventLogConfig_G.rotateWithPython ? "eventLogger.py" : "eventLogger.sh";
    if (pBinPath != nullptr && strlen(pBinPath) >= 2)
        mosEventLog_Print(r.scriptPath, sizeof(r.scriptPath), "%s/%s", pBinPath, pScript);
    else
        mosEventLog_Print(r.scriptPath, sizeof(r.scriptPath), "%s/../bin/%s", pLogPath, pScript);
    mosEventLog_Print(r.confDirArg, sizeof(r.confDirArg), "--conf_dir=%s", confDir);
    mosEventLog_Print(r.dbFileArg, sizeof(r.dbFileArg), "--event_db_file_name=%s", "eventlog.db");
    mosEventLog_Print(r.cmdToExecute, sizeof(r.cmdToExecute), "\"%s\" %s %s", r.scriptPath, r.confDirArg, r.dbFileArg);
    MOS_TRACE(MOS_COMP_OSTREL_EVENT_LOG, MOS_FREQ_HIGH, "confDir %s", confDir);
    MOS_TRACE(MOS_COMP_OSTREL_EVENT_LOG, MOS_FREQ_HIGH, "scriptPath \"%s\"", r.scriptPath);
    MOS_TRACE(MOS_COMP_OSTREL_EVENT_LOG, MOS_FREQ_HIGH, "cmdToExecute %s", r.cmdToExecute);
    mosOSWCond_Init(&r.condVar);
    MOS_FASTLOCK_CREATE_ADAPTIVE(&r.lock, MOS_EVENTLOG__CONTENTION_ROTATE);
    Mos_RC rc = mosOsThrd_CreateNamed(&r.rotateThrd, mosEventLog_MainRotateThrd, nullptr, "eventlog rotate");
    if (rc != MOS_RC__SUCCESS) {
        mosFastlockBase_Destroy(&r.lock);
        mosOSWCond_Destroy(&r.condVar);
        return rc;
    }
    r.bInit = TRUE;
    return MOS_RC__SUCCESS;
}

void mosEventLog_DestroyRotate(void)
{
    MosEventLogRotateLayer &r = eventLogRotate_G;
    if (!r.bInit)
        return;
    {
        MosFastlockGuard guard(&r.lock);
        r.bStop = TRUE;
        mosOSWCond_Signal(&r.condVar);
    }
    mosOsThrd_Destroy(&r.rotateThrd);
    mosFastlockBase_Destroy(&r.lock);
    mosOSWCond_Destroy(&r.condVar);
    r.bInit = FALSE;
}
