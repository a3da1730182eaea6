#pragma once
// Finds which file system lies at a sector of a device by asking every
// registered recogniser in the recognition order: FAT, exFAT, NTFS, HFS+, APFS.
#include "engine/include/VolumeAnalyze.h"

#include <cstdint>
#include <memory>
#include <vector>

class IStorageDevice;

class CVolumeAnalyzeController : public IVolumeAnalyzeController {
public:
    // Asks every recogniser. When more than one knows the volume, the first in
    // the recognition order wins and each later one is written to the log, so
    // a volume two file systems claim is chosen the same way every time and
    // the doubt is on record.
    CVolumeAnalyzeController(IStorageDevice* device, unsigned long long startSector);
    // The recogniser that won; owned by the controller.
    IVolumeAnalyze* GetVolumeAnzlyzer() override;

private:
    std::vector<std::unique_ptr<IVolumeAnalyze>> m_analyzers;
    IVolumeAnalyze* m_winner = nullptr;
};

// A new controller (released by deleting it) that has already asked every recogniser.
IVolumeAnalyzeController* CreateVolumeAnalyzeController(IStorageDevice* device, unsigned long long startSector);

// What tells the volume at startSector of device from another: its file
// system's kind, size and serial number where a recogniser knows it, else
// the bytes of the first sector from there that holds more than one byte
// value (within a MiB: an erased or zeroed sector is on every device alike).
// Fields that use changes (dirty flags, free counts, dates of change) are
// left out, so the same volume answers the same after it was mounted. False
// when the sector cannot be read, or nothing within that MiB tells devices
// apart.
bool VolumeIdentity(IStorageDevice* device, unsigned long long startSector, std::uint64_t& identity);
