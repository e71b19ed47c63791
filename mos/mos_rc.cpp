#include "mos/mos_rc.h"

#include <array>

namespace {
// The tables hold a slot for every value below MOS_RC__LAST; slots of values that the list does
// not name stay null (names, descriptions) or INVALID (types).
struct MosRc_Tables {
    std::array<const char *, MOS_RC__LAST> names{};
    std::array<const char *, MOS_RC__LAST> descs{};
    std::array<MosRCType, MOS_RC__LAST> types{};
};

constexpr MosRc_Tables kRcTables = [] {
    MosRc_Tables t{};
#define MOS_RC__ROW(name, value, type, desc)                                                         \
    t.names[value] = #name;                                                                          \
    t.descs[value] = desc;                                                                           \
    t.types[value] = MOS_RC_TYPE__##type;
    MOS_RC__LIST(MOS_RC__ROW)
#undef MOS_RC__ROW
    return t;
}();

#define MOS_RC__BELOW_LAST(name, value, type, desc) static_assert(value < MOS_RC__LAST, #name " is beyond MOS_RC__LAST");
MOS_RC__LIST(MOS_RC__BELOW_LAST)
#undef MOS_RC__BELOW_LAST
static_assert(MOS_RC__LAST <= MOS_RC__TABLE_SLOTS);
} // namespace

static bool mosRc_Assigned(INT64 rc)
{
    return rc >= 0 && rc < MOS_RC__LAST && kRcTables.names[rc] != nullptr;
}

const char *mosRc_GetStr(INT64 rc)
{
    return mosRc_Assigned(rc) ? kRcTables.names[rc] : "MOS_RC__UNKNOWN";
}

const char *getSpecStr(INT64 rc)
{
    if (!mosRc_Assigned(rc) || kRcTables.descs[rc] == nullptr || kRcTables.descs[rc][0] == '\0')
        return "MOS_RC__UNKNOWN";
    return kRcTables.descs[rc];
}

MosRCType mosRc_GetType(INT64 rc)
{
    return mosRc_Assigned(rc) ? kRcTables.types[rc] : MOS_RC_TYPE__INVALID;
}
