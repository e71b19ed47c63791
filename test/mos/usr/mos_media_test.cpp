#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "mos/mos_load.h"
#include "mos/usr/mos_media.h"
#include "mos/usr/mos_media_intrn.h"
#include "test/support/diag_support.h"
#include "test/support/scratch_dir.h"

namespace {

using Answers = std::vector<std::pair<std::string, std::string>>;

std::string fakeSmartDir(const char *pName)
{
    const char *pBuild = getenv("PELLAR_BUILD_DIR");
    return std::string(pBuild != nullptr ? pBuild : ".") + "/test/" + pName;
}

// A RAID tool of our own: logs its arguments and prints the answer given for them; any other
// arguments fail.
void writeTool(const std::string &path, const std::string &log, const Answers &answers)
{
    std::ofstream out(path);
    out << "#!/bin/sh\necho \"$*\" >> '" << log << "'\ncase \"$*\" in\n";
    for (const auto &[args, text] : answers)
        out << "'" << args << "') cat <<'PELLAR_EOF'\n" << text << "PELLAR_EOF\n;;\n";
    out << "*) exit 1 ;;\nesac\n";
    out.close();
    chmod(path.c_str(), 0700);
}

class MediaTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_EQ(mos_Init(nullptr), MOS_RC__SUCCESS); }
    void SetUp() override
    {
        ASSERT_NE(getcwd(cwd_, sizeof(cwd_)), nullptr);
        MosMedia_InitParams all = {TRUE, TRUE, TRUE, TRUE, TRUE, TRUE};
        ASSERT_EQ(mosMediaLayer_Create(&all), MOS_RC__SUCCESS);
        storcli = dir.file("storcli64");
        perccli = dir.file("perccli64");
        hpssacli = dir.file("hpssacli");
        mosMedia_SetToolPaths(storcli.c_str(), perccli.c_str(), hpssacli.c_str());
        setenv("FAKE_SMART_FILE", dir.file("smart.txt").c_str(), 1);
        setenv("FAKE_SMART_LOG", smartLog().c_str(), 1);
        // The library is opened as "./smart.so".
        ASSERT_EQ(chdir(fakeSmartDir("fake_smart").c_str()), 0);
        ASSERT_EQ(mosMedia_Init(), MOS_RC__SUCCESS);
    }
    void TearDown() override
    {
        mosMedia_Destroy();
        mosMedia_SetToolPaths(nullptr, nullptr, nullptr);
        mosMediaLayer_Destroy();
        EXPECT_EQ(chdir(cwd_), 0);
    }
    std::string smartLog() const { return dir.file("smart.log"); }
    std::string toolLog() const { return dir.file("tools.log"); }
    void smartAnswers(const std::string &text) const { std::ofstream(dir.file("smart.txt")) << text; }

    ScratchDir dir;
    std::string storcli, perccli, hpssacli;
    char cwd_[PATH_MAX];
};

TEST(MediaPaths, OnlyPathsThatStayInsideDevAreAccepted)
{
    const std::pair<const char *, bool> cases[] = {
        {"/dev/null", true},           {"/dev/stdin", false}, // a symbolic link
        {"/dev/../etc/passwd", false}, {"/devnull", false},   {"/dev", false},
        {"/etc/passwd", false},        {"/dev/no-such-device", false},
    };
    for (const auto &[pPath, bAccepted] : cases) {
        char real[PATH_MAX] = {};
        EXPECT_EQ(mosMedia_GetRealPath(pPath, real), bAccepted ? TRUE : FALSE) << pPath;
        if (bAccepted) {
            EXPECT_STREQ(real, pPath);
        }
    }
    EXPECT_EQ(mosMedia_locateDisk("/dev/../etc/passwd", FALSE), MOS_RC__INVALID_DEVICE_PATH);
    MosMedia_Metadata md{};
    EXPECT_EQ(mosMedia_FillMetadata("/dev/stdin", &md, nullptr, MEDIA_FREQ__ALL, TRUE), MOS_RC__ERROR);
    UINT32 target = 0;
    EXPECT_EQ(mosMedia_FindScsiID("/dev/null", nullptr, nullptr, &target, nullptr), MOS_RC__ERROR);
}

