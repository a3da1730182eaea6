// Shared services: node roots and paths, dates, category titles, size texts,
// file-system names, UTF-8 checks and the single-instance test.
#include "services/CPPPublic.h"
#include "services/PublicUtilities.h"
#include "services/UIPublic.h"

#include "tests/services/NodeFixtures.h"
#include "tests/support/Fixture.h"
#include "platform/SingleInstance.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <vector>

namespace salvor::test {

_FILETIME LocalFileTime(int year, int month, int day) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = 12;
    tm.tm_isdst = -1;
    const long long seconds = static_cast<long long>(std::mktime(&tm));
    return _FILETIME::From(static_cast<std::uint64_t>((seconds + 11644473600LL) * 10000000LL));
}

} // namespace salvor::test

namespace {

using salvor::test::NodeForest;

TEST(PublicTexts, SizesFileSystemsCategoriesAndUtf8) {
    const std::pair<long long, const char*> sizes[] = {{0, "0 byte"},
                                                       {1023, "1023 byte"},
                                                       {1024, "1.00 KB"},
                                                       {1536, "1.50 KB"},
                                                       {1048576, "1.00 MB"},
                                                       {1073741824LL * 500, "500.00 GB"},
                                                       {1099511627776LL, "1.00 TB"},
                                                       {1099511627776LL * 3, "3.00 TB"},
                                                       {-5, "-5 byte"}};
    for (const auto& [size, text] : sizes)
        EXPECT_EQ(VXPublicUtilities::longlongDiskSize(size), text);
    // Kinds past the table are "Unknown" or a whole disk; an image is named as one.
    const std::tuple<int, int, const char*> kinds[] = {
        {7, 0, "EXFAT"}, {10, 0, "Unknown"}, {3, 1, "Disk Image"}, {42, 0, "Disk"}, {-1, 0, "Disk"}};
    for (const auto& [kind, image, text] : kinds)
        EXPECT_EQ(VXPublicUtilities::fileSystemTypeForInt(kind, image), text);
    EXPECT_EQ(VXUIPublic::GetFileSystemStrByType(SEARCHER_HFSPLUS), "HFS+_");
    EXPECT_EQ(VXUIPublic::GetFileSystemStrByType(SEARCHER_NTFS), "");

    VXCPPPublic& pub = VXCPPPublic::instance();
    EXPECT_EQ(pub.FilterTypeToString(FILTER_ALL), "");
    const std::pair<const char*, int> titles[] = {{"Music", FILTER_MUSIC},
                                                  {"Documents", FILTER_DOCUMENT},
                                                  {"", FILTER_OTHER},
                                                  {"jpg", FILTER_OTHER},
                                                  {nullptr, FILTER_OTHER}};
    for (const auto& [title, filter] : titles)
        EXPECT_EQ(pub.StringToFilterType(title), filter);
    EXPECT_TRUE(pub.IsTypeString("Pictures", FILTER_PICTURE));
    EXPECT_FALSE(pub.IsTypeString("Pictures", FILTER_MOVIE));
    EXPECT_FALSE(pub.IsTypeString(nullptr, FILTER_PICTURE));

    EXPECT_FALSE(isValidString(nullptr));
    for (const char* valid : {"", "caf\xC3\xA9 \xF0\x9F\x93\xB7"})
        EXPECT_TRUE(isValidString(valid));
    // Cut, overlong, a surrogate, a byte never used.
    for (const char* bad : {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "abc\xFF"})
        EXPECT_FALSE(isValidString(bad));
}

TEST(NodeRoots, RootTypeAndPathAlsoOverParentLoops) {
    NodeForest forest;
    CFilesystemNode* root = forest.Root(SEARCHER_FAT, "CARD");
    auto* photo = forest.Add(forest.Add(root, "DCIM", true), "photo.jpg", false, 1000);
    auto *a = forest.Linked("a"), *b = forest.Linked("b");
    a->parentLink = b;
    b->parentLink = a;
    VXCPPPublic& pub = VXCPPPublic::instance();
    const std::tuple<CFileNode*, CFileNode*, _tagSearcherType, const char*> cases[] = {
        {photo, root, SEARCHER_FAT, "/CARD/DCIM/photo.jpg"},
        {root, root, SEARCHER_FAT, "/CARD"},
        {nullptr, nullptr, SEARCHER_NONE, ""},
        {a, nullptr, SEARCHER_NONE, ""}}; // a loop has no root
    for (const auto& [node, wantRoot, type, path] : cases) {
        EXPECT_EQ(pub.GetFileSystemNode(node), wantRoot) << path;
        EXPECT_EQ(pub.GetNodeSearcheType(node), type) << path;
        EXPECT_EQ(VXUIPublic::GetPathByFileNode(node), path);
    }
}

TEST(Dates, YearMonthWithoutAYearToFill) {
    int month = 0;
    VXCPPPublic::instance().GetYearMonthByFileTime(nullptr, &month, salvor::test::LocalFileTime(2021, 7, 1));
    EXPECT_EQ(month, 7);
    EXPECT_EQ(VXUIPublic::convertWindowsTimeToUnixTime(_FILETIME::From(116444736000000000ULL)), 0);
}

// Other processes named like the program, or like the start of its name,
// are not instances of it: only the holder of the instance lock counts.
TEST(SingleInstance, ProcessesNamedLikeTheProgramDoNotCount) {
    salvor::test::TempDir root;
    setenv("XDG_RUNTIME_DIR", root.path().c_str(), 1);
    std::vector<pid_t> others;
    std::filesystem::create_directory(root.file("bin"));
    for (const char* name : {"salvor", "sa", "SALVOR"}) {
        const std::string copy = root.file("bin/") + name;
        std::filesystem::copy_file("/bin/sleep", copy);
        ::chmod(copy.c_str(), 0755);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::execl(copy.c_str(), name, "30", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        others.push_back(pid);
    }
    EXPECT_FALSE(VXCPPPublic::instance().IsAppRunning());
    EXPECT_FALSE(VXCPPPublic::instance().IsAppRunning()); // this process holds the lock now
    EXPECT_TRUE(salvor::platform::SingleInstance(QString::fromStdString(root.path() + "/salvor")).anotherIsRunning());
    for (pid_t pid : others) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
}

} // namespace
