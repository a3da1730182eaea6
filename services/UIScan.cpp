#include "services/UIScan.h"

#include "engine/controller/RecoveryControllers.h"
#include "engine/include/DataRecovery.h"
#include "engine/include/DeviceRecords.h"
#include "engine/include/FileNode.h"
#include "engine/include/RecoveryController.h"
#include "engine/include/RecoveryFilter.h"
#include "engine/include/StorageDevice.h"
#include "engine/utility/CatchExeception.h"
#include "services/CPPPublic.h"
#include "services/DeviceData.h"
#include "services/UIFilter.h"
#include "services/UIRecovery.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <list>
#include <thread>

namespace {
constexpr std::chrono::milliseconds kStartPause{80};
} // namespace

VXUIScan& VXUIScan::instance() {
    static VXUIScan* const scan = new VXUIScan;
    return *scan;
}

void VXUIScan::SetControllerFactory(ControllerFactory factory) {
    auto lock = Lock();
    m_makeController = std::move(factory);
}

// ---- the scan ---------------------------------------------------------------

ResultCode VXUIScan::DoScan(IStorageDevice* device, RestoreScanSink* restoreSink) {
    CatchExeception::WriteLog("%s:%d started!\r", "DoScan", 41);
    {
        auto lock = Lock();
        m_restoreSink = restoreSink;
    }
    std::this_thread::sleep_for(kStartPause);
    std::lock_guard<std::mutex> oneScan(m_scanLock);
    // Open for the length of the scan, closed after it.
    const std::vector<CDeviceUse> open = VXUIDeviceData::instance().HoldOpen(device);

    ResultCode result = ScanResult::NoDevice;
    if (device) {
        SaveScanSorage(device);
        SetNeedUIUpdate(0);
        const _RECOVERY_CONTROLLER_TYPE type = GetScanControllerType(device);
        const int deep = IsDeepScan();
        {
            // A search thread may still walk the old nodes: wait for it
            // before they go, and let the next search start.
            std::unique_lock<std::shared_mutex> nodes(m_nodes);
            SetSearching(0);
            ResetRecoveryController(type, restoreSink);
            ClearData();
        }
        IRecoveryFilter* filter = VXUIFilter::instance().GetFilter();
        if (deep || !VXUIDeviceData::instance().IsDiskStorage(device)) {
            if (filter)
                filter->SetScanType(deep ? SCAN_DEEP
                                         : (IsStorageMounted(device) ? SCAN_QUICK_MOUNTED : SCAN_QUICK_UNMOUNTED));
            result = DoVolumeStorageScan(device);
        } else {
            ScanDiskVolumes(device, result);
        }
    }
    {
        auto lock = Lock();
        m_restoreSink = nullptr;
        m_remainingVolumes = 0;
        // The replaying controllers took copies of what they need; the sink
        // ends with the load.
        if (restoreSink) {
            if (m_controller) SetRestoreScanSink(m_controller.get(), nullptr);
            for (const auto& c : m_earlier) SetRestoreScanSink(c.get(), nullptr);
        }
    }
    // The writers of a deep scan's result, for the recovery and the previews.
    if (device) VXUIRecovery::instance().ResetParam();
    // A stop before a volume, a controller that failed without a finished
    // record, a disk without volumes: the scan has ended all the same.
    if (!IsOperationExit() && !m_holdForLoad.load()) FinishOperation();
    CatchExeception::WriteLog("%s:%d end!\r", "DoScan", 113);
    // What the scan found, as the facade counts it: the one place a run of
    // the program shows its result without a window to read.
    CatchExeception::WriteLog("scan finished: files=%llu bytes=%llu result=0x%llX\n",
                              static_cast<unsigned long long>(GetScanFileCnt()),
                              static_cast<unsigned long long>(GetScanFileSize()), static_cast<unsigned long long>(result));
    return result;
}

