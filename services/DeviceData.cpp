#include "services/DeviceData.h"

#include "engine/enumeration/EnumDevice.h"
#include "engine/include/StorageDevice.h"
#include "engine/utility/CatchExeception.h"
#include "platform/MainThread.h"
#include "platform/Threads.h"
#include "services/UIOperation.h"
#include "services/UIPublic.h"

#include <atomic>
#include <cstring>
#include <thread>

namespace {

// C12A7328-F81F-11D2-BA4B-00A0C93EC93B and 426F6F74-0000-11AA-AA11-00306543ECAC,
// as the enumeration stores GPT type GUIDs.
const _GUID kEfiSystemPartition{0xC12A7328, 0xF81F, 0x11D2, {0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B}};
const _GUID kAppleBootPartition{0x426F6F74, 0x0000, 0x11AA, {0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC}};

CCollectDiskDeviceInfoStruct* DiskInfoOf(IStorageDevice* device) {
    if (!device) return nullptr;
    auto* data = dynamic_cast<IDiskDeviceData*>(device->GetPrivateData());
    return data ? data->GetDiskInfo() : nullptr;
}

// The devices a counted-array query lists, in its order; empty on failure.
template <class Query>
std::vector<IStorageDevice*> ListDevices(Query query) {
    int count = 0;
    if (IsFailure(query(nullptr, count)) || count <= 0) return {};
    std::vector<IStorageDevice*> devices(static_cast<std::size_t>(count), nullptr);
    if (IsFailure(query(devices.data(), count))) return {};
    devices.resize(static_cast<std::size_t>(std::max(0, std::min(count, static_cast<int>(devices.size())))));
    return devices;
}

} // namespace

namespace {
std::atomic<VXUIDeviceData*> g_installedDevices{nullptr};
}

VXUIDeviceData& VXUIDeviceData::instance() {
    if (VXUIDeviceData* installed = g_installedDevices.load()) return *installed;
    static VXUIDeviceData* const list = new VXUIDeviceData(CreateEnumDeviceEx());
    return *list;
}

void VXUIDeviceData::install(VXUIDeviceData* replacement) { g_installedDevices.store(replacement); }

VXUIDeviceData::VXUIDeviceData(IEnumDeviceEx* enumerator) : m_enumerator(enumerator) {}

VXUIDeviceData::~VXUIDeviceData() = default;

void VXUIDeviceData::SetWaitFunction(WaitFn wait) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_wait = std::move(wait);
}

void VXUIDeviceData::SetPostFunction(PostFn post) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_post = std::move(post);
}

void VXUIDeviceData::Post(const std::string& key) {
    PostFn post;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        post = m_post;
    }
    if (post)
        post(key);
    else
        VXUIPublic::NotifyMainThread(key);
}

int VXUIDeviceData::GetInitState() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_state;
}

bool VXUIDeviceData::InitDeviceInfo() {
    std::lock_guard<std::mutex> enumerating(m_enumMutex);
    return Enumerate();
}

bool VXUIDeviceData::Listing::Holds(IStorageDevice* device) const {
    if (!device) return false;
    if (volumes.count(device)) return true;
    for (const auto& [disk, list] : volumes)
        for (IStorageDevice* v : list)
            if (v == device) return true;
    return false;
}

void VXUIDeviceData::Publish(ListingRef listing) {
    std::erase_if(m_earlier, [](const std::weak_ptr<const Listing>& l) { return l.expired(); });
    if (m_listing->devices) m_earlier.push_back(m_listing);
    m_listing = std::move(listing);
}

VXUIDeviceData::ListingRef VXUIDeviceData::ListingOf(IStorageDevice* device) const {
    if (!device || m_listing->Holds(device)) return m_listing;
    for (const auto& earlier : m_earlier)
        if (ListingRef l = earlier.lock(); l && l->Holds(device)) return l;
    return m_listing;
}

