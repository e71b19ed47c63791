// The product's catalogue of management message types: for every command of the management
// client, the installation agent and the management-automation component, its printable name,
// the receive group that serves it at the receiving process, the permission a user needs to send
// it and the product version that introduced it. All programs of the product share one numbering
// of message types (the frame head's context word); this catalogue keeps the numbers of those
// management interfaces whole even in programs, such as the Pellar, that neither send nor serve
// them. The commands between the Ostrel and the Pellar and the data-path messages are numbered by
// their own modules and are not here.
//
// Each list below is the single source of the enumerators and of every lookup, so a type cannot
// be known to one lookup and unknown to another. A number listed twice fails to compile (the
// lookups are switches over the lists).
#pragma once

#include "mos/mos_types.h"

// Message types below the catalogue's ranges, used by every program of the product.
enum NET_MSG_TYPES__GENERAL : UINT32 {
    NET_MSG_TYPE__INVALID = 0,
    NET_MSG_TYPE__NET_KA = 1, // context word of a keep-alive frame
    NET_MSG_TYPE__CONFIGURE_TRACE_FREQS = 2,
    NET_MSG_TYPE__QUERY_DIAG_COUNTERS = 3,
    NET_MSG_TYPE__RESET_DIAG_COUNTERS = 4,
    NET_MSG_TYPE__CHALLENGE_RESPONSE = 5,
    NET_MSG_TYPE__QUERY_DIAG_COUNTERS_EXT = 6,
};
#define GENERAL_MSG_TYPE__FIRST NET_MSG_TYPE__NET_KA

enum AuthPermission : UINT32 {
    AUTH_PERMISSION_NONE = 0,
    AUTH_PERMISSION_MONITOR = 1,
    AUTH_PERMISSION_BACKEND_CONFIG = 2,
    AUTH_PERMISSION_ADMINISTRATOR = 3,
    AUTH_PERMISSION_TECHNICIAN = 4,
    AUTH_PERMISSION_FRONTEND_CONFIG = 5,
    AUTH_PERMISSION_SECURITY = 6,
};

// A product version packed as major-high (bits 31-24), major-low (23-16) and minor (15-0).
#define NET_MSG_CATALOG__VERSION(majorHigh, majorLow, minor) \
    ((UINT32)(((majorHigh) << 24) | ((majorLow) << 16) | (minor)))
// The versions that occur: 1.30.0 is the first catalogued release.
#define NET_MSG_CATALOG__V1_30 NET_MSG_CATALOG__VERSION(1u, 30u, 0u)
#define NET_MSG_CATALOG__V2_0 NET_MSG_CATALOG__VERSION(2u, 0u, 0u)
#define NET_MSG_CATALOG__V2_0_10000 NET_MSG_CATALOG__VERSION(2u, 0u, 10000u)
static_assert(NET_MSG_CATALOG__V1_30 == 0x011E0000u && NET_MSG_CATALOG__V2_0 == 0x02000000u &&
              NET_MSG_CATALOG__V2_0_10000 == 0x02002710u);

// What the lookups answer for a type the catalogue does not hold.
#define NET_MSG_CATALOG__UNKNOWN_NAME "N/A"
#define NET_MSG_CATALOG__UNKNOWN_RCV_GROUP 0u
#define NET_MSG_CATALOG__UNKNOWN_PERMISSION AUTH_PERMISSION_TECHNICIAN
#define NET_MSG_CATALOG__UNKNOWN_VERSION NET_MSG_CATALOG__V1_30

// The lists: X(type, enumerator, name, receive group, permission, version added). Names are
// sent and printed as they stand, so they are never corrected. Commands of the maker's other
// products and services are numbered in these ranges but are not listed. Where one name stands
// for two types, the later type's enumerator carries _V2.

