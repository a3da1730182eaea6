#include "tests/fuzz/FuzzScan.h"

#include "engine/controller/RecoveryControllers.h"
#include "engine/exfat/ExfatEntries.h"
#include "engine/include/DataRecovery.h"
#include "engine/include/Owned.h"
#include "engine/include/RecoveryFilter.h"
#include "engine/tree/DirectoryTreeBuilder.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

namespace salvor::fuzz {

namespace {

// Ancestors a written file may have: the writer stamps the times of as many
// folders above the destination as the node has ancestors, so the scratch
// file lies this deep inside its own folder and nothing outside is touched.
constexpr int kScratchDepth = 32;
// Per run: files written through RecoverTo, and bytes read through readers.
constexpr int kMaxWritten = 8;
constexpr long long kReadBudget = 4LL << 20;
// One input's writes end within this time; a copy still going is a hang.
constexpr auto kWriteTime = std::chrono::seconds(20);
// Bytes a written file may really take beyond the input's own size (runs may
// name the same clusters more than once, never unboundedly).
constexpr long long kWriteSlack = 1LL << 20;
constexpr long long kWriteFactor = 64;

std::filesystem::path g_scratchRoot;

// The scratch destination, made once per process and removed at exit.
const std::string& ScratchFile() {
    static const std::string file = [] {
        const char* tmp = std::getenv("TMPDIR");
        g_scratchRoot =
            std::filesystem::path(tmp && *tmp ? tmp : "/tmp") / ("salvor-fuzz-" + std::to_string(::getpid()));
        std::filesystem::path dir = g_scratchRoot;
        for (int i = 0; i < kScratchDepth; ++i) dir /= "d";
        std::filesystem::create_directories(dir);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(g_scratchRoot, ec);
        });
        return (dir / "out.bin").string();
    }();
    return file;
}

int Depth(IFileNode* node) {
    int depth = 0;
    for (IFileNode* p = node->GetParent(); p; p = p->GetParent())
        if (++depth > 1 << 20) __builtin_trap(); // a parent loop
    return depth;
}

class NoSleepClock : public ITreeBuilderClock {
public:
    long long NowSeconds() override { return m_now += 4; }
    void SleepSeconds(unsigned) override {}

private:
    long long m_now = 0;
};

class Progress : public IProgress {
public:
    void UpdateProgress(_PROGRESS_INFO* info) override {
        if (!info) __builtin_trap();
        finished += info->state == PROGRESS_FINISHED;
    }
    int Continued() override { return 1; }
    int shouldBuild() override { return 1; }
    unsigned finished = 0;
};

// The writer's sink for one input: counts the positions it reports (data and
// holes alike) and traps on a copy that outlives the input's time bound.
class WriteSink : public IProgress {
public:
    explicit WriteSink(std::chrono::steady_clock::time_point deadline) : m_deadline(deadline) {}
    void UpdateProgress(_PROGRESS_INFO* info) override {
        if (!info || info->current > info->total) __builtin_trap();
        if (info->current < m_last) __builtin_trap(); // a copy never goes back
        m_last = info->current;
    }
    int Continued() override {
        if (std::chrono::steady_clock::now() > m_deadline) __builtin_trap(); // a copy that never ends
        return 1;
    }
    int shouldBuild() override { return 1; }

private:
    std::chrono::steady_clock::time_point m_deadline;
    std::uint64_t m_last = 0;
};

// The bytes the file really takes on disk (holes take none).
long long DiskBytes(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_blocks) * 512 : 0;
}

// Keeps every shown node and root; checks what the tree hands out.
class Tree : public IDrirectoryTree {
public:
    void ShowNodes(IFileNode** shown, unsigned count, int) override {
        if (count > 0 && !shown) __builtin_trap();
        for (IFileNode* n : std::span(shown, count)) {
            if (!n || !n->GetFileName()) __builtin_trap();
            (void)std::strlen(n->GetFileName());
            (void)Depth(n);
            nodes.push_back(n);
        }
    }
    int ShowFilesystemNode(IFilesystemNode* root) override {
        if (!root || !root->GetFileName()) __builtin_trap();
        return 1;
    }
    std::vector<IFileNode*> nodes;
};

