// Recoveries of real scans through the facade: fixture images listed as
// attached disk images, files ticked through their items, the QtCore loop
// running until the end post, every file compared with the fixture's sha256
// manifest.
#include "engine/include/DataRecovery.h"
#include "services/CPPPublic.h"
#include "tests/services/RecoveryHarness.h"
#include "tests/services/ServicesFakes.h"
#include "tests/support/FailingFile.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

using namespace salvor::test;
namespace fs = std::filesystem;

class RecoveryEndToEnd : public testing::Test {
protected:
    static void SetUpTestSuite() { UseRealFileSystems(); }
    // Scans and ticks every root.
    void Scan(const std::string& fixture, const std::string& image, int volume, bool deep = false) {
        attached.reset();
        attached = std::make_unique<AttachedImages>(std::vector<std::string>{FixtureFile(fixture, image)});
        ASSERT_TRUE(attached->devices.listed && scan.Scan(0, volume) && (!deep || scan.Scan(0, volume, true)));
        ScanHarness::facade().SetViewType(0);
        ScanHarness::facade().GetScanTreeNodeData(&roots, false);
        for (const OpNodeEntry& r : roots) r.item()->setNodeState(2);
    }

    ScanHarness scan;
    RecoveryHarness recovery;
    OpNodeList roots;
    TempDir dest;
    std::unique_ptr<AttachedImages> attached;
};

