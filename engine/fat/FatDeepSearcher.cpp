#include "engine/fat/FatDeepSearcher.h"
#include "engine/include/KeptSectors.h"

#include "engine/fat/FatBootSector.h"
#include "engine/fat/FatTable.h"
#include "engine/include/BlockView.h"
#include "engine/include/StorageDevice.h"
#include "engine/utility/CatchExeception.h"

#include <algorithm>
#include <array>
#include <bit>
#include <span>

using namespace fat;
using Record = CFATSearchedPartitionInfo;

namespace fat {
ICompleteFileSystemSearchController* CreateFATSearcher() { return new CFATCompleteFSearcher(); }
} // namespace fat

namespace {
// Cluster counts each kind allows ([min, limit)) and the half-bytes of a FAT entry.
struct KindRange {
    std::uint64_t min, limit;
    unsigned halfBytes;
};
constexpr KindRange RangeOf(enumFILE_SYSTEM_TYPE kind) {
    switch (kind) {
    case FS_FAT12: return {1, 0xFF5, 3};
    case FS_FAT16: return {0xFF5, 0xFFF4, 4};
    case FS_FAT32: return {0xFFF4, 0x0FFFFFF4, 8};
    default: return {1, 0, 8};
    }
}
bool InRange(enumFILE_SYSTEM_TYPE kind, std::uint64_t clusters) {
    const KindRange r = RangeOf(kind);
    return clusters >= r.min && clusters < r.limit;
}
// Sectors a FAT needs for this many clusters (two reserved entries included).
std::uint64_t FatSectorsFor(std::uint64_t clusters, unsigned halfBytes, unsigned sectorSize) {
    return (clusters * halfBytes + 2ull * sectorSize - 1) / (2ull * sectorSize);
}
constexpr std::int64_t kBackupOffset = 6; // the FAT32 backup boot sector's place
constexpr std::uint32_t kBootFlags = Record::kFlagFat12Boot | Record::kFlagFat16Boot | Record::kFlagFat32Boot |
                                     Record::kFlagFat32BackupBoot;
constexpr std::uint32_t kFirstFat = 0x40, kSecondFat = 0x100;
} // namespace

CFATCompleteFSearcher::CFATCompleteFSearcher() = default;
CFATCompleteFSearcher::~CFATCompleteFSearcher() = default;

void CFATCompleteFSearcher::SetDevice(IStorageDevice* device) {
    m_device = device;
    if (!device) return;
    m_sectorSize = device->GetSectorSize();
    m_totalSectors = device->GetTotalSectors();
    m_folderAnalyser = CFATFolderAnalyser(m_sectorSize);
}

int CFATCompleteFSearcher::PreparetoSearch() {
    m_results.clear();
    ClearProposals();
    m_folderSectors.clear();
    m_offeredSinceThinning = 0;
    m_lostNodesLeft = m_limits.lostFolderNodes;
    m_lastFatSector = -2;
    m_volumesLeft = 0;
    return 1;
}

void CFATCompleteFSearcher::ClearProposals() {
    m_fatExpectations.clear();
    m_byOrigin.clear();
    m_ranks.clear();
    m_confirmed.clear();
    m_candidates.clear();
}

namespace {
// What speaks for a candidate, as one number ordered like (kept at the end at
// all, sub-folder confirmations, boot sectors and FAT copies seen).
std::uint64_t Evidence(const Record& r) {
    const std::uint32_t f = r.GetFlag();
    const auto folders = static_cast<std::uint64_t>(std::clamp<std::int64_t>(
        CFATCompleteFSearcher::SubFolderCount(r), 0, std::int64_t{1} << 40));
    const bool kept = (f & kBootFlags) ? folders >= 1 || (f & (kFirstFat | kSecondFat)) : folders >= 1;
    return (std::uint64_t{kept} << 62) | (folders << 8) |
           static_cast<std::uint64_t>(std::popcount(f & (kBootFlags | kFirstFat | kSecondFat)));
}
} // namespace

