#pragma once
// A FAT quick scan as the application runs it: the deleted-files controller
// over an image device carrying a volume record, the tree builder (with a
// clock that does not sleep) and the node sink; and the listing it shows.
#include "engine/include/DataRecovery.h"
#include "engine/include/RecoveryController.h"
#include "engine/include/RecoveryFilter.h"
#include "engine/tree/DirectoryTreeBuilder.h"
#include "tests/support/ImageDevice.h"
#include "tests/support/RecordingSinks.h"

#include <map>
#include <memory>
#include <string>

namespace fattest {

class NoSleepClock : public ITreeBuilderClock {
public:
    long long NowSeconds() override { return 0; }
    void SleepSeconds(unsigned) override {}
};

template <typename T>
struct Releaser {
    void operator()(T* p) const {
        if (p) p->Release();
    }
};

// One listed node: its path from the tree's root (folders end in "/").
struct Listed {
    IFileNode* node = nullptr;
    bool deleted = false;
    bool dir = false;
    long long size = 0;
};

class QuickScan {
public:
    // kind: the file-system kind recorded for the volume.
    QuickScan(const std::string& image, unsigned sectorSize, unsigned kind);
    ResultCode Run();

    // Path (NormalisePath form, folders with a trailing "/") -> node.
    std::map<std::string, Listed> Listing() const;
    // Writes the node's file through the controller's FAT writer and answers
    // its sha256 ("" on failure).
    std::string Recover(IFileNode* node, const std::string& dest);

    salvor::test::ImageDevice device;
    salvor::test::RecordingProgress progress;
    salvor::test::RecordingTree tree;
    std::unique_ptr<IRecoveryController, Releaser<IRecoveryController>> controller;

private:
    NoSleepClock m_clock;
    std::unique_ptr<IRecoveryFilter, Releaser<IRecoveryFilter>> m_filter;
    std::unique_ptr<IDataRecovery, Releaser<IDataRecovery>> m_writer;
};

// The path of a node below its tree's root, "/"-separated, no leading "/".
std::string TreePath(IFileNode* node);

} // namespace fattest
