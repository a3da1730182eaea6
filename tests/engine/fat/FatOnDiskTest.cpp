// The FAT on-disk library: boot sector, directory entries, sector recognisers
// and table readers on hand-laid bytes and single-field corruptions, and the
// same pieces against tool-made volumes with The Sleuth Kit as oracle.
#include "engine/fat/FatBootSector.h"
#include "engine/fat/FatBuildChildren.h"
#include "engine/fat/FatDirEntry.h"
#include "engine/fat/FatFileNode.h"
#include "engine/fat/FatFileProperties.h"
#include "engine/fat/FatFolderAnalyser.h"
#include "engine/fat/FatRegistration.h"
#include "engine/fat/FatTable.h"
#include "engine/fat/FatVolume.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/utility/SectorReads.h"
#include "tests/engine/fat/FatTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <tuple>

using namespace fattest;
using Bytes = std::vector<std::uint8_t>;
using salvor::test::ImageDevice;
using salvor::test::RunCommand;

namespace {
Bytes BootOf(const char* fixture, unsigned ss = 512) {
    return salvor::test::ReadBytes(salvor::test::FixtureFile(fixture, std::string(fixture) + ".img"), 0, ss);
}

// An image of one zero sector and two FAT copies of sectorsPerFat sectors,
// with the media and reserved entries set.
class TableImage {
public:
    TableImage(enumFILE_SYSTEM_TYPE kind, unsigned sectorsPerFat)
        : kind_(kind), spf_(sectorsPerFat), bytes_(std::size_t{sectorsPerFat} * 1024 + 512, 0) {
        Set(0, kind == FS_FAT32 ? 0x0FFFFFF8 : kind == FS_FAT16 ? 0xFFF8 : 0xFF0);
        Set(1, kind == FS_FAT32 ? 0x0FFFFFFF : kind == FS_FAT16 ? 0xFFFF : 0xFFF);
    }
    TableImage& Set(std::uint32_t i, std::uint32_t v, int copy = 0) {
        const std::size_t base = 512 + std::size_t{spf_} * 512 * copy;
        const unsigned width = kind_ == FS_FAT32 ? 4 : kind_ == FS_FAT16 ? 2 : 0;
        for (unsigned b = 0; b < width; ++b)
            bytes_[base + i * width + b] = static_cast<std::uint8_t>(v >> (8 * b));
        if (width) return *this;
        const std::size_t off = base + i * 3 / 2;
        const unsigned word = (bytes_[off] | bytes_[off + 1] << 8) & (i & 1 ? 0x000F : 0xF000);
        const unsigned both = word | (i & 1 ? (v & 0xFFF) << 4 : v & 0xFFF);
        bytes_[off] = static_cast<std::uint8_t>(both), bytes_[off + 1] = static_cast<std::uint8_t>(both >> 8);
        return *this;
    }
    // The second copy the same as the first.
    TableImage& Mirror() {
        std::copy_n(bytes_.begin() + 512, std::size_t{spf_} * 512,
                    bytes_.begin() + 512 + std::size_t{spf_} * 512);
        return *this;
    }
    std::unique_ptr<ImageDevice> Device() {
        std::ofstream(tmp_.file("t.img"), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes_.data()), static_cast<std::streamsize>(bytes_.size()));
        return std::make_unique<ImageDevice>(tmp_.file("t.img"), 512);
    }

private:
    salvor::test::TempDir tmp_;
    enumFILE_SYSTEM_TYPE kind_;
    unsigned spf_;
    std::vector<std::uint8_t> bytes_;
};

std::unique_ptr<CDoubleFATTable> Double(ImageDevice* dev, unsigned spf, int first, int second) {
    return std::unique_ptr<CDoubleFATTable>(static_cast<CDoubleFATTable*>(
        IFATTableFactory::CreateFATTable(dev, 1, FS_FAT16, spf, first, second)));
}

struct Kind {
    const char* fixture;
    unsigned sectorSize;
    enumFILE_SYSTEM_TYPE kind;
    const char* label;
};
const Kind kKinds[] = {{"fat_12", 512, FS_FAT12, "SALVOR12"},
                       {"fat_16", 512, FS_FAT16, "SALVOR16"},
                       {"fat_32", 512, FS_FAT32, "SALVOR32"},
                       {"fat_16_4k", 4096, FS_FAT16, "SALVOR4K"}};

std::string Image(const Kind& k) {
    return salvor::test::FixtureFile(k.fixture, std::string(k.fixture) + ".img");
}
std::string Manifest(const Kind& k) {
    return salvor::test::FixtureFile(k.fixture, std::string(k.fixture) + ".istat");
}

std::unique_ptr<IVolumeAnalyze> Analyse(IStorageDevice* device, unsigned long long start = 0) {
    ResetFactories();
    RegisterFatLibrary();
    return std::unique_ptr<IVolumeAnalyze>(CreateFatVolumeAnalyze(device, start));
}

} // namespace

