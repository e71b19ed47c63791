#include "mos/mos_dlist.h"

#include "mos/mos_assert.h"

void mosDList_PanicLinked(void)
{
    MOS_PANIC("!mosDList_IsLinked(pNode)", "linking a node that is already on a list");
}

void mosDList_PanicUnlinked(void)
{
    MOS_PANIC("mosDList_IsLinked(pNode)", "removing a node that is not on a list");
}
