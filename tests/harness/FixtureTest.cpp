// The fixture runner: images made by real tools, cached by script hash.
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

namespace fs = std::filesystem;
using namespace salvor::test;

TEST(Fixture, Fat16ImageIsMadeAndCached) {
    const std::string dir = Fixture("fat16_basic");
    ASSERT_FALSE(dir.empty());
    const std::string img = dir + "/fat16_basic.img";
    ASSERT_TRUE(fs::exists(img));
    EXPECT_EQ(fs::file_size(img), 16384u * 1024);

    std::ifstream in(img, std::ios::binary);
    std::vector<char> boot(512);
    in.read(boot.data(), boot.size());
    EXPECT_EQ(std::string(boot.data() + 54, 5), "FAT16");
    EXPECT_EQ(static_cast<unsigned char>(boot[510]), 0x55);
    EXPECT_EQ(static_cast<unsigned char>(boot[511]), 0xAA);

    const auto stamp = fs::last_write_time(dir + "/.stamp");
    ASSERT_EQ(Fixture("fat16_basic"), dir);
    EXPECT_EQ(fs::last_write_time(dir + "/.stamp"), stamp) << "a second request reuses the cached image";

    std::ifstream sums(dir + "/sha256.txt");
    std::string line;
    int n = 0;
    while (std::getline(sums, line)) ++n;
    EXPECT_EQ(n, 3);
}

TEST(Fixture, HandedToATestThroughTheImageDevice) {
    const std::string img = FixtureFile("fat16_basic", "fat16_basic.img");
    ASSERT_FALSE(img.empty());
    ImageDevice dev(img);
    ASSERT_TRUE(dev.IsOpen());
    EXPECT_EQ(dev.GetSectorSize(), 512u);
    EXPECT_EQ(dev.GetTotalSectors(), 16384u * 2);
    std::vector<unsigned char> boot(512);
    ASSERT_EQ(dev.ReadSector(boot.data(), 0, 1), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(boot.data()) + 54, 5), "FAT16");
    EXPECT_EQ(dev.Reads(), 1u);
}

TEST(Fixture, MissingToolFailsAndNamesThePackage) {
    EXPECT_NONFATAL_FAILURE(Fixture("selftest_missing_tool"), "salvor-no-such-package");
}

TEST(Fixture, OracleReadsTheImage) {
    const std::string img = FixtureFile("fat16_basic", "fat16_basic.img");
    ASSERT_FALSE(img.empty());
    std::string out;
    ASSERT_EQ(RunCommand("fls -r -p '" + img + "'", &out), 0) << "The Sleuth Kit (package sleuthkit): " << out;
    EXPECT_NE(out.find("A.BIN"), std::string::npos) << out;
    EXPECT_NE(out.find("Docs/A rather long file name.bin"), std::string::npos) << out;
}
