#include "bench/scan_image/ProbeRecover.h"

#include "bench/scan_image/ProbeOutput.h"
#include "engine/common/TextConvert.h"
#include "engine/enumeration/SameVolume.h"
#include "engine/include/DataRecovery.h"
#include "engine/include/FileNode.h"
#include "engine/include/Owned.h"
#include "engine/include/RecoveryController.h"
#include "engine/writer/DataRecovery.h"
#include "engine/writer/DestinationNames.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>

namespace {

// Upward walks end here even on a damaged (looping) tree.
constexpr int kMaxDepth = 4096;

class QuietProgress : public IProgress {
public:
    void UpdateProgress(_PROGRESS_INFO*) override {}
    int Continued() override { return 1; }
    int shouldBuild() override { return 1; }
};


class Descriptor {
public:
    explicit Descriptor(int fd = -1) : m_fd(fd) {}
    ~Descriptor() { Reset(-1); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    void Reset(int fd) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = fd;
    }
    int Get() const { return m_fd; }

private:
    int m_fd;
};

class Recovery {
public:
    Recovery(IRecoveryController& controller, int root) : m_controller(controller), m_root(root) {}

    bool Write(IFileNode* node) {
        Descriptor folder(::fcntl(m_root, F_DUPFD_CLOEXEC, 0));
        if (folder.Get() < 0 || !OpenFolderOf(node, folder)) return false;
        std::string name;
        if (!m_names.ReserveFile(folder.Get(), MakeSafeFileName(Name(node)), name)) return false;
        // An empty file is complete once its name is taken.
        if (node->GetFileSize() <= 0) return true;
        if (Copy(node, folder.Get(), name)) return true;
        ::unlinkat(folder.Get(), name.c_str(), 0);
        return false;
    }

private:
    static std::string Name(IFileNode* node) {
        const char* name = node->GetFileName();
        return name ? name : "";
    }

    // Walks from the root down to the node's folder, making each folder the
    // first time it is needed; folder holds the root on entry.
    bool OpenFolderOf(IFileNode* node, Descriptor& folder) {
        std::vector<IFileNode*> chain;
        for (IFileNode* n = node->GetParent(); n && n->GetParent() && chain.size() < kMaxDepth;
             n = n->GetParent())
            chain.push_back(n);
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            auto known = m_folders.find(*it);
            int next = -1;
            if (known != m_folders.end()) {
                next = ::openat(folder.Get(), known->second.c_str(),
                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            } else {
                std::string taken;
                next = m_names.CreateFolder(folder.Get(), MakeSafeFileName(Name(*it)), taken);
                if (next >= 0) m_folders[*it] = taken;
            }
            if (next < 0) return false;
            folder.Reset(next);
        }
        return true;
    }

    bool Copy(IFileNode* node, int folder, const std::string& name) {
        int type = NodeSearcherType(node);
        // Carved files by label are written by the carver's writer, as the
        // application's recovery does.
        if (type == SEARCHER_RAW_LABEL) type = SEARCHER_RAW;
        auto& writer = m_writers[type];
        if (!writer) writer.reset(m_controller.GetDataRecovery(static_cast<_tagSearcherType>(type)));
        IFileReader* reader = writer ? writer->SetRecoverNode(node) : nullptr;
        if (!reader) return false;
        reader->Release();
        QuietProgress progress;
        ResultCode rc = 0;
        if (auto* own = dynamic_cast<CDataRecovery*>(writer.get())) {
            rc = own->RecoverToAt(folder, name.c_str(), &progress, 0);
        } else {
            const std::string path = "/proc/self/fd/" + std::to_string(folder) + "/" + name;
            rc = writer->RecoverTo(path.c_str(), &progress, 0);
        }
        return !IsFailure(rc);
    }

    IRecoveryController& m_controller;
    int m_root;
    CDestinationNames m_names;
    std::map<IFileNode*, std::string> m_folders; // each made folder's name within its parent
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
    Descriptor root(::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Recovery recovery(controller, root.Get());
    for (IFileNode* node : nodes) {
        if (node->IsDirectory()) continue;
        if (root.Get() >= 0 && recovery.Write(node)) {
            ++counts.written;
            continue;
        }
        std::fprintf(stderr, "scan_image: cannot recover %s\n",
                     EscapeListingText(NodePath(node, false)).c_str());
        ++counts.failed;
    }
    return counts;
}
