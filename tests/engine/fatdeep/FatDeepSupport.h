#pragma once
// A deep scan of an image through the complete controller with the FAT deep
// searcher (and, on request, the exFAT one), the tree builder with a clock
// that does not sleep, and the writer that copies found files out.
#include "engine/controller/RecoveryControllers.h"
#include "engine/fat/FatDeepSearcher.h"
#include "engine/include/DataRecovery.h"
#include "engine/include/RecoveryFilter.h"
#include "engine/tree/DirectoryTreeBuilder.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"
#include "tests/support/RecordingSinks.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace fatdeep {

template <typename T>
struct Releaser {
    void operator()(T* p) const {
        if (p) p->Release();
    }
};

class NoSleepClock : public ITreeBuilderClock {
public:
    long long NowSeconds() override { return 0; }
    void SleepSeconds(unsigned) override {}
};

// A shown node: its path below the tree's root in the normalised form of the
// FAT tests (ASCII lower case, an erased first byte as "_", folders with "/").
struct Shown {
    IFileNode* node = nullptr;
    bool deleted = false;
    bool dir = false;
    long long size = 0;
};

class DeepScan {
public:
    explicit DeepScan(const std::string& image, bool withExfat = false);
    ResultCode Run();

    // The FAT searcher's results (copies owned by this object).
    std::vector<CSearchedPartitionInfo*> Partitions();
    // The nodes of the tree whose root name ends with suffix.
    std::map<std::string, Shown> Listing(const std::string& suffix = "(FAT/FAT32)") const;
    // Every shown path of that tree with how often it was shown.
    std::map<std::string, int> PathCounts(const std::string& suffix = "(FAT/FAT32)") const;
    // Copies the node out through the controller's writer; its sha256, "" on failure.
    std::string Recover(IFileNode* node, _tagSearcherType type = SEARCHER_FAT);

    salvor::test::ImageDevice device;
    salvor::test::RecordingProgress progress;
    salvor::test::RecordingTree tree;
    CFATCompleteFSearcher* fat = nullptr;      // owned by the controller
    ICompleteFileSystemSearchController* exfat = nullptr;

private:
    bool m_withExfat;
    NoSleepClock m_clock;
    std::unique_ptr<IRecoveryFilter, Releaser<IRecoveryFilter>> m_filter;
    std::unique_ptr<CCompleteRecoveryController, Releaser<CCompleteRecoveryController>> m_controller;
    std::map<int, std::unique_ptr<IDataRecovery, Releaser<IDataRecovery>>> m_writers;
    std::vector<std::unique_ptr<CSearchedPartitionInfo>> m_records;
    salvor::test::TempDir m_out;
    int m_written = 0;
};

std::string PathOf(IFileNode* node);
// "sha256  /path" (two blanks) or "sha256<TAB>path" lines: normalised path -> sha256.
std::map<std::string, std::string> ReadSha256(const std::string& file);

} // namespace fatdeep
