#include "services/SavedScans.h"

#include "engine/include/DeviceAgain.h"
#include "engine/include/DeviceRecords.h"
#include "engine/include/FileNode.h"
#include "engine/include/Owned.h"
#include "savedscan/RestoreFileNode.h"
#include "savedscan/SavedVolumeCheck.h"
#include "engine/writer/DataRecovery.h"
#include "services/DeviceData.h"
#include "services/ScanSession.h"
#include "services/SilenceWatch.h"
#include "services/UIRecovery.h"
#include "services/UIScan.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <list>
#include <mutex>
#include <shared_mutex>
#include <tuple>

using SaveRestoreResult::SavedDisk;
using SaveRestoreResult::SaveSource;

namespace {

bool Describe(IStorageDevice* storage, _DiskVolumeData& out) {
    VXUIDeviceData& devices = VXUIDeviceData::instance();
    return devices.IsDiskStorage(storage) ? devices.GetDiskDataByStorage(storage, out) != 0
                                          : devices.GetVolumeDataByStorage(storage, out) != 0;
}

std::string NameOf(const _DiskVolumeData& d) { return d.name ? d.name : ""; }

// The volumes (start and sectors) the device list has on the disk that
// device is or is on.
std::vector<std::pair<long long, unsigned long long>> VolumeExtentsOf(IStorageDevice* device) {
    VXUIDeviceData& devices = VXUIDeviceData::instance();
    IStorageDevice* disk = devices.IsDiskStorage(device) ? device : devices.GetDiskStorageByVolumeStorage(device);
    std::list<IStorageDevice*> volumes;
    if (disk) devices.GetDiskVolumeStorage(disk, volumes);
    std::vector<std::pair<long long, unsigned long long>> extents;
    for (IStorageDevice* volume : volumes)
        if (const CCollectedVolumeDeviceInfoStruct* info = VXUIDeviceData::GetVolumeInfo(volume))
            if (info->startSector >= 0 && info->totalSectors > 0)
                extents.emplace_back(info->startSector, static_cast<unsigned long long>(info->totalSectors));
    return extents;
}

bool SameKind(const _DiskVolumeData& d, const SavedDisk& saved) {
    return static_cast<std::int64_t>(d.size) == saved.size && d.fileSystem == saved.fileSystem;
}

// The session and the read lock over its nodes, held together by a save.
struct HeldSession {
    std::shared_ptr<ScanSession> session;
    std::shared_lock<std::shared_mutex> nodes;
};

std::mutex g_saveMarksLock;
LastSaveMarks g_saveMarks;

std::mutex g_loadDeviceLock;
LastLoadDevice g_loadDevice;
SaveRestoreResult::KeptLeft g_oldSaveLeft;

class CScanRestoreTarget final : public SaveRestoreResult::RestoreScanTarget {
public:
    CScanRestoreTarget(VXUIScan& scan, VXUIRecovery& recovery) : m_scan(scan), m_recovery(recovery) {}

