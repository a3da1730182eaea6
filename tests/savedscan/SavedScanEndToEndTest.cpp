// Saved scans through the facade, as the windows drive them: real scans of
// fixture images listed as attached disk images, saved and loaded back with
// the QtCore loop running until "QueryProgressFinish"; the loaded trees equal
// the scanned ones and recover the same bytes.
#include "engine/hfsplus/HfsPlusRegistration.h"
#include "savedscan/CRC.h"
#include "savedscan/RSData.h"
#include "savedscan/SaveRestoreResult.h"
#include "services/SaveAndRestoreNodeOperate.h"
#include "services/SilenceWatch.h"
#include "tests/savedscan/SavedScanSupport.h"
#include "tests/services/RecoveryHarness.h"
#include "tests/support/FailingFile.h"
#include "tests/support/Fixture.h"
#include "tests/support/GoneAtTheEnd.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <random>
#include <set>
#include <thread>
#include <tuple>

namespace {

using namespace salvor::test;
namespace fs = std::filesystem;

// Every node of the scan service's trees: path, size, flags, times, and the
// roots' types and volume names; then the counts of the four views.
using Node = std::tuple<std::string, long long, int, int, unsigned, std::uint64_t, std::uint64_t, std::uint64_t>;
struct Snapshot {
    std::set<Node> nodes;
    std::set<std::pair<int, std::string>> roots;
    std::map<std::string, std::size_t> views;
    std::size_t hidden = 0;
    bool operator==(const Snapshot& o) const { return nodes == o.nodes && roots == o.roots && views == o.views; }
};

Snapshot Take() {
    Snapshot s;
    for (IFileNode* root : VXUIScan::instance().GetFileSystemNode()) {
        s.roots.insert({root->GetSearcheType(), root->GetVolumeName() ? root->GetVolumeName() : ""});
        std::vector<std::pair<IFileNode*, std::string>> stack{{root, std::to_string(root->GetSearcheType())}};
        while (!stack.empty()) {
            auto [node, path] = stack.back();
            stack.pop_back();
            for (IFileNode* c = node->GetFirstChild(); c; c = c->GetNextNode()) {
                const std::string p = path + "/" + c->GetFileName();
                s.nodes.insert({p, c->GetFileSize(), c->IsDirectory(), c->IsDeleted(), c->GetAttribute(),
                                c->GetCreationTime().Value(), c->GetModificationTime().Value(),
                                c->GetLastAccessTime().Value()});
                s.hidden += c->IsNodeShow() ? 0 : 1;
                stack.push_back({c, p});
            }
        }
    }
    VXUIController& facade = VXUIController::shared();
    for (int view = 0; view < 4; ++view) {
        OpNodeList roots;
        facade.SetViewType(view);
        facade.GetScanTreeNodeData(&roots, false);
        std::vector<std::pair<OpNodeRef, std::string>> items;
        for (const OpNodeEntry& r : roots) items.push_back({r.item(), std::to_string(view)});
        for (std::size_t i = 0; i < items.size(); ++i) {
            const auto [item, path] = items[i];
            const std::string p = path + "/" + item->name().toStdString();
            OpNodeList files;
            facade.GetFileNodeToArray(files, item);
            s.views[p] = view == 0 ? files.size() : facade.GetNodeChildrenCnt(item);
            if (item->children())
                for (const OpNodeEntry& c : *item->children())
                    if (c.isItem()) items.push_back({c.item(), p});
        }
    }
    facade.SetViewType(0);
    return s;
}

// The saved file with the first quick root its ControllerList names (the
// u32 after the deep flag of a 12-byte frame) set to from, that frame's
// checksum made again: what one who knows the format writes. False when the
// frame names none.
bool WithQuickRootsFrom(const std::string& path, const std::string& out, std::uint32_t from) {
    std::string b;
    {
        std::ifstream in(path, std::ios::binary);
        b.assign(std::istreambuf_iterator<char>(in), {});
    }
    const auto u32 = [&b](std::size_t at) {
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b[at + static_cast<std::size_t>(i)]);
        return v;
    };
    const auto put = [&b](std::size_t at, std::uint32_t v) {
        for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
    };
    // Each frame: signature, GUID, u32 size, payload; the Checksums frame,
    // written last, lists each frame's GUID, size and CRC-32.
    const std::string guid(reinterpret_cast<const char*>(_frFileSystemSearchControllerList.bytes), 16);
    const std::size_t frame = b.find(guid), entry = b.rfind(guid);
    if (frame == std::string::npos || entry == frame || entry + 24 > b.size() || u32(frame + 16) != 16 ||
        u32(frame + 20) != kControllerListBesideBytes)
        return false;
    put(frame + 32, from);
    put(entry + 20, CCRC::RunCRC32(reinterpret_cast<const std::uint8_t*>(b.data() + frame + 20), 16, kRSCrc32Polynomial));
    WriteFile(out, b);
    return true;
}

