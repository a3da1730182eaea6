#pragma once
// Runs recoveries through the facade inside the test's event loop: counts
// the posts made after the recovery ended and waits for the end and its post.
#include "services/DeviceData.h"
#include "services/UIRecovery.h"
#include "tests/services/ScanHarness.h"

#include "tests/support/Fixture.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>

namespace salvor::test {

using Sums = std::multiset<std::string>;

// The sha256 column of a fixture's manifest ("sha256<TAB>path" lines).
inline Sums ManifestSums(const std::string& file) {
    Sums out;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) out.insert(line.substr(0, 64));
    return out;
}

// The sha256 of every file written under dir (none when it does not exist).
inline Sums WrittenSums(const std::string& dir) {
    Sums out;
    if (std::filesystem::exists(dir))
        for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
            if (e.is_regular_file()) out.insert(Sha256File(e.path().string()));
    return out;
}

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
