// Trace lines of the process, captured for a test that checks what was traced: install the sink
// (it replaces the trace layer's, so lines no longer reach the trace file) and ask traced().
#pragma once

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "mos/mos_trace.h"

namespace traceTest {
inline std::mutex mu_G;
inline std::vector<std::string> lines_G;

inline void captureSink(MosTrace_LineKind, const char *pFormat, va_list *pAp)
{
    char buf[1024];
    va_list ap;
    va_copy(ap, *pAp);
    vsnprintf(buf, sizeof(buf), pFormat, ap);
    va_end(ap);
    std::lock_guard<std::mutex> g(mu_G);
    lines_G.emplace_back(buf);
}
} // namespace traceTest

// Captures from here on, forgetting what was captured before.
inline void traceTest_Capture()
{
    {
        std::lock_guard<std::mutex> g(traceTest::mu_G);
        traceTest::lines_G.clear();
    }
    mosTrace_SetSink(traceTest::captureSink);
}

// Whether a captured line holds needle.
inline bool traced(const std::string &needle)
{
    std::lock_guard<std::mutex> g(traceTest::mu_G);
    return std::any_of(traceTest::lines_G.begin(), traceTest::lines_G.end(),
                       [&](const std::string &l) { return l.find(needle) != std::string::npos; });
}
