#include "savedscan/SavedVolumeCheck.h"

#include "engine/include/EngineTypes.h"
#include "engine/include/SearchedPartitionInfo.h"
#include "engine/volume/VolumeAnalyzeController.h"

#include <memory>

namespace {

bool IsFat(unsigned kind) { return kind == FS_FAT12 || kind == FS_FAT16 || kind == FS_FAT32; }

// Kinds a recogniser can find at a record's start.
bool IsRecognised(unsigned kind) {
    return IsFat(kind) || kind == FS_NTFS || kind == FS_EXFAT || kind == FS_HFSPLUS || kind == FS_APFS;
}

} // namespace

VolumeCheck CheckSavedVolume(IStorageDevice* device, const CSearchedPartitionInfo& record,
                             const std::uint64_t* savedIdentity) {
    if (!device || record.m_startSector < 0) return VolumeCheck::Unchecked;
    const auto start = static_cast<unsigned long long>(record.m_startSector);
    if (savedIdentity) {
        std::uint64_t now = 0;
        // A volume that cannot be read now cannot be vouched for either.
        return VolumeIdentity(device, start, now) && now == *savedIdentity ? VolumeCheck::Same : VolumeCheck::Other;
    }
    // An older save: only a file system of another kind where the record's
    // was tells another volume. A deep scan's FAT kind is its own guess, so
    // FAT12, 16 and 32 count as one.
    if (!IsRecognised(record.m_fileSystemType)) return VolumeCheck::Unchecked;
    const std::unique_ptr<IVolumeAnalyzeController> analysis(CreateVolumeAnalyzeController(device, start));
    IVolumeAnalyze* found = analysis ? analysis->GetVolumeAnzlyzer() : nullptr;
    if (!found) return VolumeCheck::Unchecked;
    const unsigned kind = found->GetFileSystemType();
    const bool same = kind == record.m_fileSystemType || (IsFat(kind) && IsFat(record.m_fileSystemType));
    return same ? VolumeCheck::Same : VolumeCheck::Other;
}
