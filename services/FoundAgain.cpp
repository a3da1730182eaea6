#include "services/FoundAgain.h"

#include "engine/common/FileNode.h"
#include "engine/include/Owned.h"
#include "engine/include/SearchedPartitionInfo.h"
#include "engine/writer/DataRecovery.h"
#include "engine/writer/NodePartition.h"
#include "services/CPPPublic.h"
#include "services/ScanSession.h"

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {
struct FileKey {
    long long origin = 0; // device sector of the volume's cluster 0
    std::string path;     // from the root, the root's own name left out
    long long size = 0;
    std::vector<std::pair<long long, long long>> sectors; // device sectors of the data, joined where they follow
    auto operator<=>(const FileKey&) const = default;
};

// base: where the device the writer reads starts on the device both scans
// read (a volume of a whole disk's quick scan), 0 when it is that device.
std::optional<FileKey> KeyOf(IFileNode* file, std::string path, CDataRecovery& writer, long long base) {
    auto* node = dynamic_cast<CFileNode*>(file);
    const CSearchedPartitionInfo* partition = node ? writer.GetNodePartition(node) : nullptr;
    if (!partition) return std::nullopt;
    FileKey key;
    key.origin = base + partition->m_clusterOrigin;
    key.path = std::move(path);
    key.size = file->GetFileSize();
    const long long perCluster = partition->m_sectorsPerCluster ? partition->m_sectorsPerCluster : 1;
    for (const DataRun& run : CopyRuns(node->GetDataRunList())) {
        const long long start = run.start >= 0 ? key.origin + run.start * perCluster : -1;
        const long long length = run.length * perCluster;
        if (!key.sectors.empty() && start >= 0 && key.sectors.back().first >= 0 &&
            key.sectors.back().first + key.sectors.back().second == start)
            key.sectors.back().second += length;
        else
            key.sectors.emplace_back(start, length);
    }
    return key;
}

// Every file under root, with its key when its volume can be told.
void EachFile(IFileNode* root, CDataRecovery* writer, long long base,
              const std::function<void(IFileNode*, std::optional<FileKey>)>& visit) {
    std::deque<std::pair<IFileNode*, std::string>> folders{{root, std::string()}};
    while (!folders.empty()) {
        auto [folder, path] = std::move(folders.front());
        folders.pop_front();
        for (IFileNode* child = folder->GetFirstChild(); child; child = child->GetNextNode()) {
            const char* name = child->GetFileName();
            std::string at = path + '/' + (name ? name : "");
            if (child->IsDirectory())
                folders.emplace_back(child, std::move(at));
            else
                visit(child, writer ? KeyOf(child, std::move(at), *writer, base) : std::nullopt);
        }
    }
}

std::uint64_t SizeOf(IFileNode* file) {
    const long long size = file->GetFileSize();
    return size > 0 ? static_cast<std::uint64_t>(size) : 0;
}
} // namespace

FoundAgain FindFoundAgain(const ScanSession& deep, const ScanSession& quick) {
    FoundAgain found;
    // The quick scan's files by key, and which root each is under.
    std::map<FileKey, IFileNode*> quickFiles;
    std::map<IFileNode*, std::vector<IFileNode*>> filesOf;
    for (IFileNode* root : quick.Results().HeldRoots()) {
        if (!root) continue;
        auto* writer = dynamic_cast<CDataRecovery*>(quick.WriterFor(root));
        const long long base = std::max(quick.RootPosition(root), 0LL);
        std::vector<IFileNode*>& files = filesOf[root];
        EachFile(root, writer, base, [&](IFileNode* file, std::optional<FileKey> key) {
            files.push_back(file);
            if (key) quickFiles.emplace(std::move(*key), root);
        });
    }
    if (quickFiles.empty()) return found;

    // The deep scan's writers are made once it has ended: one of the root's
    // searcher type is made here when there is none yet.
    const std::vector<IRecoveryController*> controllers = deep.Controllers();
    IRecoveryController* controller = controllers.empty() ? nullptr : controllers.back();
    std::map<int, Owned<IDataRecovery>> made;
    // Each deep file found again, with the quick file's root; per quick root,
    // how many of its files were.
    std::vector<std::pair<IFileNode*, IFileNode*>> again;
    std::map<IFileNode*, std::size_t> heldOf;
    std::map<IFileNode*, std::size_t> deepFilesOf;
    std::set<const FileKey*> taken;
    for (IFileNode* root : deep.Results().HeldRoots()) {
        if (!root) continue;
        IDataRecovery* writer = deep.WriterFor(root);
        if (!writer && controller) {
            const int type = VXCPPPublic::instance().GetNodeSearcheType(root);
            auto it = made.find(type);
            if (it == made.end())
                it = made.emplace(type, Owned<IDataRecovery>(controller->GetDataRecovery(static_cast<_tagSearcherType>(type))))
                         .first;
            writer = it->second.get();
        }
        const long long base = std::max(deep.RootPosition(root), 0LL);
        EachFile(root, dynamic_cast<CDataRecovery*>(writer), base, [&](IFileNode* file, std::optional<FileKey> key) {
            ++deepFilesOf[root];
            if (!key) return;
            const auto it = quickFiles.find(*key);
            if (it == quickFiles.end()) return;
            again.emplace_back(file, it->second);
            if (taken.insert(&it->first).second) ++heldOf[it->second];
        });
    }
    for (const auto& [root, files] : filesOf) {
        if (files.empty() || heldOf[root] < files.size()) continue;
        // Every file of the quick root is listed by the deep scan.
        found.quickRoots.insert(root);
        found.quickFiles += files.size();
        for (IFileNode* file : files) found.quickBytes += SizeOf(file);
    }
    // What a quick root still listed holds is hidden in the deep listing.
    for (const auto& [file, quickRoot] : again) {
        if (found.quickRoots.count(quickRoot)) continue;
        found.deepFiles.insert(file);
        found.deepBytes += SizeOf(file);
    }
    for (const auto& [root, files] : deepFilesOf) {
        if (files == 0) continue;
        std::size_t hidden = 0;
        EachFile(root, nullptr, 0, [&](IFileNode* file, std::optional<FileKey>) { hidden += found.deepFiles.count(file); });
        if (hidden == files) found.deepRoots.insert(root);
    }
    return found;
}
