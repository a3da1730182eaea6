// The quick search over damaged volumes (cases found by fuzzing): copies of
// the 512-byte quick-scan volume with a boot sector and an entry set
// damaged in ways whose checks still hold.
#include "engine/exfat/ExfatBoot.h"
#include "engine/exfat/ExfatQuickSearch.h"
#include "tests/engine/exfat/ExfatTestSupport.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"
#include "tests/support/RecordingSinks.h"

#include <gtest/gtest.h>

#include <filesystem>

using exfat_test::RecordingBuilder;

namespace {

struct Damaged {
    salvor::test::TempDir dir;
    std::string image;
    std::uint64_t rootOffset = 0; // bytes
    std::vector<std::uint8_t> boot, root;

    Damaged() : image(dir.file("damaged.img")) {
        std::filesystem::copy_file(salvor::test::FixtureFile("exfat_quick", "exfat_512.img"), image);
        EXPECT_TRUE(exfat_test::ReadAt(image, 0, boot, 512));
        const CExFatDBR dbr(boot);
        rootOffset = (dbr.GetDataRegionStartSector() +
                      std::uint64_t{dbr.GetRootDirStartCluster() - 2} * dbr.GetSectorsperCluster()) * 512;
        EXPECT_TRUE(exfat_test::ReadAt(image, rootOffset, root, 512u * dbr.GetSectorsperCluster()));
    }
    void Write() {
        EXPECT_TRUE(exfat_test::WriteAt(image, 0, boot));
        EXPECT_TRUE(exfat_test::WriteAt(image, rootOffset, root));
    }
};

template <typename T>
void Put(std::vector<std::uint8_t>& b, std::size_t off, T v) {
    for (std::size_t i = 0; i < sizeof v; ++i) b.at(off + i) = static_cast<std::uint8_t>(v >> (8 * i));
}

TEST(ExfatQuickDamage, ContiguousFolderPastTheDeviceEndEndsThere) {
    Damaged d;
    // The boot sector claims a volume far larger than the image (still a
    // plausible one), and the Docs folder (its set checksummed again) lies
    // past the image's end, contiguous and 60 MiB long. Every cluster of it
    // is unreadable; the walk used to go on through all of them.
    Put<std::uint64_t>(d.boot, 72, std::uint64_t{1} << 40);
    Put<std::uint32_t>(d.boot, 92, 0xFFFFFFF0u);
    ASSERT_TRUE(CExFatDBR(d.boot).IsValid(512));
    const std::size_t docs = exfat_test::FindEntrySet(d.root, u"Docs");
    ASSERT_NE(docs, std::string::npos);
    const std::size_t stream = docs + 32;
    d.root[stream + 1] |= 2;
    Put<std::uint32_t>(d.root, stream + 20, 5'000'000);
    Put<std::uint64_t>(d.root, stream + 8, std::uint64_t{60} << 20);
    Put<std::uint64_t>(d.root, stream + 24, std::uint64_t{60} << 20);
    exfat_test::ResealEntrySet(d.root, docs);
    d.Write();

    salvor::test::ImageDevice device(d.image, 512);
    RecordingBuilder builder;
    salvor::test::RecordingProgress progress;
    CExFatQuickSearch searcher;
    searcher.SetDirecotryTreeBuilder(&builder);
    EXPECT_EQ(searcher.QuickSearchFiles(&device, &progress), 0u);
    EXPECT_EQ(progress.FinishedCount(), 1u);
    EXPECT_EQ(searcher.UnreadableClusters(), 1u);
    // The folder itself and everything else of the root are still there.
    const auto entries = builder.Entries();
    EXPECT_TRUE(entries.count({'d', false, "Docs"}));
    EXPECT_TRUE(entries.count({'r', false, "Ünïcödé résumé.txt"}));
    std::size_t many = 0;
    for (const auto& e : entries) many += e.path.rfind("Many/", 0) == 0;
    EXPECT_EQ(many, 300u);
}

} // namespace
