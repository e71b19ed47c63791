// Temporary stand-ins until the start-up module lands; removed then.
#include "mos/mos_types.h"

__attribute__((weak)) const char *mosVersion_Get(void)
{
    return "";
}