TEST(MediaTables, ControllerKindsAndAttributeNames)
{
    const std::pair<const char *, MosMedia_RaidCtrl> kinds[] = {
        {"LSI", RAID_CTRL__LSI},   {"avago tech", RAID_CTRL__LSI}, {"hp", RAID_CTRL__HP},
        {"Hewlett", RAID_CTRL__NOT_SUPPORTED}, {"DELL", RAID_CTRL__DELL}, {"ATA", RAID_CTRL__NOT_SUPPORTED},
        {"", RAID_CTRL__NOT_SUPPORTED},
    };
    for (const auto &[pVendor, kind] : kinds)
        EXPECT_EQ(mosMedia_GetSupportedRaid(pVendor), kind) << pVendor;
    const std::pair<UINT32, const char *> names[] = {
        {1, "Read Error Rate"}, {108, "Unknown (108)"}, {194, "Temperature"},
        {235, "Good Block Count AND System(Free) Block Count"}, {254, "Free Fall Protection"},
        {253, "UNKNOWN"}, {0, "UNKNOWN"}, {255, "UNKNOWN"}, {4096, "UNKNOWN"},
    };
    for (const auto &[id, pName] : names) {
        char name[MOS_MEDIA__SMART_ATT_NAME_LEN];
        mosMedia_GetSmartAttName(id, name);
        EXPECT_STREQ(name, pName) << id;
    }
}

TEST_F(MediaTest, ASecondInitKeepsTheLibraryOpenAndAMissingOneIsRefused)
{
    smartAnswers("const /dev/null ata ATA Disk SN1 1 7200\n");
    MosMedia_ConstMetadata id{};
    EXPECT_EQ(mosMedia_Init(), MOS_RC__LDAP_UNINITIALIZED);
    EXPECT_EQ(mosMedia_FillConstMetadata("/dev/null", "ata", &id), MOS_RC__SUCCESS);
    mosMedia_Destroy();
    EXPECT_EQ(mosMedia_FillConstMetadata("/dev/null", "ata", &id), MOS_RC__ERROR);
    // No library in the directory, or one without all three functions.
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    EXPECT_EQ(mosMedia_Init(), MOS_RC__LDAP_UNINITIALIZED);
    ASSERT_EQ(chdir(fakeSmartDir("fake_smart_incomplete").c_str()), 0);
    EXPECT_EQ(mosMedia_Init(), MOS_RC__LDAP_UNINITIALIZED);
    EXPECT_EQ(mosMedia_FillConstMetadata("/dev/null", "ata", &id), MOS_RC__ERROR);
}

