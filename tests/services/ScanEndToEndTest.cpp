// Real scans through the facade, as the windows drive them: fixture images
// listed as attached disk images by the real enumerator, the QtCore loop
// running until the end post, the trees pulled through the facade and
// compared with The Sleuth Kit's listings.
#include "engine/enumeration/EnumDevice.h"
#include "engine/include/RecoveryController.h"
#include "services/DeviceData.h"
#include "tests/services/ScanHarness.h"
#include "tests/services/ScanListings.h"
#include "tests/support/FailingFile.h"
#include "tests/support/Fixture.h"
#include "tests/support/GoneAtTheEnd.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <functional>
#include <list>
#include <fstream>
#include <set>
#include <sstream>
#include <tuple>

namespace {

using namespace salvor::test;

class ScanEndToEnd : public testing::Test {
protected:
    static void SetUpTestSuite() { UseRealFileSystems(); }
    void Attach(const std::vector<std::string>& images) {
        attached = std::make_unique<AttachedImages>(images);
        ASSERT_TRUE(attached->devices.listed);
    }
    OpNodeList Pull(int view) {
        OpNodeList array;
        ScanHarness::facade().SetViewType(view);
        ScanHarness::facade().GetScanTreeNodeData(&array, false);
        return array;
    }

    std::unique_ptr<AttachedImages> attached;
};

// The main thread pulls every view each 10 ms while the worker links and
// files nodes; the trees pulled bit by bit end equal to fls. Run under
// ThreadSanitizer too (scripts/test.d/tsan-services.sh).
TEST_F(ScanEndToEnd, QuickScanOfAFat32VolumePulledWhileItRunsEqualsFls) {
    Attach({FixtureFile("fat_32", "fat_32.img")});
    std::vector<DiskVolumeNodeRef> items;
    ScanHarness::facade().GetDeviceInfoToArray(items);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0]->isDmg(), 1);
    ASSERT_EQ(items[0]->children().size(), 1u);

    ScanHarness harness;
    int endPosts = 0;
    salvor::platform::NotificationCenter::defaultCenter().addObserver(&endPosts, harness.key, [&](const auto&) {
        if (VXUIScan::instance().IsOperationExit()) ++endPosts; // posts during the run come while it runs
    });
    ASSERT_TRUE(ScanHarness::facade().DoScanWithData(items[0]->children()[0], harness.key));
    OpNodeList views[4];
    auto pullAll = [&] {
        for (int view = 0; view < 4; ++view) {
            ScanHarness::facade().SetViewType(view);
            ScanHarness::facade().GetScanTreeNodeData(&views[view], false);
        }
        ScanHarness::facade().RefreshTypeTreeState(nullptr);
        ScanHarness::facade().RefreshTimeTreeState(views[2]);
        return PathViewFiles(views[0], true);
    };
    auto last = std::chrono::steady_clock::now();
    salvor::platform::runUntil(
        [&] {
            if (std::chrono::steady_clock::now() - last >= std::chrono::milliseconds(10)) {
                pullAll();
                last = std::chrono::steady_clock::now();
            }
            return VXUIScan::instance().IsOperationExit();
        },
        std::chrono::seconds(60));
    ASSERT_TRUE(harness.WaitEnd());
    salvor::platform::NotificationCenter::defaultCenter().removeObserver(&endPosts);
    // The end is announced once; an update made just before it (the tree
    // finished while the scan still ran) may be delivered after it when the
    // main thread is slow, as under ThreadSanitizer.
    EXPECT_GE(endPosts, 1);
    EXPECT_LE(endPosts, 2);

    const auto found = pullAll();
    ASSERT_EQ(found.size(), 1u);
    const std::set<FileKey> want = FlsFiles(FixtureFile("fat_32", "fat_32.istat"), true);
    ASSERT_GT(want.size(), 40u);
    EXPECT_EQ(found.begin()->second, want);
    std::uint64_t size = 0, count = 0;
    ScanHarness::facade().GetScanFileSize(&size, &count);
    long long wantSize = 0;
    for (const auto& [path, s, deleted] : want) wantSize += s;
    EXPECT_EQ(count, want.size());
    EXPECT_EQ(size, static_cast<std::uint64_t>(wantSize));
    std::size_t byType = 0;
    for (const OpNodeEntry& root : views[1]) byType += ScanHarness::facade().GetNodeChildrenCnt(root.item());
    EXPECT_EQ(byType, count);
}