// A deep scan whose device went before it read a sector: it ends at once
// and finds nothing.
class GoneAtOnce final : public IRecoveryController {
public:
    explicit GoneAtOnce(_RECOVERY_CONTROLLER_TYPE type) : m_real(CreateRecoveryController(type)) {}
    _RECOVERY_CONTROLLER_TYPE thisType() override { return m_real->thisType(); }
    int Initialize(IRecoveryFilter* filter) override { return m_real->Initialize(filter); }
    ResultCode StartDataRecovery(IStorageDevice*, IProgress* sink, IDrirectoryTree*) override {
        _PROGRESS_INFO record = MakeProgress(PROGRESS_FINISHED, 10, 0, ControllerResult::DeviceGone);
        sink->UpdateProgress(&record);
        return ControllerResult::DeviceGone;
    }
    IDataRecovery* GetDataRecovery(_tagSearcherType type) const override { return m_real->GetDataRecovery(type); }
    void Release() override { delete this; }

private:
    Owned<IRecoveryController> m_real;
};

class SavedScanEndToEnd : public testing::Test {
protected:
    static void SetUpTestSuite() {
        UseRealFileSystems();
        RegisterHfsPlusLibrary();
        SaveRestoreResult::SetLoadPause(std::chrono::milliseconds(0));
    }
    void Attach(const std::vector<std::string>& images) {
        attached.reset();
        attached = std::make_unique<AttachedImages>(images);
        ASSERT_TRUE(attached->devices.listed);
    }
    // Ticks every root of the path view and recovers into dir.
    void RecoverAll(const std::string& dir) {
        OpNodeList roots;
        ScanHarness::facade().SetViewType(0);
        ScanHarness::facade().GetScanTreeNodeData(&roots, false);
        for (const OpNodeEntry& r : roots) r.item()->setNodeState(2);
        ASSERT_TRUE(recovery.Recover(roots, dir));
    }
    // Scan, recover, save, (change the device,) load, compare, recover again.
    // afterLoad is given the saved file.
    void RoundTrip(int disk, int volume, bool deep, const std::vector<std::pair<std::string, std::string>>& manifests,
                   const std::function<void()>& beforeLoad = {},
                   const std::function<void(const std::string&)>& afterLoad = {}) {
        ASSERT_TRUE(scan.Scan(disk, volume));
        GoneAtTheEnd* gone = nullptr;
        if (deep && deepCutShort)
            VXUIScan::instance().SetControllerFactory([&gone, silent = deepSilent](_RECOVERY_CONTROLLER_TYPE t) {
                return gone = new GoneAtTheEnd(t, silent);
            });
        if (deep && deepGoneAtOnce)
            VXUIScan::instance().SetControllerFactory([](_RECOVERY_CONTROLLER_TYPE t) { return new GoneAtOnce(t); });
        const bool scanned = !deep || scan.Scan(disk, volume, true);
        VXUIScan::instance().SetControllerFactory(nullptr);
        ASSERT_TRUE(scanned);
        const Snapshot live = Take();
        ASSERT_FALSE(live.nodes.empty());
        const std::string scannedDevice = VXUIDeviceData::Identity(VXUIScan::instance().GetSavedStorage());
        const std::size_t liveRoots = VXUIScan::instance().GetFileSystemNode().size();
        const std::uint64_t liveFiles = VXUIScan::instance().GetScanFileCnt();
        TempDir before, after, files;
        RecoverAll(before.path());
        // Listed beside the quick scan, a file both scans found is one file:
        // recovered once.
        if (deep && deepCutShort) {
            const Sums written = WrittenSums(before.path());
            Sums placed;
            for (const std::string& manifest : onceEach) placed.merge(ManifestSums(manifest));
            ASSERT_FALSE(placed.empty());
            for (const std::string& sum : placed) EXPECT_EQ(written.count(sum), placed.count(sum)) << sum;
        }
        // Saved also while the whole device is silent: nothing of it can be
        // marked.
        const std::string savedSilent = files.file("silent.rsf");
        const auto silence = [this](const std::function<void()>& meanwhile) {
            { std::ofstream(silentFlag.c_str()); }
            meanwhile();
            fs::remove(silentFlag);
        };
        if (!silentFlag.empty()) silence([&] { EXPECT_EQ(transfer.Save(savedSilent), 0u); });
        // Saved while its device does not answer again: the files of its
        // roots are left without marks, and the save's end says how many.
        // Files unreadable on a device that answers are no silence to tell.
        for (const bool answers : {false, true}) {
            if (!gone || !gone->Device()) break;
            if (answers)
                gone->Device()->FailReads(true);
            else
                gone->Device()->WaitFor(true);
            ASSERT_EQ(transfer.Save(files.file("waited.rsf")), 0u);
            gone->Device()->WaitFor(false);
            gone->Device()->FailReads(false);
            std::uint64_t planned = 0;
            const std::uint64_t unmarked = ScanHarness::facade().GetSaveUnmarkedFiles(&planned);
            EXPECT_GT(planned, 0u);
            EXPECT_EQ(unmarked > 0, !answers) << unmarked << " of " << planned;
            EXPECT_LE(unmarked, planned);
        }
        // A silence that begins and ends while the marks are read (a read
        // held unanswered, then answered) is seen as well.
        if (gone && gone->Device()) {
            std::atomic<bool> silent{false};
            {
                const CSilenceWatch watch(gone->Device(), silent);
                gone->Device()->WaitFor(true);
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                gone->Device()->WaitFor(false);
            }
            EXPECT_TRUE(silent);
        }
        const std::string saved = files.file("result.rsf");
        ASSERT_EQ(transfer.Save(saved), 0u);
        EXPECT_EQ(ScanHarness::facade().GetSaveUnmarkedFiles(nullptr), 0u) << "a device that answers leaves no file unmarked";
        // Silent once more while the devices are listed, as going home does.
        if (!silentFlag.empty()) silence([] { VXUIController::shared().RefreshDeviceInfo(); });
        if (beforeLoad) beforeLoad();
        std::list<_DiskVolumeData> disks;
        const std::shared_ptr<const void> listing = VXUIDeviceData::instance().GetAllDeviceInfo(disks);
        ASSERT_EQ(transfer.Load(saved), 0u);
        // A load whose device holds the whole scan does not list the devices
        // again: a listing may wait on a disk that hangs.
        if (silentFlag.empty() && !beforeLoad && !deepCutShort) {
            EXPECT_EQ(VXUIDeviceData::instance().GetAllDeviceInfo(disks), listing) << "the devices were listed again";
        }
        // Read from the device scanned, not from the copy of its volumes beside it.
        if (!silentFlag.empty()) {
            EXPECT_EQ(VXUIDeviceData::Identity(VXUIScan::instance().GetSavedStorage()), scannedDevice);
        }
        const Snapshot loaded = Take();
        EXPECT_EQ(VXUIScan::instance().GetFileSystemNode().size(), liveRoots);
        EXPECT_EQ(VXUIScan::instance().GetScanFileCnt(), liveFiles);
        EXPECT_EQ(loaded.roots, live.roots);
        EXPECT_EQ(loaded.nodes, live.nodes);
        EXPECT_EQ(loaded.views, live.views);
        EXPECT_EQ(loaded.hidden, 0u);
        RecoverAll(after.path());
        EXPECT_FALSE(WrittenSums(before.path()).empty());
        EXPECT_EQ(WrittenSums(after.path()), WrittenSums(before.path()));
        for (const auto& [folder, manifest] : manifests)
            EXPECT_EQ(WrittenSums(after.path() + folder), ManifestSums(manifest)) << folder;
        // The device answers again: the silent save opens on it as well.
        if (!silentFlag.empty()) {
            ASSERT_EQ(transfer.Load(savedSilent), 0u) << "the device scanned taken for another";
            EXPECT_EQ(VXUIDeviceData::Identity(VXUIScan::instance().GetSavedStorage()), scannedDevice);
            const Snapshot again = Take();
            EXPECT_EQ(again.roots, live.roots);
            EXPECT_EQ(again.nodes, live.nodes);
            EXPECT_EQ(again.views, live.views);
            TempDir third;
            RecoverAll(third.path());
            EXPECT_EQ(WrittenSums(third.path()), WrittenSums(before.path()));
        }
        if (afterLoad) afterLoad(saved);
    }

