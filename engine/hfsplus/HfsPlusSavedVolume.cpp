#include "engine/hfsplus/HfsPlusSavedVolume.h"

#include "engine/hfsplus/HfsPlusCompressFileReader.h"
#include "engine/hfsplus/HfsPlusJournal.h"
#include "engine/hfsplus/HfsPlusVolume.h"
#include "engine/include/FactoryRegistry.h"

namespace hfsplus {
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
    CHFSPlusVolume m_volume;
};

} // namespace

ISavedVolume* OpenSavedVolume(IStorageDevice* device) { return device ? new CSavedHfsPlusVolume(device) : nullptr; }

} // namespace hfsplus
