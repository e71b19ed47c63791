#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sqlite3.h>
#include <string>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "mos/eventlog/mos_eventlog.h"
#include "mos/eventlog/mos_eventlog_intrn.h"
#include "mos/mos_conf.h"
#include "mos/mos_load.h"
#include "mos/usr/mos_rsyslog.h"
#include "test/support/diag_support.h"
#include "test/support/scratch_dir.h"

namespace {

// Runs a query through the sqlite3 command, as an operator would read the log.
std::vector<std::string> sqliteLines(const std::string &db, const std::string &sql)
{
    std::string cmd = "sqlite3 -separator '|' '" + db + "' \"" + sql + "\"";
    FILE *p = popen(cmd.c_str(), "r");
    std::vector<std::string> lines;
    char buf[4096];
    while (p != nullptr && fgets(buf, sizeof(buf), p) != nullptr) {
        std::string line(buf);
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        lines.push_back(line);
    }
    if (p != nullptr)
        pclose(p);
    return lines;
}

void writeFile(const std::string &path, const std::string &text, mode_t mode = 0644)
{
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
}

// Sets the log's keys from configuration text, as the process would from its file.
void configure(const ScratchDir &dir, const std::string &keys)
{
    std::string conf = dir.file("eventlog.conf");
    writeFile(conf, keys);
    MosConfEntry *pVec = nullptr;
    UINT32 size = 0;
    mosEventlog_GetConfVec(&pVec, &size);
    ASSERT_EQ(size, 7u);
    ASSERT_EQ(mosConf_ProcessFile(conf.c_str(), &pVec, &size, 1), MOS_RC__SUCCESS);
}

class EventLogTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        ASSERT_EQ(mos_Init(nullptr), MOS_RC__SUCCESS);
        // Every post is handed to the remote syslog; its writer is never started here.
        mosRSyslog_Init(4, 100, 1, FALSE);
    }
    void TearDown() override { mosEventLog_Destroy(); }
    std::string db() const { return dir.file("eventlog.db"); }
    ScratchDir dir;
};

TEST_F(EventLogTest, BeforeStartPostsAreOnlyTracedAndUnknownTypesAreRefused)
{
    EXPECT_EQ(mosEvent_Post(EVENT__TEST_EVENT, 1, "x"), MOS_RC__SUCCESS);
    mosEventlog_DumpNow();
    for (UINT32 type : {0u, 7u, 37u, 104u, 0xFFFFFFFFu}) {
        EXPECT_EQ(mosEvent_Post(type, 1, "x"), MOS_RC__INVALID) << type;
        EXPECT_EQ(mosEvent_PostMore(type, "%s", "y"), MOS_RC__INVALID) << type;
    }
}

TEST_F(EventLogTest, TwoThousandFiveHundredEventsReadBackInPostingOrder)
{
    configure(dir, "eventlog_queue_size 3000\neventlog_dump_events_wait_milli 0\n");
    ASSERT_EQ(mosEventLog_Init(dir.path().c_str(), nullptr, nullptr), MOS_RC__SUCCESS);
    for (int i = 0; i < 2500; i++)
        ASSERT_EQ(mosEvent_Post(EVENT__TEST_EVENT, i, "posted"), MOS_RC__SUCCESS);
    mosEventlog_DumpNow();

    auto rows = sqliteLines(db(), "SELECT EventTypeID, Severity, Message, MoreInfo FROM myEvents ORDER BY EventID");
    ASSERT_EQ(rows.size(), 2500u);
    for (int i = 0; i < 2500; i++)
        ASSERT_EQ(rows[i], "1|1|This is a test event number " + std::to_string(i) + ", with text: posted|") << i;
    // Local time to the microsecond, six digits.
    auto stamps = sqliteLines(db(), "SELECT TimeStamp FROM myEvents WHERE EventID = 1");
    ASSERT_EQ(stamps.size(), 1u);
    EXPECT_TRUE(std::regex_match(stamps[0], std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6})"))) << stamps[0];
    // The type table: one row per type, in number order.
    auto types = sqliteLines(db(), "SELECT * FROM eventTypes ORDER BY EventTypeID");
    ASSERT_EQ(types.size(), 98u);
    EXPECT_EQ(types[0], "1|TEST_EVENT|1|1");
    EXPECT_EQ(types[5], "6|PELLAR_DEV_ERROR_REPORT|3|2");
    EXPECT_EQ(types.back(), "103|OSTREL_CLUSTER_FAILED_CREATE_VIRT_IP|3|2");
}

