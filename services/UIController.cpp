#include "services/UIController.h"

#include "engine/utility/CatchExeception.h"
#include "engine/utility/FileUtils.h"
#include "services/CPPPublic.h"
#include "services/DeviceData.h"
#include "services/Preview.h"
#include "services/PublicUtilities.h"
#include "services/ResultTrees.h"
#include "services/SaveAndRestoreNodeOperate.h"
#include "services/SavedScans.h"
#include "services/StatusPoller.h"
#include "services/TimeMgr.h"
#include "services/TypeMgr.h"
#include "services/UIFilter.h"
#include "services/UIPublic.h"
#include "services/UIRecovery.h"
#include "services/UIScan.h"
#include "services/USBMonitorNotifier.h"
#include "engine/include/DeviceGone.h"
#include "engine/include/FileNode.h"
#include "platform/Localization.h"
#include "platform/SingleInstance.h"
#include "platform/Threads.h"

#include <QDir>
#include <QStandardPaths>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <list>
#include <map>
#include <memory>
#include <vector>

QString FormatSaveFileName(const char* deviceName, const std::tm& local) {
    QString name;
    for (const QChar c : QString::fromUtf8(deviceName ? deviceName : "")) {
        if (c == QLatin1Char('/'))
            name += QLatin1Char('-');
        else if (c.category() != QChar::Other_Control && c != QChar(0))
            name += c;
    }
    if (name.trimmed().isEmpty()) name = salvor::platform::localizedString("DEVICE_NAME_UNTITILED");
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%02d-%02d-%04d at %02d_%02d_%02d", local.tm_mon + 1, local.tm_mday,
                  local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
    return name + QLatin1Char('_') + QString::fromLatin1(stamp);
}

namespace {

// A save's or a load's error code when it could not be started.
constexpr std::uint64_t kTransferNotStarted = 9;

class CUIController final : public VXUIController {
public:
    // The operations the windows start, stop and watch through the facade.
    CUIController(VXUIScan& scan, VXUIRecovery& recovery) : m_scan(scan), m_recovery(recovery) {}

    void NotifiyDeviceInfoAfterInit(const std::string& key) override {
        VXUIDeviceData::instance().NotifyAfterInit(key);
    }

    void GetDeviceInfoToArray(std::vector<DiskVolumeNodeRef>& out) override {
        std::list<_DiskVolumeData> disks;
        // The records' texts live as long as their listing: held until copied.
        const std::shared_ptr<const void> listing = VXUIDeviceData::instance().GetAllDeviceInfo(disks);
        for (DiskVolumeNodeRef& item : DiskVolumeNodeData::itemsFromRecords(disks)) out.push_back(std::move(item));
    }

    void RefreshDeviceInfo() override {
        VXUIScan& scan = m_scan;
        if (VXUIDeviceData::instance().RefreshDeviceInfo(scan)) scan.SaveScanSorage(nullptr);
    }

    void RefreshDeviceInfoInBackground(const std::string& key) override {
        VXUIDeviceData::instance().RefreshInBackground(m_scan, [this, key](bool listed) {
            if (listed) m_scan.SaveScanSorage(nullptr);
            VXUIPublic::NotifyMainThread(key);
        });
    }

    bool IsAppRunning() override { return VXCPPPublic::instance().IsAppRunning(); }
    bool IsAppEnding() override { return salvor::platform::SingleInstance::shared().holderIsEnding(); }

    [[noreturn]] void CloseApp() override {
        CatchExeception::WriteLog("CloseApp\n");
        // A recovery or save let go while its read hung leaves with the
        // process: the file it was writing is removed, never left as if whole.
        VXUIRecovery::RemoveUnfinishedFiles();
        std::fflush(nullptr);
        // Workers may still be inside the engine: no destructors, no atexit.
        ::_exit(0);
    }

    QString GetSavePath() override { return VXPublicUtilities::getSavePath(); }
    bool SavePathToPList(const QString& path) override { return VXPublicUtilities::writeSavePath(path); }

    QString GetDefaultSavePath() override {
        // Where the user keeps the program's files, never beside the program.
        const QString path = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
                             QStringLiteral("/SaveScan");
        if (!QDir().mkpath(path)) CatchExeception::WriteLog("cannot make %s\n", path.toUtf8().constData());
        return path;
    }

