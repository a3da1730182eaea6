#pragma once
#include "engine/include/StorageDevice.h"

// A device that holds the block being scanned in memory lends it out, so the
// deep scan's searchers read the current block in place instead of each
// copying it.
class IBlockView {
public:
    // The bytes of sectors [first, first + count) when all of them lie in one
    // block held in memory, else null: the block being scanned, or one read
    // ahead of it. They stay valid while no block after them is made current
    // and are the bytes ReadSector gives for that range once its block is.
    virtual const unsigned char* ViewSectors(long long first, long long count) = 0;

protected:
    ~IBlockView() = default;
};

// The device's view of [first, first + count), or null when it lends none.
inline const unsigned char* ViewSectors(IStorageDevice* device, long long first, long long count) {
    auto* view = dynamic_cast<IBlockView*>(device);
    return view ? view->ViewSectors(first, count) : nullptr;
}
