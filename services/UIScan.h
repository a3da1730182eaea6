#pragma once
// The scan operation: the one process-wide operation that scans a disk or a
// volume through the engine and receives everything the engine finds. It
// picks the controller type, starts a new session (the previous one goes
// when its last user lets it go), sets the filter's scan type, runs the
// controller with itself as progress sink and node sink, and files every
// found file by type and by date in the session's index for the windows'
// trees. It also keeps the name search over the current session's files.
#include "engine/include/DataRecovery.h"
#include "engine/include/RecoveryController.h"
#include "engine/include/ResultCode.h"
#include "engine/include/SearchInterfaces.h"
#include "services/ScanSession.h"
#include "services/UIOperation.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

class IFileNode;
class IStorageDevice;
class RestoreScanSink;
struct CCollectedVolumeDeviceInfoStruct;

namespace ScanResult {
inline constexpr ResultCode NoDevice = 0x104003100000001ULL;
inline constexpr ResultCode NotStarted = 0x104012400000001ULL;
} // namespace ScanResult

class VXUIScan : public VXUIOperation, public IDrirectoryTree {
public:
    using FileList = ResultIndex::FileList;
    using TypeMap = ResultIndex::TypeMap;
    using DateMap = ResultIndex::DateMap;
    using ControllerFactory = std::function<IRecoveryController*(_RECOVERY_CONTROLLER_TYPE)>;

    // Never destroyed: a worker may still be inside the engine at exit.
    static VXUIScan& instance();

    // Runs one scan on the calling thread. Every way out ends the operation
    // (status 0, need-update raised) unless it already ended. The device is
    // held (with its device list) by the scan and its session; a raw one is
    // held as the device list shares it, or else stays the caller's.
    ResultCode DoScan(std::shared_ptr<IStorageDevice> device, RestoreScanSink* restoreSink);
    ResultCode DoScan(IStorageDevice* device, RestoreScanSink* restoreSink);

    // 3 without a device; a deep scan: 2 for a whole disk, 1 for a volume; else 0.
    _RECOVERY_CONTROLLER_TYPE GetScanControllerType(IStorageDevice* device);
    void SetDeepScan(int deep);
    // The deep flag; a volume whose file system was not recognised (kind 10)
    // always gets a deep scan.
    int IsDeepScan();
    // The last scan ended because its device stopped answering; what it found
    // before stays listed. The percent of the scan done when it went.
    bool EndedByDeviceGone() const { return m_deviceGone.load(); }
    double DeviceGoneAtPercent() const { return m_goneAt.load(); }
    // Sectors of the file systems' structures (tables, folders, records) the
    // last scan could not read: what they held may be missing from its
    // listing or incomplete. 0 for a clean scan and for a loaded result.
    long long UnreadableSectors() const { return m_unreadable.load(); }
    // A loaded result saved from such a scan: told as that scan's end was
    // (percent below 0: the file does not say how far it got).
    void MarkLoadedUnfinished(double percent) {
        m_goneAt = percent;
        m_deviceGone = true;
    }

    IStorageDevice* GetSavedStorage() const;
    // The same, held: a scan started meanwhile does not free it under the caller.
    std::shared_ptr<IStorageDevice> SavedStorage() const;
    // The device scanned last, held until it is replaced or forgotten (null).
    // A raw device is held as the device list shares it, else it stays the
    // caller's.
    void HoldScanStorage(std::shared_ptr<IStorageDevice> device);
    void SaveScanSorage(IStorageDevice* device);
    // The current session's current controller.
    IRecoveryController* GetRecoveryController() const;

    // The session of the last scan (never null: before the first scan and
    // after ReleaseResults an empty one). Whoever works on its nodes holds
    // it, and ReadNodes, for as long as it works.
    std::shared_ptr<ScanSession> Session() const;

