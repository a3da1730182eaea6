#include "engine/ntfs/NtfsDeepTree.h"

#include "engine/common/TextConvert.h"
#include "engine/include/ReadAround.h"
#include "engine/include/StorageDevice.h"
#include "engine/utility/CatchExeception.h"
#include "engine/ntfs/NtfsLogFile.h"
#include "engine/utility/SectorReads.h"

#include <algorithm>
#include <deque>
#include <list>
#include <unordered_map>
#include <unordered_set>

namespace {
constexpr long long kRootFolder = 5;
// The longest name a destination takes, in bytes.
constexpr std::size_t kMaxFolderName = 255;
// Lost folders whose parent number is below this are metafile folders or
// the root's: the walk from the root meets what is shown of them.
constexpr long long kFirstLostParent = 25;
// Device sectors a window of the record walk reaches.
constexpr long long kWindowSectors = 16;

// Record numbers of volume j as node ids: with ids of a volume of its own
// (idBase not 0) the volumes of one disk, made alike, never share a folder.
long long NodeId(long long record, long long idBase) { return record >= 0 ? idBase | record : record; }

CNTFSFileNode* MakeNode(NtfsFoundRecord& r, long long parent, int j, long long idBase) {
    auto* node = new CNTFSFileNode();
    node->SetFileProperties(r.properties.release());
    node->SetMetadataStartPosition(r.info.GetSectorAddress());
    node->SetParentNodeID(NodeId(parent, idBase));
    node->SetCurrentNodeID(NodeId(r.info.GetMFTFileRecordNumber(), idBase));
    node->SetBelongedPartition(static_cast<std::uint16_t>(j));
    return node;
}

// Hands a node over; a refused one is released. True when taken.
bool Hand(IDirecotryTreeBuilder* builder, CNTFSFileNode* node) {
    if (builder && builder->AddNode(node, SEARCHER_NTFS)) return true;
    node->Release();
    return false;
}
} // namespace

long long CMFTDirectoryTreeBuilder::GetMFTNumber(long long sector, const CMFTInfo& mft, long long start, unsigned spc) {
    if (spc == 0 || sector < start || mft.GetSectorsPerFileRecord() == 0) return -1;
    const long long d = sector - start;
    const long long vcn = mft.GetDataRunList().GetVCN(d / spc);
    long long v = 0;
    if (vcn < 0 || __builtin_mul_overflow(vcn, static_cast<long long>(spc), &v)) return -1;
    v += d % spc;
    const long long spfr = mft.GetSectorsPerFileRecord();
    return v % spfr == 0 ? v / spfr : -1;
}

void CMFTDirectoryTreeBuilder::BuildDirectoryTree(std::vector<NtfsFoundRecord>& records,
                                                  IDirecotryTreeBuilder* builder, int j, bool handRest,
                                                  long long idBase) {
    std::multimap<long long, std::size_t> byParent;
    for (std::size_t i = 0; i < records.size(); ++i)
        if (records[i].properties)
            byParent.emplace(records[i].info.GetFileRecordNumberofParentDirectory(), i);

    // From the root folder outwards, breadth first; each record is met once.
    std::deque<long long> queue;
    for (long long parent = kRootFolder;;) {
        auto [first, last] = byParent.equal_range(parent);
        for (auto it = first; it != last; ++it) {
            NtfsFoundRecord& r = records[it->second];
            const bool folder = r.info.IsDirectory();
            const long long number = r.info.GetMFTFileRecordNumber();
            if (Hand(builder, MakeNode(r, parent, j, idBase)) && folder && number >= 0) queue.push_back(number);
        }
        byParent.erase(first, last);
        if (queue.empty()) break;
        parent = queue.front();
        queue.pop_front();
    }

    // What is left: folders the walk missed, with their own children. Each
    // node is handed once; one handed as a child is not met again as a folder.
    struct Lost {
        CNTFSFileNode* node;
        long long number;
        bool handed = false;
    };
    std::multimap<long long, Lost> lost;
    std::unordered_map<long long, long long> parentOf;
    for (const auto& [parent, i] : byParent) {
        NtfsFoundRecord& r = records[i];
        const long long number = r.info.GetMFTFileRecordNumber();
        parentOf.emplace(number, parent);
        lost.emplace(parent, Lost{MakeNode(r, parent, j, idBase), number});
    }
    const auto isAncestor = [&](long long candidate, long long of) {
        std::unordered_set<long long> seen;
        for (auto it = parentOf.find(of); it != parentOf.end() && seen.insert(it->first).second;
             it = parentOf.find(it->second))
            if (it->second == candidate) return true;
        return false;
    };
    for (auto& [parent, f] : lost) {
        if (f.handed || !f.node || !f.node->IsDirectory() || parent < kFirstLostParent) continue;
        f.handed = true;
        const long long number = f.number;
        if (!Hand(builder, f.node)) {
            f.node = nullptr;
            continue;
        }
        if (number < 0) continue;
        auto [first, last] = lost.equal_range(number);
        for (auto it = first; it != last; ++it) {
            Lost& c = it->second;
            if (&c == &f || c.handed || !c.node || isAncestor(c.number, number)) continue;
            c.handed = true;
            if (!Hand(builder, c.node)) c.node = nullptr;
        }
    }
    for (auto& [parent, l] : lost) {
        if (l.handed || !l.node) continue;
        // Records of a known $MFT whose parent is missing, or now a file,
        // still go to the builder, which keeps them with the lost files.
        if (handRest)
            Hand(builder, l.node);
        else
            l.node->Release();
    }
}

