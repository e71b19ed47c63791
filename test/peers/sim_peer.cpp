#include "test/peers/sim_peer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "mos/mos_t10dif.h"
#include "net/net_rpc.h"
#include "test/support/net_root.h"
#include "test/support/umt_run.h"

namespace {
// Groups a pellar sends to (13, 14) and those whose numbers its responses carry (20-27).
constexpr UINT32 kGroups[] = {13, 14, 20, 21, 22, 23, 24, 25, 26, 27};
constexpr UINT32 kKeepAliveType = 1001, kKeepAliveEchoType = 2013, kPellarKeepAliveGroup = 25;
constexpr UINT32 kPermitType = 1008;

std::vector<uint8_t> simPeer_Bytes(const NetSmallIov *pIov)
{
    std::vector<uint8_t> out;
    for (UINT32 i = 0; i < pIov->numOfUsedBuffers; i++) {
        UINT32 len = 0;
        auto *p = static_cast<uint8_t *>(NET_IOV__GET(pIov, i, &len));
        out.insert(out.end(), p, p + len);
    }
    return out;
}

void simPeer_OnConEvent(void *, HNetCon, ConId, NetOwnerType, NetConChannelData *) {}

void simPeer_RefuseNewCon(void *, ConId, NetOwnerType, NetConCallback **ppConCB, BOOL *pbPrivileged)
{
    *ppConCB = nullptr;
    *pbPrivileged = FALSE;
}
} // namespace

SimPeer::SimPeer(ConId myConId, NetOwnerType ownerType)
{
    NetCallback cb;
    net_InitEmptyNetCallback(&cb);
    cb.pNewConnectionFunc = simPeer_RefuseNewCon;
    cb.pObjNet = this;
    p_ = netTest_Create(nullptr, &cb, myConId, ownerType);
    NetRecvGrpCallback grpCB{Alloc, Free, RecvNotif, RecvRequest, nullptr, RpcResponse, SendDone, this};
    for (UINT32 grp : kGroups) {
        NetRecvGroup *pGroup = net_AllocRecvGroup(net(), grp, &grpCB, MosUmtClassId{0, 0});
        netRecvGroup_SetNumOfWorkers(pGroup, 2);
        groups_.push_back(pGroup);
    }
    conCB_ = NetConCallback{simPeer_OnConEvent, simPeer_OnConEvent, nullptr, nullptr, nullptr, this};
    net_Start(net(), 0);
}

SimPeer::~SimPeer()
{
    std::vector<NetRpcData *> held;
    {
        std::lock_guard<std::mutex> lock(mu_);
        held.swap(held_);
    }
    for (NetRpcData *pReq : held) {
        umtTest_RunAsUmt([&] {
            NetRpcMsg resp;
            NetRpcData *pRes = netRecvGroup_InitResponse(net(), &resp, pReq, TRUE);
            pRes->context = MOS_RC__TIMEOUT;
            (void)netRecvGroup_SendResponse(net(), &resp, pReq, TRUE);
            netMsgSndAsync_Destroy(&resp);
        });
    }
    Disconnect();
    net_Destroy(net());
    for (NetRecvGroup *pGroup : groups_)
        net_FreeRecvGroup(net(), pGroup);
    mosUmtSchedThrd_Destroy(&p_->sched);
    p_.reset();
}

Net *SimPeer::net()
{
    return &p_->net;
}

bool SimPeer::Connect(uint16_t port, ConId serverConId, std::chrono::seconds limit)
{
    NetCon_RemoteHosts hosts = netTest_LoopbackHosts(1, port, 1);
    hCon_ = net_AllocClientConList(net(), serverConId, p_->net.ownerType, &conCB_, &hosts);
    if (hCon_ == 0 || !net_Connect(net(), hCon_, FALSE))
        return false;
    return umtTest_WaitFor([&] { return net_IsConnected(net(), hCon_) == TRUE; }, limit);
}

void SimPeer::Disconnect()
{
    if (hCon_ != 0)
        net_Disconnect(net(), hCon_);
    hCon_ = 0;
}

