// Sizes of the debug object server's requests and answers, shared by the server and the debugging
// tool that talks to it: the body of each request type, the answer that a request needs, and the
// query record of each debug object type.
#pragma once

#include "mos/mos_types.h"
#include "mos/sdbg/sdbg_exports.h"

// Body bytes of a request of commandType; for a dump-chosen request, of numOfObjects pairs. 0 for
// a request type that has no size (crash, unknown).
UINT32 sdbgExports_CalcSizeOfCmd(UINT32 commandType, const UINT32 *pObjectTypes, UINT32 numOfObjects);
// Answer bytes a request needs: a dump of all objects of pObjectTypes[0] when numOfObjects of
// them exist, or the dump of the numOfObjects chosen objects of pObjectTypes. 0 for an unknown
// request type. Computed in 64 bits: a count from the wire cannot wrap it.
UINT64 sdbgExports_CalcSizeOfResponse(UINT32 commandType, const UINT32 *pObjectTypes, UINT32 numOfObjects);
// Bytes of one object's query record for a debug object type; 0 for any other number.
UINT32 sdbgExports_CalcRawSizeOfObject(UINT32 objectType);
