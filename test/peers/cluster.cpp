#include "test/peers/cluster.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {
constexpr uint16_t kConGen = 1;
constexpr uint32_t kStateReportType = 1002, kPermitType = 1008;
constexpr ConId kPellarConId = 0x1;

std::string cluster_BuildDir()
{
    const char *pDir = getenv("PELLAR_BUILD_DIR");
    return pDir != nullptr ? pDir : ".";
}

uint64_t cluster_Mix(uint64_t x)
{
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

template <typename T> void cluster_Put(std::vector<uint8_t> &rec, size_t off, T v)
{
    memcpy(rec.data() + off, &v, sizeof(v));
}

// The base node of a volume tree: no parent, created at time 1, NORMAL.
std::vector<uint8_t> cluster_VtreeNode(uint64_t vtreeId, uint32_t vtoId)
{
    constexpr uint32_t kNormal = 1, kTime = 1;
    std::vector<uint8_t> n(32, 0);
    cluster_Put(n, 0, vtreeId);
    cluster_Put(n, 8, (uint64_t)1); // deletion generation
    cluster_Put(n, 20, vtoId);
    cluster_Put(n, 24, kTime);
    cluster_Put(n, 28, kNormal);
    return n;
}

} // namespace

std::vector<uint8_t> clusterPattern(uint64_t combId, uint32_t lb, uint32_t lbs, uint32_t version)
{
    std::vector<uint8_t> data((size_t)lbs * 512);
    for (uint32_t b = 0; b < lbs; b++) {
        uint8_t *p = data.data() + (size_t)b * 512;
        const uint64_t block = lb + b, head[3] = {combId, block, version};
        memcpy(p, head, sizeof(head));
        uint64_t seed = cluster_Mix(combId ^ cluster_Mix(block ^ ((uint64_t)version << 32)));
        for (size_t w = 3; w < 64; w++) {
            seed = cluster_Mix(seed);
            memcpy(p + w * 8, &seed, 8);
        }
    }
    return data;
}

std::string clusterRaidStateName(uint32_t raidState)
{
    static const char *const names[] = {"NORMAL", "COPY", "COPY_STARTED", "COPY_DONE", "DEGRADED_REMOTE_ERROR",
                                        "DEGRADED_LOCAL_ERROR", "NORMAL_NEED_REBUILD", "COPY_ERROR",
                                        "UNKNOWN_IN_TGT"};
    for (uint32_t b = 0; b < std::size(names); b++)
        if (raidState == 1u << b)
            return names[b];
    char hex[16];
    snprintf(hex, sizeof(hex), "%#x", raidState);
    return hex;
}

Cluster::Cluster(std::string rootDir, ClusterOptions opts) : opts_(std::move(opts))
{
    root_ = rootDir.empty() ? std::make_unique<ScratchDir>() : std::make_unique<ScratchDir>(rootDir);
    nodes_.resize((size_t)std::max(opts_.numPellars, 1));
}

Cluster::~Cluster()
{
    // Peers first, while the processes still answer their goodbyes; then the processes.
    for (Node &n : nodes_) {
        n.quillet.reset();
        n.ostrel.reset();
    }
    for (Node &n : nodes_)
        n.proc.reset();
}

bool Cluster::Fail(const std::string &why)
{
    err_ = why;
    return false;
}

std::string Cluster::Dir(int i) const
{
    return root_->file("pellar-" + std::to_string(i));
}

std::string Cluster::DevPath(int i) const
{
    return Dir(i) + "/dev.img";
}

bool Cluster::Running(int i)
{
    return nodes_[i].proc != nullptr && !nodes_[i].proc->exited(std::chrono::milliseconds(0));
}

QuilletSim &Cluster::Quillet(int i)
{
    Node &n = nodes_[i];
    if (n.quillet == nullptr) {
        n.quillet = std::make_unique<QuilletSim>();
        if (!n.quillet->Connect(n.port, kPellarConId))
            err_ = "quillet cannot connect to pellar " + std::to_string(i);
    }
    return *n.quillet;
}

