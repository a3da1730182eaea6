#include "engine/hfsplus/HfsPlusQuickSearch.h"

#include "engine/hfsplus/HfsPlusFileNode.h"
#include "engine/hfsplus/HfsPlusJournal.h"
#include "engine/hfsplus/HfsPlusVolume.h"
#include "engine/include/StorageDevice.h"

#include <new>

namespace hfsplus {

CHFSPlusQuickFileSystemSearchProgress::CHFSPlusQuickFileSystemSearchProgress(IProgress* sink, bool quiet)
    : m_sink(sink), m_record(MakeProgress(PROGRESS_RUNNING, 0, 0)), m_quiet(quiet) {}

CHFSPlusQuickFileSystemSearchProgress::~CHFSPlusQuickFileSystemSearchProgress() {
    if (m_quiet || !m_sink) return;
    m_record.state = PROGRESS_FINISHED;
    m_sink->UpdateProgress(&m_record);
}

void CHFSPlusQuickFileSystemSearchProgress::UpdateProgress() {
    if (m_quiet) return;
    ++m_record.current;
    if (m_sink) m_sink->UpdateProgress(&m_record);
}

bool CHFSPlusQuickFileSystemSearchProgress::Continued() { return !m_sink || m_sink->Continued() != 0; }

CHFSPlusPrivateData::CHFSPlusPrivateData(std::unique_ptr<CHFSPlusVolume> volume) : m_volume(std::move(volume)) {}
CHFSPlusPrivateData::~CHFSPlusPrivateData() = default;

namespace {
// Hands one node to the builder; answers whether it was taken.
bool AddNode(IDirecotryTreeBuilder* builder, CHFSPlusVolume& volume, const BTKey& key,
             const HFSPlusCatalogRecord& record, bool deleted, CHFSPlusQuickFileSystemSearchProgress& progress) {
    // The journal's own files hold the file system's log, nothing of the user's.
    if (volume.Header() && volume.Journal() && IsJournalFile(*volume.Header(), volume.Journal()->Info(), key, record)) {
        if (!deleted) progress.UpdateProgress();
        return false;
    }
    auto* node = new CHFSPlusFileNode(&volume, key, record, deleted);
    if (node->GetCurrentNodeID() == -1) {
        node->Release();
        return false;
    }
    // A deleted record was counted when the journal gave it: counting it
    // again would take the progress past its total.
    if (!deleted) progress.UpdateProgress();
    if (!builder->AddNode(node, SEARCHER_HFSPLUS)) {
        node->Release();
        return false;
    }
    return true;
}
} // namespace

ResultCode QuickSearchVolume(CHFSPlusVolume& volume, IDirecotryTreeBuilder* builder,
                             CHFSPlusQuickFileSystemSearchProgress& progress) {
    if (!volume.Journal() || !volume.Header()) return MakeResult(ResultLib::HfsPlus, 50, kErrMissing);
    const std::uint64_t counts = std::uint64_t{volume.Header()->fileCount} + volume.Header()->folderCount + 1;
    progress.SetTotal(counts);
    std::uint64_t deletedCount = 0;
    volume.Journal()->GetDeleteRecord([&] { return progress.Continued(); },
                                      [&] {
                                          ++deletedCount;
                                          progress.UpdateProgress();
                                      });
    progress.SetTotal(deletedCount + counts);
    while (!volume.m_deletedCatalog.empty()) {
        if (!progress.Continued()) break;
        const auto& entry = volume.m_deletedCatalog.front();
        if (builder) AddNode(builder, volume, entry.key, entry.record, true, progress);
        volume.m_deletedCatalog.pop_front();
    }
    volume.m_deletedCatalog.clear();
    CHFSPlusBTreeOptionBase* catalog = volume.Tree(kCatalogFileId);
    if (!catalog) return volume.GetLastError();
    return catalog->Traverse(
        [&](const BTKey& key, bytes::Bytes data) {
            HFSPlusCatalogRecord record;
            if (!builder) {
                // Without a builder the walk is a listing for diagnosis.
                catalog->KeyPrint(key);
                catalog->DataPrint(data);
                return true;
            }
            if (ReadCatalogRecord(data, record) &&
                (record.recordType == kFileRecord || record.recordType == kFolderRecord))
                AddNode(builder, volume, key, record, false, progress);
            return true;
        },
        [&] { return progress.Continued(); });
}

CHFSPlusQuickFileSystemSearchController::~CHFSPlusQuickFileSystemSearchController() = default;

CHFSPlusVolume* CHFSPlusQuickFileSystemSearchController::Volume() const {
    return m_privateData ? m_privateData->Volume() : nullptr;
}

ResultCode CHFSPlusQuickFileSystemSearchController::QuickSearchFiles(IStorageDevice* device, IProgress* sink) {
    m_device = device;
    m_sink = sink;
    CHFSPlusQuickFileSystemSearchProgress progress(sink, false);
    if (!device) return HFS_ERROR(kErrNullArg);
    if (!m_builder) return HFS_ERROR(kErrMissing);
    auto volume = std::make_unique<CHFSPlusVolume>(device, false);
    if (ResultCode rc = volume->GetLastError()) return FormatError(rc, __FILE__, __LINE__, __func__);
    CHFSPlusVolume& v = *volume;
    m_privateData = std::make_unique<CHFSPlusPrivateData>(std::move(volume));
    m_blockSize = v.Header()->blockSize;
    m_builder->AddSearcherInfo(SEARCHER_HFSPLUS, kRootFolderId);
    QuickSearchVolume(v, m_builder, progress);
    m_builder->SetPartitonDevice(nullptr, device);
    m_builder->FlashBuild(SEARCHER_HFSPLUS);
    return 0;
}

int CHFSPlusQuickFileSystemSearchController::GetSearchedPartitionInfo(CSearchedPartitionInfo** records, int n) {
    if (!records || n < 1) return 1;
    const unsigned sectorSize = m_device ? m_device->GetSectorSize() : 512;
    auto* record = new (std::nothrow) CSearchedPartitionInfo(sectorSize);
    if (!record) return 0;
    record->m_privateData = m_privateData.get();
    record->m_partitionIndex = 0;
    record->m_fileSystemType = FS_HFSPLUS;
    record->m_sectorsPerCluster = sectorSize ? m_blockSize / sectorSize : 0;
    record->m_clusterOrigin = 0;
    record->m_startSector = 0;
    record->SetTotalSectors(m_device ? m_device->GetTotalSectors() : 0);
    records[0] = record;
    return 1;
}

IQuickFileSystemSearchController* CreateHFSPlusQuickSearcher() {
    return new (std::nothrow) CHFSPlusQuickFileSystemSearchController();
}

} // namespace hfsplus