TEST(FatBootSector, SingleFieldCorruptions) {
    struct Row {
        const char* fixture;
        std::function<void(Bytes&)> change;
        enumFILE_SYSTEM_TYPE kind;
        unsigned sectorSize = 512;
    };
    const Row rows[] = {
        {"fat_16", [](Bytes&) {}, FS_FAT16},
        {"fat_16", [](Bytes& b) { std::memcpy(&b[54], "fat16   ", 8); }, FS_FAT16},
        {"fat_16", [](Bytes& b) { b[13] = 128; }, FS_FAT16},
        {"fat_16", [](Bytes& b) { b[13] = 3; }, FS_UNKNOWN},
        {"fat_16", [](Bytes& b) { b[13] = 0; }, FS_UNKNOWN},
        {"fat_16", [](Bytes&) {}, FS_UNKNOWN, 4096},
        {"fat_16", [](Bytes& b) { Put16(b, 17, 223); }, FS_UNKNOWN},
        {"fat_16", [](Bytes& b) { Put16(b, 17, 230); }, FS_UNKNOWN}, // 230 x 32 is no whole number of sectors
        {"fat_16", [](Bytes& b) { b[16] = 1; }, FS_UNKNOWN},
        {"fat_16", [](Bytes& b) { Put16(b, 22, 0); }, FS_UNKNOWN},
        {"fat_16", [](Bytes& b) { b[511] = 0; }, FS_UNKNOWN},
        // FAT16 text and a valid FAT32 layout: the FAT16 test runs first.
        {"fat_16", [](Bytes& b) { std::memcpy(&b[82], "FAT32   ", 8), b[36] = 1; }, FS_FAT16},
        {"fat_16", [](Bytes& b) { b.resize(511); }, FS_UNKNOWN}, // reads stay inside the span
        // FAT12 needs 224..2048 root entries and 1..200 sectors per FAT.
        {"fat_12", [](Bytes&) {}, FS_FAT12},
        {"fat_12", [](Bytes& b) { Put16(b, 17, 4096); }, FS_UNKNOWN},
        {"fat_12", [](Bytes& b) { Put16(b, 22, 201); }, FS_UNKNOWN},
    };
    EXPECT_EQ(CTempFATDBR(BootOf("fat_16_4k", 4096), 4096).GetFileSystemType(), FS_FAT16);
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        auto b = BootOf(rows[i].fixture);
        rows[i].change(b);
        EXPECT_EQ(CTempFATDBR(b, rows[i].sectorSize).GetFileSystemType(), rows[i].kind) << "row " << i;
    }
    // A 16-bit total of 0 gives the 32-bit one.
    auto big = BootOf("fat_16");
    Put16(big, 19, 0);
    Put16(big, 32, 0), Put16(big, 34, 1);
    EXPECT_EQ(CTempFATDBR(big, 512).GetTotalSectors(), 65536u);
    EXPECT_FALSE(CTempFATDBR::SimpleCheck(std::span(big).first(100)));
    big[0] = 0;
    EXPECT_FALSE(CTempFATDBR::SimpleCheck(big));
    // The copy of the label the extended record keeps, read as a label
    // entry's text is.
    const struct {
        const char* fixture;
        std::function<void(Bytes&)> change;
        const char* label;
    } labels[] = {
        {"fat_16", [](Bytes&) {}, "SALVOR16"},
        {"fat_32", [](Bytes&) {}, "SALVOR32"},
        {"fat_16", [](Bytes& b) { b[38] = 0x28; }, ""}, // the short record holds no label
        {"fat_32", [](Bytes& b) { b[66] = 0x28; }, ""},
        {"fat_16", [](Bytes& b) { std::memcpy(&b[43], "NO NAME    ", 11); }, ""},
        {"fat_16", [](Bytes& b) { std::memcpy(&b[43], "ELEVEN CHRS", 11); }, "ELEVEN CHRS"},
        {"fat_16", [](Bytes& b) { std::memcpy(&b[43], "A\0B\x80\0 \0\0\0\0\0", 11); }, "A_B_"},
        {"fat_16", [](Bytes& b) { b[13] = 3; }, ""}, // no boot sector
    };
    for (const auto& r : labels) {
        auto b = BootOf(r.fixture);
        r.change(b);
        EXPECT_EQ(CTempFATDBR(b, 512).GetBootLabel(), r.label) << r.fixture << " " << r.label;
    }
}

