#include "engine/fat/FatDeepTree.h"

#include "engine/fat/FatBuildDataRun.h"
#include "engine/fat/FatDirEntry.h"
#include "engine/fat/FatFileNode.h"
#include "engine/fat/FatSearchedPartitionInfo.h"
#include "engine/fat/FatTable.h"
#include "engine/include/Owned.h"
#include "engine/include/StorageDevice.h"
#include "engine/utility/SectorReads.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <set>

using namespace fat;

namespace fat {
std::string NextLostFolderName() {
    static std::atomic<unsigned long long> counter{0};
    return "DIR" + std::to_string(counter.fetch_add(1));
}
} // namespace fat

namespace {
// Root sectors of a FAT12/16 partition without a boot sector are sought this
// many bytes before its data area (a root of 4096 entries).
constexpr std::uint64_t kLostRootBytes = 0x20000;
} // namespace

CFATDeepBuildWorker::CFATDeepBuildWorker(IDirecotryTreeBuilder* treeBuilder, CFATSearchedPartitionInfo* partition,
                                         IStorageDevice* device, enumFILE_SYSTEM_TYPE kind,
                                         std::uint64_t partitionStart, std::uint64_t partitionSectors,
                                         unsigned sectorsPerCluster, std::uint64_t rootStart,
                                         std::uint32_t rootSectors, std::uint32_t rootCluster, int rootListed,
                                         std::uint64_t firstDataSector, std::uint64_t clusterCount, IFATTable* fat)
    : CFATBuildWorker(treeBuilder, nullptr, partition, device, kind, partitionStart, sectorsPerCluster, rootStart,
                      rootSectors, rootCluster, rootListed, firstDataSector, clusterCount, fat),
      m_treeBuilder(treeBuilder), m_record(partition), m_dev(device), m_table(fat), m_start(partitionStart),
      m_sectors(partitionSectors), m_rootListed(rootListed) {}

CFATFileNode* CFATDeepBuildWorker::CreateTempFileNode(std::uint32_t cluster, std::uint32_t parentCluster) {
    auto props = std::make_unique<CFATFileProperties>();
    props->SetFileName(NextLostFolderName().c_str());
    props->SetAttribute(dirent::kAttrDirectory);
    props->SetState(CFATFileProperties::kStateDeleted | CFATFileProperties::kStateLostFolder);
    props->SetFirstClusterNum(cluster);
    props->SetParentFirstClusterNum(parentCluster);
    props->SetMetaDataSector(static_cast<long long>(ConvertClusterNumToSector(parentCluster)));
    auto* node = new CFATFileNode();
    node->SetFileProperties(props.release());
    return node;
}

std::pair<std::size_t, std::size_t> CFATDeepBuildWorker::Range(const FatFolderSectors& sectors,
                                                                std::uint64_t from) const {
    const std::int64_t lo = static_cast<std::int64_t>(from);
    const std::int64_t hi = static_cast<std::int64_t>(m_start + m_sectors); // inclusive
    auto first = std::lower_bound(sectors.begin(), sectors.end(), lo,
                                  [](const FIRSTFOLDERSECTOR& r, std::int64_t s) { return r.sector < s; });
    auto last = std::upper_bound(first, sectors.end(), hi,
                                 [](std::int64_t s, const FIRSTFOLDERSECTOR& r) { return s < r.sector; });
    return {static_cast<std::size_t>(first - sectors.begin()), static_cast<std::size_t>(last - sectors.begin())};
}

bool CFATDeepBuildWorker::Foreign(std::uint64_t sector) const {
    auto at = std::upper_bound(m_foreign.begin(), m_foreign.end(), sector,
                               [](std::uint64_t s, const auto& span) { return s < span.first; });
    // Spans may nest: any of those starting at or before the sector may hold it.
    for (; at != m_foreign.begin(); --at)
        if (sector < std::prev(at)->second) return true;
    return false;
}

