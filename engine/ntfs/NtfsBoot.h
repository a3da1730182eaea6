#pragma once
// The NTFS boot sector (a held 512-byte copy with its validity rule and the
// geometry getters) and the NTFS volume recogniser.
#include "engine/include/VolumeAnalyze.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>

class IStorageDevice;

class CNTFSDBR {
public:
    CNTFSDBR() { m_b.fill(0); }

    // The full validity rule over the first 512 bytes; fewer bytes are never valid.
    static bool IsFullValidDBR(std::span<const std::uint8_t> sector);
    // Copies the 512 bytes only when they are valid; the held copy stays otherwise.
    bool InitFromBuffer(std::span<const std::uint8_t> sector);

    long long GetTotalSectors() const;
    long long GetMFTStartCluster() const;
    long long GetMFTMirrorStartCluster() const;
    std::uint8_t GetSectorsperCluster() const { return m_b[13]; }
    unsigned GetBytesPerSector() const;
    std::uint64_t GetSerialNumber() const;
    // Bytes per FILE record: 2^-c for a negative c, 1024 for 0, c clusters
    // otherwise. A shift too large for any record answers 1024, the size used
    // when the real one is unknown.
    std::uint32_t GetFileRecordSizeByByte() const;
    // Bytes per index record, by the same rule from the byte at 68.
    std::uint32_t GetIndexRecordSizeByByte() const;

private:
    std::uint32_t SizeFromClusterByte(std::uint8_t c) const;
    std::array<std::uint8_t, 512> m_b;
};

// The NTFS recogniser: kind 3, the boot sector's total sectors, and the label
// ($Volume's name; empty when it cannot be read).
class CNTFSVolumeAnalyer : public IVolumeAnalyze {
public:
    explicit CNTFSVolumeAnalyer(unsigned long long totalSectors, std::string label = {}, std::uint64_t serial = 0)
        : m_totalSectors(totalSectors), m_label(std::move(label)), m_serial(serial) {}
    enumFILE_SYSTEM_TYPE GetFileSystemType() override { return FS_NTFS; }
    unsigned long long GetTotalSector() override { return m_totalSectors; }
    void GetLabel(char* buffer, int size) override;
    std::uint64_t GetVolumeSerial() override { return m_serial; }

private:
    unsigned long long m_totalSectors;
    std::string m_label; // UTF-8
    std::uint64_t m_serial;
};

namespace ntfs {

// The boot sector of the volume that fills device, from its sector 0; when
// that sector cannot be read, from the backup NTFS keeps in the volume's last
// sector, taken only when it is a valid boot sector of a volume that ends
// there (its total sectors one fewer than the device's). False when neither
// answers; a sector 0 that reads but is no boot sector is not answered for.
// fromBackup, when given, tells whether the backup answered.
bool ReadBootSector(IStorageDevice& device, CNTFSDBR& dbr, bool* fromBackup = nullptr);

// Reads the sector at startSector; null when it cannot be read or is not a
// valid NTFS boot sector. At startSector 0 (the device is the volume) an
// unreadable boot sector is answered by its backup, as ReadBootSector does.
IVolumeAnalyze* CreateNTFSVolumeAnalyze(IStorageDevice* device, unsigned long long startSector);

} // namespace ntfs
