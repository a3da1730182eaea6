#include "engine/include/FactoryRegistry.h"

EngineFactories& Factories() {
    static EngineFactories factories;
    return factories;
}

void ResetFactories() { Factories() = EngineFactories{}; }

namespace {
template <typename Slot, typename... Args>
auto Call(const Slot& slot, Args... args) -> decltype(slot(args...)) {
    return slot ? slot(args...) : nullptr;
}
} // namespace

ICompleteFileSystemSearchController* CreateHFSPlusSearcher() { return Call(Factories().hfsPlusSearcher); }
ICompleteFileSystemSearchController* CreateEXFatSearcher() { return Call(Factories().exFatSearcher); }
ICompleteFileSystemSearchController* CreateFATSearcher() { return Call(Factories().fatSearcher); }
ICompleteFileSystemSearchController* CreateRAWSearcher() { return Call(Factories().rawSearcher); }
ICompleteFileSystemSearchController* CreateNTFSSearcher() { return Call(Factories().ntfsSearcher); }
ICompleteFileSystemSearchController* CreateAPFSDeepSearcher() { return Call(Factories().apfsSearcher); }

IQuickFileSystemSearchController* CreateFATQuickSearcher() { return Call(Factories().fatQuickSearcher); }
IQuickFileSystemSearchController* CreateNTFSQuickSearcher() { return Call(Factories().ntfsQuickSearcher); }
IQuickFileSystemSearchController* CreateEXFatQuickSearcher() { return Call(Factories().exFatQuickSearcher); }
IQuickFileSystemSearchController* CreateHFSPlusQuickSearcher() { return Call(Factories().hfsPlusQuickSearcher); }
IQuickFileSystemSearchController* CreateAPFSQuickSearcher() { return Call(Factories().apfsQuickSearcher); }

IVolumeAnalyze* CreateFatVolumeAnalyze(IStorageDevice* d, unsigned long long s) {
    return Call(Factories().fatVolume, d, s);
}
IVolumeAnalyze* CreateExfatVolumeAnalyze(IStorageDevice* d, unsigned long long s) {
    return Call(Factories().exFatVolume, d, s);
}
IVolumeAnalyze* CreateNTFSVolumeAnalyze(IStorageDevice* d, unsigned long long s) {
    return Call(Factories().ntfsVolume, d, s);
}
IVolumeAnalyze* CreateHFSPlusVolumeAnalyze(IStorageDevice* d, unsigned long long s) {
    return Call(Factories().hfsPlusVolume, d, s);
}
IVolumeAnalyze* CreateAPFSVolumeAnalyze(IStorageDevice* d, unsigned long long s) {
    return Call(Factories().apfsVolume, d, s);
}