bool CFATCompleteFSearcher::WeakerFirst::operator()(const Candidate* a, const Candidate* b) const {
    if (a->evidence != b->evidence) return a->evidence < b->evidence;
    return a->order < b->order;
}

namespace {
bool BootAndFatSeen(const Record& r) {
    const std::uint32_t f = r.GetFlag();
    return (f & kBootFlags) && (f & (kFirstFat | kSecondFat));
}
} // namespace

std::set<CFATCompleteFSearcher::Candidate*, CFATCompleteFSearcher::WeakerFirst>&
CFATCompleteFSearcher::RankOf(const Candidate& c) {
    return BootAndFatSeen(*c.record) ? m_confirmed : m_ranks[c.record->m_sectorsPerCluster];
}

template <typename Change>
void CFATCompleteFSearcher::Strengthen(Candidate& c, Change change) {
    RankOf(c).erase(&c);
    change(*c.record);
    c.evidence = Evidence(*c.record);
    auto& rank = RankOf(c);
    rank.insert(&c);
    if (&rank == &m_confirmed) m_grown = true;
}

void CFATCompleteFSearcher::BoundCandidates() {
    if (!m_grown) return;
    m_grown = false;
    for (auto& [spc, rank] : m_ranks)
        while (rank.size() > fat::kMaxCandidatesPerClusterSize) Drop(*rank.begin());
    while (m_confirmed.size() > m_limits.listedVolumes) {
        Drop(*m_confirmed.begin());
        ++m_volumesLeft;
    }
}

void CFATCompleteFSearcher::Drop(Candidate* c) {
    const Record& r = *c->record;
    auto forget = [c](std::multimap<std::int64_t, Candidate*>& map, std::int64_t key) {
        const auto range = map.equal_range(key);
        for (auto it = range.first; it != range.second;) it = it->second == c ? map.erase(it) : std::next(it);
    };
    forget(m_byOrigin, r.m_clusterOrigin);
    if (c->expectsFats) {
        const std::int64_t fat1 = r.GetStartSector() + r.GetReservedSector();
        forget(m_fatExpectations, fat1);
        forget(m_fatExpectations, fat1 + r.GetSectorPerFAT());
    }
    if (c->rival) c->rival->rival = nullptr;
    RankOf(*c).erase(c);
    m_candidates.erase(c->self);
}

int CFATCompleteFSearcher::AnalyzeBlock(long long first, long long count) {
    if (!m_device || m_blockSize <= 0 || first < 0 || count <= 0) return 0;
    // A boot sector view needs 512 bytes; smaller sectors do not hold FAT volumes.
    if (m_sectorSize < dbr::kSize) return 1;
    const std::size_t ss = m_sectorSize;
    const auto n = static_cast<std::size_t>(count);
    const unsigned char* data = ViewSectors(m_device, first, count);
    if (!data) m_block.resize(n * ss);
    if (data || m_device->ReadSector(m_block.data(), first, count)) {
        if (!data) data = m_block.data();
        for (std::size_t i = 0; i < n; ++i) {
            AnalyzeSector(first + static_cast<long long>(i), Bytes(data + i * ss, ss));
            BoundCandidates();
        }
        return 1;
    }
    // A failed read skips only the sectors that cannot be read.
    for (std::size_t i = 0; i < n; ++i) {
        const long long s = first + static_cast<long long>(i);
        if (m_device->ReadSector(m_block.data(), s, 1)) AnalyzeSector(s, Bytes(m_block.data(), ss));
        BoundCandidates();
    }
    return 1;
}

