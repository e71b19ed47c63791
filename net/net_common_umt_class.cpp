#include "net/net_common_umt_class.h"

#include "mos/mos_dbg.h"

namespace {
Common_GetUmtClassIdRoutine commonGetUmtClassIdRoutine_G = nullptr;
}

void common_UmtClassInit(Common_GetUmtClassIdRoutine pRoutine)
{
    __atomic_store_n(&commonGetUmtClassIdRoutine_G, pRoutine, __ATOMIC_RELEASE);
}

MosUmtClassId common_GetUmtClassId(CommonUmtClassType classType)
{
    Common_GetUmtClassIdRoutine pRoutine = __atomic_load_n(&commonGetUmtClassIdRoutine_G, __ATOMIC_ACQUIRE);
    MOS_ASSERT_WITH_DESC(pRoutine != nullptr, "no class routine installed");
    MOS_ASSERT(classType < COMMON_UMT_CLASS_TYPE__LAST);
    return pRoutine(classType);
}
