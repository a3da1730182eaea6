// Recoveries of real scans through the facade, as the windows drive them:
// fixture images listed as attached disk images, files ticked through their
// items, the QtCore loop running until the end post, and every written file
// compared with the sha256 manifest the fixture script made.
#include "engine/enumeration/EnumDevice.h"
#include "engine/include/DataRecovery.h"
#include "services/DeviceData.h"
#include "services/UIRecovery.h"
#include "tests/services/RecoveryHarness.h"
#include "tests/services/ServicesFakes.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageFileFacts.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <algorithm>
#include <fstream>
#include <list>
#include <thread>

namespace {

using namespace salvor::test;
namespace fs = std::filesystem;
using Sums = std::multiset<std::string>;

// The sha256 column of a manifest ("sum  path" or "sum<TAB>path").
Sums ManifestSums(const std::string& file) {
    Sums out;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);)
        if (line.size() >= 64) out.insert(line.substr(0, 64));
    return out;
}

Sums WrittenSums(const std::string& dir) {
    Sums out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) out.insert(Sha256File(e.path().string()));
    return out;
}

// What one side has and the other lacks ("" when they are equal).
std::string Difference(const Sums& got, const Sums& want) {
    std::string out;
    for (const auto& [a, b, sign] : {std::tuple(&want, &got, "missing "), std::tuple(&got, &want, "extra ")}) {
        std::vector<std::string> d;
        std::set_difference(a->begin(), a->end(), b->begin(), b->end(), std::back_inserter(d));
        for (const std::string& s : d) out += sign + s + "\n";
    }
    return out;
}

class RecoveryEndToEnd : public testing::Test {
protected:
    static void SetUpTestSuite() { UseRealFileSystems(); }
    void TearDown() override {
        VXUIScan::instance().ReleaseResults();
        VXUIDeviceData::install(nullptr);
    }
    void Scan(const std::string& fixture, const std::string& image, int volume, bool deep = false) {
        facts = std::make_unique<ImageFileFacts>(std::vector<std::string>{FixtureFile(fixture, image)});
        enumerator = std::make_unique<CEnumDeviceEx>(*facts);
        devices = std::make_unique<VXUIDeviceData>(enumerator.get());
        ASSERT_TRUE(devices->InitDeviceInfo());
        VXUIDeviceData::install(devices.get());
        ASSERT_TRUE(harness.Scan(0, volume));
        if (deep) {
            ASSERT_TRUE(harness.Scan(0, volume, true));
        }
        ScanHarness::facade().SetViewType(0);
        roots.clear();
        ScanHarness::facade().GetScanTreeNodeData(&roots, false);
        ASSERT_FALSE(roots.empty());
    }
    void TickAll() {
        for (const OpNodeEntry& r : roots) r.item()->setNodeState(2);
    }
    bool Recover(const std::string& dest, std::function<bool()> during = {}) {
        return recovery.Recover(roots, dest, std::move(during));
    }
    std::string Volume(std::size_t i = 0) const { return roots.at(i).item()->fileNode()->GetVolumeName(); }

    std::unique_ptr<ImageFileFacts> facts;
    std::unique_ptr<CEnumDeviceEx> enumerator;
    std::unique_ptr<VXUIDeviceData> devices;
    ScanHarness harness;
    OpNodeList roots;
    RecoveryHarness recovery;
    int& endPosts = recovery.endPosts;
    TempDir dest;
};