TEST_F(ScanEndToEnd, AsRootALoopDeviceListedWithTheSystemsFacts) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to attach a loop device";
    const std::string image = FixtureFile("fat_32", "fat_32.img");
    std::string loop;
    if (RunCommand("losetup -f --show -r '" + image + "' 2>&1", &loop) != 0) GTEST_SKIP() << "no loop device: " << loop;
    loop.erase(loop.find_last_not_of('\n') + 1);
    struct Detach {
        std::string device;
        ~Detach() { RunCommand("losetup -d " + device); }
    } detach{loop};
    VXUIDeviceData system(CreateEnumDeviceEx());
    ASSERT_TRUE(system.InitDeviceInfo());
    VXUIDeviceData::install(&system);
    int disk = -1;
    std::list<_DiskVolumeData> disks;
    system.GetAllDeviceInfo(disks);
    for (const _DiskVolumeData& d : disks)
        if (d.devicePath && "/dev/" + std::string(d.devicePath) == loop) {
            disk = d.diskIndex;
            EXPECT_EQ(d.isDmg, 1u);
        }
    ASSERT_GE(disk, 0) << loop << " is not listed";
    ScanHarness harness;
    ASSERT_TRUE(harness.Scan(disk, -1));
    const auto found = PathViewFiles(Pull(0), true);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found.begin()->second, FlsFiles(FixtureFile("fat_32", "fat_32.istat"), true));
    VXUIScan::instance().ReleaseResults();
    VXUIDeviceData::install(nullptr);
    system.Clear(); // lets the loop device go before it is detached
}

TEST_F(ScanEndToEnd, DatedFilesGiveTheirYearsMonthsAndGroups) {
    ScopedTz utc("UTC0"); // the fixture's times are read as UTC
    Attach({FixtureFile("fat_dated", "fat_dated.img")});
    ScanHarness harness;
    ASSERT_TRUE(harness.Scan(0, 0));

    // Expected: year → month → names, from istat.
    std::map<std::string, std::map<std::string, std::set<std::string>>> created, modified;
    std::ifstream in(FixtureFile("fat_dated", "fat_dated.istat"));
    std::string c, m, path;
    while (std::getline(in, c, '\t') && std::getline(in, m, '\t') && std::getline(in, path)) {
        const std::string name = Lower(path.substr(path.rfind('/') + 1));
        created[c.substr(0, 4)][c.substr(5, 2)].insert(name);
        modified[m.substr(0, 4)][m.substr(5, 2)].insert(name);
    }
    ASSERT_EQ(modified.size(), 2u); // 2019 and 2021
    for (int view : {2, 3}) {
        SCOPED_TRACE(view);
        std::map<std::string, std::map<std::string, std::set<std::string>>> got;
        const OpNodeList roots = Pull(view);
        for (const OpNodeEntry& y : *roots[0].item()->children())
            for (const OpNodeEntry& mo : *y.item()->children())
                for (const OpNodeEntry& f : *mo.item()->children())
                    got[y.item()->name().toStdString()][mo.item()->name().toStdString()].insert(
                        Lower(f.file()->GetFileName()));
        EXPECT_EQ(got, view == 2 ? created : modified);
    }
    // By type: jpg (both cases) under pictures, mp3, pdf; the odd extension
    // and the bare name directly under "other".
    const OpNodeList types = Pull(1);
    auto names = [](const OpNodeRef& item) {
        std::set<std::string> out;
        for (const OpNodeEntry& e : *item->children())
            out.insert(Lower(e.isItem() ? e.item()->name().toStdString() : e.file()->GetFileName()));
        return out;
    };
    EXPECT_EQ(names(types[0].item()), std::set<std::string>{"jpg"});
    EXPECT_EQ(ScanHarness::facade().GetNodeChildrenCnt(types[0].item()), 2u);
    EXPECT_EQ(names(types[1].item()), std::set<std::string>{"mp3"});
    EXPECT_EQ(names(types[4].item()), std::set<std::string>{"pdf"});
    EXPECT_EQ(names(types[5].item()), (std::set<std::string>{"readme", "strange.qqq"}));
}

TEST_F(ScanEndToEnd, WholeDiskQuickScanAndDeepScanOfTheMbrDisk) {
    Attach({FixtureFile("mbr_fat_exfat", "disk_intact.img"), FixtureFile("mbr_fat_exfat", "disk_mbr_zeroed.img")});
    const std::map<int, std::set<FileKey>> want = {
        {SEARCHER_FAT, FlsFiles(FixtureFile("mbr_fat_exfat", "fat32.fls.txt"))},
        {SEARCHER_EXFAT, FlsFiles(FixtureFile("mbr_fat_exfat", "exfat.fls.txt"))},
    };
    auto check = [&](const char* what) {
        SCOPED_TRACE(what);
        const OpNodeList roots = Pull(0);
        ASSERT_EQ(roots.size(), 2u);
        const auto found = PathViewFiles(roots);
        for (const OpNodeEntry& r : roots) {
            const int type = r.item()->fileNode()->GetSearcheType();
            ASSERT_TRUE(want.count(type)) << type;
            EXPECT_EQ(found.at(r.item()->fileNode()->GetFileName()), want.at(type));
        }
    };
    ScanHarness harness;
    ASSERT_TRUE(harness.Scan(0, -1));
    check("quick scan of the intact disk");
    EXPECT_EQ(Pull(0)[0].item()->fileNode()->GetSearcheType(), SEARCHER_FAT);
    const std::uint64_t quickFiles = VXUIScan::instance().GetScanFileCnt();

    // A deep scan of it cut short once it read every file, listed beside the
    // quick scan: each file both found is listed and counted once.
    VXUIScan::instance().SetControllerFactory([](_RECOVERY_CONTROLLER_TYPE t) { return new GoneAtTheEnd(t); });
    const bool cut = harness.Scan(0, -1, true);
    VXUIScan::instance().SetControllerFactory(nullptr);
    ASSERT_TRUE(cut);
    EXPECT_TRUE(VXUIScan::instance().EndedByDeviceGone());
    check("deep scan cut short after the quick scan");
    EXPECT_EQ(VXUIScan::instance().GetScanFileCnt(), quickFiles);

    // The disk without its table: the quick scan finds nothing to scan, the
    // deep scan of the same disk rebuilds both partitions.
    ASSERT_TRUE(harness.Scan(1, -1));
    ASSERT_TRUE(harness.Scan(0, 0, true));
    EXPECT_EQ(VXUIScan::instance().GetRecoveryController()->thisType(), RECOVERY_PARTITION);
    check("deep scan of the disk without its table");
}

