#pragma once
// The storage-media notifications a test sees.
#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"

#include <chrono>
#include <string>
#include <vector>

namespace salvor::test {

// Counts the posts: attaches, and the names of the detaches.
struct Posts {
    Posts() {
        platform::NotificationCenter& nc = platform::NotificationCenter::defaultCenter();
        nc.addObserver(this, "RefreshAttachDevice", [this](const auto&) { ++attaches; });
        nc.addObserver(this, "RefreshDetachDevice", [this](const auto& n) { detaches.push_back(n.value("USBPath")); });
    }
    ~Posts() { platform::NotificationCenter::defaultCenter().removeObserver(this); }
    // Turns the loop for a while (posts after a settle time arrive in it).
    static void Wait(std::chrono::milliseconds ms) { platform::runUntil([] { return false; }, ms); }
    int attaches = 0;
    std::vector<std::string> detaches;
};

} // namespace salvor::test