void CFATDeepBuildWorker::ChargeLost(std::size_t nodes) {
    if (m_lostNodesLeft) *m_lostNodesLeft -= std::min(*m_lostNodesLeft, nodes);
}

bool CFATDeepBuildWorker::ReadCluster(std::uint64_t sector, std::vector<std::uint8_t>& buffer) {
    const FatBuildGeometry& g = Geometry();
    buffer.assign(std::size_t{g.sectorsPerCluster} * g.sectorSize, 0);
    // A cluster with a bad sector keeps the entries before it.
    return salvor::ReadAroundBadSectors(m_dev, buffer.data(), static_cast<long long>(sector), g.sectorsPerCluster) > 0;
}

void CFATDeepBuildWorker::WatchStrayClusters(const FatFolderSectors& sectors) {
    const auto [first, last] = Range(sectors, Geometry().firstDataSector);
    for (std::size_t i = first; i < last; ++i) {
        const FIRSTFOLDERSECTOR& r = sectors[i];
        const auto s = static_cast<std::uint64_t>(r.sector);
        if (r.HasDots() || !IsFirsectorInCluster(s)) continue;
        const auto c = static_cast<std::uint32_t>(ConvertSectorToClusterNum(s));
        // A free cluster is no file's: a deleted folder's stays a lost folder.
        if (m_table && fat::IsKnownUsed(m_table->GetNextCluster(c))) m_liveChains.clusters.push_back(c);
    }
    // Records come in sector order, so the clusters are already sorted.
    m_liveChains.clusters.erase(std::unique(m_liveChains.clusters.begin(), m_liveChains.clusters.end()),
                                m_liveChains.clusters.end());
    m_liveChains.held.assign(m_liveChains.clusters.size(), 0);
}

// A folder whose parent is gone is still known by name when the parent's
// entry survives in a cluster that nothing lists any more (a lost root's later
// clusters, a folder's cluster beyond a lost chain).
void CFATDeepBuildWorker::HarvestFolderNames(const FatFolderSectors& sectors, std::size_t first, std::size_t last) {
    std::vector<std::uint8_t> buffer;
    for (std::size_t i = first; i < last; ++i) {
        const FIRSTFOLDERSECTOR& r = sectors[i];
        const auto s = static_cast<std::uint64_t>(r.sector);
        if (r.HasDots() || !IsFirsectorInCluster(s) || Foreign(s) || !ReadCluster(s, buffer)) continue;
        std::size_t run = buffer.size(); // start of a pending long-name run
        for (std::size_t off = 0; off + dirent::kSize <= buffer.size(); off += dirent::kSize) {
            CTempFATDirEntry entry(buffer.data() + off);
            if (!entry.IsValidFATDirEntry(false)) break;
            if (entry.IsLongFileNameEntry()) {
                if (run == buffer.size()) run = off;
                continue;
            }
            const std::size_t from = run == buffer.size() ? off : run;
            run = buffer.size();
            if (entry.IsVolumeLabel() || !entry.IsDirectory() || buffer[off] == '.') continue;
            const std::uint32_t c = entry.GetFirstClusterNO();
            if (c < 2) continue;
            std::unique_ptr<CFATFileProperties> props(CFATFilePropertiesBuilder::BuildFATFilePropertyFromDirEntryBuffer(
                Bytes(buffer.data() + from, off + dirent::kSize - from)));
            if (!props) continue;
            auto it = m_harvest.find(c);
            // A live entry outranks an erased one that once pointed at the same cluster.
            if (it == m_harvest.end())
                m_harvest.emplace(c, std::move(props));
            else if ((it->second->GetState() & CFATFileProperties::kStateDeleted) &&
                     !(props->GetState() & CFATFileProperties::kStateDeleted))
                it->second = std::move(props);
        }
    }
}

