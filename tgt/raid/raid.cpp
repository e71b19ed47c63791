#include "tgt/raid/raid.h"

#include <cstring>

#include "mos/mos_assert.h"

namespace {
// The layer's one record: its hooks are registered once by the controller's start.
Raid *pRaid_G = nullptr;
} // namespace

void raid_Init(Raid *pRaid, Cont *pCont, const RaidHooks *pHooks)
{
    MOS_ASSERT(pHooks != nullptr && pHooks->acquireTgtCon != nullptr && pHooks->releaseTgtCon != nullptr);
    MOS_ASSERT(pHooks->sendRpc != nullptr && pHooks->waitRpc != nullptr && pHooks->checkDegradePermit != nullptr);
    MOS_ASSERT(pHooks->sendOstrelRequest != nullptr && pHooks->getOwnTgtId != nullptr);
    MOS_ASSERT(pHooks->logNetHiccup != nullptr && pHooks->devWriteError != nullptr);
    MOS_ASSERT(pHooks->devReadError != nullptr && pHooks->isDevInError != nullptr && pHooks->getHeadState != nullptr);
    MOS_ASSERT(pHooks->getDevId != nullptr);
    memset(static_cast<void *>(pRaid), 0, sizeof(*pRaid));
    pRaid->pCont = pCont;
    pRaid->pHooks = pHooks;
    pRaid->bInitialized = TRUE;
    pRaid_G = pRaid;
}

void raid_Destroy(Raid *pRaid)
{
    if (pRaid_G == pRaid)
        pRaid_G = nullptr;
    pRaid->bInitialized = FALSE;
}

void raid_Query(Raid *pRaid, RaidLayerQuery *pQuery) { *pQuery = pRaid->query; }

const RaidHooks *raid_Hooks(void)
{
    MOS_ASSERT(pRaid_G != nullptr);
    return pRaid_G->pHooks;
}

Raid *raid_Get(void) { return pRaid_G; }

BOOL raid_IsNetworkRelatedError(Mos_RC rc)
{
    switch (rc) {
    case MOS_RC__ILLEGAL:
    case MOS_RC__ERROR:
    case MOS_RC__NOT_CONN:
    case MOS_RC__ABORTED:
    case MOS_RC__IO_FAULT_BLOCKED:
    case MOS_RC__BUSY:
    case MOS_RC__TIMEOUT:
    case MOS_RC__IO_NET_ERROR:
        return TRUE;
    default:
        return FALSE;
    }
}
