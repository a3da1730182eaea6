#pragma once
// Whether a device has stopped answering for good: a pulled stick, a card
// reader that dropped off the bus, a loop device whose image was cut away.
// Such a device is not read as zeros: the scan or the recovery reading it
// stops and says why. A device with a few unreadable sectors is not gone.
#include "engine/include/StorageDevice.h"

class IDeviceGone {
public:
    // True once a failed read found the device gone; it stays gone.
    virtual bool IsGone() = 0;
    // Gone by growing smaller (a cut loop device, a reader that lost part of
    // its card): what lies below its new end still reads; only what lies
    // past it fails.
    virtual bool IsShrunk() { return false; }
    // Not answering right now and waited for: a read has had no answer for a
    // few seconds, or it failed and the device answers nowhere. Over once it
    // answers again, or once the wait is given up and it is gone.
    virtual bool IsSilent() { return false; }

protected:
    ~IDeviceGone() = default;
};

// False for a device that cannot tell (image files, test fakes).
inline bool DeviceGone(IStorageDevice* device) {
    auto* gone = dynamic_cast<IDeviceGone*>(device);
    return gone && gone->IsGone();
}

// Gone whole: nothing of it reads any more (a shrunk device is not).
inline bool DeviceGoneWhole(IStorageDevice* device) {
    auto* gone = dynamic_cast<IDeviceGone*>(device);
    return gone && gone->IsGone() && !gone->IsShrunk();
}

// A device that cannot tell is never silent.
inline bool DeviceSilent(IStorageDevice* device) {
    auto* gone = dynamic_cast<IDeviceGone*>(device);
    return gone && !gone->IsGone() && gone->IsSilent();
}
