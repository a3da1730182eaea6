#pragma once
// The device model of the windows: the disks the engine's enumerator lists,
// numbered in its order, with the volumes worth scanning, as flat records; and
// the mapping between (disk index, volume index) pairs and device objects.
#include "engine/device/DeviceUse.h"
#include "engine/include/DeviceRecords.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class IEnumDeviceEx;
class IStorageDevice;
class VXUIOperation;

// One listed disk or volume. The texts point into the enumerator's records
// and stay valid while the device list stands.
struct _DiskVolumeData {
    const char* name = nullptr;
    const char* devicePath = nullptr; // disks only
    std::uint64_t size = 0;           // bytes
    std::uint64_t used = 0;           // always 0
    std::int32_t diskIndex = -1;
    std::int32_t volumeIndex = -1; // -1 for a disk
    std::uint32_t fileSystem = 0xFFFFFFFF; // volumes: the kind (0 FAT12 … 10 unknown)
    std::uint32_t isDmg = 0;
    std::uint32_t isUsb = 0;
    std::uint32_t canOpen = 1;
    std::list<_DiskVolumeData> children; // a disk's listed volumes
    std::string identity; // the device across listings (VXUIDeviceData::Identity)
};

class VXUIDeviceData {
public:
    enum InitState : int { kNotStarted = 0, kEnumerating = 1, kDone = 2 };

    // Waits one step of a refresh for the scan to end (1 s in the program).
    using WaitFn = std::function<void(std::chrono::milliseconds)>;
    // Posts a finished enumeration's key to the windows.
    using PostFn = std::function<void(const std::string&)>;

    // The installed device list, else the one over the system's enumerator;
    // never destroyed (a scan may still read its devices while the process
    // exits).
    static VXUIDeviceData& instance();
    // Installs a replacement (borrowed; it must outlive its use), as tests
    // replace the facade; null puts the system's list back.
    static void install(VXUIDeviceData* replacement);

    // Over any enumerator (tests); the enumerator is borrowed.
    explicit VXUIDeviceData(IEnumDeviceEx* enumerator);
    virtual ~VXUIDeviceData();
    VXUIDeviceData(const VXUIDeviceData&) = delete;
    VXUIDeviceData& operator=(const VXUIDeviceData&) = delete;

    // Enumerates on the calling thread: state 1, then 2 when the enumerator's
    // Init succeeds (the maps are rebuilt then); a failed Init leaves the
    // lists empty and the state 1. Answers true on success. An enumerator
    // that keeps its devices for their holders (HoldDevices) leaves the old
    // list standing until the new one replaces it; with any other the list
    // is empty while its Init runs.
    bool InitDeviceInfo();
    // In state 2: lets the enumerator's devices go and empties the maps.
    void Clear();
    int GetInitState() const;

    // One post of key for this request once a list stands: at once (queued)
    // when the list is ready; otherwise after an enumeration on a thread of
    // its own, which tries Init a second time when the first fails and posts
    // in any case. Requests made while that enumeration runs are posted when
    // it ends. The post never happens inside the call.
    void NotifyAfterInit(const std::string& key);
    // Whether the devices of the current listing stay for their holders (a
    // scan, a load) when the devices are listed again.
    bool KeepsDevices() const;

    // Stops the scan (skipping its trees) and waits up to 30 steps of 1 s for
    // it to end; then lists the devices again on the calling thread. When the
    // scan is still running after the wait the old list is kept (its devices
    // are in use) and the answer is false.
    bool RefreshDeviceInfo(VXUIOperation& scan);

    // The same refresh on a thread of its own, so that the window thread
    // never waits for the devices to be read: the scan is asked to stop
    // here, and the thread waits for it as RefreshDeviceInfo does. Requests
    // made while one runs are merged into one more listing after it. done
    // runs on the main thread once a listing begun after the request stands
    // (true when it was listed anew), also while more follow: a burst of
    // media events never holds the windows' list back until it is over.
    void RefreshInBackground(VXUIOperation& scan, std::function<void(bool)> done);
    // A listing on a thread is under way (a refresh, or the first one).
    bool IsListing() const;
    // Runs fn on the main thread once the listing under way has ended (at
    // once when none is); never inside the call.
    void WhenListed(std::function<void()> fn);

    // Names a disk or volume across listings, whose indices change as other
    // media come and go: a disk by its kernel name, device number, name and
    // size; a volume by its disk's identity, its place and its size. "" for
    // a device without a record.
    static std::string Identity(IStorageDevice* device);
    // The listed disk or volume of that identity, or null.
    IStorageDevice* GetStorageByIdentity(const std::string& identity) const;

    // The device, kept alive with the listing it belongs to for as long as
    // the answer is held: listing the devices again frees the old device
    // objects only once nothing holds them. Looked for in the current list,
    // then in earlier ones still held; null when no listing holds it.
    std::shared_ptr<IStorageDevice> Share(IStorageDevice* device) const;
    // GetStorageByDiskVolumeIndex, held as Share holds it.
    std::shared_ptr<IStorageDevice> ShareStorageByDiskVolumeIndex(int disk, int volume) const;