#define NET_MSG_CATALOG__CLI(X) \
    X(4001, ADD_VOL, "add_volume", 18, 5, V1_30)                                                               \
    X(4002, REMOVE_VOLUME, "remove_volume", 18, 5, V1_30)                                                      \
    X(4003, ADD_PELLAR, "add_pellar", 16, 2, V1_30)                                                            \
    X(4004, REMOVE_PELLAR, "remove_pellar", 10, 2, V1_30)                                                      \
    X(4005, ADD_PELLAR_DEVICE, "add_pellar_device", 16, 2, V1_30)                                              \
    X(4006, REMOVE_PELLAR_DEVICE, "remove_pellar_device", 10, 2, V1_30)                                        \
    X(4007, ABORT_REMOVE_PELLAR, "abort_remove_pellar", 10, 2, V1_30)                                          \
    X(4008, MAP_VOLUME_TO_QUILLET, "map_volume_to_quillet", 18, 5, V1_30)                                      \
    X(4009, UNMAP_VOLUME_FROM_QUILLET, "unmap_volume_from_quillet", 18, 5, V1_30)                              \
    X(4010, RENAME_PELLAR, "rename_pellar", 17, 2, V1_30)                                                      \
    X(4011, RENAME_VOLUME, "rename_volume", 17, 5, V1_30)                                                      \
    X(4012, CLEAR_PELLAR_DEVICE_ERROR, "clear_pellar_device_error", 10, 2, V1_30)                              \
    X(4014, MODIFY_VOLUME_CAPACITY, "modify_volume_capacity", 10, 5, V1_30)                                    \
    X(4015, MODIFY_PELLAR_DEVICE_CAPACITY, "modify_pellar_device_capacity", 10, 2, V1_30)                      \
    X(4016, ABORT_REMOVE_PELLAR_DEVICE, "abort_remove_pellar_device", 10, 2, V1_30)                            \
    X(4017, ADD_PROTECTION_DOMAIN, "add_protection_domain", 17, 2, V1_30)                                      \
    X(4018, REMOVE_PROTECTION_DOMAIN, "remove_protection_domain", 10, 2, V1_30)                                \
    X(4019, RENAME_PROTECTION_DOMAIN, "rename_protection_domain", 17, 2, V1_30)                                \
    X(4020, SET_OBFUSCATION_PROPERTIES, "set_obfuscation_properties", 17, 5, V1_30)                            \
    X(4021, SET_PELLAR_NETWORK_LIMITS, "set_pellar_network_limits", 10, 2, V1_30)                              \
    X(4022, MODIFY_QUILLET_VOLUME_LIMIT, "modify_quillet_volume_limit", 10, 5, V1_30)                          \
    X(4023, SET_DRL_PROPERTIES, "set_drl_properties", 10, 2, V1_30)                                            \
    X(4024, ADD_SCSI_INITIATOR, "add_scsi_initiator", 10, 5, V1_30)                                            \
    X(4025, REMOVE_SCSI_INITIATOR, "remove_scsi_initiator", 10, 5, V1_30)                                      \
    X(4026, MAP_VOL_TO_SCSI_INITIATOR, "map_vol_to_scsi_initiator", 18, 5, V1_30)                              \
    X(4027, UNMAP_VOL_FROM_SCSI_INITIATOR, "unmap_vol_from_scsi_initiator", 18, 5, V1_30)                      \
    X(4028, SCSI_RESET_TEST, "scsi_reset_test", 10, 5, V1_30)                                                  \
    X(4029, SCSI_RESERVE_TEST, "scsi_reserve_test", 10, 5, V1_30)                                              \
    X(4030, SCSI_RELEASE_TEST, "scsi_release_test", 10, 5, V1_30)                                              \
    X(4031, ACTIVATE_PELLAR_DEV, "activate_pellar_dev", 10, 2, V1_30)                                          \
    X(4032, START_DEVICE_TEST, "start_device_test", 10, 2, V1_30)                                              \
    X(4033, SNAPSHOT_VOLUME, "snapshot_volume", 10, 5, V1_30)                                                  \
    X(4034, SNAPSHOT_REVERT, "snapshot_revert", 10, 5, V1_30)                                                  \
    X(4035, CUSTOM_EVENT, "custom_event", 10, 1, V1_30)                                                        \
    X(4038, MODIFY_PELLAR_PORT, "modify_pellar_port", 10, 2, V1_30)                                            \
    X(4039, ADD_STORAGE_POOL, "add_storage_pool", 17, 2, V1_30)                                                \
    X(4040, REMOVE_STORAGE_POOL, "remove_storage_pool", 10, 2, V1_30)                                          \
    X(4041, RENAME_STORAGE_POOL, "rename_storage_pool", 17, 2, V1_30)                                          \
    X(4042, REMOVE_QUILLET, "remove_quillet", 10, 5, V1_30)                                                    \
    X(4044, REMOVE_SNAP_GROUP, "remove_snap_group", 10, 5, V1_30)                                              \
    X(4045, ADD_PELLAR_IP, "add_pellar_ip", 10, 2, V1_30)                                                      \
    X(4046, REMOVE_PELLAR_IP, "remove_pellar_ip", 10, 2, V1_30)                                                \
    X(4047, DEBUG_ACTION, "debug_action", 17, 1, V1_30)                                                        \
    X(4048, MODIFY_SPARE_POLICY, "modify_spare_policy", 10, 2, V1_30)                                          \
    X(4049, SET_CAP_ALRT_THRESHOLD, "set_cap_alrt_threshold", 10, 2, V1_30)                                    \
    X(4050, MODIFY_REBUILD_MIGRATION_PARALLELISM, "modify_rebuild_migration_parallelism", 10, 2, V1_30)        \
    X(4051, MODIFY_PELLAR_IP_ROLE, "modify_pellar_ip_role", 10, 2, V1_30)                                      \
    X(4053, START_PELLAR_NET_TEST, "start_pellar_net_test", 10, 2, V1_30)                                      \
    X(4056, ACTIVATE_PROTECTION_DOMAIN, "activate_protection_domain", 10, 2, V1_30)                            \
    X(4057, INACTIVATE_PROTECTION_DOMAIN, "inactivate_protection_domain", 10, 2, V1_30)                        \
    X(4058, ADD_FAULT_SET, "add_fault_set", 10, 2, V1_30)                                                      \
    X(4059, REMOVE_FAULT_SET, "remove_fault_set", 10, 2, V1_30)                                                \
    X(4060, CLEAR_FAULT_SET, "clear_fault_set", 10, 2, V1_30)                                                  \
    X(4061, ENABLE_FAULT_SET, "enable_fault_set", 10, 2, V1_30)                                                \
    X(4062, DISABLE_FAULT_SET, "disable_fault_set", 10, 2, V1_30)                                              \
    X(4063, ADD_PELLAR_TO_FAULT_SET, "add_pellar_to_fault_set", 10, 2, V1_30)                                  \
    X(4064, REMOVE_PELLAR_FROM_FAULT_SET, "remove_pellar_from_fault_set", 10, 2, V1_30)                        \
    X(4065, RENAME_FAULT_SET, "rename_fault_set", 17, 2, V1_30)                                                \
    X(4066, SET_RAMCACHE_FROZEN, "set_ramcache_frozen", 10, 2, V1_30)                                          \
    X(4067, SET_RAMCACHE_ENABLED, "set_ramcache_enabled", 10, 2, V1_30)                                        \
    X(4068, PURGE_RAMCACHE, "purge_ramcache", 10, 2, V1_30)                                                    \
    X(4069, SET_PELLAR_RAMCACHE_SIZE, "set_pellar_ramcache_size", 10, 2, V1_30)                                \
    X(4070, SET_REBUILD_THROTTLE_POLICY, "set_rebuild_throttle_policy", 10, 2, V1_30)                          \
    X(4071, SET_REBALANCE_THROTTLE_POLICY, "set_rebalance_throttle_policy", 10, 2, V1_30)                      \
    X(4072, SET_REBUILD_MODE, "set_rebuild_mode", 10, 2, V1_30)                                                \
    X(4073, SET_REBALANCE_MODE, "set_rebalance_mode", 10, 2, V1_30)                                            \
    X(4074, RENAME_QUILLET, "rename_quillet", 17, 5, V1_30)                                                    \
    X(4075, RENAME_SYSTEM, "rename_system", 17, 2, V1_30)                                                      \
    X(4076, RENAME_DEVICE, "rename_device", 17, 2, V1_30)                                                      \
    X(4077, UPDATE_DEVICE_ORIGINAL_PATH, "update_device_original_path", 17, 2, V1_30)                          \
    X(4079, SET_PERFORMANCE_PARAMETERS, "set_performance_parameters", 10, 2, V2_0)                             \
    X(4080, SET_OSCILLATING_FAILURE_COUNTER_PARAMETERS, "set_oscillating_failure_counter_parameters", 10, 2, V2_0) \
    X(4081, RESET_OSCILLATING_FAILURE_COUNTERS, "reset_oscillating_failure_counters", 10, 2, V2_0)             \
    X(4100, QUERY_PELLAR, "query_pellar", 15, 1, V1_30)                                                        \
    X(4101, QUERY_ALL, "query_all", 15, 1, V1_30)                                                              \
    X(4102, QUERY_ALL_QUILLETS, "query_all_quillets", 15, 1, V1_30)                                            \
    X(4103, QUERY_ALL_VOLS, "query_all_vols", 15, 1, V1_30)                                                    \
    X(4104, QUERY_ALL_PELLARS, "query_all_pellars", 15, 1, V1_30)                                              \
    X(4107, QUERY_PROTECTION_DOMAIN, "query_protection_domain", 15, 1, V1_30)                                  \
    X(4108, QUERY_QUILLET_VOL_LIMIT, "query_quillet_vol_limit", 15, 1, V1_30)                                  \
    X(4109, QUERY_LATENCY_METERS, "query_latency_meters", 15, 1, V1_30)                                        \
    X(4110, QUERY_DEV_LATENCY_METERS, "query_dev_latency_meters", 15, 1, V1_30)                                \
    X(4111, QUERY_PELLAR_NET_TEST, "query_pellar_net_test", 15, 1, V1_30)                                      \
    X(4112, QUERY_ALL_SCSI_INITIATORS, "query_all_scsi_initiators", 15, 1, V1_30)                              \
    X(4113, QUERY_DEVICE_TEST_RESULTS, "query_device_test_results", 15, 1, V1_30)                              \
    X(4114, QUERY_VOLUME_TREE, "query_volume_tree", 15, 1, V1_30)                                              \
    X(4116, QUERY_POLL, "query_poll", 15, 1, V1_30)                                                            \
    X(4117, QUERY_PROPERTIES, "query_properties", 15, 1, V1_30)                                                \
    X(4118, QUERY_VOL_TO_SCSI_INITIATOR, "query_vol_to_scsi_initiator", 15, 1, V1_30)                          \
    X(4119, QUERY_CLUSTER_OSTREL, "query_cluster_ostrel", 15, 0, V1_30)                                        \
    X(4120, QUERY_SINGLE_OBJECT, "query_single_object", 15, 1, V1_30)                                          \
    X(4121, QUERY_MULTIPLE_OBJECTS, "query_multiple_objects", 15, 1, V1_30)                                    \
    X(4122, QUERY_PROTECTION_DOMAIN_NETWORK, "query_protection_domain_network", 15, 1, V1_30)                  \
    X(4123, QUERY_ALL_PROTO, "query_all_proto", 15, 1, V1_30)                                                  \
    X(4124, QUERY_FAULT_SET, "query_fault_set", 15, 1, V1_30)                                                  \
    X(4125, QUERY_ALL_FAULT_SETS, "query_all_fault_sets", 15, 1, V1_30)                                        \
    X(4126, QUERY_PROTECTION_DOMAIN_PROTO, "query_protection_domain_proto", 15, 1, V1_30)                      \
    X(4127, QUERY_STORAGE_POOL_PROTO, "query_storage_pool_proto", 15, 1, V1_30)                                \
    X(4128, QUERY_ALL_VOLUMES, "query_all_volumes", 15, 1, V1_30)                                              \
    X(4129, QUERY_VOLUME, "query_volume", 15, 1, V1_30)                                                        \
    X(4130, QUERY_VOLUME_QUILLET_BWC, "query_volume_quillet_bwc", 15, 1, V1_30)                                \
    X(4131, QUERY_ALL_APPROVED_QUILLETS, "query_all_approved_quillets", 15, 1, V1_30)                          \
    X(4132, QUERY_QUILLET, "query_quillet", 15, 1, V1_30)                                                      \
    X(4133, QUERY_OSCILLATING_NETWORK_COUNTERS, "query_oscillating_network_counters", 15, 1, V1_30)            \
    X(4201, ADD_TB, "add_tb", 33, 2, V1_30)                                                                    \
    X(4202, REMOVE_TB, "remove_tb", 33, 2, V1_30)                                                              \
    X(4203, ADD_SECONDARY_OSTREL, "add_secondary_ostrel", 33, 2, V1_30)                                        \
    X(4204, REMOVE_SECONDARY_OSTREL, "remove_secondary_ostrel", 33, 2, V1_30)                                  \
    X(4205, ADD_PRIMARY_OSTREL, "add_primary_ostrel", 33, 0, V1_30)                                            \
    X(4206, SWITCH_TO_CLUSTER_MODE, "switch_to_cluster_mode", 33, 2, V1_30)                                    \
    X(4207, SWITCH_TO_SINGLE_MODE, "switch_to_single_mode", 33, 2, V1_30)                                      \
    X(4211, SWITCH_OSTREL_OWNERSHIP, "switch_ostrel_ownership", 33, 2, V1_30)                                  \
    X(4212, RESCUE_MODE, "rescue_mode", 33, 4, V1_30)                                                          \
    X(4213, QUERY_CLUSTER, "query_cluster", 33, 0, V1_30)                                                      \
    X(4214, MODIFY_ZERO_PADDING_POLICY, "modify_zero_padding_policy", 17, 2, V1_30)                            \
    X(4215, SET_USE_RAMCACHE, "set_use_ramcache", 17, 2, V1_30)                                                \
    X(4216, SET_RAMCACHE_WRITE_HANDLING_MODE, "set_ramcache_write_handling_mode", 17, 2, V1_30)                \
    X(4217, MODIFY_MANAGEMENT_IP, "modify_management_ip", 33, 2, V1_30)                                        \
    X(4218, START_REMOTE_SYSLOG, "start_remote_syslog", 10, 2, V1_30)                                          \
    X(4219, STOP_REMOTE_SYSLOG, "stop_remote_syslog", 10, 2, V1_30)                                            \
    X(4220, SET_SYSLOG_FACILITY, "set_syslog_facility", 10, 2, V1_30)                                          \
    X(4221, SET_REMOTE_READ_ONLY_LIMIT_STATE, "set_remote_read_only_limit_state", 8, 3, V1_30)                 \
    X(4222, QUERY_REMOTE_READ_ONLY_LIMIT_STATE, "query_remote_read_only_limit_state", 8, 1, V1_30)             \
    X(4223, SET_THICK_VOLUME_PERCENT, "set_thick_volume_percent", 10, 2, V1_30)                                \
    X(4224, SET_VOL_USE_RAMCACHE, "set_vol_use_ramcache", 10, 2, V1_30)                                        \
    X(4225, SET_TRACE_COMPONENT_FREQ, "set_trace_component_freq", 10, 2, V1_30)                                \
    X(4226, SET_TRACE_FREQ_MAP, "set_trace_freq_map", 10, 2, V1_30)                                            \
    X(4227, QUERY_TRACE_FREQ_MAP, "query_trace_freq_map", 10, 1, V1_30)                                        \
    X(4228, RESET_DIAG_COUNTERS, "reset_diag_counters", 10, 2, V1_30)                                          \
    X(4229, SET_MANAGER_ID, "set_manager_id", 10, 2, V1_30)                                                    \
    X(4230, ENABLE_DATA_INTEGRITY_SCANNER, "enable_data_integrity_scanner", 10, 2, V1_30)                      \
    X(4231, DISABLE_DATA_INTEGRITY_SCANNER, "disable_data_integrity_scanner", 10, 2, V1_30)                    \
    X(4232, RESET_DEVICE_ERROR_COUNTERS, "reset_device_error_counters", 10, 2, V1_30)                          \
    X(4233, SET_CHECKSUM_MODE, "set_checksum_mode", 18, 2, V2_0)                                               \
    X(4234, RENAME_OSTREL, "rename_ostrel", 33, 2, V2_0)                                                       \
    X(4235, MODIFY_VIRTUAL_IP_INTERFACES, "modify_virtual_ip_interfaces", 33, 2, V2_0_10000)                   \
    X(4236, MODIFY_VIRTUAL_IPS, "modify_virtual_ips", 33, 2, V2_0_10000)                                       \
    X(4298, SET_CLI_PASSWORD_ACCEPTANCE, "set_cli_password_acceptance", 8, 3, V1_30)                           \
    X(4299, LOGIN_ON_BEHALF, "login_on_behalf", 8, 3, V1_30)                                                   \
    X(4300, LOGIN, "login", 8, 0, V1_30)                                                                       \
    X(4301, LOGOUT, "logout", 8, 0, V1_30)                                                                     \
    X(4302, ADD_USER, "add_user", 8, 3, V1_30)                                                                 \
    X(4303, QUERY_USERS, "query_users", 15, 3, V1_30)                                                          \
    X(4304, DELETE_USER, "delete_user", 8, 3, V1_30)                                                           \
    X(4305, MODIFY_USER, "modify_user", 8, 3, V1_30)                                                           \
    X(4306, SET_PASSWORD, "set_password", 8, 0, V1_30)                                                         \
    X(4307, RESET_PASSWORD, "reset_password", 8, 3, V1_30)                                                     \
    X(4308, RESET_ADMIN, "reset_admin", 8, 4, V1_30)                                                           \
    X(4309, QUERY_USER, "query_user", 15, 3, V1_30)                                                            \
    X(4310, SET_RESTRICTED_QUILLET_MODE, "set_restricted_quillet_mode", 17, 5, V1_30)                          \
    X(4311, QUERY_RESTRICTED_QUILLET_MODE, "query_restricted_quillet_mode", 15, 1, V1_30)                      \
    X(4312, FORCE_COMPLETE_VTREE_REMOVAL, "force_complete_vtree_removal", 18, 2, V1_30)                        \
    X(4313, QUERY_DELETED_VOLUMES, "query_deleted_volumes", 15, 1, V1_30)                                      \
    X(4315, ADD_QUILLET, "add_quillet", 17, 5, V1_30)                                                          \
    X(4316, QUERY_DEVICE_ERRORS, "query_device_errors", 15, 1, V1_30)                                          \
    X(4317, QUERY_PELLAR_FAILURES, "query_pellar_failures", 15, 1, V1_30)                                      \
    X(4318, QUERY_DIAG_COUNTERS, "query_diag_counters", 15, 1, V1_30)                                          \
    X(4319, DISABLE_ADMIN, "disable_admin", 8, 3, V1_30)                                                       \
    X(4351, QUERY_VERSION, "query_version", 9, 0, V1_30)                                                       \
    X(4352, QUERY_REMOTE_SYSLOG_COUNTERS, "query_remote_syslog_counters", 15, 1, V1_30)                        \
    X(4363, START_UPGRADE, "start_upgrade", 10, 2, V1_30)                                                      \
    X(4364, ABORT_UPGRADE, "abort_upgrade", 10, 2, V1_30)                                                      \
    X(4365, FINALIZE_UPGRADE, "finalize_upgrade", 10, 2, V1_30)                                                \
    X(4366, ALLOW_COMMANDS_DURING_UPGRADE, "allow_commands_during_upgrade", 10, 2, V1_30)                      \
    X(4367, QUERY_OBJECTS, "query_objects", 15, 1, V1_30)                                                      \
    X(4368, ENTER_MAINTENANCE_MODE, "enter_maintenance_mode", 10, 2, V2_0)                                     \
    X(4369, EXIT_MAINTENANCE_MODE, "exit_maintenance_mode", 10, 2, V2_0)                                       \
    X(4370, SET_FLCACHE_PARAMETERS, "set_flcache_parameters", 10, 2, V2_0)                                     \
    X(4371, ADD_PELLAR_FLCACHE_DEVICE, "add_pellar_flcache_device", 16, 2, V2_0)                               \
    X(4372, REMOVE_PELLAR_FLCACHE_DEVICE, "remove_pellar_flcache_device", 16, 2, V2_0)                         \
    X(4373, CLEAR_FLCACHE_ERROR, "clear_flcache_error", 16, 2, V2_0)                                           \
    X(4374, UPDATE_PELLAR_FLCACHE_DEVICE_ORIGINAL_PATH, "update_pellar_flcache_device_original_path", 17, 2, V2_0) \
    X(4375, SET_FLCACHE_USAGE, "set_flcache_usage", 16, 2, V2_0)                                               \
    X(4376, ENABLE_PELLAR_FLCACHE, "enable_pellar_flcache", 16, 2, V2_0)                                       \
    X(4377, DISABLE_PELLAR_FLCACHE, "disable_pellar_flcache", 16, 2, V2_0)                                     \
    X(4378, ENABLE_CON_MATRIX_BYPASS, "enable_con_matrix_bypass", 10, 2, V2_0)                                 \
    X(4379, DISABLE_CON_MATRIX_BYPASS, "disable_con_matrix_bypass", 10, 2, V2_0)                               \
    X(4380, CREATE_OSTREL_CLUTER, "create_ostrel_cluter", 33, 0, V1_30)                                        \
    X(4381, ADD_STANDBY_OSTREL, "add_standby_ostrel", 33, 2, V1_30)                                            \
    X(4382, REMOVE_STANDBY_OSTREL, "remove_standby_ostrel", 33, 2, V1_30)                                      \
    X(4383, SWITCH_CLUSTER_MODE, "switch_cluster_mode", 33, 2, V1_30)                                          \
    X(4384, REPLACE_CLUSTER_OSTREL, "replace_cluster_ostrel", 33, 2, V1_30)                                    \
    X(4385, SWITCH_OSTREL_OWNERSHIP_V2, "switch_ostrel_ownership", 33, 2, V1_30)                               \
    X(4386, SET_MANAGEMENT_CLIENT_COMMUNICATION, "set_management_client_communication", 33, 6, V2_0)           \
    X(4387, GENERATE_OSTREL_CSR_FILE, "generate_ostrel_csr_file", 33, 6, V2_0)                                 \
    X(4388, GENERATE_OSTREL_CERTIFICATE, "generate_ostrel_certificate", 33, 6, V2_0)                           \
    X(4389, REPLACE_OSTREL_SECURITY_FILES, "REPLACE_ostrel_security_files", 33, 6, V2_0)                       \
    X(4390, QUERY_CLUSTER_OSTREL_V2, "query_cluster_ostrel", 15, 0, V1_30)                                     \
    X(4391, QUERY_CLUSTER_V2, "query_cluster", 33, 0, V1_30)                                                   \
    X(4392, REFRESH_OSTREL_CLUSTER_CAPABILITIES, "refresh_ostrel_cluster_capabilities", 33, 2, V2_0)           \
    X(4393, DISABLE_SECURE_COMMUNICATION, "disable_secure_communication", 33, 4, V2_0)                         \
    X(4394, SET_GUID_DISPLAY_MODE, "set_guid_display_mode", 10, 2, V1_30)                                      \
    X(4395, SET_COMPONENT_AUTHENTICATION_PROPERTIES, "set_component_authentication_properties", 10, 6, V2_0)   \
    X(4396, GENERATE_CERTIFICATE, "generate_certificate", 10, 6, V2_0)                                         \
    X(4397, SET_USER_AUTHENTICATION_METHOD, "set_user_authentication_method", 8, 6, V2_0)                      \
    X(4398, ADD_LDAP_SERVICE, "add_ldap_service", 8, 6, V2_0)                                                  \
    X(4399, DELETE_LDAP_SERVICE, "delete_ldap_service", 8, 6, V2_0)                                            \
    X(4400, ASSIGN_ROLE_TO_LDAP_GROUP, "assign_role_to_ldap_group", 8, 6, V2_0)                                \
    X(4401, QUERY_USER_AUTHENTICATION_PROPERTIES, "query_user_authentication_properties", 15, 1, V2_0)         \
    X(4402, RENAME_PELLAR_FLCACHE_DEVICE, "rename_pellar_flcache_device", 17, 2, V2_0)                         \
    X(4403, RENAME_LDAP_SERVICE, "rename_ldap_service", 8, 6, V2_0)                                            \
    X(4404, REMOVE_LDAP_GROUP, "remove_ldap_group", 8, 6, V2_0)                                                \
    X(4405, SET_QUILLET_VOLUME_USAGE, "set_quillet_volume_usage", 18, 5, V2_0)                                 \
    X(4406, QUERY_SYSTEM_LIMITS, "query_system_limits", 15, 1, V2_0)                                           \
    X(4407, QUERY_LOGIN_BANNER, "query_login_banner", 15, 0, V1_30)                                            \
    X(4408, SET_LOGIN_BANNER, "set_login_banner", 10, 2, V2_0_10000)                                           \
    X(4409, SET_CLI_LOGIN_BANNER_PREEMPTIVE_ACCEPTANCE, "set_cli_login_banner_preemptive_acceptance", 10, 6, V2_0_10000) \
    X(4410, SET_PELLAR_DEVICE_LED, "set_pellar_device_led", 16, 2, V2_0_10000)                                 \
    X(4411, QUERY_PELLAR_DEVICE, "query_pellar_device", 15, 1, V2_0_10000)                                     \
    X(4412, QUERY_PELLAR_DEVICE_INFO, "query_pellar_device_info", 15, 1, V2_0_10000)