void VXUIScan::ScanDiskVolumes(IStorageDevice* disk, ResultCode& result) {
    std::list<IStorageDevice*> volumes;
    VXUIDeviceData::instance().GetDiskVolumeStorage(disk, volumes);
    m_remainingVolumes = static_cast<int>(volumes.size());
    IRecoveryFilter* filter = VXUIFilter::instance().GetFilter();
    bool first = true;
    for (IStorageDevice* volume : volumes) {
        if (m_remainingVolumes.load() < 1) break;
        --m_remainingVolumes;
        // Partition maps and the like, and volumes the system refused to open.
        if (!volume || !VXUIDeviceData::IsVolumeStorageSupported(volume) || !volume->IsPermitted()) continue;
        // A controller serves one volume: its next start would free the
        // nodes and the searcher of the volume before.
        // A load replays every volume from the same saved result.
        if (!first) ResetRecoveryController(RECOVERY_DELETED, m_restoreSink, true);
        first = false;
        if (filter) filter->SetScanType(IsStorageMounted(volume) ? SCAN_QUICK_MOUNTED : SCAN_QUICK_UNMOUNTED);
        result = DoVolumeStorageScan(volume);
        if (GetStatus() == OP_STOP_REQUESTED) break;
    }
}

ResultCode VXUIScan::DoVolumeStorageScan(IStorageDevice* device) {
    IRecoveryController* controller = GetRecoveryController();
    if (!device || !controller || !Continued()) return ScanResult::NotStarted;
    // A stop that came after Continued() answered must not be undone by
    // marking the volume's scan running again.
    const int status = GetStatus();
    if (status != OP_RUNNING && status != OP_PAUSED) return ScanResult::NotStarted;
    controller->Initialize(VXUIFilter::instance().GetFilter());
    if (const CCollectedVolumeDeviceInfoStruct* info = GetStorageVolumeInfo(device))
        std::printf("=======scan volumes(%d):(%s)======\n", m_remainingVolumes.load(), info->volumeName);
    return controller->StartDataRecovery(device, this, this);
}

void VXUIScan::ResetRecoveryController(_RECOVERY_CONTROLLER_TYPE type, RestoreScanSink* sink, bool keepEarlier) {
    auto lock = Lock();
    if (keepEarlier) {
        if (m_controller) m_earlier.push_back(std::move(m_controller));
    } else {
        // Writers read through their controller's searchers: they go first.
        ReleaseWritersLocked();
        VXUIRecovery::instance().ReleaseDataRecovery();
        m_earlier.clear();
    }
    m_controller.reset();
    Owned<IRecoveryController> made(m_makeController ? m_makeController(type) : CreateRecoveryController(type));
    if (made && sink && type <= RECOVERY_PARTITION) SetRestoreScanSink(made.get(), sink);
    m_controller = std::move(made);
}

// ---- device questions ---------------------------------------------------------

_RECOVERY_CONTROLLER_TYPE VXUIScan::GetScanControllerType(IStorageDevice* device) {
    if (!device) return RECOVERY_NONE;
    if (IsDeepScan()) return VXUIDeviceData::instance().IsDiskStorage(device) ? RECOVERY_PARTITION : RECOVERY_COMPLETE;
    return RECOVERY_DELETED;
}

void VXUIScan::SetDeepScan(int deep) {
    auto lock = Lock();
    m_deep = deep;
}

int VXUIScan::IsDeepScan() {
    auto lock = Lock();
    if (m_deep == 0 && m_savedStorage && !VXUIDeviceData::instance().IsDiskStorage(m_savedStorage)) {
        const CCollectedVolumeDeviceInfoStruct* info = GetStorageVolumeInfo(m_savedStorage);
        m_deep = info && info->fileSystemType == FS_UNKNOWN ? 1 : 0;
    }
    return m_deep;
}

IStorageDevice* VXUIScan::GetSavedStorage() const {
    auto lock = Lock();
    return m_savedStorage;
}

void VXUIScan::SaveScanSorage(IStorageDevice* device) {
    auto lock = Lock();
    m_savedStorage = device;
}

IRecoveryController* VXUIScan::GetRecoveryController() const {
    auto lock = Lock();
    return m_controller.get();
}

int VXUIScan::IsStorageMounted(IStorageDevice* device) const {
    if (!device) return 0;
    if (VXUIDeviceData::instance().IsDiskStorage(device)) return 1;
    const CCollectedVolumeDeviceInfoStruct* info = GetStorageVolumeInfo(device);
    return info && info->mounted ? 1 : 0;
}

