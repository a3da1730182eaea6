// Boot sector, directory entries and the sector recognisers, on real bytes cut
// from tool-made volumes and on single-field corruptions of them.
#include "engine/fat/FatBootSector.h"
#include "engine/fat/FatDirEntry.h"
#include "engine/fat/FatFolderAnalyser.h"
#include "tests/engine/fat/FatTestUtil.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace fattest;

namespace {
std::vector<std::uint8_t> BootOf(const char* fixture, unsigned ss = 512) {
    return ReadBytes(salvor::test::Fixture(fixture) + "/" + fixture + ".img", 0, ss);
}

std::vector<std::uint8_t> Entry(const char* name11, std::uint8_t attr, std::uint32_t cluster, std::uint32_t size) {
    return ShortEntry(name11, attr, cluster, size);
}
} // namespace

TEST(FatBootSector, RealSectorsGiveTheirKindAndGeometry) {
    const auto b16 = BootOf("fat_16");
    ASSERT_EQ(b16.size(), 512u);
    CTempFATDBR v16(b16, 512);
    EXPECT_EQ(v16.GetFileSystemType(), FS_FAT16);
    EXPECT_EQ(v16.GetNumberOfFat(), 2u);
    EXPECT_EQ(v16.GetRootEntries(), 512u);
    EXPECT_EQ(v16.GetRootDirSectors(), 32u);
    EXPECT_EQ(v16.GetRootDirStartCluster(), 0u);
    EXPECT_EQ(v16.GetTotalSectors(), 32768u);
    EXPECT_TRUE(CTempFATDBR::SimpleCheck(b16));

    const auto b32 = BootOf("fat_32");
    CTempFATDBR v32(b32, 512);
    EXPECT_EQ(v32.GetFileSystemType(), FS_FAT32);
    EXPECT_EQ(v32.GetRootDirStartCluster(), 2u);
    EXPECT_EQ(v32.GetSectorsperCluster(), 1u);
    EXPECT_EQ(v32.GetFirstDataSector(), v32.GetReservedSector() + 2ull * v32.GetSectorsPerFat());
    EXPECT_GE(v32.GetClusterCount(), 65525u);

    EXPECT_EQ(CTempFATDBR(BootOf("fat_12"), 512).GetFileSystemType(), FS_FAT12);
    EXPECT_EQ(CTempFATDBR(BootOf("fat_16_4k", 4096), 4096).GetFileSystemType(), FS_FAT16);
}

