#pragma once
// Saving the scan service's results into a scan-result file and loading one
// back by replaying it through the scan service, each on a detached thread
// of its own that reports to a progress sink; the last report carries the
// outcome (SavedScanCode).
#include "engine/include/Progress.h"
#include "engine/include/RestoreScanSink.h"
#include "savedscan/SavedScanReplay.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class IFileNode;
class IRSData;
class IStorageDevice;

// 0 when the thread was started, -1 for a null path or sink, -2 when no
// thread could be started.
int DoSaveScanResult(const char* path, IProgress* sink);
int DoRestoreScanResult(const char* path, IProgress* sink);

// Hands the two entry points to the services and the file systems' volume
// openers to the loader. The program calls it once before its first window.
void RegisterSavedScan();

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
    std::uint32_t controllerType = 3;
    std::uint32_t deep = 0;
    SavedDisk disk;
    std::vector<IFileNode*> roots;
    // The searched partitions of a root (borrowed records).
    std::function<std::vector<CSearchedPartitionInfo*>(IFileNode* root)> partitions;
    // The resident bytes of a node whose data lives in its record (NTFS),
    // as a recovery would read them now; false when they cannot be read.
    std::function<bool(IFileNode* root, IFileNode* node, std::string& bytes)> resident;
};

// Writes the file. SAVED_OK, SAVED_CANNOT_OPEN, or SAVED_WRITE_FAILED (the
// partial file is removed).
std::uint32_t WriteScanResult(const char* path, const SaveSource& source, IProgress* sink, CProgressSteps& steps);

// The ControllerList and DiskDevice frames.
struct SavedScanHead {
    std::uint32_t controllerType = 3;
    std::uint32_t deep = 0;
    SavedDisk disk;
};

// Opens path in rs and reads the header and the first two frames: SAVED_OK,
// SAVED_CANNOT_OPEN, SAVED_BAD_HEADER, SAVED_BAD_CONTROLLERS,
// SAVED_BAD_DISK_DEVICE, or SAVED_DAMAGED when the frames do not follow each
// other to the file's end or a frame's checksum disagrees.
std::uint32_t ReadScanHead(IRSData& rs, const char* path, SavedScanHead& head, IProgress* sink,
                           CProgressSteps& steps);

// The attached device that matches the saved description: the one at the
// saved indexes when size, file-system type and (when saved) name agree,
// else the first listed disk or volume with the same name, type and size.
IStorageDevice* GetFromDiskVolumeData(const SavedDisk& saved);

// The replay source a load hands to the scan service.
class CRestoreScanSink : public RestoreScanSink {
public:
    // quick: the saved scan was a quick scan (one root per volume).
    CRestoreScanSink(IRSData& rs, CProgressSteps& steps, bool quick) : m_rs(rs), m_steps(steps), m_quick(quick) {}
    int SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder, IProgress* sink, IStorageDevice* device) override;
    std::vector<CSearchedPartitionInfo*>& GetSearchedPartition(int searcherType) override {
        return m_partitions.List(searcherType);
    }
    // SAVED_DAMAGED once any replay refused the file.
    std::uint32_t Result() const { return m_result; }

private:
    IRSData& m_rs;
    CProgressSteps& m_steps;
    bool m_quick;
    CRestoredPartitions m_partitions;
    std::set<std::uint64_t> m_taken;
    std::uint32_t m_result = SAVED_OK;
};

// The pause before a load reads (tests shorten it).
void SetLoadPause(std::chrono::milliseconds pause);

} // namespace SaveRestoreResult
