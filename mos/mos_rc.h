// Product-wide return codes. The numeric values travel on the wire and never change.
#pragma once

#include "mos/mos_types.h"

#include "mos/mos_rc_list.h"

enum Mos_RC : INT32 {
#define MOS_RC__ENUMERATOR(name, value, type, desc) MOS_RC__##name = value,
    MOS_RC__LIST(MOS_RC__ENUMERATOR)
#undef MOS_RC__ENUMERATOR
    MOS_RC__LAST = 629,
};

enum MosRCType : UINT32 {
    MOS_RC_TYPE__INVALID = 0,
    MOS_RC_TYPE__INTERNAL = 1,
    MOS_RC_TYPE__CLIENT = 2,
    MOS_RC_TYPE__CLIENT_HIDDEN = 3,
};

// Slots for codes of management components that this program never produces.
#define MOS_RC__TABLE_SLOTS 1287


// Lookups take any 32-bit value (peers send codes on the wire): unassigned, negative and
// out-of-range codes all print as "MOS_RC__UNKNOWN".
const char *mosRc_GetStr(INT64 rc);
const char *getSpecStr(INT64 rc);
MosRCType mosRc_GetType(INT64 rc);

#define MOS_RC__IS_SUCCESS(rc) ((rc) == MOS_RC__SUCCESS)
#define MOS_RC__GET_STR(rc) mosRc_GetStr((INT64)(rc))
#define MOS_RC__GET_SPEC_STR(rc) getSpecStr((INT64)(rc))
#define MOS_RC__GET_TYPE(rc) mosRc_GetType((INT64)(rc))