TEST(FatDirEntry, PlausibilityRules) {
    auto with = [](const char* name, std::uint8_t attr, std::uint32_t cluster, std::uint32_t size,
                   unsigned time = 0, unsigned date = 0) {
        auto e = ShortEntry(name, attr, cluster, size);
        Put16(e, 14, time);
        Put16(e, 16, date);
        return e;
    };
    const struct {
        Bytes entry;
        bool strict, loose;
    } rows[] = {
        {Bytes(32, 0), false, false}, // end of folder
        {with("README  TXT", 0x20, 5, 100), true, true},
        {with("README  TXT", 0x20, 5, 0), false, true},
        {with("DOCS       ", 0x10, 0x10005, 4096), false, true}, // folder with a size and a high word
        {with("README  TXT", 0x40, 5, 100), false, false},
        {with("README  TXT", 0x60, 5, 100), false, false},
        {with("LABEL*?    ", 0x08, 0, 0), true, true}, // labels skip the name test
        {with("\x05"
              "EADME  TXT",
              0x20, 5, 100),
         false, false},
        {with(" EADME  TXT", 0x20, 5, 100), false, false},
        {with("\xE5"
              "EADME  TXT",
              0x20, 5, 100),
         true, true},
        {with("README  TXT", 0x20, 5, 100, (23 << 11) | (59 << 5) | 29, (44 << 9) | (12 << 5) | 31), true,
         true},
        {with("README  TXT", 0x20, 5, 100, 60 << 5), false, false},
        {with("README  TXT", 0x20, 5, 100, 30), false, false},
        {with("README  TXT", 0x20, 5, 100, 0, (44 << 9) | (13 << 5) | 1), false, false},
        {with("README  TXT", 0x20, 5, 100, 0, (44 << 9) | (0 << 5) | 1), false, false},
        {with("README  TXT", 0x20, 5, 100, 0, (44 << 9) | (1 << 5) | 0), false, false},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(CTempFATDirEntry(fat::Bytes(rows[i].entry)).IsValidFATDirEntry(false), rows[i].strict)
            << "row " << i;
        EXPECT_EQ(CTempFATDirEntry(fat::Bytes(rows[i].entry)).IsValidFATDirEntry(true), rows[i].loose)
            << "row " << i;
    }
}

TEST(FatDirEntry, NamesAndClusters) {
    const struct {
        const char* name11;
        std::uint8_t attr;
        const char* text;
        std::uint8_t caseFlags = 0; // byte 12: 0x08 base, 0x10 extension in lower case
    } names[] = {{"\xE5OO     TXT", 0x20, "#OO.TXT"},
                 {"README     ", 0x20, "README"},
                 {"MY DISK    ", 0x08, "MY DISK"},
                 {"ABCDEFGHIJK", 0x08, "ABCDEFGHIJK"},
                 {"CAF\x82    TXT", 0x20, "CAF_.TXT"},
                 {"LETTER  PDF", 0x20, "letter.pdf", 0x18},
                 {"LETTER  PDF", 0x20, "letter.PDF", 0x08},
                 {"LETTER  PDF", 0x20, "LETTER.pdf", 0x10},
                 {"\xE5" "ETTER~1PDF", 0x20, "#etter~1.pdf", 0x18},
                 {"CAF\x82_1  TXT", 0x20, "caf__1.txt", 0x18},
                 {"MY DISK    ", 0x08, "MY DISK", 0x18}};
    for (const auto& n : names) {
        std::string name;
        auto e = ShortEntry(n.name11, n.attr, 9, 10);
        e[12] = n.caseFlags;
        EXPECT_TRUE(CTempFATDirEntry(fat::Bytes(e)).GetShortName(name, n.attr == 0x08));
        EXPECT_EQ(name, n.text);
    }
    auto e = ShortEntry("A       BIN", 0x20, 0x0012ABCD, 1);
    EXPECT_EQ(CTempFATDirEntry(fat::Bytes(e)).GetFirstClusterNO(), 0x0012ABCDu);
    EXPECT_FALSE(CTempFATDirEntry(fat::Bytes(e)).SetFirstClusterNO(1)); // a read-only view
    EXPECT_EQ(CTempFATDirEntry(fat::Bytes(LfnEntry(u"abc"))).GetLongFileName(), "abc");
    EXPECT_EQ(CTempFATDirEntry(fat::Bytes(LfnEntry(u""))).GetLongFileName(), "_");
    EXPECT_FALSE(CTempFATDirEntry::IsValidLongFileName(""));
    EXPECT_FALSE(CTempFATDirEntry::IsValidLongFileName("a:b"));
    EXPECT_TRUE(CTempFATDirEntry::IsValidLongFileName("日本語"));
    EXPECT_EQ(CTempFATDirEntry(fat::Bytes(e)).GetLongFileNameIndex(), nullptr);
    const auto lfn = LfnEntry(u"abc");
    const CTempFATDirEntry piece{fat::Bytes(lfn)};
    EXPECT_EQ(piece.GetLongFileNameIndex(), &piece);
    // A view over too few bytes reads as an unused entry.
    std::uint8_t few[4] = {'A', 'B', 'C', 'D'};
    EXPECT_TRUE(CTempFATDirEntry(fat::Bytes(few, 4)).IsNeverUsed());
}

