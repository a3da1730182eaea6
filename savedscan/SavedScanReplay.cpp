#include "savedscan/SavedScanReplay.h"

#include "engine/include/StorageDevice.h"
#include "engine/utility/CatchExeception.h"
#include "savedscan/CRC.h"
#include "savedscan/RSData.h"
#include "savedscan/RestoreFileNode.h"
#include "savedscan/StdFile.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <unordered_set>

// ---- progress -------------------------------------------------------------------

void CProgressSteps::Start(IProgress* sink) {
    m_record = MakeProgress(PROGRESS_RUNNING, 100, 5);
    m_last = Clock::now();
    if (sink) sink->UpdateProgress(&m_record);
}

void CProgressSteps::Step(IProgress* sink) {
    const Clock::time_point now = Clock::now();
    if (now - m_last < kStepInterval) return;
    m_last = now;
    if (m_record.current + 2 < m_record.total) ++m_record.current;
    if (sink) sink->UpdateProgress(&m_record);
}

void CProgressSteps::Finish(IProgress* sink) {
    m_record.state = PROGRESS_FINISHED;
    m_record.current = m_record.total;
    m_record.result = 0;
    if (sink) sink->UpdateProgress(&m_record);
}

void CProgressSteps::TipError(IProgress* sink, std::uint32_t code) {
    _PROGRESS_INFO record = MakeProgress(PROGRESS_FINISHED, 100, 100, code);
    if (sink) sink->UpdateProgress(&record);
}

// ---- partitions -------------------------------------------------------------------

int CRestoredPartitions::ClearMapCell() {
    for (auto& [type, list] : m_lists)
        for (CSearchedPartitionInfo* record : list) delete record;
    m_lists.clear();
    return 0;
}

std::size_t CRestoredPartitions::Count() const {
    std::size_t n = 0;
    for (const auto& [type, list] : m_lists) n += list.size();
    return n;
}

// ---- frames -------------------------------------------------------------------

bool SavedFramesIntact(IRSData& rs, const char* path) {
    FILEHEADER header;
    if (!rs.ReadFileHeader(header)) return false;
    CStdFile file(path, CStdFile::modeRead);
    long long length = 0;
    if (!file.IsOpen() || !file.GetFileLength(&length)) return false;
    std::size_t frames = 0;
    bool checksums = false, checksumsLast = false;
    for (long long pos = kRSFileHeaderSize; pos < length;) {
        std::uint8_t header[kRSFrameHeaderSize];
        if (length - pos < kRSFrameHeaderSize || file.ReadAt(pos, header, sizeof header) != kRSFrameHeaderSize)
            return false;
        tagGUIDSIGN signature, guid;
        std::memcpy(signature.bytes, header, 16);
        std::memcpy(guid.bytes, header + 16, 16);
        const std::uint32_t size = std::uint32_t{header[32]} | std::uint32_t{header[33]} << 8 |
                                   std::uint32_t{header[34]} << 16 | std::uint32_t{header[35]} << 24;
        if (!(signature == _frSignPub) || length - pos - kRSFrameHeaderSize < size) return false;
        ++frames;
        checksumsLast = guid == _frChecksums;
        checksums = checksums || checksumsLast;
        pos += kRSFrameHeaderSize + std::int64_t{size};
    }
    if (!checksums) return header.version != kRSVersionChecksummed;
    if (!checksumsLast) return false;

    rs.OpenFrame(_frChecksums);
    CFrameReader in(rs);
    if (in.Remaining() % kChecksumEntry != 0 || in.Remaining() / kChecksumEntry + 1 != frames) return false;
    std::vector<CRSData::FrameSum> sums(static_cast<std::size_t>(in.Remaining() / kChecksumEntry));
    for (CRSData::FrameSum& sum : sums) {
        in.Read(sum.guid.bytes, sizeof sum.guid.bytes);
        sum.size = in.U32();
        sum.crc = in.U32();
    }
    rs.CloseFrame();
    std::vector<std::uint8_t> piece(CFrameReader::kChunk);
    for (const CRSData::FrameSum& sum : sums) {
        rs.OpenFrame(sum.guid);
        if (rs.GetFrameSize() != sum.size) return false;
        std::uint32_t crc = 0;
        for (std::uint32_t left = sum.size; left > 0;) {
            const auto n = static_cast<unsigned>(std::min<std::size_t>(left, piece.size()));
            rs.ReadCurFrame(piece.data(), n);
            crc = CCRC::RunCRC32(piece.data(), n, kRSCrc32Polynomial, crc);
            left -= n;
        }
        rs.CloseFrame();
        if (crc != sum.crc) return false;
    }
    return true;
}

// ---- replay -------------------------------------------------------------------

