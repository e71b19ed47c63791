// The controller's data path: every request of receive groups 22-24 goes to the I/O handler, which
// reaches the controller's objects through the hook table here, and its answer goes back on the
// request's connection - at once, or, when the request's volume is quiesced, held by the volume
// and sent when the quiesce ends.
//
// A request's read buffers come from the pool pair of its side (client reads from the primary
// pools, a partner's reads from the secondary ones) sized by the record, so no read allocates
// from the heap; only a dirty-region list read takes a heap answer of its fixed size. Whoever
// sends the answer gives these buffers back: the serving thread, or the volume that held it.
//
// Combs are found through the registry (cont_AcquireIohComb); the comb's side of the hooks is its
// mirroring object's, and what that does not offer yet (reverse rebuild's tooth lists, a comb's
// cache flags) is refused or bypassed, never a stop.
#pragma once

#include "tgt/ioh/ioh.h"

struct Cont;
struct ContVolHooks;

// The handler's hooks into this controller.
const IohHooks *contIo_GetIohHooks(void);
// The volumes' hooks: trees through the registry, held answers sent through the data path.
const ContVolHooks *contIo_GetVolHooks(void);

// Plugs the I/O handler into the receive path; called before the network listens. It stays
// plugged while the server stops: the paused network brings no new requests, and answers held
// by quiesced volumes still leave through it.
void contIo_Start(Cont *pCont);
