#include "engine/enumeration/EnumDevice.h"

#include "engine/device/StorageDevices.h"
#include "engine/enumeration/DeviceSort.h"
#include "engine/utility/CatchExeception.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

using namespace enum_codes;

namespace {
// The counted-array rules shared by the three queries.
ResultCode CopyOut(const DeviceList& list, IStorageDevice** array, int& count, ResultCode tooSmall,
                   bool zeroIsTooSmall) {
    if (!array) {
        count = static_cast<int>(list.size());
        return 0;
    }
    if (count == 0 && !zeroIsTooSmall)
        return 0;
    if (count < 0 || static_cast<std::size_t>(count) < list.size())
        return tooSmall;
    int i = 0;
    for (IStorageDevice* d : list)
        array[i++] = d;
    count = i;
    return 0;
}

} // namespace

CEnumDeviceEx::~CEnumDeviceEx() { ReleaseAll(); }

CEnumDeviceEx::Listed::~Listed() {
    for (auto& [disk, list] : volumes)
        ReleaseDevList(list);
    for (auto& [disk, list] : partitions)
        ReleaseDevList(list);
    ReleaseDevList(disks);
}

void CEnumDeviceEx::ReleaseAll() {
    // A holder of the old devices keeps them; the next Init lists new ones.
    m_listed = std::make_shared<Listed>();
    m_enum.reset();
    m_initialised = false;
}

namespace {

// One disk listed on a thread of its own: its device, volumes and partitions.
// Shared by the thread and Init; whoever lets it go last frees the devices
// (Init takes them when the disk answered in time).
struct DiskJob {
    explicit DiskJob(std::string disk) : name(std::move(disk)) {}
    DiskJob(const DiskJob&) = delete;
    DiskJob& operator=(const DiskJob&) = delete;
    ~DiskJob() {
        ReleaseDevList(volumes);
        ReleaseDevList(partitions);
        ReleaseDevList(disks);
    }
    const std::string name;
    DeviceList disks, volumes, partitions;
    bool done = false; // under the lock
};

struct JobBoard {
    std::mutex lock;
    std::condition_variable ended;
    // Disks whose listing still reads them, from an earlier Init too: such a
    // disk is not read again while it does not answer.
    std::set<std::string> reading;
};

JobBoard& Board() {
    static JobBoard* board = new JobBoard; // a late listing thread may outlive the statics
    return *board;
}

std::atomic<long long> g_listingWaitMs{0};

std::chrono::milliseconds ListingWait() {
    const long long set = g_listingWaitMs.load();
    return set > 0 ? std::chrono::milliseconds(set) : CEnumDeviceEx::kListingWait;
}

// Lists one disk (reads failing at once: see CFailFastReads), then lets its
// descriptors go.
void ListDisk(IBlockDeviceFacts& facts, const std::vector<BlockDiskFacts>& listed, const BlockDiskFacts& disk,
              DiskJob& job) {
    CFailFastReads failFast;
    CEnumDevice enumerator(facts);
    enumerator.EnumDiskDevice({disk}, job.disks);
    for (IStorageDevice* device : job.disks) {
        DeviceList volumes;
        enumerator.EnumVolumeDevice(device, listed, volumes);
        enumerator.EnumPartitionDevice(device, job.partitions);
        // The volumes made for partitions without one are made once, here,
        // and stay with the enumerator like every other device it lists.
        std::vector<IStorageDevice*> v(volumes.begin(), volumes.end()),
            p(job.partitions.begin(), job.partitions.end());
        CMergeVolumeAndPartition::MergeAsVolume(job.volumes, v.data(), static_cast<int>(v.size()), p.data(),
                                                static_cast<int>(p.size()));
    }
    // The listing has read what it needs: the devices let their descriptors
    // go, so a detached loop device or a pulled card is not held here. A
    // scan, a recovery or a preview opens its device again while it runs.
    for (IStorageDevice* device : job.disks)
        device->Close();
    for (IStorageDevice* device : job.volumes)
        device->Close();
}

} // namespace

void CEnumDeviceEx::SetListingWait(std::chrono::milliseconds wait) { g_listingWaitMs = wait.count(); }

std::size_t CEnumDeviceEx::DisksStillRead() {
    JobBoard& board = Board();
    std::lock_guard l(board.lock);
    return board.reading.size();
}

