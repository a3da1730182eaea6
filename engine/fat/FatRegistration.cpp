#include "engine/fat/FatRegistration.h"

#include "engine/fat/FatDeepSearcher.h"
#include "engine/fat/FatQuickSearcher.h"
#include "engine/fat/FatVolume.h"
#include "engine/include/FactoryRegistry.h"

void RegisterFatLibrary() {
    EngineFactories& f = Factories();
    f.fatVolume = [](IStorageDevice* device, unsigned long long startSector) {
        return CFatVolumeAnalyze::Create(device, startSector);
    };
    f.fatQuickSearcher = fat::CreateFATQuickSearcher;
    f.fatSearcher = fat::CreateFATSearcher;
}
