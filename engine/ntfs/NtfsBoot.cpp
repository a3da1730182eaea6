#include "engine/ntfs/NtfsBoot.h"

#include "engine/common/Bytes.h"
#include "engine/include/StorageDevice.h"

#include <algorithm>
#include <cstring>
#include <vector>

using namespace bytes;

bool CNTFSDBR::IsFullValidDBR(std::span<const std::uint8_t> s) {
    if (!Has(s, 0, 512)) return false;
    if (std::memcmp(s.data() + 3, "NTFS    ", 8) != 0) return false;
    const unsigned bps = Le16(s, 11);
    if (bps == 0 || (bps & 0x1FF) != 0) return false;
    if (Le16(s, 14) != 0) return false;
    const unsigned spc = s[13];
    if (spc == 0 || spc > 128 || (spc & (spc - 1)) != 0) return false;
    for (std::size_t i : {16, 17, 18, 19, 20, 22, 23, 32, 33, 34, 35})
        if (s[i] != 0) return false;
    return s[510] == 0x55 && s[511] == 0xAA;
}

bool CNTFSDBR::InitFromBuffer(std::span<const std::uint8_t> sector) {
    if (!IsFullValidDBR(sector)) return false;
    std::copy_n(sector.begin(), 512, m_b.begin());
    return true;
}

long long CNTFSDBR::GetTotalSectors() const {
    return static_cast<long long>(Le64(m_b, 40));
}
long long CNTFSDBR::GetMFTStartCluster() const {
    return static_cast<long long>(Le64(m_b, 48));
}
long long CNTFSDBR::GetMFTMirrorStartCluster() const {
    return static_cast<long long>(Le64(m_b, 56));
}
unsigned CNTFSDBR::GetBytesPerSector() const {
    return Le16(m_b, 11);
}
std::uint64_t CNTFSDBR::GetSerialNumber() const {
    return Le64(m_b, 72);
}
std::uint32_t CNTFSDBR::GetFileRecordSizeByByte() const {
    return SizeFromClusterByte(m_b[64]);
}
std::uint32_t CNTFSDBR::GetIndexRecordSizeByByte() const {
    return SizeFromClusterByte(m_b[68]);
}

std::uint32_t CNTFSDBR::SizeFromClusterByte(std::uint8_t c) const {
    if (c == 0) return 1024;
    if (c & 0x80) {
        const unsigned shift = 256u - c;
        return shift <= 31 ? (1u << shift) : 1024;
    }
    return c * GetBytesPerSector() * GetSectorsperCluster();
}

void CNTFSVolumeAnalyer::GetLabel(char* buffer, int size) {
    // The label is never read, so it is always empty.
    if (buffer && size > 1) buffer[0] = '\0';
}

namespace ntfs {

IVolumeAnalyze* CreateNTFSVolumeAnalyze(IStorageDevice* device, unsigned long long startSector) {
    if (!device) return nullptr;
    const unsigned sectorSize = device->GetSectorSize();
    if (sectorSize == 0 || sectorSize > (1u << 16)) return nullptr;
    // At least 4096 bytes, zero-filled, so a short sector is read as zeros.
    std::vector<std::uint8_t> sector(std::max(sectorSize, 4096u), 0);
    if (device->ReadSector(sector.data(), static_cast<long long>(startSector), 1) == 0) return nullptr;
    CNTFSDBR dbr;
    if (!dbr.InitFromBuffer(sector)) return nullptr;
    return new CNTFSVolumeAnalyer(static_cast<unsigned long long>(dbr.GetTotalSectors()));
}

} // namespace ntfs
