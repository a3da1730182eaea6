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

protected:
    ~IDeviceGone() = default;
};

// False for a device that cannot tell (image files, test fakes).
inline bool DeviceGone(IStorageDevice* device) {
    auto* gone = dynamic_cast<IDeviceGone*>(device);
    return gone && gone->IsGone();
}
