#pragma once
// Whether the device a load found holds the volumes the scan was made of:
// two cards of one make carry the same size and label, and a load that took
// the other would recover its bytes as the scanned files.
#include "savedscan/SavedScanReplay.h"

#include <cstdint>

class CSearchedPartitionInfo;
class IStorageDevice;

// The volume at the record's start on device against what the save holds:
// the identity the save took of it (savedIdentity), or, for a save without
// one, the record's file-system kind against the one found there now.
// Unchecked where nothing can be told (no identity and no file system known
// at the start, or a record of no file system).
VolumeCheck CheckSavedVolume(IStorageDevice* device, const CSearchedPartitionInfo& record,
                             const std::uint64_t* savedIdentity);