void CFATCompleteFSearcher::AnalyzeSector(std::int64_t s, Bytes bytes) {
    if (!m_keptFats.empty())
        if (auto at = m_keptFats.upper_bound(s); at != m_keptFats.begin() && s < std::prev(at)->second)
            KeepSectors(m_device, s, 1);
    if (CTempFATDBR::SimpleCheck(bytes) && AnalyzeFATDBRSector(s, bytes)) return;
    enumFILE_SYSTEM_TYPE kind = FS_UNKNOWN;
    if (CFATTableAnalyser::IsValidFATTableFirstSector(bytes, m_sectorSize, kind) || IsFat12Header(bytes)) {
        UpdateFATTableInfo(s);
        m_lastFatSector = s;
        return;
    }
    if (!m_folderAnalyser.AnalyseSector(bytes)) return;
    // The stream moves forward: one record per sector, in order.
    if (!m_folderSectors.empty() && m_folderSectors.back().sector >= s) return;
    FIRSTFOLDERSECTOR record;
    record.sector = s;
    if (m_folderAnalyser.GetDirectoryEntryType() == CFATFolderAnalyser::FolderFirstSector) {
        record.dotCluster = m_folderAnalyser.GetCurDirFirstClusterNum();
        record.dotDotCluster = m_folderAnalyser.GetParentFirstClusterNum();
        AnalyzeFATSubFolderFirstSector(s, record.dotCluster);
        // A "." of the no-cluster value would read as a sector without dots.
        if (!record.HasDots()) record.dotCluster = record.dotDotCluster = FIRSTFOLDERSECTOR::kNoCluster;
    }
    RememberFolderSector(record);
    KeepSectors(m_device, s, 1);
}

void CFATCompleteFSearcher::RememberFolderSector(const FIRSTFOLDERSECTOR& record) {
    const std::size_t bound = m_limits.folderSectors;
    if (bound == 0) return;
    // Room for all at once: growing by copies would hold two copies at its peak.
    if (m_folderSectors.capacity() == 0)
        m_folderSectors.reserve(static_cast<std::size_t>(std::clamp<std::uint64_t>(m_totalSectors, 1, bound)));
    ++m_offeredSinceThinning;
    if (m_folderSectors.size() >= bound) {
        // Thinning reads every record, so it is done again only after another
        // quarter of the bound was offered: a constant cost per sector.
        if (m_offeredSinceThinning < bound / 4 + 1) return;
        m_offeredSinceThinning = 0;
        std::erase_if(m_folderSectors, [this](const FIRSTFOLDERSECTOR& r) { return !ServesCandidate(r); });
        if (m_folderSectors.size() >= bound) return;
    }
    m_folderSectors.push_back(record);
}

bool CFATCompleteFSearcher::ServesCandidate(const FIRSTFOLDERSECTOR& r) const {
    // Sectors without dots serve any partition around them (stray clusters, roots).
    if (!r.HasDots()) return true;
    if (r.dotCluster < 2) return false;
    const std::uint64_t index = r.dotCluster - 2ull;
    for (unsigned v : FAT_SUPPORTED_SECTORS_PER_CLUSTER) {
        const std::uint64_t offset = index * v;
        if (offset <= static_cast<std::uint64_t>(r.sector) &&
            FindMatchedPartitionInfo(r.sector - static_cast<std::int64_t>(offset), v))
            return true;
    }
    return false;
}

// ---- partitions from boot sectors ------------------------------------------

bool CFATCompleteFSearcher::AnalyzeFATDBRSector(std::int64_t s, Bytes bytes) {
    const CTempFATDBR boot(bytes, m_sectorSize);
    if (!boot.IsValidDBR()) return false;
    auto main = BuildPartitionInfoAccordingFATDBR(s, boot, false);
    std::unique_ptr<Record> backup;
    if (boot.GetFileSystemType() == FS_FAT32 && s >= kBackupOffset)
        backup = BuildPartitionInfoAccordingFATDBR(s - kBackupOffset, boot, true);
    if (!main && !backup) return false;
    for (const auto* r : {main.get(), backup.get()})
        if (r && m_keptFats.size() < kMaxKeptFats) {
            const std::int64_t fat = r->GetStartSector() + r->GetReservedSector();
            auto& end = m_keptFats[fat];
            end = std::max<std::int64_t>(end, fat + r->GetSectorPerFAT());
        }
    if (backup) {
        if (Candidate* known = FindMatchedPartitionInfo(backup->m_clusterOrigin, backup->m_sectorsPerCluster)) {
            // The backup of a known partition: reading it as a partition of
            // its own would propose a ghost 6 sectors on.
            Strengthen(*known, [](Record& r) { r.MergeFlag(Record::kFlagFat32BackupBoot); });
            return true;
        }
    }
    Candidate* p = main ? AddCandidate(std::move(main), true) : nullptr;
    Candidate* q = backup ? AddCandidate(std::move(backup), true) : nullptr;
    if (p && q) {
        p->rival = q;
        q->rival = p;
    }
    return true;
}