Mos_RC SimPeer::Request(uint32_t type, uint32_t grp, const std::vector<std::vector<uint8_t>> &buffers,
                        std::vector<uint8_t> *pAnswer, bool *pbTransportOk)
{
    Mos_RC result = MOS_RC__ERROR;
    umtTest_RunAsUmt([&] {
        NetRpcMsg msg;
        NetRpcData *pReq = netMsgSndAsync_Init(&msg, net(), NET_MSG_TYPE__SNDRCV, TRUE, nullptr);
        pReq->grpId = grp;
        pReq->context = type;
        for (const std::vector<uint8_t> &b : buffers)
            if (!b.empty())
                netIov_AddBuffer(&pReq->iov, const_cast<uint8_t *>(b.data()), (UINT32)b.size(),
                                 NET_IOV_BUF_TYPE__USER_FIRST);
        const Mos_RC rc = netRpc_SendRequestWithTO(net(), hCon_, &msg, TRUE, MOS_TIMER_QUEUE_ID__10SEC);
        if (pbTransportOk != nullptr)
            *pbTransportOk = rc == MOS_RC__SUCCESS;
        result = rc == MOS_RC__SUCCESS ? (Mos_RC)msg.msgSnd.rpcRes.context : rc;
        if (pAnswer != nullptr)
            *pAnswer = simPeer_Bytes(&msg.msgSnd.rpcRes.iov);
        if (!NET_IOV__IS_EMPTY(&msg.msgSnd.rpcRes.iov))
            Free(this, grp, &msg.msgSnd.rpcRes.iov);
        netMsgSndAsync_Destroy(&msg);
    });
    return result;
}

Mos_RC SimPeer::Notify(uint32_t type, uint32_t grp, const std::vector<uint8_t> &payload)
{
    Mos_RC result = MOS_RC__ERROR;
    umtTest_RunAsUmt([&] {
        NetRpcMsg msg;
        NetRpcData *pReq = netMsgSndAsync_Init(&msg, net(), NET_MSG_TYPE__NOTIFICATION, TRUE, nullptr);
        pReq->grpId = grp;
        pReq->context = type;
        if (!payload.empty())
            netIov_AddBuffer(&pReq->iov, const_cast<uint8_t *>(payload.data()), (UINT32)payload.size(),
                             NET_IOV_BUF_TYPE__USER_FIRST);
        result = netRpc_SendNotification(net(), hCon_, &msg, TRUE);
        netMsgSndAsync_Destroy(&msg);
    });
    return result;
}

std::vector<SimReport> SimPeer::Reports(uint32_t type) const
{
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<SimReport> out;
    for (const SimReport &r : reports_)
        if (r.type == type)
            out.push_back(r);
    return out;
}

bool SimPeer::WaitReports(uint32_t type, size_t n, std::chrono::seconds limit) const
{
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, limit, [&] {
        size_t count = 0;
        for (const SimReport &r : reports_)
            count += r.type == type ? 1 : 0;
        return count >= n;
    });
}

void SimPeer::ClearReports()
{
    std::lock_guard<std::mutex> lock(mu_);
    reports_.clear();
}

bool SimPeer::OnRequest(const SimReport &, Mos_RC *pAnswer)
{
    *pAnswer = MOS_RC__SUCCESS;
    return true;
}

void SimPeer::OnNotif(HNetCon, const SimReport &) {}

void SimPeer::Alloc(void *, UINT32, NetSmallIov *pIov, UINT32 len, Context, SocketHeaderType, const UINT8 *)
{
    netIov_AddBuffer(pIov, malloc(len), len, NET_IOV_BUF_TYPE__USER_FIRST);
}

void SimPeer::Free(void *, UINT32, NetSmallIov *pIov)
{
    for (UINT32 i = 0; i < pIov->numOfUsedBuffers; i++)
        free(NET_IOV__GET(pIov, i, nullptr));
    NET_IOV__RESET(pIov);
}

SimReport SimPeer::Record(NetRpcData *pReq, bool bRequest)
{
    SimReport r{pReq->context, pReq->grpId, bRequest, simPeer_Bytes(&pReq->iov), std::chrono::steady_clock::now()};
    {
        std::lock_guard<std::mutex> lock(mu_);
        reports_.push_back(r);
    }
    cv_.notify_all();
    return r;
}

