// The carver through the deep controller with test analysers: sized hits,
// streaming records and their eviction, classic candidates sized from the
// ring or the device, the used-sector skip, failed blocks and stops.
#include "engine/carver/CarverRegistration.h"
#include "engine/carver/RAWSearchController.h"
#include "tests/support/ImageDevice.h"
#include "tests/support/fs_Carve.h"
#include "tests/support/fs_Scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <tuple>

using namespace salvor::test;

namespace {

using Strings = std::vector<std::string>;
const std::string kJpg("\xFF\xD8\xFF\xE0", 4), kPng("\x89PNG", 4), kZip("PK\x03\x04", 4), kGif("GIF8"),
    kMov("\0\0", 2);

// One test analyser of each kind, on rows of the real tables.
ScopedTestAnalysers Analysers() {
    return ScopedTestAnalysers({{kJpg, {TestKind::SizedAtHit, 35}},
                                {kPng, {TestKind::Streaming, 51}},
                                {kZip, {TestKind::Classic, 72}},
                                {kGif, {TestKind::StreamingAlone, 30}},
                                {kMov, {TestKind::SizedAtHit, 42}},
                                {"list0", {TestKind::SizedAtHit, 36}}});
}

struct Disk {
    Disk(unsigned ss, long long sectors) : ss(ss), path(dir.file("disk.img")) {
        std::ofstream(path, std::ios::binary).write(std::string(static_cast<std::size_t>(sectors) * ss, '\0').data(),
                                                    sectors * ss);
    }
    struct H {
        std::string magic;
        std::uint64_t size = 0;
        std::uint32_t sectors = 0;
    };
    Disk& Put(long long sector, H h, std::vector<std::pair<int, std::uint8_t>> patch = {}) {
        TestHeader header;
        header.magic = h.magic;
        header.size = h.size;
        header.sectors = h.sectors;
        auto bytes = TestSector(header, ss);
        for (auto [at, v] : patch) bytes[static_cast<std::size_t>(at)] = v;
        WriteBytes(path, static_cast<std::uint64_t>(sector) * ss, bytes);
        return *this;
    }
    ImageDevice& Device() {
        if (!dev) dev = std::make_unique<ImageDevice>(path, ss);
        return *dev;
    }
    unsigned ss;
    TempDir dir;
    std::string path;
    std::unique_ptr<ImageDevice> dev;
};

// (start, path, size) of every carved file, by start.
using Found = std::vector<std::tuple<long long, std::string, long long>>;
Found FoundOf(const CarveScan& scan) {
    Found out;
    for (const CarvedNode& n : scan.Files()) out.emplace_back(n.start, n.path, n.size);
    std::sort(out.begin(), out.end());
    return out;
}

bool Logged(const std::string& line) {
    const auto& log = TestAnalyserLog();
    return std::find(log.begin(), log.end(), line) != log.end();
}

} // namespace

