#include "engine/tree/RecyclerFilter.h"

#include "engine/common/FileNode.h"
#include "engine/common/TextConvert.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/include/SearchedPartitionInfo.h"
#include "engine/include/StorageDevice.h"
#include "engine/tree/FileReaderEx.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <strings.h>

namespace {

// Index files of a recycle bin are small: the path lives in the first 512
// bytes, and 1024 covers every layout in use.
constexpr std::size_t kIndexReadBytes = 1024;
constexpr std::size_t kPathArea = 512;
// Ancestor walks over linked nodes stop here: deeper chains are damage.
constexpr int kMaxDepth = 4096;


bool StartsWith(const char* name, const char* prefix) {
    return name && std::strncmp(name, prefix, std::strlen(prefix)) == 0;
}

} // namespace

bool CRecyclerFilter::IsRecycleBinFolder(IFileNode* node) {
    if (!node) return false;
    if (!node->IsDirectory() && !(node->GetAttribute() & 0x10)) return false;
    const char* name = node->GetFileName();
    if (!name) return false;
    for (const char* bin : {"Recycler", "Recycled", "$Recycle.Bin", "$RECYCLE.BI0"})
        if (strcasecmp(name, bin) == 0) return true;
    return false;
}

bool CRecyclerFilter::IsInRecycleBin(IFileNode* node) {
    for (int depth = 0; node && depth < kMaxDepth; ++depth, node = node->GetParent())
        if (IsRecycleBinFolder(node)) return true;
    return false;
}

bool CRecyclerFilter::IsIndexName(const char* name) {
    return name && std::strlen(name) >= 2 && (StartsWith(name, "$I") || StartsWith(name, "#I"));
}

bool CRecyclerFilter::IsRecycledDataName(const char* name) {
    if (!name || std::strlen(name) < 2) return false;
    if (!StartsWith(name, "$R") && !StartsWith(name, "#R")) return false;
    return std::strstr("$RmMetadata$Reparse$Repair", name) == nullptr;
}

std::string CRecyclerFilter::ParseIndexFileName(bytes::Bytes data) {
    const std::size_t area = std::min(data.size(), kPathArea) & ~std::size_t{1};
    // The last UTF-16LE backslash ends the folder part. Only whole code units
    // count: a 0x5C byte inside another character is not a separator.
    std::size_t slash = area;
    for (std::size_t off = area; off >= 2; off -= 2) {
        if (bytes::Le16(data, off - 2) == u'\\') {
            slash = off - 2;
            break;
        }
    }
    if (slash == area) return {};
    // A drive path ("X:\") must come before it.
    bool drive = false;
    for (std::size_t off = 0; off + 4 <= slash + 2 && !drive; off += 2)
        drive = bytes::Le16(data, off) == u':' && bytes::Le16(data, off + 2) == u'\\';
    if (!drive) return {};
    const std::size_t first = slash + 2;
    if (first >= area) return {};
    return Utf16LeToUtf8(data.data() + first, area - first);
}

bool CRecyclerFilter::ReadNodeData(CFileNode* node, IStorageDevice* device, CSearchedPartitionInfo* partition,
                                   std::size_t limit, std::vector<std::uint8_t>& out) {
    out.clear();
    if (limit == 0) return false;
    // Without a partition record: two sectors per cluster from sector 0.
    CFileReaderEx reader;
    const bool open = partition && partition->m_sectorsPerCluster ? reader.Open(device, node, partition)
                                                                   : reader.Open(device, node, 0, 2);
    if (!open) return false;
    const std::size_t want =
        static_cast<std::size_t>(std::min<long long>(node->GetFileSize(), static_cast<long long>(limit)));
    out.assign(want, 0);
    // Cluster by cluster, so that a run past the device keeps what came before it.
    const std::size_t step = static_cast<std::size_t>(device->GetSectorSize()) *
                             (partition && partition->m_sectorsPerCluster ? partition->m_sectorsPerCluster : 2);
    std::size_t have = 0;
    unsigned got = 0;
    while (have < want &&
           reader.Read(static_cast<long long>(have), out.data() + have,
                       static_cast<unsigned>(std::min(step, want - have)), got) &&
           got > 0)
        have += got;
    out.resize(have);
    return !out.empty();
}

CFileNode* CRecyclerFilter::RestorFileName(CFileNode* data, std::list<CFileNode*>& indexes, _tagSearcherType treeType,
                                          IStorageDevice* device, CSearchedPartitionInfo* partition) {
    if (!data || IsRecycleBinFolder(data)) return nullptr;
    const char* dataName = data->GetFileName();
    if (!StartsWith(dataName, "$R")) return nullptr;
    // "$R<id>.ext" pairs with "$I<id>.ext": the names agree from the third
    // character on.
    const char* suffix = dataName + 2;
    auto it = std::find_if(indexes.begin(), indexes.end(), [&](CFileNode* index) {
        const char* name = index ? index->GetFileName() : nullptr;
        return name && std::strlen(name) >= 2 && std::strcmp(name + 2, suffix) == 0;
    });
    if (it == indexes.end()) return nullptr;
    CFileNode* index = *it;
    indexes.erase(it);

    std::vector<std::uint8_t> bytesRead;
    if (!ReadNodeData(index, device, partition, kIndexReadBytes, bytesRead)) return index;
    const std::string name = ParseIndexFileName(bytesRead);
    if (name.empty()) return index;

    if (treeType == SEARCHER_EXFAT) {
        data->SetFileName(name.c_str());
    } else if (treeType == SEARCHER_FAT || treeType == SEARCHER_NTFS) {
        if (IFileProperties* props = data->GetFileProperties()) props->SetFileName(name.c_str());
    }
    return index;
}
