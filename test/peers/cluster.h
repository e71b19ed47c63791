// A local cluster for system tests and the run.sh demo: several pellar processes on this machine,
// each in a directory of its own with its own port, device file, log directory and its own
// OstrelSim as manager, configured the way an Ostrel configures its servers; plus QuilletSim
// clients and a patterned workload whose every acknowledged write can be checked on any copy.
// Free of GoogleTest: the caller owns the runtime (NetTestRuntimeEnv in a test program,
// netTest_RuntimeStart in a program of its own).
//
// What StartAll sets up for pellar i (i = 0, 1, ...):
//   - directory <root>/pellar-<i>/ with pellar.conf, log/ and out.txt; the device file
//     <root>/pellar-<i>/dev.img (sparse, or made by storemint with bStoremint);
//   - the process on Port(i) (a free port; keys: sdbg_port 0, devices from 2 GB, then extraKeys),
//     its OstrelSim connected and attached as tgtId TgtId(i) = 0x11 + i under connection
//     generation 1, keep-alives echoed;
//   - one reconfiguration cycle: the other pellars as peers; its device DevId(i) (new, with a
//     reserve for thin teeth); the thin volume tree kVtreeId with its base node kVtoId (time 1,
//     NORMAL); the volume kVolId on that node (generation kVolGen); the heads and combs it holds
//     (none on a first start).
// Combs are added afterwards, outside a cycle, one ADD_COMB element per side. A mirrored comb is
// PRIMARY on one pellar and SECONDARY on the other, the mirror partnership NORMAL on both, I/O
// generation CombGen(combId) (1 at first); it is added once the primary reports the secondary
// connected. A single comb is PRIMARY with no partner (DEGRADED_REMOTE_ERROR). A comb's head
// (combId >> 15) is added with it, every block in use and every slot of its usage map naming
// kVtreeId.
//
// The cluster keeps what an Ostrel knows of each comb (roles, generations, the states it set) and
// lists it again when a pellar restarts. States a pellar reaches by itself (a degrade, a finished
// rebuild) are learnt from its state reports (1002): StateReports, WaitRaidState, RaidStateOf.
//
// Every call returns false or the failing code and leaves the reason in LastError(); nothing
// throws or asserts. Calls are meant for one driving thread; ClusterLoad runs its own threads
// against one pellar's QuilletSim.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test/peers/sim_peer.h"
#include "test/support/pellar_process.h"
#include "test/support/scratch_dir.h"

// The state's name ("NORMAL", "COPY_DONE", ...), or "0x.." for a mask or an unknown value.
std::string clusterRaidStateName(uint32_t raidState);

struct ClusterOptions {
    int numPellars = 2;
    // The device file's size; storemint rounds it up to whole gigabytes and reserves the space.
    uint64_t devBytes = (2ull << 30) + (64ull << 20);
    bool bStoremint = false;
    // Configuration lines added to every pellar's file.
    std::string extraKeys;
    uint32_t keepaliveTimeoutMs = 5000;
    // A RAM read cache of this many MB in every pellar, used by its device and the volume; 0: none.
    uint32_t ramCacheMb = 0;
};

// One 1002 state report as the Ostrel received it.
struct ClusterStateReport {
    uint64_t combId;
    uint64_t genNum;
    uint64_t fromTgtId;
    uint64_t partnerTgtId;
    uint32_t raidState;
    uint32_t protType;
    std::chrono::steady_clock::time_point at;
};

// The bytes of a patterned range: every block carries (combId, LB, version) in its first 24 bytes
// and a stream derived from them after, so a block read from any copy tells what it holds.
std::vector<uint8_t> clusterPattern(uint64_t combId, uint32_t lb, uint32_t lbs, uint32_t version);

class Cluster {
  public:
    static constexpr uint64_t kOstrelId = 0x0A;
    static constexpr uint64_t kVtreeId = 0x71;
    static constexpr uint64_t kVolId = 0x61;
    static constexpr uint32_t kVtoId = 1;
    static constexpr uint64_t kVolGen = 1;

    // rootDir empty: a scratch directory of its own, removed at the end; else that directory,
    // which stays (run.sh shows the logs in it).
    Cluster(std::string rootDir, ClusterOptions opts = {});
    ~Cluster(); // stops every pellar still running (SIGKILL) and its peers
    Cluster(const Cluster &) = delete;
    Cluster &operator=(const Cluster &) = delete;

