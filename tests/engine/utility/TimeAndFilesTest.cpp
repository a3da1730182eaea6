#include "engine/utility/FileUtils.h"
#include "engine/utility/TimeUtils.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <sys/xattr.h>

#include <cstring>
#include <ctime>
#include <fstream>

namespace {

using salvor::test::TempDir;

TEST(Time, GetLocalTimeOfNullAnswersAllOnes) { EXPECT_EQ(GetLocalTime(nullptr), 0xFFFFFFFFu); }

TEST(Time, GetLocalTimeFillsTheCalendarOfNow) {
    _SYSTEMTIME st;
    ASSERT_EQ(GetLocalTime(&st), 0u);
    std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    EXPECT_EQ(st.wYear, t.tm_year + 1900);
    EXPECT_GE(st.wMonth, 1);
    EXPECT_LE(st.wMonth, 12);
    EXPECT_LE(st.wDayOfWeek, 6);
    EXPECT_LE(st.wHour, 23);
    EXPECT_LE(st.wMilliseconds, 999);
}

TEST(Time, ConverTimeGivesTheLocalCalendarWithoutMilliseconds) {
    _SYSTEMTIME st;
    st.wMilliseconds = 77;
    // 2001-09-09 01:46:40 UTC
    const long secs = 1000000000;
    ASSERT_EQ(ConverTime(secs, &st), 0u);
    std::time_t tt = secs;
    std::tm t{};
    localtime_r(&tt, &t);
    EXPECT_EQ(st.wYear, t.tm_year + 1900);
    EXPECT_EQ(st.wMonth, t.tm_mon + 1);
    EXPECT_EQ(st.wDay, t.tm_mday);
    EXPECT_EQ(st.wHour, t.tm_hour);
    EXPECT_EQ(st.wMinute, 46);
    EXPECT_EQ(st.wSecond, 40);
    EXPECT_EQ(st.wMilliseconds, 0);

    _SYSTEMTIME untouched;
    untouched.wYear = 1234;
    EXPECT_EQ(ConverTime(-1, &untouched), 0u);
    EXPECT_EQ(untouched.wYear, 1234);
}

TEST(Time, TickCountIsWholeSecondsTimesAThousand) {
    // Taken twice around the tick count so a second boundary cannot fool it.
    for (;;) {
        std::time_t before = std::time(nullptr);
        std::uint32_t a = GetTickCount(), b = GetTickCount();
        if (std::time(nullptr) != before)
            continue;
        EXPECT_EQ(a, static_cast<std::uint32_t>(static_cast<std::uint64_t>(before) * 1000u));
        EXPECT_EQ(a, b);
        break;
    }
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(Files, GetFileSizeAnswersZeroForNullMissingAndEmpty) {
    TempDir dir;
    WriteFile(dir.file("a"), "hello");
    WriteFile(dir.file("empty"), "");
    EXPECT_EQ(GetFileSize(dir.file("a").c_str()), 5);
    EXPECT_EQ(GetFileSize(dir.file("empty").c_str()), 0);
    EXPECT_EQ(GetFileSize(dir.file("missing").c_str()), 0);
    EXPECT_EQ(GetFileSize(nullptr), 0);
}

TEST(Files, CopyFileACopiesAFolderTreeWithModeTimesAndAttributes) {
    TempDir dir;
    const std::string src = dir.file("src"), dst = dir.file("dst");
    ASSERT_EQ(mkdir(src.c_str(), 0750), 0);
    ASSERT_EQ(mkdir((src + "/sub").c_str(), 0700), 0);
    std::string big(3 << 20, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 131 + 7);
    WriteFile(src + "/sub/big.bin", big);
    WriteFile(src + "/note.txt", "note");
    ASSERT_EQ(chmod((src + "/note.txt").c_str(), 0640), 0);
    ASSERT_EQ(symlink("note.txt", (src + "/link").c_str()), 0);
    timespec times[2] = {{1000000000, 0}, {1100000000, 500}};
    ASSERT_EQ(utimensat(AT_FDCWD, (src + "/note.txt").c_str(), times, 0), 0);
    const bool xattrs = setxattr((src + "/note.txt").c_str(), "user.salvor", "v1", 2, 0) == 0;

    ASSERT_EQ(CopyFileA(src.c_str(), dst.c_str(), 0), 0);
    EXPECT_EQ(ReadFile(dst + "/sub/big.bin"), big);
    EXPECT_EQ(ReadFile(dst + "/note.txt"), "note");
    struct stat st {};
    ASSERT_EQ(stat((dst + "/note.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1100000000);
    ASSERT_EQ(stat(dst.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    char target[64] = {};
    ASSERT_GT(readlink((dst + "/link").c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "note.txt");
    if (xattrs) {
        char value[8] = {};
        EXPECT_EQ(getxattr((dst + "/note.txt").c_str(), "user.salvor", value, sizeof value), 2);
        EXPECT_STREQ(value, "v1");
    }
    EXPECT_EQ(CopyFileA(dir.file("missing").c_str(), dir.file("x").c_str(), 0), -1);
    EXPECT_EQ(CopyFileA(nullptr, dst.c_str(), 0), -1);
}

} // namespace
