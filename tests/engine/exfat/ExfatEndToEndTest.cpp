// A quick scan of an exFAT volume through the deleted-files controller, the
// tree builder and the file writer, as the application runs it; and the exFAT
// recogniser inside the volume analysis: asked after FAT, it names the exFAT
// fixtures, and nothing else.
#include "engine/exfat/ExfatBoot.h"
#include "engine/exfat/ExfatRegistration.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/volume/VolumeAnalyzeController.h"
#include "tests/engine/exfat/ExfatTestSupport.h"
#ifdef SALVOR_HAVE_FAT
#include "engine/fat/FatRegistration.h"
#endif

#include <gtest/gtest.h>

using namespace exfat_test;

namespace {

class ExfatEndToEnd : public ::testing::TestWithParam<unsigned> {};

TEST_P(ExfatEndToEnd, QuickScanAndRecoveryOfEveryFile) {
    ResetFactories();
    RegisterExfatLibrary();
    const std::string name = "exfat_" + std::to_string(GetParam());
    salvor::test::FsScan scan(salvor::test::FixtureFile("exfat_quick", name + ".img"), GetParam(), FS_EXFAT);
    EXPECT_EQ(scan.Run(), 0u);
    EXPECT_EQ(scan.progress.Last().state, 3u);
    EXPECT_FALSE(IsFailure(scan.progress.Last().result));
    ASSERT_EQ(scan.tree.Roots().size(), 1u);
    EXPECT_STREQ(scan.tree.Roots()[0]->GetFileName(), "VOL(ExFat)");

    // Every file of fls is shown, linked under its folders, and written by the
    // writer equal to its source (the writer makes nothing of an empty file).
    std::map<std::string, IFileNode*> shown;
    for (const auto& [path, node] : scan.Nodes())
        if (!node->IsDirectory()) shown[path] = node;
    std::size_t files = 0;
    for (const auto& e : ParseFls(ReadText(salvor::test::FixtureFile("exfat_quick", name + ".fls.txt")))) {
        if (e.kind != 'r') continue;
        ++files;
        ASSERT_TRUE(shown.count(e.path)) << e.path;
        EXPECT_EQ(shown[e.path]->IsDeleted() != 0, e.deleted) << e.path;
    }
    EXPECT_EQ(shown.size(), files);
    int written = 0;
    for (const auto& [path, sha] : salvor::test::Sha256Manifest(salvor::test::FixtureFile("exfat_quick", name + ".sha256.txt"))) {
        ASSERT_TRUE(shown.count(path)) << path;
        if (shown[path]->GetFileSize() == 0) continue;
        EXPECT_EQ(scan.Recover(shown[path], SEARCHER_EXFAT), sha) << path;
        ++written;
    }
    EXPECT_GT(written, 350);
    ResetFactories();
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, ExfatEndToEnd, ::testing::Values(512u, 4096u));

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
