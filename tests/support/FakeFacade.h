#pragma once
// A stand-in for the services facade in widget and window tests: installed
// while it lives, answering from plain fields the test sets.
#include "services/UIController.h"

#include <string>
#include <vector>

namespace salvor::test {

class FakeFacade : public VXUIController {
public:
    FakeFacade() { install(this); }
    ~FakeFacade() override { install(nullptr); }

    bool scanRunning = false, paused = false;
    std::vector<DiskVolumeNodeRef> devices;
    std::vector<std::string> notifyKeys; // asked for by NotifiyDeviceInfoAfterInit
    bool appRunning = false, network = false;
    QString savePath, defaultSavePath, upDataTimeStr;

    bool IsScanRunning() override { return scanRunning; }
    bool IsPause() override { return paused; }
    void NotifiyDeviceInfoAfterInit(const std::string& key) override { notifyKeys.push_back(key); }
    void GetDeviceInfoToArray(std::vector<DiskVolumeNodeRef>& out) override {
        out.insert(out.end(), devices.begin(), devices.end());
    }
    void RefreshDeviceInfo() override {}
    bool IsAppRunning() override { return appRunning; }
    // A test that gets here has failed: the real one ends the process.
    [[noreturn]] void CloseApp() override;
    QString GetSavePath() override { return savePath; }
    bool SavePathToPList(const QString& path) override { return savePath = path, true; }
    QString GetDefaultSavePath() override { return defaultSavePath; }
    QString getUpDataTimeStr() override { return upDataTimeStr; }
    bool writeUpDataTimeStr(const QString& text) override { return upDataTimeStr = text, true; }
    bool isCanBeUseNetWork() override { return network; }
};

} // namespace salvor::test