// A sized hit in a block's first sector is filed with its map entry while the
// streaming record around it still sees that sector; a classic candidate
// inside the streaming one is filed too; a sector starting with four zero
// bytes reaches the keyless analysers only. With the sectors marked used,
// nothing starts there but the streaming record still ends where it should.
TEST(CarverController, SizedStreamingClassicAndKeylessHits) {
    auto analysers = Analysers();
    Disk disk(512, 64);
    disk.Put(10, {kPng, 0, 12})
        .Put(12, {kZip, 3000})
        .Put(16, {kJpg, 700})
        .Put(30, {kMov, 800}, {{2, 1}, {3, 2}})
        .Put(31, {kMov, 900})
        .Put(40, {"list0", 600});
    // The streaming record ends with size 0 and is handed to its classic
    // partner, which reads the header's size (0): dropped.
    disk.Put(50, {kPng, 2222, 3});
    {
        CarveScan scan(disk.Device());
        scan.blockSectors = 16;
        ASSERT_EQ(scan.Run(), 0u);
        EXPECT_EQ(FoundOf(scan), (Found{{12, "zip/FILE000.ZIP", 3000},
                                        {16, "jpg/FILE000.JPG", 700},
                                        {30, "mov/FILE000.MOV", 800},
                                        {40, "lzh/FILE000.LZH", 600},
                                        {50, "png/FILE000.PNG", 2222}}));
        EXPECT_TRUE(Logged("end 10 21") && Logged("end 50 52") && Logged("size 12 device"));
        EXPECT_EQ(scan.SectorMap(), (std::map<long long, unsigned>{{10, 51}, {12, 72}, {16, 35}, {30, 42}, {40, 36}, {50, 51}}));
        for (const CarvedNode& n : scan.Files()) EXPECT_EQ(n.runSectors, (n.size + 511) / 512) << n.path;
        EXPECT_EQ(scan.Read(scan.Files().front().node).size(), static_cast<std::size_t>(scan.Files().front().size));
    }
    TestAnalyserLog().clear();
    CarveScan scan(disk.Device());
    scan.blockSectors = 16;
    scan.usedBits = {{6, 2}}; // sectors 12 to 15 and 16 to 19, 4 per bit
    scan.bitUnit = 4;
    ASSERT_EQ(scan.Run(), 0u);
    EXPECT_EQ(FoundOf(scan).size(), 4u); // no zip, no jpg
    EXPECT_TRUE(Logged("end 10 21"));
}

// The 33rd streaming record evicts the oldest (which has seen the sectors
// before it), told the new record's sector;
// at the end a record handed to a classic sizer takes its size (cut at the
// next start of its kind), one without a partner keeps the size it reached;
// a size past the device's end is cut.
TEST(CarverController, EvictionAndSizesAtTheEnd) {
    auto analysers = Analysers();
    Disk disk(512, 200);
    disk.Put(99, {kGif, 0, 1000});
    for (long long s = 100; s <= 132; ++s) disk.Put(s, {kPng, 5000, 1000});
    disk.Put(195, {kZip, 50000});
    CarveScan scan(disk.Device());
    scan.blockSectors = 64;
    ASSERT_EQ(scan.Run(), 0u);
    EXPECT_TRUE(Logged("remove 99 131") && Logged("remove 100 132") && Logged("remove 101 -1"));
    const Found found = FoundOf(scan);
    ASSERT_EQ(found.size(), 35u);
    EXPECT_EQ(found.front(), std::make_tuple(99LL, std::string("gif/FILE000.GIF"), 32LL * 512));
    EXPECT_TRUE(std::all_of(found.begin() + 1, found.end() - 2, [](auto& f) { return std::get<2>(f) == 512; }));
    EXPECT_EQ(std::get<0>(found[33]), 132);
    EXPECT_EQ(std::get<2>(found[33]), 5000);
    EXPECT_EQ(found.back(), std::make_tuple(195LL, std::string("zip/FILE000.ZIP"), 5LL * 512));
}

// A classic candidate of block k is sized from the ring while block k + 20 is
// analysed, after its sectors; one near the end from the device. A block that
// cannot be read keeps the ring in step, so later sizes stay right.
TEST(CarverController, RingSizingAndFailedBlocks) {
    auto analysers = Analysers();
    Disk disk(512, 240);
    disk.Put(17, {kZip, 1234}).Put(41, {kJpg, 100}).Put(60, {kZip, 4321}).Put(230, {kZip, 999});
    disk.Put(168, {kGif, 512, 1}).Put(176, {kGif, 512, 1});
    disk.Device().FailSectors(40, 8);
    CarveScan scan(disk.Device());
    scan.blockSectors = 8;
    ASSERT_EQ(scan.Run(), 0u);
    const auto& log = TestAnalyserLog();
    const auto at = [&](const char* line) { return std::find(log.begin(), log.end(), line) - log.begin(); };
    EXPECT_LT(at("end 176 176"), at("size 17 ring"));
    EXPECT_LT(at("size 17 ring"), static_cast<long>(log.size()));
    EXPECT_TRUE(Logged("size 60 ring") && Logged("size 230 device"));
    EXPECT_EQ(FoundOf(scan), (Found{{17, "zip/FILE000.ZIP", 1234},
                                    {60, "zip/FILE001.ZIP", 4321},
                                    {168, "gif/FILE000.GIF", 512},
                                    {176, "gif/FILE001.GIF", 512},
                                    {230, "zip/FILE002.ZIP", 999}}));
}