    void HoldEnd(bool hold) override { m_scan.HoldEndForLoad(hold); }
    void Clear() override { m_scan.ClearData(); }
    void OldSaveLeft(const SaveRestoreResult::KeptLeft& left) override {
        const std::lock_guard<std::mutex> lock(g_loadDeviceLock);
        g_oldSaveLeft = left;
    }
    void SavedDevice(const SavedDisk& saved) override {
        const std::lock_guard<std::mutex> lock(g_loadDeviceLock);
        g_loadDevice = {true, saved, false};
    }
    std::vector<IStorageDevice*> FindDevices(const SavedDisk& saved) override {
        std::vector<IStorageDevice*> found = GetFromDiskVolumeData(saved);
        // A device of another name tried and refused is not one "attached
        // under that name": the refusal then says the device is missing.
        bool named = false;
        for (IStorageDevice* device : found) {
            _DiskVolumeData d;
            named = named || (Describe(device, d) && NameOf(d) == saved.name);
        }
        const std::lock_guard<std::mutex> lock(g_loadDeviceLock);
        g_loadDevice.alikeAttached = named;
        return found;
    }
    bool ListAgain() override {
        VXUIDeviceData& devices = VXUIDeviceData::instance();
        // Only where the devices the replays hold outlive their listing.
        if (!devices.KeepsDevices()) return false;
        const auto listed = [&devices] {
            std::list<_DiskVolumeData> disks;
            const std::shared_ptr<const void> listing = devices.GetAllDeviceInfo(disks);
            std::vector<std::tuple<std::string, std::uint64_t, std::uint32_t, std::string>> records;
            for (const _DiskVolumeData& disk : disks) {
                records.emplace_back(NameOf(disk), disk.size, disk.fileSystem, disk.identity);
                for (const _DiskVolumeData& volume : disk.children)
                    records.emplace_back(NameOf(volume), volume.size, volume.fileSystem, volume.identity);
            }
            return records;
        };
        const auto before = listed();
        devices.InitDeviceInfo();
        return listed() != before;
    }
    bool IsDisk(IStorageDevice* device) override { return VXUIDeviceData::instance().IsDiskStorage(device) != 0; }
    std::vector<IStorageDevice*> DiskVolumes(IStorageDevice* volume) override {
        VXUIDeviceData& devices = VXUIDeviceData::instance();
        std::list<IStorageDevice*> volumes;
        devices.GetDiskVolumeStorage(devices.GetDiskStorageByVolumeStorage(volume), volumes);
        return {volumes.begin(), volumes.end()};
    }
    std::vector<std::pair<long long, unsigned long long>> VolumeExtents(IStorageDevice* device) override {
        return VolumeExtentsOf(device);
    }
    std::vector<IStorageDevice*> ListedVolumes(IStorageDevice* device) override {
        VXUIDeviceData& devices = VXUIDeviceData::instance();
        IStorageDevice* disk = devices.IsDiskStorage(device) ? device : devices.GetDiskStorageByVolumeStorage(device);
        std::list<IStorageDevice*> volumes;
        if (disk) devices.GetDiskVolumeStorage(disk, volumes);
        return {volumes.begin(), volumes.end()};
    }
    IStorageDevice* DiskOf(IStorageDevice* volume) override {
        VXUIDeviceData& devices = VXUIDeviceData::instance();
        return devices.IsDiskStorage(volume) ? nullptr : devices.GetDiskStorageByVolumeStorage(volume);
    }
    const CCollectedVolumeDeviceInfoStruct* VolumeInfo(IStorageDevice* device) override {
        return VXUIDeviceData::GetVolumeInfo(device);
    }
    std::vector<ReplayedFiles> Replayed() override {
        std::vector<ReplayedFiles> replayed;
        const std::shared_ptr<ScanSession> session = m_scan.Session();
        if (!session) return replayed;
        for (IFileNode* root : session->Results().HeldRoots()) {
            // Those of a quick replay before this one were its own.
            if (session->FromKeptQuick(root)) continue;
            auto* writer = dynamic_cast<CDataRecovery*>(session->WriterFor(root));
            if (!writer || !writer->Device()) continue;
            ReplayedFiles files;
            files.device = writer->Device();
            files.records = writer->GetSearchedPartition();
            std::deque<IFileNode*> folders{root};
            while (!folders.empty()) {
                IFileNode* folder = folders.front();
                folders.pop_front();
                for (IFileNode* child = folder->GetFirstChild(); child; child = child->GetNextNode())
                    (child->IsDirectory() ? folders.push_back(child) : files.files.push_back(child));
            }
            replayed.push_back(std::move(files));
        }
        return replayed;
    }
    void Replay(IStorageDevice* device, bool deep, RestoreScanSink* sink) override {
        m_scan.SetDeepScan(deep ? 1 : 0);
        m_scan.DoScan(device, sink);
        m_scan.SetOpTreeFinished(1);
    }
    void ReplayBesideQuick(IStorageDevice* device, RestoreScanSink* sink) override {
        m_scan.ListLoadedQuickBeside(true);
        Replay(device, true, sink);
        m_scan.ListLoadedQuickBeside(false);
    }
    void Unfinished(double percent) override { m_scan.MarkLoadedUnfinished(percent); }
    void Loaded(bool ok) override {
        if (!ok) {
            m_scan.RetireResults();
            return;
        }
        // Only the replay the load took reaches the recovery and the windows.
        m_recovery.ResetParam(m_scan.Session());
        m_scan.ShowLoadedResults();
    }

private:
    VXUIScan& m_scan;
    VXUIRecovery& m_recovery;
};

} // namespace

LastSaveMarks LastSaveMarksLeft() {
    const std::lock_guard<std::mutex> lock(g_saveMarksLock);
    return g_saveMarks;
}

