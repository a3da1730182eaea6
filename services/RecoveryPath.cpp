#include "services/RecoveryPath.h"

#include "engine/common/TextConvert.h"
#include "engine/include/FileNode.h"
#include "services/CPPPublic.h"
#include "services/NodeWalk.h"
#include "services/RecoveryFolders.h"
#include "services/UIPublic.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

namespace {

constexpr std::size_t kMaxName = 255;
constexpr unsigned kMaxNumber = 100000;

// Makes path a folder; true when it is one now.
bool MakeFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) == 0) return true;
    struct stat st {};
    return errno == EEXIST && ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The nodes from node up to the top of its chain; empty for a chain that
// does not end (a loop).
std::vector<IFileNode*> ParentChain(IFileNode* node) {
    std::vector<IFileNode*> chain;
    for (IFileNode* n = node; n; n = n->GetParent()) {
        if (chain.size() > static_cast<std::size_t>(kMaxNodeDepth)) return {};
        chain.push_back(n);
    }
    return chain;
}

// The safe names from the volume down to the chain's first node.
std::vector<std::string> SafeNames(const std::vector<IFileNode*>& chain) {
    std::vector<std::string> names;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        const char* text = (*it)->GetParent() ? (*it)->GetFileName() : (*it)->GetVolumeName();
        names.push_back(MakeSafeFileName(text ? text : ""));
    }
    return names;
}

// Creates folder + kind + "%04d" with the first free number; 0 when none could be made.
int MakeKindFolder(const std::string& folder, const std::string& kind) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    for (unsigned n = 1; n < kMaxNumber; ++n) {
        char number[16];
        std::snprintf(number, sizeof number, "%04u", n);
        if (::mkdir((folder + kind + number).c_str(), 0755) == 0) return static_cast<int>(n);
        if (errno != EEXIST) return 0;
    }
    return 0;
}

} // namespace

std::string NumberedRecoveryName(const std::string& name, unsigned count) {
    const std::size_t dot = name.rfind('.');
    const bool ext = dot != std::string::npos && dot > 0;
    std::string stem = ext ? name.substr(0, dot) : name;
    const std::string tail = ext ? name.substr(dot) : std::string();
    char number[16];
    std::snprintf(number, sizeof number, "_%04u", count);
    const std::size_t room = kMaxName > tail.size() + std::strlen(number) ? kMaxName - tail.size() - std::strlen(number) : 0;
    if (stem.size() > room) {
        std::size_t cut = room;
        while (cut > 0 && (static_cast<unsigned char>(stem[cut]) & 0xC0) == 0x80) --cut;
        stem.resize(cut);
    }
    return (stem + number + tail).substr(0, kMaxName);
}

char* CreateRecoveryFilePathByNode(void* opaque, const char* folder) {
    auto* node = static_cast<IFileNode*>(opaque);
    if (!node || !folder || !node->IsNodeShow()) return nullptr;
    // One walk up the chain, bounded: its top tells the searcher type.
    const std::vector<IFileNode*> chain = ParentChain(node);
    if (chain.empty()) return nullptr;
    const _tagSearcherType type = VXCPPPublic::instance().GetNodeSearcheType(chain.back());
    if (type == SEARCHER_NONE) return nullptr;
    const std::vector<std::string> names = SafeNames(chain);

    RecoveryFolders& recovery = RecoveryFolders::instance();
    const std::string kind = VXUIPublic::GetFileSystemStrByType(type).toStdString();
    int index = recovery.GetCreateDirIndex(type);
    if (index < 1) {
        index = MakeKindFolder(folder, kind);
        if (index < 1) return nullptr;
        recovery.SetCreateDirIndex(type, index);
    }
    char number[16];
    std::snprintf(number, sizeof number, "%04d", index);
    std::string path = folder + kind + number;
    const bool directory = node->IsDirectory() != 0;
    // Folders down to the node's (the node's own for a directory).
    const std::size_t folders = directory ? names.size() : names.size() - 1;
    for (std::size_t i = 0; i < folders; ++i) {
        path += "/" + names[i];
        if (recovery.IsFolderMade(path)) continue;
        if (!MakeFolder(path)) return nullptr;
        recovery.AddFolderMade(path);
    }
    if (directory) return nullptr;

    // The name is taken by creating the file, never by testing for it.
    const std::string name = names.back();
    for (unsigned count = 0; count < kMaxNumber; ++count) {
        const std::string candidate = path + "/" + (count ? NumberedRecoveryName(name, count) : name);
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::close(fd);
            return ::strdup(candidate.c_str());
        }
        if (errno != EEXIST) return nullptr;
    }
    return nullptr;
}
