#include "engine/exfat/ExfatBoot.h"

#include "engine/common/Bytes.h"
#include "engine/include/StorageDevice.h"

#include <algorithm>
#include <cstring>

using namespace bytes;

unsigned CExFatDBR::GetBytesPerSectorShift() const { return U8(m_b, 108); }
unsigned CExFatDBR::GetSectorsPerClusterShift() const { return U8(m_b, 109); }
// Shifts are bounded by IsValid; the getters clamp so a caller that skipped it
// still cannot shift out of range.
unsigned CExFatDBR::GetBytePerSector() const { return 1u << std::min(GetBytesPerSectorShift(), 31u); }
unsigned CExFatDBR::GetSectorsperCluster() const { return 1u << std::min(GetSectorsPerClusterShift(), 31u); }
std::uint32_t CExFatDBR::GetFatStartSector() const { return Le32(m_b, 80); }
std::uint32_t CExFatDBR::GetSectorsPerFat() const { return Le32(m_b, 84); }
unsigned CExFatDBR::GetNumberOfFat() const { return U8(m_b, 110); }
unsigned CExFatDBR::GetActiveFatNumber() const { return Le16(m_b, 106) & 1u; }
std::uint64_t CExFatDBR::GetTotalSectors() const { return Le64(m_b, 72); }
std::uint32_t CExFatDBR::GetDataRegionStartSector() const { return Le32(m_b, 88); }
std::uint32_t CExFatDBR::GetTotalCluster() const { return Le32(m_b, 92); }
std::uint32_t CExFatDBR::GetRootDirStartCluster() const { return Le32(m_b, 96); }
std::uint32_t CExFatDBR::GetVolumeSerialNumber() const { return Le32(m_b, 100); }

bool CExFatDBR::IsValid(unsigned sectorSize) const {
    if (!Has(m_b, 0, 512)) return false;
    if (Le16(m_b, 510) != 0xAA55 || std::memcmp(m_b.data() + 3, "EXFAT   ", 8) != 0) return false;
    for (std::size_t i = 11; i < 64; ++i)
        if (m_b[i] != 0) return false;
    const unsigned bps = GetBytesPerSectorShift(), spc = GetSectorsPerClusterShift();
    if (bps < 9 || bps > 12 || (1u << bps) != sectorSize) return false;
    if (bps + spc > 25) return false;
    const unsigned fats = GetNumberOfFat();
    if (fats != 1 && fats != 2) return false;
    const std::uint64_t fatLen = GetSectorsPerFat(), heap = GetDataRegionStartSector(),
                        fatOff = GetFatStartSector(), length = GetTotalSectors(), clusters = GetTotalCluster();
    if (fatLen == 0 || heap == 0 || fatOff == 0 || length == 0 || clusters == 0) return false;
    if (GetRootDirStartCluster() < 2) return false;
    if (fatOff >= length || heap >= length || fatOff + fatLen > heap) return false;
    // 64-bit: clusters < 2^32 and sectors per cluster <= 2^16.
    return (clusters - 1) * (std::uint64_t{1} << spc) + heap <= length;
}

void CExFatVolumeAnalyer::GetLabel(char* buffer, int size) {
    if (buffer && size >= 2) buffer[0] = '\0';
}

namespace exfat {

bool ReadOneSector(IStorageDevice* device, unsigned long long sector, std::vector<std::uint8_t>& out) {
    out.clear();
    if (!device) return false;
    const unsigned size = device->GetSectorSize();
    if (size == 0 || size > (1u << 16)) return false;
    out.assign(std::max(size, 512u), 0);
    if (device->ReadSector(out.data(), static_cast<long long>(sector), 1) == 0) {
        out.clear();
        return false;
    }
    return true;
}

bool ReadCheckedBootRegion(IStorageDevice* device, long long firstSector, std::vector<std::uint8_t>& boot) {
    boot.clear();
    if (!device || firstSector < 0) return false;
    const unsigned ss = device->GetSectorSize();
    if (ss < 512 || ss > 4096) return false;
    constexpr long long kRegion = 12;
    if (static_cast<unsigned long long>(firstSector) + kRegion > device->GetTotalSectors()) return false;
    std::vector<std::uint8_t> region(std::size_t{ss} * kRegion, 0);
    if (device->ReadSector(region.data(), firstSector, kRegion) == 0) return false;
    if (!CExFatDBR(std::span(region).first(ss)).IsValid(ss)) return false;
    // Bytes 106-107 (volume flags) and 112 (percent in use) change in use and
    // are left out of the sum.
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < std::size_t{ss} * (kRegion - 1); ++i) {
        if (i == 106 || i == 107 || i == 112) continue;
        sum = ((sum & 1u) ? 0x80000000u : 0u) + (sum >> 1) + region[i];
    }
    for (std::size_t i = std::size_t{ss} * (kRegion - 1); i < region.size(); i += 4)
        if (Le32(region, i) != sum) return false;
    boot.assign(region.begin(), region.begin() + ss);
    return true;
}

IVolumeAnalyze* CreateExfatVolumeAnalyze(IStorageDevice* device, unsigned long long startSector) {
    if (!device) return nullptr;
    const unsigned sectorSize = device->GetSectorSize();
    // Only 512 to 4096 bytes per sector can be exFAT here; nothing larger is read.
    if (sectorSize < 512 || sectorSize > 4096) return nullptr;
    std::vector<std::uint8_t> sector;
    if (!ReadOneSector(device, startSector, sector)) return nullptr;
    CExFatDBR dbr(sector);
    if (!dbr.IsValid(sectorSize)) return nullptr;
    return new CExFatVolumeAnalyer(dbr.GetTotalSectors(), dbr.GetVolumeSerialNumber());
}

} // namespace exfat
