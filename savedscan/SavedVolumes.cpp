// The file systems whose compressed files a loaded result reads through more
// than the node: an HFS+ root keeps its volume open (its attributes tree holds
// each file's compression header); NTFS files need only a reader of their own.
#include "engine/hfsplus/HfsPlusCompressFileReader.h"
#include "engine/hfsplus/HfsPlusJournal.h"
#include "engine/hfsplus/HfsPlusVolume.h"
#include "engine/ntfs/CompressFileReader.h"
#include "savedscan/RestoreFileNode.h"

namespace {

class CSavedHfsPlusVolume : public ISavedVolume {
public:
    // The catalog is not read: the readers need only the attributes and
    // extents trees, and for deleted files the records the journal still
    // holds.
    explicit CSavedHfsPlusVolume(IStorageDevice* device) : m_volume(device, true) {
        if (m_volume.Journal() && m_volume.Header()) {
            m_volume.Journal()->GetDeleteRecord([] { return true; }, [] {});
            m_volume.m_deletedCatalog.clear(); // the nodes came from the file
        }
    }
    IFileReader* CreateCompressedReader(CFileNode* node) override {
        return node ? new CHFSPlusCompressFileReader(&m_volume, node) : nullptr;
    }

private:
    hfsplus::CHFSPlusVolume m_volume;
};

} // namespace

void RegisterSavedVolumes() {
    CSavedVolumeCache& cache = CSavedVolumeCache::instance();
    cache.SetOpener(SEARCHER_HFSPLUS, [](IStorageDevice* device) -> ISavedVolume* {
        return device ? new CSavedHfsPlusVolume(device) : nullptr;
    });
    cache.SetReaderMaker(SEARCHER_NTFS, [](CFileNode*) -> IFileReader* { return new CCompressFileReader; });
}
