// Event log: a persistent record of product events (a command arrived, a device reported errors,
// a counter passed its threshold) in an SQLite database file.
//
// Posting is cheap and never touches the disk: it fills a record from a pool made once at start
// and queues it; one writer OS thread inserts queued records into the database in batches, each
// inside one exclusive transaction through one prepared statement. Every posted event is also
// handed to the remote syslog, which must therefore be initialised before the log starts. A
// second OS thread runs the external rotation script every ten minutes.
//
// The Pellar builds the log in but does not start it: until mosEventLog_Init runs, a post is only
// traced and mosEventlog_DumpNow (called on the exit and panic paths) returns at once.
//
// Failures: a full pool loses the event (MOS_RC__NO_RESOURCES); an unknown event type is refused
// (MOS_RC__INVALID). A database that SQLite reports corrupt is renamed aside with a time stamp and
// a fresh one is created; when that is impossible the log drops events for the rest of the
// process ("simulation mode"). Any other database failure keeps the events queued for the next
// round; a locked database is waited for (busy time-out) rather than treated as damaged.
#pragma once

#include <array>

#include "mos/mos_conf.h"
#include "mos/mos_rc.h"
#include "mos/mos_types.h"

enum MosSeverity : UINT32 {
    mosSeverity_Undefined = 0,
    mosSeverity_Info = 1,
    mosSeverity_Warning = 2,
    mosSeverity_Error = 3,
    mosSeverity_Critical = 4,
    mosSeverity_Last = 5,
};
extern const char *const mosSeverityNames[mosSeverity_Last + 1];

enum MosEventScope : UINT32 {
    mosEventScope_Internal = 1,
    mosEventScope_Public = 2,
};

