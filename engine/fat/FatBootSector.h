#pragma once
// The FAT boot sector: layout, the FAT12/16/32 tests and the geometry every FAT
// reader asks for. Only the fields below are read; all are little-endian.
#include "engine/fat/FatBytes.h"
#include "engine/include/EngineTypes.h"

#include <cstdint>
#include <string>
#include <vector>

namespace fat::dbr {
inline constexpr std::size_t kJump = 0;            // 1: first byte of the jump; non-zero
inline constexpr std::size_t kBytesPerSector = 11; // 2
inline constexpr std::size_t kSectorsPerCluster = 13; // 1: a power of two, 1..128
inline constexpr std::size_t kReservedSectors = 14;   // 2: sectors before the first FAT
inline constexpr std::size_t kNumberOfFats = 16;      // 1
inline constexpr std::size_t kRootEntries = 17;       // 2: FAT12/16 root folder entries
inline constexpr std::size_t kTotalSectors16 = 19;    // 2
inline constexpr std::size_t kSectorsPerFat16 = 22;   // 2: FAT12/16
inline constexpr std::size_t kTotalSectors32 = 32;    // 4
inline constexpr std::size_t kSectorsPerFat32 = 36;   // 4: FAT32
inline constexpr std::size_t kRootCluster = 44;       // 4: FAT32 root folder's first cluster
inline constexpr std::size_t kExtendedSign16 = 38;    // 1: 0x29 when the serial and label follow
inline constexpr std::size_t kSerial16 = 39;          // 4: FAT12/16 volume serial number
inline constexpr std::size_t kLabel16 = 43;           // 11: FAT12/16 volume label (sign 0x29)
inline constexpr std::size_t kTypeText16 = 54;        // 8: "FAT12   " / "FAT16   "
inline constexpr std::size_t kExtendedSign32 = 66;    // 1
inline constexpr std::size_t kSerial32 = 67;          // 4: FAT32 volume serial number
inline constexpr std::size_t kLabel32 = 71;           // 11: FAT32 volume label (sign 0x29)
inline constexpr std::size_t kTypeText32 = 82;        // 8: "FAT32   "
inline constexpr std::size_t kSignature = 510;        // 2: 0x55 0xAA
inline constexpr std::size_t kSize = 512;             // bytes a boot sector view needs
static_assert(kSignature + 2 == kSize);
} // namespace fat::dbr

// A view over a boot sector that the caller keeps alive. The kind is decided at
// construction: FAT16 test, then FAT32, then FAT12; FS_UNKNOWN when none holds.
class CTempFATDBR {
public:
    // expectedSectorSize: the sector size of the device the sector came from;
    // the boot sector's bytes per sector must equal it.
    CTempFATDBR(fat::Bytes sector, unsigned expectedSectorSize);

    enumFILE_SYSTEM_TYPE InitFileSystemType();
    // Byte 0 non-zero and the 0x55 0xAA signature: the cheap first filter.
    static bool SimpleCheck(fat::Bytes sector);
    bool IsFullValidFAT16DBR() const;
    bool IsFullValidFAT32DBR() const;
    bool IsFullValidFAT12DBR() const;

    enumFILE_SYSTEM_TYPE GetFileSystemType() const { return m_kind; }
    bool IsValidDBR() const { return m_kind != FS_UNKNOWN; }

    unsigned GetBytesPerSector() const;
    // The first FAT's sector relative to the volume start (any kind).
    unsigned GetFatTableStartSector() const;
    // As above, 0 for an unrecognised sector.
    unsigned GetReservedSector() const;
    unsigned GetSectorsperCluster() const;
    unsigned GetNumberOfFat() const;
    unsigned GetSectorsPerFat() const;
    unsigned GetRootEntries() const;
    unsigned GetRootDirStartCluster() const;
    // The 16-bit field when it is non-zero, else the 32-bit one; 0 when unrecognised.
    unsigned long long GetTotalSectors() const;
    // The volume serial number of the extended boot record; 0 without one.
    std::uint32_t GetSerialNumber() const;
    // The copy of the volume label the extended boot record keeps, as a label
    // entry's text is read; "" without one or for "NO NAME".
    std::string GetBootLabel() const;

    // Derived geometry, relative to the volume start, 0 when unrecognised.
    // Sectors of the FAT12/16 root area (0 for FAT32).
    unsigned GetRootDirSectors() const;
    // The sector of cluster 2.
    unsigned long long GetFirstDataSector() const;
    // Data clusters the volume holds (cluster numbers 2 .. count + 1).
    unsigned long long GetClusterCount() const;

    fat::Bytes Sector() const { return m_sector; }

private:
    bool CommonTests() const;

    fat::Bytes m_sector;
    enumFILE_SYSTEM_TYPE m_kind = FS_UNKNOWN;
    unsigned m_expectedSectorSize;
};

// The same view over its own copy of the sector (for records that outlive the
// read buffer).
class CFATDBR {
public:
    CFATDBR(fat::Bytes sector, unsigned expectedSectorSize)
        : m_bytes(sector.begin(), sector.end()), m_view(m_bytes, expectedSectorSize) {}
    CFATDBR(const CFATDBR&) = delete;
    CFATDBR& operator=(const CFATDBR&) = delete;

    const CTempFATDBR& View() const { return m_view; }
    const CTempFATDBR* operator->() const { return &m_view; }

private:
    std::vector<std::uint8_t> m_bytes;
    CTempFATDBR m_view;
};
