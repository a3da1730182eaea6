#include "savedscan/SavedScanReplay.h"

#include "engine/include/DataRecovery.h"
#include "engine/include/EngineTypes.h"
#include "engine/include/Owned.h"
#include "engine/include/StorageDevice.h"
#include "engine/utility/CatchExeception.h"
#include "savedscan/CRC.h"
#include "savedscan/RSData.h"
#include "savedscan/RestoreFileNode.h"
#include "savedscan/StdFile.h"

#include <algorithm>
#include <climits>
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

// ---- what vouches for a volume -----------------------------------------------------

bool CMarkSampler::Offer(IFileNode* node) {
    auto* c = dynamic_cast<CFileNode*>(node);
    IDataRunList* runs = c ? c->GetDataRunList() : nullptr;
    if (!runs || runs->IsResident() || node->IsDirectory() || node->GetFileSize() <= 0 || c->IsCompressed())
        return false;
    Picked& picked = m_picked[m_oneRecord ? std::uint16_t{0} : c->GetBelongedPartition()];
    std::vector<IFileNode*>& list = node->IsDeleted() ? picked.deleted : picked.live;
    if (list.size() >= kMarkSamples) return false;
    list.push_back(node);
    return true;
}

std::vector<IFileNode*> CMarkSampler::Files(std::uint16_t partitionIndex, std::size_t count) const {
    const auto it = m_picked.find(m_oneRecord ? std::uint16_t{0} : partitionIndex);
    if (it == m_picked.end()) return {};
    std::vector<IFileNode*> files = it->second.live;
    if (files.size() > count) files.resize(count);
    for (IFileNode* node : it->second.deleted)
        if (files.size() < count) files.push_back(node);
    return files;
}

std::uint16_t FirstSectorMark(IDataRecovery& writer, IFileNode* node) {
    constexpr unsigned kSector = 512;
    const Owned<IFileReader> reader(writer.SetRecoverNode(node));
    const long long size = node ? node->GetFileSize() : 0;
    if (!reader || size <= 0) return 0;
    std::uint8_t bytes[kSector];
    const auto want = static_cast<unsigned>(std::min<long long>(size, kSector));
    int error = 0;
    const unsigned got = reader->ReadData(0, reinterpret_cast<char*>(bytes), want, &error);
    if (got != want || error != 0) return 0;
    if (std::all_of(bytes, bytes + got, [&](std::uint8_t b) { return b == bytes[0]; })) return 0;
    std::uint64_t hash = 0xCBF29CE484222325ULL; // FNV-1a
    for (unsigned i = 0; i < got; ++i) hash = (hash ^ bytes[i]) * 0x100000001B3ULL;
    const auto mark = static_cast<std::uint16_t>(hash ^ (hash >> 16) ^ (hash >> 32) ^ (hash >> 48));
    return mark ? mark : 1;
}

namespace {

// FNV-1a of node's first, middle and last sectors as writer reads them
// (files of one program or one picture size begin alike; their middles and
// ends do not); varied: they hold more than one byte value. False when they
// cannot be read.
// hashing false: the reads alone, as they would be made.
bool HashSampledSectors(IFileReader* reader, long long size, std::uint64_t& hash, bool& varied, bool hashing = true) {
    constexpr long long kSector = 512;
    if (!reader || size <= 0) return false;
    hash = 0xCBF29CE484222325ULL;
    varied = false;
    std::uint8_t first = 0;
    const long long middle = size / 2 / kSector * kSector;
    const long long last = std::max(0LL, size - kSector);
    long long done = -1;
    for (const long long at : {0LL, middle, last}) {
        if (at <= done) continue;
        std::uint8_t bytes[kSector];
        const auto want = static_cast<unsigned>(std::min(size - at, kSector));
        int error = 0;
        if (reader->ReadData(at, reinterpret_cast<char*>(bytes), want, &error) != want || error != 0) return false;
        done = at;
        if (!hashing) continue;
        if (at == 0) first = bytes[0];
        for (unsigned i = 0; i < want; ++i) {
            varied = varied || bytes[i] != first;
            hash = (hash ^ bytes[i]) * 0x100000001B3ULL;
        }
    }
    return true;
}

} // namespace