CFATFileNode* CFATDeepBuildWorker::FolderFor(const FIRSTFOLDERSECTOR& record) {
    const std::uint32_t c = record.dotCluster;
    if (auto it = Folders().find(c); it != Folders().end()) return it->second;
    std::uint32_t parent = record.dotDotCluster;
    // Some formatters write the FAT32 root's own cluster into "..": the root.
    if (Geometry().kind == FS_FAT32 && parent == Geometry().rootCluster && parent != 0) parent = 0;
    CFATFileNode* node = nullptr;
    if (auto h = m_harvest.find(c); h != m_harvest.end()) {
        // The folder keeps the name its lost parent gave it; its descendants
        // take no first-cluster carry from a parent listing.
        auto props = std::make_unique<CFATFileProperties>();
        *props = *h->second;
        props->SetState((h->second->GetState() & CFATFileProperties::kStateDeleted) |
                        CFATFileProperties::kStateLostFolder);
        props->SetFirstClusterNum(c);
        props->SetParentFirstClusterNum(parent);
        props->SetMetaDataSector(static_cast<long long>(ConvertClusterNumToSector(parent)));
        node = new CFATFileNode();
        node->SetFileProperties(props.release());
    } else {
        node = CreateTempFileNode(c, parent);
    }
    node->SetBelongedPartition(m_record ? m_record->m_partitionIndex : 0);
    if (!m_treeBuilder || !m_treeBuilder->AddNode(node, SEARCHER_FAT)) {
        node->Release();
        return nullptr;
    }
    Folders().emplace(c, node);
    return node;
}

int CFATDeepBuildWorker::CompleteBuildDirectoryTree(const FatFolderSectors& folderSectors) {
    GetEmptyFileVirtualClusterNumObject()->ResetVirtualClusterNum();
    const FatBuildGeometry& g = Geometry();
    CFATBuildChildren children(m_treeBuilder, nullptr, m_record, m_dev, Visited(), Folders(), m_table, g);
    children.SetFileSectorMap(m_sectorMap);
    children.SetQuickScan(true);
    WatchStrayClusters(folderSectors);
    children.SetLiveChainWatch(&m_liveChains);

    FatFolderQueue queue;
    children.BuildRoot(queue, 1, m_rootListed);
    queue.clear();

    std::uint64_t from = g.firstDataSector;
    if (g.kind != FS_FAT32 && !m_rootListed) {
        const std::uint64_t back = kLostRootBytes / g.sectorSize;
        from = from > back ? from - back : 0;
    }
    // Plain names rather than a structured binding: the lambdas below capture them.
    const auto range = Range(folderSectors, from);
    const std::size_t first = range.first, last = range.second;
    if (first >= last) return 1;
    HarvestFolderNames(folderSectors, first, last);

    // First sectors by their folder's cluster, so that a parent is listed
    // before its sub-folders: a sub-folder then takes the name its parent's
    // listing gave it instead of a lost folder's.
    // (cluster, record index from first), sorted: a map's nodes would take
    // six times the room, and every sector of folder-like data can be a first
    // sector. The records a scan holds are numbered in 32 bits.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> byCluster;
    auto isFirstSector = [&](const FIRSTFOLDERSECTOR& r) {
        const auto s = static_cast<std::uint64_t>(r.sector);
        return r.HasDots() && s >= g.firstDataSector && ConvertSectorToClusterNum(s) == r.dotCluster &&
               IsFirsectorInCluster(s);
    };
    for (std::size_t i = first; i < last; ++i)
        if (isFirstSector(folderSectors[i]))
            byCluster.emplace_back(folderSectors[i].dotCluster, static_cast<std::uint32_t>(i - first));
    // The first record of a cluster is the one found.
    std::sort(byCluster.begin(), byCluster.end());
    auto firstOf = [&](std::uint32_t cluster) -> std::optional<std::size_t> {
        auto at = std::lower_bound(byCluster.begin(), byCluster.end(), std::pair(cluster, std::uint32_t{0}));
        if (at == byCluster.end() || at->first != cluster) return std::nullopt;
        return first + at->second;
    };
    std::vector<std::uint8_t> done(last - first, 0);
    auto list = [&](std::size_t i) {
        done[i - first] = 1;
        // A folder no listing met is lost: it and what it lists are charged.
        const bool lost = !Folders().count(folderSectors[i].dotCluster);
        if (lost && !LostRoomLeft()) return;
        const std::size_t before = children.AddedNodes();
        if (CFATFileNode* node = FolderFor(folderSectors[i])) {
            children.BuildChildren(node, folderSectors[i].dotCluster, queue, 0, 1);
            queue.clear();
            if (lost) ChargeLost(1 + children.AddedNodes() - before);
        }
    };

    for (std::size_t i = first; i < last; ++i) {
        const FIRSTFOLDERSECTOR& r = folderSectors[i];
        if (static_cast<std::uint64_t>(r.sector) < g.firstDataSector) {
            // Root sectors of a root not found are charged like lost folders.
            if (!LostRoomLeft() || Foreign(static_cast<std::uint64_t>(r.sector))) continue;
            const std::size_t before = children.AddedNodes();
            BuildFat16LostRoot(children, static_cast<std::uint64_t>(r.sector));
            ChargeLost(children.AddedNodes() - before);
            continue;
        }
        if (done[i - first] || !isFirstSector(r)) continue;
        // The chain of ancestors not yet listed, bounded by the records there are.
        std::vector<std::size_t> chain{i};
        std::set<std::size_t> inChain{i};
        for (std::size_t at = i; chain.size() <= byCluster.size();) {
            const std::optional<std::size_t> p = firstOf(folderSectors[at].dotDotCluster);
            if (!p || done[*p - first] || inChain.count(*p)) break;
            at = *p;
            chain.push_back(at);
            inChain.insert(at);
        }
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) list(*it);
    }
    BuildLostNode(children, folderSectors);
    return 1;
}

