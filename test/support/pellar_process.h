// One pellar process in a directory of its own, as its operator starts it: its configuration
// file, its log directory and its output file there; killed at the end of the test if it still
// runs. Helpers for ports and files of system tests.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "test/support/scratch_dir.h"

using Clock = std::chrono::steady_clock;

inline std::string pellarPath()
{
    const char *pDir = getenv("PELLAR_BUILD_DIR");
    return std::string(pDir != nullptr ? pDir : ".") + "/pellar";
}

inline int freePort()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr *>(&a), sizeof(a));
    socklen_t len = sizeof(a);
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

inline bool canConnect(int port)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(s, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0;
    close(s);
    return ok;
}

inline std::string readFile(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// One pellar process in its own directory.
class PellarProcess {
  public:
    PellarProcess(const ScratchDir &dir, const std::string &confText) : dir_(dir)
    {
        std::filesystem::create_directories(dir_.file("log"));
        std::ofstream(dir_.file("pellar.conf")) << confText;
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(dir_.path().c_str()) != 0)
                _exit(126);
            int out = open("out.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
            std::string conf = dir_.file("pellar.conf"), log = dir_.file("log");
            execl(pellarPath().c_str(), "pellar", "--conf_file", conf.c_str(), "--log_dir", log.c_str(), nullptr);
            _exit(127);
        }
    }
    ~PellarProcess()
    {
        if (pid_ > 0 && !ended_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool waitListening(int port)
    {
        auto deadline = Clock::now() + std::chrono::seconds(60);
        while (Clock::now() < deadline) {
            if (exited(std::chrono::milliseconds(0)))
                return false;
            if (canConnect(port))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    // Whether the process ended within the limit (its status is kept).
    bool exited(std::chrono::milliseconds limit)
    {
        if (ended_)
            return true;
        auto deadline = Clock::now() + limit;
        do {
            if (waitpid(pid_, &status_, WNOHANG) == pid_) {
                ended_ = true;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } while (Clock::now() < deadline);
        return false;
    }
    void signal(int sig) { kill(pid_, sig); }
    // SIGSTOP takes effect only as each thread next passes through the kernel, so a thread can
    // still answer a message just after kill() returns; wait until every thread shows stopped.
    bool stop(std::chrono::milliseconds limit = std::chrono::seconds(10))
    {
        kill(pid_, SIGSTOP);
        const std::string tasks = "/proc/" + std::to_string(pid_) + "/task";
        const auto deadline = Clock::now() + limit;
        do {
            bool allStopped = true;
            std::error_code ec;
            for (const auto &t : std::filesystem::directory_iterator(tasks, ec)) {
                const std::string stat = readFile(t.path().string() + "/stat");
                const size_t paren = stat.rfind(')');
                if (paren == std::string::npos || paren + 2 >= stat.size() ||
                    (stat[paren + 2] != 'T' && stat[paren + 2] != 't')) {
                    allStopped = false;
                    break;
                }
            }
            if (allStopped && !ec)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        } while (Clock::now() < deadline);
        return false;
    }
    int status() const { return status_; }
    std::string traces() const
    {
        std::string all;
        for (const char *name : {"trc.1", "trc.0"})
            all += readFile(dir_.file(std::string("log/") + name));
        return all;
    }
    std::string exceptions() const { return readFile(dir_.file("log/exp.0")); }
    std::string output() const { return readFile(dir_.file("out.txt")); }

  private:
    const ScratchDir &dir_;
    pid_t pid_ = -1;
    int status_ = 0;
    bool ended_ = false;
};

inline size_t countOf(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        n++;
    return n;
}

