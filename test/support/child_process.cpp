#include "test/support/child_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "test/support/scratch_dir.h"

namespace {
std::string readWhole(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}
} // namespace

ChildResult runInChild(const std::function<void()> &body, int timeoutSec)
{
    ScratchDir capture;
    std::string outPath = capture.file("out");
    std::string errPath = capture.file("err");
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        int outFd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int errFd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(outFd, STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        close(outFd);
        close(errFd);
        body();
        fflush(stdout);
        fflush(stderr);
        _exit(0);
    }
    ChildResult r;
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec);
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(status))
        r.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        r.signal = WTERMSIG(status);
    r.out = readWhole(outPath);
    r.err = readWhole(errPath);
    return r;
}

ChildResult runProgram(const std::string &path, const std::vector<std::string> &args,
                       const std::function<void()> &setup, int timeoutSec)
{
    return runInChild(
        [&] {
            if (setup)
                setup();
            std::vector<char *> argv{const_cast<char *>(path.c_str())};
            for (const std::string &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(path.c_str(), argv.data());
            _exit(127);
        },
        timeoutSec);
}
