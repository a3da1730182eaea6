// The quick searcher over exFAT volumes made by the exFAT driver and by
// Windows and Linux (public samples), checked against The Sleuth Kit's
// listings and the sources' hashes, and over damaged copies of them.
#include "engine/exfat/ExfatBoot.h"
#include "engine/exfat/ExfatFileNode.h"
#include "engine/exfat/ExfatQuickSearch.h"
#include "tests/engine/exfat/ExfatTestSupport.h"

#include <gtest/gtest.h>

#include <tuple>

#include <algorithm>
#include <iterator>
#include <memory>

using namespace exfat_test;
using salvor::test::ImageDevice;
using salvor::test::RecordingProgress;

namespace {

std::string Quick(const std::string& file) {
    return salvor::test::FixtureFile("exfat_quick", file);
}

void ExpectFinished(const RecordingProgress& p, bool failed) {
    ASSERT_GE(p.Count(), 1u);
    EXPECT_EQ(std::tuple(p.Last().state, p.Last().total, p.Last().current, IsFailure(p.Last().result),
                         p.FinishedCount()),
              std::tuple(3u, 1u, 1u, failed, std::size_t{1}));
}

// A quick scan; it always ends with one final record.
struct Scan {
    explicit Scan(const std::string& image, unsigned sectorSize = 512, long long failSector = -1,
                  int refuseFrom = -1, bool stop = false, unsigned long long startSector = 0)
        : device(image, sectorSize, startSector * sectorSize) {
        EXPECT_TRUE(device.IsOpen()) << image;
        if (failSector >= 0) device.FailSector(failSector);
        builder.refuseFrom = refuseFrom;
        if (stop) progress.Stop();
        searcher.SetDirecotryTreeBuilder(&builder);
        result = searcher.QuickSearchFiles(&device, &progress);
        ExpectFinished(progress, IsFailure(result));
    }
    ImageDevice device;
    RecordingBuilder builder;
    RecordingProgress progress;
    CExFatQuickSearch searcher;
    ResultCode result = 0;
};

class ExfatQuickFixture : public ::testing::TestWithParam<unsigned> {
protected:
    std::string Name() { return "exfat_" + std::to_string(GetParam()); }
    std::string Image() { return Quick(Name() + ".img"); }
    Entries Fls(const std::string& m = "fls") { return ParseFls(ReadText(Quick(Name() + "." + m + ".txt"))); }
};

TEST_P(ExfatQuickFixture, ListingEqualsTheSleuthKit) {
    Scan s(Image(), GetParam());
    EXPECT_EQ(std::tuple(s.result, s.builder.searcherInfoCalls, s.builder.flashCalls, s.builder.partitionDevice),
              std::tuple(ResultCode{0}, 1, 1, static_cast<IStorageDevice*>(&s.device)));
    EXPECT_EQ(s.builder.types, std::vector<_tagSearcherType>(s.builder.nodes.size(), SEARCHER_EXFAT));

    const auto found = s.builder.Found();
    ExpectSame(found, Fls());
    EXPECT_EQ(Deleted(found), Fls("fls_deleted"));
    // The oracle also reads the image as it is now.
    EXPECT_EQ(found, FlsOf(Image(), "-b " + std::to_string(GetParam())));
    // The contiguous folder keeps its no-FAT-chain flag.
    auto* many = dynamic_cast<CExFatFileNode*>(s.builder.Find("Many"));
    auto* straddle = dynamic_cast<CExFatFileNode*>(s.builder.Find("Straddle"));
    ASSERT_TRUE(many && straddle);
    EXPECT_EQ(std::tuple(many->IsFatInvalid(), many->GetFileSize(), straddle->IsFatInvalid()),
              std::tuple(true, 12LL * 4096, false));
}

TEST_P(ExfatQuickFixture, UnreadableFolderClusterLosesOnlyThatFolder) {
    Scan s(Image(), GetParam(), Scan(Image(), GetParam()).builder.Find("Docs")->GetCurrentNodeID());
    EXPECT_GE(s.searcher.UnreadableClusters(), 1u);
    auto expected = Fls();
    std::erase_if(expected, [](const auto& e) { return e.path.starts_with("Docs/"); });
    ExpectSame(s.builder.Found(), expected);
}

TEST_P(ExfatQuickFixture, UnreadableSectorLosesOnlyTheSetsItHolds) {
    // The second sector of the contiguous folder "Many" lost: the sets it
    // holds or cuts are lost, its zeros do not end the folder, and the rest
    // of the cluster and folder is listed.
    auto count = [](const RecordingBuilder& b) {
        const auto found = b.Found();
        return std::count_if(found.begin(), found.end(),
                             [](const auto& e) { return e.path.starts_with("Many/"); });
    };
    Scan whole(Image(), GetParam());
    const auto all = count(whole.builder);
    Scan s(Image(), GetParam(), whole.builder.Find("Many")->GetCurrentNodeID() + 1);
    EXPECT_GE(s.searcher.UnreadableClusters(), 1u);
    const auto lost = all - count(s.builder);
    EXPECT_GE(lost, 1);
    // A sector holds sectorSize / 32 entries; a set has at least three.
    EXPECT_LE(lost, static_cast<long>(GetParam() / 32 / 3 + 2)) << all;
}

TEST_P(ExfatQuickFixture, StopStillBuildsAndFinishes) {
    Scan s(Image(), GetParam(), -1, -1, true);
    EXPECT_EQ(s.builder.flashCalls, 1);
    // Only the root was walked.
    for (const auto& e : s.builder.Found())
        EXPECT_EQ(e.path.find('/'), std::string::npos) << e.path;
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, ExfatQuickFixture, ::testing::Values(512u, 4096u));

TEST(ExfatQuickSearch, ZeroedBootSectorMissingPartsAndRefusedNodes) {
    salvor::test::TempDir dir;
    const std::string img = salvor::test::CopyOf(Quick("exfat_512.img"), dir, "zeroed.img");
    ASSERT_TRUE(salvor::test::WriteBytes(img, 0, std::vector<std::uint8_t>(512, 0)));
    Scan zeroed(img);
    // Refused nodes are released and not walked.
    Scan refused(Quick("exfat_512.img"), 512, -1, 0);
    EXPECT_EQ(std::tuple(zeroed.result, zeroed.builder.nodes.size(), zeroed.builder.searcherInfoCalls, refused.result,
                         refused.builder.nodes.size()),
              std::tuple(exfat::kNotExfat, std::size_t{0}, 0, ResultCode{0}, std::size_t{0}));

    ImageDevice device(Quick("exfat_512.img"), 512);
    CExFatQuickSearch searcher;
    RecordingProgress progress;
    EXPECT_EQ(searcher.QuickSearchFiles(&device, &progress), exfat::kNoBuilderOrDevice);
    ExpectFinished(progress, true);
    RecordingBuilder builder;
    searcher.SetDirecotryTreeBuilder(&builder);
    EXPECT_TRUE(IsFailure(searcher.QuickSearchFiles(&device, nullptr)));
    EXPECT_TRUE(IsFailure(searcher.QuickSearchFiles(nullptr, &progress)));
}

TEST(ExfatQuickSearch, FatLoopInAFolderEndsThatFolder) {
    salvor::test::TempDir dir;
    const std::string img = salvor::test::CopyOf(Quick("exfat_512.img"), dir, "loop.img");
    // Point the second cluster of the chained Straddle folder back at its first.
    std::uint32_t first = 0, second = 0;
    {
        Scan probe(img);
        auto* straddle = dynamic_cast<CExFatFileNode*>(probe.builder.Find("Straddle"));
        ASSERT_TRUE(straddle);
        first = static_cast<std::uint32_t>(straddle->GetFirstCluster());
        CExFatPartition part = probe.searcher.Partition();
        second = part.GetNextCluster(first, false);
        ASSERT_GE(second, 2u);
        ASSERT_NE(second, first + 1);
    }
    const auto fatOffset = salvor::test::ReadBytes(img, 80, 4);
    std::vector<std::uint8_t> link(4);
    Put(link, 0, first);
    ASSERT_TRUE(salvor::test::WriteBytes(
        img, (fatOffset[0] | fatOffset[1] << 8 | fatOffset[2] << 16) * 512ull + second * 4ull, link));
    Scan s(img);
    EXPECT_EQ(s.result, 0u);
    EXPECT_EQ(CountUnder(s.builder.Found(), "Straddle"), 40u);
    EXPECT_EQ(CountUnder(s.builder.Found(), "Many"), 300u);
}

// Public samples.
struct Sample {
    const char* gz;
    unsigned long long startSector;
    std::size_t entries;       // found in all
    std::size_t deleted;       // of those, deleted
    std::size_t extraDeleted;  // deleted entries that fls does not list
    std::size_t extraLive = 0; // live entries that fls does not list
};

class ExfatSamples : public ::testing::TestWithParam<Sample> {};

TEST_P(ExfatSamples, ListingEqualsTheSleuthKit) {
    const Sample& sample = GetParam();
    salvor::test::TempDir dir;
    const std::string img = salvor::test::DfirImage(sample.gz, dir.path());
    ASSERT_FALSE(img.empty());
    Scan s(img, 512, -1, -1, false, sample.startSector);
    std::unique_ptr<IVolumeAnalyze> analyser(exfat::CreateExfatVolumeAnalyze(&s.device, 0));
    ASSERT_TRUE(analyser);
    EXPECT_EQ(analyser->GetFileSystemType(), FS_EXFAT);
    EXPECT_EQ(s.result, 0u);
    const auto expected = FlsOf(img, sample.startSector ? "-o " + std::to_string(sample.startSector) : "");
    const auto found = s.builder.Found();
    EXPECT_EQ(Missing(expected, found), "") << "listed by fls, not found";
    // Beyond fls: deleted entries inside deleted folders that fls does not
    // descend into, deleted sets whose checksum fails, and a Linux-made folder
    // whose name is longer than 255 characters.
    Entries extra;
    std::set_difference(found.begin(), found.end(), expected.begin(), expected.end(),
                        std::inserter(extra, extra.begin()));
    EXPECT_EQ(Deleted(extra).size(), sample.extraDeleted) << Missing(found, expected);
    EXPECT_EQ(extra.size() - Deleted(extra).size(), sample.extraLive) << Missing(found, expected);
    EXPECT_EQ(found.size(), sample.entries);
    EXPECT_EQ(Deleted(found).size(), sample.deleted);
}

INSTANTIATE_TEST_SUITE_P(Public, ExfatSamples,
                         ::testing::Values(Sample{"exfat_win.raw.gz", 0, 707, 5, 0},
                                           Sample{"win_exfat_7.raw.gz", 0, 5, 4, 0},
                                           Sample{"exfat_orphan.raw.gz", 0, 401, 401, 400},
                                           Sample{"exfat_encrypted.raw.gz", 0, 31, 15, 1},
                                           Sample{"exfat_lin_part.raw.gz", 2048, 21, 0, 0, 1}),
                         [](const auto& info) {
                             const std::string n = info.param.gz;
                             return n.substr(0, n.find('.'));
                         });

// A case found by fuzzing: a copy of the 512-byte quick-scan volume whose boot
// sector claims 1 TiB and whose Docs folder (its set checksummed again) lies
// past the image's end, contiguous and 60 MiB long. Every cluster of it is
// unreadable; the walk used to go on through all of them.
TEST(ExfatQuickDamage, ContiguousFolderPastTheDeviceEndEndsThere) {
    salvor::test::TempDir dir;
    const std::string image =
        salvor::test::CopyOf(salvor::test::FixtureFile("exfat_quick", "exfat_512.img"), dir, "d.img");
    auto boot = salvor::test::ReadBytes(image, 0, 512);
    const CExFatDBR dbr(boot);
    const std::uint64_t rootOffset =
        (dbr.GetDataRegionStartSector() +
         std::uint64_t{dbr.GetRootDirStartCluster() - 2} * dbr.GetSectorsperCluster()) *
        512;
    auto root = salvor::test::ReadBytes(image, rootOffset, 512u * dbr.GetSectorsperCluster());
    Put<std::uint64_t>(boot, 72, std::uint64_t{1} << 40);
    Put<std::uint32_t>(boot, 92, 0xFFFFFFF0u);
    ASSERT_TRUE(CExFatDBR(boot).IsValid(512)); // still plausible
    const std::size_t docs = FindEntrySet(root, u"Docs");
    ASSERT_NE(docs, std::string::npos);
    root[docs + 32 + 1] |= 2; // the stream entry: no FAT chain
    Put<std::uint32_t>(root, docs + 32 + 20, 5'000'000);
    Put<std::uint64_t>(root, docs + 32 + 8, std::uint64_t{60} << 20);
    Put<std::uint64_t>(root, docs + 32 + 24, std::uint64_t{60} << 20);
    ResealEntrySet(root, docs);
    ASSERT_TRUE(salvor::test::WriteBytes(image, 0, boot) &&
                salvor::test::WriteBytes(image, rootOffset, root));

    Scan s(image);
    EXPECT_EQ(s.result, 0u);
    EXPECT_EQ(s.searcher.UnreadableClusters(), 1u);
    // The folder itself and everything else of the root are still there.
    const auto entries = s.builder.Found();
    EXPECT_TRUE(entries.count({'d', false, "Docs"}));
    EXPECT_TRUE(entries.count({'r', false, "Ünïcödé résumé.txt"}));
    EXPECT_EQ(CountUnder(entries, "Many"), 300u);
}

} // namespace
