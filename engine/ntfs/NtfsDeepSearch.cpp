#include "engine/ntfs/NtfsDeepSearch.h"
#include "engine/include/KeptSectors.h"

#include "engine/include/BlockView.h"
#include "engine/include/StorageDevice.h"
#include "engine/ntfs/NtfsBoot.h"
#include "engine/ntfs/NtfsDeepTree.h"
#include "engine/ntfs/NtfsIndexRecord.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <map>
#include <set>

namespace {
constexpr std::size_t kIndexRecordBytes = 4096;
// A window reaches this many sectors past its own.
constexpr long long kWindowSectors = 16;
// INDX records and folders kept: enough for any volume in use, bounded on
// a device that holds little else.
constexpr std::size_t kMaxIndexFinds = 4 * ntfs::kMaxFinds;
// Runs of FILE records kept (a whole MFT in a few thousand pieces is one
// run each): bounded where records lie scattered over a large device.
constexpr std::size_t kMaxPositions = 8 * ntfs::kMaxFinds;

bool HasFileMagic(const std::uint8_t* p) { return std::memcmp(p, "FILE", 4) == 0; }
bool HasIndexMagic(const std::uint8_t* p) { return std::memcmp(p, "INDX", 4) == 0; }

// Where the volume starts and where its $MFT lies if the group is the copy
// its $MFTMirr holds (read there, the mirror's first cluster is the group's).
bool ReadAsMirror(const CMFTFilesPair& p, long long& start, long long& mft) {
    const long long spc = p.mft->GetSectorsPerCluster(), mirr = p.mirr->GetFirstClusterNO();
    long long offset = 0;
    return mirr >= 0 && !__builtin_mul_overflow(mirr, spc, &offset) &&
           !__builtin_sub_overflow(p.mft->GetSectorAddress(), offset, &start) && start >= 0 &&
           !__builtin_mul_overflow(p.mft->GetFirstClusterNO(), spc, &offset) &&
           !__builtin_add_overflow(start, offset, &mft);
}
} // namespace

CNTFSSearchController::CNTFSSearchController() = default;
CNTFSSearchController::~CNTFSSearchController() = default;

void CNTFSSearchController::SetDevice(IStorageDevice* device) {
    if (!device) return;
    m_device = device;
    m_ss = device->GetSectorSize();
    m_total = static_cast<long long>(std::min<unsigned long long>(device->GetTotalSectors(), LLONG_MAX));
    m_partitionBuilder.SetDevice(m_total, m_ss);
}

int CNTFSSearchController::PreparetoSearch() {
    if (m_sectorsPerBlock <= 0 || !m_device) return 0;
    if (m_ss < 512 || m_ss > 4096 || !std::has_single_bit(m_ss)) return 0;
    m_spr = m_ss >= 1024 ? 1 : 1024 / m_ss;
    m_group = std::make_unique<CMetaFileRecordGroupinMFTAnalyzer>(m_partitionBuilder, m_lists, m_spr);
    m_attrDef = std::make_unique<CAttrDefFileAnalyzer>(m_spr);
    m_upCase = std::make_unique<CUpCaseFileAnalyzer>(m_spr);
    m_log = std::make_unique<CLogFileAnalyzer>(m_partitionBuilder, m_spr);
    m_block.assign(static_cast<std::size_t>(m_sectorsPerBlock) * m_ss, 0);
    m_pendingFile.clear();
    m_pendingFileSector = -1;
    m_pendingIndex.clear();
    m_pendingIndexSector = -1;
    m_pendingRestart.clear();
    m_pendingRestartSector = -1;
    if (m_builder) m_builder->AddSearcherInfo(SEARCHER_NTFS, 5);
    return 1;
}

