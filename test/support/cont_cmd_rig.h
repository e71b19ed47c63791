// The controller built in the test process without its network, and the Ostrel's commands handed
// to the command door as the control group hands them: one payload buffer, the answer's buffers
// collected and freed. Needs no test framework. For tests and fuzzing of admission and dispatch that need no peer.
#pragma once

#include <cstring>
#include <vector>

#include "mos/mos_utils_mem.h"
#include <functional>

#include "mos/mos_load.h"
#include "mos/umt/mos_umt.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_cmd_rec.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_sdbg.h"
#include "tgt/tgt_umt_class.h"

class ContCmdRig {
  public:
    // fn on a joinable uthread of the default scheduler, joined from the calling OS thread.
    static void run(const std::function<void()> &fn)
    {
        struct Box {
            const std::function<void()> *pFn;
        } box{&fn};
        HMosUmt_UThread h = mosUmt_CreateUThreadEx([](void *p) { (*static_cast<Box *>(p)->pFn)(); }, &box, nullptr,
                                                   nullptr, TRUE, MosUmtClassId{0, 0});
        MOS_ASSERT(h != nullptr);
        mosUmt_JoinSync(h);
    }
    // The runtime with the server's thread classes, defaults for every setting; false on failure.
    static bool initRuntime()
    {
        if (mos_Init(nullptr) != MOS_RC__SUCCESS)
            return false;
        mosUmtMgr_Init(tgt_UmtClassInit);
        tgtSdbg_Register();
        tgtConf_SetDefaults();
        tgtConf_InitPerfParams();
        return true;
    }
    // cont_g, once per process: the controller is never torn down.
    static void buildController()
    {
        static bool bBuilt = false;
        if (!bBuilt)
        {
            run([] { cont_Init(&cont_g, 0, 0, FALSE, FALSE); });
            // No command here runs a copy, and a parked copy worker must not outlive the process.
            stopCopies();
        }
        bBuilt = true;
    }
    // The resync pool's workers end (the controller itself stays): the process may then exit with
    // no copy worker parked on its stack.
    static void stopCopies()
    {
        if (raidSyncPool_Get() == &cont_g.ostrel.syncPool)
            run([] { raidSyncPool_Destroy(&cont_g.ostrel.syncPool); });
    }
    // The state of an adopted server without running add-manager (no repository file, no
    // keep-alive): own id 0x11, the generation, and whether a cycle is open.
    static void adopt(UINT16 gen, BOOL bInCycle)
    {
        cont_g.bRecvAddOstrel = TRUE;
        cont_g.ostrel.tgtId = 0x11;
        cont_g.ostrelTgtConnectionGenNum = gen;
        cont_g.bRecvReconStartAtleastOnce = TRUE;
        cont_g.bReconfigInProgress = bInCycle;
    }
    // One command: the addressed id, then the record; the answer's bytes in *pAnswer.
    static Mos_RC send(UINT32 type, UINT64 tgtId, const std::vector<UINT8> &record,
                       std::vector<UINT8> *pAnswer = nullptr, UINT32 senderVersion = 0)
    {
        std::vector<UINT8> payload(sizeof(tgtId));
        memcpy(payload.data(), &tgtId, sizeof(tgtId));
        payload.insert(payload.end(), record.begin(), record.end());
        return sendRaw(type, payload, pAnswer, senderVersion);
    }
    // An UPDATE_PERF_PARAMS record of the values the server runs with (two network workers),
    // changed by set, under generation 1.
    static std::vector<UINT8> perfRecord(const std::function<void(Tgt_PerformanceParamsV200 &)> &set,
                                             UINT16 gen = 1)
    {
        OstrelTgtReq_UpdatePerfParams rec{};
        Tgt_PerformanceParamsV200 &p = rec.perfParams;
        const TgtPerfParam &cur = tgtPerfInitParam_G;
        p.numOfSocketsPerIpPellarToPellar = cur.numOfSocketsPerIpPellarToPellar;
        p.keepaliveTimeMs = cur.keepaliveTimeMs;
        p.numNetWorkerThreads = 2;
        p.recvBufferInKb = (UINT32)tgtInitParam_G.netParam.recvBufferInKb;
        p.sendBufferInKb = (UINT32)tgtInitParam_G.netParam.sendBufferInKb;
        p.maxReqPerAsyncFile = cur.maxReqPerAsyncFile;
        p.threadIniIo = cur.threadIniIo;
        p.threadTgtIoMain = cur.threadTgtIoMain;
        p.threadTgtIoCopy = cur.threadTgtIoCopy;
        p.threadCopyIo = cur.threadCopyIo;
        p.umtOsThrds = cur.umtOsThrds;
        p.numIoBuffs = cur.numIoBuffs;
        p.netAllocRcvBufferWaitMillis = (UINT16)tgtInitParam_G.netParam.allocRcvBufferWaitMillis;
        p.netBreakDoIOLoop = (UINT16)tgtInitParam_G.netParam.breakDoIOLoop;
        set(p);
        rec.ostrelTgtConnectionGenNum = gen;
        std::vector<UINT8> bytes(sizeof(rec));
        memcpy(bytes.data(), &rec, sizeof(rec));
        return bytes;
    }
    static Mos_RC sendRaw(UINT32 type, const std::vector<UINT8> &payload, std::vector<UINT8> *pAnswer = nullptr,
                          UINT32 senderVersion = 0)
    {
        NetRpcData req{}, res{};
        NET_IOV__INIT(&req.iov);
        NET_IOV__INIT(&res.iov);
        req.context = type;
        req.grpId = 20;
        req.senderVersion = senderVersion != 0 ? senderVersion : net_GetMyNumericVersion();
        if (!payload.empty()) // an empty payload arrives as an empty list
            netIov_AddBuffer(&req.iov, const_cast<UINT8 *>(payload.data()), (UINT32)payload.size(),
                             NET_IOV_BUF_TYPE__USER_FIRST);
        run([&] { contCmd_NewRequest(&cont_g, &req, &res, NET_CON__INVALID_HCON); });
        if (pAnswer != nullptr)
            pAnswer->clear();
        for (UINT32 i = 0; i < res.iov.numOfUsedBuffers; i++) {
            UINT32 len = 0;
            auto *p = static_cast<UINT8 *>(NET_IOV__GET(&res.iov, i, &len));
            if (pAnswer != nullptr)
                pAnswer->insert(pAnswer->end(), p, p + len);
            mos_MemFree(p);
        }
        netIov_Destroy(&req.iov);
        netIov_Destroy(&res.iov);
        return (Mos_RC)res.context;
    }
};
