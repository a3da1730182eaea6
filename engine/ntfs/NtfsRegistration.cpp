#include "engine/ntfs/NtfsRegistration.h"

#include "engine/include/FactoryRegistry.h"
#include "engine/ntfs/CompressFileReader.h"
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

// A loaded scan reads compressed NTFS files with a reader of their own: the
// node's runs are all it needs, so no volume is kept open.
class CSavedNtfsVolume : public ISavedVolume {
public:
    IFileReader* CreateCompressedReader(CFileNode*) override { return new CCompressFileReader; }
};
} // namespace

bool RegisterNtfsLibrary() {
    FileSystemEntry e;
    e.name = "NTFS";
    e.volumeKinds = {FS_NTFS};
    e.searcherType = SEARCHER_NTFS;
    e.deepTurn = 4;
    e.quick = ntfs::CreateNTFSQuickSearcher;
    e.deep = ntfs::CreateNTFSSearcher;
    e.recognise = ntfs::CreateNTFSVolumeAnalyze;
    e.openSaved = [](IStorageDevice*) -> ISavedVolume* { return new CSavedNtfsVolume; };
    e.readResident = ReadResident;
    return FileSystems().Add(std::move(e));
}