int CNTFSSearchController::AnalyzeBlock(long long first, long long count) {
    if (!m_device || m_sectorsPerBlock <= 0 || !m_group || first < 0 || count <= 0 || count > m_sectorsPerBlock)
        return 0;
    // The block is read in place where the device lends it; what a failed
    // read leaves is not taken for anything.
    const std::uint8_t* block = ViewSectors(m_device, first, count);
    if (!block) {
        block = m_block.data();
        if (!m_device->ReadSector(m_block.data(), first, count))
            std::fill(m_block.begin(), m_block.begin() + static_cast<std::ptrdiff_t>(count * m_ss), 0);
    }
    // A restart page cut by the last block's end, completed by this block.
    if (m_pendingRestartSector >= 0) {
        const std::size_t held = m_pendingRestart.size();
        const std::size_t missing = CLogFileAnalyzer::kPageBytes - held;
        if (first == m_pendingRestartSector + static_cast<long long>(held / m_ss) &&
            static_cast<std::size_t>(count) * m_ss >= missing) {
            m_pendingRestart.insert(m_pendingRestart.end(), block, block + missing);
            if (CLogFileAnalyzer::IsValidRSTRRecord(m_pendingRestart)) m_log->AnalyzeRSTRRecord(m_pendingRestartSector);
        }
        m_pendingRestart.clear();
        m_pendingRestartSector = -1;
    }
    for (long long i = 0; i < count; ++i) {
        const long long s = first + i;
        const std::uint8_t* p = block + static_cast<std::size_t>(i) * m_ss;
        const std::size_t w = static_cast<std::size_t>(std::min(count - i, kWindowSectors)) * m_ss;
        // File and index records are read again to build the trees: kept,
        // so a device gone by then still lists what the scan read.
        if (HasFileMagic(p))
            KeepSectors(m_device, s, std::min<long long>(m_spr, count - i));
        else if (HasIndexMagic(p))
            KeepSectors(m_device, s, std::min<long long>(static_cast<long long>(kIndexRecordBytes / m_ss), count - i));
        if (p[510] == 0x55 && p[511] == 0xAA && CNTFSDBR::IsFullValidDBR({p, m_ss}))
            AnalyzeNTFSDBRSector(s, p);
        else if (p[0] == 'R' && CLogFileAnalyzer::IsValidRSTRRecord({p, w}))
            m_log->AnalyzeRSTRRecord(s);
        else if (w < CLogFileAnalyzer::kPageBytes && std::memcmp(p, "RSTR", 4) == 0 && m_pendingRestartSector < 0)
            m_pendingRestart.assign(p, p + w), m_pendingRestartSector = s;
        else
            AnalyzeIndexRecord(s, p, w);
        AnalyzeNTFSFileRecordSector(s, p, w);
        m_attrDef->AnalyzeSectorBuffer(s, p);
        m_upCase->AnalyzeSectorBuffer(s, p);
    }
    m_log->AnalyzeRCRDRecord(block, first, count);
    return 1;
}

// ---- boot sectors -----------------------------------------------------------

void CNTFSSearchController::AnalyzeNTFSDBRSector(long long s, const std::uint8_t* sector) {
    CNTFSDBR boot;
    if (!boot.InitFromBuffer({sector, 512})) return;
    // The volume's length in device sectors.
    const unsigned long long bps = boot.GetBytesPerSector();
    const unsigned __int128 t = static_cast<unsigned __int128>(std::max<long long>(boot.GetTotalSectors(), 0)) * bps / m_ss;
    const long long T = static_cast<long long>(std::min<unsigned __int128>(t, static_cast<unsigned __int128>(m_total)));
    // As a backup boot sector: the volume it ends.
    if (NtfsCandidate backup = m_partitionBuilder.BuildPartitionInfoFromDBR(boot, s - T, ntfs::kFromBackupBoot)) {
        bool confirmed = false;
        auto [it, end] = m_candidates.equal_range(CSearchedNTFSPartitionInfoLessThan::Key(*backup));
        for (; it != end; ++it) {
            CSearchedNTFSPartitionInfo& e = **it;
            const bool readFromBoot = e.GetPartitionBuildFromFlags() & (ntfs::kFromBootSector | ntfs::kFromBackupBoot);
            e.AddPartitionBuildFromFlag(ntfs::kFromBackupBoot);
            if ((e.GetPartitionBuildFromFlags() & ntfs::kFromBootSector) ||
                (e.GetTotalSectors() == backup->GetTotalSectors() && e.GetSerialNumber() == backup->GetSerialNumber()))
                confirmed = true;
            if (!readFromBoot) {
                // A reading of the volume's records (its $Bitmap rounds the
                // size up) takes the boot sector's size and serial number.
                e.SetTotalSectors(backup->GetTotalSectors());
                e.m_clusterCount = backup->m_clusterCount;
                e.SetSerialNumber(backup->GetSerialNumber());
            }
        }
        if (confirmed) {
            // The primary boot sector's own backup reading, one volume earlier,
            // was no volume.
            backup->m_clusterOrigin = s - 2 * T;
            m_partitionBuilder.AdjustPartitionBuildFromFlag(*backup, 0, ntfs::kFromBackupBoot);
            return;
        }
        std::tie(it, end) = m_candidates.equal_range(CSearchedNTFSPartitionInfoLessThan::Key(*backup));
        for (; it != end; ++it)
            if ((*it)->GetTotalSectors() == 0) {
                (*it)->SetTotalSectors(backup->GetTotalSectors());
                (*it)->m_clusterCount = backup->m_clusterCount;
            }
        m_candidates.insert(std::move(backup));
    }
    if (NtfsCandidate primary = m_partitionBuilder.BuildPartitionInfoFromDBR(boot, s, ntfs::kFromBootSector))
        m_candidates.insert(std::move(primary));
}

