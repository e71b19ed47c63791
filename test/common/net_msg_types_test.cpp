#include "common/net_msg_types.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct CatalogCase {
    UINT32 type;
    const char *pName;
    UINT32 group;
    AuthPermission permission;
    UINT32 version;
};

constexpr UINT32 kV130 = 0x011E0000u;
constexpr UINT32 kV200 = 0x02000000u;
constexpr UINT32 kV2010000 = 0x02002710u;

TEST(NetMsgTypesTest, LookupsMatchTheCatalogue)
{
    const CatalogCase cases[] = {
        {4001, "add_volume", 18, AUTH_PERMISSION_FRONTEND_CONFIG, kV130},
        {4035, "custom_event", 10, AUTH_PERMISSION_MONITOR, kV130},
        {4079, "set_performance_parameters", 10, AUTH_PERMISSION_BACKEND_CONFIG, kV200},
        {4119, "query_cluster_ostrel", 15, AUTH_PERMISSION_NONE, kV130},
        {4211, "switch_ostrel_ownership", 33, AUTH_PERMISSION_BACKEND_CONFIG, kV130},
        {4235, "modify_virtual_ip_interfaces", 33, AUTH_PERMISSION_BACKEND_CONFIG, kV2010000},
        {4308, "reset_admin", 8, AUTH_PERMISSION_TECHNICIAN, kV130},
        {4385, "switch_ostrel_ownership", 33, AUTH_PERMISSION_BACKEND_CONFIG, kV130},
        {4389, "REPLACE_ostrel_security_files", 33, AUTH_PERMISSION_SECURITY, kV200},
        {4390, "query_cluster_ostrel", 15, AUTH_PERMISSION_NONE, kV130},
        {4394, "set_guid_display_mode", 10, AUTH_PERMISSION_BACKEND_CONFIG, kV130},
        {4406, "query_system_limits", 15, AUTH_PERMISSION_MONITOR, kV200},
        {4407, "query_login_banner", 15, AUTH_PERMISSION_NONE, kV130},
        {4412, "query_pellar_device_info", 15, AUTH_PERMISSION_MONITOR, kV2010000},
        {7001, "UPLOAD_PACKAGE", 5, AUTH_PERMISSION_ADMINISTRATOR, kV130},
        {7032, "CHANGE_MEDIA_LED", 5, AUTH_PERMISSION_MONITOR, kV130},
        {8004, "SET_DEFAULT_PASSWORDS", 42, AUTH_PERMISSION_ADMINISTRATOR, kV130},
        {8099, "EXTEND_WIZARD_GET_CURRENT_WIZARD_GUID", 43, AUTH_PERMISSION_MONITOR, kV130},
        {8429, "CLEAR_PHYSICAL_DRIVE_ERROR", 42, AUTH_PERMISSION_BACKEND_CONFIG, kV130},
        // Outside the catalogue: a data-path write, the general types, gaps and range ends.
        {2103, "N/A", 0, AUTH_PERMISSION_TECHNICIAN, kV130},
        {NET_MSG_TYPE__INVALID, "N/A", 0, AUTH_PERMISSION_TECHNICIAN, kV130},
        {NET_MSG_TYPE__CHALLENGE_RESPONSE, "N/A", 0, AUTH_PERMISSION_TECHNICIAN, kV130},
        {4013, "N/A", 0, AUTH_PERMISSION_TECHNICIAN, kV130},
        {4413, "N/A", 0, AUTH_PERMISSION_TECHNICIAN, kV130},
        {8430, "N/A", 0, AUTH_PERMISSION_TECHNICIAN, kV130},
        {0xFFFFFFFFu, "N/A", 0, AUTH_PERMISSION_TECHNICIAN, kV130},
    };
    for (const CatalogCase &c : cases) {
        SCOPED_TRACE(c.type);
        EXPECT_STREQ(net_MsgTypeToString(c.type), c.pName);
        EXPECT_EQ(net_MsgTypeToRcvGroup(c.type), c.group);
        EXPECT_EQ(net_MsgTypeToPermission(c.type), c.permission);
        EXPECT_EQ(net_MsgTypeToVersionAdded(c.type), c.version);
    }
}

TEST(NetMsgTypesTest, EnumeratorsCarryTheirNumbers)
{
    EXPECT_EQ(CLI_MSG_TYPE__ADD_VOL, 4001u);
    EXPECT_EQ(CLI_MSG_TYPE__QUERY_CLUSTER_V2, 4391u);
    EXPECT_EQ(YARRIN_MSG_TYPE__UPLOAD_PACKAGE, 7001u);
    EXPECT_EQ(YARRIN_MSG_TYPE__GET_MEDIA_INFO, 7031u);
    EXPECT_EQ(YARRIN_MSG_TYPE__CHANGE_MEDIA_LED, 7032u);
    EXPECT_EQ(GENERAL_MSG_TYPE__FIRST, NET_MSG_TYPE__NET_KA);
}

// Every catalogued type has a receive group, so the four lookups agree exactly when the name and
// the group both say "known" or both say "unknown"; and no listed row was lost.
TEST(NetMsgTypesTest, TheLookupsAgreeOnWhichTypesAreKnown)
{
    UINT32 numKnown = 0;
    for (UINT32 type = 0; type < 10000; type++) {
        const BOOL bNamed = strcmp(net_MsgTypeToString(type), "N/A") != 0;
        const BOOL bGrouped = net_MsgTypeToRcvGroup(type) != 0;
        ASSERT_EQ(bNamed, bGrouped) << type;
        if (!bNamed) {
            ASSERT_EQ(net_MsgTypeToPermission(type), AUTH_PERMISSION_TECHNICIAN) << type;
            ASSERT_EQ(net_MsgTypeToVersionAdded(type), kV130) << type;
        }
        numKnown += bNamed ? 1 : 0;
    }
    // 210 management-client, 32 installation-agent and 71 automation commands.
    EXPECT_EQ(numKnown, 313u);
}

} // namespace
