#pragma once
// What the whole-scan fuzz targets share: a device over the fuzzer's bytes,
// a tree builder clock that never sleeps, sinks that keep what a scan shows,
// and a pass that reads (and writes) every shown file through the writer.
#include "engine/include/DataRecovery.h"
#include "engine/include/DeviceRecords.h"
#include "engine/include/RecoveryController.h"
#include "engine/include/RecoveryFilter.h"
#include "engine/include/StorageDevice.h"
#include "engine/tree/DirectoryTreeBuilder.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace salvor::fuzz {

// A read-only device over a byte buffer (borrowed). Whole sectors only: the
// bytes past the last whole sector are not part of the device.
class MemoryDevice : public IStorageDevice {
public:
    MemoryDevice(std::span<const std::uint8_t> bytes, unsigned sectorSize, int type);
    ~MemoryDevice() override;

    int Open(char*) override { return 1; }
    int Close() override { return 1; }
    int ReadSector(void* buffer, long long firstSector, long long count) override;
    unsigned GetSectorSize() override { return m_sectorSize; }
    unsigned long long GetTotalSectors() override { return m_totalSectors; }
    ResultCode IOCtl(unsigned long long, void*) override { return 0; }
    IStorageDeviceData* GetPrivateData() override { return m_data.get(); }
    void SetPrivateData(IStorageDeviceData* data) override { m_data.reset(data); }
    int GetType() override { return m_type; }
    ResultCode GetLastError() override { return m_lastError; }

    // Attaches a volume record naming the file-system kind (quick scans pick
    // their searcher from it).
    void SetVolumeKind(unsigned kind);

private:
    std::span<const std::uint8_t> m_bytes;
    unsigned m_sectorSize;
    unsigned long long m_totalSectors;
    int m_type;
    std::unique_ptr<IStorageDeviceData> m_data;
    ResultCode m_lastError = 0;
};

class NoSleepClock : public ITreeBuilderClock {
public:
    long long NowSeconds() override { return m_now += 4; }
    void SleepSeconds(unsigned) override {}

private:
    long long m_now = 0;
};

class Progress : public IProgress {
public:
    void UpdateProgress(_PROGRESS_INFO* info) override;
    int Continued() override { return 1; }
    int shouldBuild() override { return 1; }

    unsigned finished = 0;
};

// Keeps every shown node and root; checks what the tree hands out.
class Tree : public IDrirectoryTree {
public:
    void ShowNodes(IFileNode** nodes, unsigned count, int lostBatch) override;
    int ShowFilesystemNode(IFilesystemNode* root) override;

    std::vector<IFileNode*> nodes;
    std::vector<IFilesystemNode*> roots;
};

template <typename T>
struct Releaser {
    void operator()(T* p) const {
        if (p) p->Release();
    }
};

// One scan through a controller: filter, controller with the no-sleep
// builder, progress and node sinks.
struct Scan {
    Scan(_RECOVERY_CONTROLLER_TYPE type, _SCAN_TYPE scanType);
    ResultCode Run(IStorageDevice* device);
    // Reads every shown file through the controller's writer for the
    // searcher type; a bounded number are also written to a scratch file.
    void ReadFiles(_tagSearcherType type);

    NoSleepClock clock;
    Progress progress;
    Tree tree;
    std::unique_ptr<IRecoveryFilter, Releaser<IRecoveryFilter>> filter;
    std::unique_ptr<IRecoveryController, Releaser<IRecoveryController>> controller;
};

// Runs fill once per process (each lambda type has its own flag): the
// factory slots a target needs.
template <typename F>
void Once(F&& fill) {
    static const bool done = (fill(), true);
    (void)done;
}

// Gives every exFAT file entry set in the bytes (at 32-byte steps) the
// checksum it should have, so that a mutated set is not simply refused:
// the checks a checksummed set is spared are fuzzed too. The odd-sized
// inputs of the exFAT targets go through this.
void ResealExfatSets(std::span<std::uint8_t> bytes);

// A sector size from a boot sector's field, 512 when the field is not one.
unsigned SectorSizeOr512(unsigned candidate);

} // namespace salvor::fuzz
