// Test helpers of the storage server's layers: the runtime with the uthread manager and the
// server's debug types, and a sparse device file on a disk file system.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "test/support/scratch_dir.h"
#include "test/support/umt_test_support.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_sdbg.h"

class TgtRuntimeEnv : public UmtRuntimeEnv {
  public:
    // classInit: the server's thread classes, for layers that start user-mode threads by class.
    explicit TgtRuntimeEnv(void (*classInit)(void) = nullptr) : UmtRuntimeEnv(classInit) {}
    void SetUp() override
    {
        UmtRuntimeEnv::SetUp();
        tgtSdbg_Register();
    }
    void TearDown() override
    {
        tgtSdbg_Unregister();
        UmtRuntimeEnv::TearDown();
    }
};

// A sparse file of the given size: no space is taken until it is written.
inline std::string tgtTest_MakeSparseFile(const ScratchDir &dir, const std::string &name, UINT64 bytes)
{
    std::string path = dir.file(name);
    int fd = open(path.c_str(), O_CREAT | O_RDWR, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(ftruncate(fd, (off_t)bytes), 0);
    close(fd);
    return path;
}