#define NET_MSG_CATALOG__YARRIN(X) \
    X(7001, UPLOAD_PACKAGE, "UPLOAD_PACKAGE", 5, 3, V1_30)                                                     \
    X(7002, INSTALL_PACKAGE, "INSTALL_PACKAGE", 5, 3, V1_30)                                                   \
    X(7003, UNINSTALL_PACKAGE, "UNINSTALL_PACKAGE", 5, 3, V1_30)                                               \
    X(7004, GET_DISKS, "GET_DISKS", 5, 1, V1_30)                                                               \
    X(7005, GET_INSTALLED_COMPONENTS, "GET_INSTALLED_COMPONENTS", 5, 1, V1_30)                                 \
    X(7006, GET_LINUX_FLAVOUR, "GET_LINUX_FLAVOUR", 5, 1, V1_30)                                               \
    X(7007, GET_OS, "GET_OS", 5, 1, V1_30)                                                                     \
    X(7008, GET_INFO, "GET_INFO", 5, 1, V1_30)                                                                 \
    X(7009, CONFIGURE_CALL_HOME, "CONFIGURE_CALL_HOME", 5, 3, V1_30)                                           \
    X(7010, UPDATE_CONF, "UPDATE_CONF", 5, 3, V1_30)                                                           \
    X(7011, SET_INSTALLATION_ID, "SET_INSTALLATION_ID", 5, 3, V1_30)                                           \
    X(7012, PREPARE_DISK, "PREPARE_DISK", 5, 3, V1_30)                                                         \
    X(7013, IS_UPGRADE_FAILED, "IS_UPGRADE_FAILED", 5, 1, V1_30)                                               \
    X(7014, GET_YARRIN_ID, "GET_YARRIN_ID", 5, 1, V1_30)                                                       \
    X(7015, IS_PYTHON_INSTALLED, "IS_PYTHON_INSTALLED", 5, 1, V1_30)                                           \
    X(7016, GET_FREE_DISK_SPACE, "GET_FREE_DISK_SPACE", 5, 1, V1_30)                                           \
    X(7017, START_SERVICE, "START_SERVICE", 5, 3, V1_30)                                                       \
    X(7018, STOP_SERVICE, "STOP_SERVICE", 5, 3, V1_30)                                                         \
    X(7019, UPLOAD_ROLLBACK_PACKAGE, "UPLOAD_ROLLBACK_PACKAGE", 5, 3, V1_30)                                   \
    X(7020, INSTALL_ROLLBACK_PACKAGE, "INSTALL_ROLLBACK_PACKAGE", 5, 3, V1_30)                                 \
    X(7021, GET_IP_ADDRESSES, "GET_IP_ADDRESSES", 5, 1, V1_30)                                                 \
    X(7022, GENERATE_YARRIN_CERTIFICATE, "GENERATE_YARRIN_CERTIFICATE", 5, 3, V1_30)                           \
    X(7023, SET_SECURITY_MODE, "SET_SECURITY_MODE", 5, 3, V1_30)                                               \
    X(7024, COLLECT_INFO, "COLLECT_INFO", 5, 1, V1_30)                                                         \
    X(7025, IMPORT_KEY, "IMPORT_KEY", 5, 3, V1_30)                                                             \
    X(7026, MODIFY_OSTREL_IP_FOR_QUILLET, "MODIFY_OSTREL_IP_FOR_QUILLET", 5, 3, V1_30)                         \
    X(7027, CREATE_ANALYZE_SYSTEM_INPUT_FILE, "CREATE_ANALYZE_SYSTEM_INPUT_FILE", 5, 1, V1_30)                 \
    X(7028, GET_LOG_FILES, "GET_LOG_FILES", 5, 1, V1_30)                                                       \
    X(7029, DOWNLOAD_FILE_SECTION, "DOWNLOAD_FILE_SECTION", 5, 1, V1_30)                                       \
    X(7030, CLEAN_LOG_FILE, "CLEAN_LOG_FILE", 5, 1, V1_30)                                                     \
    X(7031, GET_MEDIA_INFO, "GET_MEDIA_INFO", 5, 1, V1_30)                                                     \
    X(7032, CHANGE_MEDIA_LED, "CHANGE_MEDIA_LED", 5, 1, V1_30)