TEST_F(RecoveryEndToEnd, Fat32TickedFilesThenEveryFileTwiceWhilePreviewsShareTheWriters) {
    Scan("fat_32", "fat_32.img", 0);
    // Two files ticked through their entries in the root's file list.
    OpNodeList files;
    ScanHarness::facade().GetFileNodeToArray(files, roots[0].item());
    std::map<std::string, IFileNode*> byName;
    for (const OpNodeEntry& f : files) byName[QString(f.file()->GetFileName()).toLower().toStdString()] = f.file();
    ASSERT_TRUE(byName.count("readme.txt") && byName.count("small.txt"));
    for (const char* name : {"readme.txt", "small.txt"}) OpNodeData::setFileNode(byName[name], 2);
    int count = 0;
    std::uint64_t size = 0;
    ScanHarness::facade().GetSelectedFilesAmout(&count, &size);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(size, 800u); // 700 + 100, as istat lists them
    EXPECT_FALSE(ScanHarness::facade().IsRecoveryToSameDevice(QString::fromStdString(dest.path())));
    ASSERT_TRUE(Recover(dest.path()));
    EXPECT_EQ(endPosts, 1);
    std::map<std::string, std::string> manifest; // path → sum
    std::ifstream in(FixtureFile("fat_32", "fat_32.sha256"));
    for (std::string sum, path; in >> sum && std::getline(in >> std::ws, path);) manifest[path] = sum;
    const std::string base = dest.path() + "/Fat_0001/" + Volume();
    for (const char* name : {"README.TXT", "small.txt"})
        EXPECT_EQ(Sha256File(base + "/" + byName[QString(name).toLower().toStdString()]->GetFileName()),
                  manifest.at(std::string("/") + name))
            << name;
    EXPECT_EQ(WrittenSums(dest.path()).size(), 2u);

    // Every file of the root, live and deleted, while another thread keeps
    // setting other nodes on the same writers and reading thumbnails.
    TickAll();
    std::atomic<bool> done{false};
    std::thread preview([&] {
        const auto all = VXUIScan::instance().GetTypeMap();
        char thumb[4096];
        while (!done)
            for (const auto& [category, list] : all)
                for (IFileNode* node : list) {
                    IDataRecovery* w = VXUIScan::instance().GetFileNodeDataRecover(node);
                    auto held = LockWriter(w);
                    if (IFileReader* r = w->SetRecoverNode(node)) r->Release();
                    w->ReadSmallJPG(thumb, sizeof thumb);
                }
    });
    TempDir all;
    const bool ended = Recover(all.path()) && Recover(all.path());
    done = true;
    preview.join();
    ASSERT_TRUE(ended);
    const Sums want = ManifestSums(FixtureFile("fat_32", "fat_32.sha256"));
    EXPECT_EQ(ScanHarness::facade().GetRecoveridedFiles(), want.size());
    for (const char* folder : {"/Fat_0001", "/Fat_0002"}) {
        ASSERT_TRUE(fs::is_directory(all.path() + folder + "/" + Volume())) << folder;
        EXPECT_EQ(WrittenSums(all.path() + folder), want) << folder;
    }
}

TEST_F(RecoveryEndToEnd, ExfatVolumeGoesToExFat0001) {
    Scan("exfat_quick", "exfat_512.img", 0);
    TickAll();
    ASSERT_TRUE(Recover(dest.path()));
    EXPECT_EQ(Difference(WrittenSums(dest.path() + "/ExFat_0001/" + Volume()),
                         ManifestSums(FixtureFile("exfat_quick", "exfat_512.sha256.txt"))),
              "");
}

TEST_F(RecoveryEndToEnd, DeepScanOfTheDiskWithoutItsTableRecoversTheSameBytes) {
    Scan("mbr_fat_exfat", "disk_mbr_zeroed.img", -1, true);
    TickAll();
    ASSERT_TRUE(Recover(dest.path()));
    EXPECT_EQ(WrittenSums(dest.path() + "/Fat_0001"), ManifestSums(FixtureFile("mbr_fat_exfat", "fat32.sha256.txt")));
    EXPECT_EQ(WrittenSums(dest.path() + "/ExFat_0001"), ManifestSums(FixtureFile("mbr_fat_exfat", "exfat.sha256.txt")));
}

// A destination without room: the recovery pauses with the write-failure
// code; room made and resumed, every file is whole; stopped, no partial file
// is left and only whole files count.
TEST_F(RecoveryEndToEnd, FullDestinationPausesThenResumesOrStops) {
    Scan("fat_32", "fat_32.img", 0);
    TickAll();
    const Sums want = ManifestSums(FixtureFile("fat_32", "fat_32.sha256"));
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct Space {
        const char* name;
        std::function<std::string()> narrow; // answers the destination
        std::function<void()> free;
    };
    TempDir mount;
    std::vector<Space> spaces = {
        {"file-size limit",
         [&] {
             const rlimit small{20000, RLIM_INFINITY};
             ::setrlimit(RLIMIT_FSIZE, &small);
             return dest.path() + "/limit";
         },
         [] {
             const rlimit none{RLIM_INFINITY, RLIM_INFINITY};
             ::setrlimit(RLIMIT_FSIZE, &none);
         }},
    };
    if (::geteuid() == 0)
        spaces.push_back({"1 MiB tmpfs",
                          [&] {
                              RunCommand("umount -l '" + mount.path() + "' 2>/dev/null");
                              if (RunCommand("mount -t tmpfs -o size=1m tmpfs '" + mount.path() + "'") != 0) return std::string();
                              RunCommand("head -c 1015808 /dev/zero > '" + mount.path() + "/filler'");
                              return mount.path() + "/out";
                          },
                          [&] { fs::remove(mount.path() + "/filler"); }});
    else
        ADD_FAILURE() << "the tmpfs case needs root; ran the file-size limit only";
    for (const Space& space : spaces)
        for (const bool resume : {true, false}) {
            SCOPED_TRACE(std::string(space.name) + (resume ? ", resumed" : ", stopped"));
            const std::string to = space.narrow();
            ASSERT_FALSE(to.empty());
            std::uint64_t error = 0;
            ASSERT_TRUE(Recover(to, [&] {
                if (VXUIRecovery::instance().GetStatus() != OP_PAUSED) return false;
                std::uint64_t t, c;
                ScanHarness::facade().GetRecoveryProgressTotal(&t, &c, &error);
                space.free();
                resume ? ScanHarness::facade().PauseOrResumeRecovery() : ScanHarness::facade().StopRecvoery();
                return true;
            }));
            space.free();
            EXPECT_EQ(error & 0xFFFFFFFF, 0xD03u);
            EXPECT_EQ(endPosts, 1);
            const Sums got = WrittenSums(to);
            EXPECT_EQ(ScanHarness::facade().GetRecoveridedFiles(), got.size());
            if (resume) {
                EXPECT_EQ(got, want);
            } else {
                EXPECT_LT(got.size(), want.size());
                for (const std::string& sum : got) EXPECT_TRUE(want.count(sum)) << "a partial file was left";
            }
            fs::remove_all(to);
        }
    RunCommand("umount -l '" + mount.path() + "' 2>/dev/null");
    std::signal(SIGXFSZ, oldHandler);
}