// One node per first cluster: a dotted entry gives way to a named one, never
// the other way round.
TEST(FatBuildChildren, OneNodePerFirstClusterDottedNamesGiveWay) {
    auto node = [](long long cluster, const char* name) {
        auto n = std::make_unique<CFATFileNode>();
        n->SetFileProperties(CFATFileProperties::Create());
        n->SetCurrentNodeID(cluster);
        n->SetFileName(name);
        return n;
    };
    auto a = node(5, "a.txt"), dot = node(7, "."), b = node(7, "b"), dotdot = node(5, ".."), c = node(7, "c");
    FatFolderMap map;
    EXPECT_EQ(CFATBuildChildren::bContainFileNode(map, a.get()), 0);
    EXPECT_EQ(CFATBuildChildren::bContainFileNode(map, dot.get()), 0);
    EXPECT_EQ(CFATBuildChildren::bContainFileNode(map, b.get()), 1);
    EXPECT_EQ(CFATBuildChildren::bContainFileNode(map, dotdot.get()), 1);
    EXPECT_EQ(CFATBuildChildren::bContainFileNode(map, c.get()), 1);
    EXPECT_EQ(map, (FatFolderMap{{5, a.get()}, {7, b.get()}}));
    EXPECT_TRUE(CFATBuildChildren::IsBeginWithDot(".hidden"));
    EXPECT_FALSE(CFATBuildChildren::IsBeginWithDot("a.b"));
    EXPECT_FALSE(CFATBuildChildren::IsBeginWithDot(nullptr));
}

TEST(FatFolderAnalyser, SectorShapes) {
    auto sector = [](std::initializer_list<Bytes> entries) {
        Bytes s;
        for (auto& e : entries) s.insert(s.end(), e.begin(), e.end());
        return s.resize(512, 0), s;
    };
    const auto dot = ShortEntry(".          ", 0x10, 7, 0), dotdot = ShortEntry("..         ", 0x10, 3, 0);
    const auto a = ShortEntry("A       TXT", 0x20, 10, 5), b = ShortEntry("B       TXT", 0x20, 11, 5);
    const auto empty1 = ShortEntry("E1      TXT", 0x20, 0, 0), empty2 = ShortEntry("E2      TXT", 0x20, 0, 0);
    auto garbage = b;
    garbage[11] = 0xFF;
    using Shape = std::tuple<bool, unsigned, std::uint32_t, std::uint32_t>; // folder?, type, ".", ".."
    const std::pair<Bytes, Shape> rows[] = {
        {sector({dot, dotdot, a, garbage}), {true, 2, 7, 3}},  {sector({a, b, garbage}), {false, 0, 0, 0}},
        {sector({a, b}), {true, 1, 0, 0}},                     {sector({empty1, empty2}), {false, 0, 0, 0}},
        {sector({dot, dotdot, empty1, empty2}), {true, 2, 7, 3}}, {sector({}), {false, 0, 0, 0}}};
    CFATFolderAnalyser an(512);
    for (const auto& [bytes, shape] : rows) {
        const bool folder = an.AnalyseSector(bytes);
        EXPECT_EQ(Shape(folder, an.GetDirectoryEntryType(), an.GetCurDirFirstClusterNum(),
                        an.GetParentFirstClusterNum()), shape);
    }
    EXPECT_FALSE(an.AnalyseSector(fat::Bytes(sector({a})).first(100))); // short span
    EXPECT_FALSE(CFATFolderAnalyser(0).AnalyseSector(sector({a})));
}

TEST(FatTable, EntriesMarksAndRanges) {
    auto t12 = TableImage(FS_FAT12, 2).Set(2, 3).Set(3, 0xFFF).Set(4, 0xFF8).Set(5, 0xFF7).Device();
    auto t16 = TableImage(FS_FAT16, 16).Set(2, 0xFFFF).Set(3, 0xFFF7).Device();
    // Reserved top bits over a link to 3.
    auto t32 = TableImage(FS_FAT32, 4).Set(2, 0x10000003).Set(3, 0xFFFFFFFF).Set(4, 0x0FFFFFF7).Device();
    CFAT12Table f12(t12.get(), 1, 2);
    CFAT16Table f16(t16.get(), 1, 16);
    CFAT32Table f32(t32.get(), 1, 4);
    const struct {
        IFATTable& table;
        std::uint32_t cluster, next;
    } rows[] = {{f12, 2, 3},
                {f12, 3, fat::kFat12EndOfChain},
                {f12, 4, fat::kEndOfChain},
                {f12, 5, fat::kBadCluster},
                {f12, 100000, 0},
                {f16, 2, fat::kEndOfChain},
                {f16, 3, fat::kBadCluster},
                {f16, f16.GetEntryCount(), 0},
                {f32, 2, 3},
                {f32, 3, 0x0FFFFFFF},
                {f32, 4, fat::kBadCluster}};
    for (const auto& r : rows)
        EXPECT_EQ(r.table.GetNextCluster(r.cluster), r.next) << r.cluster;
    EXPECT_TRUE(f12.IsValidFATTable() && f16.IsValidFATTable() && f32.IsValidFATTable());
    EXPECT_FALSE(CFAT12Table(t12.get(), 1, 13).IsLoaded());
    // A cluster count cuts the entries answered.
    EXPECT_EQ(CFAT16Table(t16.get(), 1, 16, 100).GetEntryCount(), 102u);
    // 11 sectors per FAT at 512-byte sectors is not a FAT16 table.
    auto small = TableImage(FS_FAT16, 11).Device();
    EXPECT_FALSE(CFAT16Table(small.get(), 1, 11).IsLoaded());
    EXPECT_EQ(Double(small.get(), 11, 1, 1)->GetNextCluster(2), 0u);
}

