#include "engine/exfat/ExfatRegistration.h"

#include "engine/exfat/ExfatBoot.h"
#include "engine/exfat/ExfatDeepSearch.h"
#include "engine/exfat/ExfatQuickSearch.h"
#include "engine/include/FactoryRegistry.h"

void RegisterExfatLibrary() {
    EngineFactories& f = Factories();
    f.exFatVolume = exfat::CreateExfatVolumeAnalyze;
    f.exFatQuickSearcher = exfat::CreateEXFatQuickSearcher;
    f.exFatSearcher = exfat::CreateEXFatSearcher;
}
