// The end-to-end scenario of the local cluster, shared by run.sh's driver (cluster_demo) and the
// system test that runs it in CI:
//
//   pellar A (0) PRIMARY and B (1) SECONDARY of two mirrored combs, NORMAL; a QuilletSim workload
//   through A prints one line a second (IOPS, MB/s, p50/p99 latency, the combs' states);
//   at a third of the run B is SIGKILLed: A asks its manager's degrade permit (1008, granted) and
//   reports DEGRADED_REMOTE_ERROR (1002); every acknowledged write reads back from A;
//   at two thirds B restarts and is attached again with its combs; the manager asks A for the
//   rebuild (COPY), A reports COPY_DONE and the combs are set NORMAL;
//   at the end every acknowledged write reads back, the roles are swapped (B PRIMARY) and every
//   written range reads back from B with the same bytes as from A: both copies are identical;
//   with bMigrate, pellar C (2) takes the mirror copy of the first comb over from B (START_MIGRATE,
//   COPY_DONE, END_MIGRATE) and holds the same bytes;
//   every pellar is stopped with SIGTERM.
//
// Each step prints a line "  [ok]   what" or "  [FAIL] what: why" through print.
#pragma once

#include <functional>
#include <string>

#include "test/peers/cluster.h"

struct ClusterScenarioOptions {
    int seconds = 30; // of load; at least 6
    bool bMigrate = false; // needs a cluster of three pellars
    std::function<void(const std::string &line)> print;
};

// True when every check passed. The cluster must have been started (StartAll).
bool clusterScenario_Run(Cluster &cluster, const ClusterScenarioOptions &opts);
