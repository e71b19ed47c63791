// Test peers of a pellar on the project's own messaging layer, each a messaging root of its own
// in the test process (the test program sets up the runtime with NetTestRuntimeEnv):
//
//   OstrelSim (owner type Ostrel): connects to a pellar, sends typed commands and raw records,
//   echoes keep-alives (switchable), records every report it receives and answers the degrade
//   permit requests as the test scripts them (grant, refuse, retry, silence).
//   QuilletSim (owner type Quillet): sends data-path writes and reads with the 100-byte record.
//
// Every call that talks to the pellar runs on a uthread of the peer's own and returns when the
// pellar answered or the request timed out; callbacks run on the peer's receive-group workers.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/net.h"
#include "net/net_rcv_group.h"
#include "test/peers/sim_comb_cmds.h"

struct NetForTest;

// One message the pellar sent to the peer.
struct SimReport {
    uint32_t type;
    uint32_t grp;
    bool bRequest;
    std::vector<uint8_t> payload;
    std::chrono::steady_clock::time_point at;
};

class SimPeer {
  public:
    SimPeer(ConId myConId, NetOwnerType ownerType);
    virtual ~SimPeer();
    SimPeer(const SimPeer &) = delete;
    SimPeer &operator=(const SimPeer &) = delete;

    // A client connection with one path to 127.0.0.1:port; true once it is connected.
    bool Connect(uint16_t port, ConId serverConId, std::chrono::seconds limit = std::chrono::seconds(30));
    void Disconnect();
    // A request of raw payload bytes to the pellar's group grp: the pellar's code from the
    // response's context word, or the transport's failure; the response's bytes in *pAnswer.
    Mos_RC Request(uint32_t type, uint32_t grp, const std::vector<std::vector<uint8_t>> &buffers,
                   std::vector<uint8_t> *pAnswer = nullptr, bool *pbTransportOk = nullptr);
    Mos_RC Notify(uint32_t type, uint32_t grp, const std::vector<uint8_t> &payload);

    std::vector<SimReport> Reports(uint32_t type) const;
    // Waits until n reports of the type arrived; false after the limit.
    bool WaitReports(uint32_t type, size_t n, std::chrono::seconds limit) const;
    void ClearReports();

  protected:
    // Called on a worker for every report (after it is recorded); answers a request with the
    // returned code unless it returns false (the request is then held unanswered).
    virtual bool OnRequest(const SimReport &report, Mos_RC *pAnswer);
    virtual void OnNotif(HNetCon hCon, const SimReport &report);
    Net *net();
    HNetCon con() const { return hCon_; }

  private:
    static void Alloc(void *pObj, UINT32, NetSmallIov *pIov, UINT32 len, Context, SocketHeaderType, const UINT8 *);
    static void Free(void *pObj, UINT32, NetSmallIov *pIov);
    static Mos_RC RecvNotif(void *pObj, NetRpcData *pReq);
    static void RecvRequest(HNetCon hCon, void *pObj, NetRpcData *pReq);
    static void RpcResponse(void *, NetRpcMsg *) {}
    static void SendDone(void *, NetRpcMsg *) {}
    SimReport Record(NetRpcData *pReq, bool bRequest);

    std::unique_ptr<NetForTest> p_;
    std::vector<NetRecvGroup *> groups_;
    NetConCallback conCB_{};
    HNetCon hCon_ = 0;
    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    std::vector<SimReport> reports_;
    std::vector<NetRpcData *> held_;
};

class OstrelSim : public SimPeer {
  public:
    enum class Permit { Grant, Refuse, Retry, Silence };
    explicit OstrelSim(ConId myConId = 0x0572e1) : SimPeer(myConId, NET_OWNER_TYPE__OSTREL) {}
    ~OstrelSim() override;

