#pragma once
// Sectors a deep searcher will read again to build what it found (folders,
// file tables): kept in memory from the block being scanned, so what the scan
// read stays listed when the device goes before the trees are built.
#include "engine/include/StorageDevice.h"

class IKeptSectors {
public:
    // Keeps sectors [first, first + count) of the block being scanned (or a
    // queued one); sectors the scan holds no longer, or past the memory
    // allowed, are not kept.
    virtual void KeepSectors(long long first, long long count) = 0;

protected:
    ~IKeptSectors() = default;
};

// Does nothing for a device that keeps nothing (a plain device, a test fake).
inline void KeepSectors(IStorageDevice* device, long long first, long long count) {
    if (auto* kept = dynamic_cast<IKeptSectors*>(device))
        kept->KeepSectors(first, count);
}
