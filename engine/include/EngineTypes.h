#pragma once
// Small shared value types of the engine.
#include <cstdint>

// File times: 100-ns intervals since 1601-01-01, split in two 32-bit halves.
struct _FILETIME {
    std::uint32_t dwLowDateTime = 0;
    std::uint32_t dwHighDateTime = 0;

    std::uint64_t Value() const { return (std::uint64_t{dwHighDateTime} << 32) | dwLowDateTime; }
    static _FILETIME From(std::uint64_t v) {
        return {static_cast<std::uint32_t>(v), static_cast<std::uint32_t>(v >> 32)};
    }
    friend bool operator==(const _FILETIME& a, const _FILETIME& b) { return a.Value() == b.Value(); }
};

// A node's tick state. 1 (partly ticked) only arises on folders from their children.
enum _tagCheckedStatus : int { CHECK_NONE = 0, CHECK_PART = 1, CHECK_ALL = 2 };

// The searcher that produced a node, and the tree that holds it.
enum _tagSearcherType : int {
    SEARCHER_HFSPLUS = 31,
    SEARCHER_FAT = 32,
    SEARCHER_EXFAT = 33,
    SEARCHER_RAW = 34,
    SEARCHER_NTFS = 35,
    SEARCHER_RAW_LABEL = 36,
    SEARCHER_APFS = 37,
    SEARCHER_NONE = 38,
};

// The suffix appended to the volume name for a tree root of a searcher type;
// "" for a type without a suffix.
const char* SearcherRootSuffix(int type);

// Carved files the last carve of this process found and sized but did not
// keep (past the cap of kept files), for its caller's summary: the carver
// notes the count, the caller takes it once.
void NoteCarveNotKept(unsigned long long count);
unsigned long long TakeLastCarveNotKept();

// File-system kind of a volume or of a searched partition.
enum enumFILE_SYSTEM_TYPE : int {
    FS_FAT12 = 0,
    FS_FAT16 = 1,
    FS_FAT32 = 2,
    FS_NTFS = 3,
    FS_EXT2 = 4,
    FS_EXT3 = 5,
    FS_RAW = 6,
    FS_EXFAT = 7,
    FS_HFSPLUS = 8,
    FS_APFS = 9,
    FS_UNKNOWN = 10,
};

// User-visible file categories.
enum FILE_TYPE_ID : int {
    FILE_TYPE_PICTURE = 2,
    FILE_TYPE_MUSIC = 3,
    FILE_TYPE_MOVIE = 4,
    FILE_TYPE_ARCHIVE = 5,
    FILE_TYPE_DOCUMENT = 6,
    FILE_TYPE_OTHER = 7,
};

// The application's category bits.
enum _FILTER_TYPE : unsigned {
    FILTER_PICTURE = 1,
    FILTER_MUSIC = 2,
    FILTER_MOVIE = 4,
    FILTER_ARCHIVE = 8,
    FILTER_DOCUMENT = 16,
    FILTER_OTHER = 32,
    FILTER_ALL = 127,
};

// 1 deep scan; quick scan: 0 on a mounted volume, 2 on an unmounted one.
enum _SCAN_TYPE : unsigned {
    SCAN_QUICK_MOUNTED = 0,
    SCAN_DEEP = 1,
    SCAN_QUICK_UNMOUNTED = 2,
};

enum _RECOVERY_CONTROLLER_TYPE : int {
    RECOVERY_DELETED = 0,
    RECOVERY_COMPLETE = 1,
    RECOVERY_PARTITION = 2,
    RECOVERY_NONE = 3,
};

// IStorageDevice::GetType()
enum enumSTORAGE_DEVICE_TYPE : int {
    DEVICE_DISK = 0,
    DEVICE_PARTITION = 1,
    DEVICE_VOLUME = 2,
    DEVICE_WRAPPER = 3,
    DEVICE_EDI = 4,
    DEVICE_DMG = 5,
};