std::uint8_t SampleMark(IDataRecovery& writer, IFileNode* node) {
    std::uint64_t hash = 0;
    bool varied = false;
    const Owned<IFileReader> reader(writer.SetRecoverNode(node));
    // An erased or zeroed file is on every device alike.
    if (!HashSampledSectors(reader.get(), node ? node->GetFileSize() : 0, hash, varied) || !varied) return 0;
    for (int shift = 32; shift >= 8; shift /= 2) hash ^= hash >> shift;
    const auto mark = static_cast<std::uint8_t>(hash);
    return mark ? mark : 1;
}

std::uint32_t ContentMark(IDataRecovery& writer, IFileNode* node) {
    const Owned<IFileReader> reader(writer.SetRecoverNode(node));
    return ContentMarkOf(reader.get(), node ? node->GetFileSize() : 0);
}

void ContentMarkReads(IFileReader* reader, long long size) {
    std::uint64_t hash = 0;
    bool varied = false;
    HashSampledSectors(reader, size, hash, varied, false);
}

bool WhollySampled(IFileNode& node) {
    // First, middle and last 512 bytes: together all of a file of three.
    const long long size = node.GetFileSize();
    return size > 0 && size <= 3 * 512;
}

std::uint32_t ContentMarkOf(IFileReader* reader, long long size) {
    std::uint64_t hash = 0;
    bool varied = false;
    if (!HashSampledSectors(reader, size, hash, varied)) return 0;
    const auto mark = static_cast<std::uint32_t>(hash ^ (hash >> 32));
    return mark ? mark : 1;
}

VolumeCheck JudgeMarks(const SaveRestoreResult::VolumeMark& mark, const std::vector<std::uint16_t>& now,
                       std::vector<bool>* differ) {
    using SaveRestoreResult::VolumeMark;
    const bool samples = mark.kind == VolumeMark::Kind::Samples;
    const std::size_t count = samples ? kMarkSamples : kMarkFiles;
    if (differ) differ->assign(count, false);
    std::size_t saved = 0, same = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint16_t was = samples ? mark.samples[i] : mark.files[i];
        if (was == 0) continue;
        ++saved;
        const bool equal = i < now.size() && now[i] == was;
        same += equal ? 1 : 0;
        if (differ) (*differ)[i] = !equal;
    }
    if (saved == 0) return VolumeCheck::Unchecked;
    return 2 * same >= saved ? VolumeCheck::Same : VolumeCheck::Other;
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
using SaveRestoreResult::VolumeMark;

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
    // Per searcher type, records whose volume is judged by their files, once
    // the nodes of their root are read.
    struct ByFiles {
        std::uint16_t index;
        VolumeMark mark;
        VolumeCheck check; // what the record alone told
    };
    std::map<int, std::vector<ByFiles>> byFiles;
    // Sampled files whose bytes are not as saved, on a volume that is.
    std::unordered_set<const IFileNode*> unvouched;
    // Device sectors of volumes whose marks say they are not the ones
    // scanned: what lies there now is another volume's, whichever file of
    // the scan the save places there.
    std::vector<OtherSectors> otherSectors;
};

// A volume of a file system, as a mark tells: its sectors are its own.
bool FileSystemKind(unsigned kind) {
    return kind == FS_FAT12 || kind == FS_FAT16 || kind == FS_FAT32 || kind == FS_NTFS || kind == FS_EXFAT ||
           kind == FS_HFSPLUS || kind == FS_APFS;
}

// The sectors of a record whose mark said its volume is another one.
void AddOtherSectors(ReplayState& state, std::uint64_t position, const CSearchedPartitionInfo& record,
                     const VolumeMark& mark) {
    if (mark.kind == VolumeMark::Kind::None || !FileSystemKind(record.m_fileSystemType) || record.m_startSector < 0 ||
        record.m_totalSectors == 0 || record.m_totalSectors > static_cast<unsigned long long>(LLONG_MAX))
        return;
    const long long start = record.m_startSector;
    const long long total = static_cast<long long>(record.m_totalSectors);
    state.otherSectors.push_back({position, start, total > LLONG_MAX - start ? LLONG_MAX : start + total});
}

// The partition indexes a file of the type may name; none when the writers
// take the only record whatever the file names.
std::optional<std::unordered_set<std::uint16_t>> PlacesOf(const std::vector<CSearchedPartitionInfo*>& records) {
    if (records.size() < 2) return std::nullopt;
    std::unordered_set<std::uint16_t> places;
    for (const CSearchedPartitionInfo* r : records)
        if (r) places.insert(r->m_partitionIndex);
    return places;
}