bool Cluster::MakeDevice(int i)
{
    const std::string path = DevPath(i);
    std::error_code ec;
    std::filesystem::remove(path, ec);
    if (!opts_.bStoremint) {
        std::ofstream(path).close();
        std::filesystem::resize_file(path, opts_.devBytes, ec);
        return ec ? Fail("cannot size " + path + ": " + ec.message()) : true;
    }
    const uint64_t gb = (opts_.devBytes + (1ull << 30) - 1) >> 30;
    const std::string cmd = cluster_BuildDir() + "/storemint --create_file --size_gb " + std::to_string(gb) +
                            " --file_name " + path + " > " + Dir(i) + "/storemint.out 2>&1";
    if (system(cmd.c_str()) != 0 || !std::filesystem::exists(path))
        return Fail("storemint failed: " + readFile(Dir(i) + "/storemint.out"));
    return true;
}

bool Cluster::StartAll()
{
    for (int i = 0; i < Size(); i++) {
        Node &n = nodes_[i];
        n.dir = std::make_unique<ScratchDir>(Dir(i));
        n.port = (uint16_t)freePort();
        if (!MakeDevice(i))
            return false;
    }
    for (int i = 0; i < Size(); i++)
        if (!StartOne(i, true))
            return false;
    return true;
}

bool Cluster::StartOne(int i, bool bNew)
{
    Node &n = nodes_[i];
    n.quillet.reset();
    n.ostrel.reset();
    n.proc.reset();
    const std::string conf = "tgt_port " + std::to_string(n.port) +
                             "\nsdbg_port 0\ntgt_dev__min_capacity_in_lbs 4194304\n" + opts_.extraKeys;
    n.proc = std::make_unique<PellarProcess>(*n.dir, conf);
    if (!n.proc->waitListening(n.port))
        return Fail("pellar " + std::to_string(i) + " does not listen: " + n.proc->output());
    n.ostrel = std::make_unique<OstrelSim>();
    if (!n.ostrel->Connect(n.port, kPellarConId))
        return Fail("ostrel cannot connect to pellar " + std::to_string(i));
    return Configure(i, bNew);
}

std::vector<std::vector<uint8_t>> Cluster::HeadElems(int i) const
{
    std::vector<uint32_t> mhIds;
    for (const auto &[combId, c] : combs_)
        if (Holds(c, i))
            mhIds.push_back((uint32_t)(combId >> 15));
    std::sort(mhIds.begin(), mhIds.end());
    mhIds.erase(std::unique(mhIds.begin(), mhIds.end()), mhIds.end());
    std::vector<std::vector<uint8_t>> heads;
    for (uint32_t mhId : mhIds)
        heads.push_back(OstrelSim::Head(mhId, 1, kVtreeId));
    return heads;
}

OstrelTgtReq_AddComb Cluster::CombElem(int i, uint64_t combId, const CombRecord &c, bool bNew) const
{
    const bool bPrimary = c.primary == i;
    const int partner = bPrimary ? c.secondary : c.primary; // a migration target's partner is the primary
    OstrelTgtReq_AddComb e =
        simComb_RoleComb(DevId(i), combId, bPrimary ? COMB_STATE__PRIMARY : COMB_STATE__SECONDARY,
                         partner < 0 ? 0 : TgtId(partner), c.raidState[bPrimary ? 0 : 1], c.genNum, c.cmdGen);
    e.bNew = bNew ? 1 : 0;
    return e;
}

