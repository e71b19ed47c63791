#include "common/net_msg_types.h"

// Each lookup is a switch over the same lists, so the compiler refuses a number listed twice and
// the four lookups know exactly the same types.

const char *net_MsgTypeToString(UINT32 msgType)
{
    switch (msgType) {
#define NET_MSG_CATALOG__CASE(type, enumName, name, group, perm, version) \
    case (type):                                                         \
        return name;
        NET_MSG_CATALOG__ALL(NET_MSG_CATALOG__CASE)
#undef NET_MSG_CATALOG__CASE
    default:
        return NET_MSG_CATALOG__UNKNOWN_NAME;
    }
}

UINT32 net_MsgTypeToRcvGroup(UINT32 msgType)
{
    switch (msgType) {
#define NET_MSG_CATALOG__CASE(type, enumName, name, group, perm, version) \
    case (type):                                                         \
        return (group);
        NET_MSG_CATALOG__ALL(NET_MSG_CATALOG__CASE)
#undef NET_MSG_CATALOG__CASE
    default:
        return NET_MSG_CATALOG__UNKNOWN_RCV_GROUP;
    }
}

AuthPermission net_MsgTypeToPermission(UINT32 msgType)
{
    switch (msgType) {
#define NET_MSG_CATALOG__CASE(type, enumName, name, group, perm, version) \
    case (type):                                                         \
        return (AuthPermission)(perm);
        NET_MSG_CATALOG__ALL(NET_MSG_CATALOG__CASE)
#undef NET_MSG_CATALOG__CASE
    default:
        return NET_MSG_CATALOG__UNKNOWN_PERMISSION;
    }
}

UINT32 net_MsgTypeToVersionAdded(UINT32 msgType)
{
    switch (msgType) {
#define NET_MSG_CATALOG__CASE(type, enumName, name, group, perm, version) \
    case (type):                                                         \
        return NET_MSG_CATALOG__##version;
        NET_MSG_CATALOG__ALL(NET_MSG_CATALOG__CASE)
#undef NET_MSG_CATALOG__CASE
    default:
        return NET_MSG_CATALOG__UNKNOWN_VERSION;
    }
}