    QString getUpDataTimeStr() override { return VXPublicUtilities::getUpDataTimeStr(); }
    bool writeUpDataTimeStr(const QString& text) override { return VXPublicUtilities::writeUpDataTimeStr(text); }
    bool isCanBeUseNetWork() override { return VXPublicUtilities::isCanBeUseNetWork(); }

    void initFileType() override {
        // A category the catalogue lacks keeps the engine's built-in list.
        std::map<int, std::string> lists;
        for (int category : {1, 2, 4, 8, 16})
            if (const QString text = VXTypeMgr::share().getTypeString(category); !text.isNull())
                lists[category] = text.toLatin1().toStdString();
        VXUIFilter::instance().InitFileTypes(lists);
    }

    void SetRecoveryType(unsigned mask) override { VXUIFilter::instance().ResetFilter(mask); }

    bool DoScanWithDiskIndex(int disk, int volume, const std::string& key) override {
        VXUIScan& scan = m_scan;
        // A stop left by a scan whose worker has ended; while the worker still
        // winds down the stop stands and the request waits for its end.
        if (scan.GetStatus() == OP_STOP_REQUESTED && scan.LiveWorkers() == 0) scan.SetStatus(OP_IDLE);
        if (!scan.IsOperationExit()) return false;
        // Held by the scan, so that a listing made meanwhile does not free it.
        std::shared_ptr<IStorageDevice> device = VXUIDeviceData::instance().ShareStorageByDiskVolumeIndex(disk, volume);
        if (!device) return false;
        CatchExeception::WriteLog("scan of %s\n", VXUIDeviceData::Identity(device.get()).c_str());
        // The trees are the windows' objects: emptied here, on the main
        // thread, and nothing of the old scan is filed into them again.
        scan.RetireResults();
        VXTypeMgr::share().clear();
        VXTimeMgr::share().clear();
        // Counted alive until the task is gone, also when no thread took it.
        scan.WorkerStarted();
        std::shared_ptr<void> alive(nullptr, [this](void*) { m_scan.WorkerEnded(); });
        return COperationRunner::StartOperation(scan, key, [this, device, alive] {
            m_scan.DoScan(device, nullptr);
            // The recovery works on the new session from now on (a run let go
            // has been ended already; a later one may hold the scan now).
            if (!VXUIScan::ThisThreadsRunWasLetGo()) m_recovery.ResetParam(m_scan.Session());
        });
    }

    bool DoScanWithData(const DiskVolumeNodeRef& item, const std::string& key) override {
        if (!item) return false;
        VXUIDeviceData& list = VXUIDeviceData::instance();
        if (item->identity().empty()) {
            m_scan.SetDeepScan(0);
            return DoScanWithDiskIndex(item->diskIndex(), item->volumeIndex(), key);
        }
        // The list is being read again: the scan starts once that listing
        // stands, even when more follow it.
        if (list.IsListing()) {
            list.WhenListed([this, item, key] { ScanByIdentity(item, key); });
            return true;
        }
        return ScanByIdentity(item, key);
    }

    bool ScanByIdentity(const DiskVolumeNodeRef& item, const std::string& key) {
        VXUIDeviceData& list = VXUIDeviceData::instance();
        int disk = -1, volume = -1;
        if (!list.GetDiskVolumeIndexByStorage(list.GetStorageByIdentity(item->identity()), disk, volume)) {
            CatchExeception::WriteLog("the device chosen is no longer listed: %s\n", item->identity().c_str());
            return false;
        }
        m_scan.SetDeepScan(0);
        return DoScanWithDiskIndex(disk, volume, key);
    }

    bool DoDeepScan(const std::string& key) override {
        int disk = -1, volume = -1;
        VXUIDeviceData::instance().GetDiskVolumeIndexByStorage(m_scan.SavedStorage().get(), disk, volume);
        if (disk < 0) return false;
        m_scan.SetDeepScan(1);
        return DoScanWithDiskIndex(disk, volume, key);
    }

