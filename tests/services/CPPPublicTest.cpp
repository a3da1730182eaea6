// Shared services: node roots and paths, dates, category titles, size texts,
// file-system names, UTF-8 checks and the single-instance test.
#include "services/CPPPublic.h"
#include "services/PublicUtilities.h"
#include "services/UIPublic.h"

#include "tests/services/NodeFixtures.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <QString>

#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <fstream>

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

TEST(SizeText, UnitsOf1024) {
    EXPECT_EQ(VXPublicUtilities::longlongDiskSize(0), "0 byte");
    EXPECT_EQ(VXPublicUtilities::longlongDiskSize(1023), "1023 byte");
    EXPECT_EQ(VXPublicUtilities::longlongDiskSize(1024), "1.00 KB");
    EXPECT_EQ(VXPublicUtilities::longlongDiskSize(1536), "1.50 KB");
    EXPECT_EQ(VXPublicUtilities::longlongDiskSize(1048576), "1.00 MB");
    EXPECT_EQ(VXPublicUtilities::longlongDiskSize(1073741824LL * 500), "500.00 GB");
    EXPECT_EQ(VXPublicUtilities::longlongDiskSize(1099511627776LL), "1.00 TB");
    EXPECT_EQ(VXPublicUtilities::longlongConvertVolSpace(1099511627776LL * 3), "3.00 TB");
    EXPECT_EQ(VXPublicUtilities::longlongConvertVolSpace(-5), "-5 byte");
}

TEST(FileSystemNames, KindsImagesAndOthers) {
    EXPECT_EQ(VXPublicUtilities::fileSystemTypeForInt(0, 0), "FAT12");
    EXPECT_EQ(VXPublicUtilities::fileSystemTypeForInt(7, 0), "EXFAT");
    EXPECT_EQ(VXPublicUtilities::fileSystemTypeForInt(10, 0), "Unknown");
    EXPECT_EQ(VXPublicUtilities::fileSystemTypeForInt(3, 1), "Disk Image");
    EXPECT_EQ(VXPublicUtilities::fileSystemTypeForInt(42, 0), "Disk");
    EXPECT_EQ(VXPublicUtilities::fileSystemTypeForInt(-1, 0), "Disk");
    EXPECT_EQ(VXUIPublic::GetFileSystemStrByType(SEARCHER_HFSPLUS), "HFS+_");
    EXPECT_EQ(VXUIPublic::GetFileSystemStrByType(SEARCHER_RAW), "RAW_");
    EXPECT_EQ(VXUIPublic::GetFileSystemStrByType(SEARCHER_NTFS), "");
}

TEST(CategoryTitles, TitlesAndReverseLookup) {
    VXCPPPublic& pub = VXCPPPublic::instance();
    EXPECT_EQ(pub.FilterTypeToString(FILTER_MUSIC), "Music");
    EXPECT_EQ(pub.FilterTypeToString(FILTER_OTHER), "Other");
    EXPECT_EQ(pub.FilterTypeToString(FILTER_ALL), "");
    EXPECT_EQ(pub.StringToFilterType("Music"), FILTER_MUSIC);
    EXPECT_EQ(pub.StringToFilterType("Documents"), FILTER_DOCUMENT);
    EXPECT_EQ(pub.StringToFilterType(""), FILTER_OTHER);
    EXPECT_EQ(pub.StringToFilterType("jpg"), FILTER_OTHER);
    EXPECT_EQ(pub.StringToFilterType(nullptr), FILTER_OTHER);
    EXPECT_TRUE(pub.IsTypeString("Pictures", FILTER_PICTURE));
    EXPECT_FALSE(pub.IsTypeString("Pictures", FILTER_MOVIE));
    EXPECT_FALSE(pub.IsTypeString(nullptr, FILTER_PICTURE));
}

TEST(NodeRoots, RootTypeAndPath) {
    NodeForest forest;
    CFilesystemNode* root = forest.Root(SEARCHER_FAT, "CARD");
    auto* dcim = forest.Add(root, "DCIM", true);
    auto* photo = forest.Add(dcim, "photo.jpg", false, 1000);
    VXCPPPublic& pub = VXCPPPublic::instance();
    EXPECT_EQ(pub.GetFileSystemNode(photo), root);
    EXPECT_EQ(pub.GetFileSystemNode(root), root);
    EXPECT_EQ(pub.GetFileSystemNode(nullptr), nullptr);
    EXPECT_EQ(pub.GetNodeSearcheType(photo), SEARCHER_FAT);
    EXPECT_EQ(pub.GetNodeSearcheType(nullptr), SEARCHER_NONE);
    EXPECT_EQ(VXUIPublic::GetPathByFileNode(photo), "/CARD/DCIM/photo.jpg");
    EXPECT_EQ(VXUIPublic::GetPathByFileNode(nullptr), "");
}