    // The current session's index, copied under its lock. While a new scan
    // is being set up (after RetireResults) they are empty.
    std::vector<IFileNode*> GetFileSystemNode() const;
    TypeMap GetTypeMap() const;
    DateMap GetCreateTimeMap() const;
    DateMap GetModifyTimeMap() const;
    DateMap GetAccessTimeMap() const;
    // The same, each list only from the given position on: what a tree pass
    // has not seen yet (types: keyed by category; dates: by year × 100 +
    // month; view 2 creation, 3 modification, 4 access).
    TypeMap CopyTypeMapSince(const std::map<int, std::size_t>& from) const;
    DateMap CopyDateMapSince(int view, const std::map<int, std::size_t>& from) const;
    FileList GetDateFiles(int view, int year, int month) const;
    // Changes whenever the results are cleared.
    std::uint64_t ResultsGeneration() const;

    std::uint64_t GetScanFileCnt() const { return m_fileCount.load(); }
    std::uint64_t GetScanFileSize() const { return m_fileSize.load(); }

    // The writer kept for the file-system root above node (quick scans).
    IDataRecovery* GetFileNodeDataRecover(IFileNode* node) const;
    // Releases the current session's writers.
    void ReleaseDataRecovery();
    void UnselectAllNodes();
    void RefreshAllData() {}
    static int FindRemoveData(IFileNode* node);
    void SetScanType(int view);
    int GetScanType() const;
    // The text after the last "." of the name, lower-cased; "" otherwise.
    static std::string GetNodeExt(IFileNode* node);
    void SetCurrentScanRecoveryCnt(int n);
    int GetCurrentScanRecoveryCnt() const;
    int IsStorageMounted(IStorageDevice* device) const;
    static CCollectedVolumeDeviceInfoStruct* GetStorageVolumeInfo(IStorageDevice* device);

    // Drops the results and writers of the last scan (the nodes stay with
    // the controller).
    void ClearData();
    // Lets the last scan's session go (its writers, controllers and so its
    // nodes, once no one else holds it) for an empty one (tests; a scan
    // does this itself).
    void ReleaseResults();
    // Called on the main thread when a new scan is requested: from now until
    // the new scan clears the data, the getters answer no results, so no pull
    // files nodes that the new scan is about to free.
    void RetireResults();

    // Name search state.
    void SetSearchKey(const char* key);
    std::string GetSearchKey() const;
    bool HasSearchKey() const;
    void SetSearching(int searching);
    int IsSearching() const;
    // Shows the found files whose name holds the key, hides the rest.
    void DoSearch();
    // Held shared by a search walking the nodes; a new scan takes it
    // exclusively before it frees them.
    std::shared_lock<std::shared_mutex> ReadNodes() const { return std::shared_lock(*m_nodes); }

    // While a saved result is loaded, the replayed scan's end (its finished
    // record, the end of DoScan) does not end the operation: the load's own
    // last report does, after the load has judged what it read. Until then
    // a replay's finds are filed but not shown: a device the load refuses
    // (another made alike) leaves nothing in a window.
    void HoldEndForLoad(bool hold);
    // The load has taken the last replay: its results reach the windows.
    void ShowLoadedResults();
    bool IsEndHeldForLoad() const { return m_holdForLoad.load(); }
    // A load's deep replay lists the quick replay of the same device before
    // it beside its own finds (a save of a deep scan that ended early beside
    // a quick scan's listing).
    void ListLoadedQuickBeside(bool beside) { m_besideForLoad = beside; }

    // Scan workers started and not yet ended (the facade counts them).
    void WorkerStarted() { ++m_liveWorkers; }
    void WorkerEnded() { --m_liveWorkers; }
    int LiveWorkers() const { return m_liveWorkers.load(); }

    // A stop the worker does not answer (a read in flight that hangs: a
    // device held, cut or dying) ends the scan all the same, at once for the
    // windows: the run is let go, what it listed stays listed, and whatever
    // its worker does once the read returns is dropped (it stops, builds
    // nothing more and ends nothing of a later run). A worker that answered
    // the stop and winds down (building what it found) is let go only after
    // a longer silence. A deep scan told to build what it found is never let
    // go: its listing exists only once it is built. It stops waiting for its
    // device instead once a read has gone unanswered kStopUnanswered: the
    // read is given up and it builds from what it read and kept.
    static constexpr std::chrono::milliseconds kStopUnanswered{1000};
    static constexpr std::chrono::milliseconds kWindDownSilence{5000};
    void WatchRun(std::uint64_t generation) override;
    void StopOperation(int skipBuild) override;
    // The run holding the scan was let go and its worker has not left yet.
    bool RunLetGo() const;
    // On the thread that ran DoScan, after it: whether that run was let go.
    static bool ThisThreadsRunWasLetGo();

