// fio as the outside anchor of device benchmarks: one run on the benchmark's own file, in the
// same process run, its IOPS read from the JSON report.
#pragma once

#include <sys/statfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace bench {

// A scratch file on a disk file system (not tmpfs: O_DIRECT must reach a device).
inline std::string scratchFile(const char *pName)
{
    struct statfs info;
    std::string base = (statfs("/tmp", &info) == 0 && info.f_type != 0x01021994) ? "/tmp" : "/var/tmp";
    return base + "/" + pName + "." + std::to_string(getpid());
}

// The command line of a benchmark on one file: [FILE] [--seconds S]. With no FILE the benchmark
// makes and later removes a scratch file of its own (bOwnFile).
struct FileBenchArgs {
    std::string file;
    double seconds = 3;
    bool bOwnFile = false;
};

inline FileBenchArgs fileBenchArgs(int argc, char **argv, const char *pScratchName)
{
    FileBenchArgs a;
    int i = 1;
    if (argc > 1 && argv[1][0] != '-')
        a.file = argv[i++];
    for (; i + 1 < argc; i += 2)
        if (strcmp(argv[i], "--seconds") == 0)
            a.seconds = atof(argv[i + 1]);
    a.bOwnFile = a.file.empty();
    if (a.bOwnFile)
        a.file = scratchFile(pScratchName);
    return a;
}

// Gives the benchmark's file its length (sparse); false, with a line, when it cannot.
inline bool sizeFile(const std::string &file, unsigned long long bytes)
{
    FILE *p = fopen(file.c_str(), "a");
    bool bOk = p != nullptr && ftruncate(fileno(p), (off_t)bytes) == 0;
    if (p != nullptr)
        fclose(p);
    if (!bOk)
        fprintf(stderr, "cannot prepare %s\n", file.c_str());
    return bOk;
}

// IOPS of one fio job against a target given as fio options ("--filename=F --ioengine=libaio
// --direct=1", or "--ioengine=nbd --uri=nbd://host:port"): the first "iops" of the direction, -1
// when fio fails. extra: further options (an --offset, say).
inline double fioIopsOf(const std::string &target, unsigned long long size, const char *rw, unsigned bs, unsigned qd,
                        double seconds, const std::string &extra = "")
{
    char cmd[1024];
    snprintf(cmd, sizeof(cmd),
             "fio --name=anchor %s --rw=%s --bs=%u --iodepth=%u --numjobs=1 --size=%llu --runtime=%.0f "
             "--time_based --ramp_time=1 --randrepeat=0 --norandommap %s --output-format=json 2>/dev/null",
             target.c_str(), rw, bs, qd, size, seconds, extra.c_str());
    FILE *p = popen(cmd, "r");
    if (p == nullptr)
        return -1;
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        out.append(buf, n);
    pclose(p);
    // The direction's section, not the job options (whose "rw" may read "write").
    const char *dir = strstr(rw, "write") != nullptr ? "\"write\" : {" : "\"read\" : {";
    size_t at = out.find(dir);
    if (at == std::string::npos)
        return -1;
    at = out.find("\"iops\"", at);
    if (at == std::string::npos)
        return -1;
    at = out.find(':', at);
    return at == std::string::npos ? -1 : strtod(out.c_str() + at + 1, nullptr);
}

// IOPS of fio --ioengine=libaio --direct=1 on a file; -1 when fio fails.
// With bDirect false fio goes through the page cache, which its ramp-up second fills for a small
// size: the anchor of reads served from memory.
inline double fioIops(const std::string &file, unsigned long long size, const char *rw, unsigned bs, unsigned qd,
                      double seconds, bool bDirect = true)
{
    return fioIopsOf("--filename=" + file + " --ioengine=libaio --direct=" + (bDirect ? "1" : "0"), size, rw, bs, qd,
                     seconds);
}

// The anchor of a copy (a rebuild reads and then writes each MB): fio's 1 MB sequential write and
// read at queue depth 1 on a scratch file of `bytes`, in MB/s (not above 0 when fio failed).
struct CopyAnchor {
    double readMBs = -1;
    double writeMBs = -1;
};
inline CopyAnchor fioCopyAnchor(const char *pScratchName, unsigned long long bytes, double seconds)
{
    const std::string file = scratchFile(pScratchName);
    CopyAnchor a;
    a.writeMBs = fioIops(file, bytes, "write", 1 << 20, 1, seconds);
    a.readMBs = fioIops(file, bytes, "read", 1 << 20, 1, seconds);
    unlink(file.c_str());
    return a;
}

// The copy's figure beside the anchor's rows: read, write, copy rate 1/(1/r + 1/w) and the ratio.
inline void printCopyFigures(const char *pWhat, double copyMBs, const CopyAnchor &a)
{
    printf("%-34s %12s\n", "figure", "MB/s");
    printf("%-34s %12.1f\n", pWhat, copyMBs);
    if (a.readMBs <= 0 || a.writeMBs <= 0) {
        printf("fio did not run: no anchor figure\n");
        return;
    }
    const double fioCopy = 1.0 / (1.0 / a.readMBs + 1.0 / a.writeMBs);
    printf("%-34s %12.1f\n", "fio 1 MB seq read, qd 1", a.readMBs);
    printf("%-34s %12.1f\n", "fio 1 MB seq write, qd 1", a.writeMBs);
    printf("%-34s %12.1f\n", "fio copy rate 1/(1/r + 1/w)", fioCopy);
    printf("%-34s %12.2f\n", "ratio rebuild / fio copy", copyMBs / fioCopy);
}

} // namespace bench