    bool StartAll();
    int Size() const { return (int)nodes_.size(); }
    const std::string &Root() const { return root_->path(); }

    PellarProcess &Proc(int i) { return *nodes_[i].proc; }
    OstrelSim &Ostrel(int i) { return *nodes_[i].ostrel; }
    QuilletSim &Quillet(int i); // connected on first use and after a restart
    uint64_t TgtId(int i) const { return 0x11 + (uint64_t)i; }
    uint16_t Port(int i) const { return nodes_[i].port; }
    uint64_t DevId(int i) const { return 0x5100 + (uint64_t)i; }
    std::string Dir(int i) const;
    std::string DevPath(int i) const;
    // Whether pellar i's process still runs.
    bool Running(int i);

    bool AddMirroredComb(uint64_t combId, int primary, int secondary);
    bool AddSingleComb(uint64_t combId, int i);
    // SET_COMB_STATE (2011) to pellar i (roles COMB_STATE__*, states COMB_RAID_STATE__*) with the
    // comb's next command generation and its present I/O generation (or genNum when not 0, which
    // becomes the comb's); raidType SECONDARY. On success the cluster records the new role and
    // state; the refusal's answer in *pAnswer.
    Mos_RC SetCombState(int i, uint64_t combId, uint32_t newRole, uint32_t newRaidState, uint32_t curRaidMask,
                        uint64_t genNum = 0, std::vector<uint8_t> *pAnswer = nullptr);
    // The primary's mirror state as the Ostrel knows it: the last state report since the last
    // SET_COMB_STATE, or the state that command set.
    uint32_t RaidStateOf(uint64_t combId) const;
    uint64_t CombGen(uint64_t combId) const;

    // Migration of a mirrored comb's secondary copy to pellar target: the comb added there as
    // SECONDARY of the primary (NORMAL); START_MIGRATE (copy reason MIGRATION) and END_MIGRATE
    // to the primary, after which the target is the comb's secondary in the cluster's record.
    bool AddMigrationTarget(uint64_t combId, int target);
    Mos_RC StartMigrate(uint64_t combId, int target, uint16_t copyNum);
    Mos_RC EndMigrate(uint64_t combId, int target, uint16_t copyNum);
    // A maintenance partnership of the comb's primary with pellar target, which holds the comb as
    // a secondary of the primary (AddMigrationTarget): the primary's comb listed again outside a
    // cycle with its role, its mirror partnership in the state the Ostrel knows (RaidStateOf) and a
    // MAINTENANCE entry in maintState (COPY asks for a maintenance rebuild to target).
    Mos_RC SetMaintenance(uint64_t combId, int target, uint32_t maintState);
    // The pellar that holds the comb as primary in the cluster's record, or -1.
    int PrimaryOf(uint64_t combId) const;

    // State reports (1002) pellar i sent about the comb, oldest first.
    std::vector<ClusterStateReport> StateReports(int i, uint64_t combId) const;
    // Waits for a report of the state from pellar i about the comb's partnership of that type.
    bool WaitRaidState(int i, uint64_t combId, uint32_t raidState, std::chrono::seconds limit,
                       uint32_t protType = RAID_PROT_TYPE__SECONDARY);
    // Waits for a connectivity vector (1007) of pellar i, sent after this call, that shows pellar j
    // connected (or, with bConnected false, not connected).
    bool WaitConnected(int i, int j, std::chrono::seconds limit = std::chrono::seconds(60), bool bConnected = true);
    // Degrade permit requests (1008) that pellar i sent.
    size_t PermitRequests(int i) const;

    void Kill(int i); // SIGKILL, the process reaped
    bool Stop(int i); // SIGTERM, true when it ended within 30 s
    // The same directory, port and device file; attached again as a known server (bNew 0) and one
    // cycle that lists its device (known) and every comb it held, with the roles last recorded.
    bool Restart(int i);

    // Patterned I/O through pellar i's QuilletSim with the comb's present generation.
    Mos_RC WritePattern(int i, uint64_t combId, uint32_t lb, uint32_t lbs, uint32_t version);
    bool CheckPattern(int i, uint64_t combId, uint32_t lb, uint32_t lbs, uint32_t version);
    QuilletSim::Io IoOf(uint64_t combId, uint32_t lb, uint32_t lbs) const;

