#include "engine/ntfs/NtfsBoot.h"

#include "engine/common/Bytes.h"
#include "engine/common/TextConvert.h"
#include "engine/include/StorageDevice.h"
#include "engine/ntfs/NtfsFileRecord.h"
#include "engine/utility/CatchExeception.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <optional>
#include <string>
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
    if (!buffer || size < 1) return;
    // Cut at a character boundary so that the copy stays UTF-8.
    std::size_t n = std::min<std::size_t>(m_label.size(), static_cast<std::size_t>(size) - 1);
    while (n > 0 && n < m_label.size() && (static_cast<unsigned char>(m_label[n]) & 0xC0) == 0x80) --n;
    std::memcpy(buffer, m_label.data(), n);
    buffer[n] = '\0';
}

namespace ntfs {

namespace {
// The name of $Volume (record 3) in the record run at cluster `mft`: the
// volume's label, "" when it holds none that can be told, and nothing when
// the record cannot be read.
std::optional<std::string> ReadVolumeLabelAt(IStorageDevice& device, unsigned long long startSector,
                                             const CNTFSDBR& dbr, unsigned sectorSize, long long mft) {
    constexpr std::uint64_t kVolumeRecord = 3;
    const std::uint64_t clusterBytes = std::uint64_t{dbr.GetBytesPerSector()} * dbr.GetSectorsperCluster();
    const std::uint32_t recordSize = dbr.GetFileRecordSizeByByte();
    if (clusterBytes == 0 || mft <= 0 || recordSize < 1024 || recordSize > 4096) return std::string();
    std::uint64_t at = 0;
    if (__builtin_mul_overflow(static_cast<std::uint64_t>(mft), clusterBytes, &at) ||
        __builtin_add_overflow(at, kVolumeRecord * recordSize, &at))
        return std::string();
    const std::uint64_t first = startSector + at / sectorSize, inSector = at % sectorSize;
    const std::uint64_t sectors = (inSector + recordSize + sectorSize - 1) / sectorSize;
    std::vector<std::uint8_t> raw(sectors * sectorSize);
    if (first > static_cast<std::uint64_t>(LLONG_MAX)) return std::string();
    if (device.ReadSector(raw.data(), static_cast<long long>(first), static_cast<long long>(sectors)) == 0)
        return std::nullopt;
    std::vector<std::uint8_t> record(raw.begin() + static_cast<std::ptrdiff_t>(inSector),
                                     raw.begin() + static_cast<std::ptrdiff_t>(inSector + recordSize));
    if (!CNTFSFileRecord::IsValid(record) || !CNTFSFileRecord::UnfixupFileRecord(record)) return std::string();
    const ntfs::Bytes name = CNTFSFileRecordAttribute::GetValue(CNTFSFileRecord::FindAttibute(record, ATTR_VOLUME_NAME, 0));
    return Utf16LeToUtf8(name.data(), name.size() & ~std::size_t{1});
}

std::string ReadVolumeLabel(IStorageDevice& device, unsigned long long startSector, const CNTFSDBR& dbr,
                            unsigned sectorSize) {
    if (auto label = ReadVolumeLabelAt(device, startSector, dbr, sectorSize, dbr.GetMFTStartCluster())) return *label;
    // $MFTMirr holds the first records too: a card whose $MFT start fails
    // is still known by its label.
    return ReadVolumeLabelAt(device, startSector, dbr, sectorSize, dbr.GetMFTMirrorStartCluster()).value_or("");
}
} // namespace

bool ReadBootSector(IStorageDevice& device, CNTFSDBR& dbr, bool* fromBackup) {
    if (fromBackup) *fromBackup = false;
    const unsigned sectorSize = device.GetSectorSize();
    if (sectorSize == 0 || sectorSize > (1u << 16)) return false;
    // At least 4096 bytes, zero-filled, so a short sector is read as zeros.
    std::vector<std::uint8_t> sector(std::max(sectorSize, 4096u), 0);
    if (device.ReadSector(sector.data(), 0, 1) != 0) return dbr.InitFromBuffer(sector);
    const unsigned long long total = device.GetTotalSectors();
    if (total < 2 || total - 1 > static_cast<unsigned long long>(LLONG_MAX)) return false;
    CNTFSDBR backup;
    if (device.ReadSector(sector.data(), static_cast<long long>(total - 1), 1) == 0 ||
        !backup.InitFromBuffer(sector) || backup.GetBytesPerSector() != sectorSize ||
        backup.GetTotalSectors() != static_cast<long long>(total - 1))
        return false;
    CatchExeception::WriteLog("NTFS boot sector unreadable: its backup in sector %llu read instead\n", total - 1);
    dbr = backup;
    if (fromBackup) *fromBackup = true;
    return true;
}

IVolumeAnalyze* CreateNTFSVolumeAnalyze(IStorageDevice* device, unsigned long long startSector) {
    if (!device) return nullptr;
    const unsigned sectorSize = device->GetSectorSize();
    if (sectorSize == 0 || sectorSize > (1u << 16)) return nullptr;
    CNTFSDBR dbr;
    if (startSector == 0) {
        if (!ReadBootSector(*device, dbr)) return nullptr;
    } else {
        // At least 4096 bytes, zero-filled, so a short sector is read as zeros.
        std::vector<std::uint8_t> sector(std::max(sectorSize, 4096u), 0);
        if (device->ReadSector(sector.data(), static_cast<long long>(startSector), 1) == 0) return nullptr;
        if (!dbr.InitFromBuffer(sector)) return nullptr;
    }
    return new CNTFSVolumeAnalyer(static_cast<unsigned long long>(dbr.GetTotalSectors()),
                                  ReadVolumeLabel(*device, startSector, dbr, sectorSize), dbr.GetSerialNumber());
}

} // namespace ntfs