std::unique_ptr<Record> CFATCompleteFSearcher::BuildPartitionInfoAccordingFATDBR(std::int64_t start,
                                                                                 const CTempFATDBR& boot,
                                                                                 bool isBackup) const {
    if (start < 0 || static_cast<std::uint64_t>(start) >= m_totalSectors) return nullptr;
    const enumFILE_SYSTEM_TYPE kind = boot.GetFileSystemType();
    if (kind != FS_FAT12 && kind != FS_FAT16 && kind != FS_FAT32) return nullptr;
    // The kind and the cluster count come from the boot sector's own size: an
    // image cut short keeps its geometry, and only the reads stop at its end.
    const std::uint64_t bootTotal = boot.GetTotalSectors();
    const std::uint64_t T = std::min<std::uint64_t>(bootTotal, m_totalSectors - start);
    const unsigned spc = boot.GetSectorsperCluster();
    const std::uint64_t spf = boot.GetSectorsPerFat();
    const std::uint64_t rootSectors = kind == FS_FAT32 ? 0 : std::uint64_t{boot.GetRootEntries()} * 32 / m_sectorSize;
    const std::uint64_t dataOffset = boot.GetReservedSector() + std::uint64_t{boot.GetNumberOfFat()} * spf + rootSectors;
    if (spc == 0 || dataOffset >= bootTotal) return nullptr;
    const std::uint64_t clusters = (bootTotal - dataOffset) / spc;
    if (!InRange(kind, clusters)) return nullptr;
    if (spf < FatSectorsFor(clusters, RangeOf(kind).halfBytes, m_sectorSize)) return nullptr;
    if (kind == FS_FAT32 && clusters < boot.GetRootDirStartCluster()) return nullptr;

    auto r = std::make_unique<Record>(m_sectorSize);
    r->m_clusterOrigin = start + static_cast<std::int64_t>(dataOffset);
    r->m_sectorsPerCluster = spc;
    r->m_fileSystemType = kind;
    r->SetTotalSectors(T);
    r->SetSectorPerFAT(static_cast<std::uint32_t>(spf));
    r->SetTotalCluster(static_cast<std::uint32_t>(clusters));
    r->SetStartSector(start);
    r->SetReservedSector(static_cast<std::uint16_t>(boot.GetReservedSector()));
    if (kind == FS_FAT32) {
        r->SetRootInfo(boot.GetRootDirStartCluster());
        r->MergeFlag(isBackup ? Record::kFlagFat32BackupBoot : Record::kFlagFat32Boot);
    } else {
        r->SetRootInfo(static_cast<std::uint32_t>(rootSectors));
        if (!isBackup) r->MergeFlag(kind == FS_FAT16 ? Record::kFlagFat16Boot : Record::kFlagFat12Boot);
    }
    return r;
}

CFATCompleteFSearcher::Candidate* CFATCompleteFSearcher::AddCandidate(std::unique_ptr<Record> record,
                                                                      bool expectFats) {
    Candidate& c = m_candidates.emplace_back();
    c.record = std::move(record);
    c.order = m_proposals++;
    c.self = std::prev(m_candidates.end());
    c.evidence = Evidence(*c.record);
    const Record& r = *c.record;
    m_byOrigin.emplace(r.m_clusterOrigin, &c);
    RankOf(c).insert(&c);
    m_grown = true;
    c.expectsFats = expectFats;
    if (expectFats) {
        const std::int64_t fat1 = r.GetStartSector() + r.GetReservedSector();
        m_fatExpectations.emplace(fat1, &c);
        m_fatExpectations.emplace(fat1 + r.GetSectorPerFAT(), &c);
    }
    return &c;
}