CCollectedVolumeDeviceInfoStruct* VXUIScan::GetStorageVolumeInfo(IStorageDevice* device) {
    return VXUIDeviceData::GetVolumeInfo(device);
}

// ---- results -------------------------------------------------------------------

std::vector<IFileNode*> VXUIScan::GetFileSystemNode() const {
    auto lock = Lock();
    return m_retired ? std::vector<IFileNode*>{} : m_roots;
}

VXUIScan::TypeMap VXUIScan::GetTypeMap() const {
    auto lock = Lock();
    return m_retired ? TypeMap{} : m_typeMap;
}

VXUIScan::DateMap VXUIScan::GetCreateTimeMap() const {
    auto lock = Lock();
    return m_retired ? DateMap{} : m_createMap;
}

VXUIScan::DateMap VXUIScan::GetModifyTimeMap() const {
    auto lock = Lock();
    return m_retired ? DateMap{} : m_modifyMap;
}

VXUIScan::DateMap VXUIScan::GetAccessTimeMap() const {
    auto lock = Lock();
    return m_retired ? DateMap{} : m_accessMap;
}

namespace {
template <class List>
List Tail(const List& list, std::size_t from) {
    return from < list.size() ? List(list.begin() + static_cast<std::ptrdiff_t>(from), list.end()) : List();
}

std::size_t PositionOf(const std::map<int, std::size_t>& from, int key) {
    const auto it = from.find(key);
    return it == from.end() ? 0 : it->second;
}
} // namespace

VXUIScan::TypeMap VXUIScan::CopyTypeMapSince(const std::map<int, std::size_t>& from) const {
    auto lock = Lock();
    TypeMap out;
    if (m_retired) return out;
    for (const auto& [category, files] : m_typeMap) out[category] = Tail(files, PositionOf(from, category));
    return out;
}

const VXUIScan::DateMap* VXUIScan::DateMapOf(int view) const {
    if (m_retired) return nullptr;
    return view == 2 ? &m_createMap : view == 3 ? &m_modifyMap : view == 4 ? &m_accessMap : nullptr;
}

VXUIScan::DateMap VXUIScan::CopyDateMapSince(int view, const std::map<int, std::size_t>& from) const {
    auto lock = Lock();
    DateMap out;
    if (const DateMap* map = DateMapOf(view))
        for (const auto& [year, months] : *map)
            for (const auto& [month, files] : months)
                out[year][month] = Tail(files, PositionOf(from, year * 100 + month));
    return out;
}

VXUIScan::FileList VXUIScan::GetDateFiles(int view, int year, int month) const {
    auto lock = Lock();
    const DateMap* map = DateMapOf(view);
    if (!map) return {};
    const auto y = map->find(year);
    if (y == map->end()) return {};
    const auto m = y->second.find(month);
    return m == y->second.end() ? FileList{} : m->second;
}

std::uint64_t VXUIScan::ResultsGeneration() const {
    auto lock = Lock();
    return m_generation;
}

void VXUIScan::RetireResults() {
    auto lock = Lock();
    m_retired = true;
}

void VXUIScan::ClearData() {
    m_remainingVolumes = 0;
    m_fileCount = 0;
    m_fileSize = 0;
    const std::time_t now = std::time(nullptr);
    SetStartTime(now);
    SetEndTime(now);
    auto lock = Lock();
    m_recoveryCount = 0;
    // Writers are released, not forgotten (nothing else would free them).
    ReleaseWritersLocked();
    m_roots.clear();
    m_typeMap.clear();
    m_createMap.clear();
    m_modifyMap.clear();
    m_accessMap.clear();
    m_retired = false;
    ++m_generation;
}

void VXUIScan::ReleaseResults() {
    std::unique_lock<std::shared_mutex> nodes(m_nodes);
    {
        auto lock = Lock();
        ResetRecoveryController(RECOVERY_NONE, nullptr);
        m_controller.reset();
    }
    ClearData();
}

