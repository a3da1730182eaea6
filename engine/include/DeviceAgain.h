#pragma once
// A device found gone after a long silence may answer again: a card reader
// that reset, a disk that spun up again. Asked before a recovery or a save
// reads it, such a device, found to be the same one (same node, same size),
// is read again instead of being told gone for good.
#include "engine/include/DeviceGone.h"

class IDeviceAgain {
public:
    // True when the device is not gone, or was gone and answers again now.
    virtual bool AnswersAgain() = 0;

protected:
    ~IDeviceAgain() = default;
};

// False while the device stays gone; true for a device that cannot tell.
inline bool DeviceAnswersAgain(IStorageDevice* device) {
    if (!DeviceGone(device)) return true;
    auto* again = dynamic_cast<IDeviceAgain*>(device);
    return again && again->AnswersAgain();
}