bool Cluster::Configure(int i, bool bNew)
{
    Node &n = nodes_[i];
    OstrelSim &o = *n.ostrel;
    const std::string who = "pellar " + std::to_string(i) + ": ";
    OstrelSim::AddManager am{.ostrelId = kOstrelId, .tgtId = TgtId(i), .bNew = bNew ? 1u : 0u,
                             .generation = kConGen, .keepaliveTimeoutMs = opts_.keepaliveTimeoutMs,
                             .bCacheEnabled = opts_.ramCacheMb != 0 ? 1u : 0u, .cacheSizeInMb = opts_.ramCacheMb};
    Mos_RC rc = o.Attach(am);
    if (rc != MOS_RC__SUCCESS && rc != MOS_RC__ALREADY_EXISTS) {
        // A server that knows this Ostrel from its repository file is taken over afresh.
        am.bForceClean = 1;
        rc = o.Attach(am);
    }
    if (rc != MOS_RC__SUCCESS && rc != MOS_RC__ALREADY_EXISTS)
        return Fail(who + "attach answered " + std::to_string(rc));
    std::vector<OstrelSim::Peer> peers;
    for (int j = 0; j < Size(); j++)
        if (j != i)
            peers.push_back({TgtId(j), nodes_[j].port});
    std::vector<OstrelTgtReq_AddComb> combElems;
    for (const auto &[combId, c] : combs_)
        if (Holds(c, i))
            combElems.push_back(CombElem(i, combId, c, false));
    if ((rc = o.Reconf(true, kConGen)) != MOS_RC__SUCCESS)
        return Fail(who + "cycle start answered " + std::to_string(rc));
    if ((rc = o.AddPeers(peers, true, kConGen)) != MOS_RC__SUCCESS)
        return Fail(who + "peers answered " + std::to_string(rc));
    OstrelTgtReq_AddDev dev = simComb_Dev(DevId(i), DevPath(i), !n.bStarted);
    dev.snapReservedTeeth = 1ull << 20; // the teeth of thin combs come from the reserve
    dev.bUseCache = opts_.ramCacheMb != 0 ? 1u : 0u;
    const std::vector<OstrelSim::DevAnswer> devs = o.AddDevs({dev}, true, &rc, kConGen);
    if (rc != MOS_RC__SUCCESS || devs.size() != 1 ||
        (devs[0].specRc != MOS_RC__SUCCESS && devs[0].specRc != MOS_RC__ALREADY_EXISTS))
        return Fail(who + "device answered " + std::to_string(rc) + "/" +
                    std::to_string(devs.empty() ? 0 : devs[0].specRc) + "\n" + n.proc->traces());
    std::vector<uint8_t> vtree = OstrelSim::Vtree(kVtreeId);
    vtree[20] = 1; // thin: a comb's teeth come with its first writes
    if ((rc = o.Group(2023, {vtree}, true, kConGen)) != MOS_RC__SUCCESS)
        return Fail(who + "volume trees answered " + std::to_string(rc));
    if ((rc = o.Group(2025, {cluster_VtreeNode(kVtreeId, kVtoId)}, true, kConGen)) != MOS_RC__SUCCESS)
        return Fail(who + "volume tree node answered " + std::to_string(rc));
    if ((rc = o.AddVols({OstrelSim::Vol(kVolId, kVtreeId, kVtoId, kVolGen)}, true, kConGen, opts_.ramCacheMb != 0)) != MOS_RC__SUCCESS)
        return Fail(who + "volumes answered " + std::to_string(rc));
    if ((rc = o.Group(2040, HeadElems(i), true, kConGen)) != MOS_RC__SUCCESS)
        return Fail(who + "heads answered " + std::to_string(rc));
    if ((rc = o.AddCombs(combElems, true, kConGen)) != MOS_RC__SUCCESS)
        return Fail(who + "combs answered " + std::to_string(rc));
    if ((rc = o.Reconf(false, kConGen)) != MOS_RC__SUCCESS)
        return Fail(who + "cycle end answered " + std::to_string(rc));
    n.bStarted = true;
    return true;
}

bool Cluster::EnsureHead(int i, uint64_t combId)
{
    const uint32_t mhId = (uint32_t)(combId >> 15);
    for (const auto &[id, c] : combs_)
        if (Holds(c, i) && (uint32_t)(id >> 15) == mhId)
            return true;
    const Mos_RC rc = nodes_[i].ostrel->Group(2040, {OstrelSim::Head(mhId, 1, kVtreeId)}, false, kConGen);
    return rc == MOS_RC__SUCCESS ? true : Fail("head of comb answered " + std::to_string(rc));
}

