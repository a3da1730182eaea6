#pragma once
// The exFAT boot sector: a read-only view with its plausibility test and the
// geometry getters, and the exFAT volume recogniser.
#include "engine/include/VolumeAnalyze.h"

#include <cstdint>
#include <span>
#include <vector>

class IStorageDevice;

class CExFatDBR {
public:
    // A view over one boot sector; the bytes must outlive the view. Fewer than
    // 512 bytes is never valid.
    explicit CExFatDBR(std::span<const std::uint8_t> sector) : m_b(sector) {}

    // The plausibility test for a device of sectorSize bytes per sector.
    bool IsValid(unsigned sectorSize) const;

    unsigned GetBytePerSector() const;
    unsigned GetSectorsperCluster() const;
    std::uint32_t GetFatStartSector() const;
    std::uint32_t GetSectorsPerFat() const;
    unsigned GetNumberOfFat() const;
    unsigned GetActiveFatNumber() const;
    std::uint64_t GetTotalSectors() const;
    std::uint32_t GetDataRegionStartSector() const;
    std::uint32_t GetTotalCluster() const;
    std::uint32_t GetRootDirStartCluster() const;
    std::uint32_t GetVolumeSerialNumber() const;
    unsigned GetBytesPerSectorShift() const;
    unsigned GetSectorsPerClusterShift() const;
    enumFILE_SYSTEM_TYPE GetFileSystemType() const { return FS_EXFAT; }

private:
    std::span<const std::uint8_t> m_b;
};

// The exFAT recogniser: kind 7, the volume length, and no label.
class CExFatVolumeAnalyer : public IVolumeAnalyze {
public:
    explicit CExFatVolumeAnalyer(unsigned long long totalSectors, std::uint32_t serial = 0)
        : m_totalSectors(totalSectors), m_serial(serial) {}
    enumFILE_SYSTEM_TYPE GetFileSystemType() override { return FS_EXFAT; }
    unsigned long long GetTotalSector() override { return m_totalSectors; }
    void GetLabel(char* buffer, int size) override;
    std::uint64_t GetVolumeSerial() override { return m_serial; }

private:
    unsigned long long m_totalSectors;
    std::uint32_t m_serial;
};

namespace exfat {

// Reads the sector at startSector; null when it cannot be read or is not a
// plausible exFAT boot sector for the device's sector size.
IVolumeAnalyze* CreateExfatVolumeAnalyze(IStorageDevice* device, unsigned long long startSector);

// Reads one sector of the device into a buffer of the sector size (at least
// 512 bytes, zero-filled first); empty on failure.
bool ReadOneSector(IStorageDevice* device, unsigned long long sector, std::vector<std::uint8_t>& out);

// Reads the 12-sector boot region at firstSector: true when its sector 0 is a
// valid boot sector and its last sector repeats the checksum of the 11 before
// it, so every field of the boot sector is as it was written. boot receives
// sector 0 then.
bool ReadCheckedBootRegion(IStorageDevice* device, long long firstSector, std::vector<std::uint8_t>& boot);

} // namespace exfat
