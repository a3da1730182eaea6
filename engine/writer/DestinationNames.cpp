#include "engine/writer/DestinationNames.h"

#include "engine/common/FileNode.h"
#include "engine/common/TextConvert.h"
#include "engine/include/FileNode.h"
#include "engine/utility/FileUtils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

namespace {

constexpr std::size_t kMaxName = 255;
// Attempts per kind folder and per name (a folder full of that name's numbers).
constexpr unsigned kMaxNumber = 100000;
// Volume folders found taken on the destination before a volume gives up.
constexpr unsigned kMaxRenames = 16;
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

// How far a name the destination refuses is mapped: not at all, its
// characters that FAT, exFAT and Windows names cannot hold, and then also
// its trailing dots and spaces and a device name (CON, LPT1 …) as its stem.
constexpr int kMapLevels = 3;

bool IsDeviceName(std::string stem) {
    stem = AsciiLowerCase(stem);
    static const char* const names[] = {"con", "prn", "aux", "nul"};
    for (const char* n : names)
        if (stem == n) return true;
    return stem.size() == 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0) && stem[3] >= '1' &&
           stem[3] <= '9';
}

// name as it is (level 0) or mapped as far as level: each mapped character
// becomes "_", as "/" does.
std::string RefusedNameMapped(const std::string& name, int level) {
    if (level < 1) return name;
    std::string out = name;
    for (char& c : out)
        if (c && std::strchr("\"*:<>?\\|", c)) c = '_';
    if (level < 2) return out;
    const auto mapTrailing = [](std::string& text) {
        for (std::size_t end = text.size(); end > 0 && (text[end - 1] == '.' || text[end - 1] == ' '); --end)
            text[end - 1] = '_';
    };
    mapTrailing(out);
    const std::size_t dot = out.find('.');
    if (!IsDeviceName(out.substr(0, dot))) return out;
    const std::size_t stem = std::min(dot, out.size());
    // The "_" makes a name of the longest length one byte too long: it is
    // shortened as any long name is, and what the cut leaves at its end is
    // mapped again.
    out = MakeSafeFileName(out.substr(0, stem) + "_" + out.substr(stem));
    mapTrailing(out);
    return out;
}

// The next mapping of name that differs from the one at level, moving level
// on; false when there is none.
bool NextMapping(const std::string& name, int& level, std::string& mapped) {
    const std::string current = RefusedNameMapped(name, level);
    while (++level < kMapLevels) {
        mapped = RefusedNameMapped(name, level);
        if (mapped != current) return true;
    }
    return false;
}