TEST(NodeRoots, ParentLoopsFindNoRoot) {
    NodeForest forest;
    auto* a = forest.Linked("a");
    auto* b = forest.Linked("b");
    a->parentLink = b;
    b->parentLink = a;
    VXCPPPublic& pub = VXCPPPublic::instance();
    EXPECT_EQ(pub.GetFileSystemNode(a), nullptr);
    EXPECT_EQ(pub.GetNodeSearcheType(a), SEARCHER_NONE);
    EXPECT_EQ(VXUIPublic::GetPathByFileNode(a), "");
}

TEST(Dates, YearMonthOfLocalTimes) {
    VXCPPPublic& pub = VXCPPPublic::instance();
    int year = 0, month = 0;
    pub.GetYearMonthByFileTime(&year, &month, salvor::test::LocalFileTime(2019, 3, 15));
    EXPECT_EQ(year, 2019);
    EXPECT_EQ(month, 3);
    pub.GetYearMonthByFileTime(nullptr, &month, salvor::test::LocalFileTime(2021, 7, 1));
    EXPECT_EQ(month, 7);
    EXPECT_EQ(VXUIPublic::convertWindowsTimeToUnixTime(_FILETIME::From(116444736000000000ULL)), 0);
    EXPECT_FALSE(VXUIPublic::FormatFileTimeToString(salvor::test::LocalFileTime(2021, 7, 1)).isEmpty());
}

TEST(Utf8, ValidAndInvalidTexts) {
    EXPECT_FALSE(isValidString(nullptr));
    EXPECT_TRUE(isValidString(""));
    EXPECT_TRUE(isValidString("caf\xC3\xA9 \xF0\x9F\x93\xB7"));
    EXPECT_FALSE(isValidString("\xC3"));
    EXPECT_FALSE(isValidString("\xC0\xAF"));         // overlong
    EXPECT_FALSE(isValidString("\xED\xA0\x80"));     // a surrogate
    EXPECT_FALSE(isValidString("abc\xFF"));
}

class FakeProc {
public:
    void Add(int pid, const std::string& comm) {
        const std::string dir = m_root.path() + "/" + std::to_string(pid);
        ::mkdir(dir.c_str(), 0755);
        std::ofstream(dir + "/comm") << comm << "\n";
    }
    ProcessScanOptions Options(const std::string& appName, pid_t self = 100) const {
        ProcessScanOptions o;
        o.procRoot = m_root.path();
        o.self = self;
        o.appName = appName;
        return o;
    }

private:
    salvor::test::TempDir m_root;
};

TEST(SingleInstance, ExactNamesIgnoringCase) {
    FakeProc proc;
    proc.Add(1, "systemd");
    proc.Add(100, "salvor"); // ourselves
    proc.Add(200, "tar");
    proc.Add(201, "t");
    proc.Add(202, "salvo");
    proc.Add(203, "salvor-helper");
    EXPECT_FALSE(VXCPPPublic::IsAppRunning(proc.Options("salvor")));
    proc.Add(300, "SALVOR");
    EXPECT_TRUE(VXCPPPublic::IsAppRunning(proc.Options("salvor")));
    EXPECT_TRUE(VXCPPPublic::IsAppRunning(proc.Options("salvor", 300))); // sees 100
}

TEST(SingleInstance, NamesCutByTheKernelMatchByTheirBeginning) {
    FakeProc proc;
    proc.Add(100, "salvor-recovery"); // ourselves, cut to 15
    proc.Add(200, "tar");
    EXPECT_FALSE(VXCPPPublic::IsAppRunning(proc.Options("salvor-recovery-app")));
    proc.Add(201, "salvor-recover"); // 14 characters: not a cut name
    EXPECT_FALSE(VXCPPPublic::IsAppRunning(proc.Options("salvor-recovery-app")));
    proc.Add(202, "Salvor-Recovery");
    EXPECT_TRUE(VXCPPPublic::IsAppRunning(proc.Options("salvor-recovery-app")));
    EXPECT_FALSE(VXCPPPublic::IsAppRunning(proc.Options("other-recovery-app")));
}

TEST(SingleInstance, UnreadableProcListsNothing) {
    ProcessScanOptions o;
    o.procRoot = "/nonexistent-proc";
    o.appName = "salvor";
    EXPECT_FALSE(VXCPPPublic::IsAppRunning(o));
}

} // namespace
