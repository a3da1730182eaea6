#pragma once
// Opens what the probe scans through the engine's own devices: a block device
// as a disk (CDiskDevice) or volume (CVolumeDevice), an image file through the
// image-file device; a quick scan at an offset reads a partition window
// (CPartitionDevice) shown as a volume.
#include "engine/include/StorageDevice.h"

#include <memory>
#include <string>

struct ScanDevice {
    bool blockDevice = false;
    std::unique_ptr<IStorageDevice> base;      // the whole disk or image
    std::unique_ptr<IStorageDevice> partition; // the window at the offset
    std::unique_ptr<IStorageDevice> volume;    // what a quick scan reads
    IStorageDevice* Scanned() const { return volume ? volume.get() : base.get(); }
};

// quick: a volume at offset (sectors) carrying the volume record the
// enumeration would attach (file-system kind and label from the volume
// analysis). sectorSize 0 takes the device's own (512 for an image file); a
// block device refuses any other. Null with the reason in error.
std::unique_ptr<ScanDevice> OpenScanDevice(const std::string& path, bool quick, unsigned long long offset,
                                           unsigned sectorSize, std::string& error);
