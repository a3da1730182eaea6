// The deep search's folder-entry analyser over real folder clusters: sets cut
// at a cluster end are joined through the saved head and tail, fragments end
// where the entries end, the last sectors of a device are analysed, and a
// damaged set whose checksum holds (a case found by fuzzing) is passed over.
#include "engine/exfat/ExfatBoot.h"
#include "engine/exfat/ExfatDeepSearch.h"
#include "engine/exfat/ExfatFileSet.h"
#include "tests/engine/exfat/ExfatTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>

namespace {

// The fragments the analyser has ready.
std::vector<std::unique_ptr<CFileSet>> Drain(CFDTPreAnaylze& a) {
    std::vector<std::unique_ptr<CFileSet>> out;
    for (std::unique_ptr<CFileSet> f; a.GetFileSet(f);) out.push_back(std::move(f));
    return out;
}

// Feeds sectors [first, first + count) of an image to an analyser, each with
// the two sectors after it, and collects the fragments.
std::vector<std::unique_ptr<CFileSet>> Gather(CFDTPreAnaylze& a, salvor::test::ImageDevice& dev, long long first,
                                              long long count) {
    const unsigned ss = dev.GetSectorSize();
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(count + 2) * ss, 0);
    dev.ReadSector(buf.data(), first, count + 2);
    std::vector<std::unique_ptr<CFileSet>> out;
    for (long long i = 0; i < count; ++i)
        if (a.Analyze(first + i, exfat::Bytes(buf).subspan(static_cast<std::size_t>(i) * ss, 3u * ss)))
            for (auto& f : Drain(a)) out.push_back(std::move(f));
    for (auto& f : Drain(a)) out.push_back(std::move(f));
    return out;
}

TEST(ExfatFileSet, RootFolderClusterIsARootFragment) {
    salvor::test::ImageDevice dev(salvor::test::FixtureFile("mbr_fat_exfat", "disk_intact.img"));
    CFDTPreAnaylze a;
    a.PrepareAnayze(9, 25, dev.GetTotalSectors());
    std::vector<std::uint8_t> boot(512);
    ASSERT_EQ(dev.ReadSector(boot.data(), 133120, 1), 1);
    const CExFatDBR dbr(boot);
    // The root folder's cluster of the heap at 137216, 8 sectors per cluster.
    const std::int64_t rootSector = 137216 + (std::int64_t{dbr.GetRootDirStartCluster()} - 2) * 8;
    auto frags = Gather(a, dev, rootSector, 8);
    ASSERT_EQ(frags.size(), 1u);
    const CFileSet& root = *frags[0];
    EXPECT_TRUE(root.IsRoot());
    EXPECT_EQ(root.firstSector, rootSector);
    EXPECT_EQ(root.bitmapCluster, 2u);
    EXPECT_EQ(root.upcaseCluster, 3u);
    EXPECT_LE(root.lowestRootCluster, dbr.GetRootDirStartCluster());
    EXPECT_EQ(std::string(root.label.begin(), root.label.end()), "DEEPVOL");
    EXPECT_EQ(root.totalClusters, dbr.GetTotalCluster());
    // Docs, Pictures, Music and Many live; Old deleted.
    EXPECT_EQ(root.subFolders.size(), 4u);
    EXPECT_GE(root.deleted.size(), 3u);
    // The cluster size lies within the bounds (in sectors).
    EXPECT_TRUE(root.Allows(8));
    EXPECT_LE(root.highBound, 8u);
}