#define NET_MSG_CATALOG__AUTOMATION(X) \
    X(8004, SET_DEFAULT_PASSWORDS, "SET_DEFAULT_PASSWORDS", 42, 3, V1_30)                                      \
    X(8007, GET_APPLIANCE_NODES, "GET_APPLIANCE_NODES", 42, 1, V1_30)                                          \
    X(8020, TEST_VCENTER_CONNECTION, "TEST_VCENTER_CONNECTION", 42, 2, V1_30)                                  \
    X(8023, SET_NODE_IDENTIFICATION_LED, "SET_NODE_IDENTIFICATION_LED", 42, 2, V1_30)                          \
    X(8024, APPLY_NODE_POWER_OPERATION, "APPLY_NODE_POWER_OPERATION", 42, 2, V1_30)                            \
    X(8025, SEND_TEST_TRAPS_TO_SNMP_RECEIVERS, "SEND_TEST_TRAPS_TO_SNMP_RECEIVERS", 42, 2, V1_30)              \
    X(8028, QUERY_TRANSIENT_PROPERTIES, "QUERY_TRANSIENT_PROPERTIES", 42, 1, V1_30)                            \
    X(8029, SET_DISK_IDENTIFICATION_LED, "SET_DISK_IDENTIFICATION_LED", 42, 2, V1_30)                          \
    X(8099, EXTEND_WIZARD_GET_CURRENT_WIZARD_GUID, "EXTEND_WIZARD_GET_CURRENT_WIZARD_GUID", 43, 1, V1_30)      \
    X(8100, EXTEND_WIZARD_DISCOVER_NODES, "EXTEND_WIZARD_DISCOVER_NODES", 43, 2, V1_30)                        \
    X(8101, EXTEND_WIZARD_GET_CURRENT_WIZARD, "EXTEND_WIZARD_GET_CURRENT_WIZARD", 43, 1, V1_30)                \
    X(8102, EXTEND_WIZARD_START_SIMPLE_MODE, "EXTEND_WIZARD_START_SIMPLE_MODE", 43, 2, V1_30)                  \
    X(8103, EXTEND_WIZARD_ABORT, "EXTEND_WIZARD_ABORT", 43, 2, V1_30)                                          \
    X(8104, EXTEND_WIZARD_TERMINATE, "EXTEND_WIZARD_TERMINATE", 43, 2, V1_30)                                  \
    X(8105, EXTEND_WIZARD_SUBMIT_DISCOVERED_NODES_SELECTION_FORMS, "EXTEND_WIZARD_SUBMIT_DISCOVERED_NODES_SELECTION_FORMS", 43, 2, V1_30) \
    X(8106, EXTEND_WIZARD_SUBMIT_MANAGEMENT_NETWORK_FORMS, "EXTEND_WIZARD_SUBMIT_MANAGEMENT_NETWORK_FORMS", 43, 2, V1_30) \
    X(8107, EXTEND_WIZARD_RESET_MANAGEMENT_NETWORK_FORMS_TO_DEFAULT, "EXTEND_WIZARD_RESET_MANAGEMENT_NETWORK_FORMS_TO_DEFAULT", 43, 2, V1_30) \
    X(8108, EXTEND_WIZARD_SUBMIT_STORAGE_NETWORK_FORMS, "EXTEND_WIZARD_SUBMIT_STORAGE_NETWORK_FORMS", 43, 2, V1_30) \
    X(8109, EXTEND_WIZARD_RESET_STORAGE_NETWORK_FORMS_TO_DEFAULT, "EXTEND_WIZARD_RESET_STORAGE_NETWORK_FORMS_TO_DEFAULT", 43, 2, V1_30) \
    X(8110, EXTEND_WIZARD_SUBMIT_DEPLOYMENT_FORMS, "EXTEND_WIZARD_SUBMIT_DEPLOYMENT_FORMS", 43, 2, V1_30)      \
    X(8111, EXTEND_WIZARD_RESET_DEPLOYMENT_FORMS_TO_DEFAULT, "EXTEND_WIZARD_RESET_DEPLOYMENT_FORMS_TO_DEFAULT", 43, 2, V1_30) \
    X(8112, EXTEND_WIZARD_SUBMIT_CACHE_SETTINGS_FORMS, "EXTEND_WIZARD_SUBMIT_CACHE_SETTINGS_FORMS", 43, 2, V1_30) \
    X(8113, EXTEND_WIZARD_RESET_CACHE_SETTINGS_FORMS_TO_DEFAULT, "EXTEND_WIZARD_RESET_CACHE_SETTINGS_FORMS_TO_DEFAULT", 43, 2, V1_30) \
    X(8114, EXTEND_WIZARD_SUBMIT_STORAGE_SETTINGS_FORMS, "EXTEND_WIZARD_SUBMIT_STORAGE_SETTINGS_FORMS", 43, 2, V1_30) \
    X(8115, EXTEND_WIZARD_RESET_STORAGE_SETTINGS_FORMS_TO_DEFAULT, "EXTEND_WIZARD_RESET_STORAGE_SETTINGS_FORMS_TO_DEFAULT", 43, 2, V1_30) \
    X(8116, EXTEND_WIZARD_RESET_NODE_CACHE_SETTINGS_FORM_TO_DEFAULT, "EXTEND_WIZARD_RESET_NODE_CACHE_SETTINGS_FORM_TO_DEFAULT", 43, 2, V1_30) \
    X(8117, EXTEND_WIZARD_SUBMIT_PD_FS_SETTINGS_FORMS, "EXTEND_WIZARD_SUBMIT_PD_FS_SETTINGS_FORMS", 43, 2, V1_30) \
    X(8118, EXTEND_WIZARD_RESET_PD_FS_SETTINGS_FORMS_TO_DEFAULT, "EXTEND_WIZARD_RESET_PD_FS_SETTINGS_FORMS_TO_DEFAULT", 43, 2, V1_30) \
    X(8200, GET_CURRENT_UPGRADE_ID, "GET_CURRENT_UPGRADE_ID", 42, 1, V1_30)                                    \
    X(8202, GET_IM_PROCESS_STATUS, "GET_IM_PROCESS_STATUS", 42, 1, V1_30)                                      \
    X(8204, ABORT_IM_PROCESS, "ABORT_IM_PROCESS", 42, 2, V1_30)                                                \
    X(8205, SKIP_FAILED_IM_TASK, "SKIP_FAILED_IM_TASK", 42, 2, V1_30)                                          \
    X(8206, RETRY_FAILED_IM_TASK, "RETRY_FAILED_IM_TASK", 42, 2, V1_30)                                        \
    X(8250, GET_LATEST_INSTALLATION_PACKAGE_LIST, "GET_LATEST_INSTALLATION_PACKAGE_LIST", 42, 1, V1_30)        \
    X(8300, UPGRADE_VALIDATION_RUN_ALL, "UPGRADE_VALIDATION_RUN_ALL", 42, 2, V1_30)                            \
    X(8301, UPGRADE_VALIDATION_VCENTER_DRS, "UPGRADE_VALIDATION_VCENTER_DRS", 42, 2, V1_30)                    \
    X(8302, UPGRADE_VALIDATION_STORAGE_POOLS_LACKING_SPARE_CAPACITY, "UPGRADE_VALIDATION_STORAGE_POOLS_LACKING_SPARE_CAPACITY", 42, 2, V1_30) \
    X(8303, UPGRADE_VALIDATION_ALL_NODES_INSTALLATION_COMPLETE, "UPGRADE_VALIDATION_ALL_NODES_INSTALLATION_COMPLETE", 42, 2, V1_30) \
    X(8350, ADD_NODE_DEVICE, "ADD_NODE_DEVICE", 42, 2, V1_30)                                                  \
    X(8351, ADD_CACHE_CADE_CACHE_DEVICE, "ADD_CACHE_CADE_CACHE_DEVICE", 42, 2, V1_30)                          \
    X(8352, REMOVE_CACHE_CADE_CACHE_DEVICE, "REMOVE_CACHE_CADE_CACHE_DEVICE", 42, 2, V1_30)                    \
    X(8353, START_CACHING_DEVICE_USING_CACHE_CADE, "START_CACHING_DEVICE_USING_CACHE_CADE", 42, 2, V1_30)      \
    X(8354, STOP_CACHING_DEVICE_USING_CACHE_CADE, "STOP_CACHING_DEVICE_USING_CACHE_CADE", 42, 2, V1_30)        \
    X(8361, START_CACHING_STORAGE_POOL_USING_CACHE_CADE, "START_CACHING_STORAGE_POOL_USING_CACHE_CADE", 42, 2, V1_30) \
    X(8362, STOP_CACHING_STORAGE_POOL_USING_CACHE_CADE, "STOP_CACHING_STORAGE_POOL_USING_CACHE_CADE", 42, 2, V1_30) \
    X(8364, REMOVE_NODES, "REMOVE_NODES", 42, 2, V1_30)                                                        \
    X(8365, CONFIRM_FACTORY_RESET, "CONFIRM_FACTORY_RESET", 42, 2, V1_30)                                      \
    X(8366, MOVE_CLUSTER_COMPONENT, "MOVE_CLUSTER_COMPONENT", 42, 2, V1_30)                                    \
    X(8367, ABORT_REMOVE_NODES, "ABORT_REMOVE_NODES", 42, 2, V1_30)                                            \
    X(8368, START_CACHING_DEVICE, "START_CACHING_DEVICE", 42, 2, V1_30)                                        \
    X(8369, STOP_CACHING_DEVICE, "STOP_CACHING_DEVICE", 42, 2, V1_30)                                          \
    X(8370, START_CACHING_STORAGE_POOL, "START_CACHING_STORAGE_POOL", 42, 2, V1_30)                            \
    X(8371, STOP_CACHING_STORAGE_POOL, "STOP_CACHING_STORAGE_POOL", 42, 2, V1_30)                              \
    X(8372, DELETE_NODE_DEVICE_LOGICAL_DISK, "DELETE_NODE_DEVICE_LOGICAL_DISK", 42, 2, V1_30)                  \
    X(8400, START_LOG_COLLECTION, "START_LOG_COLLECTION", 42, 2, V1_30)                                        \
    X(8401, GET_LOG_COLLECTION_FILENAME, "GET_LOG_COLLECTION_FILENAME", 42, 1, V1_30)                          \
    X(8402, GET_CURRENT_LOG_COLLECTION_PROCESS_ID, "GET_CURRENT_LOG_COLLECTION_PROCESS_ID", 42, 1, V1_30)      \
    X(8403, ADD_APPLIANCE_FL_CACHE_DEVICE, "ADD_APPLIANCE_FL_CACHE_DEVICE", 42, 2, V1_30)                      \
    X(8404, REMOVE_APPLIANCE_FL_CACHE_DEVICE, "REMOVE_APPLIANCE_FL_CACHE_DEVICE", 42, 2, V1_30)                \
    X(8405, SET_OSTREL_MONITORING_USER, "SET_OSTREL_MONITORING_USER", 42, 2, V1_30)                            \
    X(8406, SET_SAMPLING_CREDENTIALS_FOR_NODE, "SET_SAMPLING_CREDENTIALS_FOR_NODE", 42, 2, V1_30)              \
    X(8409, ADD_APPLIANCE_STANDBY_OSTREL, "ADD_APPLIANCE_STANDBY_OSTREL", 42, 2, V1_30)                        \
    X(8410, REMOVE_APPLIANCE_STANDBY_OSTREL, "REMOVE_APPLIANCE_STANDBY_OSTREL", 42, 2, V1_30)                  \
    X(8412, GET_VCENTER_CERTIFICATE, "GET_VCENTER_CERTIFICATE", 42, 2, V1_30)                                  \
    X(8421, FINISH_ASYNC_PROCESS, "FINISH_ASYNC_PROCESS", 42, 2, V1_30)                                        \
    X(8424, CHANGE_STORAGE_POOL_CACHE_MODE, "CHANGE_STORAGE_POOL_CACHE_MODE", 42, 2, V1_30)                    \
    X(8425, ADD_DAS_CACHE_DEVICE, "ADD_DAS_CACHE_DEVICE", 42, 2, V1_30)                                        \
    X(8426, REMOVE_DAS_CACHE_DEVICE, "REMOVE_DAS_CACHE_DEVICE", 42, 2, V1_30)                                  \
    X(8427, START_CACHING_STORAGE_POOL_USING_DAS_CACHE, "START_CACHING_STORAGE_POOL_USING_DAS_CACHE", 42, 2, V1_30) \
    X(8428, STOP_CACHING_STORAGE_POOL_USING_DAS_CACHE, "STOP_CACHING_STORAGE_POOL_USING_DAS_CACHE", 42, 2, V1_30) \
    X(8429, CLEAR_PHYSICAL_DRIVE_ERROR, "CLEAR_PHYSICAL_DRIVE_ERROR", 42, 2, V1_30)