TEST(FatTable, BodyAndChainTestsRefuseDamage) {
    const struct {
        std::function<void(TableImage&)> change;
        bool valid;
    } rows[] = {
        {[](TableImage&) {}, true},
        {[](TableImage& t) { t.Set(5, 5); }, false},                              // links to itself
        {[](TableImage& t) { t.Set(7, 1); }, false},                              // 1 is never a cluster
        {[](TableImage& t) { t.Set(7, 100000); }, false},                         // beyond the table
        {[](TableImage& t) { t.Set(2, 9).Set(3, 9).Set(9, 0x0FFFFFFF); }, false}, // two chains join at 9
        {[](TableImage& t) { t.Set(2, 3).Set(3, 2); }, false},
        {[](TableImage& t) { t.Set(0, 0); }, false}, // header
        {[](TableImage& t) { t.Set(6, 0x0FFFFFF7).Set(2, 3).Set(3, 0x0FFFFFFF); }, true},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        TableImage t(FS_FAT32, 4);
        rows[i].change(t);
        auto dev = t.Device();
        EXPECT_EQ(CFAT32Table(dev.get(), 1, 4).IsValidFATTable(), rows[i].valid) << "row " << i;
    }
}

TEST(FatTable, LongReversedChainIsCheckedInLinearTime) {
    // One chain through every cluster from the last to the first: re-walking
    // tails would take count^2 steps.
    const unsigned spf = 2048; // 262144 entries
    TableImage t(FS_FAT32, spf);
    const std::uint32_t count = spf * 512 / 4;
    for (std::uint32_t i = 3; i < count; ++i)
        t.Set(i, i - 1);
    auto dev = t.Set(2, 0x0FFFFFFF).Device();
    CFAT32Table table(dev.get(), 1, spf);
    EXPECT_TRUE(table.IsValidFATTable());
    std::vector<std::uint32_t> chain;
    EXPECT_EQ(fat::FollowClusterChain(table, count - 1, 0, chain), fat::ChainEnd::End);
    EXPECT_EQ(chain.size(), count - 2);
}

TEST(FatTable, FactoryPicksCopies) {
    // Which copies a two-copy table holds, and its next cluster of 2.
    auto copies = [](ImageDevice* dev, int first, int second) {
        auto t = Double(dev, 16, first, second);
        return std::tuple(t->First() != nullptr, t->Second() != nullptr, t->GetNextCluster(2));
    };
    auto dev = TableImage(FS_FAT16, 16).Set(2, 0xFFFF).Mirror().Set(3, 3, 0).Device(); // the first copy is damaged
    EXPECT_EQ(copies(dev.get(), 1, 1), std::tuple(false, true, fat::kEndOfChain));
    EXPECT_EQ(copies(dev.get(), 1, 0), std::tuple(false, false, 0u));
    EXPECT_EQ(copies(dev.get(), 0, 1), std::tuple(false, true, fat::kEndOfChain));
    auto good = TableImage(FS_FAT16, 16).Mirror().Device();
    EXPECT_EQ(copies(good.get(), 1, 1), std::tuple(true, false, 0u));
    EXPECT_EQ(IFATTableFactory::CreateRealFATTable(good.get(), FS_NTFS, 1, 16), nullptr);
    IFATTableFactory::DestroyFATTable(nullptr);
    good->FailSector(5); // a first copy with an unreadable sector keeps the second beside it
    EXPECT_EQ(copies(good.get(), 1, 1), std::tuple(true, true, 0u));
}

