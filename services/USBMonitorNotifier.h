#pragma once
// Storage-media notifications: the device lists follow a medium being
// plugged in or pulled out. Block-device events become the notifications
// "RefreshAttachDevice" (no payload) and "RefreshDetachDevice" ({"USBPath":
// the name the device list gives the medium's disk}), posted on the main
// thread.
//
// A disk and its partitions arrive as separate events, and a loop device
// arrives as a change to a non-zero size: arrivals within kSettle of each
// other make one "RefreshAttachDevice", since every attach makes the windows
// list the devices again. Each medium that goes (removed, or changed to size
// 0) makes one "RefreshDetachDevice", never two. Names are taken from the
// device facts at the start and at every arrival (of the arriving medium's
// disk only), per kernel name, because nothing is left to read once a medium
// is gone. A loop device taken again by another image at once may show
// the newcomer's size at the first medium's own event: the disk's sequence
// number, new with each medium, still reports the first one's going, at the
// newcomer's event.
#include "platform/MediaEvents.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

class IBlockDeviceFacts;

class CMediaNotifier {
public:
    static constexpr std::chrono::milliseconds kSettle{500};

    // source may be null (nothing to watch: only the start's attach is
    // posted). facts are borrowed and must outlive the notifier.
    CMediaNotifier(std::unique_ptr<salvor::platform::IMediaEventSource> source, IBlockDeviceFacts& facts,
                   std::chrono::milliseconds settle = kSettle);
    ~CMediaNotifier();
    CMediaNotifier(const CMediaNotifier&) = delete;
    CMediaNotifier& operator=(const CMediaNotifier&) = delete;

    // On the main thread: reads the names, posts the first
    // "RefreshAttachDevice" and starts watching. false when nothing can be
    // watched.
    bool Start();
    void OnEvent(const salvor::platform::MediaEvent& event);

private:
    struct Medium {
        std::string name; // the registry name of its disk
        bool present = false;
        std::uint64_t seq = 0; // the disk's sequence number when it came (0 unknown)
    };

    void LearnNames(const std::string& kernelName);
    void ArmAttach();
    void PostDetach(const std::string& kernelName);

    std::unique_ptr<salvor::platform::IMediaEventSource> m_source;
    IBlockDeviceFacts& m_facts;
    std::chrono::milliseconds m_settle;
    std::map<std::string, Medium> m_media; // by kernel name
    std::chrono::steady_clock::time_point m_burstStart{};
    bool m_attachPending = false;
};

// Starts the process-wide notifier on the system's block devices (once; later
// calls do nothing). Main thread.
void USBNotifier_init();