bool Cluster::AddMirroredComb(uint64_t combId, int primary, int secondary)
{
    if (!WaitConnected(primary, secondary))
        return false;
    CombRecord c;
    c.primary = primary;
    c.secondary = secondary;
    // The secondary first: the primary's first write finds its partner ready.
    for (int i : {secondary, primary}) {
        if (!EnsureHead(i, combId))
            return false;
        const Mos_RC rc = nodes_[i].ostrel->AddCombs({CombElem(i, combId, c, true)}, false, kConGen);
        if (rc != MOS_RC__SUCCESS)
            return Fail("comb " + std::to_string(combId) + " on pellar " + std::to_string(i) + " answered " +
                        std::to_string(rc) + "\n" + nodes_[i].proc->traces());
    }
    combs_[combId] = c;
    return true;
}

bool Cluster::AddSingleComb(uint64_t combId, int i)
{
    CombRecord c;
    c.primary = i;
    c.raidState[0] = COMB_RAID_STATE__DEGRADED_REMOTE_ERROR;
    if (!EnsureHead(i, combId))
        return false;
    const Mos_RC rc = nodes_[i].ostrel->AddCombs({CombElem(i, combId, c, true)}, false, kConGen);
    if (rc != MOS_RC__SUCCESS)
        return Fail("comb on pellar " + std::to_string(i) + " answered " + std::to_string(rc));
    combs_[combId] = c;
    return true;
}

Mos_RC Cluster::SetCombState(int i, uint64_t combId, uint32_t newRole, uint32_t newRaidState, uint32_t curRaidMask,
                             uint64_t genNum, std::vector<uint8_t> *pAnswer)
{
    auto it = combs_.find(combId);
    if (it == combs_.end()) {
        err_ = "no such comb";
        return MOS_RC__NOT_FOUND;
    }
    CombRecord &c = it->second;
    const uint32_t curRole = c.primary == i ? COMB_STATE__PRIMARY : COMB_STATE__SECONDARY;
    const uint64_t gen = genNum != 0 ? genNum : c.genNum;
    const uint16_t cmdGen = (uint16_t)(c.cmdGen + 1);
    OstrelTgtReq_SetCombState rec =
        simComb_SetState(combId, newRole, RAID_PROT_TYPE__SECONDARY, newRaidState, gen, cmdGen, kConGen);
    rec.curState = curRole;
    rec.curRaidState = curRaidMask;
    const Mos_RC rc = nodes_[i].ostrel->Command(2011, 0, simComb_Bytes(rec), pAnswer);
    if (rc != MOS_RC__SUCCESS) {
        err_ = "set comb state on pellar " + std::to_string(i) + " answered " + std::to_string(rc);
        return rc;
    }
    c.cmdGen = cmdGen;
    c.genNum = gen;
    if (newRole == COMB_STATE__PRIMARY && c.primary != i) {
        c.secondary = c.primary;
        c.primary = i;
    } else if (newRole == COMB_STATE__SECONDARY && c.secondary != i) {
        c.primary = c.secondary;
        c.secondary = i;
    }
    c.raidState[c.primary == i ? 0 : 1] = newRaidState;
    c.setAt = std::chrono::steady_clock::now();
    return rc;
}

uint32_t Cluster::RaidStateOf(uint64_t combId) const
{
    auto it = combs_.find(combId);
    if (it == combs_.end())
        return 0;
    const CombRecord &c = it->second;
    uint32_t state = c.raidState[0];
    for (const ClusterStateReport &r : StateReports(c.primary, combId))
        if (r.at >= c.setAt)
            state = r.raidState;
    return state;
}

bool Cluster::AddMigrationTarget(uint64_t combId, int target)
{
    auto it = combs_.find(combId);
    if (it == combs_.end())
        return Fail("no such comb");
    if (!WaitConnected(it->second.primary, target) || !EnsureHead(target, combId))
        return false;
    const Mos_RC rc = nodes_[target].ostrel->AddCombs({CombElem(target, combId, it->second, true)}, false, kConGen);
    if (rc != MOS_RC__SUCCESS)
        return Fail("comb on pellar " + std::to_string(target) + " answered " + std::to_string(rc));
    it->second.target = target;
    return true;
}