bool VXUIDeviceData::Enumerate() {
    // An enumerator whose Init frees the devices it listed before: nothing
    // may point at them any more. One that keeps them for their holders
    // leaves the old list standing until the new one replaces it.
    const bool held = m_enumerator && m_enumerator->HoldDevices();
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        if (!held) Publish(std::make_shared<const Listing>());
        m_state = kEnumerating;
    }
    if (!m_enumerator) return false;
    const ResultCode rc = m_enumerator->Init();
    if (IsFailure(rc)) {
        CatchExeception::WriteLog("device enumeration failed: 0x%llx\n", static_cast<unsigned long long>(rc));
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        Publish(std::make_shared<const Listing>());
        return false;
    }
    ListingRef listing = BuildListing();
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Publish(std::move(listing));
    m_state = kDone;
    return true;
}

VXUIDeviceData::ListingRef VXUIDeviceData::BuildListing() const {
    IEnumDeviceEx* e = m_enumerator;
    auto listing = std::make_shared<Listing>();
    listing->devices = e->HoldDevices();
    const std::vector<IStorageDevice*> disks =
        ListDevices([e](IStorageDevice** array, int& count) { return e->EnumDiskDevice(array, count); });
    std::uint32_t index = 0;
    for (IStorageDevice* disk : disks) {
        if (!disk) continue;
        listing->disks[index++] = disk;
        const std::vector<IStorageDevice*> volumes = ListDevices(
            [e, disk](IStorageDevice** array, int& count) { return e->EnumVolumeDevice(disk, array, count); });
        listing->volumes[disk] = std::list<IStorageDevice*>(volumes.begin(), volumes.end());
    }
    return listing;
}

void VXUIDeviceData::Clear() {
    std::lock_guard<std::mutex> enumerating(m_enumMutex);
    ClearLocked();
}

void VXUIDeviceData::ClearLocked() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (m_state != kDone) return;
    if (m_enumerator) m_enumerator->Uninit();
    Publish(std::make_shared<const Listing>());
}

bool VXUIDeviceData::EnumerateWithRetry() {
    std::lock_guard<std::mutex> enumerating(m_enumMutex);
    if (Enumerate()) return true;
    return Enumerate();
}

void VXUIDeviceData::NotifyAfterInit(const std::string& key) {
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        if (m_refreshing) {
            // The list is being read again: its key comes once it stands.
            m_whenListed.push_back([this, key] { Post(key); });
            return;
        }
        if (m_background) {
            m_waiting.push_back(key);
            return;
        }
        if (m_state == kDone) {
            Post(key);
            return;
        }
        // Not started, or an earlier attempt failed: enumerate (again).
        m_background = true;
        m_waiting.push_back(key);
    }
    auto work = [this] {
        EnumerateWithRetry();
        std::vector<std::string> keys;
        {
            std::lock_guard<std::recursive_mutex> lock(m_mutex);
            keys.swap(m_waiting);
            m_background = false;
        }
        for (const std::string& k : keys) Post(k);
        RunWhenListed();
    };
    if (!salvor::platform::startDetachedThread(work, 0, "salvor-devices")) {
        CatchExeception::WriteLog("no thread for the device enumeration; enumerating here\n");
        work(); // the posts are queued, so they still come after this call
    }
}

bool VXUIDeviceData::RefreshDeviceInfo(VXUIOperation& scan) {
    scan.StopOperation(1);
    return WaitAndRelist(scan);
}

bool VXUIDeviceData::WaitAndRelist(VXUIOperation& scan) {
    WaitFn wait;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        wait = m_wait;
    }
    for (int step = 0; step < kRefreshWaitSteps && !scan.IsOperationExit(); ++step) {
        if (wait)
            wait(kRefreshWaitStep);
        else
            std::this_thread::sleep_for(kRefreshWaitStep);
    }
    if (!scan.IsOperationExit()) {
        CatchExeception::WriteLog("the scan did not stop; the device list is kept\n");
        return false;
    }
    std::lock_guard<std::mutex> enumerating(m_enumMutex);
    // Its devices are let go first unless the enumerator keeps them for
    // their holders: then the old list stands until the new one replaces it.
    if (!m_enumerator || !m_enumerator->HoldDevices()) ClearLocked();
    if (Enumerate()) return true;
    return Enumerate();
}