// A FAT copy begins at s. Sectors inside a FAT of one-cluster chains also
// begin like a FAT, so a copy is taken only where the sector before did not
// (or, for the second copy, where the first copy was already seen).
void CFATCompleteFSearcher::UpdateFATTableInfo(std::int64_t s) {
    const bool afterFat = m_lastFatSector == s - 1;
    const auto range = m_fatExpectations.equal_range(s);
    for (auto it = range.first; it != range.second; ++it) {
        Candidate& c = *it->second;
        const Record& r = *c.record;
        const std::int64_t fat1 = r.GetStartSector() + r.GetReservedSector();
        if (s == fat1) {
            if (afterFat) continue;
            Strengthen(c, [](Record& w) { w.MergeFlag(Record::kFlagFirstFatSeen); });
            c.firstFatSeen = true;
        } else if (s == fat1 + r.GetSectorPerFAT()) {
            if (afterFat && !c.firstFatSeen) continue;
            Strengthen(c, [](Record& w) { w.MergeFlag(Record::kFlagSecondFatSeen); });
        }
    }
    m_fatExpectations.erase(m_fatExpectations.begin(), m_fatExpectations.upper_bound(s));
}

// ---- partitions from sub-folders -------------------------------------------

CFATCompleteFSearcher::Candidate* CFATCompleteFSearcher::FindMatchedPartitionInfo(std::int64_t firstDataSector,
                                                                                  unsigned spc) const {
    const auto range = m_byOrigin.equal_range(firstDataSector);
    for (auto it = range.first; it != range.second; ++it)
        if (it->second->record->m_sectorsPerCluster == spc) return it->second;
    return nullptr;
}

void CFATCompleteFSearcher::AnalyzeFATSubFolderFirstSector(std::int64_t s, std::uint32_t cluster) {
    // A "." below cluster 2 points nowhere in the data area.
    if (cluster < 2) return;
    const std::uint64_t index = cluster - 2ull;
    std::array<unsigned, std::size(FAT_SUPPORTED_SECTORS_PER_CLUSTER)> fitting{};
    std::size_t fits = 0;
    for (unsigned v : FAT_SUPPORTED_SECTORS_PER_CLUSTER) {
        const std::uint64_t offset = index * v;
        if (offset > static_cast<std::uint64_t>(s)) continue;
        const std::int64_t D = s - static_cast<std::int64_t>(offset);
        if (Candidate* c = FindMatchedPartitionInfo(D, v)) {
            Strengthen(*c, [](Record& r) {
                r.MergeFlag(Record::kFlagFromSubFolder);
                ++r.m_searcherField2;
            });
            return;
        }
        fitting[fits++] = v;
    }
    for (unsigned v : std::span(fitting).first(fits))
        if (auto r = BuildPartitionInfoAccordingtoSubFolder(s, cluster, v)) AddCandidate(std::move(r), false);
}

std::unique_ptr<Record> CFATCompleteFSearcher::BuildPartitionInfoAccordingtoSubFolder(std::int64_t s,
                                                                                      std::uint32_t cluster,
                                                                                      unsigned v) const {
    if (cluster < 2) return nullptr;
    const std::uint64_t offset = (cluster - 2ull) * v;
    if (offset > static_cast<std::uint64_t>(s)) return nullptr;
    const std::int64_t D = s - static_cast<std::int64_t>(offset);
    std::uint64_t clusters = 0, spf = 0;
    const enumFILE_SYSTEM_TYPE kind = CalcFileSystemType(D, v, clusters, spf);
    if (kind == FS_UNKNOWN) return nullptr;
    // Two FATs and one reserved sector are assumed before the data area.
    std::int64_t start = D - 2 * static_cast<std::int64_t>(spf) - 1;
    if (start < 0) return nullptr;
    std::uint64_t rootArea = 0;
    if (kind != FS_FAT32) {
        rootArea = std::min<std::uint64_t>(static_cast<std::uint64_t>(start), 16384 / m_sectorSize);
        start -= static_cast<std::int64_t>(rootArea);
    }
    auto r = std::make_unique<Record>(m_sectorSize);
    r->m_clusterOrigin = D;
    r->m_sectorsPerCluster = v;
    r->m_fileSystemType = kind;
    r->SetTotalSectors(clusters * v + rootArea + 2 * spf + 1);
    r->SetSectorPerFAT(static_cast<std::uint32_t>(spf));
    r->SetTotalCluster(static_cast<std::uint32_t>(clusters));
    r->SetStartSector(start);
    r->SetReservedSector(1);
    r->SetRootInfo(kind == FS_FAT32 ? 2 : static_cast<std::uint32_t>(rootArea));
    r->MergeFlag(Record::kFlagFromSubFolder);
    return r;
}

