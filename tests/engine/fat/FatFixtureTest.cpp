// The FAT library against tool-made volumes, with The Sleuth Kit as oracle.
#include "engine/fat/FatFolderAnalyser.h"
#include "engine/fat/FatRegistration.h"
#include "engine/fat/FatVolume.h"
#include "engine/include/FactoryRegistry.h"
#include "tests/engine/fat/FatTestUtil.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

using namespace fattest;
using salvor::test::Fixture;
using salvor::test::ImageDevice;

namespace {

struct Kind {
    const char* fixture;
    unsigned sectorSize;
    enumFILE_SYSTEM_TYPE kind;
    const char* label;
};
const Kind kKinds[] = {
    {"fat_12", 512, FS_FAT12, "SALVOR12"},
    {"fat_16", 512, FS_FAT16, "SALVOR16"},
    {"fat_32", 512, FS_FAT32, "SALVOR32"},
    {"fat_16_4k", 4096, FS_FAT16, "SALVOR4K"},
};

std::string Image(const Kind& k) {
    const std::string dir = Fixture(k.fixture);
    return dir.empty() ? std::string() : dir + "/" + k.fixture + ".img";
}

std::string Manifest(const Kind& k, const char* ext) { return Fixture(k.fixture) + "/" + k.fixture + "." + ext; }

std::unique_ptr<IVolumeAnalyze> Analyse(IStorageDevice* device, unsigned long long start = 0) {
    ResetFactories();
    RegisterFatLibrary();
    return std::unique_ptr<IVolumeAnalyze>(CreateFatVolumeAnalyze(device, start));
}

// The clusters of a file's sectors as istat lists them, in order, without repeats.
std::vector<std::uint32_t> IstatClusters(const Volume& v, const OracleEntry& e) {
    std::vector<std::uint32_t> out;
    for (auto s : e.sectors) {
        if (s == 0) continue;
        const std::uint32_t c = v.SectorCluster(s);
        if (out.empty() || out.back() != c) out.push_back(c);
    }
    return out;
}

// Every live file's chain equals the clusters istat lists.
void ExpectChainsMatchIstat(Volume& v, const std::vector<OracleEntry>& oracle, const std::string& what) {
    int files = 0, fragmented = 0;
    for (const auto& e : oracle) {
        if (e.dir || e.deleted || e.sectors.empty()) continue;
        const auto expected = IstatClusters(v, e);
        std::vector<std::uint32_t> chain;
        const auto end = fat::FollowClusterChain(*v.table, expected.front(), v.boot->View().GetClusterCount(), chain);
        EXPECT_EQ(end, fat::ChainEnd::End) << what << ": " << e.path;
        EXPECT_EQ(chain, expected) << what << ": " << e.path;
        ++files;
        for (std::size_t i = 1; i < expected.size(); ++i)
            if (expected[i] != expected[i - 1] + 1) {
                ++fragmented;
                break;
            }
    }
    EXPECT_GT(files, 40) << what;
    EXPECT_GE(fragmented, 1) << what << ": the fixture must hold a fragmented file";
}

} // namespace

TEST(FatVolumeAnalyze, FixtureKindsSizesAndLabels) {
    for (const auto& k : kKinds) {
        const std::string img = Image(k);
        ASSERT_FALSE(img.empty());
        ImageDevice device(img, k.sectorSize);
        auto analyser = Analyse(&device);
        ASSERT_NE(analyser, nullptr);
        EXPECT_EQ(analyser->GetFileSystemType(), k.kind) << k.fixture;
        EXPECT_EQ(analyser->GetTotalSector(), device.GetTotalSectors()) << k.fixture;
        char label[100];
        analyser->GetLabel(label, sizeof label);
        EXPECT_STREQ(label, k.label) << k.fixture;
        // A small buffer still gets a terminated, cut label.
        char small[4] = {'x', 'x', 'x', 'x'};
        analyser->GetLabel(small, sizeof small);
        EXPECT_EQ(std::string(small), std::string(k.label).substr(0, 3));
    }
}

