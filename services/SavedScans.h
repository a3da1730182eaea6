#pragma once
// The services' side of saving and loading scan results: what a save of the
// current session writes, and the scan a load replays into. The saved-scan
// library sits below the services and is handed both.
#include "savedscan/SaveRestoreResult.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class IStorageDevice;
class VXUIRecovery;
class VXUIScan;

// The device list's description of the scanned storage (empty for none).
SaveRestoreResult::SavedDisk DescribeSaved(IStorageDevice* storage);

// The attached devices that match the saved description: the one at the
// saved indexes when size, file-system type and (when saved) name agree,
// then every listed disk or volume with the same name, type and size, in
// list order.
std::vector<IStorageDevice*> GetFromDiskVolumeData(const SaveRestoreResult::SavedDisk& saved);

// What the last load's file says of the device it was made of (read: a
// load has read it), and whether devices alike in name, size and kind were
// attached (and tried): a load refused for want of that device names it, and
// speaks of a device made alike only when one was there.
struct LastLoadDevice {
    bool read = false;
    SaveRestoreResult::SavedDisk disk;
    bool alikeAttached = false;
};
LastLoadDevice LastLoadDeviceSeen();
// Why the last load did not put back the earlier save kept aside for the
// save cut short it read, and where that save's bytes stay (why None: the
// load did not fail for it).
SaveRestoreResult::KeptLeft LastLoadOldSaveLeft();

// The files the last save could not mark by their bytes because the device
// did not answer while they were read (0 when it answered throughout), of
// those it set out to mark.
struct LastSaveMarks {
    std::uint64_t unmarked = 0, planned = 0;
};
LastSaveMarks LastSaveMarksLeft();

// What a save of scan's current session writes; it holds the session and
// its nodes until it goes. Called on the save's thread.
SaveRestoreResult::SaveSource MakeSaveSource(VXUIScan& scan);

// scan, as the scan a load replays into; after the replay recovery works on
// the loaded session.
std::unique_ptr<SaveRestoreResult::RestoreScanTarget> MakeRestoreTarget(VXUIScan& scan, VXUIRecovery& recovery);