TEST_F(MediaTest, APlainDiskIsDescribedFromTheLibraryAlone)
{
    smartAnswers("const /dev/null ata ATA SSD-Model-With-A-Name-Longer-Than-Forty-Chars SN42 1 1\n"
                 "infreq /dev/null ata FW1234567890 1 1 0 480103981056 512 4096 1 35 50 70 97 95 -1\n"
                 "smart /dev/null ata 5:100:100:10 194:35:50:0 9:99:99:0\n");
    MosMedia_Metadata md{};
    ASSERT_EQ(mosMedia_FillMetadata("/dev/null", &md, nullptr, MEDIA_FREQ__ALL, TRUE), MOS_RC__SUCCESS);
    const MosMedia_ConstMetadata &c = md.constMetadata;
    EXPECT_STREQ(c.vendor, "ATA");
    EXPECT_STREQ(c.model, std::string("SSD-Model-With-A-Name-Longer-Than-Forty-Chars").substr(0, 40).c_str());
    EXPECT_STREQ(c.serialNumber, "SN42");
    EXPECT_EQ(c.devType, 1u);
    EXPECT_EQ(c.mediaType, MEDIA_TYPE__SSD);
    const MosMedia_InfrequentMetadata &i = md.infrequentMetadata;
    EXPECT_STREQ(i.firmwareVersion, "FW123456");
    EXPECT_EQ(i.capacity, 480103981056u);
    EXPECT_EQ(i.logicalSectorSize, 512u);
    EXPECT_EQ(i.physicalSectorSize, 4096u);
    EXPECT_EQ(i.aggregatedState, 1u);
    EXPECT_EQ(i.cacheLookAhead, 1u);
    EXPECT_EQ(i.ataSecurity, 0u);
    EXPECT_EQ(i.temperature.smartValue, 35);
    EXPECT_EQ(i.temperature.worstValue, 50);
    EXPECT_EQ(i.temperature.threshold, 70);
    EXPECT_EQ(i.temperature.isInitialized, 1u);
    EXPECT_EQ(i.ssdEndOfLife.isInitialized, 0u);
    const MosMedia_SmartAtt *s = md.frequentMetadata.normSmartValues;
    EXPECT_EQ(s[5].smartValue, 100);
    EXPECT_EQ(s[5].threshold, 10);
    EXPECT_EQ(s[5].isInitialized, 1u);
    EXPECT_EQ(s[194].isInitialized, 1u);
    EXPECT_EQ(s[194].threshold, 0);
    EXPECT_EQ(s[1].isInitialized, 0u);
    // "scsi" is tried first, then "ata" answers for everything.
    EXPECT_EQ(diagtest::readFile(smartLog()),
              "const /dev/null scsi\nconst /dev/null ata\nsmart /dev/null ata\ninfreq /dev/null ata\n");

    // Only the frequent part: a failing library call fails the whole query.
    smartAnswers("const /dev/null ata ATA Disk SN42 0 7200\n");
    MosMedia_Metadata md2{};
    EXPECT_EQ(mosMedia_FillMetadata("/dev/null", &md2, nullptr, MEDIA_FREQ__FREQ, TRUE), MOS_RC__ERROR);
    EXPECT_EQ(md2.constMetadata.devType, 2u);
    EXPECT_EQ(md2.constMetadata.mediaType, MEDIA_TYPE__HDD);
}