    void PauseOrResumeScan() override { m_scan.PauseOrResumeOperation(); }
    void StopScan(int skipBuild) override { m_scan.StopOperation(skipBuild); }
    void ResetShouldBuild() override { m_scan.SetShouldBuildTree(1); }
    bool ScanEndedByDeviceGone(double* percent) override {
        if (!m_scan.EndedByDeviceGone()) return false;
        if (percent) *percent = m_scan.DeviceGoneAtPercent();
        return true;
    }
    long long GetScanUnreadableSectors() override { return m_scan.UnreadableSectors(); }
    bool IsDeviceNotAnswering() override {
        // Recovery, previews and saves read the session's device; a scan
        // reads the one it holds (the same one unless a new scan began).
        return DeviceSilent(m_scan.SavedStorage().get()) || DeviceSilent(m_scan.Session()->Storage());
    }
    bool IsScanRunning() override {
        const int status = m_scan.GetStatus();
        return status == OP_RUNNING || status == OP_PAUSED || status == OP_STOP_REQUESTED;
    }
    bool IsPause() override { return m_scan.GetStatus() == OP_PAUSED; }
    bool IsDeepScan() override { return m_scan.IsDeepScan() != 0; }
    void SetViewType(int view) override { m_scan.SetScanType(view); }

    void GetScanFileSize(std::uint64_t* size, std::uint64_t* count) override {
        if (size) *size = m_scan.GetScanFileSize();
        if (count) *count = m_scan.GetScanFileCnt();
    }

    QString GetScanProgress(double* percent, std::uint64_t* count) override {
        VXUIScan& scan = m_scan;
        const _PROGRESS_INFO info = scan.GetProgressInfo();
        if (count) *count = scan.GetScanFileCnt();
        if (percent) *percent = static_cast<double>(info.current) * 100.0 / static_cast<double>(info.total ? info.total : 1);
        return QString::fromStdString(FormatRemainingTime(scan.GetScanElapseTime(), info.total, info.current));
    }

    int GetCurrentScanRecoveryCnt() override { return m_scan.GetCurrentScanRecoveryCnt(); }

    int GetScanTreeNodeData(OpNodeList* array, bool clear) override {
        return VXResultTrees::GetScanTreeNodeData(m_scan, array, clear);
    }
    int GetFileNodeToArray(OpNodeList& out, const OpNodeRef& item) override {
        return VXResultTrees::GetFileNodeToArray(out, item);
    }
    std::size_t GetNodeChildrenCnt(const OpNodeRef& item) override { return VXResultTrees::GetNodeChildrenCnt(item); }
    void RefreshTimeTreeState(const OpNodeList& roots) override { VXResultTrees::RefreshTimeTreeState(m_scan, roots); }
    void RefreshTypeTreeState(const OpNodeRef& item) override { VXResultTrees::RefreshTypeTreeState(item); }
    QString getImageForType(const QString& ext) override { return VXTypeMgr::share().getImageForType(ext); }
    void RefreshData() override { m_scan.RefreshAllData(); }
    void UnselectedAllNodes() override { m_scan.UnselectAllNodes(); }

    bool DoSearchWithString(const QString& text, const std::string& key) override {
        VXUIScan& scan = m_scan;
        if (scan.IsSearching()) {
            CatchExeception::WriteLog("++++++++++skip search key:%s++++++++\n", text.toUtf8().constData());
            return false;
        }
        VXTypeMgr::share().setSearch(true);
        VXTimeMgr::share().setSearch(true);
        scan.SetSearching(1);
        scan.SetSearchKey(text.toUtf8().constData());
        const bool started = salvor::platform::startDetachedThread(
            [this, key] {
                VXUIScan& s = m_scan;
                s.DoSearch();
                VXUIPublic::NotifyMainThread(key);
                s.SetNeedUIUpdate(0);
            },
            0, "salvor-search");
        if (!started) scan.SetSearching(0);
        return started;
    }

    QString GetSearchString() override { return QString::fromStdString(m_scan.GetSearchKey()); }
    void StopSearch() override { m_scan.SetSearching(0); }

