// The quick searcher over exFAT volumes made by Windows and Linux (public
// samples), checked against The Sleuth Kit.
#include "engine/exfat/ExfatBoot.h"
#include "engine/exfat/ExfatQuickSearch.h"
#include "tests/engine/exfat/ExfatTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <memory>

using namespace exfat_test;

namespace {

struct Sample {
    const char* gz;
    unsigned long long startSector;
    std::size_t entries;      // found in all
    std::size_t deleted;      // of those, deleted
    std::size_t extraDeleted; // deleted entries that fls does not list
    std::size_t extraLive = 0; // live entries that fls does not list
};

class ExfatSamples : public ::testing::TestWithParam<Sample> {};

TEST_P(ExfatSamples, ListingEqualsTheSleuthKit) {
    const Sample& sample = GetParam();
    salvor::test::TempDir dir;
    const std::string img = salvor::test::DfirImage(sample.gz, dir.path());
    ASSERT_FALSE(img.empty());
    salvor::test::ImageDevice device(img, 512, sample.startSector * 512);
    std::unique_ptr<IVolumeAnalyze> analyser(exfat::CreateExfatVolumeAnalyze(&device, 0));
    ASSERT_TRUE(analyser);
    EXPECT_EQ(analyser->GetFileSystemType(), FS_EXFAT);

    RecordingBuilder builder;
    salvor::test::RecordingProgress progress;
    CExFatQuickSearch searcher;
    searcher.SetDirecotryTreeBuilder(&builder);
    EXPECT_EQ(searcher.QuickSearchFiles(&device, &progress), 0u);
    EXPECT_EQ(progress.Last().state, 3u);
    EXPECT_EQ(progress.FinishedCount(), 1u);

    const auto expected = FlsOf(img, sample.startSector ? "-o " + std::to_string(sample.startSector) : "");
    const auto found = builder.Found();
    EXPECT_EQ(Missing(expected, found), "") << "listed by fls, not found";
    // Beyond fls: deleted entries inside deleted folders that fls does not
    // descend into, deleted sets whose checksum fails, and a Linux-made folder
    // whose name is longer than 255 characters.
    Entries extra;
    std::set_difference(found.begin(), found.end(), expected.begin(), expected.end(), std::inserter(extra, extra.begin()));
    EXPECT_EQ(Deleted(extra).size(), sample.extraDeleted) << Missing(found, expected);
    EXPECT_EQ(extra.size() - Deleted(extra).size(), sample.extraLive) << Missing(found, expected);
    EXPECT_EQ(found.size(), sample.entries);
    EXPECT_EQ(Deleted(found).size(), sample.deleted);
}

INSTANTIATE_TEST_SUITE_P(Public, ExfatSamples,
                         ::testing::Values(Sample{"exfat_win.raw.gz", 0, 707, 5, 0}, Sample{"win_exfat_7.raw.gz", 0, 5, 4, 0},
                                           Sample{"exfat_orphan.raw.gz", 0, 401, 401, 400},
                                           Sample{"exfat_encrypted.raw.gz", 0, 31, 15, 1},
                                           Sample{"exfat_lin_part.raw.gz", 2048, 21, 0, 0, 1}),
                         [](const auto& info) {
                             const std::string n = info.param.gz;
                             return n.substr(0, n.find('.'));
                         });

} // namespace