// A stop shows what was sized (a streaming record with the size it reached)
// and reads nothing more; without building, nothing is shown. Nothing leaks.
TEST(CarverController, StopShowsWhatWasSized) {
    auto analysers = Analysers();
    Disk disk(512, 80);
    disk.Put(3, {kJpg, 700}).Put(5, {kPng, 9000, 100}).Put(6, {kZip, 3000});
    for (int build : {1, 0}) {
        TestAnalyserLog().clear();
        CarveScan scan(disk.Device());
        scan.blockSectors = 8;
        scan.progress.StopAfter(4); // start, loop start, blocks 0 and 1
        scan.progress.SetShouldBuild(build);
        ASSERT_EQ(scan.Run(), 0u);
        EXPECT_EQ(FoundOf(scan), build ? (Found{{3, "jpg/FILE000.JPG", 700}, {5, "png/FILE000.PNG", 11 * 512}})
                                       : Found{});
        EXPECT_FALSE(Logged("size 6 device"));
    }
}

TEST(CarverController, EndSearchZeroAndPartitionRecord) {
    RecordingBuilder builder;
    ImageDevice dev(TempDir().file("none"), 4096);
    CRAWSearchController carver;
    carver.SetDirecotryTreeBuilder(&builder);
    carver.SetBlockSize(8);
    carver.SetDevice(&dev);
    carver.PreparetoSearch();
    carver.EndSearch(0);
    EXPECT_EQ(std::pair(builder.flashCalls, builder.searcherInfoCalls), std::pair(0, 2));
    EXPECT_EQ(carver.GetSearchedPartitionInfo(nullptr, 0), 1);
    auto records = PartitionsOf(&carver);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(std::tuple(records[0]->GetSectorSize(), records[0]->m_sectorsPerCluster, records[0]->m_startSector,
                         records[0]->m_score),
              std::tuple(4096u, 1u, 0LL, 1.0));
}

// With an analyser in every row (each accepting its key), a sector goes to
// the map, then the multimap in row order, then the keyless list; a sector
// starting with four zero bytes reaches the keyless list only.
TEST(CarverController, LookupOrderWithAnalysersInEveryRow) {
    CRawFileAnalyserListSingle::SetRowFactory(
        [](RawAnalyserTable table, std::size_t i, const RawAnalyserRow& row) -> IRawFileAnalyser* {
            // The second keyless analyser takes sectors starting with four zero bytes.
            std::string magic = i == 1 ? std::string(4, '\0') : "list";
            if (table != RawAnalyserTable::List) {
                magic.clear();
                for (int b = 0; b < (table == RawAnalyserTable::Map ? 4 : 2); ++b)
                    magic += static_cast<char>(row.key >> (8 * b) & 0xFF);
            }
            const unsigned base = table == RawAnalyserTable::Map ? 200 : table == RawAnalyserTable::Multimap ? 300 : 400;
            return new CTestAnalyser(TestKind::SizedAtHit, magic, base + static_cast<unsigned>(i));
        });
    Disk disk(512, 32);
    disk.Put(2, {"%!PS", 512})
        .Put(3, {kPng, 512})
        .Put(4, {std::string("\0\0\0\x18", 4), 512})
        .Put(5, {"list", 512})
        .Put(6, {std::string("\0\0\0\0", 4), 512})
        .Put(7, {"\xFF\xFE\x01\x02", 512})
        .Put(8, {std::string("\0\0\x01\0", 4), 512});
    {
        CarveScan scan(disk.Device());
        scan.blockSectors = 16;
        ASSERT_EQ(scan.Run(), 0u);
        auto map = scan.SectorMap(); // the empty sectors around them are keyless hits too
        const std::map<long long, unsigned> hits(map.find(2), map.find(9));
        EXPECT_EQ(hits,
                  (std::map<long long, unsigned>{{2, 300}, {3, 233}, {4, 322}, {5, 400}, {6, 401}, {7, 313}, {8, 263}}));
    }
    CRawFileAnalyserListSingle::SetRowFactory({});
}