    // The deep scan ends as if its device went after it read every file;
    // silent, the device then answers nowhere until asked again.
    bool deepCutShort = false, deepSilent = false;
    // While this file exists, every read of the device fails (a FailingFile's
    // flag); set, a round trip also saves in a silence of the whole device.
    std::string silentFlag;
    // The deep scan's device goes before it reads anything.
    bool deepGoneAtOnce = false;
    // Manifests whose files a recovery of a deep scan cut short writes once.
    std::vector<std::string> onceEach;
    ScanHarness scan;
    RecoveryHarness recovery;
    TransferHarness transfer;
    std::unique_ptr<AttachedImages> attached;
};

TEST_F(SavedScanEndToEnd, QuickScanOfAFat32VolumeLoadsBackWholeAndRecoversTheSameBytes) {
    Attach({FixtureFile("fat_32", "fat_32.img")});
    RoundTrip(0, 0, false, {{"/Fat_0001", FixtureFile("fat_32", "fat_32.sha256")}});
    const QString name = ScanHarness::facade().GetSaveFileName();
    EXPECT_TRUE(QRegularExpression("^SALVOR32_\\d\\d-\\d\\d-\\d{4} at \\d\\d_\\d\\d_\\d\\d$").match(name).hasMatch())
        << name.toStdString();
}