// ---- INDX records -----------------------------------------------------------

void CNTFSSearchController::AnalyzeIndexRecord(long long s, const std::uint8_t* p, std::size_t w) {
    if (m_pendingIndexSector >= 0) {
        const long long P = m_pendingIndexSector, G = m_pendingIndexSectors;
        if (s < P + G) return;
        m_pendingIndexSector = -1;
        const std::size_t held = m_pendingIndex.size();
        if (s == P + G && w >= kIndexRecordBytes - held) {
            m_pendingIndex.insert(m_pendingIndex.end(), p, p + (kIndexRecordBytes - held));
            AnalyzeOneIndexRecord(P, m_pendingIndex);
            m_pendingIndex.clear();
            return;
        }
        m_pendingIndex.clear();
    } else if (w < kIndexRecordBytes && HasIndexMagic(p)) {
        m_pendingIndex.assign(p, p + w);
        m_pendingIndexSector = s;
        m_pendingIndexSectors = static_cast<long long>(w / m_ss);
        return;
    }
    if (HasIndexMagic(p)) AnalyzeOneIndexRecord(s, {p, w});
}

void CNTFSSearchController::IndexConfirms(long long sector, long long vcn, const CFolderIndexAllocationInfo& folder) {
    const long long lcn = folder.GetLCN(vcn);
    if (lcn == -1) return;
    NtfsCandidate c = m_partitionBuilder.BuildPartitionInfoAccordingtoFileRecord(sector, lcn, folder.GetSectorsPerCluster(),
                                                                               ntfs::kFromIndexRecord);
    if (!c) return;
    auto [it, end] = m_candidates.equal_range(CSearchedNTFSPartitionInfoLessThan::Key(*c));
    if (it == end) {
        m_candidates.insert(std::move(c));
        return;
    }
    for (; it != end; ++it) {
        (*it)->AddPartitionBuildFromFlag(ntfs::kFromIndexRecord);
        ++(*it)->m_searcherField2;
    }
}

void CNTFSSearchController::AnalyzeOneIndexRecord(long long s, ntfs::Bytes record) {
    if (!CIndexRecord::IsValid(record)) return;
    const long long owner = CIndexRecord::GetParentFileReference(record);
    // The root folder's records place nothing: every volume has one.
    if (owner < 0 || owner == 5 || m_indexRecords.size() >= kMaxIndexFinds) return;
    const CIndexRecordInfo info{s, CIndexRecord::GetVCN(record), CIndexRecord::GetLogFileSequenceNumber(record), owner};
    auto [it, end] = m_folders.equal_range(owner);
    for (; it != end; ++it) IndexConfirms(s, info.vcn, *it->second);
    m_indexRecords.emplace(owner, info);
}

// ---- FILE records -----------------------------------------------------------