TEST_F(EventLogTest, MoreInfoIsSplitAtTheSeparatorAndTextsAreCutToTheirFields)
{
    configure(dir, "eventlog_dump_events_wait_milli 0\n");
    ASSERT_EQ(mosEventLog_Init(dir.path().c_str(), nullptr, nullptr), MOS_RC__SUCCESS);
    const std::string longText(1500, 'x');
    ASSERT_EQ(mosEvent_PostMore(EVENT__CUSTOM_WARNING, "details %d", "disk hot", 42), MOS_RC__SUCCESS);
    ASSERT_EQ(mosEvent_PostMore(EVENT__CUSTOM_INFO, "%s", "abc", longText.c_str()), MOS_RC__SUCCESS);
    // A message that fills the joined text leaves no separator: the more-info text is empty.
    ASSERT_EQ(mosEvent_PostMore(EVENT__CUSTOM_ERROR, "%s", longText.c_str(), "lost"), MOS_RC__SUCCESS);
    mosEventlog_DumpNow();

    auto rows = sqliteLines(db(), "SELECT Severity, Message, MoreInfo FROM myEvents ORDER BY EventID");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], "2|Warning: disk hot|details 42");
    EXPECT_EQ(rows[1], "1|Info: abc|" + std::string(511, 'x'));
    EXPECT_EQ(rows[2], "3|Error: " + std::string(511 - 7, 'x') + "|");
}

