// The return codes: name, value (it travels on the wire and never changes), type (who may see it)
// and description. The one source of the enumerators and of the name, description and type
// tables (mos/mos_rc.cpp); a value missing from the list prints as "MOS_RC__UNKNOWN".
#pragma once

#define MOS_RC__LIST(X) \
    X(ILLEGAL, 0, INTERNAL, "Illegal") \
    X(ERROR, 1, INTERNAL, "Error") \
    X(PENDING, 2, INTERNAL, "Pending") \
    X(NOT_FOUND, 3, INTERNAL, "Not found") \
    X(NOT_CONN, 4, INTERNAL, "Not connected") \
    X(CLOSED, 5, INTERNAL, "Internal Error #") \
    X(NOT_READY, 6, INTERNAL, "Internal Error #") \
    X(ALREADY_EXISTS, 7, INTERNAL, "Already exists") \
    X(ABORTED, 8, INTERNAL, "Internal Error #") \
    X(NO_MORE_ELEMENTS, 9, INTERNAL, "Internal Error #") \
    X(BUF_TOO_SMALL, 10, INTERNAL, "Internal Error #") \
    X(INVALID, 11, INTERNAL, "Invalid") \
    X(IO_FAULT_NOT_PRI, 12, INTERNAL, "Internal Error #") \
    X(IO_FAULT_NOT_SEC, 13, INTERNAL, "Internal Error #") \
    X(IO_FAULT_BLOCKED, 14, INTERNAL, "Internal Error #") \
    X(IO_FAULT_NO_VOL, 15, INTERNAL, "Internal Error #") \
    X(IO_FAULT_NO_COMB, 16, INTERNAL, "Internal Error #") \
    X(IO_FAULT_WRONG_VOL_GEN, 17, INTERNAL, "Internal Error #") \
    X(IO_FAULT_WRONG_COMB_GEN, 18, INTERNAL, "Internal Error #") \
    X(IO_FAULT_TEST_FAILED, 19, INTERNAL, "Internal Error #") \
    X(IO_HARD_ERROR, 20, INTERNAL, "Internal Error #") \
    X(IO_ZERO_BUF, 21, INTERNAL, "Internal Error #") \
    X(ZOMBIE, 22, INTERNAL, "Internal Error #") \
    X(NO_MAPPINGS, 23, INTERNAL, "Internal Error #") \
    X(NO_CHANGE, 24, INTERNAL, "Internal Error #") \
    X(ID_UNKNOWN, 25, INTERNAL, "Internal Error #") \
    X(INTERFACE_ERROR, 26, INTERNAL, "Interface error") \
    X(NOT_NEEDED, 27, INTERNAL, "Internal Error #") \
    X(BUSY, 28, INTERNAL, "Internal Error #") \
    X(IGNORE, 29, INTERNAL, "Internal Error #") \
    X(WRONG_STATE_TRANS, 30, INTERNAL, "Internal Error #") \
    X(TGT_WRONG_GEN_NUM, 31, INTERNAL, "Internal Error #") \
    X(RETRY, 32, INTERNAL, "Retry") \
    X(DELAYED_RETRY, 33, INTERNAL, "Internal Error #") \
    X(REMOTE_NOT_CONNECTED, 34, INTERNAL, "Internal Error #") \
    X(DEV_MOUNTED, 35, INTERNAL, "Internal Error #") \
    X(OBJECT_DELETING, 36, INTERNAL, "Internal Error #") \
    X(TGT_ADD_DEVICE_VALIDATION_FAILED, 37, CLIENT, "Storage server add device validation failed") \
    X(OLD_ACTOR_GENERATION, 38, INTERNAL, "Internal Error #") \
    X(OLD_VOTE_ID, 39, INTERNAL, "Internal Error #") \
    X(CLUSTER_DEGRADED, 40, INTERNAL, "Internal Error #") \
    X(OLD_DEGRADED_GENERATION, 41, INTERNAL, "Internal Error #") \
    X(DEGRADED_INFO_MISMATCH, 42, INTERNAL, "Internal Error #") \
    X(ACTOR_HAS_LEASE, 43, CLIENT, "Actor has lease") \
    X(ACTOR_NO_LEASE, 44, INTERNAL, "Internal Error #") \
    X(NO_DEVICES, 45, INTERNAL, "Internal Error #") \
    X(UNKNOWN_MSG, 46, CLIENT, "Unknown msg") \
    X(MIGRATE_NOT_FOUND, 47, INTERNAL, "Internal Error #") \
    X(MIGRATE_COMPLETED, 48, INTERNAL, "Internal Error #") \
    X(TOO_MANY_OBJECTS, 49, CLIENT, "Too many objects") \
    X(NO_TEST, 50, INTERNAL, "Internal Error #") \
    X(IO_FAULT_OLD_SCSI_GEN, 51, INTERNAL, "Internal Error #") \
    X(IO_FAULT_NEW_SCSI_GEN, 52, INTERNAL, "Internal Error #") \
    X(IO_FAULT_RESERVATION_CONFLICT, 53, INTERNAL, "Internal Error #") \
    X(BAD_ITL, 54, INTERNAL, "Internal Error #") \
    X(WRONG_SEC_STATE, 55, CLIENT, "Wrong sec state") \
    X(IO_FAULT_NO_SPACE, 56, INTERNAL, "Internal Error #") \
    X(IO_FAULT_QUIESCED, 57, INTERNAL, "Internal Error #") \
    X(NEED_WRITE_ACCESS, 58, INTERNAL, "Internal Error #") \
    X(WRONG_TGT_ID, 59, INTERNAL, "Internal Error #") \
    X(WRONG_COMB_CMD_GEN, 60, INTERNAL, "Internal Error #") \
    X(NO_SPARES, 61, INTERNAL, "Internal Error #") \
    X(WRONG_CMD_PARAMS, 62, CLIENT, "Wrong cmd params") \
    X(INVALID_PERCENTAGE, 63, CLIENT, "Invalid percentage") \
    X(PARAMETER_OUT_OF_RANGE, 64, INTERNAL, "Parameter out of range") \
    X(SUCCESS, 65, CLIENT, "Success") \
    X(PASSWORD_ALREADY_USED, 66, CLIENT, "Password already used") \
    X(NO_RESOURCES, 67, CLIENT, "Insufficient resources") \
    X(TIMEOUT, 68, CLIENT, "A timeout occurred") \
    X(COMMUNICATION_ERROR, 69, CLIENT, "Communication error") \
    X(WRONG_RECONF_MODE, 70, CLIENT, "Wrong reconf mode") \
    X(TGT_ADD_DEV_OPEN_ERROR, 71, CLIENT, "Storage server add device open error") \
    X(TGT_ADD_DEV_SIZE_PROBLEM, 72, CLIENT, "Storage server add device size problem") \
    X(TGT_ADD_DEV_IO_ERROR, 73, CLIENT, "Storage server add device io error") \
    X(TGT_ACTIVE_ATTACH_TO_THIS_OSTREL, 74, CLIENT, "Storage server active attach to this ostrel") \
    X(TGT_ALREADY_ATTACH_TO_THIS_OSTREL, 75, CLIENT, "Storage server already attach to this ostrel") \
    X(TGT_ACTIVE_ATTACH_TO_OTHER_OSTREL, 76, CLIENT, "Storage server active attach to other ostrel") \
    X(TGT_ALREADY_ATTACH_TO_OTHER_OSTREL, 77, CLIENT, "Storage server already attach to other ostrel") \
    X(TGT_NOT_FOUND, 78, CLIENT, "Storage server not found") \
    X(VOL_NOT_FOUND, 79, CLIENT, "Volume not found") \
    X(INI_NOT_FOUND, 80, CLIENT, "Client not found") \
    X(VOL_ALREADY_MAPPED_TO_THIS_INI, 81, CLIENT, "Volume already mapped to this client") \
    X(VOL_ALREADY_MAPPED_TO_ALL_INIS, 82, CLIENT, "Volume already mapped to all inis") \
    X(VOL_ALREADY_MAPPED_TO_SCSI, 83, CLIENT, "Volume already mapped to scsi") \
    X(VOL_NOT_MAPPED_TO_INI, 84, CLIENT, "Volume not mapped to client") \
    X(VOL_NOT_MAPPED_TO_SCSI, 85, CLIENT, "Volume not mapped to scsi") \
    X(VOL_MAPPED_TO_ALL_INIS, 86, CLIENT, "Volume mapped to all inis") \
    X(TOO_MANY_MAPPINGS, 87, CLIENT, "Too many mappings") \
    X(INVALID_VOL_ID, 88, CLIENT, "Invalid volume id") \
    X(INVALID_TGT_ID, 89, CLIENT, "Invalid storage server id") \
    X(INVALID_INI_ID, 90, CLIENT, "Invalid client id") \
    X(HOST_NOT_FOUND, 91, CLIENT, "Host not found") \
    X(DUP_HOST_NAME, 92, CLIENT, "Dup host name") \
    X(TGT_ADDR_AND_PORT_IN_USE, 93, CLIENT, "Storage server addr and port in use") \
    X(TOO_MANY_TGTS_IN_FDOM, 94, CLIENT, "Too many tgts in fdom") \
    X(TOO_MANY_TGTS, 95, CLIENT, "Too many tgts") \
    X(TOO_MANY_VOLS_IN_SP, 96, CLIENT, "Too many volumes in storage pool") \
    X(TOO_MANY_VOLS, 97, CLIENT, "Too many volumes") \
    X(TGT_NAME_IN_USE, 98, CLIENT, "Storage server name in use") \
    X(VOL_NAME_IN_USE, 99, CLIENT, "Volume name in use") \
    X(DUPLICATE_TGT_DEVICE_NAME, 100, CLIENT, "Duplicate storage server device name") \
    X(DUPLICATE_QUILLET_IP, 101, CLIENT, "Duplicate quillet IP") \
    X(TGT_NOT_UNDER_REMOVAL, 102, CLIENT, "Storage server not under removal") \
    X(TGT_BEING_REMOVED, 103, CLIENT, "Storage server being removed") \
    X(VOL_MAPPED, 104, CLIENT, "Volume mapped") \
    X(WRONG_CLUSTER_STATE, 105, CLIENT, "Wrong cluster state") \
    X(TOO_MANY_VOTERS, 106, CLIENT, "Too many voters") \
    X(VOTER_NOT_CONFIG, 107, CLIENT, "Voter not config") \
    X(PRIMARY_OSTREL_ALREADY_CONFIG, 108, CLIENT, "Primary ostrel already config") \
    X(ALREADY_IN_SINGLE_MODE, 109, CLIENT, "Already in single mode") \
    X(ALREADY_IN_CLUSTER_MODE, 110, CLIENT, "Already in cluster mode") \
    X(SECONDARY_OSTREL_NOT_CONFIG, 111, CLIENT, "Secondary ostrel not config") \
    X(SECONDARY_OSTREL_NOT_CONNECTED, 112, CLIENT, "Secondary ostrel not connected") \
    X(ERROR_CONFIG_SEC_OSTREL, 113, CLIENT, "Error config sec ostrel") \
    X(UNABLE_TO_OPEN_VIRTUAL_INTF, 114, CLIENT, "Unable to open virtual intf") \
    X(MISSING_VIRTUAL_IP, 115, CLIENT, "Missing virtual IP") \
    X(VIRTUAL_IP_ALREADY_EXIST, 116, CLIENT, "Virtual IP already exist") \
    X(UNABLE_TO_REMOVE_VIRTUAL_INTF, 117, CLIENT, "Unable to remove virtual intf") \
    X(UNABLE_TO_REMOVE_VIRTUAL_INTF_SEC_OSTREL_EXISTS, 118, CLIENT, "Unable to remove virtual intf sec ostrel exists") \
    X(UNABLE_TO_REMOVE_VIRTUAL_INTF_VOTER_EXISTS, 119, CLIENT, "Unable to remove virtual intf voter exists") \
    X(BAD_HOSTNAME, 120, CLIENT, "Bad hostname") \
    X(WRONG_ACTOR_USE_VIRTUAL, 121, CLIENT, "Wrong actor use virtual") \
    X(CMD_ONLY_IN_CLUSTER, 122, CLIENT, "Cmd only in cluster") \
    X(CMD_ONLY_IN_SINGLE, 123, CLIENT, "Cmd only in single") \
    X(CMD_ERROR_CLUSTER_DEGRADED, 124, CLIENT, "Cmd error cluster degraded") \
    X(TOO_MANY_DEVICES, 125, CLIENT, "Too many devices") \
    X(TGT_DEVICE_NOT_FOUND, 126, CLIENT, "Storage server device not found") \
    X(VOL_DECREASE_NOT_SUPPORTED, 133, CLIENT, "Volume decrease not supported") \
    X(SEC_IP_EQUAL_PRI_IP, 134, CLIENT, "Sec IP equal pri IP") \
    X(TGT_DEV_BEING_REMOVED, 135, CLIENT, "Storage server device being removed") \
    X(NOT_ENOUGH_TGT_DEV, 136, CLIENT, "Not enough storage server device") \
    X(DEV_NOT_UNDER_REMOVAL, 137, CLIENT, "Device not under removal") \
    X(TGT_ALREADY_ADDING_DEV, 138, CLIENT, "Storage server already adding device") \
    X(INVALID_DEV_ID, 139, CLIENT, "Invalid device id") \
    X(TOO_MANY_FDS, 140, CLIENT, "Too many fds") \
    X(FD_NAME_IN_USE, 141, CLIENT, "Fault domain name in use") \
    X(FD_NOT_FOUND, 142, CLIENT, "Fault domain not found") \
    X(FD_HAS_TGTS, 143, CLIENT, "Fault domain has tgts") \
    X(NOT_ENOUGH_TGTS_IN_STORAGE_POOL, 144, CLIENT, "Not enough tgts in storage pool") \
    X(REMOVE_IN_PROGRESS, 145, CLIENT, "Remove in progress") \
    X(ENCRYPTION_AT_REST_ALREADY_ENABLED, 146, CLIENT, "Encryption at rest already enabled") \
    X(ENCRYPTION_AT_REST_ALREADY_DISABLED, 147, CLIENT, "Encryption at rest already disabled") \
    X(NET_TEST_NOT_FOUND, 148, CLIENT, "Net test not found") \
    X(NET_TEST_IN_PROGRESS, 149, CLIENT, "Net test in progress") \
    X(TOO_MANY_SCSI_INTIATORS, 150, CLIENT, "Too many scsi intiators") \
    X(SCSI_WITH_NAME_ALREADY_EXISTS, 151, CLIENT, "Scsi with name already exists") \
    X(ISCSI_WITH_IQN_ALRADY_EXISTS, 152, CLIENT, "Iscsi with iqn alrady exists") \
    X(LUN_NUM_BUSY, 153, CLIENT, "Lun num busy") \
    X(NO_MORE_LUN_NUM_AVAILABLE, 154, CLIENT, "No more lun num available") \
    X(SCSI_INITIATOR_NOT_FOUND, 155, CLIENT, "Scsi initiator not found") \
    X(SCSI_INITIATOR_IS_MAPPED, 156, CLIENT, "Scsi initiator is mapped") \
    X(DRL_ALREADY_HARDENED, 157, CLIENT, "Drl already hardened") \
    X(DRL_ALREADY_MEM_ONLY, 158, CLIENT, "Drl already mem only") \
    X(TGT_DEV_ALREADY_ACTIVE, 160, CLIENT, "Storage server device already active") \
    X(TGT_DEV_WRONG_TEST_MODE, 161, CLIENT, "Storage server device wrong test mode") \
    X(TGT_DEV_WRONG_TEST_STATE, 162, CLIENT, "Storage server device wrong test state") \
    X(TGT_DEV_TEST_IN_PROGRESS, 163, CLIENT, "Storage server device test in progress") \
    X(VOL_ALLOC_ERROR_BUSY, 164, CLIENT, "Volume alloc error busy") \
    X(CAPACITY_HIGHLY_UNBALANCED, 165, CLIENT, "Capacity highly unbalanced") \
    X(VOL_CREATE_FAIL, 166, CLIENT, "Volume create fail") \
    X(INVALID_PASSWORD, 167, CLIENT, "Invalid password") \
    X(NO_PERMISSIONS, 168, CLIENT, "No permissions") \
    X(TOO_MANY_STORAGE_POOLS_IN_PROTECTION_DOMAIN, 169, CLIENT, "Too many storage pools in protection domain") \
    X(STORAGE_POOL_ALREADY_EXISTS, 170, CLIENT, "Storage pool already exists") \
    X(STORAGE_POOL_NOT_FOUND, 171, CLIENT, "Storage pool not found") \
    X(STORAGE_POOL_HAS_DEVS, 172, CLIENT, "Storage pool has devs") \
    X(STORAGE_POOL_NAME_ALREADY_EXISTS, 173, CLIENT, "Storage pool name already exists") \
    X(INVALID_STORAGE_POOL_ID, 174, CLIENT, "Invalid storage pool id") \
    X(DEFAULT_STORAGE_POOL_CAN_NOT_BE_REMOVED, 175, CLIENT, "Default storage pool can not be removed") \
    X(FD_HAS_STORAGE_POOLS, 176, CLIENT, "Fault domain has storage pools") \
    X(INSTALL_ID_MISMATCH, 177, CLIENT, "Install id mismatch") \
    X(CUSTOMER_ID_MISMATCH, 178, CLIENT, "Customer id mismatch") \
    X(INI_HAS_MAPPINGS, 180, CLIENT, "Client has mappings") \
    X(TOO_MANY_VOLS_IN_VTREE, 181, CLIENT, "Too many volumes in vtree") \
    X(TOO_MANY_SNAPS_IN_VTREE, 182, CLIENT, "Too many snaps in vtree") \
    X(NOTHING_TO_DO, 183, CLIENT, "Nothing to do") \
    X(TOO_MANY_DEVICES_IN_STORAGE_POOL, 184, CLIENT, "Too many devices in storage pool") \
    X(VOL_NOT_FOUND_FOR_SNAP_GROUP, 185, CLIENT, "Volume not found for snap group") \
    X(TOO_MANY_IPS, 186, CLIENT, "Too many IPS") \
    X(LAST_IP, 187, CLIENT, "Last IP") \
    X(NO_DEFAULT_STORAGE_POOL, 188, CLIENT, "No default storage pool") \
    X(VTREE_SIZE_UNAVAILABLE, 189, CLIENT, "Vtree size unavailable") \
    X(VOL_SIZE_TOO_LARGE, 190, CLIENT, "Volume size too large") \
    X(CAPACITY_TOO_LOW_FOR_SNAP, 191, CLIENT, "Capacity too low for snap") \
    X(IP_BELONGS_TO_OTHER_TGT, 192, CLIENT, "IP belongs to other storage server") \
    X(TGT_IP_NOT_FOUND, 193, CLIENT, "Storage server IP not found") \
    X(INVALID_PORT, 194, CLIENT, "Invalid port") \
    X(BAD_THRESHOLD_VALUE, 195, CLIENT, "Bad threshold value") \
    X(STORAGE_POOL_HAS_VOLS, 196, CLIENT, "Storage pool has volumes") \
    X(FD_AND_SP_MISMATCH, 197, CLIENT, "Fault domain and storage pool mismatch") \
    X(VTREE_ID_MISMATCH, 198, CLIENT, "Vtree id mismatch") \
    X(TGT_MUST_HAVE_TGT_IP_ROLE, 199, CLIENT, "Storage server must have storage server IP role") \
    X(TGT_IP_ALREADY_EXISTS, 200, CLIENT, "Storage server IP already exists") \
    X(ROLE_ALREADY_SET, 201, CLIENT, "Role already set") \
    X(CLUSTER_ID_MISMATCH, 202, CLIENT, "Cluster id mismatch") \
    X(BAD_THROTTLING_VALUE, 203, CLIENT, "Bad throttling value") \
    X(IO_FAULT_VOL_NOT_THIN, 204, INTERNAL, "Internal Error #") \
    X(IO_FAULT_VOL_HAS_SNAPSHOTS, 205, INTERNAL, "Internal Error #") \
    X(DEV_NAME_ALREADY_EXISTS, 206, CLIENT, "Device name already exists") \
    X(DEV_SIZE_TOO_SMALL, 207, CLIENT, "Device size too small") \
    X(DEV_SIZE_TOO_LARGE, 208, CLIENT, "Device size too large") \
    X(NO_RESULTS_RETURNED, 209, CLIENT, "No results returned") \
    X(SECONDARY_OSTREL_ALREADY_EXISTS, 210, CLIENT, "Secondary ostrel already exists") \
    X(SECONDARY_OSTREL_COMMUNICATION_ERROR, 211, CLIENT, "Secondary ostrel communication error") \
    X(VOL_REMOVE_IN_PROGRESS, 212, CLIENT, "Volume remove in progress") \
    X(FD_NOT_ACTIVE, 213, CLIENT, "Fault domain not active") \
    X(IO_FAULT_IS_QUIESCED, 214, INTERNAL, "Internal Error #") \
    X(NO_TGTS_IN_FD, 215, CLIENT, "No tgts in fault domain") \
    X(FD_CAPACITY_NOT_PROTECTED, 216, CLIENT, "Fault domain capacity not protected") \
    X(FD_NOT_SHUTDOWN, 217, CLIENT, "Fault domain not shutdown") \
    X(FD_STATE_CHANGE_IN_PROGRESS, 218, CLIENT, "Fault domain state change in progress") \
    X(TGT_NOT_HEALTHY, 219, CLIENT, "Storage server not healthy") \
    X(TGT_DEV_NOT_HEALTHY, 220, CLIENT, "Storage server device not healthy") \
    X(WRONG_QUIESCE_GEN, 221, INTERNAL, "Internal Error #") \
    X(FD_ALREADY_EXISTS, 222, CLIENT, "Fault domain already exists") \
    X(INVALID_DRL, 223, CLIENT, "Invalid drl") \
    X(VOTER_COMMUNICATION_ERROR, 224, CLIENT, "Voter communication error") \
    X(VOL_SIZE_ILLEGAL, 225, CLIENT, "Volume size illegal") \
    X(LONG_NAME, 226, CLIENT, "Long name") \
    X(INVALID_NAME, 227, CLIENT, "Invalid name") \
    X(INVALID_FD_ID, 228, CLIENT, "Invalid fault domain id") \
    X(INVALID_SCSI_ID, 229, CLIENT, "Invalid scsi id") \
    X(INVALID_VTREE_ID, 230, CLIENT, "Invalid vtree id") \
    X(INVALID_SNAP_ID, 231, CLIENT, "Invalid snap id") \
    X(INVALID_TGT_DEV_ID, 232, CLIENT, "Invalid storage server device id") \
    X(PASSWORD_TOO_SHORT, 233, CLIENT, "Password too short") \
    X(USER_NOT_FOUND, 234, CLIENT, "User not found") \
    X(VOTER_ALREADY_CONFIGURED, 235, CLIENT, "Voter already configured") \
    X(WRONG_RECEIVE_GROUP, 236, CLIENT, "Wrong receive group") \
    X(BAD_PRIMARY_OSTREL_IP, 237, CLIENT, "Bad primary ostrel IP") \
    X(SEC_IP_EQUAL_TB_IP, 238, CLIENT, "Sec IP equal tb IP") \
    X(TB_IP_EQUAL_SEC_IP, 239, CLIENT, "Tb IP equal sec IP") \
    X(TB_IP_EQUAL_PRIMARY_IP, 240, CLIENT, "Tb IP equal primary IP") \
    X(ILLEGAL_CMD_FOR_TB, 241, CLIENT, "Illegal cmd for tb") \
    X(BAD_SECONDARY_OSTREL_IP, 242, CLIENT, "Bad secondary ostrel IP") \
    X(TB_IS_OSTREL, 243, CLIENT, "Tb is ostrel") \
    X(TGT_DEVICE_NAME_CHANGED, 244, CLIENT, "Storage server device name changed") \
    X(MISMATCHING_SWID, 249, CLIENT, "Mismatching swid") \
    X(PERMISSION_DENIED, 256, CLIENT, "Permission denied") \
    X(INVALID_SESSION, 257, CLIENT, "Invalid session") \
    X(PASSWORD_CHANGE_REQUIRED, 258, CLIENT, "Password change required") \
    X(USER_ALREADY_EXIST, 259, CLIENT, "User already exist") \
    X(TOO_MANY_USERS, 260, CLIENT, "Too many users") \
    X(TOO_MANY_SESSIONS, 261, CLIENT, "Too many sessions") \
    X(OLD_PASSWORD_MISMATCH, 262, CLIENT, "Old password mismatch") \
    X(USER_CAN_NOT_MODIFY_HIMSELF, 263, CLIENT, "User can not modify himself") \
    X(PASSWORD_LACKS_DIVERSITY, 264, CLIENT, "Password lacks diversity") \
    X(NUM_PARALLEL_MSG_TOO_LOW, 265, CLIENT, "Num parallel msg too low") \
    X(NUM_PARALLEL_MSG_TOO_HIGH, 266, CLIENT, "Num parallel msg too high") \
    X(NETWORK_TEST_SIZE_TOO_HIGH, 267, CLIENT, "Network test size too high") \
    X(NETWORK_TEST_LENGTH_TOO_HIGH, 268, CLIENT, "Network test length too high") \
    X(NETWORK_TEST_MUST_LIMIT_EITHER_TIME_OR_SIZE, 269, CLIENT, "Network test must limit either time or size") \
    X(NOT_ENOUGH_TGTS_IN_FD_FOR_TEST, 270, CLIENT, "Not enough tgts in fault domain for test") \
    X(NOT_ALLOWED_IN_SP_WITH_DEVS, 271, CLIENT, "Not allowed in storage pool with devs") \
    X(TOO_MANY_FAULT_SETS, 272, CLIENT, "Too many fault sets") \
    X(FAULT_SET_ALREADY_EXISTS, 273, CLIENT, "Fault set already exists") \
    X(FAULT_SET_NOT_FOUND, 274, CLIENT, "Fault set not found") \
    X(FAULT_SET_NAME_ALREADY_EXISTS, 275, CLIENT, "Fault set name already exists") \
    X(INVALID_FAULT_SET_ID, 276, CLIENT, "Invalid fault set id") \
    X(FAULT_SET_HAS_TGTS, 277, CLIENT, "Fault set has tgts") \
    X(FD_HAS_FAULT_SETS, 278, CLIENT, "Fault domain has fault sets") \
    X(TOO_MANY_TGTS_IN_FS, 279, CLIENT, "Too many tgts in fs") \
    X(INVALID_FS_ID, 280, CLIENT, "Invalid fs id") \
    X(FD_AND_FS_MISMATCH, 281, CLIENT, "Fault domain and fs mismatch") \
    X(TGT_ALREADY_IN_FS, 282, CLIENT, "Storage server already in fs") \
    X(MISSING_PARAM_FOR_POLICY, 283, CLIENT, "Missing param for policy") \
    X(TGT_MUST_HAVE_INI_IP_ROLE, 284, CLIENT, "Storage server must have client IP role") \
    X(INI_NAME_MISMATCH, 285, CLIENT, "Client name mismatch") \
    X(YARRIN_PACKAGE_ALREADY_INSTALLED, 286, CLIENT, "Yarrin package already installed") \
    X(YARRIN_PACKAGE_NOT_INSTALLED, 287, CLIENT, "Yarrin package not installed") \
    X(YARRIN_MULTIPLE_PACKAGES_INSTALLED, 289, CLIENT, "Yarrin multiple packages installed") \
    X(YARRIN_COMMAND_FAILED, 290, CLIENT, "Yarrin command failed") \
    X(YARRIN_INVALID_PASSWORD, 291, CLIENT, "Yarrin invalid password") \
    X(INVALID_DEVICE_PATH, 292, CLIENT, "Invalid device path") \
    X(INVALID_THROTTLE_INFO, 293, CLIENT, "Invalid throttle info") \
    X(EXCEED_SYSTEM_CAPACITY_LIMITATIONS, 294, CLIENT, "Exceed system capacity limitations") \
    X(TOO_MANY_VOLS_IN_FD, 295, CLIENT, "Too many volumes in fault domain") \
    X(NOT_ENOUGH_FSS_IN_STORAGE_POOL, 296, CLIENT, "Not enough fss in storage pool") \
    X(NOT_SUPPORTED, 297, CLIENT, "Not supported") \
    X(ILLEGAL_NUM_IPS, 298, CLIENT, "Illegal num IPS") \
    X(OVERFLOW_IPS, 299, CLIENT, "Overflow IPS") \
    X(RAMCACHE_WRONG_STATE, 300, CLIENT, "Ramcache wrong state") \
    X(RAMCACHE_IS_FROZEN, 301, CLIENT, "Ramcache is frozen") \
    X(RAMCACHE_IS_DISABLED, 302, CLIENT, "Ramcache is disabled") \
    X(INI_MAPPED_TO_TOO_MANY_VOLS, 303, CLIENT, "Client mapped to too many volumes") \
    X(YARRIN_OPERATION_NOT_PERMITTED, 304, CLIENT, "Yarrin operation not permitted") \
    X(YARRIN_FILE_IS_TOO_LARGE, 305, CLIENT, "Yarrin file is too large") \
    X(NOT_ALLOWED_MORE_THAN_ONE_MAPPING, 306, CLIENT, "Not allowed more than one mapping") \
    X(INI_MUST_BE_DISCONNECTED, 307, CLIENT, "Client must be disconnected") \
    X(NUM_IO_BUFFS_ALREADY_SET, 308, CLIENT, "Num io buffs already set") \
    X(TOO_MUCH_THIN_CAPACITY, 309, CLIENT, "Too much thin capacity") \
    X(ALREADY_IN_START_STATE, 310, CLIENT, "Already in start state") \
    X(ALREADY_IN_STOPPED_STATE, 311, CLIENT, "Already in stopped state") \
    X(REMOTE_SYSLOG_IS_BUSY, 312, CLIENT, "Remote syslog is busy") \
    X(SYSLOG_FACILITY_ILLEGAL_VALUE, 313, CLIENT, "Syslog facility illegal value") \
    X(VOL_MAPPED_TO_SCSI_INITIATOR, 314, CLIENT, "Volume mapped to scsi initiator") \
    X(NOT_ENOUGH_DEVICES_IN_STORAGE_POOL_FOR_REMOVAL, 315, CLIENT, "Not enough devices in storage pool for removal") \
    X(INVALID_TGT_NETWORK_LIMITS, 316, CLIENT, "Invalid storage server network limits") \
    X(YARRIN_WRONG_ID, 317, CLIENT, "Yarrin wrong id") \
    X(AT_LEAST_ONE_TGT_FAILED, 318, CLIENT, "At least one storage server failed") \
    X(YARRIN_GET_FREE_DISK_SPACE_COMMAND_FAILED, 319, CLIENT, "Yarrin get free disk space command failed") \
    X(ENTERPRISE_FEATURES_NOT_ENABLED, 320, CLIENT, "Enterprise features not enabled") \
    X(DISABLED, 321, INTERNAL, "Internal Error #") \
    X(INVALID_LUN_NUM, 322, CLIENT, "Invalid lun num") \
    X(THICK_VOL_RESERVATION_VIOLATION, 323, CLIENT, "Thick volume reservation violation") \
    X(VOL_ALREADY_MAPPED_TO_AN_INI, 324, CLIENT, "Volume already mapped to an client") \
    X(INVALID_SPARE_PERCENTAGE, 325, CLIENT, "Invalid spare percentage") \
    X(TGT_ALREADY_EXISTS_AND_BEING_REMOVED, 326, CLIENT, "Storage server already exists and being removed") \
    X(ONE_TGT_DEV_BEING_REMOVED, 327, CLIENT, "One storage server device being removed") \
    X(ONE_TGT_DEV_ALREADY_ACTIVE, 328, CLIENT, "One storage server device already active") \
    X(ONE_TGT_DEV_WRONG_TEST_STATE, 329, CLIENT, "One storage server device wrong test state") \
    X(ONE_TGT_DEV_WRONG_TEST_MODE, 330, CLIENT, "One storage server device wrong test mode") \
    X(INITIATOR_NOT_APPROVED, 331, CLIENT, "Initiator not approved") \
    X(RAMCACHE_SIZE_TOO_LARGE, 332, CLIENT, "Ramcache size too large") \
    X(RAMCACHE_SIZE_TOO_SMALL, 333, CLIENT, "Ramcache size too small") \
    X(VOTER_ALREADY_EXISTS, 334, CLIENT, "Voter already exists") \
    X(TOO_MANY_REMOTE_SYSLOG_CLIENTS, 335, CLIENT, "Too many remote syslog clients") \
    X(REMOTE_SYSLOG_CLIENT_NOT_FOUND, 336, CLIENT, "Remote syslog client not found") \
    X(IP_ALREADY_EXISTS, 337, CLIENT, "IP already exists") \
    X(MANAGER_ID_ALREADY_EXISTS, 338, CLIENT, "Manager id already exists") \
    X(VOLUME_AND_SNAPSHOT_MATCH, 339, CLIENT, "Volume and snapshot match") \
    X(ZEROPAD_AND_SCANNER, 340, CLIENT, "Zeropad and scanner") \
    X(INVALID_SCANNER_BW_LIMIT, 341, CLIENT, "Invalid scanner bw limit") \
    X(ADDRESS_BELONGS_TO_DIFFERENT_TGT, 342, CLIENT, "Address belongs to different storage server") \
    X(CLIENT_TOO_OLD, 345, CLIENT, "Client too old") \
    X(CAPACITY_TOO_LOW_FOR_THIN_VOL, 346, CLIENT, "Capacity too low for thin volume") \
    X(TOO_MANY_STORAGE_POOLS, 347, CLIENT, "Too many storage pools") \
    X(REMOTE_PERMISSION_DENIED, 348, CLIENT, "Remote permission denied") \
    X(TGT_ADD_DEV_IS_PARTITIONED, 349, CLIENT, "Storage server add device is partitioned") \
    X(TGT_ADD_DEV_IS_MOUNTED, 350, CLIENT, "Storage server add device is mounted") \
    X(INVALID_DEVICE_HEADER_SIGNATURE, 351, CLIENT, "Invalid device header signature") \
    X(TOO_MANY_VIRTUAL_IPS, 352, CLIENT, "Too many virtual IPS") \
    X(DUPLICATE_VIRTUAL_IP, 353, CLIENT, "Duplicate virtual IP") \
    X(DUPLICATE_VIRTUAL_IP_IFC, 354, CLIENT, "Duplicate virtual IP ifc") \
    X(PORT_ALREADY_EXISTS, 355, CLIENT, "Port already exists") \
    X(GET_INFO_FAILED, 360, CLIENT, "Get info failed") \
    X(INVALID_GUID, 361, CLIENT, "Invalid guid") \
    X(IO_FAULT_DEVICE_ERROR, 362, INTERNAL, "Internal Error #") \
    X(PYTHON_NOT_INSTALLED, 400, CLIENT, "Python not installed") \
    X(YARRIN_VERSION_IS_NEWER_THAN_YARRIN, 401, CLIENT, "Yarrin version is newer than yarrin") \
    X(VERSION_TOO_NEW, 402, INTERNAL, "The version of the module sending the message is too high") \
    X(VERSION_TOO_OLD, 403, INTERNAL, "The version of the module sending the message is too low") \
    X(WRONG_UPGRADE_STATE, 404, CLIENT, "Wrong upgrade state") \
    X(NOT_ALL_TGTS_UPGRADED, 405, CLIENT, "Not all tgts upgraded") \
    X(UPGRADE_NOT_FINISHED, 406, CLIENT, "Upgrade not finished") \
    X(CLUSTER_NOT_UPGRADED, 407, CLIENT, "Cluster not upgraded") \
    X(INVALID_PERFORMANCE_PARAMETER, 408, CLIENT, "Invalid performance parameter") \
    X(DIF_ATTACH_MISSING, 409, INTERNAL, "Internal Error #") \
    X(TGT_TOO_OLD, 410, CLIENT, "Storage server too old") \
    X(LOGICAL_BLOCK_CHECK_GUARD_FAILED, 411, CLIENT, "Logical block check guard failed") \
    X(LOGICAL_BLOCK_CHECK_APP_TAG_FAILED, 412, CLIENT, "Logical block check app tag failed") \
    X(LOGICAL_BLOCK_CHECK_REF_TAG_FAILED, 413, CLIENT, "Logical block check ref tag failed") \
    X(FALSE, 414, CLIENT, "False") \
    X(TRUE, 415, CLIENT, "True") \
    X(UMT_NUM_UPDATE_IS_STUCK, 416, CLIENT, "Umt num update is stuck") \
    X(PEER_ID_MISMATCH, 417, INTERNAL, "The peer id mismatch to the previously discovered one") \
    X(CERT_VERIFY_FAILURE, 418, INTERNAL, "The peer's certificate failed verification") \
    X(FLCACHE_INVALID_DRIVER_PATH, 419, CLIENT, "Flcache invalid driver path") \
    X(FLCACHE_API_VERSION_MISMATCH, 420, CLIENT, "Flcache api version mismatch") \
    X(TOO_MANY_FLCACHE_DEVICES, 421, CLIENT, "Too many flcache devices") \
    X(DEPRECATED_MSG, 422, CLIENT, "Deprecated msg") \
    X(INVALID_FLCACHE_PAGESIZE, 423, CLIENT, "Invalid flcache pagesize") \
    X(INVALID_FLCACHE_MAXIOSIZE, 424, CLIENT, "Invalid flcache maxiosize") \
    X(TGT_ALREADY_IN_MM, 425, CLIENT, "Storage server already in maintenance mode") \
    X(TGT_NOT_IN_MM, 426, CLIENT, "Storage server not in maintenance mode") \
    X(TGT_MM_CONFILICT, 427, CLIENT, "Storage server maintenance mode confilict") \
    X(DEGRADED_OR_FAILED_DATA, 429, CLIENT, "Degraded or failed data") \
    X(TGT_MM_INSUFFICIENT_FREE_CAP, 430, CLIENT, "Storage server maintenance mode insufficient free cap") \
    X(SIG_VERIFY_FAILURE, 431, CLIENT, "Sig verify failure") \
    X(NET_SECURITY_DISABLED_ON_SERVER, 432, CLIENT, "Net security disabled on server") \
    X(NO_MEMORY, 433, CLIENT, "No memory") \
    X(QUILLET_IOCTL_ERROR, 434, CLIENT, "Quillet ioctl error") \
    X(INVALID_ARG, 435, CLIENT, "Invalid arg") \
    X(OSTREL_IP_ALREADY_EXISTS, 436, CLIENT, "Ostrel IP already exists") \
    X(QUILLET_GUID_ALREADY_EXISTS, 437, CLIENT, "Quillet guid already exists") \
    X(CLUSTER_FROZEN, 438, INTERNAL, "Internal Error #") \
    X(TOO_MANY_OSTRELS, 439, CLIENT, "Too many ostrels") \
    X(ACTOR_ALREADY_CONFIGURED, 440, CLIENT, "Actor already configured") \
    X(OSTREL_NOT_CONNECTED, 441, CLIENT, "Ostrel not connected") \
    X(ERROR_CONFIG_REMOTE_OSTREL, 442, CLIENT, "Error config remote ostrel") \
    X(OSTREL_IN_CLUSTER, 443, CLIENT, "Ostrel in cluster") \
    X(OSTREL_DOES_NOT_EXIST, 444, CLIENT, "Ostrel does not exist") \
    X(CMD_ERROR_ID_NOT_IN_CLUSTER, 445, CLIENT, "Cmd error id not in cluster") \
    X(OSTREL_NAME_ALREADY_EXISTS, 446, CLIENT, "Ostrel name already exists") \
    X(ALREADY_IN_THIS_CLUSTER_MODE, 447, CLIENT, "Already in this cluster mode") \
    X(TOO_MANY_REPLACED_OSTRELS, 448, CLIENT, "Too many replaced ostrels") \
    X(WRONG_NUMBER_OF_OSTRELS, 449, CLIENT, "Wrong number of ostrels") \
    X(WRONG_OSTREL_ROLE, 450, CLIENT, "Wrong ostrel role") \
    X(OSTREL_NOT_IN_CLUSTER, 451, CLIENT, "Ostrel not in cluster") \
    X(OSTREL_ALREADY_IN_CLUSTER, 452, CLIENT, "Ostrel already in cluster") \
    X(OSTREL_IS_TB, 453, CLIENT, "Ostrel is tb") \
    X(ALREADY_MASTER, 454, CLIENT, "Already master") \
    X(CANNOT_REMOVE_MASTER, 455, CLIENT, "Cannot remove master") \
    X(PELLAR_PERF_PARAM_CHANGE_FAILED, 456, CLIENT, "Pellar perf param change failed") \
    X(CLUSTER_VERSION_MISMATCH, 457, INTERNAL, "Internal Error #") \
    X(CHECKSUM_ERROR, 458, CLIENT, "Checksum error") \
    X(INVALID_CHECKSUM_LENGTH, 459, CLIENT, "Invalid checksum length") \
    X(IO_NET_ERROR, 460, CLIENT, "Io net error") \
    X(TOO_MANY_FLCACHE_DEVS, 461, CLIENT, "Too many flcache devs") \
    X(FLCACHE_DEV_ALREADY_EXISTS, 462, CLIENT, "Flcache device already exists") \
    X(FLCACHE_DEV_NOT_FOUND, 463, CLIENT, "Flcache device not found") \
    X(INVALID_FLCACHE_DEV_ID, 464, CLIENT, "Invalid flcache device id") \
    X(PASSWORD_VIA_SHELL, 465, CLIENT, "Password via shell") \
    X(OSTREL_TOO_OLD, 466, CLIENT, "Ostrel too old") \
    X(DYN_PARAM_DOES_NOT_EXIST, 467, CLIENT, "Dyn param does not exist") \
    X(INI_NAME_IN_USE, 468, CLIENT, "Client name in use") \
    X(OSTREL_ACTIVE_ATTACH_TO_THIS_CLUSTER, 469, CLIENT, "Ostrel active attach to this cluster") \
    X(OSTREL_ALREADY_ATTACH_TO_THIS_CLUSTER, 470, CLIENT, "Ostrel already attach to this cluster") \
    X(OSTREL_ACTIVE_ATTACH_TO_OTHER_CLUSTER, 471, CLIENT, "Ostrel active attach to other cluster") \
    X(OSTREL_ALREADY_ATTACH_TO_OTHER_CLUSTER, 472, CLIENT, "Ostrel already attach to other cluster") \
    X(VOTER_ACTIVE_ATTACH_TO_THIS_CLUSTER, 473, CLIENT, "Voter active attach to this cluster") \
    X(VOTER_ALREADY_ATTACH_TO_THIS_CLUSTER, 474, CLIENT, "Voter already attach to this cluster") \
    X(VOTER_ACTIVE_ATTACH_TO_OTHER_CLUSTER, 475, CLIENT, "Voter active attach to other cluster") \
    X(VOTER_ALREADY_ATTACH_TO_OTHER_CLUSTER, 476, CLIENT, "Voter already attach to other cluster") \
    X(FLCACHE_UUID_NOT_FOUND, 477, CLIENT, "Flcache uuid not found") \
    X(FLCACHE_MULTIPLE_PATHS_TO_DEVICE, 478, CLIENT, "Flcache multiple paths to device") \
    X(ERROR_LOADING_SECURITY, 479, CLIENT, "Error loading security") \
    X(MANAGEMENT_CLIENT_SECURE_COMMUNICATION_ALREADY_ENABLED, 480, CLIENT, "Management client secure communication already enabled") \
    X(MANAGEMENT_CLIENT_SECURE_COMMUNICATION_ALREADY_DISABLED, 481, CLIENT, "Management client secure communication already disabled") \
    X(ILLEGAL_FOR_MASTER_OSTREL, 482, CLIENT, "Illegal for master ostrel") \
    X(ILLEGAL_COMMAND_FOR_REMOTE_CLIENTS, 483, CLIENT, "Illegal command for remote clients") \
    X(SECURITY_IS_DISABLED, 484, CLIENT, "Security is disabled") \
    X(ERROR_LOADING_OPENSSL, 485, CLIENT, "Error loading openssl") \
    X(ERROR_LOADING_SSL_KEY_PAIR, 486, CLIENT, "Error loading ssl key pair") \
    X(ERROR_LOADING_SSL_TRUST, 487, CLIENT, "Error loading ssl trust") \
    X(INVALID_SSL_CIPHERS, 488, CLIENT, "Invalid ssl ciphers") \
    X(ERROR_LOADING_AUTH_KEY_PAIR, 489, CLIENT, "Error loading auth key pair") \
    X(ERROR_LOADING_AUTH_TRUST, 490, CLIENT, "Error loading auth trust") \
    X(UNSECURE_CONNECTION_NOT_ALLOWED, 491, CLIENT, "Unsecure connection not allowed") \
    X(INVALID_AUTHENTICATION_METHOD, 492, CLIENT, "Invalid authentication method") \
    X(LDAP_UNSUPPORTED_COMMAND, 493, CLIENT, "Ldap unsupported command") \
    X(LDAP_SESSION_INITIALIZATION_FAIL, 494, CLIENT, "Ldap session initialization fail") \
    X(LDAP_BIND_FAIL, 495, CLIENT, "Ldap bind fail") \
    X(LDAP_USER_NOT_FOUND_IN_GROUP, 496, CLIENT, "Ldap user not found in group") \
    X(LDAP_SEARCH_FAIL, 497, CLIENT, "Ldap search fail") \
    X(LDAP_UNBIND_FAIL, 498, CLIENT, "Ldap unbind fail") \
    X(LDAP_UNINITIALIZED, 499, CLIENT, "Ldap uninitialized") \
    X(AUTH_METHOD_ALREADY_SET, 500, CLIENT, "Auth method already set") \
    X(AUTH_NO_NATIVE_USERS_DEFINED, 501, CLIENT, "Auth no native users defined") \
    X(LDAP_UNSUPPORTED_DN_FORMAT, 502, CLIENT, "Ldap unsupported dn format") \
    X(LDAP_SERVICE_DOMAIN_ALREADY_EXISTS, 503, CLIENT, "Ldap service domain already exists") \
    X(TOO_MANY_LDAP_SERVICES, 504, CLIENT, "Too many ldap services") \
    X(LDAP_SERVICE_NOT_FOUND, 505, CLIENT, "Ldap service not found") \
    X(LDAP_GROUP_ALREADY_EXISTS, 506, CLIENT, "Ldap group already exists") \
    X(TOO_MANY_LDAP_GROUPS, 507, CLIENT, "Too many ldap groups") \
    X(LDAP_UNSUPPORTED_USERNAME_FORMAT, 508, CLIENT, "Ldap unsupported username format") \
    X(LDAP_FROM_LDAP_TO_NATIVE_AUTH_ERROR, 509, CLIENT, "Ldap from ldap to native auth error") \
    X(ERROR_LOADING_LDAP_IN_CLUSTER, 510, CLIENT, "Error loading ldap in cluster") \
    X(LDAP_AUTHENTICATION_FAIL, 511, CLIENT, "Ldap authentication fail") \
    X(IRRELEVANT_ADD_OSTREL_PARAMS, 512, CLIENT, "Irrelevant add ostrel params") \
    X(IRRELEVANT_REMOVE_OSTREL_PARAMS, 513, CLIENT, "Irrelevant remove ostrel params") \
    X(QUILLET_GUID_DOES_NOT_EXIST, 514, CLIENT, "Quillet guid does not exist") \
    X(DEV_ALREADY_TAKEN_BY_ANOTHER, 515, CLIENT, "Device already taken by another") \
    X(TGT_EXIT_MAINTENANCE_IN_PROGRESS, 516, CLIENT, "Storage server exit maintenance in progress") \
    X(TGT_EXIT_MM, 517, CLIENT, "Storage server exit maintenance mode") \
    X(BAD_THRESHOLD_MATCH, 518, CLIENT, "Bad threshold match") \
    X(LDAP_USER_NOT_FOUND_IN_ANY_GROUP, 519, CLIENT, "Ldap user not found in any group") \
    X(LDAP_SERVICE_NOT_CONFIGURED, 520, CLIENT, "Ldap service not configured") \
    X(TGT_MM_PD_FAIL, 521, CLIENT, "Storage server maintenance mode pd fail") \
    X(TGT_MM_PELLAR_FAIL, 522, CLIENT, "Storage server maintenance mode pellar fail") \
    X(SELF_SIGNED_CERT_NOT_TRUSTED, 523, CLIENT, "Self signed cert not trusted") \
    X(ISSUER_CERT_NOT_TRUSTED, 524, CLIENT, "Issuer cert not trusted") \
    X(LDAP_GROUP_FQDN_DIFFERS_FROM_SERVICE, 525, CLIENT, "Ldap group fqdn differs from service") \
    X(YARRIN_SECURE_COMMUNICATION_ALREADY_ENABLED, 526, CLIENT, "Yarrin secure communication already enabled") \
    X(UPGRADE_WAS_NOT_STARTED, 527, CLIENT, "Upgrade was not started") \
    X(MEMBERSHIP_CHANGE_LEAVING_FAILED_NODE, 528, CLIENT, "Membership change leaving failed node") \
    X(MEMBERSHIP_CHANGE_ADDING_FAILED_NODE, 529, CLIENT, "Membership change adding failed node") \
    X(MEMBERSHIP_CHANGE_NO_MAJORY_IN_NEW, 530, CLIENT, "Membership change no majory in new") \
    X(TGT_CACHE_EXCEEDS_LIMIT, 531, CLIENT, "Storage server cache exceeds limit") \
    X(TGT_NOT_LISTENING_ON_PORT, 532, CLIENT, "Storage server not listening on port") \
    X(INVALID_POLICY, 533, CLIENT, "Invalid policy") \
    X(DYN_PARAM_IS_READ_ONLY, 534, CLIENT, "Dyn param is read only") \
    X(OPENSSL_VERSION_TOO_OLD, 535, CLIENT, "Openssl version too old") \
    X(CERTIFICATE_DOES_NOT_EXIST, 536, CLIENT, "Certificate does not exist") \
    X(TGT_AUTHENTICATION_ALREADY_ENABLED, 537, CLIENT, "Storage server authentication already enabled") \
    X(TGT_AUTHENTICATION_ALREADY_DISABLED, 538, CLIENT, "Storage server authentication already disabled") \
    X(TGT_AUTHENTICATION_ERROR, 539, CLIENT, "Storage server authentication error") \
    X(TGT_AUTHENTICATION_DISABLED, 540, CLIENT, "Storage server authentication disabled") \
    X(CERTIFICATE_ALREADY_BEING_GENERATED, 541, CLIENT, "Certificate already being generated") \
    X(ERROR_LOADING_AUTHENTICATION_IN_OSTREL, 542, CLIENT, "Error loading authentication in ostrel") \
    X(USER_CAN_NOT_DELETE_HIMSELF, 543, CLIENT, "User can not delete himself") \
    X(LDAP_ROLE_ALREADY_ASSIGNED, 544, CLIENT, "Ldap role already assigned") \
    X(IPV6_NOT_ALLOWED_UNTIL_UPGRADED, 545, CLIENT, "Ipv6 not allowed until upgraded") \
    X(CHECKSUM_NOT_ALLOWED_UNTIL_UPGRADED, 546, CLIENT, "Checksum not allowed until upgraded") \
    X(TAKEOVER_NOT_ALLOWED_UNTIL_UPGRADED, 547, CLIENT, "Takeover not allowed until upgraded") \
    X(SECURED_COMMUNICATION_DISABLED, 548, CLIENT, "Secured communication disabled") \
    X(LDAP_USER_ALREADY_IN_ROLE, 549, CLIENT, "Ldap user already in role") \
    X(SECURITY_NOT_SUPPORTED, 550, CLIENT, "Security not supported") \
    X(ERROR_CREATING_SSL_KEY_PAIR, 551, CLIENT, "Error creating ssl key pair") \
    X(ERROR_CREATING_AUTH_KEY_PAIR, 552, CLIENT, "Error creating auth key pair") \
    X(LDAP_SERVICE_NAME_ALREADY_EXISTS, 553, CLIENT, "Ldap service name already exists") \
    X(OSTREL_WRONG_CLUSTER, 554, CLIENT, "Ostrel wrong cluster") \
    X(GET_INFO_CANNOT_CREATE_DIRECTORY, 555, CLIENT, "Get info cannot create directory") \
    X(GET_INFO_MISSING_PARAMETERS, 556, CLIENT, "Get info missing parameters") \
    X(SECTOR_SIZE_NOT_SUPPORTED, 557, CLIENT, "Sector size not supported") \
    X(TGT_ADD_FLCACHE_DEV_OPEN_ERROR, 559, CLIENT, "Storage server add flcache device open error") \
    X(QUILLET_ALREADY_APPROVED, 560, CLIENT, "Quillet already approved") \
    X(YARRIN_LOW_DISK_SPACE, 561, CLIENT, "Yarrin low disk space") \
    X(DEV_PATH_ALREADY_EXISTS, 562, CLIENT, "Device path already exists") \
    X(CLUSTER_COMMANDS_BLOCKED_DURING_UPGRADE, 563, CLIENT, "Cluster commands blocked during upgrade") \
    X(DEVICE_ERROR_REPORTED, 564, CLIENT, "Device error reported") \
    X(TOO_MANY_OBJECTS_FOR_CONTAINER, 565, CLIENT, "Too many objects for container") \
    X(YARRIN_UNINSTALL_COMMAND_FAILED, 566, CLIENT, "Yarrin uninstall command failed") \
    X(YARRIN_INSTALL_COMMAND_FAILED, 567, CLIENT, "Yarrin install command failed") \
    X(YARRIN_GET_COMPONENTS_COMMAND_FAILED, 568, CLIENT, "Yarrin get components command failed") \
    X(YARRIN_GET_FLAVOUR_COMMAND_FAILED, 569, CLIENT, "Yarrin get flavour command failed") \
    X(REMOVE_COMMAND_FAILED, 570, CLIENT, "Remove command failed") \
    X(YARRIN_START_SERVICE_COMMAND_FAILED, 571, CLIENT, "Yarrin start service command failed") \
    X(YARRIN_STOP_SERVICE_COMMAND_FAILED, 572, CLIENT, "Yarrin stop service command failed") \
    X(YARRIN_GET_IP_ADDRESS_COMMAND_FAILED, 573, CLIENT, "Yarrin get IP address command failed") \
    X(PREPARE_DISK_COMMAND_FAILED, 574, CLIENT, "Prepare disk command failed") \
    X(WHICH_COMMAND_FAILED, 575, CLIENT, "Which command failed") \
    X(RESTART_COMMAND_FAILED, 576, CLIENT, "Restart command failed") \
    X(RENAME_COMMAND_FAILED, 577, CLIENT, "Rename command failed") \
    X(YARRIN_INSTALLATION_FILE_NOT_EXIST, 578, CLIENT, "Yarrin installation file not exist") \
    X(LDAP_GROUP_DOES_NOT_EXIST, 579, CLIENT, "Ldap group does not exist") \
    X(ADD_DEV_TOO_LONG, 580, CLIENT, "Add device too long") \
    X(INVALID_OSC_CNT_WIN_SIZE, 581, CLIENT, "Invalid osc cnt win size") \
    X(YARRIN_DRV_CFG_FAILED, 582, CLIENT, "Yarrin drv cfg failed") \
    X(QUILLET_VERSION_MISMATCH_OLDER_THAN_2_0, 583, CLIENT, "Quillet version mismatch older than 2 0") \
    X(TGT_ADD_FLCACHE_DEV_IO_ERROR, 584, CLIENT, "Storage server add flcache device io error") \
    X(TGT_ADD_DEV_IO_ERROR_DEBUG, 586, CLIENT, "Storage server add device io error debug") \
    X(NOT_ENOUGH_HEALTHY_TGTS_FOR_MM, 587, CLIENT, "Not enough healthy tgts for maintenance mode") \
    X(ERROR_UPDATING_SECURITY_CONF, 588, CLIENT, "Error updating security conf") \
    X(DEV_ALREADY_TAKEN_BY_US_OR_ANOTHER, 589, CLIENT, "Device already taken by us or another") \
    X(MM_FAILED_REBUILD_DISABLED_ON_SP, 590, CLIENT, "Maintenance mode failed rebuild disabled on storage pool") \
    X(CERT_CHANGED_RECENTLY, 591, CLIENT, "Cert changed recently") \
    X(YARRIN_REBOOT_REQUIRED, 592, CLIENT, "Yarrin reboot required") \
    X(FLCACHE_DEV_IS_PARTITIONED, 593, CLIENT, "Flcache device is partitioned") \
    X(RETRY_BETTER_CANDIDATE, 595, INTERNAL, "Internal Error #") \
    X(OLD_ACTOR_GENERATION_CANDIDATE, 596, INTERNAL, "Internal Error #") \
    X(OSTREL_BUSY, 597, CLIENT, "Ostrel busy") \
    X(LDAP_TIMEOUT, 598, CLIENT, "Ldap timeout") \
    X(FIND_FILE_COMMAND_FAILED, 610, CLIENT, "Find file command failed") \
    X(NUM_VIRT_IPS_NOT_MATCH_NUM_INTFS, 611, CLIENT, "Num virt IPS not match num intfs") \
    X(MIX_OF_IPV4_AND_IPV6, 612, CLIENT, "Mix of ipv4 and ipv6") \
    X(LOGIN_BANNER_LARGER_THAN_MAX, 613, CLIENT, "Login banner larger than max") \
    X(LOGIN_BANNER_NOT_READ, 615, CLIENT, "Login banner not read") \
    X(LOGIN_BANNER_CANNOT_PREEMPTIVE_APPROVE, 616, CLIENT, "Login banner cannot preemptive approve") \
    X(VIRT_IP_INTF_NAME_NOT_EXIST, 617, CLIENT, "Virt IP intf name not exist") \
    X(VIRT_IP_INTF_NOT_ALLOWED_FOR_TB, 618, CLIENT, "Virt IP intf not allowed for tb") \
    X(OSTREL_STANDBY, 619, CLIENT, "Ostrel standby") \
    X(OSTREL_NOT_ATTACHED, 620, CLIENT, "Ostrel not attached") \
    X(SUCCESSOR_OOS, 621, INTERNAL, "Internal Error #") \
    X(NO_MASTER, 622, INTERNAL, "Internal Error #") \
    X(YARRIN_REBOOT_INITIATED, 623, CLIENT, "Yarrin reboot initiated") \
    X(STORAGE_POOL_USING_DAS_CACHE_CANNOT_SET_FLCACHE, 624, CLIENT, "Storage pool using das cache cannot set flcache") \
    X(TOO_MANY_DAS_CACHE_DEVICES, 625, CLIENT, "Too many das cache devices") \
    X(ALERT_VVOL_OPERATION, 626, CLIENT, "Alert vvol operation") \
    X(IO_DISCARD_REQ_MALFORMED, 627, INTERNAL, "Internal Error #") \
    X(IO_DISCARD_REQ_UNALIGNED, 628, INTERNAL, "IO discard request is not properly aligned")