void VXUIDeviceData::RefreshInBackground(VXUIOperation& scan, std::function<void(bool)> done) {
    scan.StopOperation(1);
    std::vector<std::function<void(bool)>> first;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        if (m_refreshing) {
            // The listing under way may have read the devices before this
            // change: one more follows it, for every request made meanwhile.
            if (done) m_refreshDone.push_back(std::move(done));
            m_refreshAgain = true;
            return;
        }
        if (done) first.push_back(std::move(done));
        m_refreshing = true;
    }
    auto work = [this, &scan, first = std::move(first)]() mutable {
        for (std::vector<std::function<void(bool)>> done = std::move(first);;) {
            // Each listing answers the requests made before it began, when
            // it ends, also while more follow it.
            const bool listed = WaitAndRelist(scan);
            bool again = false;
            {
                std::lock_guard<std::recursive_mutex> lock(m_mutex);
                again = m_refreshAgain;
                if (!again) m_refreshing = false;
            }
            if (!done.empty())
                salvor::platform::postToMainThread([done = std::move(done), listed] {
                    for (const auto& fn : done) fn(listed);
                });
            RunWhenListed(true);
            if (!again) break;
            std::lock_guard<std::recursive_mutex> lock(m_mutex);
            done.clear();
            done.swap(m_refreshDone);
            m_refreshAgain = false;
        }
    };
    if (!salvor::platform::startDetachedThread(work, 0, "salvor-devices")) {
        CatchExeception::WriteLog("no thread for the device refresh; listing here\n");
        work();
    }
}

bool VXUIDeviceData::IsListing() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_background || m_refreshing;
}

void VXUIDeviceData::WhenListed(std::function<void()> fn) {
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        m_whenListed.push_back(std::move(fn));
    }
    RunWhenListed();
}

void VXUIDeviceData::RunWhenListed(bool ended) {
    std::vector<std::function<void()>> calls;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        if (!ended && (m_background || m_refreshing)) return;
        calls.swap(m_whenListed);
    }
    if (calls.empty()) return;
    salvor::platform::postToMainThread([calls = std::move(calls)] {
        for (const auto& fn : calls) fn();
    });
}

std::string VXUIDeviceData::Identity(IStorageDevice* device) {
    const auto text = [](const char* field, std::size_t size) { return std::string(field, strnlen(field, size)); };
    if (const CCollectDiskDeviceInfoStruct* d = DiskInfoOf(device))
        return text(d->bsdName, sizeof d->bsdName) + "|" + std::to_string(d->deviceId) + "|" +
               text(d->registryName, sizeof d->registryName) + "|" + std::to_string(d->sectorSize) + "x" +
               std::to_string(d->totalSectors);
    const CCollectedVolumeDeviceInfoStruct* v = GetVolumeInfo(device);
    if (!v || v->disk == device) return {};
    const std::string disk = Identity(v->disk);
    if (disk.empty()) return {};
    return disk + "|" + std::to_string(v->startSector) + "+" + std::to_string(v->totalSectors) + "#" +
           std::to_string(v->partitionNumber);
}

IStorageDevice* VXUIDeviceData::GetStorageByIdentity(const std::string& identity) const {
    if (identity.empty()) return nullptr;
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    for (const auto& [disk, volumes] : m_listing->volumes) {
        if (Identity(disk) == identity) return disk;
        for (IStorageDevice* volume : volumes)
            if (Identity(volume) == identity) return volume;
    }
    return nullptr;
}

bool VXUIDeviceData::KeepsDevices() const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_listing->devices != nullptr;
}

std::shared_ptr<IStorageDevice> VXUIDeviceData::Share(IStorageDevice* device) const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    const ListingRef listing = ListingOf(device);
    if (!listing->Holds(device)) return nullptr;
    return std::shared_ptr<IStorageDevice>(listing, device);
}

std::shared_ptr<IStorageDevice> VXUIDeviceData::ShareStorageByDiskVolumeIndex(int disk, int volume) const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return Share(GetStorageByDiskVolumeIndex(disk, volume));
}