// Where a sized file must end whatever its header says: at the next start
// of its kind (ISO boxes here, whose size is what their header claims), also
// one whose file ends inside it; a size past the device ends at the next
// start of any kind, or at the device's end when none follows. A
// streaming record still open at the end whose classic partner answers 0
// keeps the size it reached, cut the same way. The listed total never passes
// the device.
TEST(CarverController, FilesEndAtTheNextStartOrTheirOwnBound) {
    auto analysers = Analysers();
    Disk disk(512, 300);
    const std::vector<std::pair<int, std::uint8_t>> box = {{2, 1}, {3, 2}}; // not four zero bytes
    disk.Put(10, {kMov, 40 * 512}, box).Put(20, {kMov, 40 * 512}, box).Put(23, {kMov, 512}, box);
    disk.Put(30, {kMov, 1ull << 62}, box).Put(90, {kJpg, 512});
    disk.Put(100, {kMov, ~0ull}, box).Put(120, {kPng, 0, 100000}).Put(150, {kGif, 512, 1});
    CarveScan scan(disk.Device());
    scan.blockSectors = 64;
    ASSERT_EQ(scan.Run(), 0u);
    const Found found = FoundOf(scan);
    ASSERT_EQ(found.size(), 8u);
    const std::vector<long long> sizes = {10 * 512, 3 * 512, 512, 60 * 512, 512, 20 * 512, 30 * 512, 512};
    long long total = 0;
    for (std::size_t i = 0; i < found.size(); ++i) {
        EXPECT_EQ(std::get<2>(found[i]), sizes[i]) << std::get<0>(found[i]);
        total += std::get<2>(found[i]);
    }
    EXPECT_LE(total, 300 * 512);
}

// A size a header claims ends at the next start of its kind: a picture
// header in every sector gives one sector each, whether each claims a little
// further than the one before or all claim to end at one byte. An archive
// ends at a start of its kind only where the file there claims to end
// beyond it: a stored archive inside one keeps it whole, two crossing ones
// cut the first.
TEST(CarverController, EveryKindEndsAtTheNextStartOfItsOwnKind) {
    ScopedTestAnalysers analysers({{kPng, {TestKind::SizedAtHit, 51}}, {kZip, {TestKind::SizedAtHit, 72}}});
    Disk disk(512, 400);
    for (long long s = 0; s < 100; ++s)
        disk.Put(s, {kPng, static_cast<std::uint64_t>(s < 50 ? 51 : s < 99 ? 399 - s : 50) * 512});
    disk.Put(200, {kZip, 100 * 512}).Put(210, {kZip, 20 * 512});
    disk.Put(320, {kZip, 40 * 512}).Put(330, {kZip, 40 * 512});
    CarveScan scan(disk.Device());
    scan.blockSectors = 64;
    ASSERT_EQ(scan.Run(), 0u);
    const Found found = FoundOf(scan);
    ASSERT_EQ(found.size(), 104u);
    long long total = 0;
    for (const auto& [start, path, size] : found) {
        total += size;
        if (start < 99) {
            EXPECT_EQ(size, 512) << start;
        }
    }
    const std::vector<std::pair<long long, long long>> tail = {
        {99, 50 * 512}, {200, 100 * 512}, {210, 20 * 512}, {320, 10 * 512}, {330, 40 * 512}};
    for (std::size_t i = 0; i < tail.size(); ++i) {
        EXPECT_EQ(std::get<0>(found[99 + i]), tail[i].first);
        EXPECT_EQ(std::get<2>(found[99 + i]), tail[i].second) << tail[i].first;
    }
    EXPECT_LE(total, 400 * 512);
}