ResultCode CEnumDeviceEx::Init() {
    ReleaseAll(); // a second Init starts afresh rather than leaking the first
    m_enum = std::make_unique<CEnumDevice>(m_facts);
    // Every disk's facts are read once for the disks and all their volumes.
    const auto listed = std::make_shared<const std::vector<BlockDiskFacts>>(m_facts.ListDisks());
    // Each disk is read on a thread of its own, and waited for a while: a
    // disk that hangs (a read that does not return, a seek stuck in the
    // driver) never keeps the others from being listed. One that has not
    // answered by then is left out of this listing and said; its thread
    // lets its devices go when it ends.
    JobBoard& board = Board();
    std::vector<std::shared_ptr<DiskJob>> jobs;
    // A disk read past the wait outlives this call, and may outlive the
    // enumerator: the system's facts are copied for the threads (the copy is
    // a few paths); others are borrowed.
    std::shared_ptr<IBlockDeviceFacts> facts;
    if (typeid(m_facts) == typeid(CSysfsBlockDeviceFacts))
        facts = std::make_shared<CSysfsBlockDeviceFacts>(static_cast<const CSysfsBlockDeviceFacts&>(m_facts));
    else
        facts = std::shared_ptr<IBlockDeviceFacts>(&m_facts, [](IBlockDeviceFacts*) {});
    for (const BlockDiskFacts& disk : *listed) {
        if (enum_linux::IsExcludedDisk(disk))
            continue;
        {
            std::lock_guard l(board.lock);
            if (!board.reading.insert(disk.name).second) {
                CatchExeception::WriteLog("device %s still does not answer: not listed\n", disk.name.c_str());
                continue;
            }
        }
        auto job = std::make_shared<DiskJob>(disk.name);
        jobs.push_back(job);
        std::thread([facts, listed, &disk, job] {
            ListDisk(*facts, *listed, disk, *job);
            JobBoard& b = Board();
            std::lock_guard l(b.lock);
            b.reading.erase(job->name);
            job->done = true;
            b.ended.notify_all();
        }).detach();
    }
    const auto deadline = std::chrono::steady_clock::now() + ListingWait();
    Listed& l = *m_listed;
    {
        std::unique_lock lock(board.lock);
        board.ended.wait_until(lock, deadline, [&jobs] {
            return std::all_of(jobs.begin(), jobs.end(), [](const auto& job) { return job->done; });
        });
        for (const auto& job : jobs) {
            if (!job->done) {
                CatchExeception::WriteLog("device %s did not answer within %lld ms: not listed\n",
                                          job->name.c_str(), static_cast<long long>(ListingWait().count()));
                continue;
            }
            for (IStorageDevice* disk : job->disks) {
                l.disks.push_back(disk);
                l.volumes[disk].splice(l.volumes[disk].end(), job->volumes);
                l.partitions[disk].splice(l.partitions[disk].end(), job->partitions);
            }
            job->disks.clear();
        }
    }
    l.disks.sort(CDevListSortAlgorithm());
    if (l.disks.empty()) {
        ReleaseAll();
        return kNoDisk;
    }
    m_initialised = true;
    return 0;
}

ResultCode CEnumDeviceEx::Uninit() {
    if (!m_initialised)
        return kUninitNotInit;
    ReleaseAll();
    return 0;
}

ResultCode CEnumDeviceEx::EnumDiskDevice(IStorageDevice** array, int& count) {
    if (!m_initialised)
        return kDisksNotInit;
    return CopyOut(m_listed->disks, array, count, kDiskArraySmall, false);
}

ResultCode CEnumDeviceEx::PerDisk(const std::map<const IStorageDevice*, DeviceList>& map, const IStorageDevice* disk,
                                  IStorageDevice** array, int& count, const PerDiskCodes& codes) const {
    if (!m_initialised)
        return codes.notInit;
    if (!disk)
        return codes.nullDisk;
    const auto it = map.find(disk);
    if (it == map.end())
        return kUnknownDisk;
    return CopyOut(it->second, array, count, codes.tooSmall, codes.zeroIsTooSmall);
}

ResultCode CEnumDeviceEx::EnumPartitionDevice(const IStorageDevice* disk, IStorageDevice** array, int& count) {
    return PerDisk(m_listed->partitions, disk, array, count, {kPartitionsNotInit, kPartitionsNullDisk, kPartitionArraySmall, false});
}

ResultCode CEnumDeviceEx::EnumVolumeDevice(const IStorageDevice* disk, IStorageDevice** array, int& count) {
    // Here a count of 0 with volumes to give is too small.
    return PerDisk(m_listed->volumes, disk, array, count, {kVolumesNotInit, kVolumesNullDisk, kVolumeArraySmall, true});
}

IEnumDevice* CreateEnumDevice() {
    static CSysfsBlockDeviceFacts facts;
    static CEnumDevice instance(facts);
    return &instance;
}

IEnumDeviceEx* CreateEnumDeviceEx() {
    static CSysfsBlockDeviceFacts facts;
    static CEnumDeviceEx instance(facts);
    return &instance;
}
