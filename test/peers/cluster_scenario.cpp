#include "test/peers/cluster_scenario.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr uint64_t kCombs[] = {0x8000, 0x8001};
constexpr int kA = 0, kB = 1, kC = 2;

std::string scenario_Hex(uint64_t v)
{
    char b[32];
    snprintf(b, sizeof(b), "%#lx", (unsigned long)v);
    return b;
}

class Scenario {
  public:
    Scenario(Cluster &c, const ClusterScenarioOptions &opts)
        : c_(c), opts_(opts), load_(c, kA, std::vector<uint64_t>(std::begin(kCombs), std::end(kCombs)))
    {
    }

    bool Run()
    {
        for (uint64_t comb : kCombs)
            if (!Check(c_.AddMirroredComb(comb, kA, kB), "comb " + scenario_Hex(comb) + ": A PRIMARY, B SECONDARY, NORMAL",
                       c_.LastError()))
                return false;
        load_.Start();
        const int killAt = opts_.seconds / 3, restartAt = 2 * opts_.seconds / 3;
        for (int t = 1; t <= opts_.seconds; t++) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            PrintSecond(t, load_.TakeStats());
            if (t == killAt)
                KillSecondary();
            if (t == restartAt)
                RestartAndRebuild();
        }
        load_.Stop();
        std::string why;
        Check(load_.Verify(kA, &why), std::to_string(load_.Acked()) + " acknowledged writes read back from A", why);
        std::vector<uint64_t> onA;
        if (CompareCopies(&onA) && opts_.bMigrate)
            Migrate(onA);
        Print("--- stopping the pellars (SIGTERM)");
        for (int i = 0; i < c_.Size(); i++)
            Check(c_.Stop(i), "pellar " + Name(i) + " stopped");
        return ok_;
    }

  private:
    static std::string Name(int i) { return std::string(1, (char)('A' + i)); }

    void Print(const std::string &line)
    {
        if (opts_.print)
            opts_.print(line);
    }

    bool Check(bool bOk, const std::string &what, const std::string &why = "")
    {
        Print(std::string(bOk ? "  [ok]   " : "  [FAIL] ") + what + (bOk || why.empty() ? "" : ": " + why));
        ok_ &= bOk;
        return bOk;
    }

    void PrintSecond(int t, const ClusterLoadStats &s)
    {
        std::string states;
        for (uint64_t comb : kCombs)
            states += " " + clusterRaidStateName(c_.RaidStateOf(comb));
        char line[256];
        snprintf(line, sizeof(line), "t=%3ds  IOPS %6.0f  MB/s %6.2f  p50 %6.2f ms  p99 %7.2f ms  failed %lu  combs%s", t,
                 s.seconds > 0 ? s.ios / s.seconds : 0, s.seconds > 0 ? s.bytes / s.seconds / 1e6 : 0, s.p50Ms, s.p99Ms,
                 (unsigned long)s.failed, states.c_str());
        Print(line);
    }

    void KillSecondary()
    {
        Print("--- SIGKILL pellar B (the secondary)");
        c_.Kill(kB);
        for (uint64_t comb : kCombs)
            Check(c_.WaitRaidState(kA, comb, COMB_RAID_STATE__DEGRADED_REMOTE_ERROR, std::chrono::seconds(60)),
                  "A reported comb " + scenario_Hex(comb) + " DEGRADED_REMOTE_ERROR (1002)", c_.LastError());
        Check(c_.PermitRequests(kA) > 0,
              "A asked its manager's degrade permit (1008) " + std::to_string(c_.PermitRequests(kA)) + " time(s), granted");
    }

    void RestartAndRebuild()
    {
        // What was acknowledged while B was down lives on A alone: it reads back before B returns.
        load_.Stop();
        std::string why;
        Check(load_.Verify(kA, &why), std::to_string(load_.Acked()) + " acknowledged writes read back from A, degraded",
              why);
        load_.Start();
        Print("--- restarting pellar B");
        if (!Check(c_.Restart(kB), "B restarted, attached again, its combs listed", c_.LastError()) ||
            !Check(c_.WaitConnected(kA, kB), "A reconnected to B", c_.LastError()))
            return;
        for (uint64_t comb : kCombs) {
            const std::string name = "comb " + scenario_Hex(comb);
            if (Check(c_.SetCombState(kA, comb, COMB_STATE__PRIMARY, COMB_RAID_STATE__COPY,
                                      COMB_RAID_STATE__DEGRADED_REMOTE_ERROR) == MOS_RC__SUCCESS,
                      "rebuild of " + name + " asked (COPY)", c_.LastError()) &&
                Check(c_.WaitRaidState(kA, comb, COMB_RAID_STATE__COPY_DONE, std::chrono::seconds(120)),
                      "A reported " + name + " COPY_DONE", c_.LastError()))
                Check(c_.SetCombState(kA, comb, COMB_STATE__PRIMARY, COMB_RAID_STATE__NORMAL,
                                      COMB_RAID_STATE__COPY_DONE) == MOS_RC__SUCCESS,
                      name + " NORMAL again", c_.LastError());
        }
    }

    // Swaps the comb's roles: the primary becomes the secondary first, so no write has two homes.
    bool Swap(uint64_t comb, int newPrimary, int newSecondary)
    {
        const uint64_t gen = c_.CombGen(comb) + 1;
        return c_.SetCombState(newSecondary, comb, COMB_STATE__SECONDARY, COMB_RAID_STATE__NORMAL,
                               COMB_RAID_STATE__NORMAL, gen) == MOS_RC__SUCCESS &&
               c_.SetCombState(newPrimary, comb, COMB_STATE__PRIMARY, COMB_RAID_STATE__NORMAL,
                               COMB_RAID_STATE__NORMAL, gen) == MOS_RC__SUCCESS;
    }

    // Every written range read from A, then from B as the primary: the same bytes.
    bool CompareCopies(std::vector<uint64_t> *pOnA)
    {
        std::vector<uint64_t> onB;
        std::string why;
        bool bOk = load_.Verify(kA, &why, pOnA);
        for (uint64_t comb : kCombs)
            bOk = bOk && Swap(comb, kB, kA);
        if (!Check(bOk, "roles swapped: B PRIMARY, A SECONDARY", c_.LastError() + why))
            return false;
        bOk = load_.Verify(kB, &why, &onB);
        return Check(bOk && *pOnA == onB,
                     "both copies identical: " + std::to_string(pOnA->size()) + " written ranges read from each",
                     why.empty() ? "the copies differ" : why);
    }

    // B (primary now) copies the first comb to C, which replaces A as its partner.
    void Migrate(const std::vector<uint64_t> &onA)
    {
        const uint64_t comb = kCombs[0];
        const uint16_t copyNum = 1;
        Print("--- migration of comb " + scenario_Hex(comb) + " from A to C");
        if (!Check(c_.AddMigrationTarget(comb, kC), "C holds comb " + scenario_Hex(comb) + " as migration target",
                   c_.LastError()) ||
            !Check(c_.StartMigrate(comb, kC, copyNum) == MOS_RC__SUCCESS, "migration started on B (START_MIGRATE)",
                   c_.LastError()) ||
            !Check(c_.WaitRaidState(kB, comb, COMB_RAID_STATE__COPY_DONE, std::chrono::seconds(120), RAID_PROT_TYPE__MIGRATE),
                   "B reported the migration COPY_DONE", c_.LastError()) ||
            !Check(c_.EndMigrate(comb, kC, copyNum) == MOS_RC__SUCCESS, "C is B's partner (END_MIGRATE)",
                   c_.LastError()) ||
            !Check(Swap(comb, kC, kB), "roles swapped: C PRIMARY, B SECONDARY", c_.LastError()))
            return;
        std::vector<uint64_t> onC;
        std::string why;
        const bool bOk = load_.Verify(kC, &why, &onC, comb);
        // The first comb's slots come first in slot order.
        const size_t n = onC.size();
        Check(bOk && n <= onA.size() && std::equal(onC.begin(), onC.end(), onA.begin()),
              "C's copy identical: " + std::to_string(n) + " written ranges", why.empty() ? "the copies differ" : why);
    }

    Cluster &c_;
    ClusterScenarioOptions opts_;
    ClusterLoad load_;
    bool ok_ = true;
};

} // namespace

bool clusterScenario_Run(Cluster &cluster, const ClusterScenarioOptions &opts)
{
    Scenario s(cluster, opts);
    return s.Run();
}
