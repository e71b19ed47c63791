// The mirroring layer's calls into the controller (RaidHooks): partners reached through the peer
// servers' connections and the messaging layer's RPCs, the Ostrel through its link and the degrade
// permit, heads through the registry, and the resync pool's queue.
#pragma once

#include "tgt/raid/raid.h"

const RaidHooks *contRaid_GetHooks(void);