// ---- one partition ----------------------------------------------------------

IFilesystemNode* CNTFSDirectoryTreeBuilder::BuildDirectoryTree(CNTFSIntelligentSearchInfo* info,
                                                               CSearchedPartitionInfo* partition,
                                                               IStorageDevice* device, int j, IProgress*,
                                                               IDirecotryTreeBuilder* builder) {
    m_partition = dynamic_cast<CSearchedNTFSPartitionInfo*>(partition);
    if (!device || !info || !m_partition || m_partition->m_sectorsPerCluster == 0) return nullptr;
    m_info = info;
    m_device = device;
    m_builder = builder;
    m_j = j;
    m_start = m_partition->m_clusterOrigin;
    m_spc = m_partition->m_sectorsPerCluster;
    m_ss = device->GetSectorSize();
    if (m_ss < 512 || m_ss > 4096) return nullptr;
    m_spr = m_ss >= 1024 ? 1 : 1024 / m_ss;

    OrganizeMatchedMFTInfo();
    ReadFileProperties();
    long long idBase = 0;
    if (m_volumes > 1 && j >= 0 && j < kMaxVolumes) {
        idBase = static_cast<long long>(j + 1) << kVolumeIdShift;
        HandVolumeFolder(idBase);
    }
    for (auto& b : m_builds) CMFTDirectoryTreeBuilder::BuildDirectoryTree(b->records, builder, j, true, idBase);
    // Records no $MFT claims are shown with the first partition only.
    if (j == 0) CMFTDirectoryTreeBuilder::BuildDirectoryTree(m_loose, builder, j, false, idBase);

    m_builds.clear();
    m_loose.clear();
    std::vector<std::uint8_t>().swap(m_block);
    if (MFTAndLogList* logs = m_info->GetMFTAndLogList())
        for (FindFileMFTAndLogx& l : *logs) {
            if (l.finder) l.finder->Reset();
            l.analysed = false;
        }
    return nullptr;
}

std::string CNTFSDirectoryTreeBuilder::VolumeLabel() {
    // $Volume is record 3, inside the $MFT's first run.
    const long long mft = m_partition->m_mftSector;
    const std::size_t recordSize = std::size_t{m_spr} * m_ss;
    const long long at = mft + 3LL * m_spr;
    if (mft < 0 || at < m_start || at + m_spr > static_cast<long long>(m_device->GetTotalSectors())) return {};
    std::vector<std::uint8_t> record(recordSize);
    if (!m_device->ReadSector(record.data(), at, m_spr) || !CNTFSFileRecord::IsValid(record) ||
        !CNTFSFileRecord::UnfixupFileRecord(record))
        return {};
    const ntfs::Bytes name =
        CNTFSFileRecordAttribute::GetValue(CNTFSFileRecord::FindAttibute(record, ntfs::ATTR_VOLUME_NAME, 0));
    return Utf16LeToUtf8(name.data(), name.size() & ~std::size_t{1});
}