void Tally(CVolumeTally* tally, VolumeCheck check) {
    if (tally && check != VolumeCheck::Unchecked) ++(check == VolumeCheck::Same ? tally->same : tally->other);
}

// The records of the type judged by their files: at least half of the files
// sampled must read as saved. Those that do not join the other volumes.
void JudgeByFiles(ReplayState& state, std::uint64_t position, int type,
                  const std::vector<std::unique_ptr<RestoreFileNode>>& nodes, CRestoredPartitions& partitions,
                  const ReplayVolumeCheck* volumes) {
    const auto pending = state.byFiles.find(type);
    if (pending == state.byFiles.end()) return;
    CMarkSampler sampler(partitions.List(type).size() < 2);
    for (const auto& node : nodes) sampler.Offer(node.get());
    for (const auto& [index, mark, alone] : pending->second) {
        const bool samples = mark.kind == VolumeMark::Kind::Samples;
        const std::vector<IFileNode*> files = sampler.Files(index, samples ? kMarkSamples : kMarkFiles);
        VolumeCheck check = alone;
        if (mark.kind == VolumeMark::Kind::Files || samples) {
            std::vector<std::uint16_t> now;
            if (volumes && volumes->fileMarks && !files.empty())
                now = volumes->fileMarks(partitions.List(type), files, mark.kind);
            std::vector<bool> differ;
            check = JudgeMarks(mark, now, &differ);
            if (check == VolumeCheck::Unchecked) check = VolumeCheck::Other;
            // A device that holds some of the files scanned is not the one
            // scanned for the others: those sampled otherwise fail.
            if (samples && check == VolumeCheck::Same)
                for (std::size_t i = 0; i < files.size() && i < differ.size(); ++i)
                    if (differ[i]) state.unvouched.insert(files[i]);
        } else if (volumes && volumes->filesHeld) {
            const CSearchedPartitionInfo* record = nullptr;
            for (const CSearchedPartitionInfo* r : partitions.List(type))
                if (r && r->m_partitionIndex == index && !record) record = r;
            if (record) check = volumes->filesHeld(*record, files, alone);
        }
        if (check == VolumeCheck::Other) {
            state.otherVolumes[type].insert(index);
            for (const CSearchedPartitionInfo* r : partitions.List(type))
                if (r && r->m_partitionIndex == index) AddOtherSectors(state, position, *r, mark);
        }
        Tally(volumes ? volumes->tally : nullptr, check);
    }
    state.byFiles.erase(pending);
}

// A record whose volume is not found at its place: moved by the first of
// moves that puts it on a volume whose boot sector is the one saved (a
// table that went or changed, a volume copied elsewhere). What the record
// told stays where none does.
VolumeCheck MoveToVolume(CSearchedPartitionInfo& record, const VolumeMark& mark, VolumeCheck check,
                         const std::vector<long long>& moves, const ReplayVolumeCheck& volumes) {
    if (mark.kind == VolumeMark::Kind::None || mark.identity == 0) return check;
    for (const long long by : moves) {
        if (by == 0 || (by > 0 && record.m_startSector > LLONG_MAX - by) || record.m_startSector + by < 0 ||
            (by > 0 ? record.m_clusterOrigin > LLONG_MAX - by : record.m_clusterOrigin < LLONG_MIN - by))
            continue;
        CSearchedPartitionInfo moved(record);
        moved.m_startSector += by;
        moved.m_clusterOrigin += by;
        if (volumes.check(moved, mark) != VolumeCheck::Same) continue;
        record = moved;
        return VolumeCheck::Same;
    }
    return check;
}