    // IProgress and the trees-built flag.
    int Continued() override;
    int shouldBuild() override;
    void UpdateProgress(_PROGRESS_INFO* info) override;
    int IsOpTreeFinished() override;
    void SetOpTreeFinished(int finished) override;

    // IDrirectoryTree
    void ShowNodes(IFileNode** nodes, unsigned count, int lostBatch) override;
    int ShowFilesystemNode(IFilesystemNode* root) override;

    // Tests: where controllers come from (CreateRecoveryController by default).
    void SetControllerFactory(ControllerFactory factory);

protected:
    VXUIScan() = default;

private:
    ResultCode DoVolumeStorageScan(IStorageDevice* device);
    // A controller of the given type for the session (the restore sink set
    // on it for a load).
    Owned<IRecoveryController> MakeController(_RECOVERY_CONTROLLER_TYPE type, RestoreScanSink* sink);
    void ScanDiskVolumes(IStorageDevice* disk, ResultCode& result);
    std::shared_ptr<ScanSession> EmptySession() const;
    // The quick scan kept aside while a deep scan of its device runs: listed
    // with what the deep scan found (list), each file both found once, or
    // let go.
    void SettleKeptQuick(bool list);
    // A stop was asked of the run now holding the scan.
    bool StopAskedOfThisRun() const;

    mutable std::mutex m_scanLock; // one scan at a time
    const std::shared_ptr<std::shared_mutex> m_nodes = std::make_shared<std::shared_mutex>();
    RestoreScanSink* m_restoreSink = nullptr;
    std::shared_ptr<IStorageDevice> m_savedStorage;
    std::shared_ptr<ScanSession> m_session = EmptySession();
    ControllerFactory m_makeController;
    int m_deep = 0;
    int m_treeFinished = 1;
    std::uint64_t m_generation = 0;
    std::string m_searchKey;
    bool m_hasSearchKey = false;
    int m_searching = 0;
    int m_viewType = 0;
    std::atomic<int> m_remainingVolumes{0};
    // Where the volume being scanned starts on its disk (−1: not a partition
    // of a listed disk); its roots are filed with it.
    std::atomic<long long> m_volumeStart{-1};
    std::atomic<std::uint64_t> m_fileCount{0};
    std::atomic<std::uint64_t> m_fileSize{0};
    std::atomic<int> m_liveWorkers{0};
    std::atomic<bool> m_holdForLoad{false};
    std::atomic<bool> m_besideForLoad{false};
    std::atomic<bool> m_deviceGone{false};
    std::atomic<double> m_goneAt{0};
    // The engine's count of unreadable structure sectors when this scan
    // began, and how many it has added since.
    std::atomic<long long> m_unreadableAtStart{0};
    std::atomic<long long> m_unreadable{0};
    void NoteUnreadable();
    // A quick scan's session, and the files and bytes it found, kept aside
    // while a deep scan of the same device runs: a device that goes before
    // the deep scan lists more must not take the quick scan's listing too.
    struct KeptQuick {
        std::shared_ptr<ScanSession> session;
        std::uint64_t files = 0, bytes = 0;
    };
    std::mutex m_keptLock;
    KeptQuick m_keptQuick;
    // The start generation of the run holding the scan, and the one let go.
    std::atomic<std::uint64_t> m_runGeneration{0};
    std::atomic<std::uint64_t> m_letGo{0};
    // The worker's last call into this object (steady clock, µs), and when
    // the last stop was asked.
    std::atomic<long long> m_lastLifeUs{0};
    std::atomic<long long> m_stopAskedUs{0};
    // The generation a stop was last asked of.
    std::atomic<std::uint64_t> m_stopAskedOf{0};
    void NoteLife();
};

// The remaining-time text of a scan: "%02d:%02d:%02d", or "-:-:-" before a
// second has passed, before 1 % is done and for more than 100 hours.
std::string FormatRemainingTime(long long elapsedSeconds, std::uint64_t total, std::uint64_t current);
