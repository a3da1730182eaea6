#pragma once
// The facade the window tests install in place of the real one: scripted
// devices, a scan that posts its key when told, loads and saves that end
// with a chosen code, recovery progress values, and a count of the calls
// the windows made. Main thread only.
#include "services/UIController.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace salvor::test {

class FakeFacade : public VXUIController {
public:
    // What CloseApp throws: the process would end there.
    struct CloseAppCalled {};

    // Installs itself; the destructor puts the real facade back.
    FakeFacade() { VXUIController::install(this); }
    ~FakeFacade() override { VXUIController::install(nullptr); }

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
    std::vector<Disk> disks; // what the device list answers

    // The scan: 0 idle, 2 running, 3 paused, as the scan operation keeps it.
    int scanStatus = 0;
    std::string scanKey;
    DiskVolumeNodeRef scanned;
    void postScanUpdate() const; // posts the scan's key on the main thread
    void endScan() { scanStatus = 0, postScanUpdate(); }

    // The save or load under way: progress posts its key, the end
    // "QueryProgressFinish" with the error code.
    std::uint64_t progressTotal = 0, progressCurrent = 0, progressError = 0;
    std::string restoreKey;
    void postProgress(std::uint64_t current, std::uint64_t total);
    void finishSaveOrLoad(std::uint64_t code);

    // Recovery progress, for the recovery dialogs.
    std::uint64_t recoveryTotal = 0, recoveryCurrent = 0, recoveryError = 0;

    QString savePath, updateTime;
    bool updateTimeWritten = false, network = true, appRunning = false, appEnding = false;
    unsigned recoveryMask = 0;
    QString lastRestorePath;
    bool lastSaveFlag = false;
    std::map<std::string, int> calls;
    int count(const std::string& name) const { return calls.count(name) ? calls.at(name) : 0; }

    // VXUIController.
    void NotifiyDeviceInfoAfterInit(const std::string& key) override;
    void GetDeviceInfoToArray(std::vector<DiskVolumeNodeRef>& out) override;
    void RefreshDeviceInfo() override { ++calls["RefreshDeviceInfo"]; }
    // Posts key on a later pass of the loop, as the real list does once read.
    void RefreshDeviceInfoInBackground(const std::string& key) override;
    bool IsAppRunning() override { return appRunning; }
    bool IsAppEnding() override { return appEnding; }
    [[noreturn]] void CloseApp() override { ++calls["CloseApp"], throw CloseAppCalled{}; }
    QString GetSavePath() override { return savePath; }
    bool SavePathToPList(const QString& path) override { return savePath = path, true; }
    QString GetDefaultSavePath() override { return QStringLiteral("/tmp"); }
    QString getUpDataTimeStr() override { return updateTime; }
    bool writeUpDataTimeStr(const QString& text) override { return updateTime = text, updateTimeWritten = true; }
    bool isCanBeUseNetWork() override { return network; }
    void initFileType() override { ++calls["initFileType"]; }
    void SetRecoveryType(unsigned mask) override { recoveryMask = mask; }
    bool DoScanWithData(const DiskVolumeNodeRef& item, const std::string& key) override;
    void PauseOrResumeScan() override { scanStatus = scanStatus == 2 ? 3 : scanStatus == 3 ? 2 : scanStatus; }
    void StopScan(int) override {
        if (scanStatus) endScan();
    }
    bool IsScanRunning() override { return scanStatus == 2 || scanStatus == 3; }
    bool IsPause() override { return scanStatus == 3; }
    long long unreadableSectors = 0;
    long long GetScanUnreadableSectors() override { return unreadableSectors; }
    bool deviceNotAnswering = false;
    bool IsDeviceNotAnswering() override { return deviceNotAnswering; }
    bool beginSaveOrRestoreNode(bool save, const QString& path) override;
    void RestorPostUIUpdate(const std::string& key, bool) override { restoreKey = key; }
    void GetSaveorRestoreProgress(std::uint64_t* total, std::uint64_t* current, std::uint64_t* error, bool) override {
        *total = progressTotal, *current = progressCurrent, *error = progressError;
    }
    std::uint64_t saveUnmarked = 0, saveMarkPlanned = 0;
    std::uint64_t GetSaveUnmarkedFiles(std::uint64_t* planned) override {
        if (planned) *planned = saveMarkPlanned;
        return saveUnmarked;
    }
    DiskVolumeNodeRef GetRestoreDevice(bool* alike) override {
        if (alike) *alike = restoreAlike;
        return restoreDevice;
    }
    DiskVolumeNodeRef restoreDevice;
    bool restoreAlike = false;
    OldSaveLeft GetRestoreOldSaveLeft(QString* record) override {
        if (record) *record = oldSaveRecord;
        return oldSaveLeft;
    }
    OldSaveLeft oldSaveLeft = OldSaveLeft::None;
    QString oldSaveRecord;
    void ReleaseDataRecovery() override { ++calls["ReleaseDataRecovery"]; }

    // Previews: what preview answers (run on the loaders' threads).
    std::function<PreviewImage(IFileNode*)> preview;
    PreviewImage GetNSImageByNode(IFileNode* node) override { return preview ? preview(node) : PreviewImage{}; }

    // The recovery: 0 idle, 1 stopping, 2 running, 3 paused. DoRecovery starts it (or,
    // with recoveryEndsAtOnce, has it over before the first post) and posts
    // its key; postRecovery() posts again, endRecovery() ends it and posts.
    int recoveryStatus = 0;
    bool recoveryEndsAtOnce = false, sameDevice = false;
    std::string recoveryKey;
    QString recoveryPath, recoveryName;
    const OpNodeList* recoveryItems = nullptr;
    int selectedCount = 0;
    std::uint64_t selectedSize = 0, recoveredFiles = 0;
    void postRecovery() const;
    void endRecovery() { recoveryStatus = 0, postRecovery(); }
    void GetSelectedFilesAmout(int* count, std::uint64_t* size) override {
        ++calls["GetSelectedFilesAmout"];
        *count = selectedCount, *size += selectedSize;
    }
    std::uint64_t DoRecovery(const OpNodeList* items, const QString& path, const std::string& key, void*) override;
    QString GetRecoveryProgressTotal(std::uint64_t* total, std::uint64_t* current, std::uint64_t* error) override {
        *total = recoveryTotal, *current = recoveryCurrent, *error = recoveryError;
        return recoveryName;
    }
    bool IsRecoveryRunning() override { return recoveryStatus == 2 || recoveryStatus == 3; }
    bool IsRecoveryWorking() override { return recoveryStatus != 0; }
    void PauseOrResumeRecovery() override {
        ++calls["PauseOrResumeRecovery"];
        recoveryStatus = recoveryStatus == 2 ? 3 : recoveryStatus == 3 ? 2 : recoveryStatus;
    }
    void StopRecvoery() override { ++calls["StopRecvoery"], endRecovery(); }
    std::uint64_t GetRecoveridedFiles() override { return recoveredFiles; }
    // The recovery ended because the scanned device stopped answering.
    bool recoverySourceGone = false;
    bool IsRecoverySourceGone() override { return recoverySourceGone; }
    std::uint64_t failedFiles = 0;
    std::uint64_t GetRecoveryFailedFiles() override { return failedFiles; }
    bool IsRecoveryToSameDevice(const QString&) override { return sameDevice; }
    // A save's thread: 0 ended, 1 stopping, 2 writing.
    int saveStatus = 0;
    bool IsSaveWorking() override { return saveStatus != 0; }
    void StopSave() override { ++calls["StopSave"], saveStatus = saveStatus ? 1 : 0; }
};

} // namespace salvor::test
