// scan_image quick|deep IMAGE --services [--search TEXT] [--recover DIR] [--save FILE]
// scan_image load FILE --device IMAGE [--device IMAGE...] [--search TEXT] [--recover DIR]
// The image is listed by the real enumerator as an attached disk image (a
// block device such as a loop device is listed as the system lists it), the
// whole disk is scanned through the facade (quick: each volume in turn; deep:
// the whole disk), the QtCore loop runs until the scan has ended and its end
// post came, and one line per node is printed from the path view (folders)
// and its file lists (files), then the summary line. With --search only the
// files the name search leaves shown are listed. With --recover every found
// file is ticked and recovered into DIR through the facade, and a line
// "recovered=N failed=F bytes=B seconds=S MBps=X" follows; a DIR on the
// scanned disk is refused, and a recovery that pauses on a write failure is
// stopped (as by a user who cannot make room); either, or any file that
// failed, makes the exit status 1.
// With --save the scanned result is saved into FILE through the facade. The
// load form loads FILE through the facade instead of scanning and goes on
// the same way; a failed save or load prints "save failed: code N" or
// "load failed: code N" and exits 1.
#include "bench/scan_image/ServicesMode.h"
#include "bench/scan_image/ProbeArgs.h"
#include "bench/scan_image/ProbeOutput.h"
#include "bench/scan_image/ProbeRecover.h"

#include "engine/all/AllLibraries.h"
#include "engine/controller/RecoveryControllers.h"
#include "engine/enumeration/EnumDevice.h"
#include "engine/tree/DirectoryTreeBuilder.h"
#include "engine/utility/EndSignals.h"
#include "savedscan/SaveRestoreResult.h"
#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "services/CPPPublic.h"
#include "services/DeviceData.h"
#include "services/EndSignals.h"
#include "services/StatusPoller.h"
#include "services/UIController.h"
#include "services/UIRecovery.h"
#include "services/UIScan.h"
#include "tests/support/ImageFileFacts.h"

#include <QCoreApplication>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// The builder's pause before a tree's first batch is for the windows, not
// for the probe.
struct NoPauseClock : ITreeBuilderClock {
    long long NowSeconds() override { return SystemTreeBuilderClock()->NowSeconds(); }
    void SleepSeconds(unsigned) override {}
};

// A whole block device (a loop device attached read-only, a card reader) is
// listed as the system lists it, alone, so that it is disk 0.
class OneDiskFacts : public IBlockDeviceFacts {
public:
    OneDiskFacts(IBlockDeviceFacts& system, std::string name) : m_system(system), m_name(std::move(name)) {}
    std::vector<BlockDiskFacts> ListDisks() override {
        std::vector<BlockDiskFacts> disks = m_system.ListDisks();
        std::erase_if(disks, [&](const BlockDiskFacts& d) { return d.name != m_name; });
        return disks;
    }
    std::string DevicePath(const std::string& name) override { return m_system.DevicePath(name); }
    bool ProbeTable(const std::string& path, unsigned sectorSize, BlockTableFacts& out) override {
        return m_system.ProbeTable(path, sectorSize, out);
    }
    bool ProbeVolume(const std::string& path, std::uint64_t offset, std::uint64_t size,
                     BlockVolumeFacts& out) override {
        return m_system.ProbeVolume(path, offset, size, out);
    }
    std::string MountPoint(unsigned major, unsigned minor) override { return m_system.MountPoint(major, minor); }

private:
    IBlockDeviceFacts& m_system;
    std::string m_name;
};

