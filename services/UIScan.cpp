#include "services/UIScan.h"

#include "engine/controller/RecoveryControllers.h"
#include "engine/include/DataRecovery.h"
#include "engine/include/DeviceRecords.h"
#include "engine/include/EngineTypes.h"
#include "engine/include/FileNode.h"
#include "engine/include/RecoveryController.h"
#include "engine/include/RecoveryFilter.h"
#include "engine/include/StorageDevice.h"
#include "engine/utility/CatchExeception.h"
#include "engine/utility/SectorReads.h"
#include "services/CPPPublic.h"
#include "services/DeviceData.h"
#include "services/FoundAgain.h"
#include "services/UIFilter.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <list>
#include <thread>
#include <utility>

namespace {
constexpr std::chrono::milliseconds kStartPause{80};

long long NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

thread_local bool t_runLetGo = false;
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

namespace {
// The device as the device list holds it; one it does not list stays its
// owner's (tests, the probe).
std::shared_ptr<IStorageDevice> Held(IStorageDevice* device) {
    if (!device) return nullptr;
    if (std::shared_ptr<IStorageDevice> shared = VXUIDeviceData::instance().Share(device)) return shared;
    return std::shared_ptr<IStorageDevice>(std::shared_ptr<void>(), device);
}
} // namespace

ResultCode VXUIScan::DoScan(IStorageDevice* device, RestoreScanSink* restoreSink) {
    return DoScan(Held(device), restoreSink);
}

ResultCode VXUIScan::DoScan(std::shared_ptr<IStorageDevice> held, RestoreScanSink* restoreSink) {
    IStorageDevice* const device = held.get();
    CatchExeception::WriteLog("%s:%d started!\r", "DoScan", 41);
    t_runLetGo = false;
    std::this_thread::sleep_for(kStartPause);
    // A run let go may still hold the scan until its read returns: this one
    // waits for it on its own thread, and takes nothing of it meanwhile.
    std::lock_guard<std::mutex> oneScan(m_scanLock);
    m_runGeneration = Generation();
    NoteLife();
    {
        auto lock = Lock();
        m_restoreSink = restoreSink;
    }
    // Open for the length of the scan, closed after it.
    const std::vector<CDeviceUse> open = VXUIDeviceData::instance().HoldOpen(device);

    ResultCode result = ScanResult::NoDevice;
    std::shared_ptr<ScanSession> session;
    if (device) {
        HoldScanStorage(held);
        SetNeedUIUpdate(0);
        const _RECOVERY_CONTROLLER_TYPE type = GetScanControllerType(device);
        const int deep = IsDeepScan();
        {
            // A search, recovery, preview or save may still walk the old
            // nodes: wait for it before they go, and let the next search start.
            std::unique_lock<std::shared_mutex> nodes(*m_nodes);
            SetSearching(0);
            std::shared_ptr<ScanSession> old;
            {
                auto lock = Lock();
                old = std::exchange(m_session, EmptySession());
            }
            // A finished quick scan of the device a deep scan now reads stays
            // aside, writers and all, until the deep scan ends: the device may
            // go before the deep scan lists as much. Its index was retired
            // when the scan was asked for, and the lock above waited for
            // whoever walked it without holding it; anyone else holds it.
            if (deep && (!restoreSink || m_besideForLoad.load()) && old && old->Ended() &&
                old->ControllerType() == RECOVERY_DELETED && old->Storage() == device) {
                std::lock_guard<std::mutex> kept(m_keptLock);
                m_keptQuick = {std::move(old), m_fileCount.load(), m_fileSize.load()};
            }
            // The last scan's writers and controllers go before the new
            // controller is made: one scan's nodes in memory, and its writers
            // before the controllers they read through (the session's order).
            old.reset();
            session = std::make_shared<ScanSession>(m_nodes, held, type, deep);
            session->SetController(MakeController(type, restoreSink));
            {
                auto lock = Lock();
                m_session = session;
            }
            ClearData();
            m_unreadableAtStart = salvor::UnreadableStructureSectors().load();
            if (m_holdForLoad.load()) session->Results().Retire();
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
    }
    // The replaying controllers took copies of what they need; the sink
    // ends with the load.
    if (restoreSink && session)
        for (IRecoveryController* c : session->Controllers()) SetRestoreScanSink(c, nullptr);
    // The writers of a deep scan's result, for the recovery and the previews.
    if (session) {
        session->MakeTypeWriters();
        session->MarkEnded();
    }
    // Not listed by the end record (a run let go, no such record): a deep
    // scan that read to its end replaces the quick listing; one stopped keeps
    // what the user saw; a load lists what the save listed.
    if (device && !RunLetGo()) NoteUnreadable();
    SettleKeptQuick((m_deviceGone.load() || m_besideForLoad.load() || StopAskedOfThisRun()) && !RunLetGo());
    // A stop before a volume, a controller that failed without a finished
    // record, a disk without volumes: the scan has ended all the same. A run
    // let go has been ended for the windows already; the status may be a
    // later run's by now.
    t_runLetGo = RunLetGo();
    // What comes after this run (a load's first reports) is heard again.
    if (t_runLetGo) m_letGo = 0;
    if (!t_runLetGo && !IsOperationExit() && !m_holdForLoad.load()) FinishOperation();
    CatchExeception::WriteLog("%s:%d end!\r", "DoScan", 113);
    // What the scan found, as the facade counts it: the one place a run of
    // the program shows its result without a window to read.
    CatchExeception::WriteLog("scan finished: files=%llu bytes=%llu result=0x%llX\n",
                              static_cast<unsigned long long>(GetScanFileCnt()),
                              static_cast<unsigned long long>(GetScanFileSize()), static_cast<unsigned long long>(result));
    // Carved files past the cap of kept files are not listed: say how many.
    if (const unsigned long long notKept = TakeLastCarveNotKept())
        CatchExeception::WriteLog("carved files not kept: %llu\n", notKept);
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
        if (!first) Session()->SetController(MakeController(RECOVERY_DELETED, m_restoreSink));
        first = false;
        if (filter) filter->SetScanType(IsStorageMounted(volume) ? SCAN_QUICK_MOUNTED : SCAN_QUICK_UNMOUNTED);
        result = DoVolumeStorageScan(volume);
        if (GetStatus() == OP_STOP_REQUESTED || RunLetGo() || result == ControllerResult::DeviceGone) break;
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
    const CCollectedVolumeDeviceInfoStruct* info = GetStorageVolumeInfo(device);
    m_volumeStart = info ? info->startSector : -1;
    if (info) std::printf("=======scan volumes(%d):(%s)======\n", m_remainingVolumes.load(), info->volumeName);
    return controller->StartDataRecovery(device, this, this);
}

Owned<IRecoveryController> VXUIScan::MakeController(_RECOVERY_CONTROLLER_TYPE type, RestoreScanSink* sink) {
    ControllerFactory factory;
    {
        auto lock = Lock();
        factory = m_makeController;
    }
    Owned<IRecoveryController> made(factory ? factory(type) : CreateRecoveryController(type));
    if (made && sink && type <= RECOVERY_PARTITION) SetRestoreScanSink(made.get(), sink);
    return made;
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
    if (m_deep == 0 && m_savedStorage && !VXUIDeviceData::instance().IsDiskStorage(m_savedStorage.get())) {
        const CCollectedVolumeDeviceInfoStruct* info = GetStorageVolumeInfo(m_savedStorage.get());
        m_deep = info && info->fileSystemType == FS_UNKNOWN ? 1 : 0;
    }
    return m_deep;
}

IStorageDevice* VXUIScan::GetSavedStorage() const {
    auto lock = Lock();
    return m_savedStorage.get();
}

std::shared_ptr<IStorageDevice> VXUIScan::SavedStorage() const {
    auto lock = Lock();
    return m_savedStorage;
}

void VXUIScan::SaveScanSorage(IStorageDevice* device) { HoldScanStorage(Held(device)); }

void VXUIScan::HoldScanStorage(std::shared_ptr<IStorageDevice> device) {
    std::shared_ptr<IStorageDevice> old;
    {
        auto lock = Lock();
        old = std::exchange(m_savedStorage, std::move(device));
        // A device list made again: the session's device is listed no more.
        if (!m_savedStorage) m_session->ForgetStorage();
    }
    // The old device (and its list, when nothing else holds it) goes here,
    // outside the lock.
}

IRecoveryController* VXUIScan::GetRecoveryController() const { return Session()->Controller(); }

std::shared_ptr<ScanSession> VXUIScan::EmptySession() const {
    return std::make_shared<ScanSession>(m_nodes, nullptr, RECOVERY_NONE, 0);
}

std::shared_ptr<ScanSession> VXUIScan::Session() const {
    auto lock = Lock();
    return m_session;
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

std::vector<IFileNode*> VXUIScan::GetFileSystemNode() const { return Session()->Results().Roots(); }
VXUIScan::TypeMap VXUIScan::GetTypeMap() const { return Session()->Results().Types(); }
VXUIScan::DateMap VXUIScan::GetCreateTimeMap() const { return Session()->Results().Dates(2); }
VXUIScan::DateMap VXUIScan::GetModifyTimeMap() const { return Session()->Results().Dates(3); }
VXUIScan::DateMap VXUIScan::GetAccessTimeMap() const { return Session()->Results().Dates(4); }

VXUIScan::TypeMap VXUIScan::CopyTypeMapSince(const std::map<int, std::size_t>& from) const {
    return Session()->Results().TypesSince(from);
}

VXUIScan::DateMap VXUIScan::CopyDateMapSince(int view, const std::map<int, std::size_t>& from) const {
    return Session()->Results().DatesSince(view, from);
}

VXUIScan::FileList VXUIScan::GetDateFiles(int view, int year, int month) const {
    return Session()->Results().DateFiles(view, year, month);
}

std::uint64_t VXUIScan::ResultsGeneration() const {
    auto lock = Lock();
    return m_generation;
}

void VXUIScan::RetireResults() { Session()->Results().Retire(); }

void VXUIScan::ClearData() {
    m_remainingVolumes = 0;
    m_deviceGone = false;
    m_goneAt = 0;
    m_unreadable = 0;
    m_fileCount = 0;
    m_fileSize = 0;
    const std::time_t now = std::time(nullptr);
    SetStartTime(now);
    SetEndTime(now);
    const std::shared_ptr<ScanSession> session = Session();
    session->ReleaseWriters();
    session->Results().Clear();
    session->SetRecoveries(0);
    auto lock = Lock();
    ++m_generation;
}

void VXUIScan::SettleKeptQuick(bool list) {
    KeptQuick kept;
    {
        std::lock_guard<std::mutex> lock(m_keptLock);
        kept = std::exchange(m_keptQuick, KeptQuick{});
    }
    if (!kept.session || !list) return; // let go here
    const std::shared_ptr<ScanSession> session = Session();
    const FoundAgain again = FindFoundAgain(*session, *kept.session);
    session->KeepQuick(kept.session, again);
    // Counted as listed: the quick roots left out and the deep copies hidden
    // are not.
    const auto less = [](std::uint64_t a, std::uint64_t b) { return a > b ? a - b : 0; };
    m_fileCount = less(m_fileCount.load() + less(kept.files, again.quickFiles), again.deepFiles.size());
    m_fileSize = less(m_fileSize.load() + less(kept.bytes, again.quickBytes), again.deepBytes);
    SetNeedUIUpdate(1);
}

bool VXUIScan::StopAskedOfThisRun() const {
    const std::uint64_t run = m_runGeneration.load();
    return run != 0 && m_stopAskedOf.load() == run;
}

void VXUIScan::ReleaseResults() {
    std::unique_lock<std::shared_mutex> nodes(*m_nodes);
    std::shared_ptr<ScanSession> old;
    {
        auto lock = Lock();
        old = std::exchange(m_session, EmptySession());
    }
    old.reset();
    ClearData();
}

IDataRecovery* VXUIScan::GetFileNodeDataRecover(IFileNode* node) const { return Session()->WriterFor(node); }

void VXUIScan::ReleaseDataRecovery() { Session()->ReleaseWriters(); }

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

void VXUIScan::SetCurrentScanRecoveryCnt(int n) { Session()->SetRecoveries(n); }

int VXUIScan::GetCurrentScanRecoveryCnt() const { return Session()->Recoveries(); }

// ---- engine callbacks ------------------------------------------------------------

void VXUIScan::HoldEndForLoad(bool hold) { m_holdForLoad = hold; }

void VXUIScan::ShowLoadedResults() { Session()->Results().Reinstate(); }

// ---- a stop the worker does not answer ------------------------------------------------

void VXUIScan::NoteLife() { m_lastLifeUs = NowUs(); }

bool VXUIScan::ThisThreadsRunWasLetGo() { return t_runLetGo; }

bool VXUIScan::RunLetGo() const {
    const std::uint64_t letGo = m_letGo.load();
    return letGo != 0 && letGo == m_runGeneration.load();
}

void VXUIScan::StopOperation(int skipBuild) {
    m_stopAskedUs = NowUs();
    m_stopAskedOf = Generation();
    VXUIOperation::StopOperation(skipBuild);
}

void VXUIScan::WatchRun(std::uint64_t generation) {
    // A load's replay is ended by the load itself.
    if (m_holdForLoad.load()) return;
    {
        auto lock = Lock();
        if (GetStatus() != OP_STOP_REQUESTED || Generation() != generation) return;
        // A deep scan told to list what it found keeps its worker: its finds
        // are built only at its end, and hours of reading are not dropped for
        // one slow read. It stops waiting for its device instead once a read
        // has gone unanswered as long as a stop may: that read is given up and
        // the trees are built from what the scan read and kept, as for a
        // device gone. Asked at each wake: the read may begin later, and the
        // worker may not have reached its controller yet.
        if (IsDeepScan() && VXUIOperation::shouldBuild()) {
            if (m_runGeneration.load() == generation) GiveUpReads(m_session->Controller(), kStopUnanswered);
            return;
        }
        const long long asked = m_stopAskedUs.load(), life = m_lastLifeUs.load();
        // Heard from since the stop: it winds down (a deep scan builds what
        // it found); a wind-down that falls silent is a read that hangs too.
        const bool answered = life > asked;
        const std::chrono::microseconds silent{NowUs() - std::max(asked, life)};
        if (silent < (answered ? kWindDownSilence : kStopUnanswered)) return;
        // The run holding the scan is this start's (a start still waiting for
        // a run let go before it holds nothing yet).
        if (m_runGeneration.load() == generation) m_letGo = generation;
    }
    CatchExeception::WriteLog("scan stopped: its worker did not answer the stop (a read in flight); let go\n");
    FinishOperation();
}

int VXUIScan::Continued() {
    NoteLife();
    if (RunLetGo()) return 0;
    const int go = VXUIOperation::Continued();
    NoteLife();
    return go;
}

int VXUIScan::shouldBuild() {
    NoteLife();
    // Nothing more is built into trees the windows have taken as they were.
    if (RunLetGo()) return 0;
    return VXUIOperation::shouldBuild();
}

void VXUIScan::NoteUnreadable() {
    m_unreadable = std::max(0LL, salvor::UnreadableStructureSectors().load() - m_unreadableAtStart.load());
}

void VXUIScan::UpdateProgress(_PROGRESS_INFO* info) {
    NoteLife();
    if (RunLetGo()) return;
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
    // Counted before the windows can hear of the end. (A preview reading a
    // file system's tables meanwhile counts too: the same device failed it.)
    NoteUnreadable();
    SetEndTime(std::time(nullptr));
    if (info && info->state == PROGRESS_FINISHED) {
        bool ended = false;
        if (info->result == ControllerResult::DeviceGone) {
            // How far it got, for the window's and the save's word on it.
            m_goneAt = info->total ? static_cast<double>(info->current) * 100.0 / static_cast<double>(info->total) : 0.0;
            m_deviceGone = true;
            // The quick scan's listing of the device stays beside what the
            // deep scan kept, before the windows hear of the end.
            SettleKeptQuick(true);
        } else if (StopAskedOfThisRun()) {
            // Stopped: the files found so far, by either scan, stay listed.
            SettleKeptQuick(true);
        }
        {
            auto lock = Lock();
            // A disk that went away has no next volume to read.
            if (m_deviceGone.load()) m_remainingVolumes = 0;
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

void VXUIScan::ShowNodes(IFileNode** nodes, unsigned count, int) {
    NoteLife();
    if (!nodes || count == 0 || RunLetGo()) return;
    IRecoveryFilter* filter = VXUIFilter::instance().GetFilter();
    const std::shared_ptr<ScanSession> session = Session();
    ResultIndex& results = session->Results();
    std::uint64_t files = 0;
    for (unsigned i = 0; i < count; ++i) {
        IFileNode* node = nodes[i];
        if (!node || node->IsDirectory()) continue;
        ++files;
        const _FILETIME created = node->GetCreationTime();
        const _FILETIME modified = node->GetModificationTime();
        const int category = filter ? static_cast<int>(filter->GetNodeFileType(node)) : 0;
        const long long size = node->GetFileSize();
        results.File(node, created, modified, filter ? &category : nullptr);
        m_fileSize += size > 0 ? static_cast<std::uint64_t>(size) : 0;
    }
    m_fileCount += files;
    SetNeedUIUpdate(1);
}

int VXUIScan::ShowFilesystemNode(IFilesystemNode* root) {
    NoteLife();
    if (RunLetGo()) return 0;
    if (!root) {
        std::printf("=====ShowFileSystemNodes:(null)\n");
        return 0;
    }
    std::printf("=====ShowFileSystemNodes:%s\n", root->GetFileName());
    if (!root->IsDirectory()) return 0;
    Session()->AddRoot(root, m_volumeStart.load());
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
    const std::shared_ptr<ScanSession> session = Session();
    for (const auto& [category, files] : session->Results().Types())
        for (IFileNode* node : files)
            // A deep copy of a file the quick scan lists stays hidden.
            if (node)
                node->ShowNode(VXCPPPublic::instance().IsStringInFileNode(text, node) && !session->FoundAgainInQuick(node)
                                   ? 1
                                   : 0);
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