TEST(FatVolumeAnalyze, SectorSizeMustMatchTheDevice) {
    const std::string img = Image(kKinds[3]);
    ASSERT_FALSE(img.empty());
    ImageDevice device512(img, 512);
    EXPECT_EQ(Analyse(&device512)->GetFileSystemType(), FS_UNKNOWN);
    const std::string img512 = Image(kKinds[1]);
    ImageDevice device4k(img512, 4096);
    EXPECT_EQ(Analyse(&device4k)->GetFileSystemType(), FS_UNKNOWN);
}

TEST(FatVolumeAnalyze, ExfatAndBlankAreasAreUnknown) {
    salvor::test::TempDir tmp;
    const std::string img = tmp.file("exfat.img");
    std::string out;
    ASSERT_EQ(salvor::test::RunCommand("truncate -s 8M '" + img + "'", &out), 0) << out;
    const int rc = salvor::test::RunCommand("PATH=$PATH:/sbin:/usr/sbin mkfs.exfat '" + img + "'", &out);
    ASSERT_EQ(rc, 0) << "mkfs.exfat failed (install the Debian package 'exfatprogs'): " << out;
    ImageDevice device(img, 512);
    auto analyser = Analyse(&device);
    EXPECT_EQ(analyser->GetFileSystemType(), FS_UNKNOWN);
    EXPECT_EQ(analyser->GetTotalSector(), 0u);
    char label[8] = "junk";
    analyser->GetLabel(label, sizeof label);
    EXPECT_STREQ(label, "");
    // Past the end of the device nothing can be read.
    EXPECT_EQ(Analyse(&device, device.GetTotalSectors())->GetFileSystemType(), FS_UNKNOWN);
}

TEST(FatVolumeAnalyze, FailedReadLeavesUnknown) {
    const std::string img = Image(kKinds[1]);
    ASSERT_FALSE(img.empty());
    ImageDevice device(img, 512);
    device.FailSector(2);
    EXPECT_EQ(Analyse(&device)->GetFileSystemType(), FS_UNKNOWN);
}

TEST(FatTableFixture, ChainsEqualIstatClusters) {
    for (const auto& k : kKinds) {
        Volume v;
        ASSERT_TRUE(v.Open(Image(k), k.sectorSize)) << k.fixture;
        ExpectChainsMatchIstat(v, ReadIstatManifest(Manifest(k, "istat")), k.fixture);
    }
}

TEST(FatTableFixture, DamagedFirstFatFallsBackToSecondCopy) {
    for (const auto& k : kKinds) {
        salvor::test::TempDir tmp;
        const std::string copy = tmp.file("damaged.img");
        ASSERT_EQ(salvor::test::RunCommand("cp '" + Image(k) + "' '" + copy + "'"), 0);
        Volume intact;
        ASSERT_TRUE(intact.Open(Image(k), k.sectorSize));
        const CTempFATDBR& b = intact.boot->View();
        // Overwrite the first FAT's sector that holds frag.bin's first entries.
        const auto oracle = ReadIstatManifest(Manifest(k, "istat"));
        auto frag = std::find_if(oracle.begin(), oracle.end(), [](auto& e) { return e.path == "frag.bin"; });
        ASSERT_NE(frag, oracle.end());
        const std::uint32_t first = intact.SectorCluster(frag->sectors.front());
        const unsigned long long byte = k.kind == FS_FAT12 ? first * 3ull / 2 : first * (k.kind == FS_FAT16 ? 2ull : 4ull);
        const unsigned long long sector = b.GetReservedSector() + byte / k.sectorSize;
        std::mt19937 rng(k.sectorSize + first);
        std::vector<std::uint8_t> junk(k.sectorSize);
        for (auto& x : junk) x = static_cast<std::uint8_t>(rng());
        ASSERT_TRUE(WriteBytes(copy, sector * k.sectorSize, junk));

        Volume damaged;
        ASSERT_TRUE(damaged.Open(copy, k.sectorSize));
        auto* wrapper = dynamic_cast<CDoubleFATTable*>(damaged.table.get());
        ASSERT_NE(wrapper, nullptr);
        EXPECT_EQ(wrapper->First(), nullptr) << k.fixture << ": the damaged copy must be refused";
        EXPECT_NE(wrapper->Second(), nullptr) << k.fixture;
        ExpectChainsMatchIstat(damaged, oracle, std::string(k.fixture) + " (damaged)");
    }
}