void CNTFSSearchController::AnalyzeNTFSFileRecordSector(long long s, const std::uint8_t* p, std::size_t w) {
    const std::size_t recordSize = std::size_t{m_spr} * m_ss;
    if (m_pendingFileSector >= 0) {
        const long long P = m_pendingFileSector;
        m_pendingFileSector = -1;
        if (s == P + 1 && w >= recordSize - m_pendingFile.size()) {
            // The record's rest, in this block.
            KeepSectors(m_device, s, static_cast<long long>((recordSize - m_pendingFile.size() + m_ss - 1) / m_ss));
            m_pendingFile.insert(m_pendingFile.end(), p, p + (recordSize - m_pendingFile.size()));
            AnalyzeOneFileRecord(P, m_pendingFile);
            m_pendingFile.clear();
            return;
        }
        m_pendingFile.clear();
    } else if (w < recordSize && HasFileMagic(p) && CNTFSFileRecordHeader::IsValid({p, w})) {
        m_pendingFile.assign(p, p + w);
        m_pendingFileSector = s;
        return;
    }
    AnalyzeOneFileRecord(s, {p, std::min(w, recordSize)});
}

void CNTFSSearchController::AnalyzeOneFileRecord(long long s, ntfs::Bytes bytes) {
    static const CNTFSFileRecord kNoRecord{ntfs::Bytes{}};
    if (bytes.size() < 4 || !HasFileMagic(bytes.data())) {
        m_group->AnalyzeNTFSMetaFileRecord(s, kNoRecord);
        return;
    }
    const CNTFSFileRecord record(bytes);
    m_group->AnalyzeNTFSMetaFileRecord(s, record);
    if (!record.IsValid()) return;
    const ntfs::Bytes fixed = record.Data();
    if (CNTFSFileRecordAnalyzer::IsValidFolderFileRecordHavingIndexAllocation(fixed))
        AnalyzeFolderFileRecordHavingIndexAllocation(s, fixed);
    else if (CMetaFileRecordTypeAnalyzer::IsValidLogFileRecord(fixed))
        m_log->AnalyzeLogFileFileRecord(s, record);
    else if (CMetaFileRecordTypeAnalyzer::IsValidAttrDefFileRecord(fixed))
        m_attrDef->AnalyzeAttrDefFileRecord(s, record);
    else if (CMetaFileRecordTypeAnalyzer::IsValidUpCaseFileRecord(fixed))
        m_upCase->AnalyzeUpCaseFileRecord(s, record);
    else
        AnalyzeNormalFileRecord(s, record);
}

void CNTFSSearchController::AnalyzeFolderFileRecordHavingIndexAllocation(long long s, ntfs::Bytes record) {
    auto folder = std::make_unique<CFolderIndexAllocationInfo>();
    if (!folder->InitFromBuffer(record, s, m_ss) || m_folders.size() >= kMaxIndexFinds) return;
    const long long number = folder->GetMFTFileRecordNumber();
    auto [it, end] = m_indexRecords.equal_range(number);
    for (; it != end; ++it) IndexConfirms(it->second.sector, it->second.vcn, *folder);
    m_folders.emplace(number, std::move(folder));
    if (m_positions.size() < kMaxPositions) m_positions.emplace_back(s);
}

void CNTFSSearchController::AnalyzeNormalFileRecord(long long s, const CNTFSFileRecord& record) {
    if (record.IsExtendFileRecord() || m_group->IsaMetaFileRecordNotNeedtoCount(record) ||
        m_log->IsaMetaFileRecordNotNeedtoCount(record))
        return;
    if (!m_positions.empty() && m_positions.back().Merge(s)) return;
    if (m_positions.size() < kMaxPositions) m_positions.emplace_back(s);
}

// ---- the end ----------------------------------------------------------------

