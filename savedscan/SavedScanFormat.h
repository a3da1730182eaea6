#pragma once
// What a scan-result file holds inside its container: three frames, found by
// GUID, and the limits the readers hold every record to. All values are
// little-endian and packed.
//
// ControllerList: u32 byte count (8), u32 controller type, u32 deep flag; a
//                 deep scan that ended early listed beside a quick scan of
//                 the same device: byte count 12, and u32 the first root
//                 block of the quick scan's (its blocks follow the deep
//                 scan's, and a quick replay of each volume reads them).
// DiskDevice:     i64 size, i32 disk index, i32 volume index, u32 file-system
//                 type, u32 name length (0..4096), the name.
// FileSystemNode: u64 root count, then per root: u32 marker 1, the root's
//                 system-node record, u32 partition count (0..512), per
//                 partition u32 kind (0..4) and a 104-byte record, node
//                 entries (u32 marker 0 and a file-node record), u32 end
//                 marker 0xFFFFFFFF. A partition record's first 16 bytes are
//                 passed over by readers (older saves hold zeros or
//                 pointers there): a save puts in them what tells the
//                 record's volume from another made alike, u64 identity
//                 (VolumeIdentity at the record's start sector) and the u64
//                 tag kVolumeIdentityTag, so that a load can check it is
//                 reading the volume that was scanned. Where that identity
//                 cannot tell the volume from another made alike (no serial
//                 number, or carved files), they hold u32 identity folded,
//                 kMarkFiles u16 marks of sampled files' first sectors and
//                 the u32 tag kFileMarkTag (saves of the first marks). Saves
//                 now mark every volume whose files can be sampled so
//                 (serial numbers repeat: mkntfs in one second, a card
//                 formatted again): u16 identity folded, kMarkSamples u8
//                 marks of sampled files read at their start, middle and
//                 end (files of one program begin alike) and the u32 tag
//                 kSampleMarkTag.
// Frames that readers of the first three pass over:
// NodeData:       what a file-node record cannot say, per node by its ordinal
//                 (its place among all node entries, from 0, in file order):
//                 u64 ordinal (ascending), u32 kind, u32 length, the value.
//                 Kind 1: i64 initialized size. Kind 2: the resident bytes.
//                 Kind 3: u32 mark of the file's first, middle and last
//                 sectors as the scan read them (ContentMark), so that a load
//                 reads each file only where its bytes are still the ones
//                 scanned (two devices may share a volume, not each file).
//                 Unknown kinds are passed over.
// Volumes:        where the scanned disk's volumes were: u32 count, per
//                 volume its i64 start and u64 sectors on the disk as the
//                 device list had them (none for a scanned volume); then u32
//                 count, per root block in file order the i64 start on the
//                 disk of the volume its records count from (-1: the disk's
//                 own start). A load tells by them where a device made alike
//                 holds other volumes than the one scanned.
// Checksums:      written last; per other frame its GUID, u32 payload size
//                 and u32 CRC-32 (kRSCrc32Polynomial) of its payload. A load
//                 checks every frame listed. Saves that write it say so by
//                 the header's version (kRSVersionChecksummed); such a save
//                 without it is damaged.
#include "savedscan/IRSData.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

// {409B6394-F681-4E88-A20F-5D635782ED75}
inline constexpr tagGUIDSIGN _frFileSystemSearchControllerList = {
    {0x94, 0x63, 0x9B, 0x40, 0x81, 0xF6, 0x88, 0x4E, 0xA2, 0x0F, 0x5D, 0x63, 0x57, 0x82, 0xED, 0x75}};
// {B072A676-0548-468B-BA9E-91093A63B517}
inline constexpr tagGUIDSIGN _frDiskDevice = {
    {0x76, 0xA6, 0x72, 0xB0, 0x48, 0x05, 0x8B, 0x46, 0xBA, 0x9E, 0x91, 0x09, 0x3A, 0x63, 0xB5, 0x17}};
// {D208F26C-078C-4E34-9D71-D91F535F7B57}
inline constexpr tagGUIDSIGN _frFileSystemNode = {
    {0x6C, 0xF2, 0x08, 0xD2, 0x8C, 0x07, 0x34, 0x4E, 0x9D, 0x71, 0xD9, 0x1F, 0x53, 0x5F, 0x7B, 0x57}};

// {782C260B-5204-4A54-A104-BA6F75679ACE}
inline constexpr tagGUIDSIGN _frNodeData = {
    {0x0B, 0x26, 0x2C, 0x78, 0x04, 0x52, 0x54, 0x4A, 0xA1, 0x04, 0xBA, 0x6F, 0x75, 0x67, 0x9A, 0xCE}};
// {918A7657-0633-43BA-BDE9-F7645F7E71B2}
inline constexpr tagGUIDSIGN _frVolumes = {
    {0x57, 0x76, 0x8A, 0x91, 0x33, 0x06, 0xBA, 0x43, 0xBD, 0xE9, 0xF7, 0x64, 0x5F, 0x7E, 0x71, 0xB2}};
// {29ACC8F1-E922-46DC-9021-4159A2F284C0}
inline constexpr tagGUIDSIGN _frChecksums = {
    {0xF1, 0xC8, 0xAC, 0x29, 0x22, 0xE9, 0xDC, 0x46, 0x90, 0x21, 0x41, 0x59, 0xA2, 0xF2, 0x84, 0xC0}};

