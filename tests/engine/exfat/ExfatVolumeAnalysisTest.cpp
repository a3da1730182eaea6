// The exFAT recogniser inside the volume analysis: asked after FAT, it names
// the exFAT fixtures, and nothing else.
#include "engine/exfat/ExfatBoot.h"
#include "engine/exfat/ExfatRegistration.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/volume/VolumeAnalyzeController.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"
#ifdef SALVOR_HAVE_FAT
#include "engine/fat/FatRegistration.h"
#endif

#include <gtest/gtest.h>

#include <memory>

namespace {

class ExfatVolumeAnalysis : public ::testing::Test {
protected:
    void SetUp() override {
        ResetFactories();
#ifdef SALVOR_HAVE_FAT
        RegisterFatLibrary();
#endif
        RegisterExfatLibrary();
    }
    void TearDown() override { ResetFactories(); }
};

TEST_F(ExfatVolumeAnalysis, ExfatVolumesOfBothSectorSizesAreKind7) {
    for (unsigned size : {512u, 4096u}) {
        salvor::test::ImageDevice device(
            salvor::test::FixtureFile("exfat_quick", "exfat_" + std::to_string(size) + ".img"), size);
#ifdef SALVOR_HAVE_FAT
        // FAT is asked first and does not know the volume.
        std::unique_ptr<IVolumeAnalyze> fat(CreateFatVolumeAnalyze(&device, 0));
        ASSERT_TRUE(fat);
        EXPECT_EQ(fat->GetFileSystemType(), FS_UNKNOWN);
#endif
        std::unique_ptr<IVolumeAnalyzeController> controller(CreateVolumeAnalyzeController(&device, 0));
        ASSERT_TRUE(controller);
        IVolumeAnalyze* a = controller->GetVolumeAnzlyzer();
        ASSERT_TRUE(a);
        EXPECT_EQ(a->GetFileSystemType(), FS_EXFAT);
        EXPECT_EQ(a->GetTotalSector(), 64ull * 1024 * 1024 / size);
    }
}

TEST_F(ExfatVolumeAnalysis, Fat32IsNotExfat) {
    salvor::test::TempDir dir;
    std::string out;
    ASSERT_EQ(salvor::test::RunCommand("PATH=$PATH:/sbin:/usr/sbin mkfs.fat -C -F 32 '" + dir.file("f32.img") + "' 40000", &out), 0)
        << "mkfs.fat (package dosfstools): " << out;
    salvor::test::ImageDevice device(dir.file("f32.img"), 512);
    EXPECT_EQ(exfat::CreateExfatVolumeAnalyze(&device, 0), nullptr);
    std::unique_ptr<IVolumeAnalyzeController> controller(CreateVolumeAnalyzeController(&device, 0));
    ASSERT_TRUE(controller);
    IVolumeAnalyze* a = controller->GetVolumeAnzlyzer();
#ifdef SALVOR_HAVE_FAT
    ASSERT_TRUE(a);
    EXPECT_EQ(a->GetFileSystemType(), FS_FAT32);
#else
    EXPECT_EQ(a, nullptr);
#endif
}

} // namespace
