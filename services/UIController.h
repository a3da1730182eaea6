#pragma once
// The facade through which the windows reach the application services. The
// windows call VXUIController::shared(); window tests install a fake in its
// place. Everything here is called on the main thread unless said otherwise;
// results reach the windows as notifications posted on the main thread.
#include "services/TreeItems.h"

#include <QString>

#include <string>
#include <vector>

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

    // The scan: running (also while paused or winding down after a stop), and
    // paused. Answers "nothing running" until the scan operations are in.
    virtual bool IsScanRunning() { return false; }
    virtual bool IsPause() { return false; }

    // Another process of this program runs.
    virtual bool IsAppRunning() = 0;
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

    // Usage statistics: kept as entry points, they do nothing.
    virtual void SpyIDIncreateTable1(int) {}
    virtual void SpyIDIncreateTable2(int, int) {}
    virtual void SpyIDStringTable1(int, const QString&) {}
    virtual void SpyIDStringTable2(int, const QString&) {}
    virtual void SpyIDSaveToServerTable() {}
};
