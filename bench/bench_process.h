// Outside programs as benchmark anchors: run one and read its output, or keep a server in the
// background for the length of a measurement.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace bench {

// Runs a command and returns its standard output.
inline std::string capture(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

// Starts a server program in the background (its output discarded); returns its process id.
inline pid_t spawn(const std::vector<std::string> &args)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (freopen("/dev/null", "w", stdout) == nullptr)
            _exit(126);
        std::vector<char *> argv;
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return pid;
}

inline void stop(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    int status;
    waitpid(pid, &status, 0);
}

// Round trip of `sockperf ping-pong` over loopback TCP with messages of msgSize bytes, in
// microseconds (sockperf prints half a round trip); -1 when it cannot be measured.
inline double sockperfRoundTripMicros(unsigned port, unsigned msgSize, int seconds)
{
    pid_t server = spawn({"sockperf", "server", "--tcp", "-i", "127.0.0.1", "-p", std::to_string(port)});
    const std::string out = capture("sockperf ping-pong --tcp -i 127.0.0.1 -p " + std::to_string(port) + " -m " +
                                    std::to_string(msgSize) + " -t " + std::to_string(seconds) + " 2>&1");
    stop(server);
    const size_t at = out.find("avg-latency=");
    if (at == std::string::npos)
        return -1;
    return 2 * atof(out.c_str() + at + strlen("avg-latency="));
}

// One figure beside its anchor: "<what> <label> <mine> <unit> anchor <anchor> <unit> <label>/anchor
// <ratio>", or "anchor unavailable" when the anchor could not be measured (anchor <= 0).
inline void printRatio(const char *label, const char *what, double mine, double anchor, const char *unit,
                       const char *better)
{
    if (anchor <= 0) {
        printf("%-34s %s %10.2f %-7s anchor unavailable\n", what, label, mine, unit);
        return;
    }
    printf("%-34s %s %10.2f %-7s anchor %10.2f %-7s %s/anchor %.2f (%s is better)\n", what, label, mine, unit,
           anchor, unit, label, mine / anchor, better);
}

} // namespace bench
