// Saving and loading a large scan result: 1,000 folders × 1,000 files, one
// run each (1,001,001 nodes with the root). The save writes the file from
// the node tree; the load reads it, replays it into a real tree builder and
// files every node by type and date in the scan object, as a load through
// the facade does. Each runs in a child process of its own, so each peak
// memory is its own. Then the same save over that file with a second name
// (written elsewhere and copied over it). Then the time per damaged case: the saved file of a
// 10,000-node result cut at 300 offsets and changed at 300 bytes.
// Usage: bench_savedscan [FOLDERS [FILES_PER_FOLDER]]
#include "engine/common/DataRunList.h"
#include "engine/include/RecoveryFilter.h"
#include "engine/tree/DirectoryTreeBuilder.h"
#include "engine/tree/FilesystemNode.h"
#include "savedscan/RSData.h"
#include "savedscan/SaveRestoreResult.h"
#include "services/UIController.h"
#include "services/UIFilter.h"
#include "services/UIScan.h"

#include <QCoreApplication>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }
double PeakMiB() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_maxrss) / 1024.0;
}

class BenchNode : public CFileNode {
public:
    BenchNode(long long id, long long parent, std::string name, bool dir, _FILETIME t)
        : m_name(std::move(name)), m_dir(dir), m_time(t) {
        m_id = id, m_parentId = parent;
    }
    const char* GetFileName() override { return m_name.c_str(); }
    long long GetFileSize() override { return m_dir ? 0 : 4096; }
    unsigned GetAttribute() override { return m_dir ? 0x10 : 0x20; }
    _FILETIME GetCreationTime() override { return m_time; }
    _FILETIME GetModificationTime() override { return m_time; }
    _FILETIME GetLastAccessTime() override { return m_time; }
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

struct NoPauseClock : ITreeBuilderClock {
    long long NowSeconds() override { return SystemTreeBuilderClock()->NowSeconds(); }
    void SleepSeconds(unsigned) override {}
};

// The synthetic result, saved into path; what names the save in the report.
int Save(const std::string& path, long long folders, long long perFolder, const char* what = "save") {
    const char* exts[] = {"jpg", "png", "mp3", "mov", "zip", "pdf", "docx", "txt", "qqq", ""};
    CFilesystemNode root(SEARCHER_FAT, "bench(FAT/FAT32)", "bench", 2);
    std::vector<std::unique_ptr<BenchNode>> nodes;
    nodes.reserve(static_cast<std::size_t>(folders * (perFolder + 1)));
    long long id = 100;
    for (long long f = 0; f < folders; ++f) {
        nodes.push_back(std::make_unique<BenchNode>(id++, 2, "folder" + std::to_string(f), true, _FILETIME{}));
        BenchNode* folder = nodes.back().get();
        root.AddChild(folder);
        for (long long i = 0; i < perFolder; ++i) {
            const long long n = f * perFolder + i;
            const std::uint64_t seconds = 946684800ULL + static_cast<std::uint64_t>(n * 7919 % 252) * 2629800ULL + 11644473600ULL;
            const char* ext = exts[n % 10];
            nodes.push_back(std::make_unique<BenchNode>(id++, folder->GetCurrentNodeID(),
                                                        "file" + std::to_string(n) + (*ext ? "." : "") + ext, false,
                                                        _FILETIME::From(seconds * 10000000ULL)));
            auto* runs = new CDataRunList;
            DataRun run{n * 8, 1};
            runs->AddDataRun(&run);
            nodes.back()->SetDataRunList(runs);
            folder->AddChild(nodes.back().get());
        }
    }
    CSearchedPartitionInfo partition;
    partition.m_partitionIndex = 0;
    SaveRestoreResult::SaveSource source;
    source.controllerType = 0;
    source.disk.name = "bench";
    source.roots = {&root};
    source.partitions = [&](IFileNode*) { return std::vector<CSearchedPartitionInfo*>{&partition}; };
    CProgressSteps steps;
    const auto t0 = Clock::now();
    const std::uint32_t code = SaveRestoreResult::WriteScanResult(path.c_str(), source, nullptr, steps);
    const double seconds = Since(t0);
    struct stat st {};
    ::stat(path.c_str(), &st);
    std::printf("%s: nodes=%zu seconds=%.3f bytes=%lld peakMiB=%.1f code=%u\n", what, nodes.size() + 1, seconds,
                static_cast<long long>(st.st_size), PeakMiB(), code);
    return code == 0 ? 0 : 1;
}

int Load(const std::string& path, int argc, char** argv) {
    QCoreApplication app(argc, argv);
    VXUIController::shared().initFileType();
    VXUIController::shared().SetRecoveryType(FILTER_ALL);
    VXUIScan& scan = VXUIScan::instance();
    scan.ClearData();
    VXUIFilter::instance().GetFilter()->SetScanType(SCAN_QUICK_UNMOUNTED); // live files are shown
    NoPauseClock clock;
    const auto t0 = Clock::now();
    CRSData rs(RS_MODE_READ);
    CProgressSteps steps;
    SaveRestoreResult::SavedScanHead head;
    std::uint32_t code = SaveRestoreResult::ReadScanHead(rs, path.c_str(), head, nullptr, steps);
    CDirectoryTreeBuilder builder(true, &clock);
    builder.Initialize("bench", &scan, VXUIFilter::instance().GetFilter());
    CRestoredPartitions partitions;
    if (code == 0)
        code = ReplayFileSystemNode(rs, builder, nullptr, {false, "bench", nullptr}, partitions, nullptr, &steps);
    const double seconds = Since(t0);
    std::printf("load: files=%llu seconds=%.3f peakMiB=%.1f code=%u\n",
                static_cast<unsigned long long>(scan.GetScanFileCnt()), seconds, PeakMiB(), code);
    return code == 0 ? 0 : 1;
}

std::uint32_t LoadDirect(const std::string& path) {
    struct Freeing : IDirecotryTreeBuilder {
        int Initialize(const char*, IDrirectoryTree*, IRecoveryFilter*) override { return 1; }
        int AddNode(IFileNode* node, _tagSearcherType) override { return node->Release(), 1; }
        int AddSearcherInfo(_tagSearcherType, long long) override { return 1; }
        int FlashBuild(_tagSearcherType) override { return 1; }
        void Release() override {}
        void SetPartitonDevice(CSearchedPartitionInfo*, IStorageDevice*) override {}
    } builder;
    CRSData rs(RS_MODE_READ);
    CProgressSteps steps;
    SaveRestoreResult::SavedScanHead head;
    std::uint32_t code = SaveRestoreResult::ReadScanHead(rs, path.c_str(), head, nullptr, steps);
    CRestoredPartitions partitions;
    if (code == 0) code = ReplayFileSystemNode(rs, builder, nullptr, {true, {}, nullptr}, partitions, nullptr, nullptr);
    return code;
}

int Damage(const std::string& dir) {
    const std::string saved = dir + "/small.rsf", damaged = dir + "/damaged.rsf";
    if (Save(saved, 100, 99) != 0) return 1;
    std::ifstream in(saved, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    std::mt19937 random(28);
    double total = 0, worst = 0;
    int refused = 0;
    for (int i = 0; i < 600; ++i) {
        std::string variant = bytes;
        if (i < 300) {
            variant.resize(static_cast<std::size_t>(i) * bytes.size() / 300);
        } else {
            const std::size_t at = random() % variant.size();
            variant[at] = static_cast<char>(variant[at] ^ (1 + random() % 255));
        }
        std::ofstream(damaged, std::ios::binary | std::ios::trunc).write(variant.data(), static_cast<std::streamsize>(variant.size()));
        const auto t0 = Clock::now();
        refused += LoadDirect(damaged) != 0;
        const double s = Since(t0);
        total += s, worst = std::max(worst, s);
    }
    std::printf("damage: cases=600 refused=%d meanMs=%.3f worstMs=%.3f\n", refused, total / 600 * 1000, worst * 1000);
    return 0;
}

int InChild(const std::function<int()>& body) {
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int status = body();
        std::fflush(stdout);
        ::_exit(status);
    }
    int status = 1;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

} // namespace

int main(int argc, char** argv) {
    const long long folders = argc > 1 ? std::strtoll(argv[1], nullptr, 10) : 1000;
    const long long perFolder = argc > 2 ? std::strtoll(argv[2], nullptr, 10) : 1000;
    char dir[] = "/tmp/bench_savedscan.XXXXXX";
    if (!::mkdtemp(dir)) return 1;
    const std::string path = std::string(dir) + "/bench.rsf";
    int status = InChild([&] { return Save(path, folders, perFolder); });
    if (status == 0) status = InChild([&] { return Load(path, argc, argv); });
    // The same save over that one with a second name: written elsewhere, then
    // copied over it with its old bytes kept aside.
    if (status == 0 && ::link(path.c_str(), (std::string(dir) + "/second.rsf").c_str()) == 0)
        status = InChild([&] { return Save(path, folders, perFolder, "save over a save with a second name"); });
    if (status == 0) status = InChild([&] { return Damage(dir); });
    std::system(("rm -rf '" + std::string(dir) + "'").c_str());
    return status;
}
