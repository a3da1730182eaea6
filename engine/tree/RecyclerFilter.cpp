#include "engine/tree/RecyclerFilter.h"

#include "engine/common/FileNode.h"
#include "engine/common/TextConvert.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/include/SearchedPartitionInfo.h"
#include "engine/include/StorageDevice.h"

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

struct RunListDeleter {
    void operator()(IDataRunList* l) const {
        if (l) l->Release();
    }
};

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
    if (!node || !device || limit == 0) return false;
    const long long size = node->GetFileSize();
    if (size <= 0) return false;
    const std::size_t want = static_cast<std::size_t>(std::min<long long>(size, static_cast<long long>(limit)));
    IDataRunList* runs = node->GetDataRunList();
    if (!runs) return false;

    if (runs->IsResident()) {
        const auto& read = Factories().ntfsResidentRead;
        if (!read) return false;
        out.assign(want, 0);
        const unsigned got = read(device, node, 0, reinterpret_cast<char*>(out.data()), static_cast<unsigned>(want));
        out.resize(std::min<std::size_t>(got, want));
        return !out.empty();
    }

    const unsigned sectorSize = device->GetSectorSize();
    const long long spc = partition && partition->m_sectorsPerCluster ? partition->m_sectorsPerCluster : 2;
    const long long origin = partition ? partition->m_clusterOrigin : 0;
    const unsigned long long total = device->GetTotalSectors();
    if (sectorSize == 0) return false;
    const std::size_t clusterBytes = static_cast<std::size_t>(spc) * sectorSize;

    std::unique_ptr<IDataRunList, RunListDeleter> walk(runs->Clone());
    if (!walk) return false;
    out.reserve(want);
    std::vector<std::uint8_t> cluster(clusterBytes);
    for (DataRun* r = walk->GetFirst(); r && out.size() < want; r = walk->GetNext()) {
        if (r->length <= 0) continue;
        for (long long c = 0; c < r->length && out.size() < want; ++c) {
            if (r->start < 0) { // sparse run: zeros
                std::fill(cluster.begin(), cluster.end(), 0);
            } else {
                // A run that overflows or lies outside the device ends the read.
                long long clusterNo = 0, offset = 0, sector = 0;
                if (__builtin_add_overflow(r->start, c, &clusterNo) ||
                    __builtin_mul_overflow(clusterNo, spc, &offset) ||
                    __builtin_add_overflow(origin, offset, &sector) || sector < 0 ||
                    static_cast<unsigned long long>(sector) > total ||
                    total - static_cast<unsigned long long>(sector) < static_cast<unsigned long long>(spc))
                    return !out.empty();
                if (!device->ReadSector(cluster.data(), sector, spc)) return !out.empty();
            }
            const std::size_t n = std::min(clusterBytes, want - out.size());
            out.insert(out.end(), cluster.begin(), cluster.begin() + static_cast<std::ptrdiff_t>(n));
        }
    }
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
