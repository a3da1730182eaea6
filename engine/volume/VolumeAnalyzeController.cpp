#include "engine/volume/VolumeAnalyzeController.h"

#include "engine/include/FactoryRegistry.h"
#include "engine/utility/CatchExeception.h"

CVolumeAnalyzeController::CVolumeAnalyzeController(IStorageDevice* device, unsigned long long startSector) {
    // Every recogniser is asked, in the table's order, which decides a volume
    // two of them know: the earlier wins.
    for (const FileSystemEntry& entry : FileSystems().Entries())
        if (entry.recognise)
            if (IVolumeAnalyze* analyzer = entry.recognise(device, startSector)) m_analyzers.emplace_back(analyzer);
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
