#pragma once
// Runs scans through the facade inside the test's event loop: counts the
// posts of a key and waits until the scan, its worker and its poller ended.
#include "engine/exfat/ExfatRegistration.h"
#include "engine/fat/FatRegistration.h"
#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "services/StatusPoller.h"
#include "services/UIController.h"
#include "services/UIScan.h"
#include "tests/platform/TestEnv.h"

#include <atomic>
#include <chrono>
#include <ctime>
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

// The real FAT and exFAT libraries, the file-type catalogue and every category.
inline void UseRealFileSystems() {
    RegisterFatLibrary();
    RegisterExfatLibrary();
    VXUIController::shared().initFileType();
    VXUIController::shared().SetRecoveryType(FILTER_ALL);
}

// Sets TZ for the scope.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* tz) : m_env("TZ", tz) { tzset(); }

private:
    struct Reset {
        ~Reset() { tzset(); }
    } m_reset;      // destroyed after m_env: the old TZ is back by then
    ScopedEnv m_env;
};

} // namespace salvor::test
