#pragma once
// Entry points that open an image file as a device with its record attached.
// The program itself attaches images through the system (a loop device) and
// scans them as disks; these make the image devices directly, for tools and
// tests.
#include "engine/include/DeviceRecords.h"
#include "engine/include/StorageDevice.h"

#include <cstddef>

// An EDI image starts with a header of ours (little-endian):
//   0  char[8]  preamble, beginning "edi"
//   8  u64      total size of the file in bytes
//  16  u64      byte offset of sector 0 (at least the header's 32 bytes)
//  24  u32      sector size in bytes (0 means 512)
//  28  u32      reserved
struct EdiHeaderLayout {
    static constexpr std::size_t kBytes = 32;
    static constexpr std::size_t kTotalSize = 8;
    static constexpr std::size_t kDataOffset = 16;
    static constexpr std::size_t kSectorSize = 24;
};

// Fills info from the EDI image at path: true only when the file opens, its
// preamble begins with "edi", the size its header records equals the file's
// and the data offset and sector size are sane. The path is stored either
// way (cut to the record's field).
bool EuFillEdiFileInfo(const char* path, CEDIDeviceInfoStruct* info);
// Stores the path; true when the file opens. The whole file is the data.
bool EuFillDmgFileInfo(const char* path, CDMGDeviceInfoStruct* info);

// An opened image device carrying a copy of the record, or null when the
// file is refused or cannot be opened. The caller owns the device.
IStorageDevice* CreateEdiDevice(const char* path);
IStorageDevice* CreateDmgDevice(const char* path, CDMGDeviceInfoStruct* info);
// As above from a record the caller filled: size is the number of bytes of
// info to take (at most the record's own size); path replaces the record's.
IStorageDevice* CreateEdiDeviceByEdiInfo(const CEDIDeviceInfoStruct* info, std::size_t size, const char* path);
IStorageDevice* CreateDmgDeviceByDmgInfo(const CDMGDeviceInfoStruct* info, std::size_t size, const char* path);