Mos_RC SimPeer::RecvNotif(void *pObj, NetRpcData *pReq)
{
    SimPeer *self = static_cast<SimPeer *>(pObj);
    const SimReport r = self->Record(pReq, false);
    const HNetCon hCon = netRecvGroup_GetHcon(pReq);
    Free(self, pReq->grpId, &pReq->iov);
    self->OnNotif(hCon, r);
    return MOS_RC__SUCCESS;
}

void SimPeer::RecvRequest(HNetCon, void *pObj, NetRpcData *pReq)
{
    SimPeer *self = static_cast<SimPeer *>(pObj);
    const SimReport r = self->Record(pReq, true);
    Mos_RC answer = MOS_RC__SUCCESS;
    if (!self->OnRequest(r, &answer)) {
        std::lock_guard<std::mutex> lock(self->mu_);
        self->held_.push_back(pReq);
        return;
    }
    NetRpcMsg resp;
    NetRpcData *pRes = netRecvGroup_InitResponse(self->net(), &resp, pReq, TRUE);
    pRes->context = answer;
    (void)netRecvGroup_SendResponse(self->net(), &resp, pReq, TRUE);
    netMsgSndAsync_Destroy(&resp);
}

OstrelSim::~OstrelSim() = default;

Mos_RC OstrelSim::Command(uint32_t type, uint64_t addressedTgtId, const std::vector<uint8_t> &record,
                          std::vector<uint8_t> *pAnswer)
{
    std::vector<uint8_t> payload(sizeof(addressedTgtId));
    memcpy(payload.data(), &addressedTgtId, sizeof(addressedTgtId));
    payload.insert(payload.end(), record.begin(), record.end());
    return Request(type, 20, {payload}, pAnswer);
}

Mos_RC OstrelSim::Attach(const AddManager &args, std::vector<uint8_t> *pAnswer)
{
    std::vector<uint8_t> rec(70, 0);
    auto put = [&rec](size_t off, const void *p, size_t n) { memcpy(rec.data() + off, p, n); };
    put(0, &args.ostrelId, 8);
    put(8, &args.tgtId, 8);
    put(16, &args.bForceClean, 4);
    put(20, &args.bNew, 4);
    put(24, &args.combSizeInLbs, 4);
    put(36, &args.generation, 2);
    put(50, &args.bCacheEnabled, 4);
    put(58, &args.cacheSizeInMb, 4);
    put(66, &args.keepaliveTimeoutMs, 4);
    return Command(2001, 0, rec, pAnswer);
}

Mos_RC OstrelSim::Reconf(bool bStart, uint16_t generation)
{
    std::vector<uint8_t> rec(2);
    memcpy(rec.data(), &generation, 2);
    return Command(bStart ? 2015 : 2016, 0, rec);
}

Mos_RC OstrelSim::AddPeers(const std::vector<Peer> &peers, bool bReconfigInProgress, uint16_t generation,
                           int64_t countOverride)
{
    constexpr size_t kHead = 14, kElem = 538;
    std::vector<uint8_t> rec(kHead + peers.size() * kElem, 0);
    const uint32_t count = countOverride >= 0 ? (uint32_t)countOverride : (uint32_t)peers.size();
    const uint32_t elemSize = kElem, bReconf = bReconfigInProgress ? 1 : 0;
    memcpy(rec.data(), &count, 4);
    memcpy(rec.data() + 4, &elemSize, 4);
    memcpy(rec.data() + 8, &bReconf, 4);
    memcpy(rec.data() + 12, &generation, 2);
    for (size_t i = 0; i < peers.size(); i++) {
        uint8_t *pElem = rec.data() + kHead + i * kElem;
        const uint16_t hostGen = 1;
        const uint32_t hosts[4] = {1, 1, peers[i].port, 8}; // sockets per address, hosts, port, room
        memcpy(pElem, &peers[i].tgtId, 8);
        memcpy(pElem + 8, &hostGen, 2);
        memcpy(pElem + 10, hosts, sizeof(hosts));
        strcpy(reinterpret_cast<char *>(pElem + 10 + sizeof(hosts)), "127.0.0.1");
    }
    return Command(2005, 0, rec);
}