namespace {

using SaveRestoreResult::RestoreFileNode;
using SaveRestoreResult::RestoreSystemNode;
using SaveRestoreResult::CNodeData;
using SaveRestoreResult::CNodeExtra;

bool Continued(IProgress* progress) { return !progress || progress->Continued() != 0; }

// Frames a later save added: a file without one is an older save.
bool OpenIfPresent(IRSData& rs, const tagGUIDSIGN& guid) {
    try {
        return rs.OpenFrame(guid);
    } catch (const CRSException& e) {
        if (e.GetErrorcode() == RS_ERROR_FRAME_NOT_FOUND) return false;
        throw;
    }
}

// What a replay carries from one root block to the next.
struct ReplayState {
    bool tookOne = false;
    std::uint64_t ordinal = 0;
    // Searcher types whose trees took blocks without nodes and were not built
    // since: a root of many volumes writes blocks of partitions only ahead of
    // its nodes, and a tree built before its nodes would not mark its trash.
    std::set<int> unbuilt;
    // Files whose partition index names none of their type's records.
    std::uint64_t unplaced = 0;
    // Per searcher type, the partition indexes of records whose volume is
    // not the one scanned.
    std::map<int, std::set<std::uint16_t>> otherVolumes;
};

// The partition indexes a file of the type may name; none when the writers
// take the only record whatever the file names.
std::optional<std::unordered_set<std::uint16_t>> PlacesOf(const std::vector<CSearchedPartitionInfo*>& records) {
    if (records.size() < 2) return std::nullopt;
    std::unordered_set<std::uint16_t> places;
    for (const CSearchedPartitionInfo* r : records)
        if (r) places.insert(r->m_partitionIndex);
    return places;
}

// False when the user stopped the load inside the root.
bool ReplayRoot(CFrameReader& in, std::uint64_t position, ReplayState& state, const CNodeData& nodeData,
                IDirecotryTreeBuilder& builder, IProgress* progress, const ReplayTarget& target,
                CRestoredPartitions& partitions, CSavedVolumeCache* cache, CProgressSteps* steps,
                const ReplayVolumeCheck* volumes) {
    CVolumeTally* tally = volumes ? volumes->tally : nullptr;
    bool& tookOne = state.tookOne;
    std::uint64_t& ordinal = state.ordinal;
    if (in.U32() != kRootMarker) throw CSavedScanDamage{"a root without its marker"};
    const std::unique_ptr<RestoreSystemNode> root = RestoreSystemNode::ReadSystemNode(in);
    const int type = root->GetStoredSearcherType();
    const auto searcher = static_cast<_tagSearcherType>(type);
    bool match = target.wholeDisk || root->GetStoredVolumeName() == target.volumeName;
    if (match && !target.wholeDisk && target.quickSearcherType != 0) {
        match = !tookOne && type == target.quickSearcherType && !(target.taken && target.taken->count(position));
        if (match) {
            tookOne = true;
            if (target.taken) target.taken->insert(position);
        }
    }
    partitions.List(type); // a type seen gets its list, also an empty one
    if (match) {
        builder.AddSearcherInfo(searcher, root->GetCurrentNodeID());
        if (steps) steps->Step(progress);
        if (cache) cache->EnterOnce(type, target.device);
    }

    in.Need(4, "no partition count");
    const std::uint32_t count = in.U32();
    if (count > kMaxPartitions || std::uint64_t{count} * (4 + kPartitionRecordSize) > in.Remaining())
        throw CSavedScanDamage{"a partition count out of range"};
    for (std::uint32_t i = 0; i < count; ++i) {
        if (in.U32() > kMaxPartitionKind) throw CSavedScanDamage{"an unknown partition kind"};
        std::uint8_t bytes[kPartitionRecordSize];
        in.Read(bytes, sizeof bytes);
        auto record = SaveRestoreResult::ReadPartition(bytes);
        if (!record) throw CSavedScanDamage{"a partition record out of range"};
        if (!match) continue;
        std::uint64_t identity = 0;
        const bool known = SaveRestoreResult::ReadPartitionIdentity(bytes, identity);
        const VolumeCheck check = volumes && volumes->check ? volumes->check(*record, known ? &identity : nullptr)
                                                            : VolumeCheck::Unchecked;
        if (check == VolumeCheck::Other) state.otherVolumes[type].insert(record->m_partitionIndex);
        if (tally && check != VolumeCheck::Unchecked) ++(check == VolumeCheck::Same ? tally->same : tally->other);
        if (cache) cache->AddPartition(type, *record);
        partitions.Add(type, std::move(record));
    }
    // A file is read at the place of the record with its partition index;
    // naming none (a save that left records out), it would be read at
    // another volume's: it is listed, and fails when recovered.
    const auto places = match ? PlacesOf(partitions.List(type)) : std::nullopt;
    // Another volume where the scanned one was: what the save says of its
    // files would be read from that volume's bytes. With one record the
    // writers read every file of the type there.
    const auto other = state.otherVolumes.find(type);
    const bool otherVolume = match && other != state.otherVolumes.end();
    const bool allOther = otherVolume && partitions.List(type).size() < 2;

    // A save writes a folder before its children: a parent not met yet is
    // damage (unless the tree has the builder's folder of lost files, id -1,
    // whose files keep the ids of the parents that were never found). A file
    // larger than the device is not: a cut image holds such files, and its
    // scan lists them as this load must.
    std::unordered_set<long long> ids{root->GetCurrentNodeID()};
    bool lostFolder = false, nodes = false;
    for (;;) {
        const std::uint32_t marker = in.U32();
        if (marker == kEndMarker) break;
        if (marker != kNodeMarker) throw CSavedScanDamage{"an unknown node marker"};
        if (!Continued(progress)) return false;
        std::unique_ptr<RestoreFileNode> node(RestoreFileNode::ReadFileNode(in, nullptr));
        if (const CNodeExtra* extra = nodeData.Find(ordinal)) CNodeData::Apply(*extra, *node);
        ++ordinal;
        if (!lostFolder && !ids.count(node->GetParentNodeID()))
            throw CSavedScanDamage{"a node whose parent was not saved"};
        ids.insert(node->GetCurrentNodeID());
        lostFolder = lostFolder || (node->GetCurrentNodeID() == -1 && node->IsDirectory() &&
                                    node->GetParentNodeID() == root->GetCurrentNodeID());
        if (places && !node->IsDirectory() && !places->count(node->GetBelongedPartition())) {
            node->Unplace();
            ++state.unplaced;
        } else if (otherVolume && !node->IsDirectory() &&
                   (allOther || other->second.count(node->GetBelongedPartition()))) {
            node->Unplace();
            if (tally) ++tally->unvouched;
        }
        nodes = true;
        if (match && builder.AddNode(node.get(), searcher)) node.release();
        if (steps) steps->Step(progress);
    }
    if (!match) return true;
    if (nodes) {
        builder.FlashBuild(searcher);
        state.unbuilt.erase(type);
    } else {
        state.unbuilt.insert(type);
    }
    return true;
}

} // namespace