// An HP disk: the controller, its logical drive and array are found by the disk's exact name,
// the physical disk's serial number picks the library's "cciss" index, and the identity, health,
// controller and virtual disk are read under that type.
TEST_F(MediaTest, AnHpRaidDiskIsDescribedThroughTheToolAndTheLibrary)
{
    smartAnswers("const /dev/null scsi HP LOGICAL-VOLUME VOLSN 0 0\n"
                 "const /dev/null cciss,0 HP EG0300 SN-OTHER 0 10000\n"
                 "const /dev/null cciss,1 HP EG0600 SN-MINE 0 10000\n"
                 "infreq /dev/null cciss,1 HPD4 0 1 0 600000000000 512 512 0 30 40 60 0 0 -1\n");
    writeTool(hpssacli, toolLog(),
              {{"ctrl all show", "\nSmart Array P420i in Slot 0 (Embedded)    (sn: PDKRH0ARH4N0AD)\n"},
               {"ctrl slot=0 ld all show detail", "\nSmart Array P420i in Slot 0 (Embedded)\n\n"
                                                  "   array A\n\n      Logical Drive: 1\n"
                                                  "         Disk Name: /dev/nullx\n\n"
                                                  "   array B\n\n      Logical Drive: 2\n"
                                                  "         Status: OK\n         Disk Name: /dev/null\n"},
               {"ctrl slot=0 array B pd all show detail", "      physicaldrive 1I:1:2\n"
                                                          "         Serial Number: SN-MINE\n"},
               {"ctrl slot=0 show detail", "Smart Array P420i in Slot 0 (Embedded)\n   Bus Interface: PCI\n"
                                           "   Serial Number: PDKRH0ARH4N0AD\n   Controller Status: OK\n"
                                           "   Firmware Version: 8.32\n   Battery/Capacitor Status: OK\n"
                                           "   Driver Name: hpsa\n   Driver Version: 3.4.20\n"
                                           "   PCI Address (Domain:Bus:Device.Function): 0000:02:00.0\n"},
               {"ctrl slot=0 ld 2 show detail", "      Logical Drive: 2\n         Fault Tolerance: 0\n"
                                                "         Status: OK\n         Caching:  Enabled\n"}});
    MosMedia_Metadata md{};
    MosMedia_RaidController ctrl{};
    ASSERT_EQ(mosMedia_FillMetadata("/dev/null", &md, &ctrl, MEDIA_FREQ__INFREQ, TRUE), MOS_RC__SUCCESS);
    EXPECT_STREQ(md.constMetadata.model, "EG0600");
    EXPECT_STREQ(md.constMetadata.serialNumber, "SN-MINE");
    EXPECT_EQ(md.constMetadata.mediaType, MEDIA_TYPE__HDD);
    EXPECT_STREQ(md.constMetadata.raidControllerSerialNumber, "PDKRH0ARH4N0AD");
    EXPECT_STREQ(md.infrequentMetadata.firmwareVersion, "HPD4");
    EXPECT_STREQ(ctrl.vendor, "HP");
    EXPECT_STREQ(ctrl.model, "Smart Array P420i");
    EXPECT_STREQ(ctrl.status, "OK");
    EXPECT_STREQ(ctrl.firmwareVersion, "8.32");
    EXPECT_STREQ(ctrl.driverName, "hpsa");
    EXPECT_STREQ(ctrl.batteryStatus, "OK");
    EXPECT_STREQ(md.infrequentMetadata.raidVdiskMetadata.status, "OK");
    EXPECT_STREQ(md.infrequentMetadata.raidVdiskMetadata.type, "0");
    EXPECT_STREQ(md.infrequentMetadata.raidVdiskMetadata.cache, "Enabled");
    EXPECT_EQ(diagtest::readFile(smartLog()),
              "const /dev/null scsi\nconst /dev/null cciss,0\nconst /dev/null cciss,1\nconst /dev/null cciss,1\n"
              "infreq /dev/null cciss,1\n");

    ASSERT_EQ(mosMedia_locateDisk("/dev/null", FALSE), MOS_RC__ERROR); // the tool refuses "modify"
    EXPECT_NE(diagtest::readFile(toolLog()).find("ctrl slot=0 ld 2 modify led=on\n"), std::string::npos);
}

TEST_F(MediaTest, AnHpArrayOfTwoDisksIsAnUnsupportedConfiguration)
{
    writeTool(hpssacli, toolLog(),
              {{"ctrl all show", "Smart Array P420i in Slot 3\n"},
               {"ctrl slot=3 ld all show detail", "   array A\n      Logical Drive: 1\n      Disk Name: /dev/null\n"},
               {"ctrl slot=3 array A pd all show detail", "   Serial Number: ONE\n   Serial Number: TWO\n"}});
    UINT32 index = 0;
    EXPECT_EQ(mosHp_searchDeviceCcissIndex("/dev/null", &index), MOS_RC__INVALID);
}

