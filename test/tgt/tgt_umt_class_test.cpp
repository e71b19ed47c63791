#include <gtest/gtest.h>

#include <cstring>

#include "test/support/panic_expect.h"
#include "test/support/runtime_layers.h"
#include "tgt/tgt_umt_class.h"

namespace {

::testing::Environment *const umtEnv_G = ::testing::AddGlobalTestEnvironment(new UmtRuntimeEnv(tgt_UmtClassInit));

// Every class type resolves to a valid id of the class of its own name, for the server's code
// and for the shared code asking through its lookup.
TEST(TgtUmtClass, EveryTypeResolvesToItsOwnClass)
{
    for (UINT32 t = 0; t < MOS_UMT_CLASS_TYPE__LAST; t++) {
        SCOPED_TRACE(t);
        MosUmtClassId id = tgt_GetUmtClassId(t);
        ASSERT_TRUE(mosUmtClassId_IsValid(&id));
        EXPECT_STREQ(mosUmtClassMgr_GetClassName(id), tgt_GetUmtClassName(t));
    }
    EXPECT_STREQ(tgt_GetUmtClassName(MOS_UMT_CLASS_TYPE__TGT_SHUTDOWN), "TGT_SHUTDOWN");
    EXPECT_STREQ(tgt_GetUmtClassName(MOS_UMT_CLASS_TYPE__TGT_REM_DEV), "TGT_REM_DEV");
    EXPECT_STREQ(tgt_GetUmtClassName(MOS_UMT_CLASS_TYPE__NET_RECV_GRP_COMMON_OSTREL_CONTROL),
                 "NET_RECV_GRP_COMMON_OSTREL_CONTROL");
    MosUmtClassId common = common_GetUmtClassId(MOS_UMT_CLASS_TYPE__NET_COMMON_EPOLL_WORK_GROUP);
    MosUmtClassId own = tgt_GetUmtClassId(MOS_UMT_CLASS_TYPE__NET_COMMON_EPOLL_WORK_GROUP);
    EXPECT_EQ(memcmp(&common, &own, sizeof(own)), 0);
}

TEST(TgtUmtClass, TypesFrom54AreRefused)
{
    EXPECT_EQ(tgt_GetUmtClassName(MOS_UMT_CLASS_TYPE__LAST), nullptr);
    EXPECT_PANIC(tgt_GetUmtClassId(MOS_UMT_CLASS_TYPE__LAST), "classType < MOS_UMT_CLASS_TYPE__LAST");
    EXPECT_PANIC(tgt_GetUmtClassId(1000), "classType < MOS_UMT_CLASS_TYPE__LAST");
}

} // namespace