enumFILE_SYSTEM_TYPE CFATCompleteFSearcher::CalcFileSystemType(std::int64_t D, unsigned v, std::uint64_t& clusters,
                                                               std::uint64_t& spf) const {
    if (IsValidFileSystem(D, v, FS_FAT32, clusters, spf)) return FS_FAT32;
    if (IsValidFileSystem(D, v, FS_FAT16, clusters, spf)) return FS_FAT16;
    return FS_UNKNOWN;
}

// The partition is assumed to run to the device's end. When its FATs could
// not fit before the data area, the FAT is shrunk to what fits (and the
// clusters to what it can number), so that the start stays on the device:
// file data depends only on the data start and the cluster size.
bool CFATCompleteFSearcher::IsValidFileSystem(std::int64_t D, unsigned v, enumFILE_SYSTEM_TYPE kind,
                                              std::uint64_t& clusters, std::uint64_t& spf) const {
    if (D < 1 || v == 0 || static_cast<std::uint64_t>(D) >= m_totalSectors) return false;
    const unsigned hb = RangeOf(kind).halfBytes;
    clusters = (m_totalSectors - static_cast<std::uint64_t>(D)) / v;
    if (!InRange(kind, clusters)) return false;
    spf = FatSectorsFor(clusters, hb, m_sectorSize);
    const auto room = static_cast<std::uint64_t>(D - 1) / 2;
    if (spf > room) {
        // The kind stays the one the device's size gave: a real partition's
        // FAT fits before its data, so it numbers no more clusters than this.
        spf = room;
        clusters = std::min<std::uint64_t>(clusters, spf * 2 * m_sectorSize / hb);
    }
    return clusters >= 1;
}

// ---- the end ------------------------------------------------------------------

