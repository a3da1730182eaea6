#pragma once
// A stand-in for the services facade in window and widget tests: installed
// while it lives, answering from plain fields the test sets, and counting
// the calls that change something.
#include "services/UIController.h"

#include <string>
#include <vector>

namespace salvor::test {

class FakeFacade : public VXUIController {
public:
    FakeFacade();
    ~FakeFacade() override;

    // Scan state.
    bool scanRunning = false;
    bool paused = false;
    // Device list and settings.
    std::vector<DiskVolumeNodeRef> devices;
    std::vector<std::string> notifyKeys; // keys asked for by NotifiyDeviceInfoAfterInit
    bool appRunning = false;
    bool network = false;
    QString savePath, defaultSavePath, upDataTimeStr;
    int refreshes = 0;

    bool IsScanRunning() override { return scanRunning; }
    bool IsPause() override { return paused; }
    void NotifiyDeviceInfoAfterInit(const std::string& key) override { notifyKeys.push_back(key); }
    void GetDeviceInfoToArray(std::vector<DiskVolumeNodeRef>& out) override {
        out.insert(out.end(), devices.begin(), devices.end());
    }
    void RefreshDeviceInfo() override { ++refreshes; }
    bool IsAppRunning() override { return appRunning; }
    // A test that reaches this has failed: the real one ends the process.
    [[noreturn]] void CloseApp() override;
    QString GetSavePath() override { return savePath; }
    bool SavePathToPList(const QString& path) override {
        savePath = path;
        return true;
    }
    QString GetDefaultSavePath() override { return defaultSavePath; }
    QString getUpDataTimeStr() override { return upDataTimeStr; }
    bool writeUpDataTimeStr(const QString& text) override {
        upDataTimeStr = text;
        return true;
    }
    bool isCanBeUseNetWork() override { return network; }
};

} // namespace salvor::test
