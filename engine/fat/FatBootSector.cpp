#include "engine/fat/FatBootSector.h"

namespace fat {
bool EqualsNoCase8(Bytes b, std::size_t off, const char* text) {
    if (!Has(b, off, 8)) return false;
    for (std::size_t i = 0; i < 8; ++i) {
        auto lower = [](unsigned c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; };
        if (lower(b[off + i]) != lower(static_cast<unsigned char>(text[i]))) return false;
    }
    return true;
}
} // namespace fat

using namespace fat;

CTempFATDBR::CTempFATDBR(Bytes sector, unsigned expectedSectorSize)
    : m_sector(sector), m_expectedSectorSize(expectedSectorSize) {
    InitFileSystemType();
}

enumFILE_SYSTEM_TYPE CTempFATDBR::InitFileSystemType() {
    // FAT12 is tried last: small cards and floppies are FAT12 and are searched too.
    if (IsFullValidFAT16DBR())
        m_kind = FS_FAT16;
    else if (IsFullValidFAT32DBR())
        m_kind = FS_FAT32;
    else if (IsFullValidFAT12DBR())
        m_kind = FS_FAT12;
    else
        m_kind = FS_UNKNOWN;
    return m_kind;
}

bool CTempFATDBR::SimpleCheck(Bytes sector) {
    return Has(sector, 0, dbr::kSize) && sector[dbr::kJump] != 0 && sector[dbr::kSignature] == 0x55 &&
           sector[dbr::kSignature + 1] == 0xAA;
}

// Shared by the three tests: two FATs, a power-of-two cluster size, the device's
// sector size and the signature.
bool CTempFATDBR::CommonTests() const {
    if (!Has(m_sector, 0, dbr::kSize)) return false;
    if (m_sector[dbr::kNumberOfFats] != 2) return false;
    const unsigned spc = m_sector[dbr::kSectorsPerCluster];
    if (spc == 0 || spc > 128 || (spc & (spc - 1)) != 0) return false;
    if (Le16(m_sector, dbr::kBytesPerSector) != m_expectedSectorSize) return false;
    return m_sector[dbr::kSignature] == 0x55 && m_sector[dbr::kSignature + 1] == 0xAA;
}

bool CTempFATDBR::IsFullValidFAT16DBR() const {
    if (!CommonTests() || !EqualsNoCase8(m_sector, dbr::kTypeText16, "FAT16   ")) return false;
    const unsigned bps = Le16(m_sector, dbr::kBytesPerSector);
    const unsigned root = Le16(m_sector, dbr::kRootEntries);
    if (root < 224 || (root * 32u) % bps != 0) return false;
    return Le16(m_sector, dbr::kSectorsPerFat16) != 0;
}

bool CTempFATDBR::IsFullValidFAT32DBR() const {
    if (!CommonTests() || !EqualsNoCase8(m_sector, dbr::kTypeText32, "FAT32   ")) return false;
    return Le32(m_sector, dbr::kSectorsPerFat32) != 0;
}

bool CTempFATDBR::IsFullValidFAT12DBR() const {
    if (!CommonTests() || !EqualsNoCase8(m_sector, dbr::kTypeText16, "FAT12   ")) return false;
    const unsigned bps = Le16(m_sector, dbr::kBytesPerSector);
    const unsigned root = Le16(m_sector, dbr::kRootEntries);
    if (root < 224 || root > 2048 || (root * 32u) % bps != 0) return false;
    const unsigned spf = Le16(m_sector, dbr::kSectorsPerFat16);
    return spf >= 1 && spf <= 200;
}

unsigned CTempFATDBR::GetBytesPerSector() const { return Le16(m_sector, dbr::kBytesPerSector); }

unsigned CTempFATDBR::GetFatTableStartSector() const { return Le16(m_sector, dbr::kReservedSectors); }

unsigned CTempFATDBR::GetReservedSector() const { return IsValidDBR() ? GetFatTableStartSector() : 0; }

unsigned CTempFATDBR::GetSectorsperCluster() const { return IsValidDBR() ? Le8(m_sector, dbr::kSectorsPerCluster) : 0; }

unsigned CTempFATDBR::GetNumberOfFat() const { return IsValidDBR() ? Le8(m_sector, dbr::kNumberOfFats) : 0; }

unsigned CTempFATDBR::GetSectorsPerFat() const {
    if (m_kind == FS_FAT32) return Le32(m_sector, dbr::kSectorsPerFat32);
    if (m_kind == FS_FAT16 || m_kind == FS_FAT12) return Le16(m_sector, dbr::kSectorsPerFat16);
    return 0;
}

unsigned CTempFATDBR::GetRootEntries() const { return Le16(m_sector, dbr::kRootEntries); }

std::uint32_t CTempFATDBR::GetSerialNumber() const {
    if (!IsValidDBR()) return 0;
    const bool fat32 = m_kind == FS_FAT32;
    // 0x28 is the shorter DOS 4.0 record, which holds the serial too.
    const std::uint8_t sign = bytes::U8(m_sector, fat32 ? dbr::kExtendedSign32 : dbr::kExtendedSign16);
    if (sign != 0x29 && sign != 0x28) return 0;
    return Le32(m_sector, fat32 ? dbr::kSerial32 : dbr::kSerial16);
}

std::string CTempFATDBR::GetBootLabel() const {
    if (!IsValidDBR()) return {};
    const bool fat32 = m_kind == FS_FAT32;
    // Only the longer record (0x29) holds a label.
    if (bytes::U8(m_sector, fat32 ? dbr::kExtendedSign32 : dbr::kExtendedSign16) != 0x29) return {};
    const std::size_t at = fat32 ? dbr::kLabel32 : dbr::kLabel16;
    if (!Has(m_sector, at, 11)) return {};
    std::size_t n = 11;
    while (n > 0 && (m_sector[at + n - 1] == ' ' || m_sector[at + n - 1] == 0)) --n;
    std::string label;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t c = m_sector[at + i];
        label += c == 0 || c >= 0x80 ? '_' : static_cast<char>(c);
    }
    return label == "NO NAME" ? std::string() : label;
}

unsigned CTempFATDBR::GetRootDirStartCluster() const {
    return m_kind == FS_FAT32 ? Le32(m_sector, dbr::kRootCluster) : 0;
}

unsigned long long CTempFATDBR::GetTotalSectors() const {
    if (!IsValidDBR()) return 0;
    // Some FAT32 formatters keep small totals in the 16-bit field, so every kind
    // takes it when it is set.
    const unsigned t16 = Le16(m_sector, dbr::kTotalSectors16);
    return t16 != 0 ? t16 : Le32(m_sector, dbr::kTotalSectors32);
}

unsigned CTempFATDBR::GetRootDirSectors() const {
    if (m_kind != FS_FAT12 && m_kind != FS_FAT16) return 0;
    const unsigned bps = GetBytesPerSector();
    return bps == 0 ? 0 : (GetRootEntries() * 32u + bps - 1) / bps;
}

unsigned long long CTempFATDBR::GetFirstDataSector() const {
    if (!IsValidDBR()) return 0;
    return GetReservedSector() + static_cast<unsigned long long>(GetNumberOfFat()) * GetSectorsPerFat() +
           GetRootDirSectors();
}

unsigned long long CTempFATDBR::GetClusterCount() const {
    const unsigned long long total = GetTotalSectors();
    const unsigned long long data = GetFirstDataSector();
    const unsigned spc = GetSectorsperCluster();
    if (!IsValidDBR() || spc == 0 || total <= data) return 0;
    return (total - data) / spc;
}
