#include "engine/controller/RecoveryControllers.h"

#include "engine/controller/SearcherTeam.h"

#include "engine/common/Bitmap.h"
#include "engine/device/StorageDeviceWithCache.h"
#include "engine/device/StorageDevices.h"
#include "engine/include/DeviceGone.h"
#include "engine/include/DeviceRecords.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/include/StorageDevice.h"
#include "engine/partition/PartitionAnalyzers.h"
#include "engine/tree/DirectoryTreeBuilder.h"
#include "engine/writer/DataRecovery.h"
#include "engine/utility/CatchExeception.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>

namespace {

constexpr long long kDeepBlockBytes = 0x400000;
constexpr long long kFallbackBlockSectors = 8192;

void Report(IProgress* sink, std::uint32_t state, std::uint64_t total, std::uint64_t current,
            ResultCode result = 0) {
    if (!sink) return;
    _PROGRESS_INFO info = MakeProgress(state, total, current, result);
    sink->UpdateProgress(&info);
}

// Text of a fixed record field, which need not be NUL-terminated.
template <std::size_t N>
std::string FieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

CCollectedVolumeDeviceInfoStruct* VolumeRecord(IStorageDevice* device) {
    auto* data = device ? dynamic_cast<IVolumeDeviceData*>(device->GetPrivateData()) : nullptr;
    return data ? data->GetVolumeInfo() : nullptr;
}

// A volume's file system may be larger than its table entry (a tool wrote
// the volume before the table, or the entry was made smaller since): the
// list shows the entry's size, but the file system's own files are read as
// far as its boot sector says and the disk holds, up to the next volume the
// disk's table or the system lists. Null when the volume's device already holds all that
// can be read of it, or when the table cannot be read whole to tell where
// the other volumes lie.
std::unique_ptr<IStorageDevice> FileSystemReach(IStorageDevice* volume) {
    CCollectedVolumeDeviceInfoStruct* record = VolumeRecord(volume);
    if (!record || record->kind != 0 || !record->disk || record->startSector < 0) return nullptr;
    IStorageDevice* disk = record->disk;
    if (disk == volume || disk->GetType() != DEVICE_DISK || disk->GetSectorSize() != volume->GetSectorSize())
        return nullptr;
    const auto start = static_cast<std::uint64_t>(record->startSector);
    const std::uint64_t held = volume->GetTotalSectors();
    const VolumeAt v = ReadVolumeAt(disk, start);
    if (!v.known || !v.sound || v.extent <= held) return nullptr;
    std::uint64_t end = start + v.extent; // the extent is cut at the disk's end
    std::unique_ptr<IPartitionTableAnalyze> tables(CreatePartitionTableAnalyze());
    PartitionList entries;
    if (!tables || IsFailure(tables->AnalyzePartitionTable(disk, entries))) return nullptr;
    for (const PartitionEntry& e : entries)
        if (e.startSector > start && e.startSector < end) end = e.startSector;
    // And the partitions the system made of the table (small GPT ones too).
    if (const auto* listed = dynamic_cast<CDiskDevice*>(disk))
        for (const CCollectedVolumeDeviceInfoStruct& other : listed->Volumes())
            if (other.startSector > 0 && static_cast<std::uint64_t>(other.startSector) > start &&
                static_cast<std::uint64_t>(other.startSector) < end)
                end = static_cast<std::uint64_t>(other.startSector);
    if (end - start <= held || end - start > static_cast<std::uint64_t>(INT64_MAX)) return nullptr;
    auto reach = std::make_unique<CPartitionVirtualVolumeDevice>(disk, static_cast<long long>(start),
                                                                 static_cast<long long>(end - start));
    auto copy = std::make_unique<CCollectedVolumeDeviceInfoStruct>(*record);
    copy->totalSectors = static_cast<std::int64_t>(end - start);
    IVolumeDeviceData* holder = CreateVolumeDeviceData(copy.get());
    if (!holder) return nullptr;
    copy.release();
    reach->SetPrivateData(holder);
    return reach;
}

// The quick searcher's sink: a device that stops answering stops the search
// as a stop would (what was listed is built), and its finished record says why.
class CGoneDeviceStop : public IProgress {
public:
    CGoneDeviceStop(IProgress* sink, IStorageDevice* device) : m_sink(sink), m_device(device) {}
    void UpdateProgress(_PROGRESS_INFO* info) override {
        if (info && info->state == PROGRESS_FINISHED && DeviceGone(m_device)) {
            // How far the search got: its last running record's position.
            _PROGRESS_INFO ended = *info;
            ended.total = m_total;
            ended.current = m_current;
            ended.result = ControllerResult::DeviceGone;
            m_sink->UpdateProgress(&ended);
            return;
        }
        // Where it was when the device went: what came after read nothing.
        if (info && info->state == PROGRESS_RUNNING && !DeviceGone(m_device)) {
            m_total = info->total;
            m_current = info->current;
        }
        m_sink->UpdateProgress(info);
    }
    int Continued() override { return !DeviceGone(m_device) && m_sink->Continued(); }
    // The files found before the device went are listed whatever the sink says of a stop.
    int shouldBuild() override { return DeviceGone(m_device) ? 1 : m_sink->shouldBuild(); }

private:
    IProgress* m_sink;
    IStorageDevice* m_device;
    std::uint64_t m_total = 1, m_current = 0;
};

} // namespace

