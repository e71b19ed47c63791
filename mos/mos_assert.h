// Assertions: the one way a module states an internal invariant. The condition is also the
// report's text, so the two cannot drift apart. The report itself is the debug module's
// (mos/mos_dbg.h): it sits above the ground floor, which needs only these two entry points.
#pragma once

#include "mos/mos_rc.h"
#include "mos/mos_types.h"

void mosDbg_PanicPrepare(const char *pFile, const char *pFunc, const char *pExpr, const char *pExtDescription,
                         int lineNum);
[[noreturn]] void mosDbg_PanicDo(void);

#define MOS_PANIC(expr, desc)                                                  \
    do {                                                                       \
        mosDbg_PanicPrepare(__FILE__, __func__, (expr), (desc), __LINE__);     \
        mosDbg_PanicDo();                                                      \
    } while (0)

#define MOS_ASSERT_WITH_DESC(cond, desc)                                       \
    do {                                                                       \
        if (__builtin_expect(!(cond), 0))                                      \
            MOS_PANIC(#cond, (desc));                                          \
    } while (0)

#define MOS_ASSERT(cond) MOS_ASSERT_WITH_DESC(cond, "")

// Asserts that cond is false.
#define Exp(cond) MOS_ASSERT(!(cond))

#define MOS_ASSERT_SUCCESS(rc) MOS_ASSERT((rc) == MOS_RC__SUCCESS)