void CNTFSSearchController::EndSearch(int build) {
    if (!m_group) return;
    // A scan stopped without trees still names the partitions it found: they
    // are scored and kept as after a whole scan.
    // A group still open at the device's end is judged too.
    m_group->Finish();
    MergeEqualCandidates();
    PlaceMirrorGroupsMetBeforeTheirBootSector();
    long long i = 0;
    for (auto it = m_candidates.begin(); it != m_candidates.end(); ++i) {
        CSearchedNTFSPartitionInfo& c = **it;
        m_attrDef->CalcAttrDefMatch(c);
        m_upCase->CalcUpcaseMatch(c);
        m_log->CalcLogFileMatch(c);
        c.m_mftLocated = c.m_mftSector >= 0 ? 1 : 0;
        const long long score = CalcFileSystemReliabilityScore(c);
        c.m_searcherField4 = score;
        const std::uint32_t flags = c.GetPartitionBuildFromFlags();
        // Both boot sectors, or an $MFT with its mirror, stand without an
        // INDX record: a volume whose files lie in its root has none.
        const bool standsAlone = (flags & 3) == 3 || (flags & ntfs::kFromMftPair);
        if (i >= 2 && !standsAlone && (score < 11 || (c.m_searcherField1 == 0 && c.m_searcherField2 == 0))) {
            it = m_candidates.erase(it);
            continue;
        }
        c.m_startSector = c.m_clusterOrigin;
        ++it;
    }
    if (m_candidates.size() >= 3) {
        for (auto it = m_candidates.begin(); it != m_candidates.end();) {
            if ((*it)->m_searcherField4 <= 50 && (*it)->m_mftLocated == 0)
                it = m_candidates.erase(it);
            else
                ++it;
        }
    }
    DropShadowCandidates();
    NumberCandidates();
    if (build) SetSearchedNTFSPartitionBelongCtrl();
    std::vector<std::uint8_t>().swap(m_block);
    m_group.reset();
    m_attrDef.reset();
    m_upCase.reset();
    m_log.reset();
    m_lists.pairs.clear();
    m_lists.mftMirr.clear();
    m_folders.clear();
    m_indexRecords.clear();
    if (build && m_builder) {
        m_builder->SetPartitonDevice(nullptr, m_device);
        m_builder->FlashBuild(SEARCHER_NTFS);
    }
}

void CNTFSSearchController::MergeEqualCandidates() {
    // Readings of one volume at the same start and cluster size (its backup
    // boot sector, its $MFT, its INDX records) are one volume: the boot
    // sector's size and serial number stand, every piece of evidence counts.
    constexpr std::uint32_t kBoot = ntfs::kFromBootSector | ntfs::kFromBackupBoot;
    for (auto it = m_candidates.begin(); it != m_candidates.end();) {
        auto next = std::next(it);
        CSearchedNTFSPartitionInfo& keep = **it;
        while (next != m_candidates.end() && (*next)->m_clusterOrigin == keep.m_clusterOrigin &&
               (*next)->m_sectorsPerCluster == keep.m_sectorsPerCluster) {
            CSearchedNTFSPartitionInfo& e = **next;
            if ((e.GetPartitionBuildFromFlags() & kBoot) && !(keep.GetPartitionBuildFromFlags() & kBoot)) {
                keep.SetTotalSectors(e.GetTotalSectors());
                keep.m_clusterCount = e.m_clusterCount;
                keep.SetSerialNumber(e.GetSerialNumber());
            }
            keep.AddPartitionBuildFromFlag(e.GetPartitionBuildFromFlags());
            keep.m_searcherField2 += e.m_searcherField2;
            if (keep.m_mftSector < 0) keep.m_mftSector = e.m_mftSector;
            next = m_candidates.erase(next);
        }
        it = next;
    }
}

void CNTFSSearchController::PlaceMirrorGroupsMetBeforeTheirBootSector() {
    // A group read as its volume's mirror copy places the volume where a
    // boot sector met only later lies: it counts as it does when the boot
    // sector comes first (the volume's $MFTMirr reading, the group its
    // $MFT records). Its reading as an $MFT of its own is then another
    // reading of the same records, and the better-scored one stays.
    constexpr std::uint32_t kBoot = ntfs::kFromBootSector | ntfs::kFromBackupBoot;
    for (const CMFTFilesPair& p : m_lists.pairs) {
        long long start = 0, mft = 0;
        if (!ReadAsMirror(p, start, mft)) continue;
        auto [it, end] = m_candidates.equal_range(NtfsCandidateKey{start, p.mft->GetSectorsPerCluster()});
        for (; it != end; ++it) {
            CSearchedNTFSPartitionInfo& c = **it;
            if (!(c.GetPartitionBuildFromFlags() & kBoot) || c.m_mftSector >= 0) continue;
            c.AddPartitionBuildFromFlag(ntfs::kFromMftMirr);
            c.m_mftSector = p.mft->GetSectorAddress();
        }
    }
}