std::string GetDeviceDescription(IStorageDevice* device) {
    if (!device) return {};
    switch (device->GetType()) {
    case DEVICE_VOLUME:
        // A partition of a disk or image has no volume name of its own: its
        // label tells two partitions of one disk apart.
        if (auto* v = VolumeRecord(device); v && v->kind == 0)
            return v->volumeName[0] ? FieldText(v->volumeName) : FieldText(v->label);
        return {};
    case DEVICE_EDI: {
        auto* data = dynamic_cast<IEDIDeviceData*>(device->GetPrivateData());
        auto* info = data ? data->GetEDIInfo() : nullptr;
        if (!info) return {};
        const std::string path = FieldText(info->path);
        const auto slash = path.find_last_of('/');
        return slash == std::string::npos ? path : path.substr(slash + 1);
    }
    default:
        return {};
    }
}

bool SetRestoreScanSink(IRecoveryController* controller, RestoreScanSink* sink) {
    auto* c = dynamic_cast<CRecoveryControllerBase*>(controller);
    if (!c) return false;
    c->SetRestoreScanSink(sink);
    return true;
}

bool GiveUpReads(IRecoveryController* controller, std::chrono::milliseconds waited) {
    auto* deep = dynamic_cast<CCompleteRecoveryController*>(controller);
    return deep && deep->GiveUpReads(waited);
}

IRecoveryController* CreateRecoveryController(_RECOVERY_CONTROLLER_TYPE type) {
    switch (type) {
    case RECOVERY_DELETED: return new CDeletedRecoveryController;
    case RECOVERY_COMPLETE: return new CCompleteRecoveryController;
    case RECOVERY_PARTITION: return new CPartitionRecoveryController;
    default: return nullptr;
    }
}

// ---- shared -----------------------------------------------------------------

CRecoveryControllerBase::CRecoveryControllerBase()
    : m_makeBuilder([](bool replay) { return CreateTreeBuilder(replay); }) {}

CRecoveryControllerBase::~CRecoveryControllerBase() = default;

int CRecoveryControllerBase::Initialize(IRecoveryFilter* filter) {
    m_filter = filter;
    return filter ? 1 : 0;
}

ResultCode CRecoveryControllerBase::MakeBuilder(bool replay, IDrirectoryTree* tree, ResultCode none,
                                                ResultCode refused) {
    // A controller serves one scan; a second start begins from a new builder.
    m_builder.reset(m_makeBuilder ? m_makeBuilder(replay) : nullptr);
    if (!m_builder) return none;
    if (!m_builder->Initialize(GetDeviceDescription(m_device).c_str(), tree, m_filter)) return refused;
    return 0;
}

