#include "engine/controller/SearcherTeam.h"

#include <system_error>

CSearcherTeam::CSearcherTeam(std::vector<ICompleteFileSystemSearchController*> searchers)
    : m_searchers(std::move(searchers)) {
    for (std::size_t i = 1; i < m_searchers.size(); ++i) {
        try {
            m_threads.emplace_back([this, i] { Work(i); });
        } catch (const std::system_error&) {
            break;
        }
    }
}

CSearcherTeam::~CSearcherTeam() {
    {
        std::lock_guard<std::mutex> l(m_lock);
        m_stop = true;
    }
    m_start.notify_all();
    for (std::thread& t : m_threads) t.join();
}

void CSearcherTeam::AnalyzeBlock(long long first, long long count) {
    {
        std::lock_guard<std::mutex> l(m_lock);
        m_first = first;
        m_count = count;
        m_busy = m_threads.size();
        ++m_round;
    }
    if (!m_threads.empty()) m_start.notify_all();
    if (!m_searchers.empty()) m_searchers[0]->AnalyzeBlock(first, count);
    // Searchers no thread could be started for.
    for (std::size_t i = m_threads.size() + 1; i < m_searchers.size(); ++i) m_searchers[i]->AnalyzeBlock(first, count);
    std::unique_lock<std::mutex> l(m_lock);
    m_done.wait(l, [this] { return m_busy == 0; });
}

void CSearcherTeam::Work(std::size_t index) {
    std::uint64_t seen = 0;
    for (;;) {
        long long first = 0;
        long long count = 0;
        {
            std::unique_lock<std::mutex> l(m_lock);
            m_start.wait(l, [&] { return m_stop || m_round != seen; });
            if (m_stop) return;
            seen = m_round;
            first = m_first;
            count = m_count;
        }
        m_searchers[index]->AnalyzeBlock(first, count);
        std::lock_guard<std::mutex> l(m_lock);
        if (--m_busy == 0) m_done.notify_one();
    }
}

int CSerializedTreeBuilder::Initialize(const char* volumeName, IDrirectoryTree* sink, IRecoveryFilter* filter) {
    std::lock_guard<std::recursive_mutex> l(m_lock);
    return m_inner ? m_inner->Initialize(volumeName, sink, filter) : 0;
}

int CSerializedTreeBuilder::AddNode(IFileNode* node, _tagSearcherType type) {
    std::lock_guard<std::recursive_mutex> l(m_lock);
    return m_inner ? m_inner->AddNode(node, type) : 0;
}

int CSerializedTreeBuilder::AddSearcherInfo(_tagSearcherType type, long long rootId) {
    std::lock_guard<std::recursive_mutex> l(m_lock);
    return m_inner ? m_inner->AddSearcherInfo(type, rootId) : 0;
}

int CSerializedTreeBuilder::FlashBuild(_tagSearcherType type) {
    std::lock_guard<std::recursive_mutex> l(m_lock);
    return m_inner ? m_inner->FlashBuild(type) : 0;
}

void CSerializedTreeBuilder::SetPartitonDevice(CSearchedPartitionInfo* partition, IStorageDevice* device) {
    std::lock_guard<std::recursive_mutex> l(m_lock);
    if (m_inner) m_inner->SetPartitonDevice(partition, device);
}
