// The names the messaging layer's parts give a connection: the peer's connection id and the
// protected handle the upper layers hold it by. Kept apart so that the root object, the channels
// and the paths can name a connection without its record.
#pragma once

#include "mos/mos_protected_mem.h"

typedef UINT64 ConId;
typedef HMosPMem HNetCon;

#define NET_CON__INVALID_HCON 0ull
#define NET_CON__IS_VALID_HCON(h) ((h) != NET_CON__INVALID_HCON)