// False when the user stopped the load inside the root.
bool ReplayRoot(CFrameReader& in, std::uint64_t position, ReplayState& state, const CNodeData& nodeData,
                IDirecotryTreeBuilder& builder, IProgress* progress, const ReplayTarget& target,
                CRestoredPartitions& partitions, CSavedVolumeCache* cache, CProgressSteps* steps,
                const ReplayVolumeCheck* volumes) {
    CVolumeTally* tally = volumes ? volumes->tally : nullptr;
    std::uint64_t& ordinal = state.ordinal;
    if (in.U32() != kRootMarker) throw CSavedScanDamage{"a root without its marker"};
    const std::unique_ptr<RestoreSystemNode> root = RestoreSystemNode::ReadSystemNode(in);
    const int type = root->GetStoredSearcherType();
    const auto searcher = static_cast<_tagSearcherType>(type);
    const bool ours = position >= target.from && position < target.to;
    const bool match = ours && (target.wholeDisk || (target.pairedOnly ? target.paired == position
                                                                       : root->GetStoredVolumeName() == target.volumeName));
    if (ours) partitions.List(type); // a type seen gets its list, also an empty one
    if (tally && ours) {
        ++tally->roots;
        tally->added += match ? 1 : 0;
        if (match) tally->placed.insert(position);
    }
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
        const VolumeMark mark = SaveRestoreResult::ReadPartitionMark(bytes);
        VolumeCheck check = volumes && volumes->check ? volumes->check(*record, mark) : VolumeCheck::Unchecked;
        if (check != VolumeCheck::Same && volumes && volumes->check && target.moves && FileSystemKind(record->m_fileSystemType))
            check = MoveToVolume(*record, mark, check, target.moves(position, *record), *volumes);
        if (check == VolumeCheck::Other) {
            state.otherVolumes[type].insert(record->m_partitionIndex);
            AddOtherSectors(state, position, *record, mark);
            Tally(tally, check);
        } else if (volumes && (((mark.kind == VolumeMark::Kind::Files || mark.kind == VolumeMark::Kind::Samples) &&
                                mark.HasFiles()) ||
                               (mark.kind == VolumeMark::Kind::None && check == VolumeCheck::Same))) {
            state.byFiles[type].push_back({record->m_partitionIndex, mark, check});
        } else {
            Tally(tally, check);
        }
        if (cache) cache->AddPartition(type, *record);
        partitions.Add(type, std::move(record));
    }

    // A save writes a folder before its children: a parent not met yet is
    // damage (unless the tree has the builder's folder of lost files, id -1,
    // whose files keep the ids of the parents that were never found). A file
    // larger than the device is not: a cut image holds such files, and its
    // scan lists them as this load must. The nodes are held until the root's
    // end, where the volumes judged by their files are known.
    std::unordered_set<long long> ids{root->GetCurrentNodeID()};
    bool lostFolder = false;
    std::vector<std::unique_ptr<RestoreFileNode>> nodes;
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
        if (match) nodes.push_back(std::move(node));
        if (steps) steps->Step(progress);
    }
    if (!match) return true;
    if (!nodes.empty()) JudgeByFiles(state, position, type, nodes, partitions, volumes);

    // A file is read at the place of the record with its partition index;
    // naming none (a save that left records out), it would be read at
    // another volume's: it is listed, and fails when recovered.
    const auto places = PlacesOf(partitions.List(type));
    // Another volume where the scanned one was: what the save says of its
    // files would be read from that volume's bytes. With one record the
    // writers read every file of the type there.
    const auto other = state.otherVolumes.find(type);
    const bool otherVolume = other != state.otherVolumes.end();
    const bool allOther = otherVolume && partitions.List(type).size() < 2;
    const auto unplaced = [&](RestoreFileNode& node) {
        return places && !node.IsDirectory() && !places->count(node.GetBelongedPartition());
    };
    const auto onOther = [&](RestoreFileNode& node) {
        return otherVolume && !node.IsDirectory() && (allOther || other->second.count(node.GetBelongedPartition()));
    };
    // Each file is read only where its bytes are still the ones scanned: two
    // devices may share a volume (a stick copied, then each used) but not
    // every file of it. (Files that expand themselves are read through the
    // volume the load opens, once they are in their trees: the load's end
    // checks them.)
    if (volumes && volumes->contentMarks) {
        std::vector<IFileNode*> marked;
        for (auto& node : nodes)
            if (node->m_content != 0 && !node->IsDirectory() && !node->IsCompressed() && !unplaced(*node) &&
                !onOther(*node) && !state.unvouched.count(node.get()))
                marked.push_back(node.get());
        if (!marked.empty()) {
            const std::vector<std::uint32_t> now = volumes->contentMarks(partitions.List(type), marked);
            for (std::size_t i = 0; i < marked.size() && i < now.size(); ++i)
                if (now[i] != static_cast<RestoreFileNode*>(marked[i])->m_content) state.unvouched.insert(marked[i]);
        }
    }
    for (auto& node : nodes) {
        if (unplaced(*node)) {
            node->Unplace();
            ++state.unplaced;
        } else if (onOther(*node) || state.unvouched.count(node.get())) {
            node->Unplace();
            if (tally) ++tally->unvouched;
        }
        if (builder.AddNode(node.get(), searcher)) node.release();
    }
    if (!nodes.empty()) {
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
        if (whole && volumes && volumes->replayed) volumes->replayed(state.otherSectors);
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

LaidVolumes ReadLaidVolumes(IRSData& rs) {
    LaidVolumes laid;
    if (!OpenIfPresent(rs, _frVolumes)) return laid;
    laid.present = true;
    CFrameReader in(rs);
    in.Need(4, "no volume count");
    const std::uint32_t volumes = in.U32();
    if (volumes > kMaxLaidVolumes || std::uint64_t{volumes} * 16 > in.Remaining())
        throw CSavedScanDamage{"a volume count out of range"};
    for (std::uint32_t i = 0; i < volumes; ++i) {
        const auto start = static_cast<long long>(in.U64());
        const std::uint64_t sectors = in.U64();
        if (start < 0 || sectors > static_cast<std::uint64_t>(LLONG_MAX - start))
            throw CSavedScanDamage{"a volume out of range"};
        laid.volumes.emplace_back(start, sectors);
    }
    in.Need(4, "no root block count");
    const std::uint32_t blocks = in.U32();
    if (std::uint64_t{blocks} * 8 != in.Remaining()) throw CSavedScanDamage{"a root block count out of range"};
    for (std::uint32_t i = 0; i < blocks; ++i) {
        const auto start = static_cast<long long>(in.U64());
        if (start < -1) throw CSavedScanDamage{"a root block's start out of range"};
        laid.blocks.push_back(start);
    }
    rs.CloseFrame();
    return laid;
}

std::vector<SavedRootSummary> ListSavedRoots(IRSData& rs) {
    std::vector<SavedRootSummary> roots;
    // Sampled files are read as the replay reads them: with their
    // initialized sizes.
    CNodeData nodeData;
    if (OpenIfPresent(rs, _frNodeData)) {
        CFrameReader in(rs);
        nodeData.Read(in);
        rs.CloseFrame();
    }
    std::uint64_t ordinal = 0;
    if (!rs.OpenFrame(_frFileSystemNode)) throw CSavedScanDamage{"no FileSystemNode frame"};
    CFrameReader in(rs);
    in.Need(8, "no root count");
    const std::uint64_t count = in.U64();
    if (count > in.Remaining() / kMinRootBlock) throw CSavedScanDamage{"a root count out of range"};
    for (std::uint64_t i = 0; i < count; ++i) {
        if (in.U32() != kRootMarker) throw CSavedScanDamage{"a root without its marker"};
        const std::unique_ptr<RestoreSystemNode> root = RestoreSystemNode::ReadSystemNode(in);
        SavedRootSummary summary;
        summary.position = i;
        summary.type = root->GetStoredSearcherType();
        summary.volumeName = root->GetStoredVolumeName();
        in.Need(4, "no partition count");
        const std::uint32_t records = in.U32();
        if (records > kMaxPartitions || std::uint64_t{records} * (4 + kPartitionRecordSize) > in.Remaining())
            throw CSavedScanDamage{"a partition count out of range"};
        for (std::uint32_t r = 0; r < records; ++r) {
            if (in.U32() > kMaxPartitionKind) throw CSavedScanDamage{"an unknown partition kind"};
            std::uint8_t bytes[kPartitionRecordSize];
            in.Read(bytes, sizeof bytes);
            std::shared_ptr<const CSearchedPartitionInfo> record = SaveRestoreResult::ReadPartition(bytes);
            if (!record) throw CSavedScanDamage{"a partition record out of range"};
            summary.records.push_back(std::move(record));
            summary.marks.push_back(SaveRestoreResult::ReadPartitionMark(bytes));
        }
        CMarkSampler sampler(summary.records.size() < 2);
        for (std::uint32_t marker = in.U32(); marker != kEndMarker; marker = in.U32()) {
            if (marker != kNodeMarker) throw CSavedScanDamage{"an unknown node marker"};
            std::shared_ptr<RestoreFileNode> node(RestoreFileNode::ReadFileNode(in, nullptr));
            if (const CNodeExtra* extra = nodeData.Find(ordinal)) CNodeData::Apply(*extra, *node);
            ++ordinal;
            if (sampler.Offer(node.get())) summary.kept.push_back(std::move(node));
        }
        for (const auto& record : summary.records)
            summary.files.push_back(sampler.Files(record->m_partitionIndex, kMarkSamples));
        roots.push_back(std::move(summary));
    }
    return roots;
}
