// The FAT library against tool-made volumes, with The Sleuth Kit as oracle.
#include "engine/fat/FatFolderAnalyser.h"
#include "engine/fat/FatRegistration.h"
#include "engine/fat/FatVolume.h"
#include "engine/include/FactoryRegistry.h"
#include "tests/engine/fat/FatTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

using namespace fattest;
using salvor::test::ImageDevice;
using salvor::test::RunCommand;

namespace {

struct Kind {
    const char* fixture;
    unsigned sectorSize;
    enumFILE_SYSTEM_TYPE kind;
    const char* label;
};
const Kind kKinds[] = {{"fat_12", 512, FS_FAT12, "SALVOR12"}, {"fat_16", 512, FS_FAT16, "SALVOR16"},
                       {"fat_32", 512, FS_FAT32, "SALVOR32"}, {"fat_16_4k", 4096, FS_FAT16, "SALVOR4K"}};

std::string Image(const Kind& k) { return salvor::test::FixtureFile(k.fixture, std::string(k.fixture) + ".img"); }
std::string Manifest(const Kind& k) { return salvor::test::FixtureFile(k.fixture, std::string(k.fixture) + ".istat"); }

std::unique_ptr<IVolumeAnalyze> Analyse(IStorageDevice* device, unsigned long long start = 0) {
    ResetFactories();
    RegisterFatLibrary();
    return std::unique_ptr<IVolumeAnalyze>(CreateFatVolumeAnalyze(device, start));
}

// Every live file's chain equals the clusters istat lists.
void ExpectChainsMatchIstat(Volume& v, const Kind& k) {
    int files = 0, fragmented = 0;
    for (const auto& e : ReadIstatManifest(Manifest(k))) {
        if (e.dir || e.deleted || e.sectors.empty()) continue;
        std::vector<std::uint32_t> expected, chain;
        for (auto s : e.sectors)
            if (s != 0 && (expected.empty() || expected.back() != v.SectorCluster(s))) expected.push_back(v.SectorCluster(s));
        const auto end = fat::FollowClusterChain(*v.table, expected.front(), v.boot->View().GetClusterCount(), chain);
        EXPECT_EQ(end, fat::ChainEnd::End) << e.path;
        EXPECT_EQ(chain, expected) << e.path;
        ++files;
        fragmented += std::adjacent_find(expected.begin(), expected.end(), [](auto a, auto b) { return b != a + 1; }) !=
                      expected.end();
    }
    EXPECT_GT(files, 40);
    EXPECT_GE(fragmented, 1) << "the fixture must hold a fragmented file";
}

} // namespace

TEST(FatVolumeAnalyze, KindsSizesAndLabels) {
    salvor::test::TempDir tmp;
    std::string out;
    const std::string exfat = tmp.file("exfat.img");
    ASSERT_EQ(RunCommand("truncate -s 8M '" + exfat + "' && PATH=$PATH:/sbin:/usr/sbin mkfs.exfat '" + exfat + "'", &out), 0)
        << "mkfs.exfat failed (install the Debian package 'exfatprogs'): " << out;
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
    for (const auto& k : kKinds) rows.push_back({Image(k), k.sectorSize, k.kind, k.label});
    rows.push_back({Image(kKinds[3]), 512, FS_UNKNOWN, ""}); // the sector size must match the device's
    rows.push_back({Image(kKinds[1]), 4096, FS_UNKNOWN, ""});
    rows.push_back({Image(kKinds[1]), 512, FS_UNKNOWN, "", 2}); // a failed read
    rows.push_back({exfat, 512, FS_UNKNOWN, ""});
    rows.push_back({exfat, 512, FS_UNKNOWN, "", -1, true});
    // 2048-byte sectors, the size in the 16-bit field, a FAT of one sector.
    rows.push_back({small, 2048, FS_FAT32, "", -1, false, 8192});
    for (const auto& r : rows) {
        SCOPED_TRACE(r.image + " @" + std::to_string(r.sectorSize));
        ImageDevice device(r.image, r.sectorSize);
        if (r.failSector >= 0) device.FailSector(r.failSector);
        auto analyser = Analyse(&device, r.pastEnd ? device.GetTotalSectors() : 0);
        ASSERT_NE(analyser, nullptr);
        EXPECT_EQ(analyser->GetFileSystemType(), r.kind);
        EXPECT_EQ(analyser->GetTotalSector(), r.kind == FS_UNKNOWN ? 0 : r.total ? r.total : device.GetTotalSectors());
        char label[100] = "junk";
        analyser->GetLabel(label, sizeof label);
        if (r.kind != FS_FAT32 || *r.label) EXPECT_STREQ(label, r.label);
        // A small buffer still gets a terminated, cut label.
        char cut[4] = {'x', 'x', 'x', 'x'};
        analyser->GetLabel(cut, sizeof cut);
        EXPECT_EQ(std::string(cut), std::string(r.label).substr(0, 3));
    }
}

