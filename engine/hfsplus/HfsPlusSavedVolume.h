#pragma once
// The HFS+ volume a loaded scan keeps open: the readers of its compressed
// files need the attributes tree, which holds each file's compression header.
class ISavedVolume;
class IStorageDevice;

namespace hfsplus {
// Null without a device.
ISavedVolume* OpenSavedVolume(IStorageDevice* device);
} // namespace hfsplus
