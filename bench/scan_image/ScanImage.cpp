// scan_image quick IMAGE [--offset SECTOR] [--sector-size N] [--recover DIR]
// scan_image deep IMAGE [--sector-size N] [--recover DIR]
// Scans an image through the engine's controllers and prints one line per
// found node, "<searcher type>\t<L|D>\t<size>\t<path>" (folders end in "/"),
// then "nodes=N files=F deleted=D bytes=B seconds=S MBps=X peakMiB=M".
#include "bench/scan_image/ServicesMode.h"
#include "engine/common/TextConvert.h"
#include "engine/controller/RecoveryControllers.h"
#include "engine/include/DataRecovery.h"
#include "engine/include/DeviceRecords.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/include/RecoveryController.h"
#include "engine/include/RecoveryFilter.h"
#include "engine/include/StorageDevice.h"
#include "engine/tree/DirectoryTreeBuilder.h"
#include "engine/volume/VolumeAnalyzeController.h"
#ifdef SALVOR_HAVE_FAT
#include "engine/fat/FatRegistration.h"
#endif
#ifdef SALVOR_HAVE_EXFAT
#include "engine/exfat/ExfatRegistration.h"
#endif
#if defined(SALVOR_HAVE_NTFS) && __has_include("engine/ntfs/NtfsRegistration.h")
#include "engine/ntfs/NtfsRegistration.h"
#define SALVOR_REGISTER_NTFS 1
#endif
#if defined(SALVOR_HAVE_HFSPLUS) && __has_include("engine/hfsplus/HfsPlusRegistration.h")
#include "engine/hfsplus/HfsPlusRegistration.h"
#define SALVOR_REGISTER_HFSPLUS 1
#endif
#if defined(SALVOR_HAVE_APFS) && __has_include("engine/apfs/ApfsRegistration.h")
#include "engine/apfs/ApfsRegistration.h"
#define SALVOR_REGISTER_APFS 1
#endif
#if defined(SALVOR_HAVE_CARVER) && __has_include("engine/carver/CarverRegistration.h")
#include "engine/carver/CarverRegistration.h"
#define SALVOR_REGISTER_CARVER 1
#endif

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

void RegisterLibraries() {
#ifdef SALVOR_HAVE_FAT
    RegisterFatLibrary();
#endif
#ifdef SALVOR_HAVE_EXFAT
    RegisterExfatLibrary();
#endif
#ifdef SALVOR_REGISTER_NTFS
    RegisterNtfsLibrary();
#endif
#ifdef SALVOR_REGISTER_HFSPLUS
    RegisterHfsPlusLibrary();
#endif
#ifdef SALVOR_REGISTER_APFS
    RegisterApfsLibrary();
#endif
#ifdef SALVOR_REGISTER_CARVER
    RegisterCarverLibrary();
#endif
}

// A read-only image file read as a device: a window of whole sectors from
// startSector on.
class ImageProbeDevice : public IStorageDevice {
public:
    ImageProbeDevice(const std::string& path, unsigned sectorSize, unsigned long long startSector, int type)
        : m_sectorSize(sectorSize), m_start(startSector), m_type(type) {
        m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (m_fd >= 0 && ::fstat(m_fd, &st) == 0) {
            const unsigned long long sectors = static_cast<unsigned long long>(st.st_size) / sectorSize;
            m_total = sectors > startSector ? sectors - startSector : 0;
        }
    }
    ~ImageProbeDevice() override {
        if (m_fd >= 0) ::close(m_fd);
    }
    bool IsOpen() const { return m_fd >= 0; }
    int Open(char*) override { return m_fd >= 0; }
    int Close() override { return 1; }
    int ReadSector(void* buffer, long long first, long long count) override {
        if (!buffer || first < 0 || count < 1 || static_cast<unsigned long long>(first + count) > m_total) {
            m_error = MakeResult(ResultLib::Device, 1, 5);
            return 0;
        }
        auto* out = static_cast<char*>(buffer);
        std::size_t want = static_cast<std::size_t>(count) * m_sectorSize;
        off_t at = static_cast<off_t>((m_start + static_cast<unsigned long long>(first)) * m_sectorSize);
        while (want > 0) {
            const ssize_t got = ::pread(m_fd, out, want, at);
            if (got <= 0) {
                std::memset(out, 0, want);
                m_error = MakeResult(ResultLib::Device, 2, 5);
                return 0;
            }
            out += got;
            at += got;
            want -= static_cast<std::size_t>(got);
        }
        return 1;
    }
    unsigned GetSectorSize() override { return m_sectorSize; }
    unsigned long long GetTotalSectors() override { return m_total; }
    ResultCode IOCtl(unsigned long long, void*) override { return MakeResult(ResultLib::Device, 3, 22); }
    IStorageDeviceData* GetPrivateData() override { return m_data.get(); }
    void SetPrivateData(IStorageDeviceData* data) override { m_data.reset(data); }
    int GetType() override { return m_type; }
    ResultCode GetLastError() override { return m_error; }

private:
    int m_fd = -1;
    unsigned m_sectorSize;
    unsigned long long m_start;
    unsigned long long m_total = 0;
    int m_type;
    ResultCode m_error = 0;
    std::unique_ptr<IStorageDeviceData> m_data;
};