    void GetSearchResultToArr(std::vector<IFileNode*>* out) override {
        VXUIScan& scan = m_scan;
        if (!out || !scan.HasSearchKey()) return;
        for (const auto& [category, files] : scan.GetTypeMap())
            for (IFileNode* node : files)
                if (node && node->IsNodeShow()) out->push_back(node);
    }

    std::vector<IFileNode*> GetSelectedFilesAndSize(std::uint64_t* size) override {
        std::vector<IFileNode*> out;
        std::uint64_t bytes = size ? *size : 0;
        // A copy: the scan may still be adding to its map.
        const auto types = m_scan.GetTypeMap();
        for (const auto& [category, list] : types)
            for (IFileNode* node : list)
                if (node && node->IsNodeShow() && node->GetCheckedStatus() == CHECK_ALL) {
                    out.push_back(node);
                    bytes += static_cast<std::uint64_t>(std::max<long long>(node->GetFileSize(), 0));
                }
        if (size) *size = bytes;
        return out;
    }

    void GetSelectedFilesAmout(int* count, std::uint64_t* size) override {
        std::uint64_t bytes = size ? *size : 0;
        const std::uint64_t files = GetSelectedFilesAndSize(&bytes).size();
        if (count) *count = static_cast<int>(files);
        if (size) *size = bytes;
        m_recovery.SetRecoveryTotalSize(bytes);
        m_recovery.SetRecoveryTotalFilesCnt(files);
    }

    // The poller and the start of one save or load, whichever comes first,
    // mark the operation running; the second joins that run.
    enum class Armed { None, ByPoller, ByStart };
    struct Transfer {
        Armed armed = Armed::None;
        std::uint64_t generation = 0;
    };

    VXUIOperation& TransferOperation(bool save) {
        return save ? static_cast<VXUIOperation&>(VXSaveAndRestoreNodeOperate::instance()) : m_scan;
    }

    // Joins the run the other call began (true), or begins one.
    bool JoinOrBegin(bool save, Armed by, std::uint64_t& generation) {
        Transfer& t = m_transfer[save ? 1 : 0];
        VXUIOperation& op = TransferOperation(save);
        const bool join = t.armed != Armed::None && t.armed != by && op.Generation() == t.generation;
        if (join) {
            generation = t.generation;
            t.armed = Armed::None;
            return true;
        }
        generation = op.BeginRun();
        // The last run's finished record must not pass for this one's.
        op.SetProgressInfo(MakeProgress(PROGRESS_RUNNING, 100, 0));
        t = {by, generation};
        return false;
    }

    // A load while a save still reads the scan's nodes, or a scan runs.
    bool LoadRefused() {
        VXUIScan& scan = m_scan;
        return !scan.IsOperationExit() || scan.LiveWorkers() > 0 || scan.IsEndHeldForLoad() || IsSaveWorking();
    }

    // A second save would take over the running one's progress and end with
    // its end: it is refused until that one has ended.
    bool TransferRefused(bool save) { return save ? IsSaveWorking() : LoadRefused(); }

    void RestorPostUIUpdate(const std::string& key, bool save) override {
        Transfer& t = m_transfer[save ? 1 : 0];
        const bool joining = t.armed == Armed::ByStart && TransferOperation(save).Generation() == t.generation;
        if (!joining && TransferRefused(save)) {
            CatchExeception::WriteLog("no %s poller: a scan or a save is running\n", save ? "save" : "load");
            return;
        }
        std::uint64_t generation = 0;
        JoinOrBegin(save, Armed::ByPoller, generation);
        COperationRunner::StartTransferPoller(TransferOperation(save), key, generation);
    }