LastLoadDevice LastLoadDeviceSeen() {
    const std::lock_guard<std::mutex> lock(g_loadDeviceLock);
    return g_loadDevice;
}

SaveRestoreResult::KeptLeft LastLoadOldSaveLeft() {
    const std::lock_guard<std::mutex> lock(g_loadDeviceLock);
    return g_oldSaveLeft;
}

SavedDisk DescribeSaved(IStorageDevice* storage) {
    SavedDisk disk;
    _DiskVolumeData d;
    if (!storage || !Describe(storage, d)) return disk;
    disk.size = static_cast<std::int64_t>(d.size);
    disk.diskIndex = d.diskIndex;
    disk.volumeIndex = d.volumeIndex;
    disk.fileSystem = d.fileSystem;
    disk.name = NameOf(d);
    return disk;
}

std::vector<IStorageDevice*> GetFromDiskVolumeData(const SavedDisk& saved) {
    VXUIDeviceData& devices = VXUIDeviceData::instance();
    if (devices.GetInitState() != VXUIDeviceData::kDone) devices.InitDeviceInfo();
    std::vector<IStorageDevice*> found;
    const auto add = [&found](IStorageDevice* device) {
        if (device && std::find(found.begin(), found.end(), device) == found.end()) found.push_back(device);
    };
    if (IStorageDevice* at = devices.GetStorageByDiskVolumeIndex(saved.diskIndex, saved.volumeIndex)) {
        _DiskVolumeData d;
        // Index and size alone could name another stick in the same slot.
        if (Describe(at, d) && SameKind(d, saved) && (saved.name.empty() || NameOf(d) == saved.name)) add(at);
    }
    std::list<_DiskVolumeData> disks;
    devices.GetAllDeviceInfo(disks);
    // Those of the saved name first, then those of any other: a volume
    // without a label is named after its device node, which changes from
    // one plugging to the next, and an image copied under another name is
    // the same disk. The load judges each by what it holds.
    for (const bool named : {true, false})
        for (const _DiskVolumeData& disk : disks) {
            if ((NameOf(disk) == saved.name) == named && SameKind(disk, saved))
                add(devices.GetStorageByDiskVolumeIndex(disk.diskIndex, -1));
            for (const _DiskVolumeData& volume : disk.children)
                if ((NameOf(volume) == saved.name) == named && SameKind(volume, saved))
                    add(devices.GetStorageByDiskVolumeIndex(volume.diskIndex, volume.volumeIndex));
        }
    return found;
}

