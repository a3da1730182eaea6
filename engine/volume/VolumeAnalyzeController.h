#pragma once
// Finds which file system lies at a sector of a device by asking every
// registered recogniser in turn: FAT, exFAT, NTFS, HFS+, APFS.
#include "engine/include/VolumeAnalyze.h"

#include <memory>
#include <vector>

class IStorageDevice;

class CVolumeAnalyzeController : public IVolumeAnalyzeController {
public:
    CVolumeAnalyzeController(IStorageDevice* device, unsigned long long startSector);
    // The first recogniser that knows the volume; owned by the controller.
    IVolumeAnalyze* GetVolumeAnzlyzer() override;

private:
    std::vector<std::unique_ptr<IVolumeAnalyze>> m_analyzers;
};

// A new controller (released by deleting it) that has already asked every recogniser.
IVolumeAnalyzeController* CreateVolumeAnalyzeController(IStorageDevice* device, unsigned long long startSector);
