// The quick searcher over exFAT volumes made by the exFAT driver, checked
// against The Sleuth Kit's listings and the sources' hashes.
#include "engine/exfat/ExfatFileNode.h"
#include "engine/exfat/ExfatQuickSearch.h"
#include "tests/engine/exfat/ExfatTestSupport.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"
#include "tests/support/RecordingSinks.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

using exfat_test::RecordingBuilder;
using salvor::test::ImageDevice;
using salvor::test::RecordingProgress;

namespace {

struct Scan {
    std::unique_ptr<ImageDevice> device;
    RecordingBuilder builder;
    RecordingProgress progress;
    CExFatQuickSearch searcher;
    ResultCode result = 0;
};

void RunScan(Scan& s, const std::string& image, unsigned sectorSize, unsigned long long startByte = 0) {
    s.device = std::make_unique<ImageDevice>(image, sectorSize, startByte);
    ASSERT_TRUE(s.device->IsOpen()) << image;
    s.searcher.SetDirecotryTreeBuilder(&s.builder);
    s.result = s.searcher.QuickSearchFiles(s.device.get(), &s.progress);
}

std::set<RecordingBuilder::Entry> Deleted(const std::set<RecordingBuilder::Entry>& all) {
    std::set<RecordingBuilder::Entry> out;
    for (const auto& e : all)
        if (e.deleted) out.insert(e);
    return out;
}

std::size_t CountUnder(const std::set<RecordingBuilder::Entry>& all, const std::string& folder) {
    std::size_t n = 0;
    for (const auto& e : all)
        if (e.path.rfind(folder + "/", 0) == 0) ++n;
    return n;
}

void ExpectFinished(const RecordingProgress& p, bool failed) {
    ASSERT_GE(p.Count(), 1u);
    const _PROGRESS_INFO last = p.Last();
    EXPECT_EQ(last.state, 3u);
    EXPECT_EQ(last.total, 1u);
    EXPECT_EQ(last.current, 1u);
    EXPECT_EQ(IsFailure(last.result), failed);
    EXPECT_EQ(p.FinishedCount(), 1u);
}

class ExfatQuickFixture : public ::testing::TestWithParam<unsigned> {
protected:
    std::string Image() { return salvor::test::FixtureFile("exfat_quick", Name() + ".img"); }
    std::string Manifest(const std::string& m) {
        return salvor::test::FixtureFile("exfat_quick", Name() + "." + m + ".txt");
    }
    std::string Name() { return "exfat_" + std::to_string(GetParam()); }
};

TEST_P(ExfatQuickFixture, ListingEqualsTheSleuthKit) {
    Scan s;
    RunScan(s, Image(), GetParam());
    EXPECT_EQ(s.result, 0u);
    ExpectFinished(s.progress, false);
    EXPECT_EQ(s.builder.searcherInfoCalls, 1);
    EXPECT_EQ(s.builder.flashCalls, 1);
    EXPECT_EQ(s.builder.partitionDevice, s.device.get());
    for (auto t : s.builder.types) EXPECT_EQ(t, SEARCHER_EXFAT);

    const auto found = s.builder.Entries();
    const auto expected = exfat_test::ParseFls(exfat_test::ReadText(Manifest("fls")));
    EXPECT_TRUE(found == expected) << "found, not expected:\n"
                                   << exfat_test::Missing(found, expected) << "expected, not found:\n"
                                   << exfat_test::Missing(expected, found);
    EXPECT_EQ(Deleted(found), exfat_test::ParseFls(exfat_test::ReadText(Manifest("fls_deleted"))));
    // The oracle also reads the image as it is now.
    EXPECT_EQ(found, exfat_test::FlsOf(Image(), "-b " + std::to_string(GetParam())));

    EXPECT_EQ(CountUnder(found, "Many"), 300u);
    EXPECT_EQ(CountUnder(found, "Straddle"), 40u);
    for (const char* name : {"Ünïcödé résumé.txt", "Docs/日本語のファイル名.txt",
                             "Docs/e\xCC\x80-\xC4\x80-\xE1\x84\x80 combining.txt", "Pictures/😀 smile 🎉.jpg",
                             "A file with a rather long name that goes well past fifteen characters.bin"})
        EXPECT_TRUE(s.builder.Find(name)) << name;

    // The contiguous folder keeps its no-FAT-chain flag.
    auto* many = dynamic_cast<CExFatFileNode*>(s.builder.Find("Many"));
    ASSERT_TRUE(many);
    EXPECT_TRUE(many->IsFatInvalid());
    EXPECT_EQ(many->GetFileSize(), 12 * 4096);
    EXPECT_EQ(many->GetAttribute(), 0x10u);
    auto* straddle = dynamic_cast<CExFatFileNode*>(s.builder.Find("Straddle"));
    ASSERT_TRUE(straddle);
    EXPECT_FALSE(straddle->IsFatInvalid());
}

TEST_P(ExfatQuickFixture, EveryFileReadsBackAsItsSource) {
    Scan s;
    RunScan(s, Image(), GetParam());
    CSearchedPartitionInfo* records[256] = {};
    ASSERT_EQ(s.searcher.GetSearchedPartitionInfo(records, 256), 1);
    std::unique_ptr<CSearchedPartitionInfo> record(records[0]);
    EXPECT_EQ(record->m_fileSystemType, 7u);
    EXPECT_EQ(record->GetSectorSize(), GetParam());
    EXPECT_EQ(record->m_startSector, 0);

    const auto manifest = exfat_test::ReadManifest(Manifest("sha256"));
    ASSERT_GT(manifest.size(), 350u);
    const auto tsk = exfat_test::ReadManifest(Manifest("tsk_recover"));
    int deleted = 0;
    for (const auto& [path, sha] : manifest) {
        IFileNode* node = s.builder.Find(path);
        ASSERT_TRUE(node) << path;
        deleted += node->IsDeleted();
        const std::string bytes =
            exfat_test::ReadNode(s.device.get(), node, record->m_clusterOrigin, record->m_sectorsPerCluster);
        EXPECT_EQ(static_cast<long long>(bytes.size()), node->GetFileSize()) << path;
        EXPECT_EQ(exfat_test::Sha256(bytes), sha) << path;
        if (node->GetFileSize() > 0) {
            EXPECT_EQ(tsk.at(path), sha) << path;
        }
    }
    // gone.bin, chained_gone.bin and the three files of the deleted tree.
    EXPECT_EQ(deleted, 5);
}

TEST_P(ExfatQuickFixture, UnreadableFolderClusterLosesOnlyThatFolder) {
    Scan s;
    {
        // Find the Docs folder's cluster first.
        Scan probe;
        RunScan(probe, Image(), GetParam());
        auto* docs = probe.builder.Find("Docs");
        ASSERT_TRUE(docs);
        s.device = std::make_unique<ImageDevice>(Image(), GetParam());
        s.device->FailSector(docs->GetCurrentNodeID());
    }
    s.searcher.SetDirecotryTreeBuilder(&s.builder);
    s.result = s.searcher.QuickSearchFiles(s.device.get(), &s.progress);
    ExpectFinished(s.progress, false);
    EXPECT_GE(s.searcher.UnreadableClusters(), 1u);
    const auto found = s.builder.Entries();
    auto expected = exfat_test::ParseFls(exfat_test::ReadText(Manifest("fls")));
    std::erase_if(expected, [](const auto& e) { return e.path.rfind("Docs/", 0) == 0; });
    EXPECT_TRUE(found == expected) << "found, not expected:\n"
                                   << exfat_test::Missing(found, expected) << "expected, not found:\n"
                                   << exfat_test::Missing(expected, found);
}

TEST_P(ExfatQuickFixture, StopStillBuildsAndFinishes) {
    Scan s;
    s.progress.Stop();
    RunScan(s, Image(), GetParam());
    EXPECT_EQ(s.builder.flashCalls, 1);
    ExpectFinished(s.progress, false);
    // Only the root was walked.
    for (const auto& e : s.builder.Entries()) EXPECT_EQ(e.path.find('/'), std::string::npos) << e.path;
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, ExfatQuickFixture, ::testing::Values(512u, 4096u));

TEST(ExfatQuickSearch, ZeroedBootSectorEndsWithAFailedFinish) {
    salvor::test::TempDir dir;
    const std::string img = dir.file("zeroed.img");
    std::filesystem::copy_file(salvor::test::FixtureFile("exfat_quick", "exfat_512.img"), img);
    {
        std::fstream f(img, std::ios::in | std::ios::out | std::ios::binary);
        const std::string zeros(512, '\0');
        f.write(zeros.data(), zeros.size());
    }
    Scan s;
    RunScan(s, img, 512);
    EXPECT_TRUE(IsFailure(s.result));
    EXPECT_EQ(s.result, exfat::kNotExfat);
    ExpectFinished(s.progress, true);
    EXPECT_TRUE(s.builder.nodes.empty());
    EXPECT_EQ(s.builder.searcherInfoCalls, 0);
}

TEST(ExfatQuickSearch, MissingBuilderOrSinkFails) {
    ImageDevice device(salvor::test::FixtureFile("exfat_quick", "exfat_512.img"), 512);
    CExFatQuickSearch searcher;
    RecordingProgress progress;
    EXPECT_EQ(searcher.QuickSearchFiles(&device, &progress), exfat::kNoBuilderOrDevice);
    ExpectFinished(progress, true);
    RecordingBuilder builder;
    searcher.SetDirecotryTreeBuilder(&builder);
    EXPECT_TRUE(IsFailure(searcher.QuickSearchFiles(&device, nullptr)));
    EXPECT_TRUE(IsFailure(searcher.QuickSearchFiles(nullptr, &progress)));
}

TEST(ExfatQuickSearch, RefusedNodesAreReleasedAndNotWalked) {
    Scan s;
    s.builder.refuseFrom = 0;
    RunScan(s, salvor::test::FixtureFile("exfat_quick", "exfat_512.img"), 512);
    EXPECT_EQ(s.result, 0u);
    EXPECT_TRUE(s.builder.nodes.empty());
    ExpectFinished(s.progress, false);
}

TEST(ExfatQuickSearch, FatLoopInAFolderEndsThatFolder) {
    salvor::test::TempDir dir;
    const std::string img = dir.file("loop.img");
    std::filesystem::copy_file(salvor::test::FixtureFile("exfat_quick", "exfat_512.img"), img);
    // Point the second cluster of the chained Straddle folder back at its first.
    std::uint32_t first = 0, second = 0, fatOffset = 0;
    {
        Scan probe;
        RunScan(probe, img, 512);
        auto* straddle = dynamic_cast<CExFatFileNode*>(probe.builder.Find("Straddle"));
        ASSERT_TRUE(straddle);
        first = static_cast<std::uint32_t>(straddle->GetFirstCluster());
        CExFatPartition part = probe.searcher.Partition();
        second = part.GetNextCluster(first, false);
        ASSERT_GE(second, 2u);
        ASSERT_NE(second, first + 1);
    }
    {
        std::fstream f(img, std::ios::in | std::ios::out | std::ios::binary);
        f.seekg(80);
        f.read(reinterpret_cast<char*>(&fatOffset), 4);
        f.seekp(static_cast<std::streamoff>(fatOffset) * 512 + std::streamoff{second} * 4);
        f.write(reinterpret_cast<const char*>(&first), 4);
    }
    Scan s;
    RunScan(s, img, 512);
    EXPECT_EQ(s.result, 0u);
    ExpectFinished(s.progress, false);
    EXPECT_EQ(CountUnder(s.builder.Entries(), "Straddle"), 40u);
    EXPECT_EQ(CountUnder(s.builder.Entries(), "Many"), 300u);
}

} // namespace
