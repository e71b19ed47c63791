#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "mos/mos_load.h"
#include "mos/usr/mos_net.h"
#include "mos/usr/mos_rsyslog.h"
#include "mos/usr/mos_rsyslog_intrn.h"

namespace {

constexpr int kWaitMillis = 30000;

// A syslog server on loopback that reads newline-framed lines.
class Receiver {
  public:
    Receiver()
    {
        listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(listenFd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
        EXPECT_EQ(listen(listenFd_, 4), 0);
        socklen_t len = sizeof(addr);
        getsockname(listenFd_, reinterpret_cast<sockaddr *>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    ~Receiver()
    {
        if (conFd_ != -1)
            close(conFd_);
        close(listenFd_);
    }
    UINT16 port() const { return port_; }

    bool accept()
    {
        pollfd pfd = {listenFd_, POLLIN, 0};
        if (poll(&pfd, 1, kWaitMillis) != 1)
            return false;
        if (conFd_ != -1)
            close(conFd_);
        conFd_ = ::accept(listenFd_, nullptr, nullptr);
        pending_.clear();
        return conFd_ != -1;
    }
    // The next line with its newline, or "" when none came in time.
    std::string line()
    {
        for (;;) {
            size_t nl = pending_.find('\n');
            if (nl != std::string::npos) {
                std::string l = pending_.substr(0, nl + 1);
                pending_.erase(0, nl + 1);
                return l;
            }
            pollfd pfd = {conFd_, POLLIN, 0};
            if (poll(&pfd, 1, kWaitMillis) != 1)
                return "";
            char buf[2048];
            ssize_t n = read(conFd_, buf, sizeof(buf));
            if (n <= 0)
                return "";
            pending_.append(buf, static_cast<size_t>(n));
        }
    }
    // Drops the connection with a reset, as a crashing server would.
    void reset()
    {
        linger l = {1, 0};
        setsockopt(conFd_, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
        close(conFd_);
        conFd_ = -1;
    }

  private:
    int listenFd_ = -1;
    int conFd_ = -1;
    UINT16 port_ = 0;
    std::string pending_;
};

std::string hostName()
{
    char buf[MOS_RSYSLOG__MACHINE_NAME_LEN];
    mosNet_GetHostName(buf, sizeof(buf));
    return buf;
}

MosRSyslogWriterQuery query(UINT32 idx)
{
    MosRSyslogWriterQuery q;
    mosRSyslogWriter_QueryFunc(&q, idx, nullptr);
    return q;
}

// Writers change state on their own threads.
bool waitForState(UINT32 idx, const std::string &state)
{
    for (int i = 0; i < kWaitMillis / 10; i++) {
        if (query(idx).state == state)
            return true;
        usleep(10000);
    }
    return false;
}

class RSyslogTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_EQ(mos_Init(nullptr), MOS_RC__SUCCESS); }
    void TearDown() override { mosRSyslog_Destroy(); }
};

TEST_F(RSyslogTest, LinesAreExactRfc5424WithPriorityZoneAndEventCode)
{
    // UTC-3:30, so that the zone's sign and minutes show.
    setenv("TZ", "XYZ3:30", 1);
    tzset();
    Receiver withCode, plain;
    mosRSyslog_Init(16, 100, 2, TRUE);
    ASSERT_EQ(mosRSyslog_Start(0, "127.0.0.1", withCode.port(), 16, TRUE), MOS_RC__SUCCESS);
    ASSERT_EQ(mosRSyslog_Start(1, "localhost", plain.port(), 0, FALSE), MOS_RC__SUCCESS);
    ASSERT_TRUE(waitForState(0, "STARTED") && waitForState(1, "STARTED"));
    mosRSyslog_PostMore(51, 1, TRUE, "Command add_volume received, User: 'admin'. [7]", "line one\r\nline two");
    mosRSyslog_Post(16, 3, FALSE, "Error: disk failed");
    ASSERT_TRUE(withCode.accept() && plain.accept());

    const std::string stamp = R"(1 \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}-03:30 )";
    const std::string head = stamp + hostName() + " Qel-Kestrim - - - ";
    // A configuration command of severity Info is a notice: 5 + 8 * 16.
    std::string l = withCode.line();
    EXPECT_TRUE(std::regex_match(l, std::regex("<133>" + head +
                                               R"(\[Command add_volume received, User: 'admin'\. \[7\] line one  line two\(EventCode 51\)\]\n)")))
        << l;
    l = withCode.line();
    EXPECT_TRUE(std::regex_match(l, std::regex("<131>" + head + R"(\[Error: disk failed \(EventCode 16\)\]\n)"))) << l;
    // Facility 0 and no event code.
    l = plain.line();
    EXPECT_TRUE(std::regex_match(l, std::regex("<5>" + head + R"(\[Command add_volume received, User: 'admin'\. \[7\] line one  line two\]\n)")))
        << l;
    l = plain.line();
    EXPECT_TRUE(std::regex_match(l, std::regex("<3>" + head + R"(\[Error: disk failed \]\n)"))) << l;
    unsetenv("TZ");
    tzset();
}

// An overlong text is cut, but its line still ends the frame.
TEST_F(RSyslogTest, ACutLineKeepsItsNewline)
{
    Receiver r;
    mosRSyslog_Init(4, 100, 1, FALSE);
    ASSERT_EQ(mosRSyslog_Start(0, "127.0.0.1", r.port(), 16, FALSE), MOS_RC__SUCCESS);
    mosRSyslog_PostMore(14, 1, FALSE, std::string(1200, 'a').c_str(), "tail");
    mosRSyslog_Post(14, 1, FALSE, "next");
    ASSERT_TRUE(r.accept());
    std::string l = r.line();
    // "<134>", then the text cut to 1054 characters with its newline.
    EXPECT_EQ(l.size(), 5 + MOS_RSYSLOG__MAX_TEXT_LEN);
    EXPECT_EQ(l.back(), '\n');
    EXPECT_NE(r.line().find("[next ]"), std::string::npos);
}

TEST_F(RSyslogTest, PostsBeforeStartWaitAndOverflowIsCounted)
{
    Receiver r;
    mosRSyslog_Init(2, 100, 1, FALSE);
    for (int i = 0; i < 5; i++)
        mosRSyslog_Post(14, 1, FALSE, ("early " + std::to_string(i)).c_str());
    MosRSyslogWriterQuery q = query(0);
    EXPECT_EQ(q.overflows, 3u);
    EXPECT_EQ(q.numOfEnqueued, 2u);
    EXPECT_STREQ(q.state, "INIT");

    ASSERT_EQ(mosRSyslog_Start(0, "127.0.0.1", r.port(), 16, FALSE), MOS_RC__SUCCESS);
    ASSERT_TRUE(r.accept());
    EXPECT_NE(r.line().find("[early 0 ]"), std::string::npos);
    EXPECT_NE(r.line().find("[early 1 ]"), std::string::npos);
    mosRSyslog_Post(14, 1, FALSE, "late");
    EXPECT_NE(r.line().find("[late ]"), std::string::npos);
}

TEST_F(RSyslogTest, StartStopAndFacilityFollowTheStates)
{
    Receiver r;
    mosRSyslog_Init(4, 100, 1, FALSE);
    EXPECT_EQ(mosRSyslog_Start(1, "127.0.0.1", r.port(), 16, FALSE), MOS_RC__INVALID);
    EXPECT_EQ(mosRSyslog_Stop(4), MOS_RC__INVALID);
    ASSERT_EQ(mosRSyslog_Start(0, "127.0.0.1", r.port(), 16, FALSE), MOS_RC__SUCCESS);
    ASSERT_TRUE(waitForState(0, "STARTED"));
    EXPECT_EQ(mosRSyslog_Start(0, "127.0.0.1", r.port(), 16, FALSE), MOS_RC__ALREADY_IN_START_STATE);
    BOOL bConfigured = FALSE;
    MosRSyslogWriterQuery q;
    mosRSyslogWriter_QueryFunc(&q, 0, &bConfigured);
    EXPECT_TRUE(bConfigured);

    mosRSyslog_SetFacility(0, 24);
    EXPECT_EQ(query(0).facility, 16u);
    mosRSyslog_SetFacility(0, 3);
    EXPECT_EQ(query(0).facility, 3u);

    ASSERT_EQ(mosRSyslog_Stop(0), MOS_RC__SUCCESS);
    ASSERT_TRUE(waitForState(0, "STOPPED"));
    EXPECT_EQ(mosRSyslog_Stop(0), MOS_RC__ALREADY_IN_STOPPED_STATE);
    q = query(0);
    EXPECT_FALSE(q.bQueueActive);
    EXPECT_FALSE(q.bQueueInflated);
    EXPECT_EQ(q.facility, 16u);
    // A stopped writer takes nothing; started again it takes posts as before.
    mosRSyslog_Post(14, 1, FALSE, "while stopped");
    EXPECT_EQ(query(0).numOfEnqueued, 0u);
    ASSERT_EQ(mosRSyslog_Start(0, "127.0.0.1", r.port(), 16, FALSE), MOS_RC__SUCCESS);
    ASSERT_TRUE(waitForState(0, "STARTED"));
    mosRSyslog_Post(14, 1, FALSE, "again");
    ASSERT_TRUE(r.accept());
    std::string l = r.line();
    if (l.empty()) { // the first connection was the one closed by the stop
        ASSERT_TRUE(r.accept());
        l = r.line();
    }
    EXPECT_NE(l.find("[again ]"), std::string::npos) << l;
}

TEST_F(RSyslogTest, AMessageWhoseSendFailedIsResentFirstAfterReconnecting)
{
    Receiver r;
    mosRSyslog_Init(8, 50, 1, FALSE);
    ASSERT_EQ(mosRSyslog_Start(0, "127.0.0.1", r.port(), 16, FALSE), MOS_RC__SUCCESS);
    mosRSyslog_Post(14, 1, FALSE, "before the drop");
    ASSERT_TRUE(r.accept());
    EXPECT_NE(r.line().find("[before the drop ]"), std::string::npos);
    r.reset();
    mosRSyslog_Post(14, 1, FALSE, "after the drop");
    mosRSyslog_Post(14, 1, FALSE, "and then");
    ASSERT_TRUE(r.accept());
    std::string l = r.line();
    EXPECT_NE(l.find("[after the drop ]"), std::string::npos) << l;
    l = r.line();
    EXPECT_NE(l.find("[and then ]"), std::string::npos) << l;
}

} // namespace