    bool beginSaveOrRestoreNode(bool save, const QString& path) override {
        Transfer& t = m_transfer[save ? 1 : 0];
        const bool joining = t.armed == Armed::ByPoller && TransferOperation(save).Generation() == t.generation;
        if (!joining && TransferRefused(save)) {
            CatchExeception::WriteLog("%s refused: another one runs\n", save ? "save" : "load");
            return false;
        }
        if (!save) {
            // The trees are the windows' objects: emptied here, on the main
            // thread; the load thread clears the scan's own results.
            m_scan.RetireResults();
            VXTypeMgr::share().clear();
            VXTimeMgr::share().clear();
        }
        std::uint64_t generation = 0;
        JoinOrBegin(save, Armed::ByStart, generation);
        const QByteArray native = path.toUtf8();
        const char* file = path.isEmpty() ? nullptr : native.constData();
        VXUIOperation& op = TransferOperation(save);
        const int started = save ? DoSaveScanResult(file, &op, [this] { return MakeSaveSource(m_scan); })
                                 : DoRestoreScanResult(file, &op, MakeRestoreTarget(m_scan, m_recovery));
        if (started == 0) return true;
        CatchExeception::WriteLog("%s of %s not started: %d\n", save ? "save" : "load", native.constData(), started);
        op.SetProgressInfo(MakeProgress(PROGRESS_FINISHED, 100, 100, kTransferNotStarted));
        op.FinishOperation();
        return false;
    }

    bool IsSaveWorking() override { return !VXSaveAndRestoreNodeOperate::instance().IsOperationExit(); }
    void StopSave() override { VXSaveAndRestoreNodeOperate::instance().StopOperation(1); }

    void GetSaveorRestoreProgress(std::uint64_t* total, std::uint64_t* current, std::uint64_t* error,
                                  bool save) override {
        const _PROGRESS_INFO info = TransferOperation(save).GetProgressInfo();
        if (total) *total = info.total;
        if (current) *current = info.state == PROGRESS_FINISHED ? info.total : info.current;
        if (error) *error = info.result;
    }

    std::uint64_t GetSaveUnmarkedFiles(std::uint64_t* planned) override {
        const LastSaveMarks marks = LastSaveMarksLeft();
        if (planned) *planned = marks.planned;
        return marks.unmarked;
    }

    static_assert(kLoadDeviceMissing == SAVED_NO_DEVICE);
    static_assert(kSaveOldNotKept == SAVED_OLD_NOT_KEPT);
    static_assert(kLoadOldNotBack == SAVED_OLD_NOT_BACK);
    OldSaveLeft GetRestoreOldSaveLeft(QString* record) override {
        using SaveRestoreResult::KeptLeftWhy;
        const SaveRestoreResult::KeptLeft left = LastLoadOldSaveLeft();
        if (record) *record = QString::fromStdString(left.record);
        switch (left.why) {
        case KeptLeftWhy::None: return OldSaveLeft::None;
        case KeptLeftWhy::NotTrusted: return OldSaveLeft::NotTrusted;
        case KeptLeftWhy::BytesMissing: return OldSaveLeft::BytesMissing;
        case KeptLeftWhy::Held: return OldSaveLeft::Held;
        case KeptLeftWhy::Damaged:
        case KeptLeftWhy::BytesDamaged: return OldSaveLeft::Damaged;
        case KeptLeftWhy::OtherFile: return OldSaveLeft::OtherFile;
        case KeptLeftWhy::Length: return OldSaveLeft::Length;
        case KeptLeftWhy::NotWritable: return OldSaveLeft::NotWritable;
        case KeptLeftWhy::NotPutBack: return OldSaveLeft::NotPutBack;
        }
        return OldSaveLeft::NotPutBack;
    }
    DiskVolumeNodeRef GetRestoreDevice(bool* alike) override {
        const LastLoadDevice last = LastLoadDeviceSeen();
        if (alike) *alike = last.alikeAttached;
        if (!last.read) return nullptr;
        _DiskVolumeData record;
        record.name = last.disk.name.c_str();
        record.size = static_cast<std::uint64_t>(std::max<std::int64_t>(last.disk.size, 0));
        record.diskIndex = last.disk.diskIndex;
        record.volumeIndex = last.disk.volumeIndex;
        record.fileSystem = last.disk.fileSystem;
        return DiskVolumeNodeData::initWithNodeData(record);
    }

    QString GetSaveFileName() override {
        const std::shared_ptr<IStorageDevice> held = m_scan.SavedStorage();
        IStorageDevice* storage = held.get();
        VXUIDeviceData& devices = VXUIDeviceData::instance();
        _DiskVolumeData data;
        if (storage && !(devices.IsDiskStorage(storage) ? devices.GetDiskDataByStorage(storage, data)
                                                        : devices.GetVolumeDataByStorage(storage, data)))
            data.name = nullptr;
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        return FormatSaveFileName(data.name, local);
    }

