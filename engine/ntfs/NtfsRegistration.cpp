#include "engine/ntfs/NtfsRegistration.h"

#include "engine/include/FactoryRegistry.h"
#include "engine/ntfs/NtfsBoot.h"
#include "engine/ntfs/NtfsDeepSearch.h"
#include "engine/ntfs/NtfsFileNode.h"
#include "engine/ntfs/NtfsQuickSearch.h"

namespace {
unsigned ReadResident(IStorageDevice* device, IFileNode* node, long long offset, char* buffer, unsigned size) {
    if (!device || !node || !buffer) return 0;
    auto* out = reinterpret_cast<std::uint8_t*>(buffer);
    long long length = 0;
    std::uint32_t copied = 0;
    if (auto* ntfsNode = dynamic_cast<CNTFSFileNode*>(node))
        return GetResidentDataRunsStream(*ntfsNode, *device, offset, &length, out, size, &copied) ? copied : 0;
    // A node of a scan saved without its resident bytes: the record is read
    // again where the scan found it.
    auto* loaded = dynamic_cast<CFileNode*>(node);
    if (!loaded || loaded->IsDirectory() || loaded->GetMetadataStartPosition() < 0) return 0;
    const auto sector = static_cast<std::uint64_t>(loaded->GetMetadataStartPosition());
    return GetResidentDataRunsStream(sector, *device, offset, &length, out, size, &copied) ? copied : 0;
}
} // namespace

void RegisterNtfsLibrary() {
    Factories().ntfsVolume = ntfs::CreateNTFSVolumeAnalyze;
    Factories().ntfsResidentRead = ReadResident;
    Factories().ntfsQuickSearcher = ntfs::CreateNTFSQuickSearcher;
    Factories().ntfsSearcher = ntfs::CreateNTFSSearcher;
}
