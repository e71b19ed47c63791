#include "mos/mos_dbg.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

void mosDbg_PanicPrepare(const char *pFile, const char *pFunc, const char *pExpr, const char *pExtDescription,
                         int lineNum)
{
    fprintf(stdout, "Panic in file %s, line %d, function %s, PID %d.Panic Expression %s %s.\n", pFile, lineNum, pFunc,
            (int)getpid(), pExpr, pExtDescription);
    fflush(stdout);
}

void mosDbg_PanicDo(void)
{
    _exit(255);
}