void CFATCompleteFSearcher::AddSearchedPartitionInfoList2(std::vector<std::unique_ptr<Record>>& results) {
    std::set<Candidate*> kept;
    for (auto& [origin, c] : m_byOrigin) {
        const Record& r = *c->record;
        const std::uint32_t f = r.GetFlag();
        const bool confirmed = SubFolderCount(r) >= 1 || (f & (kFirstFat | kSecondFat));
        if ((f & kBootFlags) ? confirmed : SubFolderCount(r) >= 1) kept.insert(c);
    }
    auto score = [](const Record& r) {
        const std::uint32_t f = r.GetFlag();
        const int fatPart = (f & kFirstFat) && (f & kSecondFat) ? 50 : (f & (kFirstFat | kSecondFat)) ? 45 : 10;
        int bootPart = 10;
        if (r.m_fileSystemType == FS_FAT32) {
            const bool mainSeen = f & Record::kFlagFat32Boot, backupSeen = f & Record::kFlagFat32BackupBoot;
            bootPart = mainSeen && backupSeen ? 50 : (mainSeen || backupSeen) ? 45 : 10;
        } else if (f & (Record::kFlagFat16Boot | Record::kFlagFat12Boot)) {
            bootPart = 50;
        }
        return fatPart + bootPart;
    };
    // One boot sector read two ways: a reading confirmed by its own backup
    // wins, else the one more sub-folders confirmed, else the better score,
    // else the reading as a backup (a main boot sector was not seen).
    for (Candidate* c : std::vector<Candidate*>(kept.begin(), kept.end())) {
        Candidate* o = c->rival;
        if (!o || !kept.count(c) || !kept.count(o)) continue;
        auto both = [](const Record& r) {
            return (r.GetFlag() & Record::kFlagFat32Boot) && (r.GetFlag() & Record::kFlagFat32BackupBoot);
        };
        const Record &a = *c->record, &b = *o->record;
        bool keepA;
        if (both(a) != both(b)) keepA = both(a);
        else if (SubFolderCount(a) != SubFolderCount(b)) keepA = SubFolderCount(a) > SubFolderCount(b);
        else if (score(a) != score(b)) keepA = score(a) > score(b);
        else keepA = (a.GetFlag() & Record::kFlagFat32Boot) == 0;
        kept.erase(keepA ? o : c);
    }
    std::vector<Candidate*> folderOnly;
    for (Candidate* c : kept)
        if (!(c->record->GetFlag() & kBootFlags)) folderOnly.push_back(c);
    if (folderOnly.size() > m_limits.folderOnlyPartitions) {
        std::sort(folderOnly.begin(), folderOnly.end(), [](const Candidate* a, const Candidate* b) {
            return a->evidence != b->evidence ? a->evidence > b->evidence : a->order < b->order;
        });
        for (std::size_t i = m_limits.folderOnlyPartitions; i < folderOnly.size(); ++i) kept.erase(folderOnly[i]);
    }
    for (auto& [origin, c] : m_byOrigin) {
        if (!kept.count(c)) continue;
        if (results.size() >= m_limits.listedVolumes) {
            ++m_volumesLeft;
            continue;
        }
        std::unique_ptr<Record> r = std::move(c->record);
        r->m_searcherField4 = score(*r);
        r->m_partitionIndex = static_cast<std::uint16_t>(results.size());
        results.push_back(std::move(r));
    }
    ClearProposals();
}

void CFATCompleteFSearcher::EndSearch(int build) {
    if (!build) return;
    AddSearchedPartitionInfoList2(m_results);
    if (m_volumesLeft)
        CatchExeception::WriteLog("FAT deep scan: %zu volumes listed, %zu more found and left out\n", m_results.size(),
                                  m_volumesLeft);
    if (m_results.empty() || !m_builder) return;
    m_builder->AddSearcherInfo(SEARCHER_FAT, 0);
    // The best-confirmed partitions are listed first: they come first to the
    // nodes lost folders may still take.
    std::vector<Record*> order;
    for (auto& r : m_results) order.push_back(r.get());
    std::stable_sort(order.begin(), order.end(), [](const Record* a, const Record* b) {
        return std::pair(Score(*a), SubFolderCount(*a)) > std::pair(Score(*b), SubFolderCount(*b));
    });
    for (Record* r : order) CompleteBulidDirectoryTree(*r);
    m_builder->SetPartitonDevice(nullptr, m_device);
    m_builder->FlashBuild(SEARCHER_FAT);
}

