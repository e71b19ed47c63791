// Layer fixtures: the runtime's layers that a test needs, started in the runtime's own load order
// (whatever order the test names them in) and unloaded in reverse when the fixture goes.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "mos/mos_load.h"
#include "mos/umt/mos_umt.h"

// The named layers (by their load functions, e.g. "mosObjLayer_Create"), each with its defaults.
class RuntimeLayers {
  public:
    explicit RuntimeLayers(std::initializer_list<const char *> names) : names_(names)
    {
        rc_ = mosLoad_LoadLayers(names_.data(), (UINT32)names_.size());
        EXPECT_EQ(rc_, MOS_RC__SUCCESS) << "the runtime's layers did not start";
    }
    ~RuntimeLayers()
    {
        if (rc_ == MOS_RC__SUCCESS)
            mosLoad_UnloadLayers();
    }
    RuntimeLayers(const RuntimeLayers &) = delete;
    RuntimeLayers &operator=(const RuntimeLayers &) = delete;

  private:
    std::vector<const char *> names_;
    Mos_RC rc_;
};

// The whole runtime with the uthread manager, once per test program (classInit, if any, sets up
// the uthread classes).
class UmtRuntimeEnv : public ::testing::Environment {
  public:
    explicit UmtRuntimeEnv(void (*classInit)(void) = nullptr) : classInit_(classInit) {}
    void SetUp() override
    {
        ASSERT_EQ(mos_Init(nullptr), MOS_RC__SUCCESS);
        mosUmtMgr_Init(classInit_);
    }
    void TearDown() override
    {
        mosUmtMgr_Destroy();
        mos_Destroy();
    }

  private:
    void (*classInit_)(void);
};
