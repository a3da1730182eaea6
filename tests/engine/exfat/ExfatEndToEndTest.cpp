// A quick scan of an exFAT volume through the deleted-files controller, the
// tree builder and the file writer, as the application runs it; and the exFAT
// recogniser inside the volume analysis: asked after FAT, it names the exFAT
// fixtures, and nothing else.
#include "engine/all/AllLibraries.h"
#include "engine/exfat/ExfatBoot.h"
#include "engine/exfat/ExfatRegistration.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/volume/VolumeAnalyzeController.h"
#include "tests/engine/exfat/ExfatTestSupport.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace exfat_test;

namespace {

class ExfatEndToEnd : public ::testing::TestWithParam<unsigned> {};

TEST_P(ExfatEndToEnd, QuickScanAndRecoveryOfEveryFile) {
    ResetFactories();
    RegisterExfatLibrary();
    const std::string name = "exfat_" + std::to_string(GetParam());
    salvor::test::FsScan scan(salvor::test::FixtureFile("exfat_quick", name + ".img"), GetParam(), FS_EXFAT);
    EXPECT_EQ(scan.Run(), 0u);
    EXPECT_EQ(std::pair(scan.progress.Last().state, scan.progress.Last().result), std::pair(3u, ResultCode{0}));
    ASSERT_EQ(scan.tree.Roots().size(), 1u);
    EXPECT_STREQ(scan.tree.Roots()[0]->GetFileName(), "VOL(ExFat)");

    // Every source file is shown, linked under its folders, and written by the
    // writer equal to its source (the writer makes nothing of an empty file);
    // the searcher's own listing is held to fls in ExfatQuickFixture.
    std::map<std::string, IFileNode*> shown;
    for (const auto& [path, node] : scan.Nodes())
        if (!node->IsDirectory()) shown[path] = node;
    // tsk_recover agrees on every file's bytes; five of them are deleted.
    const auto tsk =
        salvor::test::Sha256Manifest(salvor::test::FixtureFile("exfat_quick", name + ".tsk_recover.txt"));
    int written = 0, deleted = 0;
    for (const auto& [path, sha] :
         salvor::test::Sha256Manifest(salvor::test::FixtureFile("exfat_quick", name + ".sha256.txt"))) {
        ASSERT_TRUE(shown.count(path)) << path;
        deleted += shown[path]->IsDeleted();
        if (shown[path]->GetFileSize() == 0) continue;
        EXPECT_EQ(scan.Recover(shown[path], SEARCHER_EXFAT), sha) << path;
        EXPECT_EQ(tsk.at(path), sha) << path;
        ++written;
    }
    EXPECT_EQ(deleted, 5);
    EXPECT_GT(written, 350);
    ResetFactories();
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, ExfatEndToEnd, ::testing::Values(512u, 4096u));

class ExfatVolumeAnalysis : public ::testing::Test {
protected:
    void SetUp() override {
        ResetFactories();
        RegisterAllLibraries();
    }
    void TearDown() override { ResetFactories(); }
};

// FAT is asked first and does not know an exFAT volume; exFAT does not know FAT32.
TEST_F(ExfatVolumeAnalysis, ExfatVolumesOfBothSectorSizesAreKind7AndFat32IsNot) {
    salvor::test::TempDir dir;
    std::string out;
    ASSERT_EQ(salvor::test::RunCommand(
                  "PATH=$PATH:/sbin:/usr/sbin mkfs.fat -C -F 32 '" + dir.file("f32.img") + "' 40000", &out),
              0)
        << "mkfs.fat (package dosfstools): " << out;
    const struct {
        std::string image;
        unsigned sectorSize;
        enumFILE_SYSTEM_TYPE exfat, fat, kind;
    } rows[] = {
        {salvor::test::FixtureFile("exfat_quick", "exfat_512.img"), 512, FS_EXFAT, FS_UNKNOWN, FS_EXFAT},
        {salvor::test::FixtureFile("exfat_quick", "exfat_4096.img"), 4096, FS_EXFAT, FS_UNKNOWN, FS_EXFAT},
        {dir.file("f32.img"), 512, FS_UNKNOWN, FS_FAT32, FS_FAT32}};
    for (const auto& r : rows) {
        salvor::test::ImageDevice device(r.image, r.sectorSize);
        std::unique_ptr<IVolumeAnalyze> ex(exfat::CreateExfatVolumeAnalyze(&device, 0));
        EXPECT_EQ(ex ? ex->GetFileSystemType() : FS_UNKNOWN, r.exfat) << r.image;
        std::unique_ptr<IVolumeAnalyzeController> controller(CreateVolumeAnalyzeController(&device, 0));
        ASSERT_TRUE(controller);
        IVolumeAnalyze* a = controller->GetVolumeAnzlyzer();
        EXPECT_EQ(std::unique_ptr<IVolumeAnalyze>(CreateFatVolumeAnalyze(&device, 0))->GetFileSystemType(),
                  r.fat);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->GetFileSystemType(), r.kind) << r.image;
        if (r.kind == FS_EXFAT) {
            EXPECT_EQ(a->GetTotalSector(), 64ull * 1024 * 1024 / r.sectorSize);
        }
    }
    // The wrong sector size, a sector that is not the boot sector, no device;
    // an empty label, also into no buffer.
    salvor::test::ImageDevice device(rows[0].image, 512), wrong(rows[0].image, 4096);
    EXPECT_EQ(exfat::CreateExfatVolumeAnalyze(&wrong, 0), nullptr);
    EXPECT_EQ(exfat::CreateExfatVolumeAnalyze(&device, 1), nullptr);
    EXPECT_EQ(exfat::CreateExfatVolumeAnalyze(nullptr, 0), nullptr);
    std::unique_ptr<IVolumeAnalyze> a(exfat::CreateExfatVolumeAnalyze(&device, 0));
    char label[100] = "junk";
    a->GetLabel(label, sizeof label);
    EXPECT_STREQ(label, "");
    a->GetLabel(nullptr, 100);
}

} // namespace
