// The quick search over a damaged volume (a case found by fuzzing): a copy of
// the 512-byte quick-scan volume whose boot sector claims 1 TiB and whose Docs
// folder (its set checksummed again) lies past the image's end, contiguous
// and 1 TiB long. Every cluster of it is unreadable; the walk used to go on
// through all of them.
#include "engine/exfat/ExfatBoot.h"
#include "engine/exfat/ExfatQuickSearch.h"
#include "tests/engine/exfat/ExfatTestSupport.h"

#include <gtest/gtest.h>

using namespace exfat_test;

namespace {

template <typename T>
void Put(std::vector<std::uint8_t>& b, std::size_t off, T v) {
    for (std::size_t i = 0; i < sizeof v; ++i) b.at(off + i) = static_cast<std::uint8_t>(v >> (8 * i));
}

TEST(ExfatQuickDamage, ContiguousFolderPastTheDeviceEndEndsThere) {
    salvor::test::TempDir dir;
    const std::string image = salvor::test::CopyOf(salvor::test::FixtureFile("exfat_quick", "exfat_512.img"), dir, "d.img");
    auto boot = salvor::test::ReadBytes(image, 0, 512);
    const CExFatDBR dbr(boot);
    const std::uint64_t rootOffset =
        (dbr.GetDataRegionStartSector() + std::uint64_t{dbr.GetRootDirStartCluster() - 2} * dbr.GetSectorsperCluster()) * 512;
    auto root = salvor::test::ReadBytes(image, rootOffset, 512u * dbr.GetSectorsperCluster());
    Put<std::uint64_t>(boot, 72, std::uint64_t{1} << 40);
    Put<std::uint32_t>(boot, 92, 0xFFFFFFF0u);
    ASSERT_TRUE(CExFatDBR(boot).IsValid(512)); // still plausible
    const std::size_t docs = FindEntrySet(root, u"Docs");
    ASSERT_NE(docs, std::string::npos);
    root[docs + 32 + 1] |= 2; // the stream entry: no FAT chain
    Put<std::uint32_t>(root, docs + 32 + 20, 5'000'000);
    Put<std::uint64_t>(root, docs + 32 + 8, std::uint64_t{1} << 40);
    Put<std::uint64_t>(root, docs + 32 + 24, std::uint64_t{1} << 40);
    ResealEntrySet(root, docs);
    ASSERT_TRUE(salvor::test::WriteBytes(image, 0, boot) && salvor::test::WriteBytes(image, rootOffset, root));

    salvor::test::ImageDevice device(image, 512);
    RecordingBuilder builder;
    salvor::test::RecordingProgress progress;
    CExFatQuickSearch searcher;
    searcher.SetDirecotryTreeBuilder(&builder);
    EXPECT_EQ(searcher.QuickSearchFiles(&device, &progress), 0u);
    EXPECT_EQ(progress.FinishedCount(), 1u);
    EXPECT_EQ(searcher.UnreadableClusters(), 1u);
    // The folder itself and everything else of the root are still there.
    const auto entries = builder.Found();
    EXPECT_TRUE(entries.count({'d', false, "Docs"}));
    EXPECT_TRUE(entries.count({'r', false, "Ünïcödé résumé.txt"}));
    EXPECT_EQ(CountUnder(entries, "Many"), 300u);
}

} // namespace
