// Feeds found files through the scan object's ShowNodes on a worker thread,
// as a scan does, while the main thread pulls the type and both date views
// through the facade every 0.1 s. Prints the feed time, the pulls' total and
// longest time, their share of the feed time and the peak memory.
// Usage: bench_services [FILES [FILES_PER_SECOND]]   (default 1,000,000 as
// fast as the sink takes them; a rate paces the feed like a real scan)
#include "engine/tree/FilesystemNode.h"
#include "platform/MainThread.h"
#include "services/UIController.h"
#include "services/UIScan.h"

#include <QCoreApplication>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

class BenchNode : public CFileNode {
public:
    BenchNode(std::string name, bool dir, _FILETIME t) : m_name(std::move(name)), m_dir(dir), m_time(t) {}
    const char* GetFileName() override { return m_name.c_str(); }
    long long GetFileSize() override { return m_dir ? 0 : 4096; }
    unsigned GetAttribute() override { return 0; }
    _FILETIME GetCreationTime() override { return m_time; }
    _FILETIME GetModificationTime() override { return m_time; }
    _FILETIME GetLastAccessTime() override { return {}; }
    int IsDirectory() override { return m_dir; }
    int IsDeleted() override { return 0; }
    IFileNode* Clone() override { return nullptr; }
    void MarkDeleted() override {}
    void FilterFileNameByDot() override {}

private:
    std::string m_name;
    bool m_dir;
    _FILETIME m_time;
};

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const std::size_t files = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    const double rate = argc > 2 ? std::strtod(argv[2], nullptr) : 0.0;
    const std::size_t perFolder = 1000;
    const char* exts[] = {"jpg", "png", "mp3", "mov", "zip", "pdf", "docx", "txt", "qqq", ""};

    // The found tree, made before the clock starts (a scan's searchers make
    // it as they go; the node sink is what is measured).
    CFilesystemNode root(SEARCHER_FAT, "bench(FAT/FAT32)", "bench", 1);
    std::vector<std::unique_ptr<BenchNode>> nodes;
    nodes.reserve(files + files / perFolder + 1);
    std::vector<std::vector<IFileNode*>> batches;
    BenchNode* folder = nullptr;
    for (std::size_t i = 0; i < files; ++i) {
        if (i % perFolder == 0) {
            nodes.push_back(std::make_unique<BenchNode>("folder" + std::to_string(i / perFolder), true, _FILETIME{}));
            folder = nodes.back().get();
            batches.emplace_back().push_back(folder);
        }
        // Months from 2000 to 2020, in 100-ns units since 1601.
        const std::uint64_t seconds = 946684800ULL + (i * 7919 % 252) * 2629800ULL + 11644473600ULL;
        const char* ext = exts[i % 10];
        nodes.push_back(std::make_unique<BenchNode>("file" + std::to_string(i) + (*ext ? "." : "") + ext, false,
                                                    _FILETIME::From(seconds * 10000000ULL)));
        batches.back().push_back(nodes.back().get());
    }

    VXUIController& facade = VXUIController::shared();
    facade.initFileType();
    facade.SetRecoveryType(FILTER_ALL);
    VXUIScan& scan = VXUIScan::instance();
    scan.ClearData();

    std::atomic<bool> fed{false};
    Clock::duration feed{};
    std::thread worker([&] {
        const auto start = Clock::now();
        scan.ShowFilesystemNode(&root);
        std::size_t sent = 0;
        for (auto& batch : batches) {
            if (rate > 0) // paced: batch n leaves at n × batch / rate seconds
                std::this_thread::sleep_until(start + std::chrono::duration<double>(sent / rate));
            sent += batch.size();
            // Linked before they are shown, as the tree builder does.
            CFileNode* parent = &root;
            for (IFileNode* n : batch) {
                static_cast<CFileNode*>(parent)->AddChild(n);
                if (n->IsDirectory()) parent = static_cast<CFileNode*>(n);
            }
            scan.ShowNodes(batch.data(), static_cast<unsigned>(batch.size()), 0);
        }
        feed = Clock::now() - start;
        fed = true;
    });

    OpNodeList views[4];
    Clock::duration pulling{}, longest{};
    std::size_t pulls = 0;
    auto pull = [&] {
        const auto start = Clock::now();
        for (int view : {1, 2, 3}) {
            facade.SetViewType(view);
            facade.GetScanTreeNodeData(&views[view], false);
        }
        const auto took = Clock::now() - start;
        pulling += took;
        longest = std::max(longest, took);
        ++pulls;
    };
    while (!fed) {
        salvor::platform::runUntil([&] { return fed.load(); }, std::chrono::milliseconds(100));
        if (!fed) pull();
    }
    worker.join();
    pull(); // the last pull takes in what is left

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("files=%zu feed_s=%.3f files_per_s=%.0f pulls=%zu pull_total_s=%.3f pull_max_s=%.3f "
                "pull_share=%.1f%% peakMiB=%.1f\n",
                files, Seconds(feed), files / Seconds(feed), pulls, Seconds(pulling), Seconds(longest),
                100.0 * Seconds(pulling) / Seconds(feed), usage.ru_maxrss / 1024.0);
    scan.ClearData();
    return 0;
}
