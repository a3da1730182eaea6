#pragma once
// Replays the FileSystemNode frame of a scan-result file into a tree
// builder, and keeps the saved partition records per searcher type for the
// file writers. Also the progress steps that saves and loads report.
#include "engine/include/Progress.h"
#include "engine/include/SearchInterfaces.h"
#include "engine/include/SearchedPartitionInfo.h"
#include "savedscan/IRSData.h"
#include "savedscan/SavedScanFormat.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

class CSavedVolumeCache;
class IDataRecovery;
class IFileReader;
class IFileNode;
class IStorageDevice;

// The progress of one save or load: 5 at the start, one point per second at
// most, never beyond total − 2 before the end, total at the end.
class CProgressSteps {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kStepInterval{1000};

    void Start(IProgress* sink);
    // Reports only when a step interval has passed since the last report.
    void Step(IProgress* sink);
    void Finish(IProgress* sink);
    // A fresh finished record carrying the error code.
    static void TipError(IProgress* sink, std::uint32_t code);

    const _PROGRESS_INFO& Record() const { return m_record; }

private:
    _PROGRESS_INFO m_record = MakeProgress(PROGRESS_RUNNING, 100, 5);
    Clock::time_point m_last{};
};

// The saved partition records per searcher type (owned).
class CRestoredPartitions {
public:
    ~CRestoredPartitions() { ClearMapCell(); }
    std::vector<CSearchedPartitionInfo*>& List(int type) { return m_lists[type]; }
    void Add(int type, std::unique_ptr<CSearchedPartitionInfo> record) { m_lists[type].push_back(record.release()); }
    int ClearMapCell();
    std::size_t Count() const;

private:
    std::map<int, std::vector<CSearchedPartitionInfo*>> m_lists;
};

// Whether a saved partition's volume is the one the device holds now.
enum class VolumeCheck { Unchecked, Same, Other };

// The answers of one load, over every replay of it.
struct CVolumeTally {
    std::uint64_t same = 0, other = 0;
    // Files left with nothing to read: their volume is not the one scanned.
    std::uint64_t unvouched = 0;
    // Saved roots read, and those added: a device none of whose volumes
    // takes any root is not the one scanned.
    std::uint64_t roots = 0, added = 0;
    // The saved roots some volume of the device took, by position: a device
    // that holds one of the volumes scanned but not another (an old table
    // over the same first volume) holds less of the scan.
    std::set<std::uint64_t> placed;
    // The device is another one: some volume was checked, none was the same.
    bool OtherDevice() const { return (other > 0 && same == 0) || (roots > 0 && added == 0); }
    // Nothing read here is another volume's: no device can hold more.
    bool Whole() const { return other == 0 && unvouched == 0; }
    // Holds more of the scan than o: fewer files left unread, then more
    // volumes the same, fewer others.
    bool Better(const CVolumeTally& o) const {
        if (unvouched != o.unvouched) return unvouched < o.unvouched;
        if (same != o.same) return same > o.same;
        if (placed.size() != o.placed.size()) return placed.size() > o.placed.size();
        return other < o.other;
    }
};

// The files whose first sectors vouch for a partition record's volume, the
// same on saving and on loading: offered in save order (breadth first, as the
// nodes are written), of the files of the record (every file of the root
// when it has one record, else those naming its partition index) the first
// kMarkFiles live ones, then deleted ones where live ones are too few. Only
// files read from runs on the device count (no folder, no empty, resident or
// compressed file).
class CMarkSampler {
public:
    explicit CMarkSampler(bool oneRecord) : m_oneRecord(oneRecord) {}
    // True when the node is among those picked.
    bool Offer(IFileNode* node);
    // The first count picked (kMarkFiles for the first marks, kMarkSamples
    // for Samples marks).
    std::vector<IFileNode*> Files(std::uint16_t partitionIndex, std::size_t count = kMarkFiles) const;

private:
    struct Picked {
        std::vector<IFileNode*> live, deleted;
    };
    bool m_oneRecord;
    std::map<std::uint16_t, Picked> m_picked;
};

// 16 bits of the bytes of node's first sector as writer reads them (never
// 0); 0 when they cannot be read or hold one byte value only (an erased or
// zeroed sector is on every device alike).
std::uint16_t FirstSectorMark(IDataRecovery& writer, IFileNode* node);

// 8 bits of the bytes of node's first, middle and last sectors as writer
// reads them (never 0); 0 when they cannot be read or hold one byte value
// only.
std::uint8_t SampleMark(IDataRecovery& writer, IFileNode* node);

// 32 bits of the bytes of node's first, middle and last sectors as writer
// reads them (never 0), zeros and erased bytes too: a file is told from the
// bytes another device holds at its place, not a volume from another; 0 when
// they cannot be read.
std::uint32_t ContentMark(IDataRecovery& writer, IFileNode* node);
// The same of the file of size bytes that reader reads (0 without one).
std::uint32_t ContentMarkOf(IFileReader* reader, long long size);
// The reads ContentMarkOf makes, without the mark.
void ContentMarkReads(IFileReader* reader, long long size);
// Whether the sectors ContentMark reads hold every byte of node: a file
// whose mark is as saved then holds the bytes scanned, wherever it lies.
bool WhollySampled(IFileNode& node);

// A Files or Samples mark against what the sampled files read now (now[i]
// for the mark's i-th file): Same when at least half of the files that
// vouched on saving read as saved, Other when fewer, Unchecked when none
// vouched. differ, when given, gets per file whether it vouched and reads
// otherwise.
VolumeCheck JudgeMarks(const SaveRestoreResult::VolumeMark& mark, const std::vector<std::uint16_t>& now,
                       std::vector<bool>* differ);

