// The console: interactive input and coloured output.
#include "mos/mos_utils_console.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <numa.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/personality.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <termios.h>
#include <unistd.h>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"

BOOL mos_isInteractive(void)
{
    return (isatty(STDIN_FILENO) && isatty(STDOUT_FILENO)) ? TRUE : FALSE;
}

Mos_RC mos_GetChar(char *pChar, BOOL bDisplayInputChar)
{
    MOS_ASSERT(pChar != ((void *)0));
    if (bDisplayInputChar) {
        int c = getchar();
        if (c == EOF)
            return MOS_RC__ERROR;
        *pChar = (char)c;
        return MOS_RC__SUCCESS;
    }
    termios saved;
    if (tcgetattr(STDIN_FILENO, &saved) != 0) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to get console attributes (on tcgetattr), Error : %s", strerror(errno));
        return MOS_RC__ERROR;
    }
    termios raw = saved;
    raw.c_lflag &= ~(tcflag_t)(ICANON | ECHO);
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to set console attributes (on tcsetattr), Error : %s", strerror(errno));
        return MOS_RC__ERROR;
    }
    int c = getchar();
    Mos_RC rc = (c == EOF) ? MOS_RC__ERROR : MOS_RC__SUCCESS;
    if (c != EOF)
        *pChar = (char)c;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &saved) != 0) {
        MOS_ERROR(MOS_COMP_MOS, "Failed to reset console attributes (on tcsetattr), Error : %s", strerror(errno));
        rc = MOS_RC__ERROR;
    }
    return rc;
}

BOOL mos_ShouldUseColor(void)
{
    static const char *const kColorTerms[] = {"xterm", "xterm-color", "xterm-256color", "screen", "linux", "cygwin"};
    const char *pTerm = getenv("TERM");
    if (pTerm == nullptr || !isatty(STDOUT_FILENO))
        return FALSE;
    for (const char *pKnown : kColorTerms) {
        if (strcmp(pTerm, pKnown) == 0)
            return TRUE;
    }
    return FALSE;
}

const char *mos_GetAnsiColorCode(MosColor color)
{
    static const char *const kCodes[] = {"\033[0m",  "\033[31m", "\033[32m", "\033[33m",
                                         "\033[34m", "\033[35m", "\033[36m", "\033[37m"};
    MOS_ASSERT(color < MOS_ARRAY_SIZE(kCodes));
    return kCodes[color];
}

void mos_PrettyPrint(MosColor color, const char *fmt, ...)
{
    // Decided once per process: the terminal does not change under a running program.
    static const BOOL bUseColor = mos_ShouldUseColor();
    BOOL bWrap = bUseColor && color != COLOR_DEFAULT;
    if (bWrap)
        fputs(mos_GetAnsiColorCode(color), stdout);
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    if (bWrap)
        fputs("\033[0m", stdout);
}
