#pragma once
// The facade the window tests install in place of the real one: scripted
// devices, a scan that posts its key when told, loads and saves that end
// with a chosen code, recovery progress values, and a record of the calls
// the windows made. Main thread only.
#include "services/UIController.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace salvor::test {

class FakeFacade : public VXUIController {
public:
    // What CloseApp throws: the process would end there.
    struct CloseAppCalled {};

    // Installs itself; the destructor puts the real facade back.
    FakeFacade();
    ~FakeFacade() override;

    // ---- scripted devices -------------------------------------------------
    struct Volume {
        std::string name;
        std::uint64_t size = 0;
        int fileSystem = 2; // FAT32
        bool canOpen = true;
    };
    struct Disk {
        std::string name;
        std::uint64_t size = 0;
        std::vector<Volume> volumes;
        bool isDmg = false, isUsb = false;
    };
    std::vector<Disk> disks;

    // ---- a scan -------------------------------------------------------------
    // Status as the scan operation keeps it: 0 idle, 2 running, 3 paused.
    int scanStatus = 0;
    std::string scanKey;
    DiskVolumeNodeRef scanned;
    // Posts the scan's key on the main thread (an update).
    void postScanUpdate() const;
    // The scan ends: status 0 and one more post.
    void endScan();

    // ---- saves and loads -------------------------------------------------------
    std::uint64_t progressTotal = 0, progressCurrent = 0, progressError = 0;
    std::string restoreKey;
    // Reports progress of the save or load under way (posts its key).
    void postProgress(std::uint64_t current, std::uint64_t total);
    // Ends it with error code (posts "QueryProgressFinish").
    void finishSaveOrLoad(std::uint64_t code);

    // ---- recovery progress (for the recovery dialogs) ----------------------------
    std::uint64_t recoveryTotal = 0, recoveryCurrent = 0, recoveryError = 0;
    std::string recoveryFile;

    // ---- settings ---------------------------------------------------------------
    QString savePath, updateTime;
    bool updateTimeWritten = false;
    bool network = true, appRunning = false;

    // ---- what the windows asked --------------------------------------------
    std::map<std::string, int> calls;
    int count(const std::string& name) const;
    unsigned recoveryMask = 0;
    QString lastRestorePath;
    bool lastSaveFlag = false;

    // VXUIController.
    void NotifiyDeviceInfoAfterInit(const std::string& key) override;
    void GetDeviceInfoToArray(std::vector<DiskVolumeNodeRef>& out) override;
    void RefreshDeviceInfo() override { ++calls["RefreshDeviceInfo"]; }
    bool IsAppRunning() override { return appRunning; }
    [[noreturn]] void CloseApp() override;
    QString GetSavePath() override { return savePath; }
    bool SavePathToPList(const QString& path) override;
    QString GetDefaultSavePath() override { return QStringLiteral("/tmp"); }
    QString getUpDataTimeStr() override { return updateTime; }
    bool writeUpDataTimeStr(const QString& text) override;
    bool isCanBeUseNetWork() override;
    void initFileType() override { ++calls["initFileType"]; }
    void SetRecoveryType(unsigned mask) override;
    bool DoScanWithData(const DiskVolumeNodeRef& item, const std::string& key) override;
    void PauseOrResumeScan() override;
    void StopScan(int skipBuild) override;
    bool IsScanRunning() override { return scanStatus == 2 || scanStatus == 3; }
    bool IsPause() override { return scanStatus == 3; }
    bool beginSaveOrRestoreNode(bool save, const QString& path) override;
    void RestorPostUIUpdate(const std::string& key, bool save) override;
    void GetSaveorRestoreProgress(std::uint64_t* total, std::uint64_t* current, std::uint64_t* error,
                                  bool save) override;
    void ReleaseDataRecovery() override { ++calls["ReleaseDataRecovery"]; }
};

} // namespace salvor::test