TEST(FatTableFixture, ChainsEqualIstatAlsoWithTheFirstFatDamaged) {
    for (const auto& k : kKinds) {
        SCOPED_TRACE(k.fixture);
        Volume intact;
        ASSERT_TRUE(intact.Open(Image(k), k.sectorSize));
        ExpectChainsMatchIstat(intact, k);
        // Overwrite the first FAT's sector that holds frag.bin's first entries.
        const auto oracle = ReadIstatManifest(Manifest(k));
        auto frag = std::find_if(oracle.begin(), oracle.end(), [](auto& e) { return e.path == "frag.bin"; });
        ASSERT_NE(frag, oracle.end());
        const std::uint32_t first = intact.SectorCluster(frag->sectors.front());
        const unsigned long long byte = k.kind == FS_FAT12 ? first * 3ull / 2 : first * (k.kind == FS_FAT16 ? 2ull : 4ull);
        std::mt19937 rng(k.sectorSize + first);
        std::vector<std::uint8_t> junk(k.sectorSize);
        for (auto& x : junk) x = static_cast<std::uint8_t>(rng());
        salvor::test::TempDir tmp;
        const std::string copy = salvor::test::CopyOf(Image(k), tmp, "damaged.img");
        ASSERT_TRUE(WriteBytes(copy, (intact.boot->View().GetReservedSector() + byte / k.sectorSize) * k.sectorSize, junk));
        Volume damaged;
        ASSERT_TRUE(damaged.Open(copy, k.sectorSize));
        auto* wrapper = dynamic_cast<CDoubleFATTable*>(damaged.table.get());
        ASSERT_NE(wrapper, nullptr);
        EXPECT_EQ(wrapper->First(), nullptr) << "the damaged copy must be refused";
        EXPECT_NE(wrapper->Second(), nullptr);
        ExpectChainsMatchIstat(damaged, k);
    }
}

TEST(FatFolderAnalyserFixture, FirstSectorsOfFoldersAreFound) {
    for (const auto& k : {kKinds[1], kKinds[2], kKinds[3]}) {
        SCOPED_TRACE(k.fixture);
        Volume v;
        ASSERT_TRUE(v.Open(Image(k), k.sectorSize));
        std::set<unsigned long long> expected, hits;
        for (const auto& e : ReadIstatManifest(Manifest(k)))
            if (e.dir && !e.sectors.empty()) expected.insert(e.sectors.front());
        ASSERT_GE(expected.size(), 5u);
        CFATFolderAnalyser analyser(k.sectorSize);
        std::vector<std::uint8_t> sector(k.sectorSize);
        for (unsigned long long s = 0; s < v.device->GetTotalSectors(); ++s) {
            ASSERT_TRUE(v.device->ReadSector(sector.data(), static_cast<long long>(s), 1));
            if (analyser.AnalyseSector(sector) && analyser.GetDirectoryEntryType() == CFATFolderAnalyser::FolderFirstSector) {
                hits.insert(s);
                EXPECT_EQ(analyser.GetCurDirFirstClusterNum(), v.SectorCluster(s)) << "sector " << s;
            }
        }
        EXPECT_EQ(hits, expected);
    }
}
