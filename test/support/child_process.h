// Child processes for tests: a fresh runtime, an exit code or a signal that must not end the test
// program itself. Every test that forks goes through here.
#pragma once

#include <functional>
#include <string>
#include <vector>

// What a child process left behind.
struct ChildResult {
    int exitCode = -1; // -1 when it did not exit normally
    int signal = 0;    // the signal that ended it, if one did
    std::string out;
    std::string err;
};

// Runs body in a forked child with standard output and error captured; the child exits 0 when
// body returns. A child still running after timeoutSec is killed (signal 9 in the result).
ChildResult runInChild(const std::function<void()> &body, int timeoutSec = 120);

// Runs the program at path with args in a child (setup, if any, runs in the child first, e.g. to
// set a resource limit). Exit 127 when the program could not be started.
ChildResult runProgram(const std::string &path, const std::vector<std::string> &args,
                       const std::function<void()> &setup = nullptr, int timeoutSec = 120);

// The exit status as a shell reports it: the exit code, or 128 plus the ending signal.
inline int shellStatus(const ChildResult &r)
{
    return r.signal != 0 ? 128 + r.signal : r.exitCode;
}