// Which saved roots a replay adds: all of them for a whole disk, else those
// whose volume name equals the device's.
struct ReplayTarget {
    bool wholeDisk = false;
    std::string volumeName;
    IStorageDevice* device = nullptr; // for the volumes a root's file system keeps open
    // A quick scan's volume takes the one root its load paired it with (by
    // what the roots' records say of their volumes, not by their order:
    // volumes without a label all carry the same fallback name, and one
    // without files has no root), or none.
    bool pairedOnly = false;
    std::optional<std::uint64_t> paired{}; // the root's position
    // Root blocks outside [from, to) are read past: another replay of the
    // same load takes them.
    std::uint64_t from = 0, to = UINT64_MAX;
    // Sectors to add to a root's records (position) that would put them
    // where the volume may lie now: where its volume lay on the scanned disk
    // when the replay reads the whole disk, where the disk now lists a
    // volume. A record is moved only where its volume's own boot sector is
    // found there and not at its own place.
    std::function<std::vector<long long>(std::uint64_t, const CSearchedPartitionInfo&)> moves{};
};

// The sectors [first, end) of a saved volume that is not the one scanned,
// counted as its root block's (position) records count them.
struct OtherSectors {
    std::uint64_t position = 0;
    long long first = 0, end = 0;
};

// How a replay checks the volumes of the roots it adds.
struct ReplayVolumeCheck {
    // Asked for each partition record of a root added, with what the save
    // holds of its volume. The files of a record whose volume is another are
    // listed and fail when recovered.
    std::function<VolumeCheck(const CSearchedPartitionInfo&, const SaveRestoreResult::VolumeMark&)> check;
    // A record whose mark samples its files is the same volume only where at
    // least half of the sampled files' first sectors are as saved: the marks
    // now of nodes read through writers of the records given.
    std::function<std::vector<std::uint16_t>(const std::vector<CSearchedPartitionInfo*>& records,
                                             const std::vector<IFileNode*>& nodes,
                                             SaveRestoreResult::VolumeMark::Kind kind)>
        fileMarks;
    // A record of a save without marks whose volume is of its kind and size
    // is the same only where its sampled files are as its file system's own
    // structures there say (VolumeHoldsFiles); alone: what the record told.
    std::function<VolumeCheck(const CSearchedPartitionInfo& record, const std::vector<IFileNode*>& files,
                              VolumeCheck alone)>
        filesHeld;
    // What files read as now (ContentMark, per node), through a writer of the
    // records given: a file whose bytes are not the ones scanned fails.
    std::function<std::vector<std::uint32_t>(const std::vector<CSearchedPartitionInfo*>& records,
                                             const std::vector<IFileNode*>& nodes)>
        contentMarks;
    // At the replay's end: the sectors of the saved volumes whose marks say
    // they are not the ones scanned. Files whose data lies there read
    // another volume's bytes: the caller, which knows where each replay's
    // device lies and every file placed, takes their places.
    std::function<void(const std::vector<OtherSectors>& others)> replayed;
    CVolumeTally* tally = nullptr;
};

// The frames of the file at path (open in rs) follow one another from the
// header to the file's end, each opened by the signature; with a Checksums
// frame (then the last one) every other frame is listed there and matches
// its size and CRC-32. A file whose header names kRSVersionChecksummed must
// have that frame; older saves may lack it and are then held to the first
// rule only. Container errors pass as CRSException.
bool SavedFramesIntact(IRSData& rs, const char* path);

// Replays the frame. Answers SAVED_OK, or SAVED_DAMAGED when any record,
// count, marker or the frame's end is not as a save writes it (what was
// added until then stays with the builder; the caller shows none of it).
// progress may be null; cache may be null (no volumes are opened); volumes
// may be null (no volume is checked).
std::uint32_t ReplayFileSystemNode(IRSData& rs, IDirecotryTreeBuilder& builder, IProgress* progress,
                                   const ReplayTarget& target, CRestoredPartitions& partitions,
                                   CSavedVolumeCache* cache, CProgressSteps* steps,
                                   const ReplayVolumeCheck* volumes = nullptr);

// One root block of a saved scan as a load pairs it with a volume.
struct SavedRootSummary {
    std::uint64_t position = 0;
    int type = 0;
    std::string volumeName;
    std::vector<std::shared_ptr<const CSearchedPartitionInfo>> records;
    std::vector<SaveRestoreResult::VolumeMark> marks; // one per record
    std::vector<std::vector<IFileNode*>> files;      // per record, its sampled files (CMarkSampler)
    std::vector<std::shared_ptr<IFileNode>> kept;    // the nodes files point to
};

// What a Volumes frame says: the volumes the scanned disk listed, and per
// root block where the volume its records count from starts (-1: the disk).
struct LaidVolumes {
    bool present = false;
    std::vector<std::pair<long long, unsigned long long>> volumes;
    std::vector<long long> blocks;
};

// Reads the Volumes frame (present stays false in saves without one) and
// closes it. Throws CSavedScanDamage for one not as a save writes it, or
// CRSException.
LaidVolumes ReadLaidVolumes(IRSData& rs);

// The root blocks of the FileSystemNode frame, their nodes read past; the
// frame is left open for the caller to close. Throws CSavedScanDamage or
// CRSException as a replay would refuse.
std::vector<SavedRootSummary> ListSavedRoots(IRSData& rs);