// ---- same device ------------------------------------------------------------------

TEST(RecoverySameDevice, ByTheListedVolumesDeviceNumbers) {
    TempDir here;
    struct stat st {};
    ASSERT_EQ(::stat(here.path().c_str(), &st), 0);
    FakeDevice disk{DEVICE_DISK};
    FakeDevice on{DEVICE_VOLUME, FS_FAT32, true, "on"}, other{DEVICE_VOLUME, FS_FAT32, true, "other"};
    VXUIDeviceData::GetVolumeInfo(&on)->deviceId = static_cast<std::int32_t>(st.st_dev);
    VXUIDeviceData::GetVolumeInfo(&other)->deviceId = static_cast<std::int32_t>(st.st_dev + 1);
    FakeEnumerator enumerator;
    enumerator.disk = &disk;
    enumerator.volumes = {&on, &other};
    VXUIDeviceData devices{&enumerator};
    ASSERT_TRUE(devices.InitDeviceInfo());
    VXUIDeviceData::install(&devices);
    const struct {
        IStorageDevice* scanned;
        std::string path;
        bool want;
    } rows[] = {
        {&on, here.path(), true},
        {&on, here.path() + "/not/made/yet", true},
        {&disk, here.path(), true},
        {&other, here.path(), false}, // another file system of the same disk
        {&other, here.path() + "/new", false},
        {nullptr, here.path(), false},
    };
    for (const auto& r : rows) {
        VXUIScan::instance().SaveScanSorage(r.scanned);
        EXPECT_EQ(ScanHarness::facade().IsRecoveryToSameDevice(QString::fromStdString(r.path)), r.want) << r.path;
    }
    EXPECT_FALSE(ScanHarness::facade().IsRecoveryToSameDevice(QString()));
    VXUIScan::instance().SaveScanSorage(nullptr);
    VXUIDeviceData::install(nullptr);
}

} // namespace

namespace {

TEST(RecoverySameDevice, AsRootAMountedLoopDeviceListedWithTheSystemsFacts) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a loop device";
    TempDir here;
    const std::string image = here.file("ext4.img"), mount = here.file("mnt");
    fs::create_directory(mount);
    std::string loop;
    ASSERT_EQ(RunCommand("truncate -s 8M '" + image + "' && mkfs.ext4 -q '" + image + "' && losetup -f --show '" + image + "'", &loop), 0)
        << loop;
    loop.erase(loop.find_last_not_of('\n') + 1);
    struct Undo {
        std::string loop, mount;
        ~Undo() { RunCommand("umount '" + mount + "' 2>/dev/null; losetup -d " + loop); }
    } undo{loop, mount};
    ASSERT_EQ(RunCommand("mount " + loop + " '" + mount + "'"), 0);
    VXUIDeviceData system(CreateEnumDeviceEx());
    ASSERT_TRUE(system.InitDeviceInfo());
    VXUIDeviceData::install(&system);
    std::list<_DiskVolumeData> disks;
    system.GetAllDeviceInfo(disks);
    IStorageDevice* scanned = nullptr;
    for (const _DiskVolumeData& d : disks)
        if (d.devicePath && "/dev/" + std::string(d.devicePath) == loop) scanned = system.GetDiskStorageByIndex(d.diskIndex);
    ASSERT_NE(scanned, nullptr) << loop << " is not listed";
    VXUIScan::instance().SaveScanSorage(scanned);
    for (const auto& [path, want] : {std::pair(mount, true), std::pair(mount + "/new/sub", true), std::pair(here.path(), false)})
        EXPECT_EQ(ScanHarness::facade().IsRecoveryToSameDevice(QString::fromStdString(path)), want) << path;
    VXUIScan::instance().SaveScanSorage(nullptr);
    VXUIDeviceData::install(nullptr);
    system.Clear();
}

} // namespace
