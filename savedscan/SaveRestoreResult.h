#pragma once
// Saving a scan's results into a scan-result file and loading one back by
// replaying it through a scan, each on a detached thread of its own that
// reports to a progress sink; the last report carries the outcome
// (SavedScanCode). The scan itself is the services': they hand over what a
// save writes (SaveSource) and what a load replays into (RestoreScanTarget),
// so this library knows nothing of them.
#include "engine/include/Progress.h"
#include "engine/include/RestoreScanSink.h"
#include "savedscan/SavedScanReplay.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

class IFileNode;
class IRSData;
class IStorageDevice;
struct CCollectedVolumeDeviceInfoStruct;

namespace SaveRestoreResult {

// The scanned storage as the device list describes it.
struct SavedDisk {
    std::int64_t size = 0;
    std::int32_t diskIndex = -1;
    std::int32_t volumeIndex = -1;
    std::uint32_t fileSystem = 0xFFFFFFFF;
    std::string name;
};

// What a save writes.
struct SaveSource {
    // Keeps the nodes alive and unchanged while they are written.
    std::shared_ptr<const void> hold;
    std::uint32_t controllerType = 3;
    std::uint32_t deep = 0;
    // A deep scan listed beside a quick scan of the same device: the roots
    // from this one on are the quick scan's; -1 when there is none.
    std::int64_t quickRootsFrom = -1;
    // The scan did not finish: the file says so in its header, with how far
    // it got (percent of the device read; below 0 when not known).
    bool unfinished = false;
    double reachedPercent = -1;
    SavedDisk disk;
    std::vector<IFileNode*> roots;
    // The searched partitions of a root (borrowed records).
    std::function<std::vector<CSearchedPartitionInfo*>(IFileNode* root)> partitions;
    // What tells the volume of a root's partition record from another made
    // alike (MakeVolumeMark on the device scanned); false when it cannot be
    // had. Without it records are saved with none.
    std::function<bool(IFileNode* root, const CSearchedPartitionInfo& record, VolumeMark& mark)> identity;
    // The resident bytes of a node whose data lives in its record (NTFS),
    // as a recovery would read them now; false when they cannot be read.
    std::function<bool(IFileNode* root, IFileNode* node, std::string& bytes)> resident;
    // What files of root read as now (ContentMark on the device scanned, per
    // node; 0 where they cannot be read), read as the device lays them out
    // (ReadContentMarks): asked of the files first in save order
    // (kMaxContentMarks), and read while goOn answers true
    // (kContentMarkSeconds); done hears how many of them are read.
    std::function<std::vector<std::uint32_t>(IFileNode* root, const std::vector<IFileNode*>& nodes,
                                             const std::function<bool()>& goOn,
                                             const std::function<void(std::size_t)>& done)>
        content;
    // Told once content has been asked: how many of the files planned to be
    // marked have no mark (unreadable, or not reached in time), of how many.
    std::function<void(std::uint64_t unmarked, std::uint64_t planned)> marked;
    // The volumes the scanned disk lists (start and sectors on it); none for
    // a scanned volume.
    std::vector<std::pair<long long, unsigned long long>> volumes;
    // Where on the scanned disk the volume a root's records count from
    // starts; -1 where they count from the disk's own start.
    std::function<long long(IFileNode* root)> rootStart;
};

// Writes the file beside the one at path under a temporary name and, once
// it is whole and synced, puts it in place. SAVED_OK, SAVED_CANNOT_OPEN, or
// SAVED_WRITE_FAILED, also when sink asks to stop before the end: the
// partial file is removed and a file already at path is left as it was.
// Where no such file can stand in for the one at path (a folder this process
// may not add to, a file with other names, an owner this process cannot
// give), or it cannot take that name, the whole new file is written
// elsewhere first (the file's own folder, TMPDIR, /tmp or memory: the first
// with room for it) and then copied over that file, which keeps its names,
// owner and bits (SAVED_OLD_NOT_KEPT when its old bytes find no place to be
// kept aside meanwhile); a save that fails or is stopped, also during that
// copy, leaves it as it was, and one killed or cut off by a power cut meanwhile
// leaves what the next load puts back (PutBackInterruptedSave). The sink
// hears the bytes written of those expected (the copy counted too); steps
// is not used by a save.
std::uint32_t WriteScanResult(const char* path, const SaveSource& source, IProgress* sink, CProgressSteps& steps);

// The ControllerList and DiskDevice frames.
struct SavedScanHead {
    std::uint32_t controllerType = 3;
    std::uint32_t deep = 0;
    // The root blocks from this one on are a quick scan's, listed beside the
    // deep scan's (-1: none are).
    std::int64_t quickRootsFrom = -1;
    SavedDisk disk;
    // Saved from a scan that did not finish, and how far it got (below 0:
    // the file does not say).
    bool unfinished = false;
    double reachedPercent = -1;
};

// Opens path in rs and reads the header and the first two frames: SAVED_OK,
// SAVED_CANNOT_OPEN, SAVED_BAD_HEADER, SAVED_BAD_CONTROLLERS,
// SAVED_BAD_DISK_DEVICE, or SAVED_DAMAGED when the frames do not follow each
// other to the file's end or a frame's checksum disagrees.
std::uint32_t ReadScanHead(IRSData& rs, const char* path, SavedScanHead& head, IProgress* sink,
                           CProgressSteps& steps);

// Why a record of the old bytes of a save cut short was left where it lies
// (the first reason met), and the record's path: the earlier save's bytes
// stay there.
enum class KeptLeftWhy : std::uint8_t {
    None,
    NotTrusted,   // another user than the save's owner may have written it
    BytesMissing, // its kept bytes are not all on the device (a hole)
    Held,         // a save running now, or a load, holds it
    Damaged,      // its header is damaged
    OtherFile,    // it was kept for another file
    Length,       // the save has a length that no copy over it left
    BytesDamaged, // its kept bytes disagree with their checksum
    NotWritable,  // the save may not be written by this user
    NotPutBack,   // writing the old bytes back failed
};
struct KeptLeft {
    KeptLeftWhy why = KeptLeftWhy::None;
    std::string record;
};

// The scan a load replays into, built by the services. Called on the load's
// thread.
class RestoreScanTarget {
public:
    virtual ~RestoreScanTarget() = default;
    // Before the thread starts (true) and after the load has judged what it
    // read (false): the replayed scan's end is not the load's.
    virtual void HoldEnd(bool hold) = 0;
    // The last results go before the file is read.
    virtual void Clear() = 0;
    // What the file says of the scanned device, before it is looked for.
    virtual void SavedDevice(const SavedDisk&) {}
    // The attached devices that match the saved description, the likeliest
    // first: two cards of one make match alike, and the load takes the one
    // that holds the volumes scanned.
    virtual std::vector<IStorageDevice*> FindDevices(const SavedDisk& saved) = 0;
    // Once a device found did not hold the whole scan: lists the attached
    // devices again, keeping those the replays hold; true when the listing
    // now says otherwise of some device (they are then looked for again).
    // False, listing nothing, where the old devices would not stay.
    virtual bool ListAgain() { return false; }
    virtual bool IsDisk(IStorageDevice* device) = 0;
    // The volume's description in the device list (null when unknown).
    virtual const CCollectedVolumeDeviceInfoStruct* VolumeInfo(IStorageDevice* device) = 0;
    // The volumes listed on the disk that lists volume, volume among them
    // (a quick load pairs each with its saved root).
    virtual std::vector<IStorageDevice*> DiskVolumes(IStorageDevice* volume) = 0;
    // The volumes (start and sectors) listed on the disk that device is or
    // is on.
    virtual std::vector<std::pair<long long, unsigned long long>> VolumeExtents(IStorageDevice*) { return {}; }
    // The volumes listed on the disk that device is or is on.
    virtual std::vector<IStorageDevice*> ListedVolumes(IStorageDevice*) { return {}; }
    // The disk a listed volume is on (null when not known).
    virtual IStorageDevice* DiskOf(IStorageDevice*) { return nullptr; }
    // After a replay, per tree root: the device its files are read from,
    // the records they are read by and its files (nodes the load made).
    struct ReplayedFiles {
        IStorageDevice* device = nullptr;
        std::vector<CSearchedPartitionInfo*> records;
        std::vector<IFileNode*> files;
    };
    virtual std::vector<ReplayedFiles> Replayed() { return {}; }
    // Runs the scan of device with sink as the source of its trees.
    virtual void Replay(IStorageDevice* device, bool deep, RestoreScanSink* sink) = 0;
    // The same for a deep scan, whose trees are listed beside those the
    // quick replay of device just before made.
    virtual void ReplayBesideQuick(IStorageDevice* device, RestoreScanSink* sink) = 0;
    // Before Loaded(true): the file was saved from a scan that did not
    // finish (percent: how far it got, below 0 when not known).
    virtual void Unfinished(double /*percent*/) {}
    // After the replay: a load that failed leaves no results.
    virtual void Loaded(bool ok) = 0;
    // Once per load, after the head is read: why the earlier save kept
    // aside for a save cut short was not put back (None when the load did
    // not fail for it), and where its bytes stay.
    virtual void OldSaveLeft(const KeptLeft&) {}
};

// The replay source a load hands to the scan.
class CRestoreScanSink : public RestoreScanSink {
public:
    // quick: the saved scan was a quick scan (one root per volume).
    CRestoreScanSink(IRSData& rs, CProgressSteps& steps, bool quick, RestoreScanTarget& target)
        : m_rs(rs), m_steps(steps), m_quick(quick), m_target(target) {}
    int SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder, IProgress* sink, IStorageDevice* device) override;
    std::vector<CSearchedPartitionInfo*>& GetSearchedPartition(int searcherType) override {
        return m_partitions.List(searcherType);
    }
    // SAVED_DAMAGED once any replay refused the file; SAVED_NO_DEVICE when
    // the device holds none of the volumes scanned (another made alike), or
    // none of its volumes took any saved root.
    std::uint32_t Result();
    // What the replays found of the volumes scanned.
    const CVolumeTally& Tally() const { return m_volumes; }
    // Every saved root was taken by some volume of the device.
    bool AllPlaced() { return m_volumes.placed.size() >= SavedRoots().size(); }
    // Only the root blocks [from, to) are this replay's (another replay of
    // the same load takes the others); their number.
    void OnlyRoots(std::uint64_t from, std::uint64_t to) {
        m_from = from;
        m_to = to;
    }
    std::size_t RootCount() { return SavedRoots().size(); }

private:
    // This replay's saved root blocks, read once.
    const std::vector<SavedRootSummary>& SavedRoots();
    // Every saved root block.
    const std::vector<SavedRootSummary>& AllSavedRoots();
    // The saved root a quick scan's volume takes, or none.
    std::optional<std::uint64_t> PairedRoot(IStorageDevice* volume, int searcherType, const std::string& name);
    VolumeCheck Verdict(const SavedRootSummary& root, IStorageDevice* volume);
    // Whether a volume listed now holds one of the volumes scanned, wherever
    // its entry now says it lies (a table changed, not the volume).
    bool HoldsScannedVolume(IStorageDevice* volume);
    // The Volumes frame, read once (absent in older saves).
    const LaidVolumes& Layout();
    // Once every replay of the device has ended: files whose data lies on
    // volumes that are not the ones scanned fail.
    void Settle();

