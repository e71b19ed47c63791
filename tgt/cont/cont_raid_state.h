// What the root controller needs of the mirroring layer's calls into the controller (RaidHooks), apart
// from their code so that the root includes only this: partners reached through the peer
// servers' connections and the messaging layer's RPCs, the Ostrel through its link and the degrade
// permit, heads through the registry, and the resync pool's queue.
#pragma once

#include "tgt/raid/raid.h"

const RaidHooks *contRaid_GetHooks(void);

struct Cont;
struct RaidResyncHooks;

// What the copy jobs need besides: the Ostrel link's blocked state, peer versions, and the extent
// locks once the first adoption built them (before that a copy locks the whole comb).
const RaidResyncHooks *contRaid_GetResyncHooks(void);

// The mirroring layer and the resync hooks at the controller's start (the resync pool itself is
// built with the Ostrel link).
void contRaid_Start(Cont *pCont);
// From a running uthread at the server's stop: every copy job is aborted and the pool's workers end.
void contRaid_Stop(Cont *pCont);
