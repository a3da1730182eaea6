// Real scans through the facade, as the windows drive them: fixture images
// listed as attached disk images by the real enumerator, the QtCore loop
// running until the end post, the trees pulled through the facade and
// compared with The Sleuth Kit's listings.
#include "engine/device/StorageDevices.h"
#include "engine/enumeration/EnumDevice.h"
#include "engine/include/RecoveryController.h"
#include "engine/utility/AsyncRead.h"
#include "services/DeviceData.h"
#include "tests/services/ScanHarness.h"
#include "tests/services/ScanListings.h"
#include "tests/support/FailingFile.h"
#include "tests/support/Fixture.h"
#include "tests/support/GoneAtTheEnd.h"
#include "tests/support/engine_helpers.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <functional>
#include <list>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
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

// A deep scan of a disk whose reads hang past its volume (a FUSE server that
// holds them, under a loop device, which then holds every read after them),
// stopped to list what it found: it stops waiting for the reads in flight (a
// searcher's and the read-ahead's) and lists, within about two seconds, every
// file of the volume it had read, as fls does. Nothing waits for those reads
// afterwards, and when they return they change nothing. Run under
// ThreadSanitizer too (scripts/test.d/tsan-services.sh).
TEST_F(ScanEndToEnd, AsRootADeepScanStoppedWhileAReadHangsListsWhatItRead) {
    if (::geteuid() != 0) GTEST_SKIP() << "the hanging disk is a FUSE file under a loop device (root)";
    const std::string image = FixtureFile("fat_32", "fat_32.img");
    ASSERT_FALSE(image.empty());
    const std::set<FileKey> whole = FlsFiles(FixtureFile("fat_32", "fat_32.istat"), true);
    ASSERT_FALSE(whole.empty());
    TempDir dir;
    // The 40 MiB volume, whose structures and files lie in its first MiB, and
    // zeros to 44 MiB: eleven blocks of the deep scan, all but the first read
    // ahead by the cache's reader. Reads hang in the third block.
    std::filesystem::copy_file(image, dir.file("backing.img"));
    std::filesystem::resize_file(dir.file("backing.img"), 44 << 20);
    { std::ofstream(dir.file("disk.img")); }
    FailingFile failing(dir.file("disk.img"), dir.file("backing.img"), {}, {}, dir.file("hold"));
    ASSERT_TRUE(failing.ready()) << failing.why();
    failing.HoldOnly({8 << 20, 4 << 20});
    std::optional<LoopAttachment> loop;
    loop.emplace(dir.file("disk.img"), "-r");
    ASSERT_FALSE(loop->path().empty()) << loop->error();
    Attach({loop->path()});
    CDescriptorDevice::SetSilenceLimit(std::chrono::seconds(4));
    struct Limit {
        ~Limit() { CDescriptorDevice::SetSilenceLimit(std::chrono::milliseconds(0)); }
    } limit;
    ScanHarness harness;
    VXUIController& f = ScanHarness::facade();
    VXUIScan& scan = VXUIScan::instance();
    const auto listing = [&] {
        std::set<FileKey> fat;
        for (const OpNodeEntry& root : Pull(0))
            if (root.item()->fileNode()->GetSearcheType() == SEARCHER_FAT)
                for (auto& [name, files] : PathViewFiles(OpNodeList{root}, true)) fat.merge(files);
        return fat;
    };
    { std::ofstream(dir.file("hold")); }
    // Released at the latest after 15 s, so that a stop that waits for the
    // read fails in time.
    struct Releaser {
        std::string flag;
        std::thread thread;
        ~Releaser() {
            std::filesystem::remove(flag);
            if (thread.joinable()) thread.join();
        }
    } releaser{dir.file("hold"), {}};
    releaser.thread = std::thread([flag = releaser.flag] {
        for (int i = 0; i < 1500 && std::filesystem::exists(flag); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::filesystem::remove(flag);
    });
    scan.SetDeepScan(1);
    ASSERT_TRUE(f.DoScanWithDiskIndex(0, -1, harness.key));
    const auto since = [](std::chrono::steady_clock::time_point t) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t);
    };
    // Held, and the scan stuck on it: the read-ahead's read of the third
    // block, and a searcher's of its first sectors (with the second block's,
    // behind it), unanswered a while (a second, with this silence allowed).
    ASSERT_TRUE(salvor::platform::runUntil([&] { return failing.HeldReads() > 0 && f.IsDeviceNotAnswering(); },
                                           std::chrono::seconds(20)));
    salvor::platform::runUntil([] { return false; }, std::chrono::milliseconds(500));
    const auto asked = std::chrono::steady_clock::now();
    f.StopScan(0);
    ASSERT_TRUE(salvor::platform::runUntil([&] { return !f.IsScanRunning(); }, std::chrono::seconds(30)));
    const auto took = since(asked);
    std::printf("Stop of a deep scan while a read hangs: ended %lld ms after the stop\n",
                static_cast<long long>(took.count()));
    EXPECT_TRUE(std::filesystem::exists(dir.file("hold"))) << "the stop waited for the read";
    // A read unanswered for a second is given up; the build shows its first
    // root a second before its files (and is slow under a sanitizer).
    EXPECT_LT(took, VXUIScan::kStopUnanswered + std::chrono::milliseconds(3000));
    ASSERT_TRUE(harness.WaitEnd(std::chrono::seconds(5))) << "the worker did not end";
    EXPECT_FALSE(scan.EndedByDeviceGone());
    EXPECT_EQ(f.GetScanUnreadableSectors(), 0) << "a scan stopped is not one that could not read";
    const std::uint64_t files = scan.GetScanFileCnt();
    EXPECT_EQ(listing(), whole);

    // Its results go (a new scan, Home) without waiting for the reads.
    salvor::platform::runUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(scan.GetScanFileCnt(), files);
    const auto released = std::chrono::steady_clock::now();
    scan.ReleaseResults();
    EXPECT_LT(since(released), std::chrono::milliseconds(3000)) << "the results waited for the read-ahead";
    EXPECT_TRUE(std::filesystem::exists(dir.file("hold")));
    // The reads return into nothing: nothing is filed.
    std::filesystem::remove(dir.file("hold"));
    releaser.thread.join();
    for (int i = 0; i < 500 && asyncread::ReapRetired() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(asyncread::RetiredCount(), 0u);
    salvor::platform::runUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(scan.GetScanFileCnt(), 0u);
    attached.reset();
    loop.reset();
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