    const std::string &LastError() const { return err_; }

  private:
    struct CombRecord {
        int primary = -1;
        int secondary = -1;
        int target = -1; // of a migration
        uint64_t genNum = 1;
        uint16_t cmdGen = 1;
        uint32_t raidState[2] = {COMB_RAID_STATE__NORMAL, COMB_RAID_STATE__NORMAL}; // primary's, secondary's
        std::chrono::steady_clock::time_point setAt = std::chrono::steady_clock::now();
    };
    struct Node {
        std::unique_ptr<ScratchDir> dir;
        uint16_t port = 0;
        std::unique_ptr<PellarProcess> proc;
        std::unique_ptr<OstrelSim> ostrel;
        std::unique_ptr<QuilletSim> quillet;
        bool bStarted = false; // attached and configured at least once
    };

    bool Fail(const std::string &why);
    bool StartOne(int i, bool bNew);
    bool Configure(int i, bool bNew);
    bool MakeDevice(int i);
    bool EnsureHead(int i, uint64_t combId);
    static bool Holds(const CombRecord &c, int i) { return c.primary == i || c.secondary == i || c.target == i; }
    Mos_RC SendCombCmd(int i, uint64_t combId, uint32_t type, const std::vector<uint8_t> &rec);
    OstrelTgtReq_AddComb CombElem(int i, uint64_t combId, const CombRecord &c, bool bNew) const;
    std::vector<std::vector<uint8_t>> HeadElems(int i) const;

    ClusterOptions opts_;
    std::unique_ptr<ScratchDir> root_;
    std::vector<Node> nodes_;
    std::map<uint64_t, CombRecord> combs_;
    std::string err_;
};

// One second (or any span) of a workload: counts and latencies of the writes that ended in it.
struct ClusterLoadStats {
    uint64_t ios = 0;
    uint64_t bytes = 0;
    uint64_t failed = 0;
    double seconds = 0;
    double p50Ms = 0;
    double p99Ms = 0;
};

// Writes of patterned slots to a set of combs through one pellar, from a few threads; each
// thread owns its slots, so the order of the writes to a slot is known. Every acknowledged write is
// remembered (slot -> version); a write that failed may or may not have landed, so its slot may
// hold either version until the next acknowledged write there.
class ClusterLoad {
  public:
    ClusterLoad(Cluster &cluster, int pellar, std::vector<uint64_t> combIds, int threads = 4, uint32_t ioLbs = 8,
                uint32_t slotsPerComb = 1024);
    ~ClusterLoad();
    void Start();
    void Stop();
    // The writes that ended since the last call.
    ClusterLoadStats TakeStats();
    uint64_t Acked() const { return acked_; }
    uint64_t Failed() const { return failed_; }
    // Every slot written so far reads back, through pellar i, as its acknowledged version (or the
    // version of a later write that failed); false with the first mismatch in *pWhy. With
    // pDigests, a digest of each written slot's bytes as read, in slot order, to compare copies.
    // onlyComb: that comb's slots alone.
    bool Verify(int i, std::string *pWhy, std::vector<uint64_t> *pDigests = nullptr, uint64_t onlyComb = 0);

  private:
    struct Slot {
        uint32_t acked = 0;                 // 0: never acknowledged
        std::vector<uint32_t> maybe;        // failed versions since
    };
    void Run(int t);
    uint32_t SlotLb(size_t slot) const { return (uint32_t)(slot % slotsPerComb_) * ioLbs_; }
    uint64_t SlotComb(size_t slot) const { return combIds_[slot / slotsPerComb_]; }

    Cluster &cluster_;
    int pellar_;
    std::vector<uint64_t> combIds_;
    int threads_;
    uint32_t ioLbs_;
    uint32_t slotsPerComb_;
    std::vector<Slot> slots_;
    std::vector<std::thread> workers_;
    std::atomic<bool> bStop_{false};
    std::atomic<uint64_t> acked_{0}, failed_{0};
    mutable std::mutex mu_;
    std::vector<double> latMs_;
    uint64_t spanIos_ = 0, spanBytes_ = 0, spanFailed_ = 0;
    std::chrono::steady_clock::time_point spanStart_;
};