void CNTFSDirectoryTreeBuilder::HandVolumeFolder(long long idBase) {
    // Named as the quick scan names a partition: by its label, else where it lies.
    std::string name = VolumeLabel();
    if (name.empty()) name = "NTFS at sector " + std::to_string(m_start);
    // Alike volumes (one label, "New Volume") are told apart by where they
    // lie, and so are labels that one folder name would hold: "A/B" and
    // "A_B", "Data" and "DATA" recovered onto a stick that ignores case. The
    // label is shortened to leave room for the position in a name.
    const auto key = [](const std::string& folder) { return AsciiLowerCase(MakeSafeFileName(folder)); };
    if (!m_volumeNames.insert(key(name)).second) {
        const std::string suffix = " (sector " + std::to_string(m_start) + ")";
        name = TruncateUtf8(name, kMaxFolderName - suffix.size()) + suffix;
        m_volumeNames.insert(key(name));
    }
    CNTFSFilePropertiesStruct s;
    s.name = name;
    s.nameLength = static_cast<std::uint16_t>(std::min<std::size_t>(name.size() + 1, UINT16_MAX));
    s.attribute = CNTFSFileProperties::kAttrDirectory;
    s.recordNumber = kRootFolder;
    auto* properties = CNTFSFileProperties::Create();
    properties->Init(s);
    auto* node = new CNTFSFileNode();
    node->SetFileProperties(properties);
    node->SetMetadataStartPosition(std::max<long long>(m_partition->m_mftSector, 0));
    node->SetParentNodeID(kRootFolder);
    node->SetCurrentNodeID(idBase | kRootFolder);
    node->SetBelongedPartition(static_cast<std::uint16_t>(m_j));
    Hand(m_builder, node);
}

void CNTFSDirectoryTreeBuilder::OrganizeMatchedMFTInfo() {
    MFTAndLogList* logs = m_info->GetMFTAndLogList();
    if (!logs) return;
    const long long total = static_cast<long long>(m_partition->GetTotalSectors());
    for (FindFileMFTAndLogx& l : *logs) {
        if (!l.mft) continue;
        const CMFTInfo& mft = *l.mft;
        long long highest = -1;
        for (const CDataRun& r : mft.GetDataRunList().Runs())
            if (r.lcn >= 0) highest = std::max(highest, r.lcn + r.length - 1);
        long long at = 0, end = 0;
        if (__builtin_mul_overflow(mft.GetFirstClusterNO(), static_cast<long long>(m_spc), &at) ||
            mft.GetSectorAddress() != m_start + at ||
            __builtin_mul_overflow(highest, static_cast<long long>(m_spc), &end) || end >= total)
            continue;
        if (!l.analysed) {
            if (!l.finder) l.finder = std::make_unique<CFindFileFromLogFile>();
            // The log's clusters count from this partition's first sector.
            if (l.finder->Init(m_device, mft.GetDataRunList(), std::uint64_t{m_spc} * m_ss,
                               m_spr * m_ss, m_start)) {
                l.finder->Analyzer();
                l.analysed = true;
            }
        }
        auto b = std::make_unique<CMFTDirectoryTreeBuildInfo>();
        b->mft = l.mft;
        m_builds.push_back(std::move(b));
    }
}

void CNTFSDirectoryTreeBuilder::ReadFileProperties() {
    const FileRecordPositionList* list = m_info->GetFileRecordPositionList();
    if (!list || list->empty()) return;
    const FileRecordPositionList& pos = *list;
    const long long S = m_start;
    const long long E = S + static_cast<long long>(m_partition->GetTotalSectors());
    // The cursor: position p, its record k (at its first sector + 2k).
    std::size_t p = 0;
    long long k = 0;
    const auto seek = [&](long long target) {
        for (; p < pos.size(); ++p, k = 0) {
            const long long first = pos[p].GetFirstSector(), count = pos[p].GetCount();
            if (count < 1) continue;
            const long long last = first + 2 * (count - 1);
            if (last < target) continue;
            const long long want = target > first ? (target - first + 1) / 2 : 0;
            k = std::max(k, want);
            return;
        }
    };
    seek(S);
    while (p < pos.size()) {
        const long long r = pos[p].GetFirstSector() + 2 * k;
        if (r >= E) break;
        const long long count = std::min(kBlockMaxSectors, E - r);
        seek(std::min(r + kBlockMaxSectors, E));
        if (count >= 1 && r < static_cast<long long>(m_device->GetTotalSectors())) ReadFilePropertiesfromBlock(r, count);
    }
}