TEST(FatBootSector, SingleFieldCorruptions) {
    const auto good = BootOf("fat_16");
    ASSERT_EQ(good.size(), 512u);
    auto kind = [](std::vector<std::uint8_t> b, unsigned ss = 512) { return CTempFATDBR(b, ss).GetFileSystemType(); };
    auto with = [&](auto change) {
        auto b = good;
        change(b);
        return b;
    };
    EXPECT_EQ(kind(with([](auto& b) { std::memcpy(&b[54], "fat16   ", 8); })), FS_FAT16);
    EXPECT_EQ(kind(with([](auto& b) { b[13] = 128; })), FS_FAT16);
    EXPECT_EQ(kind(with([](auto& b) { b[13] = 3; })), FS_UNKNOWN);
    EXPECT_EQ(kind(with([](auto& b) { b[13] = 0; })), FS_UNKNOWN);
    EXPECT_EQ(kind(good, 4096), FS_UNKNOWN);
    EXPECT_EQ(kind(with([](auto& b) { Put16(b, 17, 223); })), FS_UNKNOWN);
    EXPECT_EQ(kind(with([](auto& b) { Put16(b, 17, 230); })), FS_UNKNOWN); // 230 x 32 not whole sectors
    EXPECT_EQ(kind(with([](auto& b) { b[16] = 1; })), FS_UNKNOWN);
    EXPECT_EQ(kind(with([](auto& b) { Put16(b, 22, 0); })), FS_UNKNOWN);
    EXPECT_EQ(kind(with([](auto& b) { b[511] = 0; })), FS_UNKNOWN);
    // A 16-bit total of 0 gives the 32-bit one.
    auto big = with([](auto& b) {
        Put16(b, 19, 0);
        b[32] = 0x00, b[33] = 0x00, b[34] = 0x01, b[35] = 0x00;
    });
    EXPECT_EQ(CTempFATDBR(big, 512).GetTotalSectors(), 65536u);
    // FAT16 text and a valid FAT32 layout: the FAT16 test runs first.
    auto both = with([](auto& b) {
        std::memcpy(&b[82], "FAT32   ", 8);
        b[36] = 1;
    });
    EXPECT_EQ(kind(both), FS_FAT16);
    // Too short a span is never a boot sector, and reads stay inside it.
    EXPECT_EQ(CTempFATDBR(std::span(good).first(511), 512).GetFileSystemType(), FS_UNKNOWN);
    EXPECT_FALSE(CTempFATDBR::SimpleCheck(std::span(good).first(100)));
    EXPECT_FALSE(CTempFATDBR::SimpleCheck(with([](auto& b) { b[0] = 0; })));

    // FAT12 needs 224..2048 root entries and 1..200 sectors per FAT.
    const auto f12 = BootOf("fat_12");
    auto f12with = [&](auto change) {
        auto b = f12;
        change(b);
        return CTempFATDBR(b, 512).GetFileSystemType();
    };
    EXPECT_EQ(f12with([](auto& b) { Put16(b, 17, 4096); }), FS_UNKNOWN);
    EXPECT_EQ(f12with([](auto& b) { Put16(b, 22, 201); }), FS_UNKNOWN);
    EXPECT_EQ(f12with([](auto&) {}), FS_FAT12);
}

TEST(FatDirEntry, PlausibilityRules) {
    auto valid = [](const std::vector<std::uint8_t>& e, bool loose) {
        return CTempFATDirEntry(fat::Bytes(e)).IsValidFATDirEntry(loose);
    };
    EXPECT_FALSE(valid(std::vector<std::uint8_t>(32, 0), false)); // end of folder
    auto file = Entry("README  TXT", 0x20, 5, 100);
    EXPECT_TRUE(valid(file, false));
    auto noSize = Entry("README  TXT", 0x20, 5, 0);
    EXPECT_FALSE(valid(noSize, false));
    EXPECT_TRUE(valid(noSize, true));
    auto dir = Entry("DOCS       ", 0x10, 0x10005, 4096); // folder with size and a high word
    EXPECT_FALSE(valid(dir, false));
    EXPECT_FALSE(valid(Entry("README  TXT", 0x40, 5, 100), false));
    EXPECT_FALSE(valid(Entry("README  TXT", 0x60, 5, 100), false));
    EXPECT_TRUE(valid(Entry("LABEL*?    ", 0x08, 0, 0), false)); // labels skip the name test
    EXPECT_FALSE(valid(Entry("\x05" "EADME  TXT", 0x20, 5, 100), false));
    EXPECT_FALSE(valid(Entry(" EADME  TXT", 0x20, 5, 100), false));
    EXPECT_TRUE(valid(Entry("\xE5" "EADME  TXT", 0x20, 5, 100), false));

    auto timed = [&](unsigned time, unsigned date) {
        auto e = file;
        Put16(e, 14, time);
        Put16(e, 16, date);
        return valid(e, false);
    };
    EXPECT_TRUE(timed((23 << 11) | (59 << 5) | 29, (44 << 9) | (12 << 5) | 31));
    EXPECT_FALSE(timed(60 << 5, 0));
    EXPECT_FALSE(timed(30, 0));
    EXPECT_FALSE(timed(0, (44 << 9) | (13 << 5) | 1));
    EXPECT_FALSE(timed(0, (44 << 9) | (0 << 5) | 1));
    EXPECT_FALSE(timed(0, (44 << 9) | (1 << 5) | 0));
}

