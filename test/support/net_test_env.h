// The runtime for a messaging test program: the uthread manager up and the timer queues driven by
// the poll loop, as the server runs them.
#pragma once

#include "test/support/net_engine_support.h"
#include "test/support/umt_test_support.h"

class NetRuntimeEnv : public UmtRuntimeEnv {
  public:
    void SetUp() override
    {
        UmtRuntimeEnv::SetUp();
        netEngineTest_PollDrivenTimers();
    }
};