Mos_RC Cluster::SetMaintenance(uint64_t combId, int target, uint32_t maintState)
{
    auto it = combs_.find(combId);
    if (it == combs_.end()) {
        err_ = "no such comb";
        return MOS_RC__NOT_FOUND;
    }
    CombRecord &c = it->second;
    OstrelTgtReq_AddComb e = CombElem(c.primary, combId, c, false);
    e.tgtCombCmdGenNum = (uint16_t)(c.cmdGen + 1);
    e.raidArray[0].raidState = RaidStateOf(combId);
    e.numOfRaidProtElem = 2;
    e.raidArray[1] = {TgtId(target), maintState, RAID_PROT_TYPE__MAINTENANCE};
    const Mos_RC rc = nodes_[c.primary].ostrel->AddCombs({e}, false, kConGen);
    if (rc == MOS_RC__SUCCESS)
        c.cmdGen++;
    else
        err_ = "maintenance partnership on pellar " + std::to_string(c.primary) + " answered " + std::to_string(rc);
    return rc;
}

Mos_RC Cluster::SendCombCmd(int i, uint64_t combId, uint32_t type, const std::vector<uint8_t> &rec)
{
    const Mos_RC rc = nodes_[i].ostrel->Command(type, 0, rec);
    if (rc == MOS_RC__SUCCESS)
        combs_[combId].cmdGen++;
    else
        err_ = "command " + std::to_string(type) + " on pellar " + std::to_string(i) + " answered " +
               std::to_string(rc);
    return rc;
}

Mos_RC Cluster::StartMigrate(uint64_t combId, int target, uint16_t copyNum)
{
    const CombRecord &c = combs_[combId];
    return SendCombCmd(c.primary, combId, 2018,
                       simComb_Bytes(simComb_StartMigrate(combId, c.genNum, TgtId(target), COPY_TYPE__MIGRATION,
                                                          copyNum, (uint16_t)(c.cmdGen + 1), kConGen)));
}

Mos_RC Cluster::EndMigrate(uint64_t combId, int target, uint16_t copyNum)
{
    CombRecord &c = combs_[combId];
    const Mos_RC rc =
        SendCombCmd(c.primary, combId, 2021,
                    simComb_Bytes(simComb_EndMigrate(combId, TgtId(target), TgtId(c.secondary), c.genNum, copyNum,
                                                     (uint16_t)(c.cmdGen + 1), kConGen)));
    if (rc == MOS_RC__SUCCESS) {
        c.secondary = target;
        c.target = -1;
    }
    return rc;
}

uint64_t Cluster::CombGen(uint64_t combId) const
{
    auto it = combs_.find(combId);
    return it == combs_.end() ? 0 : it->second.genNum;
}

int Cluster::PrimaryOf(uint64_t combId) const
{
    auto it = combs_.find(combId);
    return it == combs_.end() ? -1 : it->second.primary;
}

std::vector<ClusterStateReport> Cluster::StateReports(int i, uint64_t combId) const
{
    std::vector<ClusterStateReport> out;
    if (nodes_[i].ostrel == nullptr)
        return out;
    for (const SimReport &r : nodes_[i].ostrel->Reports(kStateReportType)) {
        if (r.payload.size() < 44)
            continue;
        ClusterStateReport s{};
        memcpy(&s.combId, r.payload.data(), 8);
        memcpy(&s.genNum, r.payload.data() + 8, 8);
        memcpy(&s.fromTgtId, r.payload.data() + 16, 8);
        memcpy(&s.partnerTgtId, r.payload.data() + 24, 8);
        memcpy(&s.raidState, r.payload.data() + 32, 4);
        memcpy(&s.protType, r.payload.data() + 36, 4);
        s.at = r.at;
        if (s.combId == combId)
            out.push_back(s);
    }
    return out;
}

bool Cluster::WaitRaidState(int i, uint64_t combId, uint32_t raidState, std::chrono::seconds limit,
                            uint32_t protType)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    do {
        for (const ClusterStateReport &s : StateReports(i, combId))
            if (s.raidState == raidState && s.protType == protType)
                return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < deadline);
    return Fail("pellar " + std::to_string(i) + " never reported state " + std::to_string(raidState));
}

