// A stand-in for the node's installation agent: a messaging root of its own in the test process
// that listens on a loopback port, accepts the server's connection and answers its media queries
// (7031) and LED requests (7032) as the test scripts them, keeping every request it got.
//
// A media query for a path the script does not name is answered MOS_RC__NOT_FOUND; a scripted
// failure code is answered without payload. Needs NetTestRuntimeEnv.
#pragma once

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "mos/usr/mos_media.h"
#include "net/net.h"
#include "net/net_msg.h"
#include "net/net_rcv_group.h"
#include "net/net_rpc.h"
#include "test/support/net_rpc_support.h"
#include "test/support/net_support.h"

class FakeYarrin {
  public:
    static constexpr UINT32 kGroup = 26, kMediaInfo = 7031, kLed = 7032;

    struct Media {
        Mos_RC rc = MOS_RC__SUCCESS;
        std::string serial;     // the disk's serial number
        std::string raidSerial; // its RAID controller's (empty: none in front of it)
    };

    FakeYarrin()
    {
        NetCallback cb;
        net_InitEmptyNetCallback(&cb);
        cb.pNewConnectionFunc = [](void *pObj, ConId, NetOwnerType ownerType, NetConCallback **ppConCB, BOOL *) {
            auto *self = static_cast<FakeYarrin *>(pObj);
            *ppConCB = ownerType == NET_OWNER_TYPE__YARRIN || ownerType == NET_OWNER_TYPE__TGT ? &self->conCB_ : nullptr;
        };
        cb.pObjNet = this;
        p_ = netTest_Create(nullptr, &cb, 1200, NET_OWNER_TYPE__YARRIN);
        conCB_.pConFunc = [](void *, HNetCon, ConId, NetOwnerType, NetConChannelData *) {};
        conCB_.pDisconFunc = [](void *, HNetCon, ConId, NetOwnerType, NetConChannelData *) {};
        conCB_.pObjCon = this;
        NetRecvGrpCallback grpCB{Alloc, Free, [](void *, NetRpcData *) { return MOS_RC__SUCCESS; }, Recv, nullptr,
                                 [](void *, NetRpcMsg *) {}, [](void *, NetRpcMsg *) {}, this};
        group_ = net_AllocRecvGroup(&p_->net, kGroup, &grpCB, MosUmtClassId{0, 0});
        netRecvGroup_SetNumOfWorkers(group_, 2);
        port_ = netEngineTest_FreePort();
        net_Start(&p_->net, port_);
    }
    ~FakeYarrin()
    {
        net_Destroy(&p_->net);
        net_FreeRecvGroup(&p_->net, group_);
        mosUmtSchedThrd_Destroy(&p_->sched);
    }
    FakeYarrin(const FakeYarrin &) = delete;
    FakeYarrin &operator=(const FakeYarrin &) = delete;

    Port port() const { return port_; }
    void script(const std::string &path, const Media &m)
    {
        std::lock_guard<std::mutex> lock(mu_);
        media_[path] = m;
    }
    void scriptAll(Mos_RC rc)
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto &[path, m] : media_)
            m.rc = rc;
    }
    void setLedAnswer(Mos_RC rc) { ledRc_ = rc; }
    std::vector<std::string> mediaRequests() const
    {
        std::lock_guard<std::mutex> lock(mu_);
        return mediaReqs_;
    }
    std::vector<MosMedia_LedCmdReq> ledRequests() const
    {
        std::lock_guard<std::mutex> lock(mu_);
        return ledReqs_;
    }

  private:
    static void Alloc(void *, UINT32, NetSmallIov *pIov, UINT32 len, Context, SocketHeaderType, const UINT8 *)
    {
        netIov_AddBuffer(pIov, malloc(len), len, NET_IOV_BUF_TYPE__USER_FIRST);
    }
    static void Free(void *, UINT32, NetSmallIov *pIov)
    {
        for (UINT32 i = 0; i < pIov->numOfUsedBuffers; i++)
            free(NET_IOV__GET(pIov, i, nullptr));
        NET_IOV__RESET(pIov);
    }
    static void Recv(HNetCon, void *pObj, NetRpcData *pReq)
    {
        auto *self = static_cast<FakeYarrin *>(pObj);
        std::vector<UINT8> in = netRpcTest_Bytes(&pReq->iov);
        std::vector<UINT8> out;
        Mos_RC rc = MOS_RC__INVALID;
        if (pReq->context == kMediaInfo) {
            std::string path(reinterpret_cast<const char *>(in.data()), strnlen((const char *)in.data(), in.size()));
            std::lock_guard<std::mutex> lock(self->mu_);
            self->mediaReqs_.push_back(path);
            auto it = self->media_.find(path);
            rc = it == self->media_.end() ? MOS_RC__NOT_FOUND : it->second.rc;
            if (rc == MOS_RC__SUCCESS) {
                MosMedia_Metadata md{};
                snprintf(md.constMetadata.serialNumber, sizeof(md.constMetadata.serialNumber), "%s",
                         it->second.serial.c_str());
                MosMedia_RaidController ctrl{};
                snprintf(ctrl.serialNumber, sizeof(ctrl.serialNumber), "%s", it->second.raidSerial.c_str());
                out.resize(sizeof(md) + sizeof(ctrl));
                memcpy(out.data(), &md, sizeof(md));
                memcpy(out.data() + sizeof(md), &ctrl, sizeof(ctrl));
            }
        } else if (pReq->context == kLed && in.size() == sizeof(MosMedia_LedCmdReq)) {
            MosMedia_LedCmdReq led;
            memcpy(&led, in.data(), sizeof(led));
            std::lock_guard<std::mutex> lock(self->mu_);
            self->ledReqs_.push_back(led);
            rc = self->ledRc_;
        }
        NetRpcMsg resp;
        NetRpcData *pRes = netRecvGroup_InitResponse(&self->p_->net, &resp, pReq, TRUE);
        pRes->context = rc;
        if (!out.empty())
            netIov_AddBuffer(&pRes->iov, out.data(), (UINT32)out.size(), NET_IOV_BUF_TYPE__USER_FIRST);
        (void)netRecvGroup_SendResponse(&self->p_->net, &resp, pReq, TRUE);
        NET_IOV__RESET(&pRes->iov);
        netMsgSndAsync_Destroy(&resp);
    }

    std::unique_ptr<NetForTest> p_;
    NetRecvGroup *group_ = nullptr;
    NetConCallback conCB_{};
    Port port_ = 0;
    mutable std::mutex mu_;
    std::map<std::string, Media> media_;
    std::vector<std::string> mediaReqs_;
    std::vector<MosMedia_LedCmdReq> ledReqs_;
    std::atomic<Mos_RC> ledRc_{MOS_RC__SUCCESS};
};
