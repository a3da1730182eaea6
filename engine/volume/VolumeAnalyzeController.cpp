#include "engine/volume/VolumeAnalyzeController.h"

#include "engine/include/FactoryRegistry.h"
#include "engine/utility/CatchExeception.h"

namespace {
using Factory = IVolumeAnalyze* (*)(IStorageDevice*, unsigned long long);
// The recognition order: which file system a volume is when two recognisers
// both know it. RegisterAllLibraries lists the libraries in the same order.
constexpr Factory kRecognitionOrder[] = {CreateFatVolumeAnalyze, CreateExfatVolumeAnalyze, CreateNTFSVolumeAnalyze,
                                         CreateHFSPlusVolumeAnalyze, CreateAPFSVolumeAnalyze};
} // namespace

CVolumeAnalyzeController::CVolumeAnalyzeController(IStorageDevice* device, unsigned long long startSector) {
    for (Factory make : kRecognitionOrder)
        if (IVolumeAnalyze* analyzer = make(device, startSector)) m_analyzers.emplace_back(analyzer);
    for (auto& analyzer : m_analyzers) {
        const enumFILE_SYSTEM_TYPE kind = analyzer->GetFileSystemType();
        if (kind == FS_UNKNOWN) continue;
        if (!m_winner) {
            m_winner = analyzer.get();
            continue;
        }
        CatchExeception::WriteLog("volume at sector %llu: file system %d also claims it; %d comes first and wins\n",
                                  startSector, static_cast<int>(kind), static_cast<int>(m_winner->GetFileSystemType()));
    }
}

IVolumeAnalyze* CVolumeAnalyzeController::GetVolumeAnzlyzer() { return m_winner; }

IVolumeAnalyzeController* CreateVolumeAnalyzeController(IStorageDevice* device, unsigned long long startSector) {
    return new CVolumeAnalyzeController(device, startSector);
}
