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
#include <set>
#include <string>
#include <vector>

class CSavedVolumeCache;
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
    // The device is another one: some volume was checked, none was the same.
    bool OtherDevice() const { return other > 0 && same == 0; }
};

// Which saved roots a replay adds: all of them for a whole disk, else those
// whose volume name equals the device's.
struct ReplayTarget {
    bool wholeDisk = false;
    std::string volumeName;
    IStorageDevice* device = nullptr; // for the volumes a root's file system keeps open
    // A quick scan's volume takes one root, of its own searcher type, that no
    // earlier volume of the same load took: volumes without a label all
    // carry the same fallback name.
    int quickSearcherType = 0; // 0: every matching root
    std::set<std::uint64_t>* taken = nullptr; // root positions taken so far
};

// How a replay checks the volumes of the roots it adds.
struct ReplayVolumeCheck {
    // Asked for each partition record of a root added, with the identity the
    // save holds for its volume (null for a save without one). The files of
    // a record whose volume is another are listed and fail when recovered.
    std::function<VolumeCheck(const CSearchedPartitionInfo&, const std::uint64_t* savedIdentity)> check;
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