// The event types: X(number, name, severity, scope, reports a configuration command, message
// format). Numbers are stored in databases and sent to syslog servers, so they never change and
// gaps stay gaps. The message format takes the arguments of mosEvent_Post.
#define MOS_EVENT__TABLE(X) \
    X(1, TEST_EVENT, Info, Internal, FALSE, "This is a test event number %d, with text: %s")                   \
    X(2, OSTREL_STARTED, Info, Public, FALSE, "Ostrel started: %s")                                            \
    X(3, CLI_COMMAND_RECEIVED, Info, Public, FALSE, "Command %s received, User: '%s'.")                        \
    X(4, CLI_COMMAND_ENDED, Info, Public, FALSE, "Command %s ended, User: '%s'.")                              \
    X(5, OSTREL_BECOMING_MASTER, Warning, Public, FALSE, "Ostrel becoming master: %s")                         \
    X(6, PELLAR_DEV_ERROR_REPORT, Error, Public, FALSE, "Device error reported on Pellar: %s, Device: %s.")    \
    X(8, PELLAR_DECOUPLED, Error, Public, FALSE, "Pellar decoupled: %s")                                       \
    X(9, OSTREL_DATA_NORMAL, Info, Public, FALSE, "Ostrel data normal: %s")                                    \
    X(10, OSTREL_DATA_DEGRADED, Error, Public, FALSE, "Ostrel data degraded: %s")                              \
    X(11, OSTREL_DATA_FAILED, Critical, Public, FALSE, "Ostrel data failed: %s")                               \
    X(12, CLI_COMMAND_SUCCEEDED, Info, Public, FALSE, "Command %s succeeded, User: '%s'.")                     \
    X(13, CLI_COMMAND_FAILED, Warning, Public, FALSE, "Command %s failed, User: '%s'. Error: %s")              \
    X(14, CUSTOM_INFO, Info, Public, FALSE, "Info: %s")                                                        \
    X(15, CUSTOM_WARNING, Warning, Public, FALSE, "Warning: %s")                                               \
    X(16, CUSTOM_ERROR, Error, Public, FALSE, "Error: %s")                                                     \
    X(17, CUSTOM_CRITICAL, Critical, Public, FALSE, "Critical Error: %s")                                      \
    X(18, CREATE_SNAPSHOT_FAILED, Error, Public, FALSE, "Create snapshot failed: %s")                          \
    X(19, OPEN_PELLAR_DEVICE_FAILED, Error, Public, FALSE, "Open Pellar device failed: %s")                    \
    X(20, AUTHENTICATION_FAILED, Error, Public, FALSE, "Authentication failed: %s")                            \
    X(21, PELLAR_RECONNECTED, Info, Public, FALSE, "Pellar reconnected: %s")                                   \
    X(22, DISPOSABLE_SNAP_DELETED, Warning, Public, FALSE, "Disposable snap deleted: %s")                      \
    X(23, NEW_QUILLET_CONNECTED, Warning, Public, FALSE, "New Quillet connected: %s")                          \
    X(24, SP_THIN_CAPACITY_BECAME_NORMAL, Info, Public, FALSE, "Sp thin capacity became normal: %s")           \
    X(25, SP_THIN_CAPACITY_BECAME_LOW, Warning, Public, FALSE, "Sp thin capacity became low: %s")              \
    X(26, SP_THIN_CAPACITY_BECAME_NO_SPARES, Error, Public, FALSE, "Sp thin capacity became no spares: %s")    \
    X(27, QUILLET_CONNECTED, Info, Public, FALSE, "Quillet connected: %s")                                     \
    X(28, QUILLET_DISCONNECTED, Warning, Public, FALSE, "Quillet disconnected: %s")                            \
    X(29, PELLAR_REMOVE_DONE, Info, Public, FALSE, "Pellar remove done: %s")                                   \
    X(30, DEV_CAPACITY_USAGE_NORMAL, Info, Public, FALSE, "Dev capacity usage normal: %s")                     \
    X(31, DEV_CAPACITY_USAGE_HIGH, Warning, Public, FALSE, "Dev capacity usage high: %s")                      \
    X(32, DEV_CAPACITY_USAGE_CRITICAL, Error, Public, FALSE, "Dev capacity usage critical: %s")                \
    X(33, NO_REBUILD_PROGRESS_WARNING, Warning, Public, FALSE, "No rebuild progress warning: %s")              \
    X(34, NO_REBUILD_PROGRESS_ERROR, Error, Public, FALSE, "No rebuild progress error: %s")                    \
    X(35, NO_REBUILD_PROGRESS_CRITICAL, Critical, Public, FALSE, "No rebuild progress critical: %s")           \
    X(36, REBUILD_PROGRESS_RESUMED, Info, Public, FALSE, "Rebuild progress resumed: %s")                       \
    X(41, UPGRADE_STARTED, Info, Public, FALSE, "Upgrade started: %s")                                         \
    X(42, UPGRADE_FINISHED, Info, Public, FALSE, "Upgrade finished: %s")                                       \
    X(43, UPGRADE_FAILED, Error, Public, FALSE, "Upgrade failed: %s")                                          \
    X(44, AUTHENTICATION_FAILED2, Warning, Public, FALSE, "Authentication failed2: %s")                        \
    X(45, PELLAR_CONFIG_CORRUPTION, Critical, Public, FALSE, "Pellar config corruption: %s")                   \
    X(46, PELLAR_FIX_DISK_ERROR, Warning, Public, FALSE, "Pellar fix disk error: %s")                          \
    X(47, SNAPSHOT_VOLUMES_FAILED_BY_ID, Error, Public, FALSE, "Snapshot volumes failed by id: %s")            \
    X(48, SNAPSHOT_VOLUMES_FAILED_BY_NAME, Error, Public, FALSE, "Snapshot volumes failed by name: %s")        \
    X(49, REMOTE_SYSLOG_MODULE_INITIALIZED, Info, Public, FALSE, "Initialized the remote syslog module")       \
    X(50, OSTREL_CLI_COMMAND_RECEIVED, Info, Public, FALSE, "Command %s received, User: '%s'.")                \
    X(51, OSTREL_CLI_CONF_COMMAND_RECEIVED, Info, Public, TRUE, "Command %s received, User: '%s'. [%u]")       \
    X(52, DEVICE_TEST_FAILED, Warning, Public, FALSE, "Device test failed: %s")                                \
    X(53, CLI_CONF_COMMAND_RECEIVED, Info, Public, TRUE, "Command %s received, User: '%s'. [%u]")              \
    X(54, OSTREL_CLUSTER_DEGRADED, Error, Public, FALSE, "Ostrel cluster degraded: %s")                        \
    X(55, OSTREL_CLUSTER_NORMAL, Info, Public, FALSE, "Ostrel cluster normal: %s")                             \
    X(56, OSTREL_CLUSTER_BECOMING_MASTER, Warning, Public, FALSE, "Ostrel cluster becoming master: %s")        \
    X(57, OSTREL_CLUSTER_NODE_FAILURE, Error, Public, FALSE, "Ostrel cluster node failure: %s")                \
    X(58, OSTREL_CLUSTER_VOTER_FAILURE, Error, Public, FALSE, "Ostrel cluster voter failure: %s")              \
    X(59, OSTREL_CLUSTER_VOTER_NOT_CONFIG, Error, Public, FALSE, "Ostrel cluster voter not config: %s")        \
    X(60, PELLAR_CONFIG_INVALID, Critical, Public, FALSE, "Pellar config invalid: %s")                         \
    X(61, SCANNER_COMPARE_REPORT, Error, Public, FALSE, "Scanner compare report: %s")                          \
    X(62, PERFORMANCE_PARAMETER_INVALID, Warning, Public, FALSE, "Performance parameter invalid: %s")          \
    X(63, DI_SCAN_REPORT, Error, Public, FALSE, "Di scan report: %s")                                          \
    X(64, UPGRADE_PROCESS_STARTED, Info, Public, FALSE, "Upgrade process started: %s")                         \
    X(65, UPGRADE_PROCESS_ABORTED, Info, Public, FALSE, "Upgrade process aborted: %s")                         \
    X(66, UPGRADE_PROCESS_COMPLETED, Info, Public, FALSE, "Upgrade process completed: %s")                     \
    X(67, PELLAR_MAINTENANCE_MODE_ENDED, Info, Public, FALSE, "Pellar maintenance mode ended: %s")             \
    X(68, OSTREL_CLUSTER_UPGRADED, Info, Public, FALSE, "Ostrel cluster upgraded: %s")                         \
    X(69, PELLAR_UPGRADED, Info, Public, FALSE, "Pellar upgraded: %s")                                         \
    X(70, QUILLET_UPGRADED, Info, Public, FALSE, "Quillet upgraded: %s")                                       \
    X(71, OSTREL_UPGRADED, Info, Public, FALSE, "Ostrel upgraded: %s")                                         \
    X(72, OSTREL_TB_START, Info, Public, FALSE, "Ostrel tb start: %s")                                         \
    X(73, OSTREL_MANAGER_START, Info, Public, FALSE, "Ostrel manager start: %s")                               \
    X(74, OSCILLATION_COUNTER_PASSED_THRESHOLD, Warning, Public, FALSE, "%s (Name: %s, ID: %016lx) reports frequent %s. %s window threshold (%d %s in %d seconds) exceeded.") \
    X(75, DEV_OSCILLATION_COUNTER_PASSED_THRESHOLD, Warning, Public, FALSE, "%s (Name: %s, ID: %016lx) reports frequent %s on device %s. %s window threshold (%d %s in %d seconds) exceeded.") \
    X(76, NET_OSCILLATION_COUNTER_PASSED_THRESHOLD, Warning, Public, FALSE, "%s (Name: %s, ID: %016lx) reports frequent %s (Name: %s, ID: %016lx IP: %s). %s window threshold (%d %s in %d seconds) exceeded.") \
    X(77, NOT_ENOUGH_FREE_UMTS_AVAILABLE, Warning, Public, FALSE, "Not enough free umts available: %s")        \
    X(78, CLUSTER_GAINED_VOTER_LEASE, Info, Public, FALSE, "Cluster gained voter lease: %s")                   \
    X(79, CLUSTER_LOST_VOTER_LEASE, Warning, Public, FALSE, "Cluster lost voter lease: %s")                    \
    X(80, PELLAR_AUTHENTICATION_FAILED, Error, Public, FALSE, "Pellar authentication failed: %s")              \
    X(81, PELLAR_MAINTENANCE_MODE_ENTRY_FAILED, Warning, Public, FALSE, "Pellar maintenance mode entry failed: %s") \
    X(82, PELLAR_MAINTENANCE_MODE_EXIT_FAILED, Warning, Public, FALSE, "Pellar maintenance mode exit failed: %s") \
    X(83, OSTREL_FAILED_LOADING_AUTHENTICATION, Critical, Public, FALSE, "Ostrel failed loading authentication: %s") \
    X(84, OSTREL_FAILED_LOADING_CLIENTS_SECURITY, Critical, Public, FALSE, "Ostrel failed loading clients security: %s") \
    X(85, OSTREL_CLUSTER_SLAVE_ERROR, Error, Public, FALSE, "Ostrel cluster slave error: %s")                  \
    X(86, OSTREL_CLUSTER_NOT_RESPOND, Warning, Public, FALSE, "Ostrel cluster not respond: %s")                \
    X(87, OSTREL_CLUSTER_LOST_CONNECTION, Warning, Public, FALSE, "Ostrel cluster lost connection: %s")        \
    X(88, OSTREL_CLUSTER_CONNECTED, Info, Public, FALSE, "Ostrel cluster connected: %s")                       \
    X(89, OSTREL_CLUSTER_NODE_DEGRADED, Error, Public, FALSE, "Ostrel cluster node degraded: %s")              \
    X(90, OSTREL_CLUSTER_NODE_NORMAL, Info, Public, FALSE, "Ostrel cluster node normal: %s")                   \
    X(91, FLCACHE_ERROR, Info, Public, FALSE, "Flcache error: %s")                                             \
    X(92, PELLAR_DEV_WARNING, Warning, Public, FALSE, "Pellar dev warning: %s")                                \
    X(93, PELLAR_DEV_NOTICE, Info, Public, FALSE, "Pellar dev notice: %s")                                     \
    X(94, PELLAR_IN_COOL_DOWN, Warning, Public, FALSE, "Pellar in cool down: %s")                              \
    X(95, OSTREL_CLUSTER_FAILED_EXPOSE_VIRT_IP, Error, Public, FALSE, "Ostrel cluster failed expose virt ip: %s") \
    X(96, TOO_MANY_VIRT_IPS_IN_UPGRADE, Info, Public, FALSE, "Too many virt ips in upgrade: %s")               \
    X(97, PELLAR_DEV_MOVED_TO_FAILURE_STATE, Error, Public, FALSE, "Pellar dev moved to failure state: %s")    \
    X(98, PELLAR_DEV_TEMPERATURE_PASSED_THRESHOLD, Error, Public, FALSE, "Pellar dev temperature passed threshold: %s") \
    X(99, PELLAR_DEV_SSD_EOL_PASSED_THRESHOLD, Error, Public, FALSE, "Pellar dev ssd eol passed threshold: %s") \
    X(100, FLCACHE_DEV_MOVED_TO_FAILURE_STATE, Error, Public, FALSE, "Flcache dev moved to failure state: %s") \
    X(101, FLCACHE_DEV_TEMPERATURE_PASSED_THRESHOLD, Error, Public, FALSE, "Flcache dev temperature passed threshold: %s") \
    X(102, FLCACHE_DEV_SSD_EOL_PASSED_THRESHOLD, Error, Public, FALSE, "Flcache dev ssd eol passed threshold: %s") \
    X(103, OSTREL_CLUSTER_FAILED_CREATE_VIRT_IP, Error, Public, FALSE, "Ostrel cluster failed create virt ip: %s")

