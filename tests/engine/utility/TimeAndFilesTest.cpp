#include "engine/utility/FileUtils.h"
#include "engine/utility/TimeUtils.h"
#include "tests/support/engine_helpers.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <ctime>
#include <fstream>

namespace {

using namespace salvor::test;

TEST(Time, LocalTimeOfNowAndOfASecondCount) {
    EXPECT_EQ(GetLocalTime(nullptr), 0xFFFFFFFFu);
    _SYSTEMTIME st;
    ASSERT_EQ(GetLocalTime(&st), 0u);
    std::time_t now = std::time(nullptr);
    std::tm t{};
    localtime_r(&now, &t);
    EXPECT_EQ(st.wYear, t.tm_year + 1900);
    EXPECT_TRUE(st.wMonth >= 1 && st.wMonth <= 12 && st.wDayOfWeek <= 6 && st.wHour <= 23) << st.wMonth;
    EXPECT_LE(st.wMilliseconds, 999);

    st.wMilliseconds = 77;
    now = 1000000000; // 2001-09-09 01:46:40 UTC
    ASSERT_EQ(ConverTime(static_cast<long>(now), &st), 0u);
    localtime_r(&now, &t);
    EXPECT_EQ(std::vector<int>({st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds}),
              std::vector<int>({t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, 46, 40, 0}));
    _SYSTEMTIME untouched;
    untouched.wYear = 1234;
    EXPECT_EQ(ConverTime(-1, &untouched), 0u);
    EXPECT_EQ(untouched.wYear, 1234);
}

TEST(Time, TickCountIsWholeSecondsTimesAThousand) {
    for (;;) { // taken twice around the tick count so a second boundary cannot fool it
        const std::time_t before = std::time(nullptr);
        const std::uint32_t a = GetTickCount(), b = GetTickCount();
        if (std::time(nullptr) != before) continue;
        EXPECT_EQ(a, static_cast<std::uint32_t>(static_cast<std::uint64_t>(before) * 1000u));
        EXPECT_EQ(a, b);
        break;
    }
}

TEST(Files, GetFileSizeAndCopyFileAOfAFolderTreeWithModeTimesAndAttributes) {
    TempDir dir;
    const std::string src = dir.file("src"), dst = dir.file("dst");
    ASSERT_EQ(mkdir(src.c_str(), 0750), 0);
    ASSERT_EQ(mkdir((src + "/sub").c_str(), 0700), 0);
    std::string big(3 << 20, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 + 7);
    std::ofstream(src + "/sub/big.bin", std::ios::binary) << big;
    std::ofstream(src + "/note.txt") << "note";
    std::ofstream(src + "/empty").close();
    for (auto [name, size] : {std::pair{"src/note.txt", 4}, {"src/empty", 0}, {"missing", 0}})
        EXPECT_EQ(GetFileSize(dir.file(name).c_str()), size) << name;
    EXPECT_EQ(GetFileSize(nullptr), 0);

    ASSERT_EQ(chmod((src + "/note.txt").c_str(), 0640), 0);
    ASSERT_EQ(symlink("note.txt", (src + "/link").c_str()), 0);
    const timespec times[2] = {{1000000000, 0}, {1100000000, 500}};
    ASSERT_EQ(utimensat(AT_FDCWD, (src + "/note.txt").c_str(), times, 0), 0);
    const bool xattrs = setxattr((src + "/note.txt").c_str(), "user.salvor", "v1", 2, 0) == 0;
    ASSERT_EQ(CopyFileA(src.c_str(), dst.c_str(), 0), 0);
    EXPECT_TRUE(ReadWholeFile(dst + "/sub/big.bin") == big);
    EXPECT_EQ(ReadWholeFile(dst + "/note.txt"), "note");
    struct stat st {};
    ASSERT_EQ(stat((dst + "/note.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1100000000);
    ASSERT_EQ(stat(dst.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    char target[64] = {};
    ASSERT_GT(readlink((dst + "/link").c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "note.txt");
    char value[8] = {};
    EXPECT_EQ(getxattr((dst + "/note.txt").c_str(), "user.salvor", value, sizeof value), xattrs ? 2 : -1);
    EXPECT_STREQ(value, xattrs ? "v1" : "");
    EXPECT_EQ(CopyFileA(dir.file("missing").c_str(), dir.file("x").c_str(), 0), -1);
    EXPECT_EQ(CopyFileA(nullptr, dst.c_str(), 0), -1);
}

} // namespace
