#pragma once
// Fake searchers that write every call into one shared log, registered in
// the factory slots, and a fake restore sink.
#include "engine/include/FactoryRegistry.h"
#include "engine/include/RestoreScanSink.h"
#include "engine/include/SearchInterfaces.h"
#include "engine/include/StorageDevice.h"
#include "tests/support/ImageDevice.h"
#include "tests/support/TestFileNode.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace salvor::test {

struct CallLog {
    std::vector<std::string> calls;
    void Add(const std::string& s) { calls.push_back(s); }
    std::vector<std::string> With(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const auto& c : calls)
            if (c.rfind(prefix, 0) == 0) out.push_back(c);
        return out;
    }
    bool Has(const std::string& c) const {
        for (const auto& x : calls)
            if (x == c) return true;
        return false;
    }
};

// What one fake deep searcher was given.
struct DeepSeen {
    IStorageDevice* device = nullptr;
    int blockSize = 0;
    IDirecotryTreeBuilder* builder = nullptr;
    TBitmap* bitmap = nullptr;
    std::map<long long, unsigned>* sectorMap = nullptr;
    IProgress* progress = nullptr;
    bool active = false;
    int stampFailures = 0; // first sectors of blocks that did not read back right
};

class FakeDeepSearcher : public ICompleteFileSystemSearchController {
public:
    FakeDeepSearcher(int type, CallLog& log, DeepSeen& seen, int partitions)
        : type_(type), log_(log), seen_(seen), partitions_(partitions) {
        Log("create");
    }
    ~FakeDeepSearcher() override {
        // The device must outlive the searchers that read through it.
        if (seen_.device) seen_.device->GetTotalSectors();
        Log("delete");
    }
    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* b) override { seen_.builder = b; }
    int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int n) override {
        for (int i = 0; array && i < partitions_ && i < n; ++i) {
            array[i] = new CSearchedPartitionInfo(512);
            array[i]->m_sectorsPerCluster = 8;
            array[i]->m_partitionIndex = static_cast<std::uint16_t>(i);
        }
        return partitions_;
    }
    void SetDevice(IStorageDevice* d) override { seen_.device = d; }
    void SetBlockSize(int s) override { seen_.blockSize = s; }
    int PreparetoSearch() override {
        Log("prepare");
        return 1;
    }
    void EndSearch(int build) override { Log("end(" + std::to_string(build) + ")"); }
    int AnalyzeBlock(long long first, long long count) override {
        Log("block(" + std::to_string(first) + "," + std::to_string(count) + ")");
        if (seen_.device) {
            std::vector<unsigned char> sector(seen_.device->GetSectorSize());
            if (!seen_.device->ReadSector(sector.data(), first, 1) ||
                !HasStamp(sector.data(), static_cast<unsigned>(sector.size()), static_cast<unsigned long long>(first)))
                ++seen_.stampFailures;
        }
        return 1;
    }
    void SetIProgressSink(IProgress* p) override { seen_.progress = p; }
    void SetBitmap(TBitmap* b) override { seen_.bitmap = b; }
    void SetFileSectorMap(std::map<long long, unsigned>* m) override { seen_.sectorMap = m; }
    void SetActivePartition(bool a) override { seen_.active = a; }

private:
    void Log(const std::string& what) { log_.Add(std::to_string(type_) + ":" + what); }
    int type_;
    CallLog& log_;
    DeepSeen& seen_;
    int partitions_;
};

class FakeQuickSearcher : public IQuickFileSystemSearchController {
public:
    FakeQuickSearcher(std::string name, CallLog& log, ResultCode answer) : name_(std::move(name)), log_(log),
                                                                            answer_(answer) {}
    ~FakeQuickSearcher() override { log_.Add(name_ + ":delete"); }
    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* b) override {
        builder = b;
        log_.Add(name_ + ":builder");
    }
    int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int n) override {
        if (array && n > 0) array[0] = new CSearchedPartitionInfo(512);
        return 1;
    }
    ResultCode QuickSearchFiles(IStorageDevice*, IProgress* sink) override {
        log_.Add(name_ + ":search");
        _PROGRESS_INFO done = MakeProgress(PROGRESS_FINISHED, 7, 7, answer_);
        sink->UpdateProgress(&done);
        return answer_;
    }
    IDirecotryTreeBuilder* builder = nullptr;

private:
    std::string name_;
    CallLog& log_;
    ResultCode answer_;
};

// Replays one small saved tree: a FAT root with one file.
class FakeRestoreSink : public RestoreScanSink {
public:
    int SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder, IProgress*, IStorageDevice* device) override {
        ++replays;
        seenDevice = device;
        builder->AddSearcherInfo(SEARCHER_FAT, 2);
        auto* node = new TestFileNode(10, 2, "saved.jpg", false, 1234);
        if (!builder->AddNode(node, SEARCHER_FAT)) node->Release();
        builder->FlashBuild(SEARCHER_FAT);
        if (during) during();
        return 1;
    }
    std::vector<CSearchedPartitionInfo*>& GetSearchedPartition(int type) override {
        auto& list = lists_[type];
        if (type == SEARCHER_FAT && list.empty()) {
            records_.push_back(std::make_unique<CSearchedPartitionInfo>(512));
            list.push_back(records_.back().get());
        }
        return list;
    }
    int replays = 0;
    IStorageDevice* seenDevice = nullptr;
    std::function<void()> during; // run inside the replay

private:
    std::map<int, std::vector<CSearchedPartitionInfo*>> lists_;
    std::vector<std::unique_ptr<CSearchedPartitionInfo>> records_;
};

} // namespace salvor::test
