#pragma once
// The deep scan's searchers side by side. Each searcher keeps a thread of its
// own and sees every block in device order, all of them the same block at a
// time: the scan moves to the next block only when every searcher is done
// with this one, so each searcher finds what it would find alone. The tree
// builder they share is reached through one lock.
#include "engine/include/SearchInterfaces.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

class CSearcherTeam {
public:
    // The calling thread analyses with the first searcher; each other one
    // gets a thread. Where no thread can be started, the calling thread
    // analyses with the searchers left in turn.
    explicit CSearcherTeam(std::vector<ICompleteFileSystemSearchController*> searchers);
    ~CSearcherTeam();
    CSearcherTeam(const CSearcherTeam&) = delete;
    CSearcherTeam& operator=(const CSearcherTeam&) = delete;

    // Every searcher's AnalyzeBlock(first, count); returns when all are done.
    void AnalyzeBlock(long long first, long long count);
    std::size_t Threads() const { return m_threads.size(); }

private:
    void Work(std::size_t index);

    std::vector<ICompleteFileSystemSearchController*> m_searchers;
    std::vector<std::thread> m_threads; // m_threads[i] runs m_searchers[i + 1]
    std::mutex m_lock;
    std::condition_variable m_start;
    std::condition_variable m_done;
    std::uint64_t m_round = 0;
    std::size_t m_busy = 0;
    long long m_first = 0;
    long long m_count = 0;
    bool m_stop = false;
};

// The tree builder as the searchers of one deep scan see it: every call under
// one lock. The controller keeps the builder; releasing this does nothing.
class CSerializedTreeBuilder : public IDirecotryTreeBuilder {
public:
    explicit CSerializedTreeBuilder(IDirecotryTreeBuilder* inner) : m_inner(inner) {}

    int Initialize(const char* volumeName, IDrirectoryTree* sink, IRecoveryFilter* filter) override;
    int AddNode(IFileNode* node, _tagSearcherType type) override;
    int AddSearcherInfo(_tagSearcherType type, long long rootId) override;
    int FlashBuild(_tagSearcherType type) override;
    void Release() override {}
    void SetPartitonDevice(CSearchedPartitionInfo* partition, IStorageDevice* device) override;

private:
    IDirecotryTreeBuilder* m_inner;
    std::recursive_mutex m_lock;
};