TEST(FatTable, EntriesOfAnUnreadableSectorAreUnknownAndTheSecondCopyAnswersForThem) {
    // Sector 5 holds FAT16 entries 1024-1279 of the first copy, sector 21 of the second.
    auto dev = TableImage(FS_FAT16, 16)
                   .Set(2, 3)
                   .Set(3, 0xFFFF)
                   .Set(1023, 0xFFFF)
                   .Set(1030, 1031)
                   .Set(1031, 0xFFFF)
                   .Set(1280, 0xFFFF)
                   .Mirror()
                   .Device();
    dev->SetWholeReadsFail(true); // as a disk fails: the read of the copy gives none of its sectors
    dev->FailSector(5);
    const long long unreadableBefore = salvor::UnreadableStructureSectors().load();
    CFAT16Table first(dev.get(), 1, 16);
    // The lost sector, counted once.
    EXPECT_EQ(salvor::UnreadableStructureSectors().load() - unreadableBefore, 1);
    EXPECT_TRUE(first.IsValidFATTable() && first.HasUnreadableSectors());
    EXPECT_EQ(first.GetNextCluster(1030), fat::kUnknownEntry);
    EXPECT_EQ(first.GetNextCluster(1100), fat::kUnknownEntry); // never "free"
    EXPECT_EQ(first.GetNextCluster(2), 3u);
    // The entries on either side of the lost sector answer.
    EXPECT_EQ(std::tuple(first.GetNextCluster(1023), first.GetNextCluster(1280)),
              std::tuple(fat::kEndOfChain, fat::kEndOfChain));
    for (const auto& [firstSeen, secondSeen] : {std::pair(1, 1), std::pair(0, 0)}) {
        auto both = Double(dev.get(), 16, firstSeen, secondSeen);
        ASSERT_NE(both->First(), nullptr);
        // Where only the first copy was seen, its unknown entries stay unknown.
        EXPECT_EQ(both->GetNextCluster(1030), secondSeen ? 1031u : fat::kUnknownEntry);
        EXPECT_EQ(both->GetNextCluster(3), fat::kEndOfChain);
    }
    dev->FailSector(21); // both copies lost the same entries
    EXPECT_EQ(Double(dev.get(), 16, 1, 1)->GetNextCluster(1030), fat::kUnknownEntry);
    // A FAT32 copy whose first sector cannot be read: the header says nothing,
    // the entries read still must pass.
    auto f32 = TableImage(FS_FAT32, 4).Set(200, 201).Set(201, 0x0FFFFFFF).Device();
    f32->FailSector(1);
    CFAT32Table t32(f32.get(), 1, 4);
    EXPECT_TRUE(t32.IsValidFATTable());
    EXPECT_EQ(t32.GetNextCluster(2), fat::kUnknownEntry);
    EXPECT_EQ(t32.GetNextCluster(200), 201u);
    // A copy of which one sector reads is read for that sector; one of which
    // none reads is no copy, and the second answers alone.
    auto lost = TableImage(FS_FAT16, 16).Set(2, 3).Set(3, 0xFFFF).Mirror().Device();
    lost->SetWholeReadsFail(true);
    lost->FailSectors(2, 15);
    for (const bool firstRead : {true, false}) {
        if (!firstRead) lost->FailSector(1);
        auto both = Double(lost.get(), 16, 1, 1);
        EXPECT_EQ(std::tuple(both->First() != nullptr, both->Second() != nullptr, both->GetNextCluster(2)),
                  std::tuple(firstRead, true, 3u));
    }
    // A FAT12 entry may straddle two sectors (entry 341: the copy's bytes 511
    // and 512); it is unknown when either is lost.
    auto f12 = TableImage(FS_FAT12, 2).Set(340, 0xFFF).Set(341, 0xFFF).Set(342, 0xFFF).Device();
    f12->SetWholeReadsFail(true);
    const struct {
        long long lost;
        std::set<std::uint32_t> unknown;
    } twelve[] = {{1, {2, 340, 341}}, {2, {341, 342}}};
    for (const auto& r : twelve) {
        f12->ClearFailures();
        f12->FailSector(r.lost);
        CFAT12Table t(f12.get(), 1, 2);
        ASSERT_TRUE(t.IsValidFATTable()) << r.lost;
        for (const std::uint32_t c : {2u, 340u, 341u, 342u})
            EXPECT_EQ(t.GetNextCluster(c), r.unknown.count(c) ? fat::kUnknownEntry
                                           : c == 2           ? 0u
                                                              : fat::kFat12EndOfChain)
                << "sector " << r.lost << " entry " << c;
    }
}

TEST(FatTable, LargeFat32IsReadInPages) {
    // A FAT beyond the whole-read size (128000 sectors) over a sparse file.
    const unsigned spf = 130000;
    salvor::test::TempDir tmp;
    const std::string path = tmp.file("big.img");
    ASSERT_EQ(
        salvor::test::RunCommand("truncate -s " + std::to_string((1ull + spf) * 512) + " '" + path + "'"), 0);
    ASSERT_TRUE(fattest::WriteBytes(
        path, 512, {0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F, 3, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x0F}));
    // A chain crossing a page boundary (1 MiB of entries): 262143 -> 262144 -> end.
    const std::uint32_t c = 262143;
    ASSERT_TRUE(fattest::WriteBytes(path, 512 + c * 4ull, {0x00, 0x00, 0x04, 0x00, 0xFF, 0xFF, 0xFF, 0x0F}));
    ImageDevice dev(path, 512);
    CFAT32Table table(&dev, 1, spf);
    EXPECT_TRUE(table.IsPaged());
    ASSERT_TRUE(table.IsValidFATTable());
    EXPECT_EQ(table.GetNextCluster(2), 3u);
    std::vector<std::uint32_t> chain;
    EXPECT_EQ(fat::FollowClusterChain(table, c, 0, chain), fat::ChainEnd::End);
    EXPECT_EQ(chain, (std::vector<std::uint32_t>{c, c + 1}));
    // A page none of whose sectors can be read (the third, entries 524288
    // on): its entries are unknown, and the copy still stands.
    dev.FailSectors(1 + 2 * 2048, 2048);
    CFAT32Table lost(&dev, 1, spf);
    ASSERT_TRUE(lost.IsValidFATTable());
    EXPECT_EQ(lost.GetNextCluster(2 * 262144 + 5), fat::kUnknownEntry);
    EXPECT_EQ(lost.GetNextCluster(c), c + 1);
}