enum MosEventType : UINT32 {
#define MOS_EVENT__ENUM(num, name, severity, scope, bConf, message) EVENT__##name = (num),
    MOS_EVENT__TABLE(MOS_EVENT__ENUM)
#undef MOS_EVENT__ENUM
};


// One past the highest event number.
#define MOS_EVENT__NUM_OF_TYPES 104u

// The table's columns, indexed by event number and built from the table at compile time; a
// number without a type has severity mosSeverity_Undefined and null texts.
template <typename T> using MosEventColumn = std::array<T, MOS_EVENT__NUM_OF_TYPES>;

#define MOS_EVENT__COLUMN(type, value)                                                              \
    [] {                                                                                            \
        MosEventColumn<type> c{};                                                                   \
        MOS_EVENT__TABLE(value)                                                                     \
        return c;                                                                                   \
    }()
#define MOS_EVENT__SEVERITY(num, name, severity, scope, bConf, message) c[num] = mosSeverity_##severity;
#define MOS_EVENT__SCOPE(num, name, severity, scope, bConf, message) c[num] = mosEventScope_##scope;
#define MOS_EVENT__CONF(num, name, severity, scope, bConf, message) c[num] = (bConf);
#define MOS_EVENT__MESSAGE(num, name, severity, scope, bConf, message) c[num] = (message);
#define MOS_EVENT__NAME(num, name, severity, scope, bConf, message) c[num] = #name;
inline constexpr MosEventColumn<MosSeverity> mosEvent_Severities = MOS_EVENT__COLUMN(MosSeverity, MOS_EVENT__SEVERITY);
inline constexpr MosEventColumn<MosEventScope> mosEvent_Scopes = MOS_EVENT__COLUMN(MosEventScope, MOS_EVENT__SCOPE);
inline constexpr MosEventColumn<BOOL> mosEvent_bIsConfArr = MOS_EVENT__COLUMN(BOOL, MOS_EVENT__CONF);
inline constexpr MosEventColumn<const char *> mosEvent_Messages = MOS_EVENT__COLUMN(const char *, MOS_EVENT__MESSAGE);
inline constexpr MosEventColumn<const char *> mosEvent_Names = MOS_EVENT__COLUMN(const char *, MOS_EVENT__NAME);
#undef MOS_EVENT__COLUMN
#undef MOS_EVENT__SEVERITY
#undef MOS_EVENT__SCOPE
#undef MOS_EVENT__CONF
#undef MOS_EVENT__MESSAGE
#undef MOS_EVENT__NAME

