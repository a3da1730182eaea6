#pragma once
#include "engine/include/StorageDevice.h"

// A device that holds the block being scanned in memory lends it out, so the
// deep scan's searchers read the current block in place instead of each
// copying it.
class IBlockView {
public:
    // The bytes of sectors [first, first + count) when all of them lie in the
    // block held now, else null. They stay valid until another block is made
    // current and are the bytes ReadSector would give for that range.
    virtual const unsigned char* ViewSectors(long long first, long long count) = 0;

protected:
    ~IBlockView() = default;
};

// The device's view of [first, first + count), or null when it lends none.
inline const unsigned char* ViewSectors(IStorageDevice* device, long long first, long long count) {
    auto* view = dynamic_cast<IBlockView*>(device);
    return view ? view->ViewSectors(first, count) : nullptr;
}
