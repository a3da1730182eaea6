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

// Made once and reused; read by the image device and by The Sleuth Kit.
TEST(Fixture, Fat16ImageIsMadeCachedAndRead) {
    const std::string dir = Fixture("fat16_basic");
    ASSERT_FALSE(dir.empty());
    const std::string img = dir + "/fat16_basic.img";
    EXPECT_EQ(fs::file_size(img), 16384u * 1024);
    const auto stamp = fs::last_write_time(dir + "/.stamp");
    ASSERT_EQ(FixtureFile("fat16_basic", "fat16_basic.img"), img);
    EXPECT_EQ(fs::last_write_time(dir + "/.stamp"), stamp) << "a second request reuses the cached image";
    std::ifstream sums(dir + "/sha256.txt");
    std::string line;
    int n = 0;
    while (std::getline(sums, line)) ++n;
    EXPECT_EQ(n, 3);

    ImageDevice dev(img);
    EXPECT_EQ(dev.GetTotalSectors(), 16384u * 2);
    std::vector<unsigned char> boot(512);
    ASSERT_EQ(dev.ReadSector(boot.data(), 0, 1), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(boot.data()) + 54, 5), "FAT16");
    EXPECT_EQ(boot[510] << 8 | boot[511], 0x55AA);

    std::string out;
    ASSERT_EQ(RunCommand("fls -r -p '" + img + "'", &out), 0) << "The Sleuth Kit (package sleuthkit): " << out;
    EXPECT_NE(out.find("A.BIN"), std::string::npos) << out;
    EXPECT_NE(out.find("Docs/A rather long file name.bin"), std::string::npos) << out;
}

TEST(Fixture, MissingToolFailsAndNamesThePackage) {
    EXPECT_NONFATAL_FAILURE(Fixture("selftest_missing_tool"), "salvor-no-such-package");
}