Mos_RC OstrelSim::Group(uint32_t type, const std::vector<std::vector<uint8_t>> &elems, bool bReconfigInProgress,
                        uint16_t generation, const std::vector<uint8_t> &tail, int64_t countOverride)
{
    std::vector<uint8_t> rec(14, 0);
    const uint32_t count = countOverride >= 0 ? (uint32_t)countOverride : (uint32_t)elems.size();
    const uint32_t elemSize = elems.empty() ? 0 : (uint32_t)elems[0].size(), bReconf = bReconfigInProgress ? 1 : 0;
    memcpy(rec.data(), &count, 4);
    memcpy(rec.data() + 4, &elemSize, 4);
    memcpy(rec.data() + 8, &bReconf, 4);
    memcpy(rec.data() + 12, &generation, 2);
    for (const std::vector<uint8_t> &e : elems)
        rec.insert(rec.end(), e.begin(), e.end());
    rec.insert(rec.end(), tail.begin(), tail.end());
    return Command(type, 0, rec);
}

Mos_RC OstrelSim::AddVols(const std::vector<std::vector<uint8_t>> &vols, bool bReconfigInProgress, uint16_t generation,
                           bool bUseCache)
{
    std::vector<uint8_t> flags(4 * vols.size(), 0);
    for (size_t i = 0; bUseCache && i < vols.size(); i++)
        flags[4 * i] = 1;
    return Group(2007, vols, bReconfigInProgress, generation, flags);
}

std::vector<uint8_t> OstrelSim::Vtree(uint64_t vtreeId, uint32_t snapTime)
{
    std::vector<uint8_t> e(24, 0);
    memcpy(e.data(), &vtreeId, 8);
    memcpy(e.data() + 16, &snapTime, 4);
    return e;
}

std::vector<uint8_t> OstrelSim::Vol(uint64_t volId, uint64_t vtreeId, uint32_t vtoId, uint64_t volGen)
{
    std::vector<uint8_t> e(52, 0);
    memcpy(e.data(), &volId, 8);
    memcpy(e.data() + 8, &volGen, 8);
    memcpy(e.data() + 16, &volGen, 8); // SCSI generation
    memcpy(e.data() + 24, &vtreeId, 8);
    memcpy(e.data() + 32, &vtoId, 4);
    return e;
}

std::vector<uint8_t> OstrelSim::Head(uint32_t mhId, uint64_t capChangeGen, uint64_t vtreeId)
{
    constexpr size_t kUsageBm = 12, kUsageBmBytes = 128, kUsageMap = 148, kSlots = 1024;
    std::vector<uint8_t> e(8340, 0);
    memcpy(e.data(), &mhId, 4);
    memcpy(e.data() + 140, &capChangeGen, 8);
    if (vtreeId == 0)
        return e;
    memset(e.data() + kUsageBm, 0xFF, kUsageBmBytes);
    for (size_t s = 0; s < kSlots; s++)
        memcpy(e.data() + kUsageMap + 8 * s, &vtreeId, 8);
    return e;
}

std::vector<OstrelSim::DevAnswer> OstrelSim::AddDevs(const std::vector<OstrelTgtReq_AddDev> &devs,
                                                     bool bReconfigInProgress, Mos_RC *pRc, uint16_t generation)
{
    constexpr size_t kAnswerHead = 8, kAnswerElem = 88;
    std::vector<uint8_t> ans;
    *pRc = Command(2054, 0, simComb_AddDevArr(devs, bReconfigInProgress, generation), &ans);
    std::vector<DevAnswer> out;
    for (size_t off = kAnswerHead; off + kAnswerElem <= ans.size(); off += kAnswerElem) {
        DevAnswer a{};
        memcpy(&a.devId, ans.data() + off, 8);
        memcpy(&a.teeth, ans.data() + off + 8, 8);
        memcpy(&a.specRc, ans.data() + off + 16, 4);
        out.push_back(a);
    }
    return out;
}

Mos_RC OstrelSim::AddCombs(const std::vector<OstrelTgtReq_AddComb> &combs, bool bReconfigInProgress,
                           uint16_t generation)
{
    return Command(2217, 0, simComb_AddCombArr(combs, bReconfigInProgress, generation));
}

void OstrelSim::ScriptPermits(const std::vector<Permit> &script)
{
    std::lock_guard<std::mutex> lock(scriptMu_);
    script_.assign(script.begin(), script.end());
}