// Its compressed files read through the volume the load keeps open.
TEST_F(SavedScanEndToEnd, QuickScanOfAnHfsPlusVolumeWithCompressedFiles) {
    Attach({FixtureFile("hfs_synth", "synth_4096.img")});
    RoundTrip(0, 0, false, {{"/HFS+_0001", FixtureFile("hfs_synth", "synth_4096.manifest.txt")}});
    EXPECT_NE(CSavedVolumeCache::instance().Volume(SEARCHER_HFSPLUS), nullptr);
}

// Most of its files are resident (their bytes inside their MFT records). The
// save keeps those bytes: with the image's MFT wiped after the save, the
// loaded result still recovers every byte the scan did, quick and deep.
TEST_F(SavedScanEndToEnd, QuickAndDeepScansOfAnNtfsVolumeKeepResidentFiles) {
    for (const bool deep : {false, true}) {
        TempDir dir;
        const std::string copy = dir.file("ntfs_4k.img");
        fs::copy_file(FixtureFile("ntfs_volumes", "ntfs_4k.img"), copy);
        Attach({copy});
        const auto wipeMft = [&] {
            std::fstream image(copy, std::ios::binary | std::ios::in | std::ios::out);
            unsigned char boot[512] = {};
            image.read(reinterpret_cast<char*>(boot), sizeof boot);
            const long long cluster = (boot[0x0B] | boot[0x0C] << 8) * static_cast<long long>(boot[0x0D]);
            long long mft = 0;
            for (int i = 7; i >= 0; --i) mft = mft << 8 | boot[0x30 + i];
            const auto perRecord = static_cast<signed char>(boot[0x40]);
            const long long record = perRecord < 0 ? 1LL << -perRecord : perRecord * cluster;
            ASSERT_GT(cluster * mft, 0);
            // The files' records, past the metafiles (the label stays).
            image.seekp(cluster * mft + 24 * record);
            const std::string zeros(1 << 20, '\0');
            image.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
            ASSERT_TRUE(image.good());
            image.close();
            Attach({copy}); // fresh devices: nothing cached from the scan
        };
        RoundTrip(0, 0, deep, {}, wipeMft);
    }
}

