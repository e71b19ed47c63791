#include "mos/mos_trace.h"

// No user-mode threads run yet: every caller is a plain OS thread.
MosUmt_UThread *mosUmt_GetUThreadHdlNoAssert(void)
{
    return nullptr;
}
