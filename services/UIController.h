#pragma once
// The facade through which the windows reach the application services. The
// windows call VXUIController::shared(); window tests install a fake in its
// place. Everything here is called on the main thread unless said otherwise;
// results reach the windows as notifications posted on the main thread.
#include "services/PreviewImage.h"
#include "services/TreeItems.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <ctime>

class IFileNode;

// "<name>_MM-DD-YYYY at HH_MM_SS": the name without "/" (made "-") and
// control characters; the untitled text when there is none.
QString FormatSaveFileName(const char* deviceName, const std::tm& local);

class VXUIController {
public:
    virtual ~VXUIController() = default;

    // The installed facade: the real one unless a test installed another.
    static VXUIController& shared();
    // Installs a replacement (borrowed; it must outlive its use); null puts
    // the real facade back.
    static void install(VXUIController* replacement);

    // Device list. One post of key per call, after the list stands; never
    // inside the call, so the caller may register its observer afterwards.
    virtual void NotifiyDeviceInfoAfterInit(const std::string& key) = 0;
    // One item per listed disk, its listed volumes as children.
    virtual void GetDeviceInfoToArray(std::vector<DiskVolumeNodeRef>& out) = 0;
    // Stops the scan, then lists the devices again (after a medium came or
    // went). The old list stays while a scan refuses to end.
    virtual void RefreshDeviceInfo() = 0;
    // The same without holding the window thread: the devices are read on a
    // thread of their own and key is posted once the new list stands.
    // Requests made meanwhile are merged into one more listing.
    virtual void RefreshDeviceInfoInBackground(const std::string& key) = 0;

    // Another process of this program runs.
    virtual bool IsAppRunning() = 0;
    // After IsAppRunning answered true: that process said it is ending (a
    // save being stopped); asked again, IsAppRunning takes over once it has.
    virtual bool IsAppEnding() { return false; }
    // Ends the process at once with status 0 (the log is flushed first).
    [[noreturn]] virtual void CloseApp() = 0;

    // Local settings of the "LocalVersionMessage" list (user's copy).
    virtual QString GetSavePath() = 0;
    virtual bool SavePathToPList(const QString& path) = 0;
    // "SaveScan" in the work folder, made when missing.
    virtual QString GetDefaultSavePath() = 0;
    virtual QString getUpDataTimeStr() = 0;
    virtual bool writeUpDataTimeStr(const QString& text) = 0;
    // Blocks for at most 5 s.
    virtual bool isCanBeUseNetWork() = 0;

    // The operations below answer nothing by default, so that a window
    // test's fake overrides only what its window calls.

    // File types. The catalogue's extension lists go to the engine (once, at
    // start, before any scan); the mask selects the wanted categories.
    virtual void initFileType() {}
    virtual void SetRecoveryType(unsigned /*mask*/) {}

    // Scans. A request while a scan runs or is paused does nothing (false);
    // a stop left over from an ended scan is cleared first. key is posted at
    // updates and once after the end. An item is scanned by its identity
    // when it has one (the device it named when it was chosen, wherever the
    // list now places it; nothing when that device went), waiting for a
    // listing under way to end.
    virtual bool DoScanWithDiskIndex(int /*disk*/, int /*volume*/, const std::string& /*key*/) { return false; }
    virtual bool DoScanWithData(const DiskVolumeNodeRef& /*item*/, const std::string& /*key*/) { return false; }
    // A deep scan of the device scanned last.
    virtual bool DoDeepScan(const std::string& /*key*/) { return false; }
    virtual void PauseOrResumeScan() {}
    virtual void StopScan(int /*skipBuild*/) {}
    virtual void ResetShouldBuild() {}
    virtual bool IsScanRunning() { return false; }
    virtual bool IsPause() { return false; }
    virtual bool IsDeepScan() { return false; }
    // The last scan ended because its device stopped answering; percent (when
    // given) is how much of the scan was done when it went.
    virtual bool ScanEndedByDeviceGone(double* /*percent*/) { return false; }
    // Sectors of the file systems' structures the last scan could not read
    // (0: none); files that lay in them may be missing or incomplete.
    virtual long long GetScanUnreadableSectors() { return 0; }
    // The device being scanned, recovered from or saved from answers nowhere
    // right now and is waited for; false again once it answers, or once it
    // is given up as gone.
    virtual bool IsDeviceNotAnswering() { return false; }
    virtual void SetViewType(int /*view*/) {}
    virtual void GetScanFileSize(std::uint64_t* /*size*/, std::uint64_t* /*count*/) {}
    // The remaining-time text; percent and count of found files.
    virtual QString GetScanProgress(double* /*percent*/, std::uint64_t* /*count*/) { return QString(); }
    virtual int GetCurrentScanRecoveryCnt() { return 0; }

