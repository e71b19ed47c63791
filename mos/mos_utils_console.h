// The console: interactive input and coloured output.
#pragma once

#include "mos/mos_rc.h"
#include "mos/mos_types.h"

enum MosColor : UINT32 {
    COLOR_DEFAULT = 0,
    COLOR_RED = 1,
    COLOR_GREEN = 2,
    COLOR_YELLOW = 3,
    COLOR_BLUE = 4,
    COLOR_MAGENTA = 5,
    COLOR_CYAN = 6,
    COLOR_WAIT = 7,
};
BOOL mos_isInteractive(void);
Mos_RC mos_GetChar(char *pChar, BOOL bDisplayInputChar);
BOOL mos_ShouldUseColor(void);
const char *mos_GetAnsiColorCode(MosColor color);
void mos_PrettyPrint(MosColor color, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