void CNTFSDirectoryTreeBuilder::ReadFilePropertiesfromBlock(long long sector, long long count) {
    if (count < 1 || count > kBlockMaxSectors) return;
    const long long total = static_cast<long long>(m_device->GetTotalSectors());
    // A record that begins in the block's last sector is read whole.
    const long long n = std::min<long long>(count + m_spr - 1, total - sector);
    if (n < 1) return;
    m_block.assign(static_cast<std::size_t>(kBlockMaxSectors + m_spr) * m_ss, 0);
    // A failed read is read again around its bad sectors (zeros): only the
    // records they hold are lost.
    if (const long long bad = ReadSectorsAround(m_device, m_block.data(), sector, n); bad > 0) {
        CatchExeception::WriteLog("NTFS records at sector %lld: %lld of %lld sectors unreadable\n", sector, bad, n);
        if (!DeviceGone(m_device)) salvor::UnreadableStructureSectors() += bad;
    }
    const std::size_t recordSize = std::size_t{m_spr} * m_ss;
    for (long long i = 0; i < count && i < n; ++i) {
        const long long left = std::min(n - i, kWindowSectors);
        if (static_cast<std::size_t>(left) * m_ss < recordSize) break;
        const ntfs::Bytes rec(m_block.data() + static_cast<std::size_t>(i) * m_ss, recordSize);
        if (!CNTFSFileRecord::IsValid(rec) || CNTFSFileRecord::IsExtendFileRecord(rec)) continue;
        const long long s = sector + i;
        CMFTDirectoryTreeBuildInfo* owner = nullptr;
        if (m_partition->m_mftLocated) {
            const long long cluster = (s - m_start) / m_spc;
            for (auto& b : m_builds)
                if (b->mft->GetDataRunList().IsLCNContained(cluster)) {
                    owner = b.get();
                    break;
                }
        }
        BuildRecord(rec, s, owner);
    }
}

void CNTFSDirectoryTreeBuilder::BuildRecord(ntfs::Bytes rec, long long s, CMFTDirectoryTreeBuildInfo* owner) {
    const CNTFSFileRecord record(rec);
    NtfsFoundRecord found;
    if (!found.info.InitFromBuffer(record, s)) return;
    const long long byPosition = owner ? CMFTDirectoryTreeBuilder::GetMFTNumber(s, *owner->mft, m_start, m_spc) : -1;
    if (CIsMetaFileRecord::IsMetaFileRecord(rec)) return;
    if (found.info.GetMFTFileRecordNumber() == -1 && byPosition != -1) found.info.SetMFTFileRecordNumber(byPosition);
    const unsigned recordSize = m_spr * m_ss;
    CExtendFileRecordInfoList extensions;
    if (owner && CNTFSFileRecord::HasAttributeList(rec)) {
        extensions = CNTFSMultiFileRecord::InitExtendFileRecord(rec, s, m_spc, m_start, *m_device,
                                                                owner->mft->GetDataRunList(), recordSize)
                         .value_or(CExtendFileRecordInfoList{});
        CNTFSMultiFileRecord::RemoveMainFileRecordInfofromFileRecordInfoList(extensions, s);
    }
    CNTFSMultiFileRecord multi(rec, s, m_device, &extensions, recordSize);
    std::list<CNTFSFileProperties*> made;
    CNTFSFilePropertiesBuilder builder(made);
    long long parent = -1;
    std::unique_ptr<CNTFSFileProperties> props(builder.BuildFileProperties(s, multi, m_spc * m_ss, &parent));
    if (!props) return;
    CNTFSFilePropertiesBuilder::AdjustFileSizeAccordinttoDataRunsWhenFileSizeLessThanZero(*props,
                                                                                           m_spc * m_ss / 512);
    // A deleted file that lost its size and runs may find them in a $LogFile.
    if (props->GetFileSize() == 0 && !record.IsFolder() && (props->GetState() & CNTFSFileProperties::kStateDeleted))
        if (MFTAndLogList* logs = m_info->GetMFTAndLogList())
            for (FindFileMFTAndLogx& l : *logs)
                if (l.analysed && l.finder &&
                    l.finder->ReplaceFileRecordInfo(rec, found.info.GetMFTFileRecordNumber(), *props,
                                                    found.info.GetFileRecordNumberofParentDirectory(), &extensions))
                    break;
    props->SetExtendFileRecordInfoList(extensions);
    found.properties = std::move(props);
    (owner ? owner->records : m_loose).push_back(std::move(found));
}
