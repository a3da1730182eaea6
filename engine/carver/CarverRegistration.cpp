#include "engine/carver/CarverRegistration.h"

#include "engine/carver/RAWSearchController.h"
#include "engine/include/FactoryRegistry.h"

ICompleteFileSystemSearchController* CreateCarver() { return new CRAWSearchController(); }

bool RegisterCarverLibrary() {
    FileSystemEntry e;
    e.name = "carver";
    e.searcherType = SEARCHER_RAW;
    e.deepTurn = 3;
    e.deep = CreateCarver;
    // It skips the sectors of files the file systems' trees hold, and reports
    // its own progress while it sizes what it found.
    e.prepare = [](ICompleteFileSystemSearchController& s, const SearcherContext& c) {
        s.SetFileSectorMap(c.fileSectorMap);
        s.SetIProgressSink(c.sink);
    };
    return FileSystems().Add(std::move(e));
}