std::uint32_t ReplayFileSystemNode(IRSData& rs, IDirecotryTreeBuilder& builder, IProgress* progress,
                                   const ReplayTarget& target, CRestoredPartitions& partitions,
                                   CSavedVolumeCache* cache, CProgressSteps* steps,
                                   const ReplayVolumeCheck* volumes) {
    std::uint32_t code = SAVED_OK;
    try {
        partitions.ClearMapCell();
        CNodeData nodeData;
        if (OpenIfPresent(rs, _frNodeData)) {
            CFrameReader in(rs);
            nodeData.Read(in);
            rs.CloseFrame();
        }
        if (!rs.OpenFrame(_frFileSystemNode)) return SAVED_DAMAGED;
        CFrameReader in(rs);
        in.Need(8, "no root count");
        const std::uint64_t roots = in.U64();
        if (roots > in.Remaining() / kMinRootBlock) throw CSavedScanDamage{"a root count out of range"};
        if (steps) steps->Step(progress);
        bool whole = true;
        ReplayState state;
        for (std::uint64_t i = 0; i < roots && whole; ++i)
            whole = Continued(progress) &&
                    ReplayRoot(in, i, state, nodeData, builder, progress, target, partitions, cache, steps, volumes);
        for (int type : state.unbuilt) builder.FlashBuild(static_cast<_tagSearcherType>(type));
        if (state.unplaced)
            CatchExeception::WriteLog("saved scan: %llu files name a partition the save does not hold\n",
                                      static_cast<unsigned long long>(state.unplaced));
        const std::uint64_t ordinal = state.ordinal;
        // A save writes nothing after its last root.
        if (whole && in.Remaining() != 0) throw CSavedScanDamage{"bytes after the last root"};
        if (whole && nodeData.End() > ordinal) throw CSavedScanDamage{"node data of no node"};
    } catch (const CSavedScanDamage& damage) {
        CatchExeception::WriteLog("saved scan refused: %s\n", damage.what);
        code = SAVED_DAMAGED;
    } catch (const CRSException& e) {
        CatchExeception::WriteLog("saved scan refused: container error %u\n", static_cast<unsigned>(e.GetErrorcode()));
        code = SAVED_DAMAGED;
    } catch (const std::bad_alloc&) {
        CatchExeception::WriteLog("saved scan refused: out of memory\n");
        code = SAVED_DAMAGED;
    }
    try {
        rs.CloseFrame();
    } catch (const CRSException&) {
    }
    return code;
}