std::shared_ptr<const void> VXUIDeviceData::GetAllDeviceInfo(std::list<_DiskVolumeData>& out) const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!m_enumerator) return m_listing;
    for (const auto& [index, disk] : m_listing->disks) {
        _DiskVolumeData record;
        if (!GetDiskDataByStorage(disk, record)) continue;
        GetDiskVolumeInfo(disk, record.children);
        out.push_back(std::move(record));
    }
    return m_listing;
}

int VXUIDeviceData::GetDiskDataByStorage(IStorageDevice* disk, _DiskVolumeData& out) const {
    if (!GetDiskDataByDiskInfo(DiskInfoOf(disk), out)) return 0;
    out.canOpen = disk->IsPermitted() ? 1 : 0;
    out.diskIndex = GetDiskIndexByStorage(disk);
    out.identity = Identity(disk);
    return 1;
}

int VXUIDeviceData::GetDiskDataByDiskInfo(const CCollectDiskDeviceInfoStruct* info, _DiskVolumeData& out) {
    if (!info || info->kind != 0) return 0;
    out.name = info->registryName;
    out.devicePath = info->bsdName;
    out.size = static_cast<std::uint64_t>(info->sectorSize) * static_cast<std::uint64_t>(info->totalSectors);
    out.used = 0;
    out.isDmg = info->busType == BUS_VIRTUAL ? 1 : 0;
    out.isUsb = info->busType == BUS_USB ? 1 : 0;
    return 1;
}

void VXUIDeviceData::GetDiskVolumeInfo(IStorageDevice* disk, std::list<_DiskVolumeData>& out) const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    const ListingRef listing = ListingOf(disk);
    const auto it = listing->volumes.find(disk);
    if (it == listing->volumes.end()) return;
    for (IStorageDevice* volume : it->second) {
        _DiskVolumeData record;
        if (!volume) continue;
        record.canOpen = volume->IsPermitted() ? 1 : 0;
        if (GetVolumeDataByStorage(volume, record)) out.push_back(std::move(record));
    }
}

int VXUIDeviceData::GetVolumeDataByStorage(IStorageDevice* volume, _DiskVolumeData& out) const {
    if (!GetVolumeDataByVolumeInfo(GetVolumeInfo(volume), out)) return 0;
    IStorageDevice* disk = GetDiskStorageByVolumeStorage(volume);
    out.diskIndex = GetDiskIndexByStorage(disk);
    out.volumeIndex = GetVolumeIndexByStorage(disk, volume);
    out.identity = Identity(volume);
    return 1;
}

int VXUIDeviceData::GetVolumeDataByVolumeInfo(const CCollectedVolumeDeviceInfoStruct* info, _DiskVolumeData& out) {
    if (!info || info->kind != 0 || !IsSupportVolume(info)) return 0;
    // A volume made from a partition entry has no volume name, only the label
    // its file system carries (the name the results tree shows too).
    const bool labelled = std::memchr(info->label, 0, sizeof info->label) != nullptr && info->label[0] != 0;
    out.name = info->volumeName[0] || !labelled ? info->volumeName : info->label;
    out.size = static_cast<std::uint64_t>(info->sectorSize) * static_cast<std::uint64_t>(info->totalSectors);
    out.used = 0;
    out.fileSystem = info->fileSystemType;
    return 1;
}

bool VXUIDeviceData::IsSupportVolume(const CCollectedVolumeDeviceInfoStruct* info) {
    if (!info) return true;
    const CCollectDiskDeviceInfoStruct* disk = DiskInfoOf(info->disk);
    if (!disk) return true;
    switch (disk->partitionScheme) {
    case PARTITION_SCHEME_APM: {
        const std::size_t n = sizeof info->contentType;
        return std::strncmp(info->contentType, "Apple_partition_map", n) != 0 &&
               std::strncmp(info->contentType, "Apple_Free", n) != 0;
    }
    case PARTITION_SCHEME_GPT:
        return !(info->typeGuid == kEfiSystemPartition) && !(info->typeGuid == kAppleBootPartition);
    default:
        return true;
    }
}