int CFATDeepBuildWorker::BuildLostNode(CFATBuildChildren& builder, const FatFolderSectors& folderSectors) {
    const FatBuildGeometry& g = Geometry();
    const auto [first, last] = Range(folderSectors, g.firstDataSector);
    if (first >= last) return 0;
    std::vector<std::uint8_t> buffer;
    FatFolderQueue queue;
    for (std::size_t i = first; i < last; ++i) {
        const FIRSTFOLDERSECTOR& r = folderSectors[i];
        const auto s = static_cast<std::uint64_t>(r.sector);
        if (r.HasDots() || !IsFirsectorInCluster(s)) continue;
        const auto c = static_cast<std::uint32_t>(ConvertSectorToClusterNum(s));
        // A cluster a live file's chain holds is that file's data: a folder
        // image kept in the file, read in this volume's numbering, lists junk.
        if (Visited().count(c) || m_liveChains.Held(c)) continue;
        // A folder cluster inside another volume found there is that
        // volume's: its entries number that volume's clusters, and read
        // through this one's they give other files' bytes.
        if (Foreign(s)) continue;
        if (!LostRoomLeft()) break;
        if (!ReadCluster(s, buffer)) continue;
        Owned<CFATFileNode> lost(CreateTempFileNode(FIRSTFOLDERSECTOR::kNoCluster, FIRSTFOLDERSECTOR::kNoCluster));
        const std::size_t before = builder.AddedNodes();
        builder.BuildChildrenFromBuffer(buffer.data(), static_cast<std::uint32_t>(buffer.size()), lost.get(), queue,
                                        1, 1);
        queue.clear();
        ChargeLost(builder.AddedNodes() - before);
    }
    return 1;
}

void CFATDeepBuildWorker::BuildFat16LostRoot(CFATBuildChildren& builder, std::uint64_t sector) {
    std::vector<std::uint8_t> buffer(Geometry().sectorSize, 0);
    if (!m_dev || m_dev->ReadSector(buffer.data(), static_cast<long long>(sector), 1) == 0) return;
    FatFolderQueue queue;
    builder.BuildChildrenFromBuffer(buffer.data(), static_cast<std::uint32_t>(buffer.size()), nullptr, queue, 1, 1);
}