TEST_F(SavedScanEndToEnd, WholeDiskQuickScanAndDeepScanOfTheMbrDisks) {
    Attach({FixtureFile("mbr_fat_exfat", "disk_intact.img"), FixtureFile("mbr_fat_exfat", "disk_mbr_zeroed.img")});
    const std::vector<std::pair<std::string, std::string>> manifests = {
        {"/Fat_0001", FixtureFile("mbr_fat_exfat", "fat32.sha256.txt")},
        {"/ExFat_0001", FixtureFile("mbr_fat_exfat", "exfat.sha256.txt")}};
    RoundTrip(0, -1, false, manifests);
    EXPECT_EQ(VXUIScan::instance().GetFileSystemNode().size(), 2u);
    RoundTrip(1, -1, true, manifests);
    // A deep scan cut short lists what it found beside the quick scan's
    // listing; that listing loads back the same, and recovers the same bytes.
    deepCutShort = true;
    onceEach = {manifests[0].second, manifests[1].second};
    RoundTrip(0, -1, true, {});
    // Ended by a silence, then answering again: it is read again for the
    // recovery and the save, and the save opens on it. Saved too while the
    // whole disk is silent, and the devices listed in that silence: once it
    // answers, that save opens on it as well.
    deepSilent = true;
    TempDir dir;
    { std::ofstream(dir.file("disk_intact.img").c_str()); }
    FailingFile served(dir.file("disk_intact.img"), FixtureFile("mbr_fat_exfat", "disk_intact.img"), {},
                       dir.file("silent"));
    ASSERT_TRUE(served.ready()) << served.why();
    Attach({dir.file("disk_intact.img"), FixtureFile("mbr_fat_exfat", "disk_mbr_zeroed.img")});
    silentFlag = dir.file("silent");
    RoundTrip(0, -1, true, {});
    silentFlag.clear();
    attached.reset(); // before the file it reads goes
    Attach({FixtureFile("mbr_fat_exfat", "disk_intact.img"), FixtureFile("mbr_fat_exfat", "disk_mbr_zeroed.img")});
    // Cut short before it found anything: the quick listing alone, saved
    // as the quick scan's roots beside none of the deep scan's. Such a
    // file whose frame puts the first quick root elsewhere (a quick root
    // among the deep ones, none) is damaged, not of a device not attached.
    deepCutShort = deepSilent = false;
    deepGoneAtOnce = true;
    RoundTrip(0, -1, true, {}, {}, [this](const std::string& saved) {
        const std::size_t roots = VXUIScan::instance().GetFileSystemNode().size();
        EXPECT_EQ(roots, 2u);
        const std::string crafted = saved + ".crafted.rsf";
        for (std::uint32_t from = 0; from <= roots; ++from) {
            ASSERT_TRUE(WithQuickRootsFrom(saved, crafted, from));
            EXPECT_EQ(transfer.Load(crafted), from == 0 ? 0u : SAVED_DAMAGED) << "first quick root " << from;
        }
    });
}

