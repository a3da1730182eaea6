#include "engine/fat/FatRegistration.h"

#include "engine/fat/FatDeepSearcher.h"
#include "engine/fat/FatQuickSearcher.h"
#include "engine/fat/FatVolume.h"
#include "engine/include/FactoryRegistry.h"

bool RegisterFatLibrary() {
    FileSystemEntry e;
    e.name = "FAT";
    e.volumeKinds = {FS_FAT12, FS_FAT16, FS_FAT32};
    e.searcherType = SEARCHER_FAT;
    e.deepTurn = 2;
    e.quick = fat::CreateFATQuickSearcher;
    e.deep = fat::CreateFATSearcher;
    e.recognise = CFatVolumeAnalyze::Create;
    // The deep searcher marks the sectors of the files its trees hold, so the
    // carver does not find them a second time.
    e.prepare = [](ICompleteFileSystemSearchController& s, const SearcherContext& c) {
        s.SetFileSectorMap(c.fileSectorMap);
    };
    return FileSystems().Add(std::move(e));
}