class Progress : public IProgress {
public:
    void UpdateProgress(_PROGRESS_INFO* info) override {
        if (info && info->state == PROGRESS_FINISHED) m_result = info->result;
    }
    int Continued() override { return 1; }
    int shouldBuild() override { return 1; }
    ResultCode m_result = 0;
};

// Keeps every node shown, in order, with the searcher type of its tree.
class Sink : public IDrirectoryTree {
public:
    void ShowNodes(IFileNode** nodes, unsigned count, int) override {
        for (unsigned i = 0; i < count; ++i)
            if (nodes[i]) m_nodes.push_back(nodes[i]);
    }
    int ShowFilesystemNode(IFilesystemNode* root) override {
        if (!root || !root->IsDirectory()) return 0;
        m_roots.push_back(root);
        return 1;
    }
    std::vector<IFileNode*> m_nodes;
    std::vector<IFilesystemNode*> m_roots;
};

class NoSleepClock : public ITreeBuilderClock {
public:
    long long NowSeconds() override {
        using namespace std::chrono;
        return duration_cast<seconds>(steady_clock::now().time_since_epoch()).count();
    }
    void SleepSeconds(unsigned) override {}
};

IFileNode* RootOf(IFileNode* node) {
    IFileNode* n = node;
    for (int guard = 0; n->GetParent() && guard < 4096; ++guard) n = n->GetParent();
    return n;
}

std::string PathOf(IFileNode* node, bool safe) {
    std::string path;
    int guard = 0;
    for (IFileNode* n = node; n && n->GetParent() && guard < 4096; n = n->GetParent(), ++guard) {
        const char* name = n->GetFileName();
        const std::string part = safe ? MakeSafeFileName(name ? name : "") : std::string(name ? name : "");
        path = path.empty() ? part : part + "/" + path;
    }
    return path;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: scan_image quick IMAGE [--offset SECTOR] [--sector-size N] [--recover DIR]\n"
                 "       scan_image deep IMAGE [--sector-size N] [--recover DIR]\n");
    return 2;
}

