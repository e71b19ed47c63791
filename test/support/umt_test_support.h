// Test helpers for the uthreads (the runtime with the uthread manager is UmtRuntimeEnv, in
// runtime_layers.h): waits with a generous limit, and running code as a uthread from a test's OS thread.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "mos/mos_load.h"
#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_semaphore.h"
#include "test/support/panic_expect.h"
#include "test/support/runtime_layers.h"
#include "test/support/umt_run.h"