    // Result trees (the view set by SetViewType).
    virtual int GetScanTreeNodeData(OpNodeList* /*array*/, bool /*clear*/) { return 0; }
    virtual int GetFileNodeToArray(OpNodeList& /*out*/, const OpNodeRef& /*item*/) { return 0; }
    virtual std::size_t GetNodeChildrenCnt(const OpNodeRef& /*item*/) { return 0; }
    virtual void RefreshTimeTreeState(const OpNodeList& /*dateRoots*/) {}
    virtual void RefreshTypeTreeState(const OpNodeRef& /*item*/) {}
    // The icon request of an extension (a themed icon name); ui/kit makes
    // the picture on the main thread.
    virtual QString getImageForType(const QString& /*ext*/) { return QString(); }
    virtual void RefreshData() {}
    virtual void UnselectedAllNodes() {}

    // Previews. Called from loader threads (the facade serialises the
    // decoding itself); nothing when no preview can be made.
    virtual PreviewImage GetNSImageByNode(IFileNode* /*node*/) { return {}; }
    virtual PreviewImage GetNSImageByFildNodeNSNumber(IFileNode* node) { return GetNSImageByNode(node); }
    // Keeps the files listed now alive while it is held, also past a new
    // scan: a preview asked for one of them (and perhaps still reading it
    // when the windows have moved on) never reads a freed file.
    virtual std::shared_ptr<const void> KeepFoundFiles() { return nullptr; }

    // Name search: one at a time; a second is refused until StopSearch.
    virtual bool DoSearchWithString(const QString& /*text*/, const std::string& /*key*/) { return false; }
    virtual QString GetSearchString() { return QString(); }
    virtual void StopSearch() {}
    // The found files the search left shown.
    virtual void GetSearchResultToArr(std::vector<IFileNode*>* /*out*/) {}

