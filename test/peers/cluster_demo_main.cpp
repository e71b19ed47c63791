// The local cluster that run.sh shows (test/peers/cluster_scenario.h): two pellars, three with
// --migrate, under their manager OstrelSim with a QuilletSim workload; the secondary killed, the
// degrade, the restart and rebuild, both copies compared, everything stopped. Exits 1 when a
// check fails.
//
//   cluster_demo [--root DIR] [--seconds N] [--migrate]
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "test/peers/cluster_scenario.h"
#include "test/support/net_root.h"

namespace {

struct DemoArgs {
    std::string root = "scratch/cluster";
    int seconds = 30;
    bool bMigrate = false;
};

bool demo_ParseArgs(int argc, char **argv, DemoArgs *pArgs)
{
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        if (a == "--root" && i + 1 < argc)
            pArgs->root = argv[++i];
        else if (a == "--seconds" && i + 1 < argc)
            pArgs->seconds = atoi(argv[++i]);
        else if (a == "--migrate")
            pArgs->bMigrate = true;
        else
            return false;
    }
    return pArgs->seconds >= 6;
}

void demo_Print(const std::string &line)
{
    printf("%s\n", line.c_str());
    fflush(stdout);
}

int demo_Run(const DemoArgs &args)
{
    ClusterOptions opts;
    opts.numPellars = args.bMigrate ? 3 : 2;
    opts.bStoremint = true;
    opts.devBytes = 2ull << 30; // storemint makes whole gigabytes
    Cluster cluster(std::filesystem::absolute(args.root).string(), opts);
    demo_Print("--- starting " + std::to_string(cluster.Size()) + " pellars under " + cluster.Root() +
               ", their devices made by storemint");
    if (!cluster.StartAll()) {
        demo_Print("  [FAIL] pellars started, attached and configured: " + cluster.LastError());
        return 1;
    }
    for (int i = 0; i < cluster.Size(); i++) {
        char line[512];
        snprintf(line, sizeof(line), "  pellar %c: tgtId %#lx, port %u, device %s", 'A' + i,
                 (unsigned long)cluster.TgtId(i), cluster.Port(i), cluster.DevPath(i).c_str());
        demo_Print(line);
    }
    ClusterScenarioOptions so;
    so.seconds = args.seconds;
    so.bMigrate = args.bMigrate;
    so.print = demo_Print;
    const bool bOk = clusterScenario_Run(cluster, so);
    demo_Print("--- logs: " + cluster.Root() + "/pellar-*/log/ (trc.*, err.*, exp.*); output in pellar-*/out.txt");
    demo_Print(bOk ? "--- all checks passed" : "--- SOME CHECKS FAILED");
    return bOk ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    DemoArgs args;
    if (!demo_ParseArgs(argc, argv, &args)) {
        fprintf(stderr, "usage: %s [--root DIR] [--seconds N (6 or more)] [--migrate]\n", argv[0]);
        return 2;
    }
    if (getenv("PELLAR_BUILD_DIR") == nullptr) {
        // The pellar and storemint programs stand beside this one.
        const std::string self = std::filesystem::canonical("/proc/self/exe").parent_path().string();
        setenv("PELLAR_BUILD_DIR", self.c_str(), 1);
    }
    if (netTest_RuntimeStart() != MOS_RC__SUCCESS) {
        fprintf(stderr, "the runtime did not start\n");
        return 1;
    }
    const int rc = demo_Run(args);
    netTest_RuntimeStop();
    return rc;
}