constexpr BOOL mosEvent_IsKnownType(UINT32 eventType)
{
    return eventType < MOS_EVENT__NUM_OF_TYPES && mosEvent_Names[eventType] != nullptr;
}
static_assert(mosEvent_IsKnownType(EVENT__FLCACHE_DEV_SSD_EOL_PASSED_THRESHOLD) && !mosEvent_IsKnownType(7) &&
              !mosEvent_IsKnownType(MOS_EVENT__NUM_OF_TYPES));
static_assert(mosEvent_Severities[EVENT__OSTREL_DATA_FAILED] == mosSeverity_Critical);


#define MOS_EVENTLOG__FILENAME_LEN 256u
#define MOS_EVENTLOG__TIMESTAMP_LEN 34u
#define MOS_EVENTLOG__MACHINE_NAME_LEN 64u
#define MOS_EVENTLOG__MESSAGE_LEN 512u
#define MOS_EVENTLOG__MORE_INFO_LEN 512u
#define MOS_EVENTLOG__ROTATE_CMD_LEN 1024u
#define MOS_EVENTLOG__NUM_CONF_KEYS 7u

// The configuration keys' values. Constant-initialised with the defaults, since the Pellar does
// not register the keys and a started log must still find sane values.
struct MosEventlogConfig {
    char filename[MOS_EVENTLOG__FILENAME_LEN];
    UINT64 queueSize;
    UINT64 writerSleepTimeSec;
    UINT64 eventsPerBurst;
    BOOL bDumpEvents;
    UINT64 milliToDumpEvents; // 0: wait without limit
    BOOL rotateWithPython;
};

