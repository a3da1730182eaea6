#pragma once
// Arrival, change and removal of block devices (disks and partitions), read
// on the main thread's event loop: from a libudev monitor when udevd runs,
// else from the kernel's own uevent socket (containers, machines without
// udevd).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace salvor::platform {

struct MediaEvent {
    std::string action;      // "add", "change", "remove", …
    std::string kernelName;  // "sdb", "sdb1", "loop3p2"
    std::int64_t size512 = -1; // the device's size in 512-byte units when read; -1 unknown (gone)
    // The disk's sequence number (DISKSEQ): a new one each time a medium is
    // put in the device (a loop device attached again); 0 unknown. The size
    // is read when the event is, so it may already be a later medium's.
    std::uint64_t diskSeq = 0;
};

using MediaEventHandler = std::function<void(const MediaEvent&)>;

class IMediaEventSource {
public:
    virtual ~IMediaEventSource() = default;
    // Delivers every event of the block subsystem to handler on the calling
    // thread's event loop from now on. false when nothing can be watched.
    virtual bool start(MediaEventHandler handler) = 0;
};

// The system's source: udev when its daemon runs, else the kernel's (its
// start answers false when neither can be opened).
std::unique_ptr<IMediaEventSource> createSystemMediaEventSource();

// One kernel uevent datagram ("action@devpath", then "KEY=value" fields, each
// ended by a zero byte) as an event of the block subsystem; false for other
// subsystems and malformed messages. sysRoot locates the device's size.
bool parseKernelUevent(const char* data, std::size_t size, MediaEvent& out, const std::string& sysRoot = "/sys");

} // namespace salvor::platform
