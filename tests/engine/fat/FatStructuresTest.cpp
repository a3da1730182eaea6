// Boot sector, directory entries and the sector recognisers, on real bytes cut
// from tool-made volumes and on single-field corruptions of them.
#include "engine/fat/FatBootSector.h"
#include "engine/fat/FatDirEntry.h"
#include "engine/fat/FatFolderAnalyser.h"
#include "tests/engine/fat/FatTestUtil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

using namespace fattest;
using Bytes = std::vector<std::uint8_t>;

namespace {
Bytes BootOf(const char* fixture, unsigned ss = 512) {
    return salvor::test::ReadBytes(salvor::test::FixtureFile(fixture, std::string(fixture) + ".img"), 0, ss);
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
}

TEST(FatDirEntry, PlausibilityRules) {
    auto with = [](const char* name, std::uint8_t attr, std::uint32_t cluster, std::uint32_t size, unsigned time = 0,
                   unsigned date = 0) {
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
        {with("\x05" "EADME  TXT", 0x20, 5, 100), false, false},
        {with(" EADME  TXT", 0x20, 5, 100), false, false},
        {with("\xE5" "EADME  TXT", 0x20, 5, 100), true, true},
        {with("README  TXT", 0x20, 5, 100, (23 << 11) | (59 << 5) | 29, (44 << 9) | (12 << 5) | 31), true, true},
        {with("README  TXT", 0x20, 5, 100, 60 << 5), false, false},
        {with("README  TXT", 0x20, 5, 100, 30), false, false},
        {with("README  TXT", 0x20, 5, 100, 0, (44 << 9) | (13 << 5) | 1), false, false},
        {with("README  TXT", 0x20, 5, 100, 0, (44 << 9) | (0 << 5) | 1), false, false},
        {with("README  TXT", 0x20, 5, 100, 0, (44 << 9) | (1 << 5) | 0), false, false},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(CTempFATDirEntry(fat::Bytes(rows[i].entry)).IsValidFATDirEntry(false), rows[i].strict) << "row " << i;
        EXPECT_EQ(CTempFATDirEntry(fat::Bytes(rows[i].entry)).IsValidFATDirEntry(true), rows[i].loose) << "row " << i;
    }
}

TEST(FatDirEntry, NamesAndClusters) {
    const struct {
        const char* name11;
        std::uint8_t attr;
        const char* text;
    } names[] = {{"\xE5OO     TXT", 0x20, "#OO.TXT"}, {"README     ", 0x20, "README"}, {"MY DISK    ", 0x08, "MY DISK"},
                 {"ABCDEFGHIJK", 0x08, "ABCDEFGHIJK"}, {"CAF\x82    TXT", 0x20, "CAF_.TXT"}};
    for (const auto& n : names) {
        std::string name;
        const auto e = ShortEntry(n.name11, n.attr, 9, 10);
        EXPECT_TRUE(CTempFATDirEntry(fat::Bytes(e)).GetShortName(name, n.attr == 0x08));
        EXPECT_EQ(name, n.text);
    }
    auto e = ShortEntry("A       BIN", 0x20, 0x0012ABCD, 1);
    CTempFATDirEntry view(e.data());
    EXPECT_EQ(view.GetFirstClusterNO(), 0x0012ABCDu);
    EXPECT_TRUE(view.SetFirstClusterNO(0x00340001));
    EXPECT_EQ(view.GetFirstClusterNO(), 0x00340001u);
    EXPECT_FALSE(CTempFATDirEntry(fat::Bytes(e)).SetFirstClusterNO(1)); // read-only view
    EXPECT_TRUE(view.IsFilenameEqual("A       ", "BIN"));

    EXPECT_EQ(CTempFATDirEntry(fat::Bytes(LfnEntry(u"abc"))).GetLongFileName(), "abc");
    EXPECT_EQ(CTempFATDirEntry(fat::Bytes(LfnEntry(u""))).GetLongFileName(), "_");
    EXPECT_EQ(CTempFATDirEntry(fat::Bytes(LfnEntry(u"abcdefghijklm"))).GetLongNameUnits().size(), 13u);
    EXPECT_FALSE(CTempFATDirEntry::IsValidLongFileName(""));
    EXPECT_FALSE(CTempFATDirEntry::IsValidLongFileName("a:b"));
    EXPECT_TRUE(CTempFATDirEntry::IsValidLongFileName("日本語"));
    // A view over too few bytes reads as an unused entry.
    std::uint8_t few[4] = {'A', 'B', 'C', 'D'};
    EXPECT_TRUE(CTempFATDirEntry(fat::Bytes(few, 4)).IsNeverUsed());
}

TEST(FatFolderAnalyser, SectorShapes) {
    auto sector = [](std::initializer_list<Bytes> entries) {
        Bytes s;
        for (auto& e : entries) s.insert(s.end(), e.begin(), e.end());
        s.resize(512, 0);
        return s;
    };
    const auto dot = ShortEntry(".          ", 0x10, 7, 0), dotdot = ShortEntry("..         ", 0x10, 3, 0);
    const auto a = ShortEntry("A       TXT", 0x20, 10, 5), b = ShortEntry("B       TXT", 0x20, 11, 5);
    const auto empty1 = ShortEntry("E1      TXT", 0x20, 0, 0), empty2 = ShortEntry("E2      TXT", 0x20, 0, 0);
    auto garbage = b;
    garbage[11] = 0xFF;
    CFATFolderAnalyser an(512);
    EXPECT_TRUE(an.AnalyseSector(sector({dot, dotdot, a, garbage})));
    EXPECT_EQ(an.GetDirectoryEntryType(), 2u);
    EXPECT_EQ(an.GetCurDirFirstClusterNum(), 7u);
    EXPECT_EQ(an.GetParentFirstClusterNum(), 3u);
    EXPECT_EQ(an.GetMaxClusterNum(), 10u);
    EXPECT_FALSE(an.AnalyseSector(sector({a, b, garbage})));
    EXPECT_EQ(an.GetDirectoryEntryType(), 0u);
    EXPECT_TRUE(an.AnalyseSector(sector({a, b})));
    EXPECT_EQ(an.GetDirectoryEntryType(), 1u);
    EXPECT_EQ(an.GetCountedEntries(), 2u);
    EXPECT_EQ(an.GetCurDirFirstClusterNum(), 0u);
    EXPECT_FALSE(an.AnalyseSector(sector({empty1, empty2})));
    EXPECT_TRUE(an.AnalyseSector(sector({dot, dotdot, empty1, empty2})));
    EXPECT_FALSE(an.AnalyseSector(sector({})));
    EXPECT_FALSE(an.AnalyseSector(fat::Bytes(sector({a})).first(100))); // short span
    EXPECT_FALSE(CFATFolderAnalyser(0).AnalyseSector(sector({a})));
}

TEST(FatTableAnalyser, FirstSectorHeaders) {
    const std::uint8_t f32[] = {0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F}, f16[] = {0xF8, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0},
                       f12[] = {0xF0, 0xFF, 0xFF, 0, 0, 0, 0, 0};
    enumFILE_SYSTEM_TYPE kind = FS_UNKNOWN;
    EXPECT_TRUE(CFATTableAnalyser::IsValidFATTableFirstSector(f32, 512, kind));
    EXPECT_EQ(kind, FS_FAT32);
    EXPECT_TRUE(CFATTableAnalyser::IsValidFATTableFirstSector(f16, 512, kind));
    EXPECT_EQ(kind, FS_FAT16);
    EXPECT_FALSE(CFATTableAnalyser::IsValidFATTableFirstSector(f12, 512, kind));
    EXPECT_FALSE(CFATTableAnalyser::IsValidFATTableFirstSector(fat::Bytes(f32, 3), 512, kind));
}