// The 7 keys (eventlog_filename ... eventlog_rotate_with_python).
void mosEventlog_GetConfVec(MosConfEntry **ppVec, UINT32 *pVecSize);

// Starts the log with its database in the directory pLogPath; pBinPath and pCfgPath (optional)
// place the rotation script and its configuration. A null pLogPath or a second start panics.
// Returns the writer thread's start failure, or the rotation's (the writer then runs on).
Mos_RC mosEventLog_Init(const char *pLogPath, const char *pBinPath, const char *pCfgPath);
// Stops both threads and closes the database; posts are traced only afterwards. Events still
// queued are written first. For orderly shutdown and tests; the Pellar never stops the log.
void mosEventLog_Destroy(void);

// Posts an event with the type's message formatted from the arguments (at most 511 characters)
// and an empty more-info text.
Mos_RC mosEvent_Post(UINT32 eventType, ...);
// As mosEvent_Post with a more-info text: moreInfoFormat's arguments follow the message's.
Mos_RC mosEvent_PostMore(UINT32 eventType, const char *moreInfoFormat, ...);

// Waits until the writer has stored what is queued, at most eventlog_dump_events_wait_milli
// (without limit when 0). Nothing when the log is not started or eventlog_dump_events is off.
void mosEventlog_DumpNow(void);

// "YYYY-MM-DD hh:mm:ss.uuuuuu" of the local time into out (MOS_EVENTLOG__TIMESTAMP_LEN).
Mos_RC mosEventLog_GetTimestampNow(char *out);
