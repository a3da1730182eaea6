#include "engine/exfat/ExfatRegistration.h"

#include "engine/exfat/ExfatBoot.h"
#include "engine/exfat/ExfatDeepSearch.h"
#include "engine/exfat/ExfatQuickSearch.h"
#include "engine/include/FactoryRegistry.h"

bool RegisterExfatLibrary() {
    FileSystemEntry e;
    e.name = "exFAT";
    e.volumeKinds = {FS_EXFAT};
    e.searcherType = SEARCHER_EXFAT;
    e.deepTurn = 1;
    e.quick = exfat::CreateEXFatQuickSearcher;
    e.deep = exfat::CreateEXFatSearcher;
    e.recognise = exfat::CreateExfatVolumeAnalyze;
    return FileSystems().Add(std::move(e));
}