    IRSData& m_rs;
    CProgressSteps& m_steps;
    bool m_quick;
    RestoreScanTarget& m_target;
    CRestoredPartitions m_partitions;
    std::optional<std::vector<SavedRootSummary>> m_allRoots; // read at the first pairing
    std::optional<std::vector<SavedRootSummary>> m_roots;    // those in [m_from, m_to)
    std::uint64_t m_from = 0, m_to = UINT64_MAX;
    std::set<std::uint64_t> m_taken;
    std::map<std::pair<std::uint64_t, IStorageDevice*>, VolumeCheck> m_verdicts;
    std::map<IStorageDevice*, bool> m_holdsScanned;
    CVolumeTally m_volumes;
    std::uint32_t m_result = SAVED_OK;
    std::optional<LaidVolumes> m_laid;
    std::vector<std::pair<long long, long long>> m_otherSectors; // on the disk
    IStorageDevice* m_replayed = nullptr;
    bool m_settled = false;
};

// The pause before a load reads (tests shorten it).
void SetLoadPause(std::chrono::milliseconds pause);
// Whether saves mark files by their bytes (benchmarks weigh what that costs).
void SetContentMarks(bool on);

// What a load does first: where a save over the file at path was cut short
// while it overwrote the old one in place (a kill, a power cut), the old
// save kept aside goes back unless the file is a whole save, and what was
// kept goes. What was kept for another file, damaged, or held by a save
// running now is left alone. True when something kept was dealt with; left,
// when given, learns why a record kept for it was left where one was.
bool PutBackInterruptedSave(const char* path, KeptLeft* left = nullptr);

// The same for everything kept in the user's state folder (at the
// program's start).
void PutBackInterruptedSaves();

} // namespace SaveRestoreResult

// 0 when the thread was started, -1 for a null path or sink (or source or
// target), -2 when no thread could be started. The save calls source on its
// thread; the load owns target until its thread ends.
int DoSaveScanResult(const char* path, IProgress* sink, std::function<SaveRestoreResult::SaveSource()> source);
int DoRestoreScanResult(const char* path, IProgress* sink, std::unique_ptr<SaveRestoreResult::RestoreScanTarget> target);