    // Saved scan results. save: a save of the results to path; otherwise a
    // load of path into the scan service (refused while a scan runs). The
    // poller (RestorPostUIUpdate) and the start may come in either order;
    // both belong to one run. A start that fails ends the run at once with a
    // non-zero error code, and the poller still posts "QueryProgressFinish"
    // once.
    virtual bool beginSaveOrRestoreNode(bool /*save*/, const QString& /*path*/) { return false; }
    // Starts the poller that posts key at updates and "QueryProgressFinish"
    // at the end of the save (save) or the load.
    virtual void RestorPostUIUpdate(const std::string& /*key*/, bool /*save*/) {}
    // A save's thread has not ended yet; StopSave ends it early, and a save
    // stopped so leaves no file.
    virtual bool IsSaveWorking() { return false; }
    virtual void StopSave() {}
    // The last progress of the save (save) or the load: total, current
    // (the total once finished) and the error code.
    virtual void GetSaveorRestoreProgress(std::uint64_t* total, std::uint64_t* current, std::uint64_t* error,
                                          bool /*save*/) {
        if (total) *total = 0;
        if (current) *current = 0;
        if (error) *error = 0;
    }
    // The proposed name of a scan-result file: the name of the disk or
    // volume scanned last, "_" and the local time.
    virtual QString GetSaveFileName() { return QString(); }
    // The error code of a load that did not find the device its file was
    // made of attached (SAVED_NO_DEVICE).
    static constexpr std::uint64_t kLoadDeviceMissing = 6;
    // The files the last save could not mark by their bytes because the
    // device did not answer while they were read (0: it answered), and in
    // *planned how many it set out to mark: a load cannot check those files
    // against the device.
    virtual std::uint64_t GetSaveUnmarkedFiles(std::uint64_t* planned) {
        if (planned) *planned = 0;
        return 0;
    }
    // The error code of a save over an earlier one that found no place to
    // keep the earlier one's bytes aside meanwhile: nothing was saved, the
    // earlier save stands unchanged (SAVED_OLD_NOT_KEPT).
    static constexpr std::uint64_t kSaveOldNotKept = 10;
    // The error code of a load of a save cut short whose earlier save, kept
    // aside while it was overwritten, could not be put back (SAVED_OLD_NOT_BACK).
    static constexpr std::uint64_t kLoadOldNotBack = 11;
    // Why that earlier save was not put back.
    enum class OldSaveLeft {
        None,
        NotTrusted,   // its kept copy may have been written by another user
        BytesMissing, // its kept copy's bytes are not all on the disk
        Held,         // a save or a load running now holds its kept copy
        Damaged,      // its kept copy is damaged
        OtherFile,    // the kept copy found was made for another file
        Length,       // the file's length fits no copy that was cut short
        NotWritable,  // this user may not write the file
        NotPutBack,   // writing it back failed
    };
    // Why the last load could not put back the earlier save of the save cut
    // short it read, and the kept copy where that save's bytes stay (None
    // and no path when the last load did not fail for it).
    virtual OldSaveLeft GetRestoreOldSaveLeft(QString* record) {
        if (record) record->clear();
        return OldSaveLeft::None;
    }
    // The device the last load's file was made of, as the device list would
    // show it (null before a load has read one); *alike tells whether devices
    // of its name, size and kind were attached, and refused as not it.
    virtual DiskVolumeNodeRef GetRestoreDevice(bool* alike) {
        if (alike) *alike = false;
        return nullptr;
    }
    // Recovery of the ticked files. GetSelectedFilesAmout counts the shown,
    // fully ticked files, adds their sizes to *size (callers pass 0) and
    // hands both to the recovery as its totals.
    virtual void GetSelectedFilesAmout(int* /*count*/, std::uint64_t* /*size*/) {}
    // The shown, fully ticked files themselves; their sizes are added to
    // *size (callers pass 0). The nodes stay the scan's.
    virtual std::vector<IFileNode*> GetSelectedFilesAndSize(std::uint64_t* /*size*/) { return {}; }
    // Writes the ticked files under path (the items are only tested for
    // null); key is posted at updates and once after the end. Answers 0 when
    // started, 0x102055700000001 without items or path.
    virtual std::uint64_t DoRecovery(const OpNodeList* /*items*/, const QString& /*path*/, const std::string& /*key*/,
                                     void* /*window*/) { return 0; }
    // Total and done bytes and the result code of the last record; the name
    // of the file being written, or "".
    virtual QString GetRecoveryProgressTotal(std::uint64_t* /*total*/, std::uint64_t* /*current*/,
                                             std::uint64_t* /*error*/) { return QString(); }
    virtual bool IsRecoveryRunning() { return false; }
    // The recovery's worker has not ended yet (running, paused, or stopping).
    virtual bool IsRecoveryWorking() { return IsRecoveryRunning(); }
    virtual void PauseOrResumeRecovery() {}
    virtual void StopRecvoery() {}
    // Files written whole, and their bytes.
    virtual std::uint64_t GetRecoveridedFiles() { return 0; }
    // The last recovery stopped because the scanned device stopped answering.
    virtual bool IsRecoverySourceGone() { return false; }
    // Files of the last recovery not copied whole (unreadable parts, no writer, refused).
    virtual std::uint64_t GetRecoveryFailedFiles() { return 0; }
    virtual std::uint64_t GetRecoveridedSize() { return 0; }
    // The destination lies on what was scanned (the window warns; the
    // recovery writes where it is told all the same).
    virtual bool IsRecoveryToSameDevice(const QString& /*path*/) { return false; }
    virtual void ReleaseDataRecovery() {}

    // Starts the storage-media notifications ("RefreshAttachDevice",
    // "RefreshDetachDevice") once, when launching has finished; main thread.
    virtual void USBNotifier_init() {}

    // Usage statistics: kept as entry points, they do nothing.
    virtual void SpyIDIncreateTable1(int) {}
    virtual void SpyIDIncreateTable2(int, int) {}
    virtual void SpyIDStringTable1(int, const QString&) {}
    virtual void SpyIDStringTable2(int, const QString&) {}
    virtual void SpyIDSaveToServerTable() {}
};
