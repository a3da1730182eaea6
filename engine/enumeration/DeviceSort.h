#pragma once
// The order of listed devices: disks by kernel name compared byte by byte
// (loop10 before loop2), partitions and volumes by partition number. Use with a
// stable sort (std::list::sort).
class IStorageDevice;

class CDevListSortAlgorithm {
public:
    // True when a sorts before b. Devices of different types, null devices and
    // devices without a record never sort before anything.
    bool operator()(IStorageDevice* a, IStorageDevice* b) const;

    static bool DiskSortAlgorithm(IStorageDevice* a, IStorageDevice* b);
    static bool PartSortAlgorithm(IStorageDevice* a, IStorageDevice* b);
    static bool VolumeSortAlgorithm(IStorageDevice* a, IStorageDevice* b);
};
