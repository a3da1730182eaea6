#include "engine/volume/VolumeAnalyzeController.h"

#include "engine/include/FactoryRegistry.h"

CVolumeAnalyzeController::CVolumeAnalyzeController(IStorageDevice* device, unsigned long long startSector) {
    using Factory = IVolumeAnalyze* (*)(IStorageDevice*, unsigned long long);
    // The order decides which file system wins when two accept the same sectors.
    static constexpr Factory kFactories[] = {CreateFatVolumeAnalyze, CreateExfatVolumeAnalyze,
                                             CreateNTFSVolumeAnalyze, CreateHFSPlusVolumeAnalyze,
                                             CreateAPFSVolumeAnalyze};
    for (Factory make : kFactories)
        if (IVolumeAnalyze* analyzer = make(device, startSector))
            m_analyzers.emplace_back(analyzer);
}

IVolumeAnalyze* CVolumeAnalyzeController::GetVolumeAnzlyzer() {
    for (auto& analyzer : m_analyzers)
        if (analyzer->GetFileSystemType() != FS_UNKNOWN)
            return analyzer.get();
    return nullptr;
}

IVolumeAnalyzeController* CreateVolumeAnalyzeController(IStorageDevice* device, unsigned long long startSector) {
    return new CVolumeAnalyzeController(device, startSector);
}