void CRecoveryControllerBase::Replay(IProgress* sink, IStorageDevice* device) {
    // Also the quick scan's builder, made as for a scan: a loaded folder
    // lists its files in the saved order, which names files of one name.
    if (auto* builder = dynamic_cast<CDirectoryTreeBuilder*>(m_builder.get())) builder->KeepAddedOrder();
    m_restoreSink->SetDirecotryTreeBuilder(m_builder.get(), sink, device);
    m_restoredPartitions.clear();
    for (int type = SEARCHER_HFSPLUS; type <= SEARCHER_APFS; ++type) {
        auto& copies = m_restoredPartitions[type];
        for (CSearchedPartitionInfo* record : m_restoreSink->GetSearchedPartition(type))
            if (record) copies.emplace_back(record->Clone());
    }
    m_replayed = true;
}

IDataRecovery* CRecoveryControllerBase::MakeWriter(int type, IFileSystemSearchController* searcher) const {
    IDataRecovery* writer = CreateDataRecoveryObj();
    if (!writer) return nullptr;
    ResultCode rc = 0;
    if (m_restoreSink || m_replayed) {
        const auto saved = [this](int of) {
            std::vector<CSearchedPartitionInfo*> records;
            if (m_replayed) {
                // The copies taken when the replay ended: the sink may be gone.
                auto it = m_restoredPartitions.find(of);
                if (it != m_restoredPartitions.end())
                    for (const auto& r : it->second) records.push_back(r.get());
            } else {
                records = m_restoreSink->GetSearchedPartition(of);
            }
            return records;
        };
        std::vector<CSearchedPartitionInfo*> records = saved(type);
        // The carver's records are saved with each root of carved files: a
        // save whose only carved root is that of files carved by label holds
        // them there, and the carver's writer writes those files too.
        if (records.empty() && type == SEARCHER_RAW) records = saved(SEARCHER_RAW_LABEL);
        auto* concrete = dynamic_cast<CDataRecovery*>(writer);
        if (!concrete) { // only our writer takes saved records
            writer->Release();
            return nullptr;
        }
        rc = concrete->Initialize(records, m_device);
    } else {
        rc = writer->Initialize(searcher, m_device);
    }
    if (IsFailure(rc)) {
        writer->Release();
        return nullptr;
    }
    return writer;
}

// ---- quick scan -------------------------------------------------------------

CDeletedRecoveryController::~CDeletedRecoveryController() {
    // The searcher may still point at nodes the builder owns.
    if (m_searcher) m_searcher->Release();
    m_searcher = nullptr;
    m_builder.reset();
}

ResultCode CDeletedRecoveryController::StartDataRecovery(IStorageDevice* device, IProgress* sink,
                                                         IDrirectoryTree* tree) {
    if (!device || !sink || !tree) return ControllerResult::QuickNullArgument;
    Report(sink, PROGRESS_RUNNING, 1, 0);
    if (device->GetType() == DEVICE_DISK) return ControllerResult::QuickWholeDisk;

    m_device = device;
    if (m_searcher) m_searcher->Release();
    m_searcher = nullptr;
    if (ResultCode rc = MakeBuilder(false, tree, ControllerResult::QuickNoBuilder,
                                    ControllerResult::QuickBuilderRefused))
        return rc;

    const CCollectedVolumeDeviceInfoStruct* volume = VolumeRecord(device);
    const unsigned kind = volume ? volume->fileSystemType : unsigned{FS_UNKNOWN};
    if (const FileSystemEntry* entry = FileSystems().ForVolumeKind(kind); entry && entry->quick)
        m_searcher = entry->quick();
    if (!m_searcher) {
        Report(sink, PROGRESS_FINISHED, 1, 1, ControllerResult::QuickNoSearcher);
        return ControllerResult::QuickNoSearcher;
    }
    m_searcher->SetDirecotryTreeBuilder(m_builder.get());

    // The file system is searched, and its files written, through the reach;
    // the listed volume stays what a deep scan of it walks.
    m_reach = FileSystemReach(device);
    IStorageDevice* read = m_reach ? m_reach.get() : device;
    m_device = read;
    if (m_restoreSink) {
        Replay(sink, read);
        return 0;
    }
    ::sync();
    // The searcher reports its own progress and finish; its failure is the
    // scan's failure, and so is a device that went away under it.
    CGoneDeviceStop watched(sink, device);
    const ResultCode rc = m_searcher->QuickSearchFiles(read, &watched);
    return DeviceGone(device) ? ControllerResult::DeviceGone : rc;
}

