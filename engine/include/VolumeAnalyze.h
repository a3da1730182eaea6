#pragma once
// A file-system recogniser of one volume.
#include "engine/include/EngineTypes.h"

#include <cstdint>

class IStorageDevice;

class IVolumeAnalyze {
public:
    virtual ~IVolumeAnalyze() = default;
    // FS_UNKNOWN (10) when the recogniser does not know the volume.
    virtual enumFILE_SYSTEM_TYPE GetFileSystemType() = 0;
    virtual unsigned long long GetTotalSector() = 0;
    virtual void GetLabel(char* buffer, int size) = 0;
    // What tells this volume from another made alike (same size and label):
    // its serial number or creation stamp as the file system records it,
    // unchanged by use; 0 when it records none.
    virtual std::uint64_t GetVolumeSerial() { return 0; }
};

class IVolumeAnalyzeController {
public:
    virtual ~IVolumeAnalyzeController() = default;
    // The first recogniser that knows the volume, owned by the controller; null when none.
    virtual IVolumeAnalyze* GetVolumeAnzlyzer() = 0;
};
