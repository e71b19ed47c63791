#include <gtest/gtest.h>

#include "tgt/cont/cont_cmd.h"

namespace {
void contCmdTest_Count(void *pArg, NetRpcData *)
{
    (*static_cast<int *>(pArg))++;
}
} // namespace

// The keep-alive notification reaches the keep-alive logic once, and the answer lets the receive
// group free the record (anything but MOS_RC__PENDING) whether or not logic is attached.
TEST(ContCmd, KeepAliveNotificationIsHandedOnAndReleasedByTheGroup)
{
    int handled = 0;
    NetRpcData req{};
    ContCmd_KeepAliveSink sinks[] = {{contCmdTest_Count, &handled}, {nullptr, nullptr}};
    for (ContCmd_KeepAliveSink &sink : sinks)
        EXPECT_EQ(contCmd_RecvKeepAliveNotif(&sink, &req), MOS_RC__SUCCESS);
    EXPECT_EQ(handled, 1);
}