IDataRecovery* CDeletedRecoveryController::GetDataRecovery(_tagSearcherType type) const {
    return MakeWriter(type, m_searcher);
}

// ---- deep scan --------------------------------------------------------------

long long CCompleteRecoveryController::BlockSizeFor(unsigned sectorSize) {
    const long long block = kDeepBlockBytes / (sectorSize ? sectorSize : 512);
    return block ? block : kFallbackBlockSectors;
}

long long CCompleteRecoveryController::BlockSize(unsigned sectorSize) const {
    return m_blockOverride ? m_blockOverride : BlockSizeFor(sectorSize);
}

CCompleteRecoveryController::CCompleteRecoveryController() : m_reads(std::make_unique<CReadWatch>()) {}

bool CCompleteRecoveryController::GiveUpReads(std::chrono::milliseconds waited) {
    const bool before = m_reads->GivenUp();
    const bool now = m_reads->GiveUpAfter(waited);
    if (now && !before)
        CatchExeception::WriteLog("deep scan stopped: a read unanswered for %lld ms is given up; the trees are built from what was read\n",
                                  static_cast<long long>(waited.count()));
    return now;
}

CCompleteRecoveryController::~CCompleteRecoveryController() {
    // Stop reading ahead first; searchers may hold node pointers, so they go
    // before the builder that owns the nodes; the cached device they read
    // through goes last.
    if (m_cache) m_cache->EndCache();
    ReleaseSearchers();
    m_builder.reset();
    m_cache.reset();
    m_fileSectorMap.clear();
}

void CCompleteRecoveryController::ReleaseSearchers() {
    for (Searcher& s : m_searchers)
        if (s.searcher) s.searcher->Release();
    m_searchers.clear();
}

void CCompleteRecoveryController::CreateSearchers(IStorageDevice* device, IProgress* sink) {
    ReleaseSearchers();
    const SearcherContext context{device, sink, &m_fileSectorMap};
    for (const FileSystemEntry* entry : FileSystems().DeepTeam()) {
        ICompleteFileSystemSearchController* s = entry->deep();
        if (!s) continue;
        m_searchers.push_back({entry->searcherType, s});
        if (entry->prepare) entry->prepare(*s, context);
    }
}

ResultCode CCompleteRecoveryController::StartDataRecovery(IStorageDevice* device, IProgress* sink,
                                                          IDrirectoryTree* tree) {
    if (!device || !sink || !tree) return ControllerResult::DeepNullArgument;
    m_bitmap = std::make_unique<TBitmap>();
    Report(sink, PROGRESS_RUNNING, 1, 0);

    // A second start replaces the first scan's searchers, cache and builder,
    // in the order the destructor uses.
    if (m_cache) m_cache->EndCache();
    ReleaseSearchers();
    m_cache.reset();
    m_fileSectorMap.clear();
    m_reads->Reset();

    m_device = device;
    if (ResultCode rc = MakeBuilder(m_restoreSink != nullptr, tree, ControllerResult::DeepNoBuilder,
                                    ControllerResult::DeepBuilderRefused))
        return rc;

    CreateSearchers(device, sink);
    if (m_searchers.empty()) return ControllerResult::DeepNoSearcher;

    ::sync();
    const long long block = BlockSize(device->GetSectorSize());
    m_cache = std::make_unique<CStorageDeviceWithCache>(device);
    m_cache->WatchReads(m_reads.get());
    m_cache->SetBlockSize(static_cast<unsigned>(block));
    m_cache->SetLending(m_lent);
    m_cache->BeginCache();

    m_sharedBuilder = std::make_unique<CSerializedTreeBuilder>(m_builder.get());
    for (Searcher& s : m_searchers) {
        s.searcher->SetDevice(m_cache.get());
        s.searcher->SetBlockSize(static_cast<int>(block));
        s.searcher->SetDirecotryTreeBuilder(m_sharedBuilder.get());
        s.searcher->SetBitmap(m_bitmap.get());
        if (!m_restoreSink) s.searcher->PreparetoSearch();
    }

    ResultCode result = 0;
    if (m_restoreSink) {
        Replay(sink, device);
    } else {
        const long long total = static_cast<long long>(device->GetTotalSectors());
        result = SearchData(0, total - 1, sink);
    }

    // After a stop every searcher still ends with the sink's build answer, the
    // carver too: it then files only what it has sized.
    // What was found before a device went away is listed.
    const int build = result == ControllerResult::DeviceGone ? 1 : sink->shouldBuild();
    // A device gone before the trees are built gives them what the scan kept of it.
    m_cache->AnswerFromKept(true);
    for (Searcher& s : m_searchers) s.searcher->EndSearch(build);
    m_cache->AnswerFromKept(false);
    if (result == ControllerResult::DeviceGone)
        // How far the scan got: the sectors read before the device went, of all.
        Report(sink, PROGRESS_FINISHED, device->GetTotalSectors(), static_cast<std::uint64_t>(m_reached), result);
    else
        Report(sink, PROGRESS_FINISHED, 1, 1, result);
    return result;
}