    std::uint64_t DoRecovery(const OpNodeList* items, const QString& path, const std::string& key, void*) override {
        VXUIRecovery& recovery = m_recovery;
        // A recovery let go while its read hung is waited for: its worker
        // still holds the counts and the destination names.
        if (!items || path.isNull() || !recovery.IsOperationExit() || recovery.LetGoWorkerAlive())
            return RecoveryResult::BadArgument;
        recovery.SetRecoveryPath((path + QLatin1Char('/')).toUtf8().constData());
        recovery.ClearCreateDirIndex();
        // The session whose files the window shows and ticked.
        std::shared_ptr<ScanSession> session = m_scan.Session();
        return COperationRunner::StartOperation(recovery, key,
                                                [this, session] {
                                                    std::string label, carved;
                                                    int flags[3] = {0, 0, 0};
                                                    m_recovery.DoRecovery(session, label, carved, flags);
                                                })
                   ? 0
                   : RecoveryResult::BadArgument;
    }

    QString GetRecoveryProgressTotal(std::uint64_t* total, std::uint64_t* current, std::uint64_t* error) override {
        const _PROGRESS_INFO info = m_recovery.GetProgressInfo();
        if (total) *total = info.total;
        if (current) *current = info.current;
        if (error) *error = info.result;
        return QString::fromStdString(m_recovery.GetCurrentRecoveryName());
    }

    bool IsRecoveryRunning() override {
        const int status = m_recovery.GetStatus();
        return status == OP_RUNNING || status == OP_PAUSED;
    }
    bool IsRecoveryWorking() override { return !m_recovery.IsOperationExit(); }
    void PauseOrResumeRecovery() override { m_recovery.PauseOrResumeOperation(); }
    void StopRecvoery() override { m_recovery.StopOperation(1); }
    std::uint64_t GetRecoveridedFiles() override { return m_recovery.GetRecoveriedFilesCnt(); }
    bool IsRecoverySourceGone() override { return m_recovery.StoppedBySourceGone(); }
    std::uint64_t GetRecoveryFailedFiles() override { return m_recovery.GetFailedFilesCnt(); }
    std::uint64_t GetRecoveridedSize() override { return m_recovery.GetRecoveriedSize(); }
    bool IsRecoveryToSameDevice(const QString& path) override {
        return !path.isNull() &&
               VXUIRecovery::RecoveryPathIsSameDevice(path.toUtf8().constData(), m_scan.SavedStorage().get());
    }
    PreviewImage GetNSImageByNode(IFileNode* node) override {
        return VXUIPreview::GetNSImageByFildNode(m_scan.Session(), node);
    }
    std::shared_ptr<const void> KeepFoundFiles() override { return m_scan.Session(); }
    void USBNotifier_init() override { ::USBNotifier_init(); }

    void ReleaseDataRecovery() override {
        // A writer is let go under its lock, which a preview whose read hangs
        // holds: the window does not wait for it, a thread of its own does,
        // holding the sessions (taken now: a scan started meanwhile keeps its own).
        std::vector<std::shared_ptr<ScanSession>> sessions{m_scan.Session(), m_recovery.UnbindSession()};
        auto release = [sessions] {
            for (const std::shared_ptr<ScanSession>& session : sessions)
                if (session) session->ReleaseWriters();
        };
        if (!salvor::platform::startDetachedThread(release, 0, "salvor-writers")) release();
    }

private:
    VXUIScan& m_scan;
    VXUIRecovery& m_recovery;
    Transfer m_transfer[2]; // [0] loads, [1] saves; main thread only
};

CUIController& RealController() {
    static CUIController* const controller = new CUIController(VXUIScan::instance(), VXUIRecovery::instance());
    return *controller;
}

std::atomic<VXUIController*> g_installed{nullptr};

} // namespace

VXUIController& VXUIController::shared() {
    VXUIController* installed = g_installed.load();
    return installed ? *installed : RealController();
}

void VXUIController::install(VXUIController* replacement) { g_installed.store(replacement); }