// Reads every shown file through the writer; a bounded number are also written.
// A carved file never reaches past the device's end.
void ReadFiles(IRecoveryController* controller, const std::vector<IFileNode*>& nodes, _tagSearcherType type,
               long long inputBytes) {
    Owned<IDataRecovery> writer(controller->GetDataRecovery(type));
    if (!writer) return;
    std::unordered_set<IFileNode*> seen;
    std::vector<char> buffer(64 * 1024), thumb(64 * 1024);
    long long budget = kReadBudget;
    int written = 0;
    const auto deadline = std::chrono::steady_clock::now() + kWriteTime;
    for (IFileNode* node : nodes) {
        if (budget <= 0) break;
        if (!seen.insert(node).second || node->IsDirectory()) continue;
        Owned<IFileReader> reader(writer->SetRecoverNode(node));
        if (!reader) continue;
        const long long size = reader->GetDataSize();
        if (size < 0) __builtin_trap();
        if ((type == SEARCHER_RAW || type == SEARCHER_RAW_LABEL) && size > inputBytes) __builtin_trap();
        // A failed read is skipped, as the writer skips it: later bytes may read.
        for (long long offset = 0; offset < size && budget > 0;) {
            const unsigned want = static_cast<unsigned>(std::min<long long>(size - offset, buffer.size()));
            int error = 0;
            const unsigned got = reader->ReadData(offset, buffer.data(), want, &error);
            if (got > want) __builtin_trap();
            offset += got ? got : want;
            budget -= want;
        }
        writer->ReadSmallJPG(thumb.data(), static_cast<unsigned>(thumb.size()));
        // Files of any size are written: holes stay holes, and what is really
        // written is bounded by what the input holds.
        if (written < kMaxWritten && Depth(node) < kScratchDepth) {
            ++written;
            WriteSink sink(deadline);
            writer->RecoverTo(ScratchFile().c_str(), &sink, 0);
            if (DiskBytes(ScratchFile()) > inputBytes * kWriteFactor + kWriteSlack) __builtin_trap();
            std::filesystem::remove(ScratchFile());
        }
    }
}

} // namespace

int MemoryDevice::ReadSector(void* buffer, long long firstSector, long long count) {
    const unsigned long long total = GetTotalSectors(), first = static_cast<unsigned long long>(firstSector);
    if (!buffer || firstSector < 0 || count < 1 || first >= total ||
        static_cast<unsigned long long>(count) > total - first) {
        m_lastError = MakeResult(ResultLib::Device, 1, 5);
        return 0;
    }
    std::memcpy(buffer, m_bytes.data() + first * m_sectorSize, static_cast<std::size_t>(count) * m_sectorSize);
    return 1;
}

void MemoryDevice::SetVolumeKind(unsigned kind) {
    auto* info = new CCollectedVolumeDeviceInfoStruct;
    info->fileSystemType = kind;
    std::strcpy(info->volumeName, "FUZZVOL");
    SetPrivateData(CreateVolumeDeviceData(info));
}

void ScanBytes(std::span<const std::uint8_t> bytes, unsigned sectorSize, int deviceType, _RECOVERY_CONTROLLER_TYPE type,
               _SCAN_TYPE scanType, _tagSearcherType searcher, unsigned volumeKind) {
    MemoryDevice device(bytes, sectorSize, deviceType);
    if (volumeKind) device.SetVolumeKind(volumeKind);
    NoSleepClock clock;
    Progress progress;
    Tree tree;
    Owned<IRecoveryFilter> filter(CreateFilter());
    filter->SetFilterTypes(FILTER_ALL);
    filter->SetScanType(scanType);
    Owned<IRecoveryController> controller(CreateRecoveryController(type));
    if (auto* base = dynamic_cast<CRecoveryControllerBase*>(controller.get()))
        base->SetTreeBuilderFactory([&clock](bool replay) { return CreateTreeBuilder(replay, &clock); });
    if (auto* complete = dynamic_cast<CCompleteRecoveryController*>(controller.get()))
        complete->SetBlockSectors(sectorSize == 4096 ? 8 : 64);
    controller->Initialize(filter.get());
    controller->StartDataRecovery(&device, &progress, &tree);
    // Every scan that got going ends with exactly one finished report.
    if (progress.finished > 1) __builtin_trap();
    ReadFiles(controller.get(), tree.nodes, searcher, static_cast<long long>(bytes.size()));
}

void ResealExfatSets(std::span<std::uint8_t> bytes) {
    for (std::size_t off = 0; off + 3 * exfat::kEntrySize <= bytes.size(); off += exfat::kEntrySize) {
        if (bytes[off] != exfat::kFile && bytes[off] != exfat::kFileDeleted) continue;
        const std::size_t len = (std::size_t{bytes[off + 1]} + 1) * exfat::kEntrySize;
        if (bytes[off + 1] < 2 || len > bytes.size() - off) continue;
        const std::uint16_t sum = exfat::EntrySetChecksum(bytes.subspan(off, len));
        bytes[off + 2] = static_cast<std::uint8_t>(sum);
        bytes[off + 3] = static_cast<std::uint8_t>(sum >> 8);
    }
}

unsigned SectorSizeOr512(unsigned candidate) {
    return candidate == 512 || candidate == 1024 || candidate == 2048 || candidate == 4096 ? candidate : 512;
}

} // namespace salvor::fuzz