// A disk that fails inside a structure a scan reads (a sector of the FAT, an
// MFT record): the scan lists what it could read and says that parts of the
// device could not be read; the same bytes read whole say nothing of it.
TEST_F(ScanEndToEnd, AsRootAScanSaysWhenPartsOfTheDeviceCouldNotBeRead) {
    if (::geteuid() != 0) GTEST_SKIP() << "the failing disk is a FUSE file (root)";
    const auto le = [](const std::string& b, std::size_t at, int n) {
        unsigned long long v = 0;
        for (int i = n - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b[at + static_cast<std::size_t>(i)]);
        return v;
    };
    // Where each row's disk fails, from its boot sector.
    const auto firstFatSector = [&](const std::string& boot) { return le(boot, 14, 2) * le(boot, 11, 2); };
    const auto mftRecord40 = [&](const std::string& boot) {
        return le(boot, 0x30, 8) * le(boot, 0x0D, 1) * le(boot, 0x0B, 2) + 40 * 1024;
    };
    struct Row {
        const char* shape;
        const char* fixture;
        const char* image;
        bool deep;
        std::function<unsigned long long(const std::string&)> bad; // null: reads whole
        unsigned long long length;
    } rows[] = {
        {"FAT32, a sector of the first FAT, quick", "fat_32", "fat_32.img", false, firstFatSector, 512},
        {"NTFS, an MFT record, quick", "ntfs_alike", "small_notable.img", false, mftRecord40, 1024},
        {"NTFS, an MFT record, deep", "ntfs_alike", "small_notable.img", true, mftRecord40, 1024},
        {"FAT32 read whole", "fat_32", "fat_32.img", false, nullptr, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.shape);
        const std::string image = FixtureFile(row.fixture, row.image);
        ASSERT_FALSE(image.empty());
        std::vector<FailingFile::Range> bad;
        if (row.bad) bad.push_back({row.bad(ReadWholeFile(image).substr(0, 512)), row.length});
        TempDir dir;
        { std::ofstream(dir.file("disk.img")); }
        FailingFile failing(dir.file("disk.img"), image, bad);
        ASSERT_TRUE(failing.ready()) << failing.why();
        attached.reset();
        Attach({dir.file("disk.img")});
        ScanHarness harness;
        ASSERT_TRUE(harness.Scan(0, 0, false));
        if (row.deep) {
            ASSERT_TRUE(harness.Scan(0, 0, true));
        }
        EXPECT_GT(VXUIScan::instance().GetScanFileCnt(), 0u) << "what could be read is listed";
        EXPECT_EQ(ScanHarness::facade().GetScanUnreadableSectors() > 0, row.bad != nullptr);
        EXPECT_FALSE(ScanHarness::facade().IsDeviceNotAnswering()) << "an image file is never waited for";
        VXUIScan::instance().ReleaseResults();
        attached.reset();
    }
    // The device scanned not answering for a while: the facade says so while
    // it lasts, and not once it answers again or is given up as gone.
    auto waited = std::make_shared<SilentUntilAsked>(nullptr);
    VXUIScan::instance().HoldScanStorage(waited);
    EXPECT_FALSE(ScanHarness::facade().IsDeviceNotAnswering());
    waited->WaitFor(true);
    EXPECT_TRUE(ScanHarness::facade().IsDeviceNotAnswering());
    waited->Silence();
    EXPECT_FALSE(ScanHarness::facade().IsDeviceNotAnswering()) << "gone: no longer waited for";
    waited->AnswersAgain();
    waited->WaitFor(false);
    EXPECT_FALSE(ScanHarness::facade().IsDeviceNotAnswering());
    VXUIScan::instance().HoldScanStorage(nullptr);
}

} // namespace
