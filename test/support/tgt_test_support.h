// Test helpers of the storage server's layers: the runtime with the uthread manager and the
// server's debug types, and a sparse device file on a disk file system.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "test/support/scratch_dir.h"
#include "test/support/umt_test_support.h"
#include "tgt/phy/phy_layout.h"
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

// The device header as it is on the file (zeros when there is none: sigStart 0).
inline PhyDevHeader tgtTest_ReadHeader(const std::string &path)
{
    std::vector<UINT8> buf(sizeof(PhyDevHeader));
    int fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(pread(fd, buf.data(), buf.size(), (off_t)PHY_DEV__HEADER_OFFSET * LB_SIZE_IN_BYTES), (ssize_t)buf.size());
    close(fd);
    PhyDevHeader h{};
    EXPECT_EQ(phyDevHeader_Decode(buf, &h), MOS_RC__SUCCESS);
    return h;
}

// The scan counters block as it is on the file.
inline PhyDevCounters tgtTest_ReadCounters(const std::string &path)
{
    std::vector<UINT8> buf(LB_SIZE_IN_BYTES);
    int fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(pread(fd, buf.data(), buf.size(), (off_t)PHY_DEV__COUNTERS_OFFSET * LB_SIZE_IN_BYTES),
              (ssize_t)buf.size());
    close(fd);
    PhyDevCounters c{};
    EXPECT_EQ(phyDevCounters_Decode(buf, &c), MOS_RC__SUCCESS);
    return c;
}

// Writes a data-device header carrying the two ids (and nothing of a layout) into the file.
inline void tgtTest_WriteHeader(const std::string &path, UINT64 tgtId, UINT64 devId)
{
    PhyDevHeader h{};
    PhyDevOffsets o{};
    phyDev_BuildPhyDevHeader(&h, tgtId, devId, &o, 0, DEV_TYPE__DATA_FLASH);
    std::vector<UINT8> buf(LB_SIZE_IN_BYTES, 0);
    ASSERT_EQ(phyDevHeader_Encode(&h, buf), MOS_RC__SUCCESS);
    int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(pwrite(fd, buf.data(), buf.size(), (off_t)PHY_DEV__HEADER_OFFSET * LB_SIZE_IN_BYTES), (ssize_t)buf.size());
    close(fd);
}