// The error code of a save's or a load's last progress report (0: success).
enum SavedScanCode : std::uint32_t {
    SAVED_OK = 0,
    SAVED_NO_CONTAINER = 1,     // the container object cannot be made
    SAVED_CANNOT_OPEN = 2,      // the file cannot be opened (created, for a save)
    SAVED_BAD_HEADER = 3,       // wrong checksum, version or status, or a short header
    SAVED_BAD_CONTROLLERS = 4,  // no ControllerList frame, or a damaged one
    SAVED_BAD_DISK_DEVICE = 5,  // no DiskDevice frame, or a damaged one
    SAVED_NO_DEVICE = 6,        // the scanned device is not attached now
    SAVED_WRITE_FAILED = 7,     // a save could not write everything (no file is left)
    SAVED_DAMAGED = 8,          // the saved trees are damaged (nothing is shown)
    SAVED_NOT_STARTED = 9,      // the save or load could not be started
    SAVED_OLD_NOT_KEPT = 10,    // a save over an old one found no place to keep the old bytes
                                // aside meanwhile: nothing was written, the old save stands
    SAVED_OLD_NOT_BACK = 11,    // a load found a save cut short whose earlier save, kept aside,
                                // could not be put back (why and where it lies: KeptLeft)
};

inline constexpr std::uint32_t kControllerListBytes = 8;
inline constexpr std::uint32_t kControllerListBesideBytes = 12;
inline constexpr std::uint32_t kMaxDeviceName = 4096;
inline constexpr std::uint32_t kMaxFileName = 65535;
inline constexpr std::uint32_t kMaxVolumeName = 511;
inline constexpr std::uint32_t kMaxPartitions = 512;
inline constexpr std::uint32_t kMaxPartitionKind = 4;
inline constexpr std::uint32_t kPartitionRecordSize = 104;
// "VolumeID": no pointer an older save left in those bytes reads so.
inline constexpr std::uint64_t kVolumeIdentityTag = 0x4449656D756C6F56ULL;
// "VfID", where "VolumeID" has "meID"; its last byte is never 0, as it is in
// the pointers older saves left there.
inline constexpr std::uint32_t kFileMarkTag = 0x44496656U;
inline constexpr std::size_t kMarkFiles = 4;
// "VsID": as kFileMarkTag, another third byte.
inline constexpr std::uint32_t kSampleMarkTag = 0x44497356U;
inline constexpr std::size_t kMarkSamples = 10;
inline constexpr std::uint32_t kRootMarker = 1;
inline constexpr std::uint32_t kNodeMarker = 0;
inline constexpr std::uint32_t kEndMarker = 0xFFFFFFFF;
inline constexpr std::uint32_t kRunBytes = 16;
inline constexpr std::uint32_t kNodeDataInitialized = 1;
inline constexpr std::uint32_t kNodeDataResident = 2;
inline constexpr std::uint32_t kNodeDataContent = 3;
inline constexpr std::uint32_t kNodeDataHead = 8 + 4 + 4;
// Files a save marks by their contents, in save order: each costs a save
// and a load three small reads, gathered and read in the device's order. A
// save marks no more than it can in kContentMarkSeconds (a load then reads
// as long again).
inline constexpr std::uint64_t kMaxContentMarks = 1 << 16;
inline constexpr int kContentMarkSeconds = 10;
// Resident data lives inside one MFT record (at most 64 KiB).
inline constexpr std::uint32_t kMaxResidentBytes = 1 << 16;
inline constexpr std::uint32_t kChecksumEntry = 16 + 4 + 4;
// Volumes listed on a disk, and root blocks, a Volumes frame may name.
inline constexpr std::uint32_t kMaxLaidVolumes = 4096;

// The fixed part of a file-node record before its runs (ids, size,
// attribute, times, flags, run count, resident flag), and after them (name
// length, shown flag, partition index, metadata position, compressed flag).
inline constexpr std::uint32_t kFileRecordHead = 8 + 8 + 8 + 2 + 8 + 8 + 8 + 4 + 4 + 4 + 4;
inline constexpr std::uint32_t kFileRecordTail = 4 + 4 + 2 + 8 + 4;
inline constexpr std::uint32_t kMinFileRecord = kFileRecordHead + kFileRecordTail;
// A node entry: its marker and the smallest file-node record.
inline constexpr std::uint32_t kMinNodeEntry = 4 + kMinFileRecord;
// A root block: marker, smallest system-node record (file record, searcher
// type, volume-name length), partition count and end marker.
inline constexpr std::uint32_t kMinRootBlock = 4 + kMinFileRecord + 4 + 4 + 4 + 4;
static_assert(kMinNodeEntry == 92 && kMinRootBlock == 108);

namespace SaveRestoreResult {

// What the first 16 bytes of a partition record say of its volume (older
// saves: nothing). Identity: the whole VolumeIdentity of the volume. Files,
// for a volume whose identity does not tell it from another made alike (no
// serial number, or no file system: carved files): the identity folded to 32
// bits (0 when it had none) and, per file sampled (CMarkSampler), 16 bits of
// the bytes of its first sector (0: no evidence). Samples, for any volume
// whose files can be sampled: the identity folded to 16 bits (0: none) and
// per file sampled 8 bits of its first, middle and last sectors (0: no
// evidence).
struct VolumeMark {
    enum class Kind { None, Identity, Files, Samples };
    Kind kind = Kind::None;
    std::uint64_t identity = 0;
    std::array<std::uint16_t, kMarkFiles> files{};
    std::array<std::uint8_t, kMarkSamples> samples{};
    bool HasFiles() const {
        return kind == Kind::Samples
                   ? std::any_of(samples.begin(), samples.end(), [](std::uint8_t f) { return f != 0; })
                   : std::any_of(files.begin(), files.end(), [](std::uint16_t f) { return f != 0; });
    }
};

} // namespace SaveRestoreResult
