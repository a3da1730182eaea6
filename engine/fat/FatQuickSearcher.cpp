#include "engine/fat/FatQuickSearcher.h"

#include "engine/fat/FatBootSector.h"
#include "engine/fat/FatBuildWorker.h"
#include "engine/fat/FatTable.h"
#include "engine/include/DeviceRecords.h"
#include "engine/include/StorageDevice.h"
#include "engine/utility/SectorReads.h"

#include <algorithm>

namespace fat {
IQuickFileSystemSearchController* CreateFATQuickSearcher() { return new CFATQuickSearcher(); }
} // namespace fat

int CFATQuickSearcher::GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int n) {
    if (m_records.empty()) return 0;
    if (array && n >= 1) array[0] = m_records.front()->Clone();
    return 1;
}

ResultCode CFATQuickSearcher::QuickSearchFiles(IStorageDevice* volume, IProgress* sink) {
    ResultCode result = 0;
    unsigned kind = FS_UNKNOWN;
    if (!volume || !sink) {
        result = fat::kQuickNoDeviceOrSink;
    } else if (!m_builder) {
        result = fat::kQuickNoBuilder;
    } else {
        m_device = volume;
        m_sink = sink;
        result = GetFsType(volume, kind);
        if (result == 0)
            result = (kind == FS_FAT12 || kind == FS_FAT16 || kind == FS_FAT32) ? FatQuickSearchFiles(kind, sink)
                                                                                : fat::kQuickNotFat;
    }
    if (m_sink) {
        _PROGRESS_INFO info = MakeProgress(PROGRESS_FINISHED, 100, 100, result);
        m_sink->UpdateProgress(&info);
    }
    return result;
}

ResultCode CFATQuickSearcher::GetFsType(IStorageDevice* device, unsigned& kind) const {
    if (device->GetType() != DEVICE_VOLUME) return fat::kQuickNotVolume;
    auto* data = dynamic_cast<IVolumeDeviceData*>(device->GetPrivateData());
    if (!data) return fat::kQuickNoVolumeData;
    const CCollectedVolumeDeviceInfoStruct* info = data->GetVolumeInfo();
    if (!info) return fat::kQuickNoVolumeRecord;
    kind = info->fileSystemType;
    return 0;
}

ResultCode CFATQuickSearcher::FatQuickSearchFiles(unsigned kind, IProgress* sink) {
    using Flags = CFATSearchedPartitionInfo;
    IStorageDevice* device = m_device;
    const std::uint32_t flags = kind == FS_FAT32 ? Flags::kQuickFlagsFat32 : Flags::kQuickFlagsFat16;
    const unsigned ss = device->GetSectorSize();
    ResultCode result = 0;
    CFATSearchedPartitionInfo* record = nullptr;
    std::unique_ptr<IFATTable> table;

    std::vector<std::uint8_t> sector;
    if (ss >= 512 && ss <= 0x10000) sector.assign(ss, 0);
    bool valid = false;
    if (sector.empty()) {
        result = fat::kQuickNoMemory;
    } else {
        if ((flags & 7) && device->ReadSector(sector.data(), 0, 1))
            valid = CFATBuildWorker::IsFullValidDBR(sector, 0, device);
        else if (flags & 7)
            ++salvor::UnreadableStructureSectors();
        // The FAT32 backup boot sector.
        if (!valid && (flags & 8) && device->ReadSector(sector.data(), 6, 1))
            valid = CFATBuildWorker::IsFullValidDBR(sector, 0, device);
        if (!valid) result = fat::kQuickNoValidBoot;
    }

    if (result == 0) {
        const CTempFATDBR boot(sector, ss);
        const enumFILE_SYSTEM_TYPE bootKind = boot.GetFileSystemType();
        const unsigned spc = boot.GetSectorsperCluster();
        const std::uint64_t bootTotal = boot.GetTotalSectors();
        const std::uint64_t D = boot.GetFirstDataSector();
        const std::uint32_t rootSectors = boot.GetRootDirSectors();
        const std::uint64_t rootStart = bootKind == FS_FAT32
                                            ? D + (std::uint64_t{boot.GetRootDirStartCluster()} - 2) * spc
                                            : D - rootSectors;
        // The partition's clusters: those its boot sector describes, as far as
        // its FAT can number them.
        const unsigned bits = bootKind == FS_FAT12 ? 12 : bootKind == FS_FAT16 ? 16 : 32;
        const std::uint64_t fatEntries = std::uint64_t{boot.GetSectorsPerFat()} * ss * 8 / bits;
        std::uint64_t clusters = boot.GetClusterCount();
        if (fatEntries < 2) clusters = 0;
        else clusters = std::min(clusters, fatEntries - 2);
        table.reset(IFATTableFactory::CreateFATTable(device, boot.GetReservedSector(), bootKind,
                                                     boot.GetSectorsPerFat(), flags & 0x80, flags & 0x200, clusters));
        if (!table) result = fat::kQuickNoFatTable;

        if (result == 0) {
            const std::uint64_t T = std::min<std::uint64_t>(bootTotal, device->GetTotalSectors());
            const std::uint64_t recordClusters = T > D ? (T - D) / spc : 0;
            auto made = std::make_unique<CFATSearchedPartitionInfo>(ss);
            made->m_partitionIndex = 0;
            made->m_clusterOrigin = static_cast<long long>(D);
            made->m_sectorsPerCluster = spc;
            made->m_fileSystemType = bootKind;
            made->SetTotalSectors(T);
            made->SetSectorPerFAT(boot.GetSectorsPerFat());
            made->SetTotalCluster(static_cast<std::uint32_t>(std::min<std::uint64_t>(recordClusters, 0xFFFFFFFFu)));
            made->SetStartSector(0);
            made->SetReservedSector(static_cast<std::uint16_t>(boot.GetReservedSector()));
            made->SetRootInfo(bootKind == FS_FAT32 ? boot.GetRootDirStartCluster() : rootSectors);
            made->MergeFlag(flags);
            record = made.get();
            m_records.push_back(std::move(made));

            m_builder->AddSearcherInfo(SEARCHER_FAT, 0);
            CFATBuildWorker worker(m_builder, sink, record, device, bootKind, 0, spc, rootStart, rootSectors,
                                   boot.GetRootDirStartCluster(), 1, D, clusters, table.get());
            result = worker.QuickBuildDirectoryTree(1);
        }
    }
    // Whatever was added is shown, also after a failure or a stop.
    m_builder->SetPartitonDevice(record, device);
    m_builder->FlashBuild(SEARCHER_FAT);
    return result;
}
