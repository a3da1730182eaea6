#include "savedscan/SavedVolumeCheck.h"

#include "engine/include/EngineTypes.h"
#include "engine/include/SearchedPartitionInfo.h"
#include "engine/volume/VolumeAnalyzeController.h"
#include "savedscan/RestoreFileNode.h"

#include <memory>

using SaveRestoreResult::VolumeMark;

namespace {

bool IsFat(unsigned kind) { return kind == FS_FAT12 || kind == FS_FAT16 || kind == FS_FAT32; }

// Kinds a recogniser can find at a record's start.
bool IsRecognised(unsigned kind) {
    return IsFat(kind) || kind == FS_NTFS || kind == FS_EXFAT || kind == FS_HFSPLUS || kind == FS_APFS;
}

} // namespace

VolumeCheck CheckSavedVolume(IStorageDevice* device, const CSearchedPartitionInfo& record, const VolumeMark& mark) {
    if (!device || record.m_startSector < 0) return VolumeCheck::Unchecked;
    const auto start = static_cast<unsigned long long>(record.m_startSector);
    if (mark.kind == VolumeMark::Kind::Identity) {
        std::uint64_t now = 0;
        // A volume that cannot be read now cannot be vouched for either.
        return VolumeIdentity(device, start, now) && now == mark.identity ? VolumeCheck::Same : VolumeCheck::Other;
    }
    if (mark.kind == VolumeMark::Kind::Files) {
        if (mark.identity == 0) return VolumeCheck::Unchecked;
        std::uint64_t now = 0;
        return VolumeIdentity(device, start, now) && SaveRestoreResult::FoldIdentity(now) == mark.identity
                   ? VolumeCheck::Same
                   : VolumeCheck::Other;
    }
    // An older save: a file system of another kind, or of another size,
    // where the record's was tells another volume. A deep scan's FAT kind is
    // its own guess, so FAT12, 16 and 32 count as one.
    if (!IsRecognised(record.m_fileSystemType)) return VolumeCheck::Unchecked;
    const std::unique_ptr<IVolumeAnalyzeController> analysis(CreateVolumeAnalyzeController(device, start));
    IVolumeAnalyze* found = analysis ? analysis->GetVolumeAnzlyzer() : nullptr;
    if (!found) return VolumeCheck::Unchecked;
    const unsigned kind = found->GetFileSystemType();
    const bool same = kind == record.m_fileSystemType || (IsFat(kind) && IsFat(record.m_fileSystemType));
    const unsigned long long total = found->GetTotalSector();
    const bool sized = record.m_totalSectors == 0 || total == 0 || total == record.m_totalSectors;
    return same && sized ? VolumeCheck::Same : VolumeCheck::Other;
}

bool IsWeakIdentity(IStorageDevice* device, unsigned long long start) {
    CVolumeAnalyzeController analysis(device, start);
    IVolumeAnalyze* known = analysis.GetVolumeAnzlyzer();
    return !known || known->GetVolumeSerial() == 0;
}

bool MakeVolumeMark(IStorageDevice* device, const CSearchedPartitionInfo& record, IDataRecovery* writer,
                    const std::vector<IFileNode*>& files, VolumeMark& mark) {
    if (!device || record.m_startSector < 0) return false;
    const auto start = static_cast<unsigned long long>(record.m_startSector);
    std::uint64_t identity = 0;
    const bool identified = VolumeIdentity(device, start, identity);
    mark = VolumeMark{};
    if (writer && IsWeakIdentity(device, start))
        for (std::size_t i = 0; i < files.size() && i < kMarkFiles; ++i) mark.files[i] = FirstSectorMark(*writer, files[i]);
    if (mark.HasFiles()) {
        mark.kind = VolumeMark::Kind::Files;
        mark.identity = identified ? SaveRestoreResult::FoldIdentity(identity) : 0;
        return true;
    }
    if (!identified) return false;
    mark.kind = VolumeMark::Kind::Identity;
    mark.identity = identity;
    return true;
}