CCollectedVolumeDeviceInfoStruct* VXUIDeviceData::GetVolumeInfo(IStorageDevice* device) {
    if (!device) return nullptr;
    auto* data = dynamic_cast<IVolumeDeviceData*>(device->GetPrivateData());
    return data ? data->GetVolumeInfo() : nullptr;
}

bool VXUIDeviceData::IsVolumeStorageSupported(IStorageDevice* device) {
    return IsSupportVolume(GetVolumeInfo(device));
}

int VXUIDeviceData::IsDiskStorage(IStorageDevice* device) const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return device && ListingOf(device)->volumes.count(device) ? 1 : 0;
}

IStorageDevice* VXUIDeviceData::GetStorageByDiskVolumeIndex(int disk, int volume) const {
    if (disk == -1) return nullptr;
    IStorageDevice* d = GetDiskStorageByIndex(disk);
    if (volume == -1) return d;
    return GetVolumeStorageByIndex(d, volume);
}

IStorageDevice* VXUIDeviceData::GetDiskStorageByIndex(int index) const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (index < 0) return nullptr;
    const auto it = m_listing->disks.find(static_cast<std::uint32_t>(index));
    return it == m_listing->disks.end() ? nullptr : it->second;
}

IStorageDevice* VXUIDeviceData::GetVolumeStorageByIndex(IStorageDevice* disk, int index) const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!disk || index < 0) return nullptr;
    const auto it = m_listing->volumes.find(disk);
    if (it == m_listing->volumes.end()) return nullptr;
    int i = 0;
    for (IStorageDevice* volume : it->second)
        if (i++ == index) return volume;
    return nullptr;
}

int VXUIDeviceData::GetDiskIndexByStorage(IStorageDevice* disk) const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!disk) return -1;
    for (const auto& [index, d] : m_listing->disks)
        if (d == disk) return static_cast<int>(index);
    return -1;
}

IStorageDevice* VXUIDeviceData::GetDiskStorageByVolumeStorage(IStorageDevice* volume) const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!volume) return nullptr;
    for (const auto& [disk, volumes] : ListingOf(volume)->volumes)
        for (IStorageDevice* v : volumes)
            if (v == volume) return disk;
    return nullptr;
}

int VXUIDeviceData::GetVolumeIndexByStorage(IStorageDevice* disk, IStorageDevice* volume) const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    const auto it = m_listing->volumes.find(disk);
    if (!volume || it == m_listing->volumes.end()) return -1;
    int i = 0;
    for (IStorageDevice* v : it->second) {
        if (v == volume) return i;
        ++i;
    }
    return -1;
}

bool VXUIDeviceData::GetDiskVolumeIndexByStorage(IStorageDevice* device, int& disk, int& volume) const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    disk = -1;
    volume = -1;
    if (!m_listing->Holds(device)) return false;
    if (m_listing->volumes.count(device)) {
        disk = GetDiskIndexByStorage(device);
        return true;
    }
    IStorageDevice* d = GetDiskStorageByVolumeStorage(device);
    if (!d) return false;
    disk = GetDiskIndexByStorage(d);
    volume = GetVolumeIndexByStorage(d, device);
    return true;
}

void VXUIDeviceData::GetDiskVolumeStorage(IStorageDevice* disk, std::list<IStorageDevice*>& out) const {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    const ListingRef listing = ListingOf(disk);
    const auto it = listing->volumes.find(disk);
    if (it != listing->volumes.end()) out = it->second;
}

std::vector<CDeviceUse> VXUIDeviceData::HoldOpen(IStorageDevice* device) const {
    std::vector<CDeviceUse> held;
    if (!device) return held;
    std::list<IStorageDevice*> volumes;
    GetDiskVolumeStorage(device, volumes);
    held.reserve(volumes.size() + 1);
    held.emplace_back(device);
    for (IStorageDevice* volume : volumes)
        held.emplace_back(volume);
    return held;
}