// Enters name under parent, making it first unless made is set; never
// follows a link or enters a file standing where the folder goes. A name the
// destination refuses is mapped (entered tells the name taken).
int EnterFolder(int parent, const std::string& name, bool made, std::string& entered) {
    entered = name;
    for (int level = 0;;) {
        if (made || ::mkdirat(parent, entered.c_str(), 0755) == 0 || errno == EEXIST) {
            const int fd = ::openat(parent, entered.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd >= 0) return fd;
        }
        const int error = errno;
        if (!NextMapping(name, level, entered)) {
            errno = error;
            return -1;
        }
    }
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

// A name as the destination compares names: ASCII letters in one case where
// it ignores case.
std::string NameKey(const RecoveryDestination& destination, const std::string& name) {
    return destination.foldsCase == 1 ? AsciiLowerCase(name) : name;
}

// Whether node's name (a volume's label for a root) is written as found:
// no character of it made "_".
bool NamedAsFound(IFileNode* node) {
    const char* text = node->GetParent() ? node->GetFileName() : node->GetVolumeName();
    const std::string found = text ? text : "";
    return MakeSafeFileName(found) == found;
}

// Children of a folder walked for their names at most (a sibling list that
// loops ends there), and names kept for all folders before they are let go:
// each folder's are read once while they fit, whatever order its files come in.
constexpr std::size_t kMaxSiblings = std::size_t{1} << 20;
constexpr std::size_t kKeptNames = std::size_t{1} << 20;

// Whether candidate, a name made for node (mapped or numbered, not its own),
// is a name one of node's siblings has as found: that name is the sibling's,
// whether it is written before or after node.
bool HeldBySibling(RecoveryDestination& destination, IFileNode* node, const std::string& candidate) {
    IFileNode* parent = node->GetParent();
    if (!parent) return false;
    auto it = destination.foundNames.find(parent);
    if (it == destination.foundNames.end()) {
        if (destination.foundNameCount >= kKeptNames) {
            destination.foundNames.clear();
            destination.foundNameCount = 0;
        }
        it = destination.foundNames.emplace(parent, std::unordered_set<std::string>{}).first;
        std::size_t n = 0;
        for (IFileNode* child = parent->GetFirstChild(); child && n < kMaxSiblings; child = child->GetNextNode(), ++n)
            if (NamedAsFound(child)) it->second.insert(NameKey(destination, child->GetFileName()));
        destination.foundNameCount += it->second.size();
    }
    return it->second.count(NameKey(destination, candidate)) != 0;
}

// Enters the folder of node (named name, below a volume's folder: key its
// path of names as found, path its parent's destination path) under parent, making
// it under the first name the destination takes: its own, else mapped, and
// numbered where that is taken. Only its own name enters a folder that is
// there already, and never one another folder took under a name made;
// the name taken is kept for the node's found path.
int EnterNodeFolder(RecoveryDestination& destination, int parent, IFileNode* node, const std::string& name,
                    const std::string& key, const std::string& path, std::string& entered) {
    if (const auto it = destination.folderNames.find(key); it != destination.folderNames.end()) {
        entered = it->second;
        return ::openat(parent, entered.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    const bool asFound = NamedAsFound(node);
    std::string base = name;
    for (int level = 0;;) {
        int error = EEXIST;
        for (unsigned count = 0; count < kMaxNumber && error == EEXIST; ++count) {
            entered = count ? NumberedRecoveryName(base, count) : base;
            const bool own = level == 0 && count == 0 && asFound;
            if (!own && HeldBySibling(destination, node, entered)) continue;
            error = ::mkdirat(parent, entered.c_str(), 0755) == 0 ? 0 : errno;
            // A found name enters a folder of that name (one a volume of the
            // same name left, or a name the destination does not tell from
            // it), unless that folder took its name by mapping or numbering.
            if (error == EEXIST &&
                (!own || destination.otherNamedFolders.count(NameKey(destination, path + "/" + entered))))
                continue;
            if (error != 0 && error != EEXIST) break;
            const int fd = ::openat(parent, entered.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0) return -1;
            destination.folderNames[key] = entered;
            if (!own) destination.otherNamedFolders.insert(NameKey(destination, path + "/" + entered));
            return fd;
        }
        if (error == EEXIST || !NextMapping(name, level, base)) {
            errno = error;
            return -1;
        }
    }
}

// Whether the file system of folder (a kind folder this recovery made) takes
// a name in other case for the same: a probe folder made, looked up, removed.
bool FoldsCase(int folder) {
    static const char probe[] = ".Case probe", other[] = ".cASE PROBE";
    if (::mkdirat(folder, probe, 0700) != 0) return false;
    struct stat st {};
    const bool folds = ::fstatat(folder, other, &st, AT_SYMLINK_NOFOLLOW) == 0;
    ::unlinkat(folder, probe, AT_REMOVEDIR);
    return folds;
}

// A noted volume of the kind that the destination would name as volume and
// that starts before it on the disk (under a shared root by its own start,
// else by its root's): the plain name is that one's. None when volume was
// not noted or no position tells. A volume whose name was mapped (mapped
// set) yields it to one whose label is that name as found, wherever it lies.
const RecoveryDestination::Volume* EarlierTwin(const RecoveryDestination& destination, int type,
                                               const RecoveryDestination::Volume& volume, const std::string& name,
                                               bool mapped) {
    const auto self = destination.noted.find(volume);
    if (self == destination.noted.end()) return nullptr;
    const std::string key = NameKey(destination, name);
    for (const auto& [other, noted] : destination.noted) {
        if (other == volume || noted.type != type || NameKey(destination, noted.name) != key) continue;
        if (mapped && noted.asFound) return &other;
        const bool sameRoot = other.first == volume.first;
        const long long mine = sameRoot ? self->second.ownStart : self->second.rootStart;
        const long long theirs = sameRoot ? noted.ownStart : noted.rootStart;
        if (theirs >= 0 && (mine < 0 || theirs < mine)) return &other;
    }
    return nullptr;
}

// The folder of a volume under its kind folder: its root's safe name, unless
// a volume of the kind earlier on the disk or met before holds that name as
// the destination compares names.
std::string VolumeFolder(RecoveryDestination& destination, int type, IFileNode* node,
                         const RecoveryDestination::Volume& volume, const std::string& name, bool mapped = false) {
    if (const auto it = destination.rootFolders.find(volume); it != destination.rootFolders.end()) return it->second;
    const RecoveryDestination::Volume* earlier = EarlierTwin(destination, type, volume, name, mapped);
    std::string folder = name;
    long long position = -1;
    for (unsigned n = 1; earlier || destination.folderRoots.count({type, NameKey(destination, folder)}); ++n) {
        if (n == 1) {
            // Under one root the volumes differ by where each starts; roots by
            // where theirs does; a folder found on the destination by either.
            const RecoveryDestination::Volume holder =
                earlier ? *earlier : destination.folderRoots[{type, NameKey(destination, folder)}];
            earlier = nullptr;
            const bool sameRoot = holder.first == volume.first;
            if ((sameRoot || !holder.first) && destination.volumePosition)
                position = destination.volumePosition(node);
            if (!sameRoot && position < 0 && destination.rootPosition)
                position = destination.rootPosition(volume.first);
        }
        std::string suffix(position >= 0 ? " (sector " : " (");
        suffix += std::to_string(position >= 0 ? static_cast<unsigned long long>(position) : n + 1ULL);
        if (position >= 0 && n > 1) {
            suffix += ' ';
            suffix += std::to_string(n);
        }
        suffix += ')';
        // Within one name's 255 bytes, cut at a character boundary.
        folder = TruncateUtf8(name, kMaxName - suffix.size());
        folder += suffix;
    }
    destination.folderRoots[{type, NameKey(destination, folder)}] = volume;
    destination.rootFolders[volume] = folder;
    return folder;
}

// The root of node's chain, its kind and its volume; false for a chain that
// does not end or has no file-system root.
bool FindVolume(IFileNode* node, std::vector<IFileNode*>& chain, _tagSearcherType& type,
                RecoveryDestination::Volume& volume) {
    chain = ParentChain(node);
    if (chain.empty()) return false;
    auto* root = dynamic_cast<IFilesystemNode*>(chain.back());
    type = root ? root->GetSearcheType() : SEARCHER_NONE;
    if (type == SEARCHER_NONE) return false;
    volume = VolumeOf(chain.back(), node, type);
    return true;
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

void NoteRecoveryVolume(IFileNode* node, RecoveryDestination& destination) {
    if (!node || !node->IsNodeShow()) return;
    std::vector<IFileNode*> chain;
    _tagSearcherType type = SEARCHER_NONE;
    RecoveryDestination::Volume volume;
    if (!FindVolume(node, chain, type, volume) || destination.noted.count(volume)) return;
    const char* name = chain.back()->GetVolumeName();
    destination.noted.emplace(volume, RecoveryDestination::NotedVolume{
        type, MakeSafeFileName(name ? name : ""), NamedAsFound(chain.back()),
        destination.rootPosition ? destination.rootPosition(chain.back()) : -1,
        destination.volumePosition ? destination.volumePosition(node) : -1});
}

bool CreateRecoveryFile(IFileNode* node, RecoveryDestination& destination, CRecoveryFile& file) {
    if (!node || !node->IsNodeShow()) return false;
    // One walk up the chain, bounded: its top tells the kind.
    std::vector<IFileNode*> chain;
    _tagSearcherType type = SEARCHER_NONE;
    RecoveryDestination::Volume volume;
    if (!FindVolume(node, chain, type, volume)) return false;
    std::vector<std::string> names = SafeNames(chain);

    const std::string kind = RecoveryKindText(type);
    int& number = destination.kindNumbers[type];
    if (number < 1) number = MakeKindFolder(destination.folder, kind);
    if (number < 1) return false;
    // A kind folder once made is used as it stands (never made again).
    const std::string kindPath = destination.folder + kind + FourDigits(static_cast<unsigned>(number));
    CDescriptor folder(::open(kindPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder.Get() < 0) return false;
    if (destination.foldsCase < 0) destination.foldsCase = FoldsCase(folder.Get()) ? 1 : 0;
    const std::string found = names.front();
    std::string plain = found;
    names.front() = VolumeFolder(destination, type, node, volume, plain);
    // Folders made are noted by their found names (known) and written under
    // the names the destination takes (path).
    std::string known = kindPath, path = kindPath, foundPath = kindPath;
    const bool directory = node->IsDirectory() != 0;
    // Folders down to the node's (the node's own for a directory).
    const std::size_t folders = directory ? names.size() : names.size() - 1;
    for (std::size_t i = 0; i < folders; ++i) {
        bool made = destination.foldersMade.count(known + "/" + names[i]) != 0;
        // A volume's folder is new in a kind folder of this recovery: one
        // there already is another volume's, under a name the destination
        // takes for the same (case beyond ASCII, say). The name is held, and
        // the volume named again. A volume's name the destination refuses is
        // mapped, and the volume named again from that.
        int level = 0;
        bool mapped = false;
        for (unsigned tries = 0; i == 0 && !made; ++tries) {
            if (::mkdirat(folder.Get(), names[0].c_str(), 0755) == 0) {
                made = true;
                break;
            }
            std::string mapping;
            if (errno == EEXIST) {
                if (tries == kMaxRenames) return false;
                destination.folderRoots[{type, NameKey(destination, names[0])}] = {nullptr, -1};
            } else if (NextMapping(found, level, mapping)) {
                destination.folderRoots.erase({type, NameKey(destination, names[0])});
                plain = mapping;
                mapped = true;
            } else {
                return false;
            }
            destination.rootFolders.erase(volume);
            names[0] = VolumeFolder(destination, type, node, volume, plain, mapped);
            made = destination.foldersMade.count(known + "/" + names[0]) != 0;
        }
        std::string entered;
        // Folders below the volume's are entered under the name each took,
        // told apart by their names as found ("x/y" is not "x_y").
        IFileNode* own = chain[chain.size() - 1 - i];
        const char* text = own->GetFileName();
        foundPath += '\0';
        foundPath += i == 0 ? names[0] : std::string(text ? text : "");
        const int next = i > 0 ? EnterNodeFolder(destination, folder.Get(), own, names[i], foundPath, path, entered)
                               : EnterFolder(folder.Get(), names[i], made, entered);
        if (next < 0) return false;
        folder.Reset(next);
        known += "/" + names[i];
        path += "/" + entered;
        destination.foldersMade.insert(known);
    }
    if (directory) return false;

    // The name is taken by creating the file, never by testing for it; a
    // name the destination refuses is mapped. A name made (mapped or
    // numbered) passes over what a sibling is named as found.
    std::string name = names.back();
    const bool asFound = NamedAsFound(node);
    for (int level = 0;;) {
        for (unsigned count = 0; count < kMaxNumber; ++count) {
            const std::string candidate = count ? NumberedRecoveryName(name, count) : name;
            if ((level > 0 || count > 0 || !asFound) && HeldBySibling(destination, node, candidate)) {
                errno = EEXIST;
                continue;
            }
            const int fd = ::openat(folder.Get(), candidate.c_str(),
                                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (fd >= 0) {
                ::close(fd);
                if (file.m_folder >= 0) ::close(file.m_folder);
                file.m_folder = folder.Release();
                file.m_name = candidate;
                file.m_path = path + "/" + candidate;
                return true;
            }
            if (errno != EEXIST) break;
        }
        if (errno == EEXIST) return false;
        const int error = errno;
        if (!NextMapping(names.back(), level, name)) {
            errno = error;
            return false;
        }
    }
}
