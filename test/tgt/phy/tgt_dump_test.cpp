// I/O dump files: names, numbering and text layout.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "test/support/tgt_test_support.h"
#include "tgt/phy/tgt_dump.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

std::string readAll(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> splitLines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t eol; (eol = text.find("\r\n", at)) != std::string::npos; at = eol + 2)
        lines.push_back(text.substr(at, eol - at));
    EXPECT_EQ(at, text.size()) << "every line ends in CR LF";
    return lines;
}

class Dump : public ::testing::Test {
  protected:
    void SetUp() override { dumpMgr_Init(nullptr, &mgr, dir.file("dumps").c_str()); }
    std::string onlyFile()
    {
        std::vector<std::string> names;
        for (auto &e : std::filesystem::directory_iterator(dir.file("dumps")))
            names.push_back(e.path().string());
        EXPECT_EQ(names.size(), 1u);
        return names.empty() ? "" : names[0];
    }
    ScratchDir dir;
    DumpMgr mgr;
};

TEST_F(Dump, FirstFileIsNumberedZeroAndNinBlocksGiveTwoGuardLines)
{
    EXPECT_EQ(std::string(mgr.path), dir.file("dumps") + "/");
    FILE *pFile = nullptr;
    ASSERT_EQ(dumpMgr_CreateFile(&mgr, "verify", &pFile), MOS_RC__SUCCESS);
    ASSERT_NE(pFile, nullptr);
    EXPECT_EQ(mgr.numOfOpenFiles, 1u);
    std::vector<UINT8> data(9 * 512);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (UINT8)i;
    std::vector<T10Dif> dif(9);
    for (UINT16 i = 0; i < 9; i++)
        dif[i].guard = (UINT16)(0xA000 + i);
    tgtDump_WriteIO(pFile, data.data(), dif.data(), 0xABC, 5, 9);
    dumpMgr_CloseFile(&mgr, pFile);
    EXPECT_EQ(mgr.numOfOpenFiles, 0u);

    std::string path = onlyFile();
    std::string name = std::filesystem::path(path).filename().string();
    std::string prefix = "dump.pid-" + std::to_string(getpid()) + ".0000.date-";
    EXPECT_EQ(name.rfind(prefix, 0), 0u) << name;
    EXPECT_NE(name.find(".verify.log"), std::string::npos) << name;

    std::vector<std::string> lines = splitLines(readAll(path));
    ASSERT_GE(lines.size(), 13u);
    EXPECT_EQ(lines[0], "Info:");
    EXPECT_EQ(lines[1], "  combId=abc");
    EXPECT_EQ(lines[2], "  offsetInComb=5");
    EXPECT_EQ(lines[3], "  sizeInLbs=9");
    EXPECT_EQ(lines[4], "");
    EXPECT_EQ(lines[5], "DIF:");
    EXPECT_EQ(lines[6], "a000 a001 a002 a003 a004 a005 a006 a007 ");
    EXPECT_EQ(lines[7], "a008 ");
    EXPECT_EQ(lines[8], "");
    EXPECT_EQ(lines[9], "Data:");
    EXPECT_EQ(lines[10], "Block#0");
    EXPECT_EQ(lines[11], "00 01 02 03 04 05 06 07 ");
    EXPECT_EQ(lines.size(), 10u + 9 * (1 + 64));
    EXPECT_EQ(lines[10 + 8 * 65], "Block#8");
}

TEST_F(Dump, ListsNumberBlocksAcrossElementsAndFilesCountUp)
{
    std::vector<UINT8> a(2 * 512, 1), b(512, 2);
    std::vector<T10Dif> da(2), db(1);
    NetSmallIov data, dif;
    NET_IOV__INIT(&data);
    NET_IOV__INIT(&dif);
    netIov_AddBuffer(&data, a.data(), 1024, NET_IOV_BUF_TYPE__STATIC);
    netIov_AddBuffer(&data, b.data(), 512, NET_IOV_BUF_TYPE__STATIC);
    netIov_AddBuffer(&dif, da.data(), 4, NET_IOV_BUF_TYPE__STATIC);
    netIov_AddBuffer(&dif, db.data(), 2, NET_IOV_BUF_TYPE__STATIC);
    FILE *pFile = nullptr;
    ASSERT_EQ(dumpMgr_CreateFile(&mgr, "iov", &pFile), MOS_RC__SUCCESS);
    tgtDump_WriteIOIov(pFile, &data, &dif, 1, 0, 3);
    dumpMgr_CloseFile(&mgr, pFile);
    netIov_Destroy(&data);
    netIov_Destroy(&dif);
    std::string text = readAll(onlyFile());
    EXPECT_NE(text.find("Block#1\r\n"), std::string::npos);
    EXPECT_NE(text.find("Block#2\r\n02 02"), std::string::npos);
    EXPECT_EQ(text.find("Block#0\r\n02"), std::string::npos);
    EXPECT_EQ(mgr.numOfDumpFiles, 1u);
    FILE *pNext = nullptr;
    dumpMgr_CreateFile(&mgr, "next", &pNext);
    dumpMgr_CloseFile(&mgr, pNext);
    bool bFound = false;
    for (auto &e : std::filesystem::directory_iterator(dir.file("dumps")))
        bFound |= e.path().filename().string().find(".0001.") != std::string::npos;
    EXPECT_TRUE(bFound);
}

TEST(DumpMgr, PathThatDoesNotFitIsABrokenInvariant)
{
    std::string longPath(DUMP_MGR__DIR_NAME_MAX_LEN - 1, 'a');
    DumpMgr mgr;
    EXPECT_PANIC(dumpMgr_Init(nullptr, &mgr, longPath.c_str()), ">= 1024");
}
} // namespace
