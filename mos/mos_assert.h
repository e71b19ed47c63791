// Assertions: the one way a module states an internal invariant. The condition is also the
// report's text, so the two cannot drift apart. The report itself is the debug module's
// (mos/mos_dbg.h): it sits above the ground floor, which needs only these two entry points.
#pragma once

#include "mos/mos_rc.h"
#include "mos/mos_types.h"

void mosDbg_PanicPrepare(const char *pFile, const char *pFunc, const char *pExpr, const char *pExtDescription,
                         int lineNum);
[[noreturn]] void mosDbg_PanicDo(void);

// The report's entry; code states a condition (MOS_ASSERT) or MOS_UNREACHABLE instead, so that
// the report's text is always what was checked.
#define MOS_PANIC(expr, desc)                                                  \
    do {                                                                       \
        mosDbg_PanicPrepare(__FILE__, __func__, (expr), (desc), __LINE__);     \
        mosDbg_PanicDo();                                                      \
    } while (0)

// Code that must never be reached (a switch over every value, a path after a fatal error line).
#define MOS_UNREACHABLE(desc) MOS_PANIC("unreachable", (desc))

#define MOS_ASSERT_WITH_DESC(cond, desc)                                       \
    do {                                                                       \
        if (__builtin_expect(!(cond), 0))                                      \
            MOS_PANIC(#cond, (desc));                                          \
    } while (0)

#define MOS_ASSERT(cond) MOS_ASSERT_WITH_DESC(cond, "")

// Asserts that cond is false.
#define Exp(cond) MOS_ASSERT(!(cond))

#define MOS_ASSERT_SUCCESS(rc) MOS_ASSERT((rc) == MOS_RC__SUCCESS)