enum CliMsgType : UINT32 {
#define NET_MSG_CATALOG__ENUM(type, enumName, name, group, perm, version) CLI_MSG_TYPE__##enumName = (type),
    NET_MSG_CATALOG__CLI(NET_MSG_CATALOG__ENUM)
#undef NET_MSG_CATALOG__ENUM
};

enum YarrinMsgType : UINT32 {
#define NET_MSG_CATALOG__ENUM(type, enumName, name, group, perm, version) YARRIN_MSG_TYPE__##enumName = (type),
    NET_MSG_CATALOG__YARRIN(NET_MSG_CATALOG__ENUM)
#undef NET_MSG_CATALOG__ENUM
};

enum AutomationMsgType : UINT32 {
#define NET_MSG_CATALOG__ENUM(type, enumName, name, group, perm, version) AUTOMATION_MSG_TYPE__##enumName = (type),
    NET_MSG_CATALOG__AUTOMATION(NET_MSG_CATALOG__ENUM)
#undef NET_MSG_CATALOG__ENUM
};

// Every catalogued type in one list.
#define NET_MSG_CATALOG__ALL(X) NET_MSG_CATALOG__CLI(X) NET_MSG_CATALOG__YARRIN(X) NET_MSG_CATALOG__AUTOMATION(X)

// Pure functions of the type; a type outside the catalogue gets the defaults above.
const char *net_MsgTypeToString(UINT32 msgType);
UINT32 net_MsgTypeToRcvGroup(UINT32 msgType);
AuthPermission net_MsgTypeToPermission(UINT32 msgType);
UINT32 net_MsgTypeToVersionAdded(UINT32 msgType);
