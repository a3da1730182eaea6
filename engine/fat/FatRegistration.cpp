#include "engine/fat/FatRegistration.h"

#include "engine/fat/FatVolume.h"
#include "engine/include/FactoryRegistry.h"

void RegisterFatLibrary() {
    Factories().fatVolume = [](IStorageDevice* device, unsigned long long startSector) {
        return CFatVolumeAnalyze::Create(device, startSector);
    };
}
