#pragma once
// Runs recoveries through the facade inside the test's event loop: counts
// the posts made after the recovery ended and waits for the end and its post.
#include "services/DeviceData.h"
#include "services/UIRecovery.h"
#include "tests/services/ScanHarness.h"

#include <functional>

namespace salvor::test {

class RecoveryHarness {
public:
    RecoveryHarness() {
        platform::NotificationCenter::defaultCenter().addObserver(this, "DoRecovery", [this](const auto&) {
            if (VXUIRecovery::instance().IsOperationExit()) ++endPosts;
        });
    }
    ~RecoveryHarness() { platform::NotificationCenter::defaultCenter().removeObserver(this); }
    RecoveryHarness(const RecoveryHarness&) = delete;
    RecoveryHarness& operator=(const RecoveryHarness&) = delete;

    // Starts the recovery of the ticked files into dest and runs the loop
    // until it ended and posted; during() runs on each pass until it answers true.
    bool Recover(const OpNodeList& items, const std::string& dest, std::function<bool()> during = {}) {
        endPosts = 0;
        if (VXUIController::shared().DoRecovery(&items, QString::fromStdString(dest), "DoRecovery", nullptr) != 0)
            return false;
        return platform::runUntil(
            [&] {
                if (during && during()) during = {};
                return VXUIRecovery::instance().IsOperationExit() && CStatusPoller::LivePollers() == 0 && endPosts > 0;
            },
            std::chrono::seconds(120));
    }

    int endPosts = 0;
};

} // namespace salvor::test