IDataRecovery* VXUIScan::GetFileNodeDataRecover(IFileNode* node) const {
    IFileNode* root = VXCPPPublic::instance().GetFileSystemNode(node);
    if (!root) return nullptr;
    auto lock = Lock();
    const auto it = m_writers.find(root);
    return it == m_writers.end() ? nullptr : it->second.get();
}

std::optional<bool> VXUIScan::IsFileNodeDataRecover(IFileNode* node, IDataRecovery* writer) const {
    IFileNode* root = VXCPPPublic::instance().GetFileSystemNode(node);
    const auto lock = TryLock();
    if (!lock.owns_lock()) return std::nullopt;
    const auto it = root ? m_writers.find(root) : m_writers.end();
    return it != m_writers.end() && it->second.get() == writer;
}

void VXUIScan::ReleaseDataRecovery() {
    auto lock = Lock();
    ReleaseWritersLocked();
}

void VXUIScan::ReleaseWritersLocked() {
    for (auto& [root, writer] : m_writers) {
        if (!writer) continue;
        auto busy = LockWriter(writer.get()); // a recovery or preview between its two calls
        writer.reset();
    }
    m_writers.clear();
}

void VXUIScan::UnselectAllNodes() {
    for (IFileNode* root : GetFileSystemNode())
        if (root) root->SetCheck(CHECK_NONE);
}

int VXUIScan::FindRemoveData(IFileNode* node) { return node && node->IsDirectory() ? 1 : 0; }

void VXUIScan::SetScanType(int view) {
    auto lock = Lock();
    m_viewType = view;
}

int VXUIScan::GetScanType() const {
    auto lock = Lock();
    return m_viewType;
}

