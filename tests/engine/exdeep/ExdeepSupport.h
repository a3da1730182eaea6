#pragma once
// A deep scan of an image through the complete controller with the exFAT
// deep searcher (and whatever else is registered), keeping the controller so
// that its writer can copy found files out.
#include "engine/include/DataRecovery.h"
#include "engine/include/RecoveryController.h"
#include "engine/include/RecoveryFilter.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"
#include "tests/support/RecordingSinks.h"

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace exdeep_test {

template <typename T>
struct Releaser {
    void operator()(T* p) const {
        if (p) p->Release();
    }
};

struct DeepScan {
    explicit DeepScan(const std::string& image, unsigned sectorSize = 512);
    // Runs the scan; the exFAT searcher made for it is kept in searcher.
    ResultCode Run();

    // Path of a shown node below its tree's root, folders without a trailing "/".
    static std::string PathOf(IFileNode* node);
    // The nodes of the tree whose root name ends with suffix, by path.
    std::map<std::string, IFileNode*> Tree(const std::string& suffix, bool files = true, bool folders = true) const;
    // The partition records of the exFAT searcher (owned by this object).
    std::vector<CSearchedPartitionInfo*> Partitions();
    // Writes node through the controller's writer of type; its sha256, "" on failure.
    std::string Recover(_tagSearcherType type, IFileNode* node);

    salvor::test::ImageDevice device;
    salvor::test::RecordingProgress progress;
    salvor::test::RecordingTree tree;
    std::unique_ptr<IRecoveryFilter, Releaser<IRecoveryFilter>> filter;
    std::unique_ptr<IRecoveryController, Releaser<IRecoveryController>> controller;
    ICompleteFileSystemSearchController* searcher = nullptr; // owned by the controller
    std::vector<std::unique_ptr<CSearchedPartitionInfo>> records;
    std::map<int, std::unique_ptr<IDataRecovery, Releaser<IDataRecovery>>> writers;
    salvor::test::TempDir out;
    int written = 0;
};

// path -> sha256 of a fixture manifest ("sha256<TAB>path").
std::map<std::string, std::string> Manifest(const std::string& fixture, const std::string& file);

} // namespace exdeep_test
