#include "bench/scan_image/ProbeRecover.h"

#include "bench/scan_image/ProbeOutput.h"
#include "engine/common/FileNode.h"
#include "engine/enumeration/SameVolume.h"
#include "engine/include/DataRecovery.h"
#include "engine/include/FileNode.h"
#include "engine/include/Owned.h"
#include "engine/include/RecoveryController.h"
#include "engine/utility/EndSignals.h"
#include "engine/utility/FileUtils.h"
#include "engine/writer/DataRecovery.h"
#include "engine/writer/DestinationNames.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>

namespace {

// Goes on until an end signal comes; remembers that it told the writer to stop.
class QuietProgress : public IProgress {
public:
    void UpdateProgress(_PROGRESS_INFO*) override {}
    int Continued() override {
        if (ReceivedEndSignal() == 0) return 1;
        m_stopped = true;
        return 0;
    }
    int shouldBuild() override { return 1; }
    bool Stopped() const { return m_stopped; }

private:
    bool m_stopped = false;
};


class Recovery {
public:
    // folder ends in "/".
    Recovery(IRecoveryController& controller, const std::string& folder) : m_controller(controller) {
        m_destination.folder = folder;
        m_destination.volumePosition = [this](IFileNode* node) {
            const auto* writer = dynamic_cast<CDataRecovery*>(WriterFor(node));
            return writer ? writer->NodeVolumeStart(node) : -1LL;
        };
    }

    enum class Outcome { Written, Damaged, Failed, Stopped, Gone };

    // Before the first Write: the volumes of the files to come.
    void Note(const std::vector<IFileNode*>& nodes) {
        for (IFileNode* node : nodes) NoteRecoveryVolume(node, m_destination);
    }

    Outcome Write(IFileNode* node) {
        CRecoveryFile file;
        if (!CreateRecoveryFile(node, m_destination, file)) return Outcome::Failed;
        // An empty file is complete once its name is taken; one whose size
        // says nothing of its bytes is the writer's to judge.
        auto* fileNode = dynamic_cast<CFileNode*>(node);
        if (node->GetFileSize() <= 0 && !(fileNode && fileNode->IsSizeUnknown())) return Outcome::Written;
        const Outcome outcome = Copy(node, file.Folder(), file.Name());
        // A stopped copy left nothing but the empty name taken for it.
        if (outcome == Outcome::Failed || outcome == Outcome::Stopped || outcome == Outcome::Gone)
            ::unlinkat(file.Folder(), file.Name().c_str(), 0);
        return outcome;
    }

    // The bytes the copies of nodes really write (no holes, nothing unreadable).
    unsigned long long BytesToWrite(const std::vector<IFileNode*>& nodes) {
        unsigned long long bytes = 0;
        for (IFileNode* node : nodes) {
            if (node->IsDirectory() || node->GetFileSize() <= 0) continue;
            IDataRecovery* writer = WriterFor(node);
            IFileReader* reader = writer ? writer->SetRecoverNode(node) : nullptr;
            if (!reader) continue;
            reader->Release();
            auto* own = dynamic_cast<CDataRecovery*>(writer);
            bytes += static_cast<unsigned long long>(own ? own->BytesToWrite() : node->GetFileSize());
        }
        return bytes;
    }

private:
    IDataRecovery* WriterFor(IFileNode* node) {
        int type = NodeSearcherType(node);
        // Carved files by label are written by the carver's writer, as the
        // application's recovery does.
        if (type == SEARCHER_RAW_LABEL) type = SEARCHER_RAW;
        auto& writer = m_writers[type];
        if (!writer) writer.reset(m_controller.GetDataRecovery(static_cast<_tagSearcherType>(type)));
        return writer.get();
    }

    Outcome Copy(IFileNode* node, int folder, const std::string& name) {
        IDataRecovery* writer = WriterFor(node);
        IFileReader* reader = writer ? writer->SetRecoverNode(node) : nullptr;
        if (!reader) return Outcome::Failed;
        reader->Release();
        QuietProgress progress;
        ResultCode rc = 0;
        if (auto* own = dynamic_cast<CDataRecovery*>(writer)) {
            rc = own->RecoverToAt(folder, name.c_str(), &progress, 0);
        } else {
            const std::string path = "/proc/self/fd/" + std::to_string(folder) + "/" + name;
            rc = writer->RecoverTo(path.c_str(), &progress, 0);
        }
        if (progress.Stopped()) return Outcome::Stopped;
        if (rc == WriterResult::DeviceGone) return Outcome::Gone;
        // Written at full length with unreadable ranges as zeros: kept, counted as failed.
        if (rc == WriterResult::Unreadable) return Outcome::Damaged;
        return IsFailure(rc) ? Outcome::Failed : Outcome::Written;
    }

    IRecoveryController& m_controller;
    RecoveryDestination m_destination;
    std::map<int, Owned<IDataRecovery>> m_writers;
};

} // namespace

std::string RefuseDestination(const std::string& scanned, const std::string& destination) {
    CSysfsBlockDeviceFacts facts;
    return SameVolumeReason(scanned, destination, facts);
}

RecoverCounts RecoverFiles(IRecoveryController& controller, const std::vector<IFileNode*>& nodes,
                           const std::string& destination) {
    RecoverCounts counts;
    std::error_code ec;
    std::filesystem::create_directories(destination, ec);
    CDescriptor root(::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Recovery recovery(controller, destination + "/");
    // Refused whole when the files' data cannot fit: nothing is written.
    struct statvfs space {};
    if (root.Get() >= 0 && ::fstatvfs(root.Get(), &space) == 0) {
        const unsigned long long need = recovery.BytesToWrite(nodes);
        const unsigned long long free = static_cast<unsigned long long>(space.f_bavail) * space.f_frsize;
        if (need > free) {
            std::fprintf(stderr, "scan_image: the files need %llu bytes, the destination has %llu free\n", need, free);
            counts.noSpace = true;
            return counts;
        }
    }
    // In the program's order, so that equal names are numbered as it numbers
    // them: files of the found file systems before carved ones, and within
    // each live files before deleted ones.
    std::vector<IFileNode*> passes[4];
    for (IFileNode* node : nodes) {
        const int type = NodeSearcherType(node);
        passes[(type == SEARCHER_RAW || type == SEARCHER_RAW_LABEL ? 2 : 0) + (node->IsDeleted() ? 1 : 0)].push_back(node);
    }
    std::vector<IFileNode*> ordered;
    ordered.reserve(nodes.size());
    for (const auto& pass : passes) ordered.insert(ordered.end(), pass.begin(), pass.end());
    recovery.Note(ordered);
    for (IFileNode* node : ordered) {
        if (ReceivedEndSignal() != 0) break;
        if (node->IsDirectory()) continue;
        const auto outcome = root.Get() >= 0 ? recovery.Write(node) : Recovery::Outcome::Failed;
        if (outcome == Recovery::Outcome::Stopped) break;
        if (outcome == Recovery::Outcome::Gone) {
            std::fprintf(stderr, "scan_image: the device stopped answering: recovery stopped at %s after %llu files\n",
                         EscapeListingText(NodePath(node, false)).c_str(), counts.written);
            counts.deviceGone = true;
            break;
        }
        if (outcome == Recovery::Outcome::Written) {
            ++counts.written;
            continue;
        }
        std::fprintf(stderr, "scan_image: %s %s\n",
                     outcome == Recovery::Outcome::Damaged ? "damaged (unreadable bytes are zeros):" : "cannot recover",
                     EscapeListingText(NodePath(node, false)).c_str());
        ++counts.failed;
    }
    return counts;
}
