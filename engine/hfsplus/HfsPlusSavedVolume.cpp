#include "engine/hfsplus/HfsPlusSavedVolume.h"

#include "engine/common/Bytes.h"
#include "engine/common/FileNode.h"
#include "engine/device/StorageDevices.h"
#include "engine/hfsplus/HfsPlusCompressFileReader.h"
#include "engine/hfsplus/HfsPlusJournal.h"
#include "engine/hfsplus/HfsPlusVolume.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/include/SearchedPartitionInfo.h"
#include "engine/include/StorageDevice.h"

#include <map>
#include <memory>

namespace hfsplus {
namespace {

// One volume of the loaded scan, opened on first use.
struct SavedPlace {
    long long start = 0, count = 0;
    bool tried = false;
    // Declared before the volume, which reads through it.
    std::unique_ptr<CPartitionVirtualVolumeDevice> window;
    std::unique_ptr<CHFSPlusVolume> volume;
};

class CSavedHfsPlusVolume : public ISavedVolume {
public:
    explicit CSavedHfsPlusVolume(IStorageDevice* device) : m_device(device) {}

    // A deep scan finds volumes anywhere on the device: each file is read in
    // the volume of its partition record, never in the one at sector 0.
    void AddPartition(const CSearchedPartitionInfo& record) override {
        if (m_places.count(record.m_partitionIndex)) return; // the first record of an index places its files
        SavedPlace& place = m_places[record.m_partitionIndex];
        const unsigned sectorSize = m_device->GetSectorSize();
        // A record in other sectors than the device's places nothing.
        if (record.m_startSector < 0 || sectorSize == 0 || record.GetSectorSize() != sectorSize) return;
        place.start = record.m_startSector;
        place.count = static_cast<long long>(record.GetTotalSectors());
    }

    IFileReader* CreateCompressedReader(CFileNode* node) override {
        CHFSPlusVolume* volume = node ? VolumeOf(node) : nullptr;
        // Read in another volume, or to another length than the saved one,
        // a file would come back with other bytes: it fails instead.
        return volume && SizeHolds(*volume, *node) ? new CHFSPlusCompressFileReader(volume, node) : nullptr;
    }

    bool IsSizeUnknown(CFileNode* node) override {
        CHFSPlusVolume* volume = node ? VolumeOf(node) : nullptr;
        return !volume || !SizeHolds(*volume, *node);
    }

private:
    CHFSPlusVolume* VolumeOf(CFileNode* node) {
        if (m_places.empty()) {
            // No records (a caller that hands none): the volume at sector 0.
            if (!m_whole) m_whole = Open(m_device);
            return m_whole.get();
        }
        const auto it = m_places.find(node->GetBelongedPartition());
        if (it == m_places.end()) return nullptr;
        SavedPlace& place = it->second;
        if (!place.tried && place.count > 0) {
            place.window = std::make_unique<CPartitionVirtualVolumeDevice>(m_device, place.start, place.count);
            place.volume = Open(place.window.get());
        }
        place.tried = true;
        return place.volume.get();
    }

    // The node's compression header is found and expands to the size the
    // save holds (the scan may have found the file without its header).
    static bool SizeHolds(CHFSPlusVolume& volume, CFileNode& node) {
        if (node.GetCurrentNodeID() < 0 || node.GetFileSize() < 0) return false;
        const std::vector<std::uint8_t> attr =
            volume.getAttribute(static_cast<std::uint32_t>(node.GetCurrentNodeID()), "com.apple.decmpfs");
        return attr.size() >= 16 && bytes::Le64(attr, 8) == static_cast<std::uint64_t>(node.GetFileSize());
    }

    // The catalog is not read: the readers need only the attributes and
    // extents trees, and for deleted files the records the journal still
    // holds. Null when no volume opens there.
    static std::unique_ptr<CHFSPlusVolume> Open(IStorageDevice* device) {
        auto volume = std::make_unique<CHFSPlusVolume>(device, true);
        if (!volume->Header()) return nullptr;
        if (volume->Journal()) {
            volume->Journal()->GetDeleteRecord([] { return true; }, [] {});
            volume->m_deletedCatalog.clear(); // the nodes came from the file
        }
        return volume;
    }

    IStorageDevice* m_device;
    std::unique_ptr<CHFSPlusVolume> m_whole;
    std::map<std::uint16_t, SavedPlace> m_places;
};

} // namespace

ISavedVolume* OpenSavedVolume(IStorageDevice* device) { return device ? new CSavedHfsPlusVolume(device) : nullptr; }

} // namespace hfsplus