ResultCode CFATCompleteFSearcher::CompleteBulidDirectoryTree(Record& p) {
    const auto kind = static_cast<enumFILE_SYSTEM_TYPE>(p.m_fileSystemType);
    const std::uint32_t flag = p.GetFlag();
    const std::uint64_t start = static_cast<std::uint64_t>(p.GetStartSector());
    const std::uint64_t spf = p.GetSectorPerFAT();
    const std::uint64_t D = static_cast<std::uint64_t>(p.m_clusterOrigin);
    // The clusters the record holds, as far as its FAT can number them.
    const std::uint64_t fatEntries = spf * m_sectorSize * 2 / RangeOf(kind).halfBytes;
    const std::uint64_t clusters = std::min<std::uint64_t>(p.GetTotalCluster(), fatEntries > 2 ? fatEntries - 2 : 0);
    std::unique_ptr<IFATTable> table(IFATTableFactory::CreateFATTable(
        m_device, static_cast<long long>(start + p.GetReservedSector()), kind, static_cast<unsigned>(spf),
        (flag & 0x80) != 0, (flag & 0x200) != 0, clusters));
    if (!table) return kDeepNoFatTable;

    int rootListed = (flag & kBootFlags) ? 1 : 0;
    std::uint64_t rootStart = 0xFFFFFFFF;
    std::uint32_t rootSectors = 0, rootCluster = 0;
    if (rootListed) {
        if (kind == FS_FAT32) {
            rootCluster = p.GetRootInfo();
        } else {
            rootStart = start + p.GetReservedSector() + 2 * spf;
            rootSectors = p.GetRootInfo();
        }
    } else if (kind == FS_FAT32) {
        // Without a boot sector the FAT32 root is taken at cluster 2, where
        // formatters put it, when a folder sector without "." lies there.
        const auto at = std::lower_bound(
            m_folderSectors.begin(), m_folderSectors.end(), static_cast<std::int64_t>(D),
            [](const FIRSTFOLDERSECTOR& r, std::int64_t s) { return r.sector < s; });
        if (at != m_folderSectors.end() && at->sector == static_cast<std::int64_t>(D) && !at->HasDots()) {
            rootCluster = 2;
            rootListed = 1;
        }
    }
    CFATDeepBuildWorker worker(m_builder, &p, m_device, kind, start, p.GetTotalSectors(), p.m_sectorsPerCluster,
                               rootStart, rootSectors, rootCluster, rootListed, D, clusters, table.get());
    worker.SetFileSectorMap(m_fileSectorMap);
    worker.SetLostNodeBudget(&m_lostNodesLeft);
    // Volumes whose boot sector and FAT were found inside this one's space,
    // past its start: a partition made in space this volume claims (listed or
    // deleted since), or a volume kept in it. The sectors their boot sectors
    // place their own structures in (reserved area, FATs, the root folder)
    // are theirs. The rest of their space may still hold this volume's older
    // folders (a stick used whole, then partitioned), so it stays readable.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> foreign;
    const std::uint64_t end = start + p.GetTotalSectors();
    for (const auto& q : m_results) {
        const auto qStart = static_cast<std::uint64_t>(q->GetStartSector());
        if (q.get() == &p || qStart <= start || qStart >= end || !BootAndFatSeen(*q)) continue;
        const auto qData = static_cast<std::uint64_t>(q->m_clusterOrigin);
        const std::uint64_t qEnd = qStart + q->GetTotalSectors();
        if (qData > qStart) foreign.emplace_back(qStart, std::min(qData, qEnd));
        const std::uint32_t qRoot = q->GetRootInfo();
        if (q->m_fileSystemType == FS_FAT32 && qRoot >= 2 && q->m_sectorsPerCluster) {
            const std::uint64_t at = qData + std::uint64_t{qRoot - 2} * q->m_sectorsPerCluster;
            if (at < qEnd) foreign.emplace_back(at, std::min(at + q->m_sectorsPerCluster, qEnd));
        }
    }
    std::sort(foreign.begin(), foreign.end());
    worker.SetForeignSpans(std::move(foreign));
    worker.CompleteBuildDirectoryTree(m_folderSectors);
    return 0;
}

int CFATCompleteFSearcher::GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int n) {
    const int count = static_cast<int>(m_results.size());
    // Too small an array is filled with nothing: the caller learns how many
    // to ask for.
    if (!array || n < count) return count;
    for (int i = 0; i < count; ++i) {
        const Record& r = *m_results[static_cast<std::size_t>(i)];
        CSearchedPartitionInfo* copy = r.Clone();
        // The copy keeps what confirmed the partition, and its score where the
        // writer and saved scans look for one.
        copy->m_searcherField2 = r.m_searcherField2;
        copy->m_searcherField4 = r.m_searcherField4;
        copy->m_score = static_cast<double>(r.m_searcherField4);
        array[i] = copy;
    }
    return count;
}
