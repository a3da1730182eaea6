#include "engine/fat/FatVolume.h"

#include "engine/common/TextConvert.h"
#include "engine/fat/FatDirEntry.h"
#include "engine/fat/FatFolderAnalyser.h"
#include "engine/fat/FatTable.h"
#include "engine/include/StorageDevice.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>
#include <vector>

using namespace fat;

namespace {
// A device sector size the readers accept; 0 for none.
unsigned UsableSectorSize(IStorageDevice* device) {
    if (!device) return 0;
    const unsigned s = device->GetSectorSize();
    return s >= 512 && s % 512 == 0 ? s : 0;
}
} // namespace

bool FindFatLabelEntry(Bytes entries, std::string& label) {
    for (std::size_t off = 0; Has(entries, off, dirent::kSize); off += dirent::kSize) {
        const CTempFATDirEntry entry(entries.subspan(off, dirent::kSize));
        if (!entry.IsValidFATDirEntry(false)) return false;
        if (entry.IsLongFileNameEntry() || entry.IsErased()) continue;
        if (!entry.IsVolumeLabel()) continue;
        if (entry.IsNeverUsed()) return false;
        entry.GetShortName(label, true);
        return true;
    }
    return false;
}

CFATVolume::CFATVolume(IStorageDevice* device) : m_device(device) {
    const unsigned s = UsableSectorSize(device);
    m_sectorSize = s ? s : 512;
}

long long CFATVolume::ConvertClusterToSector(unsigned long long volumeStart, const CTempFATDBR& boot,
                                             unsigned long long cluster) {
    if (!boot.IsValidDBR() || cluster < 2) return -1;
    return static_cast<long long>(volumeStart + boot.GetFirstDataSector() +
                                  static_cast<unsigned long long>(boot.GetSectorsperCluster()) * (cluster - 2));
}

bool CFATVolume::AnalyzeDirClusterToGetLabel(unsigned long long sector, unsigned sectors, std::string& label) {
    if (!m_device || sectors == 0) return false;
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(sectors) * m_sectorSize);
    if (buffer.size() < dirent::kSize) return false;
    if (m_device->ReadSector(buffer.data(), static_cast<long long>(sector), sectors) == 0) {
        m_rootUnread = true;
        return false;
    }
    return FindFatLabelEntry(buffer, label);
}

bool CFATVolume::GetFatLabel(unsigned long long volumeStart, const CTempFATDBR& boot, std::string& label) {
    const unsigned spc = boot.GetSectorsperCluster();
    const unsigned rootSectors = boot.GetRootDirSectors();
    if (spc == 0 || rootSectors == 0) return false;
    const unsigned long long rootStart =
        volumeStart + boot.GetReservedSector() + static_cast<unsigned long long>(boot.GetNumberOfFat()) * boot.GetSectorsPerFat();
    // The root area in groups of a cluster's size; the last group stops at the area's end.
    for (unsigned done = 0; done < rootSectors; done += spc) {
        if (AnalyzeDirClusterToGetLabel(rootStart + done, std::min(spc, rootSectors - done), label)) return true;
    }
    return false;
}

bool CFATVolume::AnalyzeClusterInClusterChain(unsigned long long volumeStart, const CTempFATDBR& boot,
                                              std::string& label) {
    const unsigned spc = boot.GetSectorsperCluster();
    const unsigned spf = boot.GetSectorsPerFat();
    const unsigned long long clusters = boot.GetClusterCount();
    if (!m_device || spc == 0 || clusters == 0) return false;
    // The chain is read through the first FAT one cluster-sized piece at a time.
    const unsigned long long perPiece = static_cast<unsigned long long>(spc) * m_sectorSize / 4;
    std::vector<std::uint8_t> piece(static_cast<std::size_t>(spc) * m_sectorSize);
    long long loaded = -1;
    std::unordered_set<std::uint32_t> seen;
    std::uint32_t cluster = boot.GetRootDirStartCluster();
    while (CFATTableAnalyser::IsUsedCluster(cluster) && cluster < clusters + 2) {
        if (!seen.insert(cluster).second) return false; // the root chain loops
        const long long sector = ConvertClusterToSector(volumeStart, boot, cluster);
        if (sector >= 0 && AnalyzeDirClusterToGetLabel(static_cast<unsigned long long>(sector), spc, label))
            return true;
        const unsigned long long number = cluster / perPiece;
        const unsigned long long pieceStart = number * spc;
        if (pieceStart >= spf) return false;
        if (static_cast<long long>(number) != loaded) {
            const unsigned count = static_cast<unsigned>(std::min<unsigned long long>(spc, spf - pieceStart));
            std::fill(piece.begin(), piece.end(), 0);
            if (m_device->ReadSector(piece.data(),
                                     static_cast<long long>(volumeStart + boot.GetReservedSector() + pieceStart),
                                     count) == 0) {
                m_rootUnread = true;
                return false;
            }
            loaded = static_cast<long long>(number);
        }
        cluster = Le32(piece, static_cast<std::size_t>(cluster % perPiece) * 4) & kFat32EntryMask;
    }
    return false;
}

bool CFATVolume::GetPartitionLabel(unsigned long long volumeStart, const CTempFATDBR& boot, std::string& label) {
    m_rootUnread = false;
    bool found = false;
    switch (boot.GetFileSystemType()) {
    case FS_FAT32: found = AnalyzeClusterInClusterChain(volumeStart, boot, label); break;
    case FS_FAT12:
    case FS_FAT16: found = GetFatLabel(volumeStart, boot, label); break;
    default: return false;
    }
    // A root folder that read whole without a label entry has none (the boot
    // sector's copy may be stale); one that failed to read keeps the name
    // the card is known by.
    if (found || !m_rootUnread) return found;
    label = boot.GetBootLabel();
    return !label.empty();
}

IVolumeAnalyze* CFatVolumeAnalyze::Create(IStorageDevice* device, unsigned long long startSector) {
    return new CFatVolumeAnalyze(device, startSector);
}

CFatVolumeAnalyze::CFatVolumeAnalyze(IStorageDevice* device, unsigned long long startSector) {
    const unsigned sectorSize = UsableSectorSize(device);
    if (!sectorSize) return;
    std::vector<std::uint8_t> buffer(std::size_t{4} * sectorSize);
    if (device->ReadSector(buffer.data(), static_cast<long long>(startSector), 1) == 0) {
        // A boot sector that cannot be read is answered for by the FAT32
        // backup six sectors in, as the quick scan reads it.
        if (device->ReadSector(buffer.data(), static_cast<long long>(startSector) + 6, 1) == 0) return;
        if (CTempFATDBR(Bytes(buffer).first(sectorSize), sectorSize).GetFileSystemType() != FS_FAT32) return;
    }
    const CTempFATDBR boot(Bytes(buffer).first(sectorSize), sectorSize);
    if (!boot.IsValidDBR()) return;
    m_kind = boot.GetFileSystemType();
    m_totalSectors = boot.GetTotalSectors();
    m_serial = boot.GetSerialNumber();
    std::string label;
    CFATVolume volume(device);
    if (volume.GetPartitionLabel(startSector, boot, label))
        m_label = TruncateUtf8(label, kLabelBytes - 1);
}

void CFatVolumeAnalyze::GetLabel(char* buffer, int size) {
    if (!buffer || size < 1) return;
    const std::string text = TruncateUtf8(m_label, static_cast<std::size_t>(size) - 1);
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
}