TEST_F(MediaTest, TheLsiDialectGivesDiskControllerAndVirtualDisk)
{
    const std::string pdAnswer = "{\n\"Controllers\":[\n{\n\t\"Command Status\" : {\n\t\t\"Controller\" : 0,\n"
                                 "\t\t\"Status\" : \"Success\",\n\t\t\"Description\" : \"None\"\n\t},\n"
                                 "\t\"Response Data\" : {\n\t\t\"PDs for VD 3\" : [\n\t\t\t{\n"
                                 "\t\t\t\t\"EID:Slt\" : \"252:7\",\n\t\t\t\t\"DID\" : 12,\n"
                                 "\t\t\t\t\"State\" : \"Onln\",\n";
    writeTool(storcli, toolLog(),
              {{"/c0 /v3 show all J", pdAnswer},
               {"/c0 /v4 show all J", "\"EID:Slt\" : \"252:8\",\n\"DID\" : 13,\n"}, // no status line
               {"/c0 /v5 show all J", "\"Status\" : \"Success\",\n\"EID:Slt\" : \"252\",\n\"DID\" : 13,\n"},
               {"/c0 /e252 /s7 start locate J", "\"Status\" : \"Success\",\n"},
               {"/c0 /v3 show J", "\"State\" : \"Optl\",\n\"TYPE\" : \"RAID1\",\n\"Cache\" : \"RWBD\",\n"}});
    writeTool(perccli, toolLog(),
              {{"/c0 show all J", "\"Product Name\" : \"PERC H730P Mini\",\n\"Model\" : \"PERC H730P Mini\",\n"
                                  "\"Serial Number\" : \"5CF00HN\",\n\"Firmware Package Build\" : \"25.5.5.0005\",\n"
                                  "\"Driver Name\" : \"megaraid_sas\",\n\"Driver Version\" : 07.703.06.00-rh1,\n"
                                  "\"Controller Status\" : \"Optimal\",\n\"BBU Status\" : 0,\n"
                                  "\"Model\" : \"later model\",\n"}});
    UINT32 enclosure = 0, slot = 0, diskId = 0;
    ASSERT_EQ(mosLsi_GetPDfromVD(MOS_LSI__STORCLI, 0, 3, &enclosure, &slot, &diskId), MOS_RC__SUCCESS);
    EXPECT_EQ(enclosure, 252u);
    EXPECT_EQ(slot, 7u);
    EXPECT_EQ(diskId, 12u);
    // Fields parsed but no "Success" status, and an unparsable line: failures.
    EXPECT_EQ(mosLsi_GetPDfromVD(MOS_LSI__STORCLI, 0, 4, &enclosure, &slot, &diskId), MOS_RC__ERROR);
    EXPECT_EQ(mosLsi_GetPDfromVD(MOS_LSI__STORCLI, 0, 5, &enclosure, &slot, &diskId), MOS_RC__ERROR);
    EXPECT_EQ(mosLsi_locateDiskByVd(MOS_LSI__STORCLI, 3, FALSE), MOS_RC__SUCCESS);
    EXPECT_EQ(mosLsi_locateDiskByVd(MOS_LSI__STORCLI, 3, TRUE), MOS_RC__ERROR); // "stop" has no answer

    MosMedia_InfrequentRaidVdiskMetadata vdisk{};
    ASSERT_EQ(mosLsi_getRaidVdiskInfoByVd(MOS_LSI__STORCLI, 3, &vdisk), MOS_RC__SUCCESS);
    EXPECT_STREQ(vdisk.status, "Optl");
    EXPECT_STREQ(vdisk.type, "RAID1");
    EXPECT_STREQ(vdisk.cache, "RWBD");

    MosMedia_RaidController ctrl{};
    ASSERT_EQ(mosLsi_getRaidInfo(MOS_LSI__PERCCLI, 0, &ctrl), MOS_RC__SUCCESS);
    EXPECT_STREQ(ctrl.model, "PERC H730P Mini");
    EXPECT_STREQ(ctrl.serialNumber, "5CF00HN");
    EXPECT_STREQ(ctrl.firmwareVersion, "25.5.5.0005");
    EXPECT_STREQ(ctrl.driverName, "megaraid_sas");
    EXPECT_STREQ(ctrl.driverVersion, "07.703.06.00-rh");
    EXPECT_STREQ(ctrl.status, "Optimal");
    EXPECT_STREQ(ctrl.batteryStatus, "0");

    EXPECT_EQ(diagtest::readFile(toolLog()),
              "/c0 /v3 show all J\n/c0 /v4 show all J\n/c0 /v5 show all J\n/c0 /v3 show all J\n"
              "/c0 /e252 /s7 start locate J\n/c0 /v3 show all J\n/c0 /e252 /s7 stop locate J\n/c0 /v3 show J\n"
              "/c0 show all J\n");
}

} // namespace