    struct AddManager {
        uint64_t ostrelId = 0x0A;
        uint64_t tgtId = 0x11;
        uint32_t bForceClean = 0;
        uint32_t bNew = 1;
        uint16_t generation = 1;
        uint32_t keepaliveTimeoutMs = 5000;
        uint32_t combSizeInLbs = 16777216;
        // The RAM read cache: enabled with a size (MB), or disabled.
        uint32_t bCacheEnabled = 0;
        uint32_t cacheSizeInMb = 0;
    };
    // The add-manager command; the answer record's bytes in *pAnswer.
    Mos_RC Attach(const AddManager &args, std::vector<uint8_t> *pAnswer = nullptr);
    // A command of the Ostrel's protocol: the addressed id, then the record.
    Mos_RC Command(uint32_t type, uint64_t addressedTgtId, const std::vector<uint8_t> &record,
                   std::vector<uint8_t> *pAnswer = nullptr);
    // A reconfiguration cycle's start (2015) or end (2016) under the generation.
    Mos_RC Reconf(bool bStart, uint16_t generation = 1);
    // The peer group command (2005): each peer by id and port on 127.0.0.1; numOfTgts as given
    // unless countOverride says otherwise.
    struct Peer {
        uint64_t tgtId;
        uint16_t port;
    };
    Mos_RC AddPeers(const std::vector<Peer> &peers, bool bReconfigInProgress, uint16_t generation = 1,
                    int64_t countOverride = -1);
    // A group command with the 14-byte head (volumes 2007, volume trees 2023, heads 2040): the
    // elements, then tail (the volumes' cache flags); numOf as given unless countOverride says
    // otherwise.
    Mos_RC Group(uint32_t type, const std::vector<std::vector<uint8_t>> &elems, bool bReconfigInProgress,
                 uint16_t generation = 1, const std::vector<uint8_t> &tail = {}, int64_t countOverride = -1);
    // Volumes with one cache flag each (bUseCache: the volume's reads may use the RAM read cache).
    Mos_RC AddVols(const std::vector<std::vector<uint8_t>> &vols, bool bReconfigInProgress, uint16_t generation = 1,
                   bool bUseCache = false);
    // Elements of the group commands.
    static std::vector<uint8_t> Vtree(uint64_t vtreeId, uint32_t snapTime = 1);
    static std::vector<uint8_t> Vol(uint64_t volId, uint64_t vtreeId, uint32_t vtoId, uint64_t volGen = 1);
    // A head; with a vtreeId every block is in use and every slot of its usage map names that
    // volume tree.
    static std::vector<uint8_t> Head(uint32_t mhId, uint64_t capChangeGen, uint64_t vtreeId = 0);
    // The device group command (2054) of simComb_Dev elements (sim_comb_cmds.h); its answer's
    // entries, one per device: id, code, teeth.
    struct DevAnswer {
        uint64_t devId;
        uint32_t specRc;
        uint64_t teeth;
    };
    std::vector<DevAnswer> AddDevs(const std::vector<OstrelTgtReq_AddDev> &devs, bool bReconfigInProgress,
                                   Mos_RC *pRc, uint16_t generation = 1);
    // The comb group command (2217) of simComb_* elements; outside a cycle it holds one comb.
    Mos_RC AddCombs(const std::vector<OstrelTgtReq_AddComb> &combs, bool bReconfigInProgress,
                    uint16_t generation = 1);
    void SetKeepAliveEcho(bool bEcho) { bEcho_ = bEcho; }
    // Answers of the next permit requests, in order; Grant once the script is used up.
    void ScriptPermits(const std::vector<Permit> &script);

  protected:
    bool OnRequest(const SimReport &report, Mos_RC *pAnswer) override;
    void OnNotif(HNetCon hCon, const SimReport &report) override;

  private:
    std::atomic<bool> bEcho_{true};
    std::mutex scriptMu_;
    std::deque<Permit> script_;
};

class QuilletSim : public SimPeer {
  public:
    explicit QuilletSim(ConId myConId = 0x0917e1) : SimPeer(myConId, NET_OWNER_TYPE__INI) {}
    // A write of sizeInLbs blocks (2103) as the record announces it; dataBytes of data follow it.
    Mos_RC Write(uint64_t combId, uint32_t offsetInComb, uint32_t sizeInLbs, uint32_t dataBytes, uint32_t flags = 0);
    Mos_RC Read(uint64_t combId, uint32_t offsetInComb, uint32_t sizeInLbs, std::vector<uint8_t> *pData = nullptr);

    // A client I/O as a volume's block driver sends it.
    struct Io {
        uint64_t combId;
        uint32_t offsetInComb;
        uint32_t sizeInLbs;
        uint64_t combGenNum = 0;
        uint64_t volId = 0;
        uint64_t volGenNum = 0;
        uint64_t scsiGenNum = 0;
    };
    // A write of data (sizeInLbs x 512 bytes) with the T10-DIF guards computed here and attached.
    Mos_RC WriteData(const Io &io, const std::vector<uint8_t> &data);
    // A read; the data alone (guards that follow it are dropped) in *pData when given.
    Mos_RC ReadData(const Io &io, std::vector<uint8_t> *pData);
};
