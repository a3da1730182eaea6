#pragma once
// Whether a destination folder lies on what is being scanned: writing there
// would overwrite the very data being recovered.
#include "engine/enumeration/BlockDeviceFacts.h"

#include <string>

// For a block device: the destination's file system (that of its nearest
// existing ancestor) lives on it or on one of its partitions, by device
// number or by the source of its mount. For an image file: the destination
// lies in a mount of a loop device backed by that file (or of the file
// itself). A destination beside an image file is not on it. Answers why, or
// "" when the destination is elsewhere.
std::string SameVolumeReason(const std::string& scanned, const std::string& destination,
                             IBlockDeviceFacts& facts,
                             const std::string& mountInfoPath = "/proc/self/mountinfo");
