#pragma once
// A sector-addressed, read-only device: disk, partition window, volume or image.
#include "engine/include/EngineTypes.h"
#include "engine/include/ResultCode.h"

class IStorageDeviceData;

class IStorageDevice {
public:
    virtual ~IStorageDevice() = default;
    virtual int Open(char* path) = 0;
    virtual int Close() = 0;
    // Reads count sectors from firstSector into buffer (count x sector size bytes).
    virtual int ReadSector(void* buffer, long long firstSector, long long count) = 0;
    virtual unsigned GetSectorSize() = 0;
    virtual unsigned long long GetTotalSectors() = 0;
    virtual ResultCode IOCtl(unsigned long long code, void* arg) = 0;
    virtual IStorageDeviceData* GetPrivateData() = 0;
    // Attaches a record; the device owns it.
    virtual void SetPrivateData(IStorageDeviceData* data) = 0;
    virtual int GetType() = 0;
    virtual ResultCode GetLastError() = 0;
    virtual int IsPermitted() { return 1; }
    virtual void SetApfsDevicePath(char*) {}
};