bool OstrelSim::OnRequest(const SimReport &report, Mos_RC *pAnswer)
{
    *pAnswer = MOS_RC__SUCCESS;
    if (report.type != kPermitType)
        return true;
    Permit next = Permit::Grant;
    {
        std::lock_guard<std::mutex> lock(scriptMu_);
        if (!script_.empty()) {
            next = script_.front();
            script_.pop_front();
        }
    }
    switch (next) {
    case Permit::Grant:
        return true;
    case Permit::Refuse:
        *pAnswer = MOS_RC__ABORTED;
        return true;
    case Permit::Retry:
        *pAnswer = MOS_RC__RETRY;
        return true;
    case Permit::Silence:
        return false;
    }
    return true;
}

void OstrelSim::OnNotif(HNetCon hCon, const SimReport &report)
{
    if (report.type != kKeepAliveType || !bEcho_ || report.payload.size() != 20)
        return;
    NetRpcMsg msg;
    NetRpcData *pReq = netMsgSndAsync_Init(&msg, net(), NET_MSG_TYPE__NOTIFICATION, TRUE, nullptr);
    pReq->grpId = kPellarKeepAliveGroup;
    pReq->context = kKeepAliveEchoType;
    netIov_AddBuffer(&pReq->iov, const_cast<uint8_t *>(report.payload.data()), 20, NET_IOV_BUF_TYPE__USER_FIRST);
    (void)netRpc_SendNotification(net(), hCon, &msg, TRUE);
    netMsgSndAsync_Destroy(&msg);
}

namespace {
std::vector<uint8_t> quilletSim_Record(uint64_t combId, uint32_t sizeInLbs, uint32_t offsetInComb, uint32_t flags)
{
    std::vector<uint8_t> rec(100, 0);
    memcpy(rec.data(), &combId, 8);
    memcpy(rec.data() + 8, &sizeInLbs, 4);
    memcpy(rec.data() + 12, &offsetInComb, 4);
    memcpy(rec.data() + 56, &flags, 4);
    return rec;
}
} // namespace

Mos_RC QuilletSim::Write(uint64_t combId, uint32_t offsetInComb, uint32_t sizeInLbs, uint32_t dataBytes,
                         uint32_t flags)
{
    std::vector<uint8_t> data(dataBytes, 0x5a);
    return Request(2103, 22, {quilletSim_Record(combId, sizeInLbs, offsetInComb, flags), data});
}

Mos_RC QuilletSim::Read(uint64_t combId, uint32_t offsetInComb, uint32_t sizeInLbs, std::vector<uint8_t> *pData)
{
    return Request(2101, 22, {quilletSim_Record(combId, sizeInLbs, offsetInComb, 0)}, pData);
}

namespace {
std::vector<uint8_t> quilletSim_IoRecord(const QuilletSim::Io &io, uint32_t flags)
{
    std::vector<uint8_t> rec = quilletSim_Record(io.combId, io.sizeInLbs, io.offsetInComb, flags);
    memcpy(rec.data() + 16, &io.combGenNum, 8);
    memcpy(rec.data() + 24, &io.volId, 8);
    memcpy(rec.data() + 32, &io.volGenNum, 8);
    memcpy(rec.data() + 40, &io.scsiGenNum, 8);
    return rec;
}
} // namespace

Mos_RC QuilletSim::WriteData(const Io &io, const std::vector<uint8_t> &data)
{
    constexpr uint32_t kT10DifAttached = 0x4;
    std::vector<uint8_t> guards((size_t)io.sizeInLbs * sizeof(T10Dif));
    for (uint32_t b = 0; b < io.sizeInLbs && (size_t)(b + 1) * 512 <= data.size(); b++) {
        const UINT16 guard = mos_generic_t10dif_crc(0, data.data() + (size_t)b * 512, 512);
        memcpy(guards.data() + (size_t)b * sizeof(T10Dif), &guard, sizeof(guard));
    }
    return Request(2103, 22, {quilletSim_IoRecord(io, kT10DifAttached), data, guards});
}

Mos_RC QuilletSim::ReadData(const Io &io, std::vector<uint8_t> *pData)
{
    const Mos_RC rc = Request(2101, 22, {quilletSim_IoRecord(io, 0)}, pData);
    if (pData != nullptr && pData->size() > (size_t)io.sizeInLbs * 512)
        pData->resize((size_t)io.sizeInLbs * 512);
    return rc;
}