ResultCode CCompleteRecoveryController::SearchData(long long first, long long last, IProgress* sink) {
    if (!sink || !m_cache) return ControllerResult::LoopNoSinkOrCache;
    if (first > last) return ControllerResult::LoopFirstAfterLast;

    const long long block = BlockSize(m_cache->GetSectorSize());
    const long long total = static_cast<long long>(m_cache->GetTotalSectors());
    first = std::clamp(first, 0LL, total);
    if (last >= total) last = total - 1;
    if (last < first) return 0; // nothing left to read

    const long long firstBlock = first / block;
    const long long lastBlock = last / block;
    const std::uint64_t blocks = static_cast<std::uint64_t>(lastBlock - firstBlock + 1);
    _PROGRESS_INFO record = MakeProgress(PROGRESS_RUNNING, blocks + 1, 0);
    sink->UpdateProgress(&record);

    // The calling thread takes the carver, which has the most to do in every
    // block: it goes on to the next block without waiting to be woken.
    std::vector<ICompleteFileSystemSearchController*> searchers;
    if (m_sideBySide) {
        for (Searcher& s : m_searchers)
            if (s.type == SEARCHER_RAW) searchers.push_back(s.searcher);
        for (Searcher& s : m_searchers)
            if (s.type != SEARCHER_RAW) searchers.push_back(s.searcher);
    }
    CSearcherTeam team(std::move(searchers));
    m_reached = first;
    std::uint64_t current = 0;
    for (long long b = firstBlock; b <= lastBlock; ++b) {
        if (!sink->Continued()) return 0;
        // A device that went away ends the scan where it went; the searchers
        // still build what they found before.
        if (DeviceGone(m_device)) return ControllerResult::DeviceGone;
        m_reached = b * block;
        m_cache->SetCurCacheBlock(b);
        const long long start = b * block;
        const long long count = std::min(last - start + 1, block);
        if (m_sideBySide)
            team.AnalyzeBlock(start, count);
        else
            for (Searcher& s : m_searchers) s.searcher->AnalyzeBlock(start, count);
        current = std::min<std::uint64_t>(current + 1, record.total);
        // The disk's reading is 80 percent of the scan; the trees are the rest.
        _PROGRESS_INFO sent = record;
        sent.current = current * 4 / 5;
        sink->UpdateProgress(&sent);
    }
    return DeviceGone(m_device) ? ControllerResult::DeviceGone : 0;
}

void CCompleteRecoveryController::EndSearchers(int build) {
    for (Searcher& s : m_searchers) s.searcher->EndSearch(build);
    if (m_bitmap) m_bitmap->DestroyBitmap();
}

IDataRecovery* CCompleteRecoveryController::GetDataRecovery(_tagSearcherType type) const {
    auto it = std::find_if(m_searchers.begin(), m_searchers.end(),
                           [type](const Searcher& s) { return s.type == type; });
    if (it == m_searchers.end()) return nullptr;
    return MakeWriter(type, it->searcher);
}