// The saved volume attached at another index is found by its name, type and
// size; grown, it is not, nor is one made alike (each refusal names it as
// the device list does, and speaks of the alike one only when it is there),
// nor another disk of the same size in its slot;
// a damaged file opens no results; a load during a scan is refused, and a
// save or a load while a save runs (its window closed) takes nothing of it.
TEST_F(SavedScanEndToEnd, FindingTheDeviceAgainAndRefusals) {
    TempDir dir;
    const std::string copy = dir.file("fat_32.img");
    fs::copy_file(FixtureFile("fat_32", "fat_32.img"), copy);
    Attach({copy});
    ASSERT_TRUE(scan.Scan(0, 0));
    const Snapshot live = Take();
    const std::string saved = dir.file("fat.rsf");
    ASSERT_EQ(transfer.Save(saved), 0u);
    // How the device list shows the volume: the refusals below name it so.
    std::vector<DiskVolumeNodeRef> listed;
    VXUIController::shared().GetDeviceInfoToArray(listed);
    ASSERT_EQ(listed.size(), 1u);
    ASSERT_EQ(listed[0]->children().size(), 1u);
    const DiskVolumeNodeRef shown = listed[0]->children()[0];
    const auto refusalNames = [&shown](bool alikeAttached) {
        bool alike = !alikeAttached;
        const DiskVolumeNodeRef named = VXUIController::shared().GetRestoreDevice(&alike);
        ASSERT_TRUE(named);
        EXPECT_EQ(std::tuple(named->name(), named->sizeText(), named->kindText()),
                  std::tuple(shown->name(), shown->sizeText(), shown->kindText()));
        EXPECT_EQ(named->kindText(), QStringLiteral("FAT32"));
        EXPECT_EQ(alike, alikeAttached);
    };

    Attach({FixtureFile("mbr_fat_exfat", "disk_intact.img"), copy});
    ASSERT_EQ(transfer.Load(saved), 0u);
    EXPECT_EQ(Take().nodes, live.nodes);
    int disk = -1, volume = -1;
    VXUIDeviceData::instance().GetDiskVolumeIndexByStorage(VXUIScan::instance().GetSavedStorage(), disk, volume);
    EXPECT_EQ(std::pair(disk, volume), std::pair(1, 0));

    const std::string cut = dir.file("cut.rsf");
    fs::copy_file(saved, cut);
    fs::resize_file(cut, fs::file_size(saved) - 100);
    EXPECT_EQ(transfer.Load(cut), SAVED_DAMAGED);
    EXPECT_TRUE(VXUIScan::instance().GetFileSystemNode().empty());
    EXPECT_EQ(transfer.Load(dir.file("missing.rsf")), SAVED_CANNOT_OPEN);

    attached.reset();
    fs::resize_file(copy, fs::file_size(copy) + (1 << 20));
    Attach({copy});
    EXPECT_EQ(transfer.Load(saved), SAVED_NO_DEVICE);
    EXPECT_TRUE(VXUIScan::instance().GetFileSystemNode().empty());
    refusalNames(false);
    // A card of that name, size and kind, of another serial: made alike.
    const std::string alikeCard = dir.file("alike/fat_32.img");
    fs::create_directory(dir.file("alike"));
    fs::copy_file(FixtureFile("fat_32", "fat_32.img"), alikeCard);
    {
        std::fstream card(alikeCard, std::ios::binary | std::ios::in | std::ios::out);
        char serial[4] = {};
        card.seekg(0x43).read(serial, 4);
        for (char& c : serial) c = static_cast<char>(~c);
        card.seekp(0x43).write(serial, 4);
        ASSERT_TRUE(card.good());
    }
    Attach({alikeCard});
    EXPECT_EQ(transfer.Load(saved), SAVED_NO_DEVICE);
    refusalNames(true);
    Attach({copy});

    // Another stick of the same size in the same slot (its volume of
    // another serial) is not the saved one; a byte-identical copy under
    // another name is.
    const std::string wholeDisk = dir.file("disk.rsf"), stick = dir.file("other stick.img");
    fs::copy_file(copy, stick);
    {
        std::fstream bytes(stick, std::ios::in | std::ios::out | std::ios::binary);
        bytes.seekp(0x43);
        bytes.write("\x5A\x5A\x5A\x5A", 4);
    }
    ASSERT_TRUE(scan.Scan(0, -1));
    ASSERT_EQ(transfer.Save(wholeDisk), 0u);
    Attach({stick});
    EXPECT_EQ(transfer.Load(wholeDisk), SAVED_NO_DEVICE);
    const std::string renamed = dir.file("same stick.img");
    fs::copy_file(copy, renamed);
    Attach({renamed});
    EXPECT_EQ(transfer.Load(wholeDisk), 0u);
    EXPECT_EQ(Take().nodes, live.nodes);

    VXUIScan::instance().SetStatus(OP_RUNNING);
    EXPECT_FALSE(ScanHarness::facade().beginSaveOrRestoreNode(false, QString::fromStdString(saved)));
    VXUIScan::instance().SetStatus(OP_IDLE);

    VXSaveAndRestoreNodeOperate& saving = VXSaveAndRestoreNodeOperate::instance();
    saving.SetStatus(OP_RUNNING);
    const std::uint64_t run = saving.Generation();
    const std::string second = dir.file("second.rsf");
    VXUIController::shared().RestorPostUIUpdate("QueryProgressInfo", true);
    EXPECT_FALSE(VXUIController::shared().beginSaveOrRestoreNode(true, QString::fromStdString(second)));
    EXPECT_FALSE(VXUIController::shared().beginSaveOrRestoreNode(false, QString::fromStdString(saved)));
    VXUIController::shared().RestorPostUIUpdate("NormalScranValue", false);
    EXPECT_EQ(CStatusPoller::LivePollers(), 0);
    EXPECT_EQ(std::pair(saving.Generation(), saving.GetStatus()), std::pair(run, int{OP_RUNNING}));
    salvor::platform::runUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_FALSE(fs::exists(second));
    saving.SetStatus(OP_IDLE);
}

