#include "engine/writer/DestinationNames.h"

#include "engine/common/FileNode.h"
#include "engine/common/TextConvert.h"
#include "engine/include/FileNode.h"
#include "engine/utility/FileUtils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

namespace {

constexpr std::size_t kMaxName = 255;
// Attempts per kind folder and per name (a folder full of that name's numbers).
constexpr unsigned kMaxNumber = 100000;
// The deepest parent chain followed before it counts as a loop.
constexpr std::size_t kMaxDepth = 1024;

// The nodes from node up to the top of its chain; empty for a chain that
// does not end (a loop).
std::vector<IFileNode*> ParentChain(IFileNode* node) {
    std::vector<IFileNode*> chain;
    for (IFileNode* n = node; n; n = n->GetParent()) {
        if (chain.size() > kMaxDepth) return {};
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

std::string FourDigits(unsigned n) {
    char number[16];
    std::snprintf(number, sizeof number, "%04u", n);
    return number;
}

// Creates folder + kind + number with the first free number; 0 when none could be made.
int MakeKindFolder(const std::string& folder, const std::string& kind) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    for (unsigned n = 1; n < kMaxNumber; ++n) {
        if (::mkdir((folder + kind + FourDigits(n)).c_str(), 0755) == 0) return static_cast<int>(n);
        if (errno != EEXIST) return 0;
    }
    return 0;
}

// Enters name under parent, making it first unless made is set; never
// follows a link or enters a file standing where the folder goes.
int EnterFolder(int parent, const std::string& name, bool made) {
    if (!made && ::mkdirat(parent, name.c_str(), 0755) != 0 && errno != EEXIST) return -1;
    return ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The volume of node under root. A deep scan lists every FAT, exFAT or HFS+
// volume of a disk under one root, the volumes told apart only by the
// partition of each node; other kinds give each volume a root or a folder
// of its own.
RecoveryDestination::Volume VolumeOf(IFileNode* root, IFileNode* node, int type) {
    if (type != SEARCHER_FAT && type != SEARCHER_EXFAT && type != SEARCHER_HFSPLUS) return {root, 0};
    auto* own = dynamic_cast<CFileNode*>(node);
    return {root, own ? own->GetBelongedPartition() : 0};
}

// The folder of a volume under its kind folder: its root's safe name, unless
// another volume of the kind holds that name already.
std::string VolumeFolder(RecoveryDestination& destination, int type, IFileNode* node,
                         const RecoveryDestination::Volume& volume, const std::string& name) {
    if (const auto it = destination.rootFolders.find(volume); it != destination.rootFolders.end()) return it->second;
    std::string folder = name;
    long long position = -1;
    for (unsigned n = 1; destination.folderRoots.count({type, folder}); ++n) {
        if (n == 1) {
            // Under one root the volumes differ by where each starts; roots by where theirs does.
            const bool sameRoot = destination.folderRoots[{type, folder}].first == volume.first;
            if (sameRoot && destination.volumePosition) position = destination.volumePosition(node);
            else if (!sameRoot && destination.rootPosition) position = destination.rootPosition(volume.first);
        }
        std::string suffix(position >= 0 ? " (sector " : " (");
        suffix += std::to_string(position >= 0 ? static_cast<unsigned long long>(position) : n + 1ULL);
        if (position >= 0 && n > 1) {
            suffix += ' ';
            suffix += std::to_string(n);
        }
        suffix += ')';
        // Within one name's 255 bytes, cut at a character boundary.
        std::string stem = name;
        if (stem.size() + suffix.size() > kMaxName) {
            std::size_t cut = kMaxName - suffix.size();
            while (cut > 0 && (static_cast<unsigned char>(stem[cut]) & 0xC0) == 0x80) --cut;
            stem.resize(cut);
        }
        folder = stem + suffix;
    }
    destination.folderRoots[{type, folder}] = volume;
    destination.rootFolders[volume] = folder;
    return folder;
}

} // namespace

const char* RecoveryKindText(int searcherType) {
    switch (searcherType) {
    case SEARCHER_HFSPLUS: return "HFS+_";
    case SEARCHER_FAT: return "Fat_";
    case SEARCHER_EXFAT: return "ExFat_";
    case SEARCHER_RAW: return "RAW_";
    default: return "";
    }
}

std::string NumberedRecoveryName(const std::string& name, unsigned count) {
    const std::size_t dot = name.rfind('.');
    const bool ext = dot != std::string::npos && dot > 0;
    std::string stem = ext ? name.substr(0, dot) : name;
    const std::string tail = ext ? name.substr(dot) : std::string();
    std::string number = "_";
    number += FourDigits(count);
    const std::size_t room = kMaxName > tail.size() + number.size() ? kMaxName - tail.size() - number.size() : 0;
    if (stem.size() > room) {
        std::size_t cut = room;
        while (cut > 0 && (static_cast<unsigned char>(stem[cut]) & 0xC0) == 0x80) --cut;
        stem.resize(cut);
    }
    return (stem + number + tail).substr(0, kMaxName);
}

CRecoveryFile::~CRecoveryFile() {
    if (m_folder >= 0) ::close(m_folder);
}

bool CreateRecoveryFile(IFileNode* node, RecoveryDestination& destination, CRecoveryFile& file) {
    if (!node || !node->IsNodeShow()) return false;
    // One walk up the chain, bounded: its top tells the kind.
    const std::vector<IFileNode*> chain = ParentChain(node);
    if (chain.empty()) return false;
    auto* root = dynamic_cast<IFilesystemNode*>(chain.back());
    const _tagSearcherType type = root ? root->GetSearcheType() : SEARCHER_NONE;
    if (type == SEARCHER_NONE) return false;
    std::vector<std::string> names = SafeNames(chain);
    names.front() = VolumeFolder(destination, type, node, VolumeOf(chain.back(), node, type), names.front());

    const std::string kind = RecoveryKindText(type);
    int& number = destination.kindNumbers[type];
    if (number < 1) number = MakeKindFolder(destination.folder, kind);
    if (number < 1) return false;
    // A kind folder once made is used as it stands (never made again).
    std::string path = destination.folder + kind + FourDigits(static_cast<unsigned>(number));
    CDescriptor folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder.Get() < 0) return false;
    const bool directory = node->IsDirectory() != 0;
    // Folders down to the node's (the node's own for a directory).
    const std::size_t folders = directory ? names.size() : names.size() - 1;
    for (std::size_t i = 0; i < folders; ++i) {
        path += "/" + names[i];
        const bool made = destination.foldersMade.count(path) != 0;
        const int next = EnterFolder(folder.Get(), names[i], made);
        if (next < 0) return false;
        folder.Reset(next);
        if (!made) destination.foldersMade.insert(path);
    }
    if (directory) return false;

    // The name is taken by creating the file, never by testing for it.
    const std::string& name = names.back();
    for (unsigned count = 0; count < kMaxNumber; ++count) {
        const std::string candidate = count ? NumberedRecoveryName(name, count) : name;
        const int fd = ::openat(folder.Get(), candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                0644);
        if (fd >= 0) {
            ::close(fd);
            if (file.m_folder >= 0) ::close(file.m_folder);
            file.m_folder = folder.Release();
            file.m_name = candidate;
            file.m_path = path + "/" + candidate;
            return true;
        }
        if (errno != EEXIST) return false;
    }
    errno = EEXIST;
    return false;
}
