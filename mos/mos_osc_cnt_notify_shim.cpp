// Stands in for the oscillation counters' failure notification until that layer is built:
// with no callback registered (and none can be yet), a notification does nothing. Delete this
// file when the layer provides mosOscCnt_FailureOccurrenceNotify.
#include "mos/mos_dbg.h"
#include "mos/mos_osc_cnt.h"

void mosOscCnt_FailureOccurrenceNotify(MosOscCnt_CounterType type, UINT32 weight)
{
    MOS_ASSERT(type < MOS_OSC_CNT_TYPE__LAST);
    MOS_UNUSED(weight);
}