// A save that cannot write everything, or is stopped, ends with 7 and leaves
// no file; one that cannot start ends at once with one "QueryProgressFinish"
// and a code.
TEST_F(SavedScanEndToEnd, FailedSavesLeaveNoFileAndReportACode) {
    Attach({FixtureFile("fat_32", "fat_32.img")});
    ASSERT_TRUE(scan.Scan(0, 0));
    TempDir dir;
    EXPECT_EQ(transfer.Save(dir.file("no/such/folder.rsf")), SAVED_CANNOT_OPEN);
    EXPECT_EQ(transfer.Save(""), SAVED_NOT_STARTED);
    EXPECT_EQ(VXSaveAndRestoreNodeOperate::instance().GetStatus(), OP_IDLE);
    // Stopped as quitting stops it: the thread ends and removes its file; a
    // save it was to replace stays as it was.
    EXPECT_EQ(transfer.Save(dir.file("stopped.rsf"), true), SAVED_WRITE_FAILED);
    EXPECT_FALSE(fs::exists(dir.file("stopped.rsf")));
    EXPECT_FALSE(VXUIController::shared().IsSaveWorking());
    ASSERT_EQ(transfer.Save(dir.file("kept.rsf")), 0u);
    const std::string kept = ReadWholeFile(dir.file("kept.rsf"));
    EXPECT_EQ(transfer.Save(dir.file("kept.rsf"), true), SAVED_WRITE_FAILED);
    EXPECT_TRUE(ReadWholeFile(dir.file("kept.rsf")) == kept);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

    {
        // Writes beyond 4 KiB fail with EFBIG instead of ending the process.
        const auto old = std::signal(SIGXFSZ, SIG_IGN);
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        rlimit small = saved;
        small.rlim_cur = 4096;
        ::setrlimit(RLIMIT_FSIZE, &small);
        const std::uint64_t code = transfer.Save(dir.file("limited.rsf"));
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, old);
        EXPECT_EQ(code, SAVED_WRITE_FAILED);
        EXPECT_FALSE(fs::exists(dir.file("limited.rsf")));
    }
    {
        // Room for all but the save's very last byte.
        ASSERT_EQ(transfer.Save(dir.file("whole.rsf")), 0u);
        const auto old = std::signal(SIGXFSZ, SIG_IGN);
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        rlimit small = saved;
        small.rlim_cur = fs::file_size(dir.file("whole.rsf")) - 1;
        ::setrlimit(RLIMIT_FSIZE, &small);
        const std::uint64_t code = transfer.Save(dir.file("last.rsf"));
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, old);
        EXPECT_EQ(code, SAVED_WRITE_FAILED);
        EXPECT_FALSE(fs::exists(dir.file("last.rsf")));
    }

    if (::geteuid() != 0) GTEST_SKIP() << "a full tmpfs needs root to mount";
    TempDir mnt;
    ASSERT_EQ(::mount("tmpfs", mnt.path().c_str(), "tmpfs", 0, "size=64k"), 0);
    struct Unmount {
        std::string at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{mnt.path()};
    RunCommand("dd if=/dev/zero of='" + mnt.file("fill") + "' bs=4k count=15 2>/dev/null");
    EXPECT_EQ(transfer.Save(mnt.file("full.rsf")), SAVED_WRITE_FAILED);
    EXPECT_FALSE(fs::exists(mnt.file("full.rsf")));
}