TEST(FatDirEntry, NamesAndClusters) {
    std::string name;
    auto erased = Entry("\xE5OO     TXT", 0x20, 9, 10);
    EXPECT_TRUE(CTempFATDirEntry(fat::Bytes(erased)).GetShortName(name, false));
    EXPECT_EQ(name, "#OO.TXT");
    auto noExt = Entry("README     ", 0x20, 9, 10);
    CTempFATDirEntry(fat::Bytes(noExt)).GetShortName(name, false);
    EXPECT_EQ(name, "README");
    auto label = Entry("MY DISK    ", 0x08, 0, 0);
    CTempFATDirEntry(fat::Bytes(label)).GetShortName(name, true);
    EXPECT_EQ(name, "MY DISK");
    auto full = Entry("ABCDEFGHIJK", 0x08, 0, 0);
    CTempFATDirEntry(fat::Bytes(full)).GetShortName(name, true);
    EXPECT_EQ(name, "ABCDEFGHIJK");
    auto high = Entry("CAF\x82    TXT", 0x20, 9, 10);
    CTempFATDirEntry(fat::Bytes(high)).GetShortName(name, false);
    EXPECT_EQ(name, "CAF_.TXT");

    auto e = Entry("A       BIN", 0x20, 0x0012ABCD, 1);
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
    auto sector = [](std::initializer_list<std::vector<std::uint8_t>> entries) {
        std::vector<std::uint8_t> s;
        for (auto& e : entries) s.insert(s.end(), e.begin(), e.end());
        s.resize(512, 0);
        return s;
    };
    const auto dot = Entry(".          ", 0x10, 7, 0);
    const auto dotdot = Entry("..         ", 0x10, 3, 0);
    const auto a = Entry("A       TXT", 0x20, 10, 5);
    const auto b = Entry("B       TXT", 0x20, 11, 5);
    auto garbage = Entry("B       TXT", 0x20, 11, 5);
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

    const auto empty1 = Entry("E1      TXT", 0x20, 0, 0);
    const auto empty2 = Entry("E2      TXT", 0x20, 0, 0);
    EXPECT_FALSE(an.AnalyseSector(sector({empty1, empty2})));
    EXPECT_TRUE(an.AnalyseSector(sector({dot, dotdot, empty1, empty2})));
    EXPECT_FALSE(an.AnalyseSector(sector({})));
    const auto one = sector({a});
    EXPECT_FALSE(an.AnalyseSector(fat::Bytes(one).first(100))); // short span
    EXPECT_FALSE(CFATFolderAnalyser(0).AnalyseSector(sector({a})));
}

TEST(FatTableAnalyser, FirstSectorHeaders) {
    enumFILE_SYSTEM_TYPE kind = FS_UNKNOWN;
    const std::uint8_t f32[] = {0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F};
    EXPECT_TRUE(CFATTableAnalyser::IsValidFATTableFirstSector(f32, 512, kind));
    EXPECT_EQ(kind, FS_FAT32);
    const std::uint8_t f16[] = {0xF8, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
    EXPECT_TRUE(CFATTableAnalyser::IsValidFATTableFirstSector(f16, 512, kind));
    EXPECT_EQ(kind, FS_FAT16);
    const std::uint8_t f12[] = {0xF0, 0xFF, 0xFF, 0, 0, 0, 0, 0};
    EXPECT_FALSE(CFATTableAnalyser::IsValidFATTableFirstSector(f12, 512, kind));
    EXPECT_FALSE(CFATTableAnalyser::IsValidFATTableFirstSector(fat::Bytes(f32, 3), 512, kind));
    EXPECT_TRUE(CFATTableAnalyser::IsUsedCluster(2));
    EXPECT_TRUE(CFATTableAnalyser::IsUsedCluster(0x0FFFFFEF));
    EXPECT_FALSE(CFATTableAnalyser::IsUsedCluster(0x0FFFFFF0));
    EXPECT_FALSE(CFATTableAnalyser::IsUsedCluster(1));
}
