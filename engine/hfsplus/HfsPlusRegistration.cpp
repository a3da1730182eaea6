#include "engine/hfsplus/HfsPlusRegistration.h"

#include "engine/hfsplus/HfsPlusDeepSearch.h"
#include "engine/hfsplus/HfsPlusQuickSearch.h"
#include "engine/hfsplus/HfsPlusSavedVolume.h"
#include "engine/hfsplus/HfsPlusVolume.h"
#include "engine/include/DeviceRecords.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/include/StorageDevice.h"

namespace {
// The HFS+ volume scanned on its own, rather than a disk holding it.
bool IsHfsPlusVolume(IStorageDevice* device) {
    if (!device || device->GetType() != DEVICE_VOLUME) return false;
    auto* data = dynamic_cast<IVolumeDeviceData*>(device->GetPrivateData());
    const CCollectedVolumeDeviceInfoStruct* v = data ? data->GetVolumeInfo() : nullptr;
    return v && v->fileSystemType == FS_HFSPLUS;
}
} // namespace

bool RegisterHfsPlusLibrary() {
    FileSystemEntry e;
    e.name = "HFS+";
    e.volumeKinds = {FS_HFSPLUS};
    e.searcherType = SEARCHER_HFSPLUS;
    e.deepTurn = 0;
    e.quick = hfsplus::CreateHFSPlusQuickSearcher;
    e.deep = hfsplus::CreateHFSPlusSearcher;
    e.recognise = hfsplus::CreateHFSPlusVolumeAnalyze;
    e.openSaved = hfsplus::OpenSavedVolume;
    e.prepare = [](ICompleteFileSystemSearchController& s, const SearcherContext& c) {
        s.SetIProgressSink(c.sink);
        if (IsHfsPlusVolume(c.device)) s.SetActivePartition(true);
    };
    return FileSystems().Add(std::move(e));
}
