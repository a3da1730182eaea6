#include "engine/apfs/ApfsRegistration.h"

#include "engine/apfs/ApfsDeepScan.h"
#include "engine/apfs/ApfsRecognize.h"
#include "engine/include/FactoryRegistry.h"

bool RegisterApfsLibrary() {
    FileSystemEntry e;
    e.name = "APFS";
    e.volumeKinds = {FS_APFS};
    e.searcherType = SEARCHER_APFS;
    e.deepTurn = 5;
    e.quick = apfs::CreateAPFSQuickSearcher;
    e.deep = apfs::CreateAPFSDeepSearcher;
    e.recognise = apfs::CreateAPFSVolumeAnalyze;
    return FileSystems().Add(std::move(e));
}
