// scan_image quick IMAGE|DEVICE [--offset SECTOR] [--sector-size N] [--recover DIR]
// scan_image deep IMAGE|DEVICE [--sector-size N] [--recover DIR]
// scan_image quick|deep IMAGE --services [--search TEXT] [--save FILE] ... (ServicesMode.h)
// scan_image load FILE --device IMAGE [--device IMAGE...] [--search TEXT] [--recover DIR] (ServicesMode.h)
// The services modes run in scan_image_services, beside this program, so the
// engine's own modes start without loading Qt.
// scan_image --help (the whole usage: ProbeArgs.cpp)
// Scans an image file or a block device through the engine's controllers (the
// deep scan with every registered searcher, the carver among them) and
// prints one line per found node, then the summary line (ProbeOutput.h).
#include "bench/scan_image/ProbeArgs.h"
#include "bench/scan_image/ProbeDevice.h"
#include "bench/scan_image/ProbeOutput.h"
#include "bench/scan_image/ProbeRecover.h"
#include "engine/all/AllLibraries.h"
#include "engine/carver/RAWSearchController.h"
#include "engine/controller/RecoveryControllers.h"
#include "engine/device/StorageDeviceWithCache.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/include/Owned.h"
#include "engine/include/RecoveryController.h"
#include "engine/include/RecoveryFilter.h"
#include "engine/include/StorageDevice.h"
#include "engine/tree/DirectoryTreeBuilder.h"
#include "engine/utility/EndSignals.h"
#include "engine/utility/SectorReads.h"
#include "engine/writer/DestinationFile.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

class Progress : public IProgress {
public:
    void UpdateProgress(_PROGRESS_INFO* info) override {
        if (m_print && info && info->state == PROGRESS_RUNNING && info->total > 0) {
            const auto percent = static_cast<int>(std::min<std::uint64_t>(info->current, info->total) * 100 / info->total);
            if (percent > m_printed) {
                m_printed = percent;
                std::fprintf(stderr, "progress %d%%\n", percent);
                std::fflush(stderr);
            }
        }
        if (info && info->state == PROGRESS_FINISHED) {
            m_result = info->result;
            m_total = info->total;
            m_current = info->current;
        }
    }
    // An end signal stops the scan.
    int Continued() override { return ReceivedEndSignal() == 0; }
    int shouldBuild() override { return 1; }
    ResultCode m_result = 0;
    std::uint64_t m_total = 0, m_current = 0;
    bool m_print = false;
    int m_printed = 0;
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


// Runs scan_image_services from this program's folder with the same
// arguments; answers only when it could not be run.
int RunServicesProgram(char** argv) {
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        std::fprintf(stderr, "scan_image: cannot find its own folder: %s\n", std::strerror(errno));
        return 1;
    }
    self[n] = '\0';
    std::string program(self);
    program = program.substr(0, program.rfind('/') + 1) + "scan_image_services";
    ::execv(program.c_str(), argv);
    std::fprintf(stderr, "scan_image: cannot run %s: %s\n", program.c_str(), std::strerror(errno));
    return 1;
}

// After an end signal: nothing unfinished is left, and the process ends as
// the signal would have ended it.
void EndIfSignalled() {
    if (const int number = ReceivedEndSignal()) {
        RemoveDestinationTemporaries();
        EndBySignal(number);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (WantsHelp(argc, argv)) {
        PrintUsage(stdout);
        return 0;
    }
    if (WantsServicesMode(argc, argv)) return RunServicesProgram(argv);
    ProbeArgs args;
    std::string error;
    if (!ParseProbeArgs(argc, argv, args, error)) return ProbeUsage(error);
    const bool quick = args.mode == "quick";
    if (args.keptLimit) CStorageDeviceWithCache::SetKeptLimit(static_cast<std::size_t>(args.keptLimit));
    // A file-size limit fails the write (and the file) instead of ending the probe.
    std::signal(SIGXFSZ, SIG_IGN);
    // SIGTERM, SIGINT and SIGHUP stop the scan or the file being written as
    // the program's Stop does; the probe then ends by the signal.
    CatchEndSignals();

    // The listing goes to standard output; the engine's own diagnostic lines
    // are sent to standard error so they do not mix with it.
    std::fflush(stdout);
    FILE* listing = fdopen(::dup(STDOUT_FILENO), "w");
    if (!listing || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) return 1;

    if (!args.recoverDir.empty()) {
        const std::string reason = RefuseDestination(args.image, args.recoverDir);
        if (!reason.empty()) {
            std::fprintf(stderr, "scan_image: refusing --recover: %s\n", reason.c_str());
            return 1;
        }
    }

    RegisterAllLibraries();
    std::unique_ptr<ScanDevice> device = OpenScanDevice(args.image, quick, args.offset, args.sectorSize, error);
    if (!device) {
        std::fprintf(stderr, "scan_image: %s\n", error.c_str());
        return 1;
    }

    Owned<IRecoveryFilter> filter(CreateFilter());
    filter->SetFilterTypes(FILTER_ALL);
    filter->SetScanType(quick ? SCAN_QUICK_UNMOUNTED : SCAN_DEEP);
    Owned<IRecoveryController> controller(
        CreateRecoveryController(quick ? RECOVERY_DELETED : RECOVERY_COMPLETE));
    NoSleepClock clock;
    if (auto* base = dynamic_cast<CRecoveryControllerBase*>(controller.get()))
        base->SetTreeBuilderFactory([&clock](bool replay) { return CreateTreeBuilder(replay, &clock); });
    controller->Initialize(filter.get());

    Progress progress;
    progress.m_print = args.progress;
    Sink sink;
    IStorageDevice* scanned = device->Scanned();
    const auto t0 = std::chrono::steady_clock::now();
    const ResultCode rc = controller->StartDataRecovery(scanned, &progress, &sink);
    ProbeTotals totals;
    totals.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    totals.scannedBytes = static_cast<double>(scanned->GetTotalSectors()) * scanned->GetSectorSize();
    totals.notKept = TakeLastCarveNotKept();
    EndIfSignalled();

    for (IFileNode* node : sink.m_nodes) {
        PrintNodeLine(listing, node);
        totals.Add(node);
    }
    int failures = 0;
    if (!args.recoverDir.empty()) {
        const RecoverCounts counts = RecoverFiles(*controller, sink.m_nodes, args.recoverDir);
        totals.written = static_cast<long long>(counts.written);
        totals.failed = static_cast<long long>(counts.failed);
        failures = static_cast<int>(counts.failed) + (counts.noSpace || counts.deviceGone ? 1 : 0);
        EndIfSignalled();
    }
    PrintSummaryLine(listing, totals);
    std::fclose(listing);
    if (rc == ControllerResult::DeviceGone)
        // The listing above is what was found before the device went.
        std::fprintf(stderr, "scan_image: the device stopped answering: scan ended at %.0f%% (%llu of %llu)\n",
                     progress.m_total ? 100.0 * static_cast<double>(progress.m_current) / static_cast<double>(progress.m_total) : 0.0,
                     static_cast<unsigned long long>(progress.m_current), static_cast<unsigned long long>(progress.m_total));
    if (IsFailure(rc)) std::fprintf(stderr, "scan_image: scan ended with 0x%llx\n", static_cast<unsigned long long>(rc));
    // Not a clean scan: what the unreadable sectors held is not listed.
    if (const long long lost = salvor::UnreadableStructureSectors(); lost > 0)
        std::fprintf(stderr, "scan_image: %lld sectors of the file systems' structures could not be read\n", lost);
    return IsFailure(rc) || failures ? 1 : 0;
}