// A database that another process holds is waited for, not renamed; meanwhile a pool of one
// record refuses the second event.
TEST_F(EventLogTest, ABusyDatabaseIsWaitedForAndAFullPoolRefusesTheEvent)
{
    configure(dir, "eventlog_queue_size 1\neventlog_dump_events_wait_milli 0\n");
    sqlite3 *pOther = nullptr;
    ASSERT_EQ(sqlite3_open(db().c_str(), &pOther), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(pOther, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_EQ(mosEventLog_Init(dir.path().c_str(), nullptr, nullptr), MOS_RC__SUCCESS);

    EXPECT_EQ(mosEvent_Post(EVENT__CUSTOM_INFO, "first"), MOS_RC__SUCCESS);
    EXPECT_EQ(mosEvent_Post(EVENT__CUSTOM_INFO, "second"), MOS_RC__NO_RESOURCES);
    ASSERT_EQ(sqlite3_exec(pOther, "COMMIT TRANSACTION", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(pOther);
    mosEventlog_DumpNow();

    EXPECT_EQ(sqliteLines(db(), "SELECT Message FROM myEvents"), std::vector<std::string>{"Info: first"});
    // Nothing was renamed aside.
    EXPECT_FALSE(diagtest::fileExists(db() + "_"));
}

TEST_F(EventLogTest, ACorruptDatabaseIsRenamedAsideAndAFreshOneCreated)
{
    configure(dir, "eventlog_dump_events_wait_milli 0\n");
    const std::string garbage(8192, 'g');
    writeFile(db(), garbage);
    ASSERT_EQ(mosEventLog_Init(dir.path().c_str(), nullptr, nullptr), MOS_RC__SUCCESS);
    ASSERT_EQ(mosEvent_Post(EVENT__CUSTOM_CRITICAL, "after"), MOS_RC__SUCCESS);
    mosEventlog_DumpNow();

    EXPECT_EQ(sqliteLines(db(), "SELECT Message FROM myEvents"), std::vector<std::string>{"Critical Error: after"});
    EXPECT_EQ(sqliteLines(db(), "SELECT COUNT(*) FROM eventTypes"), std::vector<std::string>{"98"});
    // The old file keeps its bytes under its name, '_', and the date, time and fraction.
    std::vector<std::string> aside;
    FILE *p = popen(("ls '" + dir.path() + "'").c_str(), "r");
    char buf[512];
    while (fgets(buf, sizeof(buf), p) != nullptr) {
        std::string name(buf);
        name.pop_back();
        if (name.rfind("eventlog.db_", 0) == 0)
            aside.push_back(name);
    }
    pclose(p);
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_TRUE(std::regex_match(aside[0], std::regex(R"(eventlog\.db_\d{4}_\d\d_\d\d_\d\d_\d\d_\d\d_\d{6})")))
        << aside[0];
    EXPECT_EQ(diagtest::readFile(dir.file(aside[0])), garbage);
}

// The rotation script runs without a shell: a blank in its directory reaches it as it is.
TEST_F(EventLogTest, RotationRunsTheScriptDirectlyWithItsArguments)
{
    const std::string bin = dir.file("my bin");
    mkdir(bin.c_str(), 0700);
    const std::string argsFile = dir.file("args");
    for (const char *pScript : {"eventLogger.py", "eventLogger.sh"})
        writeFile(bin + "/" + pScript, "#!/bin/sh\necho \"$0\" > '" + argsFile + "'\nfor a in \"$@\"; do echo \"$a\" >> '" +
                                           argsFile + "'; done\n",
                  0700);
    configure(dir, "eventlog_rotate_with_python 1\n");
    ASSERT_EQ(mosEventLog_Init(dir.path().c_str(), bin.c_str(), "/etc/pellar cfg"), MOS_RC__SUCCESS);
    ASSERT_EQ(mosEventLog_RunRotateCmd(), MOS_RC__SUCCESS);
    EXPECT_EQ(diagtest::readFile(argsFile),
              bin + "/eventLogger.py\n--conf_dir=/etc/pellar cfg\n--event_db_file_name=eventlog.db\n");
    EXPECT_EQ(std::string(eventLogRotate_G.cmdToExecute),
              "\"" + bin + "/eventLogger.py\" --conf_dir=/etc/pellar cfg --event_db_file_name=eventlog.db");
    mosEventLog_Destroy();

    // Without the two directories the script and its configuration are found beside the log's.
    configure(dir, "eventlog_rotate_with_python 0\n");
    ASSERT_EQ(mosEventLog_Init(dir.path().c_str(), "", nullptr), MOS_RC__SUCCESS);
    EXPECT_EQ(std::string(eventLogRotate_G.cmdToExecute), "\"" + dir.path() + "/../bin/eventLogger.sh\" --conf_dir=" +
                                                               dir.path() + "/../cfg/ --event_db_file_name=eventlog.db");
    EXPECT_EQ(mosEventLog_RunRotateCmd(), MOS_RC__ERROR); // no such script there
}

// Every stored event also goes to the remote syslog, with its configuration-command flag.
TEST_F(EventLogTest, EventsAreHandedToTheRemoteSyslog)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    socklen_t len = sizeof(addr);
    getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
    ASSERT_EQ(mosRSyslog_Start(0, "127.0.0.1", ntohs(addr.sin_port), 16, TRUE), MOS_RC__SUCCESS);

    configure(dir, "eventlog_dump_events_wait_milli 0\n");
    ASSERT_EQ(mosEventLog_Init(dir.path().c_str(), nullptr, nullptr), MOS_RC__SUCCESS);
    ASSERT_EQ(mosEvent_Post(EVENT__OSTREL_CLI_CONF_COMMAND_RECEIVED, "add_volume", "admin", 3u), MOS_RC__SUCCESS);
    pollfd pfd = {listener, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 30000), 1);
    int con = accept(listener, nullptr, nullptr);
    std::string line;
    char c;
    while (line.find('\n') == std::string::npos && read(con, &c, 1) == 1)
        line += c;
    close(con);
    close(listener);
    mosRSyslog_Stop(0);
    // A configuration command of severity Info is sent as a notice: 5 + 8 * 16.
    EXPECT_EQ(line.substr(0, 5), "<133>");
    EXPECT_NE(line.find(" Qel-Kestrim - - - [Command add_volume received, User: 'admin'. [3] (EventCode 51)]\n"),
              std::string::npos)
        << line;
    mosEventlog_DumpNow();
    EXPECT_EQ(sqliteLines(db(), "SELECT EventTypeID, Message FROM myEvents"),
              std::vector<std::string>{"51|Command add_volume received, User: 'admin'. [3]"});
}

// The panic path flushes the queue through the debug module's hook before the process ends.
TEST(EventLogPanic, ThePanicPathFlushesQueuedEvents)
{
    ScratchDir dir;
    diagtest::ChildResult child = diagtest::runInChild([&] {
        mos_Init(nullptr);
        mosRSyslog_Init(4, 100, 1, FALSE);
        configure(dir, "eventlog_queue_size 3000\neventlog_dump_events_wait_milli 0\n");
        mosEventLog_Init(dir.path().c_str(), nullptr, nullptr);
        for (int i = 0; i < 2500; i++)
            mosEvent_Post(EVENT__TEST_EVENT, i, "before the panic");
        MOS_PANIC("events queued", "");
    });
    EXPECT_EQ(child.exitCode, 255);
    EXPECT_EQ(sqliteLines(dir.file("eventlog.db"), "SELECT COUNT(*), MAX(Message) FROM myEvents"),
              std::vector<std::string>{"2500|This is a test event number 999, with text: before the panic"});
}

} // namespace
