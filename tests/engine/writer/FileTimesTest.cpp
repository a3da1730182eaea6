// FILETIME conversion and setting times on files and folders.
#include "engine/writer/FileTimes.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace salvor::test {
namespace {

TEST(FileTimes, ConvertsHundredNanosecondCountsDirectly) {
    constexpr std::uint64_t epoch = 116444736000000000ULL, second = 10000000ULL; // 1970 as a FILETIME
    const std::pair<std::uint64_t, long long> cases[] = {
        {epoch, 0},
        {epoch + second - 1, 0}, // below a second
        {epoch + second * 1234567890, 1234567890},
        {epoch + second * 4102444800ULL, 4102444800LL}, // 2100-01-01: beyond both 32-bit second counts
        {epoch - second * 86400, -86400},               // before 1970 and before 1904: negative, not wrapped
        {0, -11644473600LL},
    };
    for (auto [fileTime, seconds] : cases) EXPECT_EQ(FileTimeToUnixSeconds(fileTime), seconds) << fileTime;
    EXPECT_FALSE(NodeTimeSeconds(0).has_value());
    EXPECT_EQ(NodeTimeSeconds(epoch + second * 60), 60);
}

TEST(FileTimes, SetsModificationTimeOfFilesAndFolders) {
    TempDir tmp;
    const std::string file = tmp.file("f"), folder = tmp.file("d");
    std::ofstream(file) << "x";
    std::filesystem::create_directory(folder);
    struct stat before {}, st {};
    ASSERT_EQ(stat(file.c_str(), &before), 0);
    EXPECT_EQ(ChangeFileCreateTs(file.c_str(), 2379974400L), 0); // 2045
    EXPECT_EQ(ChangeFileCreateTs(folder.c_str(), -86400L), 0);   // 1969
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 2379974400L);
    EXPECT_EQ(st.st_mtim.tv_nsec, 0);
    EXPECT_EQ(st.st_atim.tv_sec, before.st_atim.tv_sec) << "the access time is left alone";
    ASSERT_EQ(stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, -86400L);
    EXPECT_EQ(ChangeFileCreateTs(tmp.file("missing").c_str(), 0), -1);
    EXPECT_EQ(ChangeFileCreateTs(nullptr, 0), -1);
}

} // namespace
} // namespace salvor::test