template <typename T>
struct Releaser {
    void operator()(T* p) const {
        if (p) p->Release();
    }
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) return Usage();
    if (WantsServicesMode(argc, argv)) return RunServicesMode(argc, argv, RegisterLibraries);
    const std::string mode = argv[1];
    const std::string image = argv[2];
    if (mode != "quick" && mode != "deep") return Usage();
    unsigned long long offset = 0;
    unsigned sectorSize = 512;
    std::string recoverDir;
    for (int i = 3; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) return Usage();
        if (a == "--offset" && mode == "quick") offset = std::stoull(argv[++i]);
        else if (a == "--sector-size") sectorSize = static_cast<unsigned>(std::stoul(argv[++i]));
        else if (a == "--recover") recoverDir = argv[++i];
        else return Usage();
    }
    if (sectorSize < 512 || sectorSize % 512 != 0) return Usage();

    // The listing goes to standard output; the engine's own diagnostic lines
    // are sent to standard error so they do not mix with it.
    std::fflush(stdout);
    FILE* listing = fdopen(::dup(STDOUT_FILENO), "w");
    if (!listing || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) return 1;

    RegisterLibraries();
    const bool quick = mode == "quick";
    ImageProbeDevice device(image, sectorSize, quick ? offset : 0, quick ? DEVICE_VOLUME : DEVICE_DISK);
    if (!device.IsOpen()) {
        std::fprintf(stderr, "scan_image: cannot open %s\n", image.c_str());
        return 1;
    }
    if (quick) {
        // The volume record the enumeration would have attached: the kind
        // found by the volume analysis at the offset.
        ImageProbeDevice whole(image, sectorSize, 0, DEVICE_DISK);
        std::unique_ptr<IVolumeAnalyzeController> analysis(CreateVolumeAnalyzeController(&whole, offset));
        IVolumeAnalyze* found = analysis ? analysis->GetVolumeAnzlyzer() : nullptr;
        auto* info = new CCollectedVolumeDeviceInfoStruct;
        info->fileSystemType = found ? static_cast<unsigned>(found->GetFileSystemType()) : unsigned{FS_UNKNOWN};
        char label[100] = {};
        if (found) found->GetLabel(label, sizeof label);
        const std::string labelText(label, strnlen(label, sizeof label));
        const std::string name = labelText.empty() ? std::filesystem::path(image).filename().string() : labelText;
        CopyRecordText(info->volumeName, name.c_str());
        CopyRecordText(info->label, labelText.c_str());
        info->sectorSize = sectorSize;
        info->totalSectors = static_cast<std::int64_t>(device.GetTotalSectors());
        info->startSector = static_cast<std::int64_t>(offset);
        device.SetPrivateData(CreateVolumeDeviceData(info));
    }

    std::unique_ptr<IRecoveryFilter, Releaser<IRecoveryFilter>> filter(CreateFilter());
    filter->SetFilterTypes(FILTER_ALL);
    filter->SetScanType(quick ? SCAN_QUICK_UNMOUNTED : SCAN_DEEP);
    std::unique_ptr<IRecoveryController, Releaser<IRecoveryController>> controller(
        CreateRecoveryController(quick ? RECOVERY_DELETED : RECOVERY_COMPLETE));
    NoSleepClock clock;
    if (auto* base = dynamic_cast<CRecoveryControllerBase*>(controller.get()))
        base->SetTreeBuilderFactory([&clock](bool replay) { return CreateTreeBuilder(replay, &clock); });
    controller->Initialize(filter.get());

    Progress progress;
    Sink sink;
    const auto t0 = std::chrono::steady_clock::now();
    const ResultCode rc = controller->StartDataRecovery(&device, &progress, &sink);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    unsigned long long files = 0, deleted = 0, bytes = 0;
    std::map<int, std::unique_ptr<IDataRecovery, Releaser<IDataRecovery>>> writers;
    int failures = 0;
    for (IFileNode* node : sink.m_nodes) {
        const int type = RootOf(node)->GetSearcheType();
        const bool dir = node->IsDirectory() != 0;
        const bool del = node->IsDeleted() != 0;
        const long long size = node->GetFileSize();
        std::fprintf(listing, "%d\t%c\t%lld\t%s%s\n", type, del ? 'D' : 'L', size, PathOf(node, false).c_str(), dir ? "/" : "");
        if (dir) continue;
        ++files;
        deleted += del;
        bytes += size > 0 ? static_cast<unsigned long long>(size) : 0;
        if (recoverDir.empty() || size <= 0) continue;
        auto& writer = writers[type];
        if (!writer) writer.reset(controller->GetDataRecovery(static_cast<_tagSearcherType>(type)));
        const std::filesystem::path dest = std::filesystem::path(recoverDir) / PathOf(node, true);
        std::error_code ec;
        std::filesystem::create_directories(dest.parent_path(), ec);
        IFileReader* reader = writer ? writer->SetRecoverNode(node) : nullptr;
        Progress p;
        if (!reader || IsFailure(writer->RecoverTo(dest.c_str(), &p, 0))) {
            std::fprintf(stderr, "scan_image: cannot recover %s\n", dest.c_str());
            ++failures;
        }
        if (reader) reader->Release();
    }
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    const double scanned = static_cast<double>(device.GetTotalSectors()) * sectorSize;
    std::fprintf(listing, "nodes=%zu files=%llu deleted=%llu bytes=%llu seconds=%.3f MBps=%.1f peakMiB=%.1f\n",
                sink.m_nodes.size(), files, deleted, bytes, seconds,
                seconds > 0 ? scanned / seconds / (1024.0 * 1024.0) : 0.0, usage.ru_maxrss / 1024.0);
    std::fclose(listing);
    if (IsFailure(rc)) std::fprintf(stderr, "scan_image: scan ended with 0x%llx\n", static_cast<unsigned long long>(rc));
    return IsFailure(rc) || failures ? 1 : 0;
}