SaveSource MakeSaveSource(VXUIScan& scan) {
    auto held = std::make_shared<HeldSession>();
    held->session = scan.Session();
    // No new scan frees the nodes while they are written.
    held->nodes = held->session->ReadNodes();
    const std::shared_ptr<ScanSession>& session = held->session;
    SaveSource source;
    IStorageDevice* storage = scan.GetSavedStorage();
    // A scan cut short by a silence is saved from its device once it answers
    // again: its volumes and files are marked as a complete scan's are.
    DeviceAnswersAgain(storage);
    source.controllerType = static_cast<std::uint32_t>(scan.GetScanControllerType(storage));
    source.deep = static_cast<std::uint32_t>(scan.IsDeepScan());
    source.unfinished = scan.EndedByDeviceGone();
    source.reachedPercent = source.unfinished ? scan.DeviceGoneAtPercent() : -1;
    source.disk = DescribeSaved(storage);
    source.roots = session->Results().Roots();
    // A deep scan listed beside a quick scan of the device: the quick scan's
    // roots after the deep scan's, for a load to replay each as it was found.
    const auto deepRoots = std::stable_partition(source.roots.begin(), source.roots.end(),
                                                 [&session](IFileNode* root) { return !session->FromKeptQuick(root); });
    if (deepRoots != source.roots.end() && source.deep)
        source.quickRootsFrom = deepRoots - source.roots.begin();
    ScanSession* from = session.get();
    source.partitions = [from](IFileNode* root) {
        auto* concrete = dynamic_cast<CDataRecovery*>(from->WriterFor(root));
        return concrete ? concrete->GetSearchedPartition() : std::vector<CSearchedPartitionInfo*>{};
    };
    // Taken where the writers read: on the device the root's files are on,
    // while its device objects stand (a device list made again frees them).
    // Files sampled once per root, in the order the save writes them.
    auto samplers = std::make_shared<std::map<IFileNode*, CMarkSampler>>();
    source.identity = [from, samplers, partitions = source.partitions](
                          IFileNode* root, const CSearchedPartitionInfo& record, SaveRestoreResult::VolumeMark& mark) {
        if (!from->Storage()) return false;
        IDataRecovery* writer = from->WriterFor(root);
        auto* concrete = dynamic_cast<CDataRecovery*>(writer);
        IStorageDevice* device = concrete ? concrete->Device() : nullptr;
        if (!device || !DeviceAnswersAgain(device)) return false;
        auto it = samplers->find(root);
        if (it == samplers->end()) {
            std::vector<CSearchedPartitionInfo*> records = partitions(root);
            std::erase(records, nullptr);
            it = samplers->emplace(root, CMarkSampler(records.size() < 2)).first;
            std::deque<IFileNode*> folders{root};
            while (!folders.empty()) {
                IFileNode* folder = folders.front();
                folders.pop_front();
                for (IFileNode* child = folder->GetFirstChild(); child; child = child->GetNextNode()) {
                    if (child->IsDirectory()) folders.push_back(child);
                    it->second.Offer(child);
                }
            }
        }
        return MakeVolumeMark(device, record, writer, it->second.Files(record.m_partitionIndex, kMarkSamples), mark);
    };
    // Read as a recovery reads them: the bytes a loaded result recovers are
    // the ones this scan would have.
    source.resident = [from](IFileNode* root, IFileNode* node, std::string& bytes) {
        IDataRecovery* writer = from->WriterFor(root);
        Owned<IFileReader> reader(writer ? writer->SetRecoverNode(node) : nullptr);
        const long long size = node->GetFileSize();
        if (!reader || size <= 0 || size > kMaxResidentBytes) return false;
        bytes.assign(static_cast<std::size_t>(size), '\0');
        std::size_t done = 0;
        while (done < bytes.size()) {
            int error = 0;
            const unsigned got = reader->ReadData(static_cast<long long>(done), bytes.data() + done,
                                                  static_cast<unsigned>(bytes.size() - done), &error);
            if (got == 0 || error != 0) return false;
            done += got;
        }
        return true;
    };
    if (VXUIDeviceData::instance().IsDiskStorage(storage)) source.volumes = VolumeExtentsOf(storage);
    source.rootStart = [from](IFileNode* root) -> long long {
        auto* concrete = dynamic_cast<CDataRecovery*>(from->WriterFor(root));
        IStorageDevice* device = concrete ? concrete->Device() : nullptr;
        if (!device || VXUIDeviceData::instance().IsDiskStorage(device)) return -1;
        const CCollectedVolumeDeviceInfoStruct* info = VXUIDeviceData::GetVolumeInfo(device);
        return info && info->startSector >= 0 ? info->startSector : -1;
    };
    {
        const std::lock_guard<std::mutex> lock(g_saveMarksLock);
        g_saveMarks = {};
    }
    auto silent = std::make_shared<std::atomic<bool>>(false);
    source.content = [from, silent](IFileNode* root, const std::vector<IFileNode*>& nodes,
                                    const std::function<bool()>& goOn, const std::function<void(std::size_t)>& done) {
        IDataRecovery* writer = from->Storage() ? from->WriterFor(root) : nullptr;
        auto* concrete = dynamic_cast<CDataRecovery*>(writer);
        const CSilenceWatch watch(concrete ? concrete->Device() : nullptr, *silent);
        if (concrete) return ReadContentMarks(*concrete, nodes, goOn, done);
        std::vector<std::uint32_t> marks(nodes.size(), 0);
        for (std::size_t i = 0; writer && i < nodes.size() && goOn(); ++i) marks[i] = ContentMark(*writer, nodes[i]);
        return marks;
    };
    // Files left without a mark while the device did not answer are told at
    // the save's end: a load cannot check them against the device.
    source.marked = [silent](std::uint64_t unmarked, std::uint64_t planned) {
        const std::lock_guard<std::mutex> lock(g_saveMarksLock);
        g_saveMarks = {*silent ? unmarked : 0, planned};
    };
    source.hold = std::move(held);
    return source;
}

std::unique_ptr<SaveRestoreResult::RestoreScanTarget> MakeRestoreTarget(VXUIScan& scan, VXUIRecovery& recovery) {
    return std::make_unique<CScanRestoreTarget>(scan, recovery);
}