void CNTFSSearchController::DropShadowCandidates() {
    // A volume read again at another start or cluster size finds the same
    // $MFT: the best-scored reading is the volume, the others are dropped.
    // A group met before its volume's $MFT may be the copy $MFTMirr holds
    // (Windows puts the mirror first): read as the mirror, it places the
    // $MFT where an $MFT group lies, and a reading of it reads that $MFT.
    std::set<long long> mftGroups;
    for (const auto& m : m_lists.mft) mftGroups.insert(m->GetSectorAddress());
    std::map<long long, long long> mirrorOf;
    for (const CMFTFilesPair& p : m_lists.pairs) {
        const long long at = p.mft->GetSectorAddress();
        long long start = 0, mft = 0;
        if (ReadAsMirror(p, start, mft) && mft != at && mftGroups.count(mft)) mirrorOf.emplace(at, mft);
    }
    const auto mftRead = [&](const CSearchedNTFSPartitionInfo& c) {
        const auto it = mirrorOf.find(c.m_mftSector);
        return it == mirrorOf.end() ? c.m_mftSector : it->second;
    };
    std::map<long long, const CSearchedNTFSPartitionInfo*> best;
    for (const NtfsCandidate& c : m_candidates) {
        if (c->m_mftSector < 0) continue;
        const CSearchedNTFSPartitionInfo*& b = best[mftRead(*c)];
        if (!b || c->m_searcherField4 > b->m_searcherField4) b = c.get();
    }
    // A backup boot sector read as a primary one: a lone boot sector that
    // nothing else confirms, inside a volume whose backup boot sector was met.
    const auto isBackupOfAnother = [&](const CSearchedNTFSPartitionInfo& c) {
        if (c.GetPartitionBuildFromFlags() != ntfs::kFromBootSector || c.m_mftSector >= 0) return false;
        for (const NtfsCandidate& o : m_candidates) {
            const long long end = o->m_clusterOrigin + static_cast<long long>(o->GetTotalSectors()) + o->m_sectorsPerCluster;
            if (o.get() != &c && (o->GetPartitionBuildFromFlags() & ntfs::kFromBackupBoot) &&
                c.m_clusterOrigin > o->m_clusterOrigin && c.m_clusterOrigin <= end)
                return true;
        }
        return false;
    };
    for (auto it = m_candidates.begin(); it != m_candidates.end();) {
        const CSearchedNTFSPartitionInfo& c = **it;
        if ((c.m_mftSector >= 0 && best.at(mftRead(c)) != &c) || isBackupOfAnother(c))
            it = m_candidates.erase(it);
        else
            ++it;
    }
}

void CNTFSSearchController::NumberCandidates() {
    const auto n = static_cast<long long>(m_candidates.size());
    int j = 0;
    for (const NtfsCandidate& c : m_candidates) {
        c->m_score = static_cast<double>(n - j);
        c->m_partitionIndex = static_cast<std::uint16_t>(j);
        ++j;
    }
}

void CNTFSSearchController::SetSearchedNTFSPartitionBelongCtrl() {
    CNTFSIntelligentSearchInfo info;
    info.Init(&m_lists.mft, &m_positions, &m_lists.mftAndLog);
    CNTFSDirectoryTreeBuilder tree;
    tree.SetVolumeCount(m_candidates.size());
    int j = 0;
    for (const NtfsCandidate& c : m_candidates) {
        if (m_builder) tree.BuildDirectoryTree(&info, c.get(), m_device, j, nullptr, m_builder);
        ++j;
    }
}

int CNTFSSearchController::GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int n) {
    const int count = static_cast<int>(std::min<std::size_t>(m_candidates.size(), INT32_MAX));
    if (!array || n < count) return count;
    int i = 0;
    for (const NtfsCandidate& c : m_candidates) array[i++] = c->Clone();
    return count;
}

namespace ntfs {
ICompleteFileSystemSearchController* CreateNTFSSearcher() { return new CNTFSSearchController(); }
} // namespace ntfs
