#pragma once
// Runs scans through the facade inside the test's event loop: counts the
// posts of a key and waits until the scan, its worker and its poller ended.
#include "engine/all/AllLibraries.h"
#include "engine/enumeration/EnumDevice.h"
#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "services/DeviceData.h"
#include "services/StatusPoller.h"
#include "services/UIController.h"
#include "services/UIScan.h"
#include "tests/platform/TestEnv.h"
#include "tests/support/ImageFileFacts.h"
#include "tests/support/fs_Scan.h"

#include <atomic>
#include <chrono>
#include <string>

namespace salvor::test {

class ScanHarness {
public:
    explicit ScanHarness(std::string key = "NormalScranValue") : key(std::move(key)) {
        platform::NotificationCenter::defaultCenter().addObserver(this, this->key, [this](const auto&) { ++posts; });
    }
    ~ScanHarness() { platform::NotificationCenter::defaultCenter().removeObserver(this); }
    ScanHarness(const ScanHarness&) = delete;
    ScanHarness& operator=(const ScanHarness&) = delete;

    static VXUIController& facade() { return VXUIController::shared(); }

    // Waits for the end of the scan and for its end post to be delivered.
    bool WaitEnd(std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        VXUIScan& scan = VXUIScan::instance();
        const bool ended = platform::runUntil(
            [&] { return scan.IsOperationExit() && scan.LiveWorkers() == 0 && CStatusPoller::LivePollers() == 0; },
            limit);
        platform::runUntil([] { return false; }, std::chrono::milliseconds(50));
        return ended;
    }

    // Starts a scan of (disk, volume) and waits for its end.
    bool Scan(int disk, int volume, bool deep = false) {
        posts = 0;
        VXUIScan::instance().SetDeepScan(0);
        const bool started = deep ? facade().DoDeepScan(key) : facade().DoScanWithDiskIndex(disk, volume, key);
        return started && WaitEnd();
    }

    std::string key;
    std::atomic<int> posts{0};
};

// Devices listed to the facade through `enumerator` for the scope. At the end
// the scan's results (their controllers read the devices) and its controller
// factory go first; declare it after what those controllers use.
class ListedDevices {
public:
    explicit ListedDevices(IEnumDeviceEx* enumerator) : m_list(enumerator) {
        listed = m_list.InitDeviceInfo();
        VXUIDeviceData::install(&m_list);
    }
    ~ListedDevices() {
        VXUIScan::instance().ReleaseResults();
        VXUIScan::instance().SetControllerFactory(nullptr);
        VXUIDeviceData::install(nullptr);
    }
    bool listed = false;

private:
    VXUIDeviceData m_list;
};

// Image files listed as attached disk images by the real enumerator.
struct AttachedImages {
    explicit AttachedImages(const std::vector<std::string>& images) : facts(images), enumerator(facts) {
        for (const std::string& i : images) devices.listed &= !i.empty(); // a fixture not made
    }
    ImageFileFacts facts;
    CEnumDeviceEx enumerator;
    ListedDevices devices{&enumerator};
};

// Every real file-system library, the file-type catalogue and every category.
inline void UseRealFileSystems() {
    RegisterAllLibraries();
    VXUIController::shared().initFileType();
    VXUIController::shared().SetRecoveryType(FILTER_ALL);
}

} // namespace salvor::test