std::string VXUIScan::GetNodeExt(IFileNode* node) {
    const char* name = node ? node->GetFileName() : nullptr;
    const char* dot = name ? std::strrchr(name, '.') : nullptr;
    if (!dot) return {};
    std::string ext(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return ext;
}

void VXUIScan::SetCurrentScanRecoveryCnt(int n) {
    auto lock = Lock();
    m_recoveryCount = n;
}

int VXUIScan::GetCurrentScanRecoveryCnt() const {
    auto lock = Lock();
    return m_recoveryCount;
}

// ---- engine callbacks ------------------------------------------------------------

void VXUIScan::HoldEndForLoad(bool hold) { m_holdForLoad = hold; }

void VXUIScan::UpdateProgress(_PROGRESS_INFO* info) {
    if (info && info->state == PROGRESS_FINISHED && m_holdForLoad.load()) {
        // The replay's end is not the load's: kept as a running record.
        _PROGRESS_INFO running = *info;
        running.state = PROGRESS_RUNNING;
        SetProgressInfo(running);
        SetEndTime(std::time(nullptr));
        SetNeedUIUpdate(1);
        return;
    }
    if (info) SetProgressInfo(*info);
    SetEndTime(std::time(nullptr));
    if (info && info->state == PROGRESS_FINISHED) {
        bool ended = false;
        {
            auto lock = Lock();
            // Between two volumes of a whole-disk scan the status stays.
            if (m_remainingVolumes.load() <= 0 || GetStatus() == OP_STOP_REQUESTED) {
                m_remainingVolumes = 0;
                ended = true;
            }
        }
        std::printf("=====Scan Progress finished!=====\n");
        if (ended) {
            FinishOperation();
            return;
        }
    }
    SetNeedUIUpdate(1);
}

int VXUIScan::IsOpTreeFinished() {
    auto lock = Lock();
    return m_treeFinished;
}

void VXUIScan::SetOpTreeFinished(int finished) {
    auto lock = Lock();
    m_treeFinished = finished;
}

void VXUIScan::FileByDate(DateMap& map, IFileNode* node, _FILETIME time) {
    if (time.Value() == 0) return;
    int year = 0, month = 0;
    VXCPPPublic::instance().GetYearMonthByFileTime(&year, &month, time);
    map[year][month].push_back(node);
}

void VXUIScan::ShowNodes(IFileNode** nodes, unsigned count, int) {
    if (!nodes || count == 0) return;
    IRecoveryFilter* filter = VXUIFilter::instance().GetFilter();
    std::uint64_t files = 0;
    for (unsigned i = 0; i < count; ++i) {
        IFileNode* node = nodes[i];
        if (!node || node->IsDirectory()) continue;
        ++files;
        const _FILETIME created = node->GetCreationTime();
        const _FILETIME modified = node->GetModificationTime();
        const int category = filter ? static_cast<int>(filter->GetNodeFileType(node)) : 0;
        const long long size = node->GetFileSize();
        {
            auto lock = Lock();
            FileByDate(m_createMap, node, created);
            FileByDate(m_modifyMap, node, modified);
            if (filter) m_typeMap[category].push_back(node);
        }
        m_fileSize += size > 0 ? static_cast<std::uint64_t>(size) : 0;
    }
    m_fileCount += files;
    SetNeedUIUpdate(1);
}

int VXUIScan::ShowFilesystemNode(IFilesystemNode* root) {
    if (!root) {
        std::printf("=====ShowFileSystemNodes:(null)\n");
        return 0;
    }
    std::printf("=====ShowFileSystemNodes:%s\n", root->GetFileName());
    if (!root->IsDirectory()) return 0;
    {
        auto lock = Lock();
        if (m_controller && m_controller->thisType() == RECOVERY_DELETED) {
            if (IDataRecovery* writer = m_controller->GetDataRecovery(VXCPPPublic::instance().GetNodeSearcheType(root)))
                m_writers[root].reset(writer);
        }
        m_roots.push_back(root);
    }
    SetNeedUIUpdate(1);
    return 1;
}

// ---- name search -------------------------------------------------------------------

void VXUIScan::SetSearchKey(const char* key) {
    if (!key) return;
    auto lock = Lock();
    m_searchKey = key;
    m_hasSearchKey = !m_searchKey.empty();
}

std::string VXUIScan::GetSearchKey() const {
    auto lock = Lock();
    return m_hasSearchKey ? m_searchKey : std::string();
}

bool VXUIScan::HasSearchKey() const {
    auto lock = Lock();
    return m_hasSearchKey;
}

void VXUIScan::SetSearching(int searching) {
    auto lock = Lock();
    m_searching = searching;
}

int VXUIScan::IsSearching() const {
    auto lock = Lock();
    return m_searching;
}

void VXUIScan::DoSearch() {
    const auto nodes = ReadNodes();
    RefreshAllData();
    const std::string key = GetSearchKey();
    const char* text = key.empty() ? nullptr : key.c_str();
    for (const auto& [category, files] : GetTypeMap())
        for (IFileNode* node : files)
            if (node) node->ShowNode(VXCPPPublic::instance().IsStringInFileNode(text, node) ? 1 : 0);
    SetNeedUIUpdate(1);
}

// ---- remaining time ------------------------------------------------------------------

std::string FormatRemainingTime(long long elapsedSeconds, std::uint64_t total, std::uint64_t current) {
    const double percent = static_cast<double>(current) * 100.0 / static_cast<double>(total ? total : 1);
    if (elapsedSeconds < 1 || current == 0 || percent < 1.0) return "-:-:-";
    // Done or past the end: nothing remains (the difference would wrap).
    std::uint64_t remaining = 0;
    if (current < total) {
        // 128 bits: elapsed × left cannot overflow, and the answer is not cut
        // to 32 bits before it is judged.
        const unsigned __int128 r = static_cast<unsigned __int128>(elapsedSeconds) * (total - current) / current;
        remaining = r > UINT64_MAX ? UINT64_MAX : static_cast<std::uint64_t>(r);
        double scale = 1.0;
        if (current < total >> 2)
            scale = 0.5;
        else if (current < total >> 1)
            scale = 0.7;
        const auto scaled = static_cast<std::uint64_t>(static_cast<long double>(remaining) * scale);
        if (scaled > 0) remaining = scaled;
    }
    if (remaining / 3600 > 100) return "-:-:-";
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", static_cast<int>(remaining / 3600),
                  static_cast<int>(remaining / 60 % 60), static_cast<int>(remaining % 60));
    return text;
}
