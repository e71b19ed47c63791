#include "tgt/tgt_sdbg.h"

TgtSdbg *pTgtSdbg_g = nullptr;
