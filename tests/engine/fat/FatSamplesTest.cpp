// The FAT library against public sample volumes made by other tools, with
// their published listings and The Sleuth Kit as oracles.
#include "engine/fat/FatVolume.h"
#include "tests/engine/fat/FatTestUtil.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

using namespace fattest;
using salvor::test::RunCommand;
using salvor::test::TestData;

namespace {

class FatSamples : public ::testing::Test {
protected:
    // The sample decompressed into a temporary folder; "" on failure.
    std::string Sample(const std::string& name) {
        const std::string src = TestData() + "/dfir_ntfs/" + name;
        std::string out;
        std::string dest = tmp.file(name.substr(0, name.find(".gz")));
        if (name.ends_with(".tgz")) {
            if (RunCommand("tar -xzf '" + src + "' -C '" + tmp.path() + "'", &out) != 0) return {};
            dest = tmp.file(name.substr(0, name.find(".tgz")) + ".raw");
        } else if (RunCommand("gzip -dc '" + src + "' > '" + dest + "'", &out) != 0) {
            ADD_FAILURE() << "cannot decompress " << src << ": " << out;
            return {};
        }
        return dest;
    }

    std::vector<OracleEntry> Fls(const std::string& image) {
        std::string out;
        const int rc = RunCommand("fls -r -p '" + image + "'", &out);
        if (rc != 0) ADD_FAILURE() << "fls failed (install the Debian package 'sleuthkit'): " << out;
        return ParseFls(out);
    }

    salvor::test::TempDir tmp;
};

// Our walk and fls list the same entries with the same deleted flags; fls
// entries under `skipBelow` may be missing.
void ExpectSameEntries(Volume& v, const std::vector<OracleEntry>& fls, const std::string& what,
                       const std::string& skipBelow = {}) {
    std::map<std::string, bool> want, got;
    for (const auto& e : fls)
        if (skipBelow.empty() || !e.path.starts_with(skipBelow)) want[NormalisePath(e.path, e.deleted)] = e.deleted;
    for (const auto& f : v.Walk()) got[NormalisePath(f.path, f.deleted)] = f.deleted;
    for (const auto& [key, deleted] : want) {
        auto it = got.find(key);
        if (it == got.end())
            ADD_FAILURE() << what << ": missing " << key;
        else
            EXPECT_EQ(it->second, deleted) << what << ": " << key;
    }
    for (const auto& [key, deleted] : got)
        if (!want.count(key) && (skipBelow.empty() || !key.starts_with(skipBelow))) ADD_FAILURE() << what << ": unexpected " << key << (deleted ? " (deleted)" : "");
}

// The paths of a published listing ("/path<blank>time" lines).
std::set<std::string> PublishedPaths(const std::string& file) {
    std::set<std::string> out;
    std::istringstream in(ReadText(file));
    std::string line;
    while (std::getline(in, line)) {
        const auto cut = line.find_last_of(" \t");
        if (cut == std::string::npos || line.empty() || line[0] != '/') continue;
        out.insert(line.substr(1, cut - 1));
    }
    return out;
}

} // namespace

TEST_F(FatSamples, PublishedListings) {
    for (const std::string name : {"fat12", "fat16", "fat32_full_test"}) {
        const std::string img = Sample(name == "fat32_full_test" ? name + ".tgz" : name + ".raw.gz");
        ASSERT_FALSE(img.empty());
        Volume v;
        ASSERT_TRUE(v.Open(img, 512)) << name;
        std::set<std::string> live;
        for (const auto& f : v.Walk())
            if (!f.deleted) live.insert(f.path);
        const auto published = PublishedPaths(TestData() + "/dfir_ntfs/" +
                                              (name == "fat32_full_test" ? name : name + "_full_test") + ".txt");
        EXPECT_GE(published.size(), 269u);
        EXPECT_EQ(live, published) << name;
    }
}

TEST_F(FatSamples, EntriesEqualFls) {
    // fat32_full_test is left to its published listing: fls cuts its names of
    // 196 characters and more.
    const char* samples[] = {"fat12.raw.gz",          "fat16.raw.gz",
                             "fat16_moved.raw.gz",    "fat_noloop.raw.gz", "fat_deleted_dir.raw.gz",
                             "fat_deleted_dir_2.raw.gz", "fat_dir.raw.gz",  "fat_lfn_test.raw.gz",
                             "fat_unusual_label.raw.gz"};
    for (const std::string name : samples) {
        const std::string img = Sample(name);
        ASSERT_FALSE(img.empty()) << name;
        Volume v;
        ASSERT_TRUE(v.Open(img, 512)) << name;
        ExpectSameEntries(v, Fls(img), name);
    }
}

TEST_F(FatSamples, UnusualGeometries) {
    // FAT12 with 4096-byte sectors and 512 KiB clusters.
    const std::string big = Sample("fat_unusual_cluster.raw.gz");
    Volume v;
    ASSERT_TRUE(v.Open(big, 4096));
    EXPECT_EQ(v.boot->View().GetFileSystemType(), FS_FAT12);
    ExpectSameEntries(v, Fls(big), "fat_unusual_cluster");

    // FAT32 with 2048-byte sectors, its size in the 16-bit field and a FAT of one
    // sector: recognised with its real size; its folders are still walked.
    const std::string small = Sample("fat32_small.raw.gz");
    salvor::test::ImageDevice device(small, 2048);
    CFatVolumeAnalyze analyser(&device, 0);
    EXPECT_EQ(analyser.GetFileSystemType(), FS_FAT32);
    EXPECT_EQ(analyser.GetTotalSector(), 8192u);
    Volume w;
    ASSERT_TRUE(w.Open(small, 2048));
    w.Walk();
}

TEST_F(FatSamples, FolderLoopEnds) {
    // A folder entry leads back to one of its ancestors: the walk ends and
    // lists what fls lists, except that fls enters the looping folder once more.
    const std::string img = Sample("fat32_loop.raw.gz");
    Volume v;
    ASSERT_TRUE(v.Open(img, 512));
    auto* wrapper = dynamic_cast<CDoubleFATTable*>(v.table.get());
    ASSERT_NE(wrapper, nullptr);
    EXPECT_NE(wrapper->First(), nullptr);
    ExpectSameEntries(v, Fls(img), "fat32_loop", "test_dir/n40/4/");
}