TEST(FatTable, ChainWalkStops) {
    auto dev = TableImage(FS_FAT16, 16).Set(2, 3).Set(3, 0xFFF7).Set(4, 5).Set(5, 4000).Device();
    auto loopDev = TableImage(FS_FAT16, 16).Set(2, 3).Set(3, 4).Set(4, 2).Device();
    // 100 clusters: 2 to 101 are data clusters, 102 is one past them.
    auto edgeDev = TableImage(FS_FAT16, 16).Set(6, 101).Set(101, 0xFFFF).Set(7, 102).Device();
    CFAT16Table table(dev.get(), 1, 16), looped(loopDev.get(), 1, 16), edge(edgeDev.get(), 1, 16);
    EXPECT_FALSE(looped.IsValidFATTable());
    const struct {
        IFATTable& table;
        std::uint32_t first, count;
        fat::ChainEnd end;
        std::vector<std::uint32_t> chain;
    } rows[] = {{table, 2, 0, fat::ChainEnd::Bad, {2, 3}},
                {table, 4, 100, fat::ChainEnd::OutOfRange, {4, 5}},
                {table, 1, 0, fat::ChainEnd::OutOfRange, {}},
                {looped, 2, 0, fat::ChainEnd::Loop, {2, 3, 4}},
                {edge, 6, 100, fat::ChainEnd::End, {6, 101}},
                {edge, 7, 100, fat::ChainEnd::OutOfRange, {7}},
                {edge, 102, 100, fat::ChainEnd::OutOfRange, {}}};
    for (const auto& r : rows) {
        std::vector<std::uint32_t> chain;
        EXPECT_EQ(fat::FollowClusterChain(r.table, r.first, r.count, chain), r.end) << r.first;
        EXPECT_EQ(chain, r.chain) << r.first;
    }
}