bool Cluster::WaitConnected(int i, int j, std::chrono::seconds limit, bool bConnected)
{
    constexpr uint32_t kConVectorType = 1007;
    constexpr size_t kHead = 24, kElem = 16;
    const auto since = std::chrono::steady_clock::now();
    const auto deadline = since + limit;
    do {
        for (const SimReport &r : nodes_[i].ostrel->Reports(kConVectorType)) {
            if (r.at < since || r.payload.size() < kHead)
                continue;
            uint32_t n;
            memcpy(&n, r.payload.data() + 16, 4);
            for (size_t k = 0; k < n && kHead + (k + 1) * kElem <= r.payload.size(); k++) {
                uint64_t tgtId;
                uint32_t bPeerConnected;
                memcpy(&tgtId, r.payload.data() + kHead + k * kElem, 8);
                memcpy(&bPeerConnected, r.payload.data() + kHead + k * kElem + 8, 4);
                if (tgtId == TgtId(j) && (bPeerConnected != 0) == bConnected)
                    return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < deadline);
    return Fail("pellar " + std::to_string(i) + " never reported pellar " + std::to_string(j) +
                (bConnected ? " connected" : " disconnected"));
}

size_t Cluster::PermitRequests(int i) const
{
    return nodes_[i].ostrel == nullptr ? 0 : nodes_[i].ostrel->Reports(kPermitType).size();
}

void Cluster::Kill(int i)
{
    Node &n = nodes_[i];
    if (n.proc == nullptr)
        return;
    n.proc->signal(SIGKILL);
    n.proc->exited(std::chrono::seconds(30));
}

bool Cluster::Stop(int i)
{
    Node &n = nodes_[i];
    if (n.proc == nullptr)
        return true;
    n.quillet.reset();
    n.proc->signal(SIGTERM);
    return n.proc->exited(std::chrono::seconds(30));
}

bool Cluster::Restart(int i)
{
    Kill(i);
    return StartOne(i, false);
}

QuilletSim::Io Cluster::IoOf(uint64_t combId, uint32_t lb, uint32_t lbs) const
{
    return QuilletSim::Io{.combId = combId, .offsetInComb = lb, .sizeInLbs = lbs, .combGenNum = CombGen(combId),
                          .volId = kVolId, .volGenNum = kVolGen, .scsiGenNum = kVolGen};
}

Mos_RC Cluster::WritePattern(int i, uint64_t combId, uint32_t lb, uint32_t lbs, uint32_t version)
{
    return Quillet(i).WriteData(IoOf(combId, lb, lbs), clusterPattern(combId, lb, lbs, version));
}

bool Cluster::CheckPattern(int i, uint64_t combId, uint32_t lb, uint32_t lbs, uint32_t version)
{
    std::vector<uint8_t> data;
    const Mos_RC rc = Quillet(i).ReadData(IoOf(combId, lb, lbs), &data);
    if (rc != MOS_RC__SUCCESS)
        return Fail("read answered " + std::to_string(rc));
    if (data != clusterPattern(combId, lb, lbs, version))
        return Fail("range " + std::to_string(lb) + "+" + std::to_string(lbs) + " does not hold version " +
                    std::to_string(version));
    return true;
}

ClusterLoad::ClusterLoad(Cluster &cluster, int pellar, std::vector<uint64_t> combIds, int threads, uint32_t ioLbs,
                         uint32_t slotsPerComb)
    : cluster_(cluster), pellar_(pellar), combIds_(std::move(combIds)), threads_(std::max(threads, 1)),
      ioLbs_(ioLbs), slotsPerComb_(slotsPerComb), slots_(combIds_.size() * slotsPerComb)
{
}

ClusterLoad::~ClusterLoad()
{
    Stop();
}

void ClusterLoad::Start()
{
    bStop_ = false;
    (void)cluster_.Quillet(pellar_); // connected before the threads share it
    spanStart_ = std::chrono::steady_clock::now();
    for (int t = 0; t < threads_; t++)
        workers_.emplace_back([this, t] { Run(t); });
}

void ClusterLoad::Stop()
{
    bStop_ = true;
    for (std::thread &w : workers_)
        w.join();
    workers_.clear();
}

void ClusterLoad::Run(int t)
{
    uint64_t rnd = cluster_Mix((uint64_t)t + 1);
    std::vector<size_t> mine;
    for (size_t s = (size_t)t; s < slots_.size(); s += (size_t)threads_)
        mine.push_back(s);
    QuilletSim &q = cluster_.Quillet(pellar_);
    uint32_t version = 0;
    while (!bStop_ && !mine.empty()) {
        rnd = cluster_Mix(rnd);
        const size_t slot = mine[rnd % mine.size()];
        // Versions grow per thread; a slot's versions come from one thread only.
        version++;
        const uint64_t combId = SlotComb(slot);
        const uint32_t lb = SlotLb(slot);
        const auto t0 = std::chrono::steady_clock::now();
        const Mos_RC rc =
            q.WriteData(cluster_.IoOf(combId, lb, ioLbs_), clusterPattern(combId, lb, ioLbs_, version));
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        {
            std::lock_guard<std::mutex> lock(mu_);
            Slot &s = slots_[slot];
            if (rc == MOS_RC__SUCCESS) {
                s.acked = version;
                s.maybe.clear();
                acked_++;
                spanIos_++;
                spanBytes_ += (uint64_t)ioLbs_ * 512;
                latMs_.push_back(ms);
                continue;
            }
            s.maybe.push_back(version);
            failed_++;
            spanFailed_++;
        }
        // A pellar that refuses (or is gone) is not hammered.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

ClusterLoadStats ClusterLoad::TakeStats()
{
    std::vector<double> lat;
    ClusterLoadStats st;
    const auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> lock(mu_);
        lat.swap(latMs_);
        st.ios = spanIos_;
        st.bytes = spanBytes_;
        st.failed = spanFailed_;
        spanIos_ = spanBytes_ = spanFailed_ = 0;
        st.seconds = std::chrono::duration<double>(now - spanStart_).count();
        spanStart_ = now;
    }
    if (!lat.empty()) {
        std::sort(lat.begin(), lat.end());
        st.p50Ms = lat[lat.size() / 2];
        st.p99Ms = lat[std::min(lat.size() - 1, lat.size() * 99 / 100)];
    }
    return st;
}

bool ClusterLoad::Verify(int i, std::string *pWhy, std::vector<uint64_t> *pDigests, uint64_t onlyComb)
{
    if (pDigests != nullptr)
        pDigests->clear();
    QuilletSim &q = cluster_.Quillet(i);
    std::lock_guard<std::mutex> lock(mu_);
    for (size_t slot = 0; slot < slots_.size(); slot++) {
        const Slot &s = slots_[slot];
        if (s.acked == 0 && s.maybe.empty())
            continue;
        const uint64_t combId = SlotComb(slot);
        if (onlyComb != 0 && combId != onlyComb)
            continue;
        const uint32_t lb = SlotLb(slot);
        std::vector<uint8_t> data;
        const Mos_RC rc = q.ReadData(cluster_.IoOf(combId, lb, ioLbs_), &data);
        if (rc == MOS_RC__IO_ZERO_BUF && s.acked == 0) {
            if (pDigests != nullptr)
                pDigests->push_back(0);
            continue; // only failed writes went there, and none landed
        }
        if (rc != MOS_RC__SUCCESS) {
            *pWhy = "read of comb " + std::to_string(combId) + " LB " + std::to_string(lb) + " answered " +
                    std::to_string(rc);
            return false;
        }
        bool bOk = s.acked != 0 && data == clusterPattern(combId, lb, ioLbs_, s.acked);
        for (size_t k = 0; !bOk && k < s.maybe.size(); k++)
            bOk = data == clusterPattern(combId, lb, ioLbs_, s.maybe[k]);
        if (!bOk) {
            uint64_t head[3] = {};
            if (data.size() >= sizeof(head))
                memcpy(head, data.data(), sizeof(head));
            *pWhy = "comb " + std::to_string(combId) + " LB " + std::to_string(lb) + " holds version " +
                    std::to_string(head[2]) + ", acknowledged " + std::to_string(s.acked);
            return false;
        }
        if (pDigests != nullptr) {
            uint64_t digest = 0;
            for (size_t w = 0; w + 8 <= data.size(); w += 8) {
                uint64_t v;
                memcpy(&v, data.data() + w, 8);
                digest = cluster_Mix(digest ^ v);
            }
            pDigests->push_back(digest);
        }
    }
    return true;
}
