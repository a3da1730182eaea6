#pragma once
// Where a volume made on a device has written: its file system's own
// structures and the clusters it holds allocated. Formatting a new volume
// over old data writes only those; what lies in its free space is as it was.
#include <utility>
#include <vector>

class IStorageDevice;

// The sectors [first, end) of device, counted from its start, that the volume
// there has written: for FAT and exFAT the areas before their data (boot
// sectors, allocation tables, FAT12/16 root folder) and every cluster the
// allocation table or bitmap holds; for ext2, ext3 and ext4 their group
// structures and the blocks their bitmaps hold; for xfs every block its
// free-space trees do not hold free; for minix and bfs their tables and the
// zones or files in use; for btrfs its superblock copies, the stripes of its
// chunks on this device and what mkfs.btrfs writes besides; for an ISO 9660
// image all it spans and the zeros padding it; for any other volume (swap,
// whose pages swapped out leave no trace on it), one of no kind told, or
// where those structures cannot be read whole, the whole device.
std::vector<std::pair<long long, long long>> VolumeWrittenSectors(IStorageDevice* device);