// The quick-scan volume as a device. Its Straddle folder's first cluster ends
// in the middle of an entry set that goes on in its second cluster, after the
// files' data: the set is joined. The Docs/Sub folder's fragment copied to the
// end of a small device is still read: the last two sectors are analysed.
TEST(ExfatFileSet, SetStraddlingTwoDistantClustersIsJoinedAndTheLastSectorsAreRead) {
    salvor::test::ImageDevice full(salvor::test::FixtureFile("exfat_quick", "exfat_512.img"));
    CFDTPreAnaylze a;
    a.PrepareAnayze(9, 25, full.GetTotalSectors());
    auto frags = Gather(a, full, 0, static_cast<long long>(full.GetTotalSectors()) - 2);
    EXPECT_EQ(a.Joins(), 1u);
    std::size_t straddle = 0;
    const CFileSet *head = nullptr, *docs = nullptr;
    for (auto& f : frags) {
        for (const auto& r : f->inUse) {
            straddle += r.name.starts_with("straddle-file-");
            if (r.name == "deep.bin") docs = f.get();
        }
        if (f->flags & CFileSet::kNotEnded) head = f.get();
    }
    EXPECT_EQ(straddle, 40u);
    ASSERT_NE(head, nullptr);
    const std::int64_t tail = a.GetNext(head->firstSector);
    EXPECT_GT(tail, head->firstSector + 8);
    EXPECT_EQ(a.GetLast(tail), head->firstSector);
    EXPECT_EQ(a.SavedHeads(), 0u);

    ASSERT_NE(docs, nullptr);
    ASSERT_LE(docs->sectorCount, 2u);
    // A small device: 100 zero sectors, then the fragment's sectors at the very end.
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(100 + docs->sectorCount) * 512, 0);
    full.ReadSector(bytes.data() + 100 * 512, docs->firstSector, docs->sectorCount);
    salvor::test::TempDir dir;
    std::ofstream(dir.file("tail.img"), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    salvor::test::ImageDevice dev(dir.file("tail.img"));
    CExFatCompleteSearch searcher;
    exfat_test::RecordingBuilder builder;
    searcher.SetDevice(&dev);
    searcher.SetDirecotryTreeBuilder(&builder);
    searcher.SetBlockSize(64);
    const long long total = static_cast<long long>(dev.GetTotalSectors());
    for (long long b = 0; b < total; b += 64) EXPECT_EQ(searcher.AnalyzeBlock(b, std::min(64LL, total - b)), 1);
    bool seen = false;
    for (const auto& f : searcher.Builder().Fragments())
        for (const auto& r : f->inUse) seen |= r.name == "deep.bin";
    EXPECT_TRUE(seen);
    searcher.EndSearch(0);
}

TEST(ExfatFileSet, ZeroSectorAndForeignEntryEndTheFragment) {
    CFDTPreAnaylze a;
    a.PrepareAnayze(9, 25, 1 << 20);
    std::vector<std::uint8_t> buf(3 * 512, 0);
    // A GUID entry (0xA0) ends the folder at once: nothing is gathered.
    buf[0] = 0xA0;
    EXPECT_FALSE(a.Analyze(10, buf));
    EXPECT_TRUE(Drain(a).empty());
    // Stray name entries only: not a fragment worth handing out.
    std::fill(buf.begin(), buf.end(), 0);
    buf[0] = 0xC1;
    buf[2] = 'a';
    EXPECT_FALSE(a.Analyze(11, buf));
    EXPECT_TRUE(Drain(a).empty());
}

// The names in the root folder's first cluster of the 512-byte quick-scan volume
// (followed by two zero sectors: the analyser looks two sectors ahead).
std::set<std::string> Names(const std::vector<std::uint8_t>& root, std::int64_t sector) {
    CFDTPreAnaylze a;
    a.PrepareAnayze(9, 25, 1u << 20);
    for (std::size_t i = 0; i + 2 < root.size() / 512; ++i)
        a.Analyze(sector + static_cast<std::int64_t>(i), exfat::Bytes(root).subspan(i * 512u, 3 * 512u));
    std::set<std::string> names;
    for (const auto& f : Drain(a))
        for (const auto* list : {&f->inUse, &f->deleted})
            for (const auto& r : *list) {
                EXPECT_FALSE(r.name.empty()) << "a record without a name";
                names.insert(r.name);
            }
    return names;
}

TEST(ExfatDeepDamage, NamelessSetIsPassedOverWhole) {
    salvor::test::ImageDevice dev(salvor::test::FixtureFile("exfat_quick", "exfat_512.img"));
    std::vector<std::uint8_t> boot(512);
    ASSERT_EQ(dev.ReadSector(boot.data(), 0, 1), 1);
    const CExFatDBR dbr(boot);
    const unsigned spc = dbr.GetSectorsperCluster();
    const std::int64_t sector = dbr.GetDataRegionStartSector() + std::int64_t{dbr.GetRootDirStartCluster() - 2} * spc;
    std::vector<std::uint8_t> root((spc + 2) * 512u, 0);
    ASSERT_EQ(dev.ReadSector(root.data(), sector, spc), 1);
    ASSERT_TRUE(Names(root, sector).count("Docs"));
    // The name keeps its length byte (4) but its first unit is NUL: as text
    // it is empty, and a record without a name is no file to show.
    const std::size_t docs = exfat_test::FindEntrySet(root, u"Docs");
    ASSERT_NE(docs, std::string::npos);
    root[docs + 64 + 2] = root[docs + 64 + 3] = 0;
    exfat_test::ResealEntrySet(root, docs);
    const std::set<std::string> names = Names(root, sector);
    EXPECT_FALSE(names.count("Docs"));
    EXPECT_FALSE(names.count(""));
    // Its checksum holds, so the set is passed over whole and the sets
    // after it are still read.
    EXPECT_TRUE(names.count("Pictures"));
    EXPECT_TRUE(names.count("Many"));
}

} // namespace