TEST(FatFolderAnalyserFixture, FirstSectorsOfFoldersAreFound) {
    for (const auto& k : {kKinds[1], kKinds[2], kKinds[3]}) {
        Volume v;
        ASSERT_TRUE(v.Open(Image(k), k.sectorSize));
        std::set<unsigned long long> expected;
        for (const auto& e : ReadIstatManifest(Manifest(k, "istat")))
            if (e.dir && !e.sectors.empty()) expected.insert(e.sectors.front());
        ASSERT_GE(expected.size(), 5u);
        std::set<unsigned long long> hits;
        CFATFolderAnalyser analyser(k.sectorSize);
        std::vector<std::uint8_t> sector(k.sectorSize);
        for (unsigned long long s = 0; s < v.device->GetTotalSectors(); ++s) {
            ASSERT_TRUE(v.device->ReadSector(sector.data(), static_cast<long long>(s), 1));
            if (analyser.AnalyseSector(sector) &&
                analyser.GetDirectoryEntryType() == CFATFolderAnalyser::FolderFirstSector) {
                hits.insert(s);
                EXPECT_EQ(analyser.GetCurDirFirstClusterNum(), v.SectorCluster(s)) << k.fixture << " sector " << s;
            }
        }
        EXPECT_EQ(hits, expected) << k.fixture;
    }
}

namespace {
// Our walk against an fls listing: the same entries (normalised names), deleted
// flags and, from the istat manifest where given, file sizes.
void ExpectWalkMatches(Volume& v, const std::vector<OracleEntry>& oracle, const std::string& what) {
    std::map<std::string, OracleEntry> want;
    for (const auto& e : oracle) want[NormalisePath(e.path, e.deleted)] = e;
    std::map<std::string, Found> got;
    for (const auto& f : v.Walk()) got[NormalisePath(f.path, f.deleted)] = f;
    for (const auto& [key, e] : want) {
        auto it = got.find(key);
        if (it == got.end()) {
            ADD_FAILURE() << what << ": missing " << e.path;
            continue;
        }
        EXPECT_EQ(it->second.deleted, e.deleted) << what << ": " << e.path;
        EXPECT_EQ(it->second.dir, e.dir) << what << ": " << e.path;
        if (!e.dir && e.size >= 0) {
            EXPECT_EQ(it->second.size, e.size) << what << ": " << e.path;
        }
    }
    for (const auto& [key, f] : got)
        if (!want.count(key)) ADD_FAILURE() << what << ": unexpected " << f.path;
}
} // namespace

TEST(FatPropertiesFixture, EntryRunsEqualFlsListing) {
    for (const auto& k : kKinds) {
        Volume v;
        ASSERT_TRUE(v.Open(Image(k), k.sectorSize));
        const auto oracle = ReadIstatManifest(Manifest(k, "istat"));
        ExpectWalkMatches(v, oracle, k.fixture);
        // The names that need their long form whole.
        std::set<std::string> names;
        for (const auto& f : v.Walk()) names.insert(f.path);
        EXPECT_TRUE(names.count("Docs/A file with a rather long name, 48 characters.bin")) << k.fixture;
        EXPECT_TRUE(names.count("Docs/Café crème brûlée.txt")) << k.fixture;
        EXPECT_TRUE(names.count("Docs/日本語のファイル名.txt")) << k.fixture;
        const auto deleted = ParseFls(ReadText(Manifest(k, "fls_del")));
        EXPECT_GE(deleted.size(), 5u) << k.fixture;
    }
}
