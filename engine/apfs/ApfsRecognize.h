#pragma once
// The APFS recogniser of the volume analysis: a container superblock at the
// given sector makes an APFS volume (kind 9) whose label is the name of the
// first volume its object map lists.
#include "engine/include/VolumeAnalyze.h"

#include <cstdint>
#include <vector>

class IStorageDevice;

namespace apfs {

class APFSRecognize : public IVolumeAnalyze {
public:
    APFSRecognize(IStorageDevice* device, unsigned long long startSector, unsigned long long totalSectors,
                  std::uint64_t serial = 0)
        : m_device(device), m_startSector(startSector), m_totalSectors(totalSectors), m_serial(serial) {}
    enumFILE_SYSTEM_TYPE GetFileSystemType() override { return FS_APFS; }
    unsigned long long GetTotalSector() override { return m_totalSectors; }
    // Fills the label only when its first byte is 0; at most 32 bytes of the
    // volume name, and never more than size.
    void GetLabel(char* label, int size) override;
    // The container's UUID, folded to 64 bits.
    std::uint64_t GetVolumeSerial() override { return m_serial; }

private:
    // Reads the 4096-byte block of the container into out.
    bool ReadBlock(std::uint64_t block, std::vector<std::uint8_t>& out);
    bool LabelFromObjectMap(std::uint64_t omap, char* label, int size);

    IStorageDevice* m_device; // not owned
    unsigned long long m_startSector;
    unsigned long long m_totalSectors;
    std::uint64_t m_serial;
};

// Null unless the sector holds a container superblock with 4096-byte blocks.
IVolumeAnalyze* CreateAPFSVolumeAnalyze(IStorageDevice* device, unsigned long long startSector);

} // namespace apfs