// The saved fat_32 file cut at 300 offsets and with 300 single-byte changes,
// read and replayed directly: every cut gives a code (8 once it falls in the
// trees), every change a code, also one in the Checksums frame's GUID (the
// header says the save has checksums), and none hangs.
TEST_F(SavedScanEndToEnd, DamagedFilesGiveACodeAndNeverHang) {
    Attach({FixtureFile("fat_32", "fat_32.img")});
    ASSERT_TRUE(scan.Scan(0, 0));
    TempDir dir;
    const std::string saved = dir.file("fat.rsf");
    ASSERT_EQ(transfer.Save(saved), 0u);
    std::string bytes;
    {
        std::ifstream in(saved, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    ASSERT_EQ(LoadDirect(saved), 0u);
    const std::size_t trees = TreesFrameOffset(bytes);
    ASSERT_GT(trees, 180u);
    ASSERT_LT(trees, bytes.size());

    auto run = std::async(std::launch::async, [&] {
        const std::string damaged = dir.file("damaged.rsf");
        std::mt19937 random(28);
        for (int i = 0; i < 300; ++i) {
            const std::size_t at = static_cast<std::size_t>(i) * bytes.size() / 300;
            WriteFile(damaged, bytes.substr(0, at));
            const std::uint32_t code = LoadDirect(damaged);
            EXPECT_NE(code, 0u) << "cut at " << at;
            if (at >= trees) {
                EXPECT_EQ(code, SAVED_DAMAGED) << "cut at " << at;
            }
        }
        const std::string sumsGuid(reinterpret_cast<const char*>(_frChecksums.bytes), 16);
        const std::size_t sumsAt = bytes.rfind(sumsGuid);
        ASSERT_NE(sumsAt, std::string::npos);
        for (int i = 0; i < 300; ++i) {
            std::string changed = bytes;
            const std::size_t at = i == 0 ? sumsAt : random() % changed.size();
            changed[at] = static_cast<char>(changed[at] ^ (1 + random() % 255));
            WriteFile(damaged, changed);
            const std::uint32_t code = LoadDirect(damaged);
            EXPECT_NE(code, 0u) << "change at " << at;
            if (at >= sumsAt && at < sumsAt + 16) {
                EXPECT_EQ(code, SAVED_DAMAGED) << "change at " << at;
            }
        }
    });
    if (run.wait_for(std::chrono::minutes(10)) != std::future_status::ready) {
        ADD_FAILURE() << "a damaged file hangs the load";
        std::abort();
    }
}

TEST(SaveFileName, NameAndLocalTime) {
    std::tm t{};
    t.tm_year = 124, t.tm_mon = 2, t.tm_mday = 3, t.tm_hour = 14, t.tm_min = 5, t.tm_sec = 9;
    EXPECT_EQ(FormatSaveFileName("Photos", t).toStdString(), "Photos_03-03-2024 at 14_05_09");
    EXPECT_EQ(FormatSaveFileName("a/b\x01\tc", t).toStdString(), "a-bc_03-03-2024 at 14_05_09");
    EXPECT_EQ(FormatSaveFileName(nullptr, t).toStdString(), "Untitled_03-03-2024 at 14_05_09");
}

} // namespace
