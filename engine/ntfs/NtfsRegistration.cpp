#include "engine/ntfs/NtfsRegistration.h"

#include "engine/include/FactoryRegistry.h"
#include "engine/ntfs/NtfsBoot.h"
#include "engine/ntfs/NtfsDeepSearch.h"
#include "engine/ntfs/NtfsFileNode.h"
#include "engine/ntfs/NtfsQuickSearch.h"

namespace {
unsigned ReadResident(IStorageDevice* device, IFileNode* node, long long offset, char* buffer, unsigned size) {
    auto* ntfsNode = dynamic_cast<CNTFSFileNode*>(node);
    if (!device || !ntfsNode || !buffer) return 0;
    long long length = 0;
    std::uint32_t copied = 0;
    if (!GetResidentDataRunsStream(*ntfsNode, *device, offset, &length, reinterpret_cast<std::uint8_t*>(buffer), size,
                                   &copied))
        return 0;
    return copied;
}
} // namespace

void RegisterNtfsLibrary() {
    Factories().ntfsVolume = ntfs::CreateNTFSVolumeAnalyze;
    Factories().ntfsResidentRead = ReadResident;
    Factories().ntfsQuickSearcher = ntfs::CreateNTFSQuickSearcher;
    Factories().ntfsSearcher = ntfs::CreateNTFSSearcher;
}
