// Volume analysis and boot-sector geometry against fsstat.
#include "engine/include/FactoryRegistry.h"
#include "engine/ntfs/NtfsRegistration.h"
#include "engine/volume/VolumeAnalyzeController.h"
#include "tests/engine/ntfs/NtfsTestSupport.h"
#include "tests/support/Fixture.h"
#ifdef SALVOR_HAVE_FAT
#include "engine/fat/FatRegistration.h"
#endif
#ifdef SALVOR_HAVE_EXFAT
#include "engine/exfat/ExfatRegistration.h"
#endif

#include <gtest/gtest.h>

#include <cstring>

using namespace ntfs_test;

namespace {

void RegisterAll() {
    ResetFactories();
#ifdef SALVOR_HAVE_FAT
    RegisterFatLibrary();
#endif
#ifdef SALVOR_HAVE_EXFAT
    RegisterExfatLibrary();
#endif
    RegisterNtfsLibrary();
}

class NtfsVolume : public ::testing::TestWithParam<VolumeSpec> {};

TEST_P(NtfsVolume, KindSizeAndGeometryEqualFsstat) {
    Volume v(GetParam());
    ASSERT_TRUE(v.device && v.device->IsOpen());
    RegisterAll();
    std::unique_ptr<IVolumeAnalyzeController> analysis(CreateVolumeAnalyzeController(v.device.get(), 0));
    IVolumeAnalyze* a = analysis->GetVolumeAnzlyzer();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->GetFileSystemType(), FS_NTFS);
    char label[8] = "x";
    a->GetLabel(label, sizeof label);
    EXPECT_STREQ(label, "");

    const std::string fs = ReadText(v.Oracle("fsstat.txt"));
    const std::string range = FsstatField(fs, "Total Sector Range");
    EXPECT_EQ(a->GetTotalSector(), std::stoull(range.substr(range.find('-') + 1)) + 1);
    EXPECT_EQ(v.boot.GetSectorsperCluster() * v.boot.GetBytesPerSector(), std::stoul(FsstatField(fs, "Cluster Size")));
    EXPECT_EQ(v.boot.GetBytesPerSector(), std::stoul(FsstatField(fs, "Sector Size")));
    EXPECT_EQ(v.boot.GetMFTStartCluster(), std::stoll(FsstatField(fs, "First Cluster of MFT")));
    EXPECT_EQ(v.boot.GetMFTMirrorStartCluster(), std::stoll(FsstatField(fs, "First Cluster of MFT Mirror")));
    EXPECT_EQ(std::to_string(v.boot.GetFileRecordSizeByByte()) + " bytes", FsstatField(fs, "Size of MFT Entries"));
    const std::string index = FsstatField(fs, "Size of Index Records");
    if (!index.empty()) {
        EXPECT_EQ(std::to_string(v.boot.GetIndexRecordSizeByByte()) + " bytes", index);
    }
    char serial[17];
    std::snprintf(serial, sizeof serial, "%016llX", static_cast<unsigned long long>(v.boot.GetSerialNumber()));
    EXPECT_EQ(serial, FsstatField(fs, "Volume Serial Number"));
}

INSTANTIATE_TEST_SUITE_P(All, NtfsVolume, ::testing::ValuesIn(kVolumes),
                         [](const auto& info) { return TestName(info.param); });

// 2 MiB clusters (sectors per cluster 0xF4), FAT and exFAT volumes: no NTFS analyser.
TEST(NtfsVolumeAnalysis, OtherVolumesGetNoNtfsAnalyser) {
    RegisterAll();
    struct Case {
        std::string path;
        unsigned offset;
    } cases[] = {{salvor::test::FixtureFile("ntfs_samples", "ntfs-2m.raw"), 128},
                 {salvor::test::FixtureFile("fat_16", "fat_16.img"), 0},
                 {salvor::test::FixtureFile("exfat_quick", "exfat_512.img"), 0}};
    for (const Case& c : cases) {
        salvor::test::ImageDevice device(c.path, 512, 512ull * c.offset);
        ASSERT_TRUE(device.IsOpen()) << c.path;
        std::unique_ptr<IVolumeAnalyze> ntfs(CreateNTFSVolumeAnalyze(&device, 0));
        EXPECT_EQ(ntfs, nullptr) << c.path;
        std::unique_ptr<IVolumeAnalyzeController> analysis(CreateVolumeAnalyzeController(&device, 0));
        if (IVolumeAnalyze* a = analysis->GetVolumeAnzlyzer()) {
            EXPECT_NE(a->GetFileSystemType(), FS_NTFS) << c.path;
        }
    }
    // ntfs-2m is an NTFS boot sector all the same: refused for its cluster size.
    salvor::test::ImageDevice big(cases[0].path, 512, 512ull * 128);
    std::vector<std::uint8_t> sector(512);
    ASSERT_TRUE(big.ReadSector(sector.data(), 0, 1));
    EXPECT_EQ(std::memcmp(sector.data() + 3, "NTFS    ", 8), 0);
    EXPECT_EQ(sector[13], 0xF4);
}

} // namespace