    // The records' texts point into the listing the answer holds.
    std::shared_ptr<const void> GetAllDeviceInfo(std::list<_DiskVolumeData>& out) const;
    int GetDiskDataByStorage(IStorageDevice* disk, _DiskVolumeData& out) const;
    static int GetDiskDataByDiskInfo(const CCollectDiskDeviceInfoStruct* info, _DiskVolumeData& out);
    void GetDiskVolumeInfo(IStorageDevice* disk, std::list<_DiskVolumeData>& out) const;
    int GetVolumeDataByStorage(IStorageDevice* volume, _DiskVolumeData& out) const;
    static int GetVolumeDataByVolumeInfo(const CCollectedVolumeDeviceInfoStruct* info, _DiskVolumeData& out);

    // Partition maps, free space, EFI system and Apple boot partitions are
    // not worth scanning; a volume without a record counts as supported.
    static bool IsSupportVolume(const CCollectedVolumeDeviceInfoStruct* info);
    static CCollectedVolumeDeviceInfoStruct* GetVolumeInfo(IStorageDevice* device);
    static bool IsVolumeStorageSupported(IStorageDevice* device);

    // The questions by device below answer from the listing that holds the
    // device (an earlier one while it is held); those by index from the
    // current one.
    int IsDiskStorage(IStorageDevice* device) const;
    IStorageDevice* GetStorageByDiskVolumeIndex(int disk, int volume) const;
    IStorageDevice* GetDiskStorageByIndex(int index) const;
    IStorageDevice* GetVolumeStorageByIndex(IStorageDevice* disk, int index) const;
    int GetDiskIndexByStorage(IStorageDevice* disk) const;
    IStorageDevice* GetDiskStorageByVolumeStorage(IStorageDevice* volume) const;
    int GetVolumeIndexByStorage(IStorageDevice* disk, IStorageDevice* volume) const;
    bool GetDiskVolumeIndexByStorage(IStorageDevice* device, int& disk, int& volume) const;
    void GetDiskVolumeStorage(IStorageDevice* disk, std::list<IStorageDevice*>& out) const;
    // Keeps the device, and a disk's volumes with it, open while the answer
    // lives: a scan, a recovery or a preview reads through one descriptor
    // each instead of opening the device for every read.
    std::vector<CDeviceUse> HoldOpen(IStorageDevice* device) const;

    // Tests: the waits of a refresh, and where finished enumerations post.
    void SetWaitFunction(WaitFn wait);
    void SetPostFunction(PostFn post);

    static constexpr int kRefreshWaitSteps = 30;
    static constexpr std::chrono::milliseconds kRefreshWaitStep{1000};

private:
    // One enumeration's maps, and what keeps their devices alive.
    struct Listing {
        std::shared_ptr<const void> devices; // the enumerator's HoldDevices
        std::map<std::uint32_t, IStorageDevice*> disks;
        std::map<IStorageDevice*, std::list<IStorageDevice*>> volumes;
        bool Holds(IStorageDevice* device) const;
    };
    using ListingRef = std::shared_ptr<const Listing>;

    bool Enumerate(); // with m_enumMutex held
    ListingRef BuildListing() const; // with m_enumMutex held
    void ClearLocked(); // with m_enumMutex held
    void Publish(ListingRef listing); // with m_mutex held
    // The listing that holds the device: the current one, else an earlier
    // one still held, else the current one. With m_mutex held.
    ListingRef ListingOf(IStorageDevice* device) const;
    bool EnumerateWithRetry();
    bool WaitAndRelist(VXUIOperation& scan);
    void Post(const std::string& key);
    // Queues the waiting calls: when no listing runs, or (ended) when one
    // has just ended.
    void RunWhenListed(bool ended = false);

    IEnumDeviceEx* m_enumerator;
    // Serialises enumerations and clears: a background enumeration and a
    // refresh never rebuild the maps at the same time.
    std::mutex m_enumMutex;
    // Guards the listings, the state and the pending requests; held only briefly.
    mutable std::recursive_mutex m_mutex;
    ListingRef m_listing = std::make_shared<const Listing>();
    // Earlier listings, alive while something holds one of their devices.
    std::vector<std::weak_ptr<const Listing>> m_earlier;
    int m_state = kNotStarted;
    bool m_background = false; // a background enumeration is under way
    std::vector<std::string> m_waiting; // keys to post when it ends
    bool m_refreshing = false, m_refreshAgain = false; // a background refresh, and one more after it
    std::vector<std::function<void(bool)>> m_refreshDone;
    std::vector<std::function<void()>> m_whenListed;
    WaitFn m_wait;
    PostFn m_post;
};
