#pragma once
// The factory slots through which the controllers and the volume analysis reach
// the searchers and recognisers of each file system. Every slot is empty until
// a file-system library fills it from its registration call at start-up; tests
// fill slots with fakes. A slot that is empty, or answers null, is skipped.
#include "engine/include/SearchInterfaces.h"
#include "engine/include/VolumeAnalyze.h"

#include <functional>

class IFileNode;

struct EngineFactories {
    using Deep = std::function<ICompleteFileSystemSearchController*()>;
    using Quick = std::function<IQuickFileSystemSearchController*()>;
    using Recogniser = std::function<IVolumeAnalyze*(IStorageDevice*, unsigned long long startSector)>;
    // Reads resident (in-record) data of a node; bytes delivered, 0 on failure.
    using ResidentRead =
        std::function<unsigned(IStorageDevice*, IFileNode*, long long offset, char* buffer, unsigned size)>;

    Deep hfsPlusSearcher, exFatSearcher, fatSearcher, rawSearcher, ntfsSearcher, apfsSearcher;
    Quick fatQuickSearcher, ntfsQuickSearcher, exFatQuickSearcher, hfsPlusQuickSearcher, apfsQuickSearcher;
    Recogniser fatVolume, exFatVolume, ntfsVolume, hfsPlusVolume, apfsVolume;
    ResidentRead ntfsResidentRead;
};

// The process-wide slots. Fill them before a scan starts; they are not locked.
EngineFactories& Factories();
// Empties every slot (tests).
void ResetFactories();

// The factories by the names the controllers use; each answers null when its
// slot is empty.
ICompleteFileSystemSearchController* CreateHFSPlusSearcher();
ICompleteFileSystemSearchController* CreateEXFatSearcher();
ICompleteFileSystemSearchController* CreateFATSearcher();
ICompleteFileSystemSearchController* CreateRAWSearcher();
ICompleteFileSystemSearchController* CreateNTFSSearcher();
ICompleteFileSystemSearchController* CreateAPFSDeepSearcher();

IQuickFileSystemSearchController* CreateFATQuickSearcher();
IQuickFileSystemSearchController* CreateNTFSQuickSearcher();
IQuickFileSystemSearchController* CreateEXFatQuickSearcher();
IQuickFileSystemSearchController* CreateHFSPlusQuickSearcher();
IQuickFileSystemSearchController* CreateAPFSQuickSearcher();

IVolumeAnalyze* CreateFatVolumeAnalyze(IStorageDevice* device, unsigned long long startSector);
IVolumeAnalyze* CreateExfatVolumeAnalyze(IStorageDevice* device, unsigned long long startSector);
IVolumeAnalyze* CreateNTFSVolumeAnalyze(IStorageDevice* device, unsigned long long startSector);
IVolumeAnalyze* CreateHFSPlusVolumeAnalyze(IStorageDevice* device, unsigned long long startSector);
IVolumeAnalyze* CreateAPFSVolumeAnalyze(IStorageDevice* device, unsigned long long startSector);