TEST_F(RecoveryEndToEnd, Fat32TwoTickedFilesThenEveryFileTwiceWhilePreviewsShareTheWriters) {
    Scan("fat_32", "fat_32.img", 0);
    roots[0].item()->setNodeState(0);
    OpNodeList files;
    ScanHarness::facade().GetFileNodeToArray(files, roots[0].item());
    std::map<std::string, IFileNode*> byName; // 8.3 names come upper-case
    for (const OpNodeEntry& f : files) byName[QString(f.file()->GetFileName()).toLower().toStdString()] = f.file();
    for (const char* name : {"readme.txt", "small.txt"}) OpNodeData::setFileNode(byName.at(name), 2);
    int count = 0;
    std::uint64_t size = 0;
    ScanHarness::facade().GetSelectedFilesAmout(&count, &size);
    EXPECT_EQ(std::pair(count, size), std::pair(2, std::uint64_t{800})); // istat: 700 + 100
    ASSERT_TRUE(recovery.Recover(roots, dest.path()));
    const std::string base = dest.path() + "/Fat_0001/" + roots[0].item()->fileNode()->GetVolumeName() + "/";
    EXPECT_EQ(Sha256File(base + byName["readme.txt"]->GetFileName()), "e0664cb61f86038437b8ecb7a65a0f9ff16fdc92a92eaff07c41f8433bc167ef");
    EXPECT_EQ(Sha256File(base + byName["small.txt"]->GetFileName()), "42e4763528c37d26d6a44b6af6e941e720c98211e56e08e5e3d74eaf0a3a42de");
    EXPECT_EQ(WrittenSums(dest.path()).size(), 2u);

    // Every file, live and deleted, while another thread keeps setting other
    // nodes on the same writers and reading thumbnails.
    roots[0].item()->setNodeState(2);
    std::atomic<bool> done{false};
    std::thread preview([&, all = VXUIScan::instance().GetTypeMap()] {
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
    const bool ended = recovery.Recover(roots, all.path()) && recovery.Recover(roots, all.path());
    done = true;
    preview.join();
    ASSERT_TRUE(ended);
    const Sums want = ManifestSums(FixtureFile("fat_32", "fat_32.sha256"));
    EXPECT_EQ(ScanHarness::facade().GetRecoveridedFiles(), want.size());
    for (const char* folder : {"/Fat_0001", "/Fat_0002"}) EXPECT_EQ(WrittenSums(all.path() + folder), want) << folder;
}

TEST_F(RecoveryEndToEnd, ExfatVolumeAndTheDeepScanOfTheDiskWithoutItsTable) {
    Scan("exfat_quick", "exfat_512.img", 0);
    ASSERT_TRUE(recovery.Recover(roots, dest.path()));
    EXPECT_EQ(WrittenSums(dest.path() + "/ExFat_0001"), ManifestSums(FixtureFile("exfat_quick", "exfat_512.sha256.txt")));
    roots.clear();
    TempDir deep;
    Scan("mbr_fat_exfat", "disk_mbr_zeroed.img", -1, true);
    ASSERT_TRUE(recovery.Recover(roots, deep.path()));
    EXPECT_EQ(WrittenSums(deep.path() + "/Fat_0001"), ManifestSums(FixtureFile("mbr_fat_exfat", "fat32.sha256.txt")));
    EXPECT_EQ(WrittenSums(deep.path() + "/ExFat_0001"), ManifestSums(FixtureFile("mbr_fat_exfat", "exfat.sha256.txt")));
}

// A card whose disk fails 64 KiB inside a picture: the copy keeps every byte
// that could be read, zeros only where the sectors fail, and is counted not
// recovered whole; every other file is whole.
TEST_F(RecoveryEndToEnd, BadSectorsInsideAFileAreItsOnlyZerosAndItIsCountedFailed) {
    if (::geteuid() != 0) GTEST_SKIP() << "the failing disk is a FUSE file (root)";
    Scan("fat_media", "fat_media.img", 0);
    ASSERT_TRUE(recovery.Recover(roots, dest.path()));
    const Sums whole = WrittenSums(dest.path());
    std::string picture;
    for (const auto& e : fs::recursive_directory_iterator(dest.path()))
        if (e.path().filename() == "exif.jpg") picture = ReadWholeFile(e.path().string());
    ASSERT_GT(picture.size(), 100000u);
    // Where the picture lies on the card (mtools wrote it in one piece).
    const std::string image = FixtureFile("fat_media", "fat_media.img");
    const std::size_t at = ReadWholeFile(image).find(picture);
    ASSERT_NE(at, std::string::npos);

    const std::uint64_t badFrom = 16384, badLength = 65536;
    TempDir card;
    { std::ofstream(card.file("card.img")); }
    FailingFile failing(card.file("card.img"), image, {{at + badFrom, badLength}});
    ASSERT_TRUE(failing.ready()) << failing.why();
    roots.clear();
    attached.reset(); // its list goes before the card's is installed
    attached = std::make_unique<AttachedImages>(std::vector<std::string>{card.file("card.img")});
    ASSERT_TRUE(attached->devices.listed && scan.Scan(0, 0));
    ScanHarness::facade().GetScanTreeNodeData(&roots, false);
    for (const OpNodeEntry& r : roots) r.item()->setNodeState(2);
    TempDir out;
    ASSERT_TRUE(recovery.Recover(roots, out.path()));
    std::string damaged, want = picture;
    want.replace(badFrom, badLength, std::string(badLength, '\0'));
    for (const auto& e : fs::recursive_directory_iterator(out.path()))
        if (e.path().filename() == "exif.jpg") damaged = ReadWholeFile(e.path().string());
    EXPECT_TRUE(damaged == want) << "zeros where the card reads: " << std::count(damaged.begin(), damaged.end(), '\0')
                                 << " of " << damaged.size();
    EXPECT_EQ(VXUIRecovery::instance().GetFailedFilesCnt(), 1u);
    EXPECT_EQ(ScanHarness::facade().GetRecoveridedFiles(), whole.size() - 1);
    // Every other file whole: the two copies differ in the picture alone.
    const Sums others = WrittenSums(out.path());
    Sums differ;
    std::set_difference(whole.begin(), whole.end(), others.begin(), others.end(), std::inserter(differ, differ.end()));
    EXPECT_EQ(std::pair(others.size(), differ.size()), std::pair(whole.size(), std::size_t{1}));
}

// No room: the recovery pauses with the write-failure code; room made and
// resumed, every file is whole; stopped, no partial file is left, only whole
// files count, and one end post follows.
TEST_F(RecoveryEndToEnd, FullDestinationPausesThenResumesOrStops) {
    Scan("fat_32", "fat_32.img", 0);
    const Sums want = ManifestSums(FixtureFile("fat_32", "fat_32.sha256"));
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    auto limit = [](rlim_t n) {
        const rlimit r{n, RLIM_INFINITY};
        ::setrlimit(RLIMIT_FSIZE, &r);
    };
    const std::string mount = dest.file("tmpfs");
    fs::create_directory(mount);
    const bool root = ::geteuid() == 0;
    for (int run = 0; run < (root ? 4 : 2); ++run) {
        const bool resume = run % 2 == 0, tmpfs = run >= 2;
        SCOPED_TRACE(std::string(tmpfs ? "1 MiB tmpfs" : "file-size limit") + (resume ? ", resumed" : ", stopped"));
        if (tmpfs) ASSERT_EQ(RunCommand("mount -t tmpfs -o size=1m tmpfs '" + mount + "' && head -c 1015808 /dev/zero > '" + mount + "/filler'"), 0);
        else limit(20000);
        const std::string to = tmpfs ? mount + "/out" : dest.file("out");
        std::uint64_t t, c, error = 0;
        ASSERT_TRUE(recovery.Recover(roots, to, [&] {
            if (VXUIRecovery::instance().GetStatus() != OP_PAUSED) return false;
            ScanHarness::facade().GetRecoveryProgressTotal(&t, &c, &error);
            tmpfs ? fs::remove(mount + "/filler") : (limit(RLIM_INFINITY), true);
            resume ? ScanHarness::facade().PauseOrResumeRecovery() : ScanHarness::facade().StopRecvoery();
            return true;
        }));
        EXPECT_EQ(error & 0xFFFFFFFF, std::uint64_t{0xD03});
        // The end is heard; a progress post queued just before it may be
        // delivered after it on a busy machine, so more than one can arrive.
        EXPECT_GE(recovery.endPosts, 1);
        const Sums got = WrittenSums(to);
        EXPECT_EQ(ScanHarness::facade().GetRecoveridedFiles(), got.size());
        EXPECT_TRUE(resume ? got == want : got.size() < want.size() && std::includes(want.begin(), want.end(), got.begin(), got.end()));
        fs::remove_all(to);
        if (tmpfs) RunCommand("umount '" + mount + "'");
    }
    std::signal(SIGXFSZ, oldHandler);
    if (!root) ADD_FAILURE() << "the 1 MiB tmpfs case needs root; only the file-size limit ran";
}

// Room for the file system's files but not for the carved copies as well:
// the file system's come first and each is written whole; the recovery
// pauses once when the room runs out, goes on past what does not fit, and
// leaves no partial file.
TEST_F(RecoveryEndToEnd, FileSystemFilesFirstWhenTheRoomRunsOut) {
    if (::geteuid() != 0) FAIL() << "needs root: the destination is a small tmpfs";
    Scan("fat_media", "fat_media.img", 0, true);
    std::uint64_t fsBytes = 0, fsRoom = 0, carvedBytes = 0;
    std::size_t fsFiles = 0;
    for (const auto& [category, list] : VXUIScan::instance().GetTypeMap())
        for (IFileNode* node : list) {
            if (!node || !node->IsNodeShow() || node->GetCheckedStatus() != CHECK_ALL) continue;
            const auto size = static_cast<std::uint64_t>(std::max<long long>(node->GetFileSize(), 0));
            const _tagSearcherType type = VXCPPPublic::instance().GetNodeSearcheType(node);
            if (type == SEARCHER_RAW || type == SEARCHER_RAW_LABEL) {
                carvedBytes += size;
                continue;
            }
            ++fsFiles, fsBytes += size;
            fsRoom += (size / 4096 + 2) * 4096;
        }
    ASSERT_GT(fsFiles, 5u);
    ASSERT_GT(carvedBytes, 256u * 1024) << "the deep scan carved too little to fill the room";
    const std::string mount = dest.file("small");
    fs::create_directory(mount);
    ASSERT_EQ(RunCommand("mount -t tmpfs -o size=" + std::to_string(fsRoom + 64 * 1024) + " tmpfs '" + mount + "'"), 0);
    int pauses = 0;
    const bool ended = recovery.Recover(roots, mount, [&] {
        if (VXUIRecovery::instance().GetStatus() != OP_PAUSED) return false;
        ++pauses;
        ScanHarness::facade().PauseOrResumeRecovery(); // go on with what fits
        return true;
    });
    std::uint64_t written = 0, inFs = 0;
    std::size_t fsWritten = 0, partial = 0;
    for (const auto& e : fs::recursive_directory_iterator(mount)) {
        if (!e.is_regular_file()) continue;
        const std::string path = e.path().string(), name = e.path().filename().string();
        written += e.file_size();
        if (e.file_size() == 0 || name.find(".part") != std::string::npos || name.rfind(".salvor-", 0) == 0) ++partial;
        if (path.find("/Fat_") != std::string::npos) ++fsWritten, inFs += e.file_size();
    }
    RunCommand("umount '" + mount + "'");
    ASSERT_TRUE(ended);
    EXPECT_EQ(pauses, 1);
    EXPECT_EQ(std::pair(fsWritten, inFs), std::pair(fsFiles, fsBytes));
    EXPECT_EQ(partial, 0u);
    EXPECT_LT(written, fsBytes + carvedBytes); // the carved copies did not all fit
    EXPECT_GT(VXUIRecovery::instance().GetFailedFilesCnt(), 0u);
}

// YES for a destination (or a folder not made yet) on the scanned volume;
// NO for another file system of the same disk when only a volume was
// scanned; YES for a path that cannot be examined.
TEST(RecoverySameDevice, ByDeviceNumbersOfTheListedVolumes) {
    TempDir here;
    struct stat st {};
    ASSERT_EQ(::stat(here.path().c_str(), &st), 0);
    FakeDevice disk{DEVICE_DISK}, on{DEVICE_VOLUME}, other{DEVICE_VOLUME};
    VXUIDeviceData::GetVolumeInfo(&on)->deviceId = static_cast<std::int32_t>(st.st_dev);
    VXUIDeviceData::GetVolumeInfo(&other)->deviceId = static_cast<std::int32_t>(st.st_dev + 1);
    FakeDeviceList devices(&disk, {&on, &other});
    ASSERT_TRUE(devices.devices.listed);
    const std::string deep = here.path() + "/not/made", unreadable = here.path() + "/" + std::string(5000, 'x');
    const std::tuple<IStorageDevice*, std::string, bool> rows[] = {
        {&on, here.path(), true}, {&on, deep, true}, {&disk, deep, true}, {&other, deep, false},
        {&other, unreadable, true}, {nullptr, here.path(), false}, {&on, "", false}};
    for (const auto& [scanned, path, want] : rows) {
        VXUIScan::instance().SaveScanSorage(scanned);
        EXPECT_EQ(ScanHarness::facade().IsRecoveryToSameDevice(path.empty() ? QString() : QString::fromStdString(path)), want)
            << path.substr(0, 80);
    }
    VXUIScan::instance().SaveScanSorage(nullptr);
}

// The scanned disk image (read from its file, or through the loop device
// that holds it) while its exFAT partition is mounted through FUSE, once as a
// partition of that loop device and once through a loop device of its own
// over the image at the partition's offset (as mount -o loop,offset= does):
// a destination in either mount would write over the scanned data, and is
// refused; a folder beside the image is not.
TEST(RecoverySameDevice, ALoopMountedPartitionOfTheScannedImage) {
    if (::geteuid() != 0) FAIL() << "needs root: attaches and mounts a disk image";
    ASSERT_EQ(RunCommand("command -v mount.exfat-fuse >/dev/null"), 0) << "install the Debian package 'exfat-fuse'";
    const std::string intact = FixtureFile("mbr_fat_exfat", "disk_intact.img");
    ASSERT_FALSE(intact.empty());
    TempDir here;
    const std::string image = here.file("disk.img"), mount = here.file("mnt"), byOffset = here.file("offset");
    ASSERT_EQ(RunCommand("cp --sparse=always '" + intact + "' '" + image + "'"), 0);
    fs::create_directory(mount);
    fs::create_directory(byOffset);
    std::string loop, partLoop;
    ASSERT_EQ(RunCommand("losetup -r -P -f --show '" + image + "'", &loop), 0) << loop;
    loop.erase(loop.find_last_not_of(" \n") + 1);
    struct Undo {
        std::string loop, mount, partLoop, byOffset;
        ~Undo() {
            RunCommand("umount '" + mount + "' 2>/dev/null");
            RunCommand("umount '" + byOffset + "' 2>/dev/null");
            RunCommand("partx -d '" + loop + "' >/dev/null 2>&1");
            RunCommand("losetup -d '" + loop + "'");
            if (!partLoop.empty()) RunCommand("losetup -d '" + partLoop + "'");
        }
    } undo{loop, mount, "", byOffset};
    ASSERT_EQ(RunCommand("losetup -r -f --show -o " + std::to_string(133120ULL * 512) + " --sizelimit " +
                             std::to_string(131072ULL * 512) + " '" + image + "'",
                         &partLoop),
              0)
        << partLoop;
    partLoop.erase(partLoop.find_last_not_of(" \n") + 1);
    undo.partLoop = partLoop;
    std::string said;
    ASSERT_EQ(RunCommand("mount.exfat-fuse -o ro '" + partLoop + "' '" + byOffset + "' 2>&1", &said), 0) << said;
    // The exFAT volume is the second partition (its node made by partx where
    // no device manager makes it).
    RunCommand("partx -a '" + loop + "' >/dev/null 2>&1");
    bool mounted = false;
    for (int attempt = 0; attempt < 20 && !mounted; ++attempt) {
        mounted = RunCommand("mount.exfat-fuse -o ro '" + loop + "p2' '" + mount + "' 2>&1", &said) == 0;
        if (!mounted) std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the partition node comes
    }
    ASSERT_TRUE(mounted) << said;
    ASSERT_EQ(RunCommand("mountpoint -q '" + mount + "'"), 0);

    for (const std::string& read : {image, loop}) {
        SCOPED_TRACE(read);
        FakeDevice disk{DEVICE_DISK};
        auto* data = dynamic_cast<IDiskDeviceData*>(disk.GetPrivateData());
        ASSERT_NE(data, nullptr);
        CopyRecordText(data->GetDiskInfo()->bsdName, read.c_str());
        FakeDeviceList devices(&disk, {});
        ASSERT_TRUE(devices.devices.listed);
        VXUIScan::instance().SaveScanSorage(&disk);
        EXPECT_TRUE(ScanHarness::facade().IsRecoveryToSameDevice(QString::fromStdString(mount + "/Recovered")));
        EXPECT_TRUE(ScanHarness::facade().IsRecoveryToSameDevice(QString::fromStdString(byOffset + "/Recovered")));
        EXPECT_FALSE(ScanHarness::facade().IsRecoveryToSameDevice(QString::fromStdString(here.file("beside"))));
        VXUIScan::instance().SaveScanSorage(nullptr);
    }
}

} // namespace
