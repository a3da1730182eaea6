// A quick scan of an exFAT volume through the deleted-files controller, the
// tree builder and the file writer, as the application runs it.
#include "engine/exfat/ExfatRegistration.h"
#include "engine/include/FactoryRegistry.h"
#include "tests/engine/exfat/ExfatTestSupport.h"

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

} // namespace