// (exFAT volumes are unknown to it: ExfatVolumeAnalysis.)
TEST(FatVolumeAnalyze, KindsSizesAndLabels) {
    salvor::test::TempDir tmp;
    const std::string small = salvor::test::DfirImage("fat32_small.raw.gz", tmp.path());
    struct Row {
        std::string image;
        unsigned sectorSize;
        enumFILE_SYSTEM_TYPE kind;
        const char* label;
        long long failSector = -1;
        bool pastEnd = false;
        unsigned long long total = 0; // 0: the device's
    };
    std::vector<Row> rows;
    for (const auto& k : kKinds)
        rows.push_back({Image(k), k.sectorSize, k.kind, k.label});
    rows.push_back({Image(kKinds[3]), 512, FS_UNKNOWN, ""}); // the sector size must match the device's
    rows.push_back({Image(kKinds[1]), 4096, FS_UNKNOWN, ""});
    rows.push_back({Image(kKinds[1]), 512, FS_UNKNOWN, "", 0});        // an unreadable boot sector
    rows.push_back({Image(kKinds[2]), 512, FS_FAT32, "SALVOR32", 0});  // answered for by the FAT32 backup
    rows.push_back({Image(kKinds[1]), 512, FS_UNKNOWN, "", -1, true}); // past the device's end
    // 2048-byte sectors, the size in the 16-bit field, a FAT of one sector.
    rows.push_back({small, 2048, FS_FAT32, "", -1, false, 8192});
    // The root folder's first sector unreadable: the boot sector's copy of
    // the label names the card. One that reads whole without a label entry
    // has none, whatever that copy says.
    const auto rootSector = [](const Kind& k) {
        const auto boot = salvor::test::ReadBytes(Image(k), 0, k.sectorSize);
        const CTempFATDBR b(boot, k.sectorSize);
        return static_cast<long long>(b.GetFirstDataSector() - b.GetRootDirSectors() +
                                      (k.kind == FS_FAT32 ? (b.GetRootDirStartCluster() - 2ULL) * b.GetSectorsperCluster() : 0));
    };
    rows.push_back({Image(kKinds[2]), 512, FS_FAT32, "SALVOR32", rootSector(kKinds[2])});
    rows.push_back({Image(kKinds[1]), 512, FS_FAT16, "SALVOR16", rootSector(kKinds[1])});
    const std::string unlabelled = tmp.file("unlabelled.img");
    {
        std::filesystem::copy_file(Image(kKinds[2]), unlabelled);
        std::fstream image(unlabelled, std::ios::binary | std::ios::in | std::ios::out);
        const long long root = rootSector(kKinds[2]) * 512;
        std::string entries(512, '\0');
        image.seekg(root);
        image.read(entries.data(), 512);
        const std::size_t at = entries.find("SALVOR32   ");
        ASSERT_NE(at, std::string::npos);
        image.seekp(root + static_cast<long long>(at));
        image.put(static_cast<char>(0xE5)); // the label entry erased
        ASSERT_TRUE(image.good());
    }
    rows.push_back({unlabelled, 512, FS_FAT32, ""});
    // Its root cluster read whole, but the FAT sector that would chain the
    // rest of the root lost: the boot sector's copy names it.
    rows.push_back({unlabelled, 512, FS_FAT32, "SALVOR32",
                    CTempFATDBR(salvor::test::ReadBytes(unlabelled, 0, 512), 512).GetReservedSector()});
    // A FAT16 volume keeps no backup boot sector: a copy six sectors in does
    // not answer for its unreadable one.
    const std::string sixth = tmp.file("sixth.img");
    {
        std::filesystem::copy_file(Image(kKinds[1]), sixth);
        const auto boot = salvor::test::ReadBytes(sixth, 0, 512);
        std::fstream image(sixth, std::ios::binary | std::ios::in | std::ios::out);
        image.seekp(6 * 512);
        image.write(reinterpret_cast<const char*>(boot.data()), 512);
        ASSERT_TRUE(image.good());
    }
    rows.push_back({sixth, 512, FS_UNKNOWN, "", 0});
    for (const auto& r : rows) {
        SCOPED_TRACE(r.image + " @" + std::to_string(r.sectorSize));
        ImageDevice device(r.image, r.sectorSize);
        if (r.failSector >= 0) device.FailSector(r.failSector);
        auto analyser = Analyse(&device, r.pastEnd ? device.GetTotalSectors() : 0);
        ASSERT_NE(analyser, nullptr);
        EXPECT_EQ(analyser->GetFileSystemType(), r.kind);
        EXPECT_EQ(analyser->GetTotalSector(), r.kind == FS_UNKNOWN ? 0
                                              : r.total            ? r.total
                                                                   : device.GetTotalSectors());
        char label[100] = "junk";
        analyser->GetLabel(label, sizeof label);
        EXPECT_STREQ(label, r.label);
        // A small buffer still gets a terminated, cut label.
        char cut[4] = {'x', 'x', 'x', 'x'};
        analyser->GetLabel(cut, sizeof cut);
        EXPECT_EQ(std::string(cut), std::string(r.label).substr(0, 3));
    }
}

TEST(FatFolderAnalyserFixture, FirstSectorsOfFoldersAreFound) {
    for (const auto& k : {kKinds[1], kKinds[2], kKinds[3]}) {
        SCOPED_TRACE(k.fixture);
        const auto boot = salvor::test::ReadBytes(Image(k), 0, k.sectorSize);
        const CTempFATDBR b(boot, k.sectorSize);
        std::set<unsigned long long> expected, hits;
        for (const auto& e : ReadIstatManifest(Manifest(k)))
            if (e.dir && !e.sectors.empty()) expected.insert(e.sectors.front());
        ASSERT_GE(expected.size(), 5u);
        CFATFolderAnalyser analyser(k.sectorSize);
        ImageDevice device(Image(k), k.sectorSize);
        std::vector<std::uint8_t> sector(k.sectorSize);
        for (unsigned long long s = 0; s < device.GetTotalSectors(); ++s) {
            ASSERT_TRUE(device.ReadSector(sector.data(), static_cast<long long>(s), 1));
            if (analyser.AnalyseSector(sector) &&
                analyser.GetDirectoryEntryType() == CFATFolderAnalyser::FolderFirstSector) {
                hits.insert(s);
                EXPECT_EQ(analyser.GetCurDirFirstClusterNum(),
                          (s - b.GetFirstDataSector()) / b.GetSectorsperCluster() + 2)
                    << "sector " << s;
            }
        }
        EXPECT_EQ(hits, expected);
    }
}

TEST(FatTableAnalyser, FirstSectorHeaders) {
    const std::uint8_t f32[] = {0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F},
                       f16[] = {0xF8, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}, f12[] = {0xF0, 0xFF, 0xFF, 0, 0, 0, 0, 0};
    auto header = [](fat::Bytes b) {
        enumFILE_SYSTEM_TYPE kind = FS_UNKNOWN;
        return CFATTableAnalyser::IsValidFATTableFirstSector(b, 512, kind) ? kind : FS_UNKNOWN;
    };
    EXPECT_EQ(std::vector({header(f32), header(f16), header(f12), header(fat::Bytes(f32, 3))}),
              std::vector({FS_FAT32, FS_FAT16, FS_UNKNOWN, FS_UNKNOWN})); // the last a short span
}