// The kernel's name of a device node ("/dev/loop3" -> "loop3"), links followed.
std::string KernelName(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    std::string name = real ? real : path;
    std::free(real);
    const auto slash = name.rfind('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

struct Totals {
    unsigned long long nodes = 0, files = 0, deleted = 0, bytes = 0;
};

std::string PathBelowRoot(IFileNode* node) {
    std::string path;
    for (int depth = 0; node && node->GetParent() && depth < 4096; ++depth, node = node->GetParent())
        path = std::string(node->GetFileName()) + (path.empty() ? "" : "/" + path);
    return path;
}

void PrintNode(FILE* out, IFileNode* node, Totals& totals) {
    const bool dir = node->IsDirectory() != 0, del = node->IsDeleted() != 0;
    const long long size = node->GetFileSize();
    std::fprintf(out, "%d\t%c\t%lld\t%s%s\n", static_cast<int>(VXCPPPublic::instance().GetNodeSearcheType(node)), del ? 'D' : 'L', size,
                 EscapeListingText(PathBelowRoot(node)).c_str(), dir ? "/" : "");
    ++totals.nodes;
    if (dir) return;
    ++totals.files;
    totals.deleted += del;
    totals.bytes += size > 0 ? static_cast<unsigned long long>(size) : 0;
}

// Folders from the path view, files from each item's file list, depth first.
void PrintPathView(FILE* out, const OpNodeList& roots, Totals& totals) {
    VXUIController& facade = VXUIController::shared();
    std::vector<OpNodeRef> stack;
    for (auto it = roots.rbegin(); it != roots.rend(); ++it) stack.push_back(it->item());
    while (!stack.empty()) {
        const OpNodeRef item = stack.back();
        stack.pop_back();
        if (!item->isFileSystem()) PrintNode(out, item->fileNode(), totals);
        OpNodeList files;
        facade.GetFileNodeToArray(files, item);
        for (const OpNodeEntry& f : files) PrintNode(out, f.file(), totals);
        if (item->children())
            for (auto it = item->children()->rbegin(); it != item->children()->rend(); ++it) stack.push_back(it->item());
    }
}

struct RecoverLine {
    std::uint64_t recovered = 0, failed = 0, bytes = 0;
    double seconds = 0;
    bool stoppedOnWriteFailure = false;
};

// Ticks every root, recovers into dir and waits for the end and its post.
bool RecoverAll(const OpNodeList& roots, const std::string& dir, RecoverLine& line) {
    VXUIController& facade = VXUIController::shared();
    for (const OpNodeEntry& r : roots) r.item()->setNodeState(2);
    int count = 0;
    std::uint64_t size = 0;
    facade.GetSelectedFilesAmout(&count, &size);
    int posts = 0;
    auto& center = salvor::platform::NotificationCenter::defaultCenter();
    center.addObserver(&posts, "DoRecovery", [&](const auto&) {
        if (VXUIRecovery::instance().IsOperationExit()) ++posts;
    });
    const auto t0 = std::chrono::steady_clock::now();
    const bool ended = facade.DoRecovery(&roots, QString::fromStdString(dir), "DoRecovery", nullptr) == 0 &&
                       salvor::platform::runUntil(
                           [&] {
                               if (VXUIRecovery::instance().GetStatus() == OP_PAUSED) {
                                   line.stoppedOnWriteFailure = true;
                                   facade.StopRecvoery();
                               }
                               return VXUIRecovery::instance().IsOperationExit() && CStatusPoller::LivePollers() == 0 &&
                                      posts > 0;
                           },
                           std::chrono::hours(24));
    line.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    center.removeObserver(&posts);
    line.recovered = facade.GetRecoveridedFiles();
    line.bytes = facade.GetRecoveridedSize();
    line.failed = VXUIRecovery::instance().GetFailedFilesCnt();
    return ended;
}

bool WaitForScanEnd(std::chrono::seconds limit) {
    VXUIScan& scan = VXUIScan::instance();
    return salvor::platform::runUntil(
        [&] { return scan.IsOperationExit() && scan.LiveWorkers() == 0 && CStatusPoller::LivePollers() == 0; }, limit);
}

// Saves (save) or loads through the facade as the windows do and waits for
// "QueryProgressFinish"; answers the error code, or -1 when it never came.
long long TransferThroughFacade(bool save, const std::string& file) {
    VXUIController& facade = VXUIController::shared();
    int finished = 0;
    auto& center = salvor::platform::NotificationCenter::defaultCenter();
    center.addObserver(&finished, "QueryProgressFinish", [&](const auto&) { ++finished; });
    const QString path = QString::fromUtf8(file.c_str());
    if (save) {
        facade.RestorPostUIUpdate("QueryProgressInfo", true);
        facade.beginSaveOrRestoreNode(true, path);
    } else {
        facade.beginSaveOrRestoreNode(false, path);
        facade.RestorPostUIUpdate("NormalScranValue", false);
    }
    const bool ended = salvor::platform::runUntil(
        [&] { return finished > 0 && CStatusPoller::LivePollers() == 0; }, std::chrono::hours(24));
    center.removeObserver(&finished);
    if (!ended) return -1;
    std::uint64_t total = 0, current = 0, error = 0;
    facade.GetSaveorRestoreProgress(&total, &current, &error, save);
    return static_cast<long long>(error);
}

// "progress P%" on standard error each time the scan gets a percent further.
void PrintProgress(VXUIScan& scan) {
    static int printed = 0;
    const _PROGRESS_INFO info = scan.GetProgressInfo();
    if (info.state != PROGRESS_RUNNING || info.total == 0) return;
    const auto percent = static_cast<int>(std::min<std::uint64_t>(info.current, info.total) * 100 / info.total);
    if (percent <= printed) return;
    printed = percent;
    std::fprintf(stderr, "progress %d%%\n", percent);
    std::fflush(stderr);
}

// Once the recovery or save stopped by an end signal has ended (the file
// being written whole or removed), the probe ends by the signal.
void EndIfSignalled() {
    if (const int number = ReceivedEndSignal()) salvor::services::endBySignal(number);
}

} // namespace

int RunServicesMode(int argc, char** argv) {
    if (argc < 3) return ProbeUsage("missing FILE");
    const std::string mode = argv[1];
    const bool load = mode == "load";
    std::string image = load ? "" : argv[2], savedFile = load ? argv[2] : "";
    std::string search, recoverDir, saveTo;
    // A load may be given more images, attached beside the first (cards of
    // one make, say).
    std::vector<std::string> others;
    bool searching = false, progress = false;
    for (int i = 3; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--services" && !load) continue;
        if (a == "--progress") {
            progress = true;
            continue;
        }
        if (a == "--device" && load && i + 1 < argc && argv[i + 1][0]) {
            if (image.empty())
                image = argv[++i];
            else
                others.push_back(argv[++i]);
            continue;
        }
        if (a == "--no-marks" && !load) {
            SaveRestoreResult::SetContentMarks(false);
            continue;
        }
        if (a == "--save" && !load && i + 1 < argc && argv[i + 1][0]) {
            saveTo = argv[++i];
            continue;
        }
        if (a == "--search" && i + 1 < argc) {
            search = argv[++i];
            searching = true;
            continue;
        }
        if (a == "--recover" && i + 1 < argc && argv[i + 1][0]) {
            recoverDir = argv[++i];
            continue;
        }
        if (a == "--search" || a == "--recover" || a == "--save" || a == "--device")
            return ProbeUsage(a + " needs a value");
        return ProbeUsage("unknown option '" + a + "'");
    }
    if (mode != "quick" && mode != "deep" && !load) return ProbeUsage("unknown mode '" + mode + "'");
    if (image.empty()) return ProbeUsage("load needs --device IMAGE");

    // An image is listed in whole 512-byte sectors; a shorter one would be a disk of none.
    struct stat st {};
    if (::stat(image.c_str(), &st) != 0) st = {};
    if (S_ISREG(st.st_mode) && st.st_size < 512) {
        std::fprintf(stderr, "scan_image: %s is smaller than one sector (512 bytes)\n", image.c_str());
        return 1;
    }
    // The listing goes to standard output, the engine's own lines to standard error.
    std::fflush(stdout);
    FILE* listing = fdopen(::dup(STDOUT_FILENO), "w");
    if (!listing || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) return 1;

    QCoreApplication app(argc, argv);
    // SIGTERM, SIGINT and SIGHUP end the probe as they end the program: a
    // recovery or save is stopped first, as its Stop does.
    salvor::services::routeEndSignals(&app, [&app](int number) {
        static bool ending = false;
        if (ending) return;
        ending = true;
        salvor::services::endAfterWriting(&app, [number] { salvor::services::endBySignal(number); });
    });
    RegisterAllLibraries();
    SaveRestoreResult::SetLoadPause(std::chrono::milliseconds(0));
    std::vector<std::string> images{image};
    images.insert(images.end(), others.begin(), others.end());
    salvor::test::ImageFileFacts imageFacts(images);
    CSysfsBlockDeviceFacts system;
    OneDiskFacts diskFacts(system, S_ISBLK(st.st_mode) ? KernelName(image) : "");
    IBlockDeviceFacts& facts = S_ISBLK(st.st_mode) ? static_cast<IBlockDeviceFacts&>(diskFacts) : imageFacts;
    CEnumDeviceEx enumerator(facts);
    VXUIDeviceData devices(&enumerator);
    if (!devices.InitDeviceInfo()) {
        std::fprintf(stderr, "scan_image: %s is not listed as a disk\n", image.c_str());
        return 1;
    }
    VXUIDeviceData::install(&devices);
    VXUIScan& scan = VXUIScan::instance();
    NoPauseClock clock;
    scan.SetControllerFactory([&clock](_RECOVERY_CONTROLLER_TYPE type) {
        IRecoveryController* c = CreateRecoveryController(type);
        if (auto* base = dynamic_cast<CRecoveryControllerBase*>(c))
            base->SetTreeBuilderFactory([&clock](bool replay) { return CreateTreeBuilder(replay, &clock); });
        return c;
    });
    VXUIController& facade = VXUIController::shared();
    facade.initFileType();
    facade.SetRecoveryType(FILTER_ALL);

    // A file-size limit makes writes fail (and the recovery pause) rather than end the process.
    if (!recoverDir.empty()) std::signal(SIGXFSZ, SIG_IGN);
    // No one to warn here: a destination on the scanned disk is refused.
    scan.SaveScanSorage(devices.GetDiskStorageByIndex(0));
    // The listed disk is a stand-in for the image: the image's own mounts are
    // judged as the bare probe judges them.
    if (!recoverDir.empty()) {
        std::string reason = RefuseDestination(image, recoverDir);
        if (reason.empty() && facade.IsRecoveryToSameDevice(QString::fromStdString(recoverDir)))
            reason = recoverDir + " is on the scanned disk";
        if (!reason.empty()) {
            std::fprintf(stderr, "scan_image: refusing --recover: %s\n", reason.c_str());
            return 1;
        }
    }

    int posts = 0;
    salvor::platform::NotificationCenter::defaultCenter().addObserver(&posts, "NormalScranValue",
                                                                      [&](const auto&) {
                                                                          ++posts;
                                                                          if (progress) PrintProgress(scan);
                                                                      });
    scan.SetDeepScan(mode == "deep" ? 1 : 0);
    const auto t0 = std::chrono::steady_clock::now();
    if (load) {
        const long long code = TransferThroughFacade(false, savedFile);
        if (code != 0) {
            std::fprintf(stderr, "load failed: code %lld\n", code);
            std::fclose(listing);
            return 1;
        }
    } else if (!facade.DoScanWithDiskIndex(0, -1, "NormalScranValue") || !WaitForScanEnd(std::chrono::hours(24))) {
        std::fprintf(stderr, "scan_image: the scan did not run\n");
        return 1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (!load) salvor::platform::runUntil([&] { return posts > 0; }, std::chrono::seconds(5)); // the end post

    if (searching) {
        bool done = false;
        salvor::platform::NotificationCenter::defaultCenter().addObserver(&done, "DoSearchValue",
                                                                          [&](const auto&) { done = true; });
        if (!facade.DoSearchWithString(QString::fromUtf8(search.c_str()), "DoSearchValue") ||
            !salvor::platform::runUntil([&] { return done; }, std::chrono::hours(1))) {
            std::fprintf(stderr, "scan_image: the search did not run\n");
            return 1;
        }
        facade.StopSearch();
    }

    OpNodeList roots;
    facade.SetViewType(0);
    facade.GetScanTreeNodeData(&roots, false);
    Totals totals;
    PrintPathView(listing, roots, totals);
    const double scanned = static_cast<double>(devices.GetDiskStorageByIndex(0)->GetTotalSectors()) *
                           devices.GetDiskStorageByIndex(0)->GetSectorSize();
    ProbeTotals summary;
    summary.nodes = totals.nodes;
    summary.files = totals.files;
    summary.deleted = totals.deleted;
    summary.bytes = totals.bytes;
    summary.seconds = seconds;
    summary.scannedBytes = scanned;
    PrintSummaryLine(listing, summary);
    int status = 0;
    if (!load && scan.EndedByDeviceGone()) {
        // What is listed is what the scan found before the device went.
        std::fprintf(stderr, "scan_image: the device stopped answering: scan ended at %.0f%%\n",
                     scan.DeviceGoneAtPercent());
        status = 1;
    }
    if (!recoverDir.empty()) {
        RecoverLine line;
        const bool recovered = RecoverAll(roots, recoverDir, line);
        EndIfSignalled();
        if (!recovered) {
            std::fprintf(stderr, "scan_image: the recovery did not run\n");
            status = 1;
        }
        // As in the bare mode: a file that could not be recovered fails the run.
        if (line.failed > 0) status = 1;
        if (VXUIRecovery::instance().StoppedBySourceGone()) {
            std::fprintf(stderr, "scan_image: the device stopped answering: recovery stopped after %llu files\n",
                         static_cast<unsigned long long>(line.recovered));
            status = 1;
        }
        if (line.stoppedOnWriteFailure) {
            std::fprintf(stderr, "scan_image: a write into %s failed; the recovery was stopped\n", recoverDir.c_str());
            status = 1;
        }
        std::fprintf(listing, "recovered=%llu failed=%llu bytes=%llu seconds=%.3f MBps=%.1f\n",
                     static_cast<unsigned long long>(line.recovered), static_cast<unsigned long long>(line.failed),
                     static_cast<unsigned long long>(line.bytes), line.seconds,
                     line.seconds > 0 ? static_cast<double>(line.bytes) / 1e6 / line.seconds : 0.0);
    }
    if (!saveTo.empty()) {
        const long long code = TransferThroughFacade(true, saveTo);
        EndIfSignalled();
        if (code != 0) {
            std::fprintf(stderr, "save failed: code %lld\n", code);
            status = 1;
        }
    }
    std::fclose(listing);
    salvor::platform::NotificationCenter::defaultCenter().removeObserver(&posts);
    scan.ReleaseResults(); // the controllers read the devices, which go next
    scan.SetControllerFactory(nullptr);
    VXUIDeviceData::install(nullptr);
    return status;
}
