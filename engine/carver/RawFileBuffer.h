#pragma once
// A page reader for analysers that walk a file from its start sector: it
// holds one page of 128 sectors plus one sector of look-ahead and reads the
// device again only when a request leaves the page. Each reader owns its
// page, so readers may nest.
#include "engine/include/StorageDevice.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class CRawFileInfo;

// Where a record's file lies on a device: its start sector, the device's
// sector size and the bytes from the start to the device's end.
struct RawFileRoom {
    unsigned long long start = 0;
    unsigned sectorSize = 0;
    unsigned long long room = 0;
};
// Null device, a negative start, a start at or past the device's end, or a
// sector smaller than minSector bytes: no room.
std::optional<RawFileRoom> RoomOf(IStorageDevice* device, long long startSector, unsigned minSector = 1);
std::optional<RawFileRoom> RoomOf(const CRawFileInfo& record, IStorageDevice* device, unsigned minSector = 1);

class RawFileBuffer {
public:
    static constexpr unsigned kPageSectors = 128;

    RawFileBuffer(IStorageDevice* device, unsigned long long startSector);

    // The byte at offset from the file's start, inside the page that holds
    // it; the page's look-ahead sector may be read through the pointer too.
    // Null past the device's end, on a failed read, or after a stop request.
    const unsigned char* GetRawFileBuffer(unsigned long long offset);
    // n contiguous bytes at offset, read from the device as they are, or null
    // when they cannot all be had (past the device's end, longer than a page,
    // a failed read, a stop request).
    const unsigned char* Fetch(unsigned long long offset, std::size_t n);

    unsigned GetSectorSize() const { return m_nSectorSize; }
    unsigned GetPageBytes() const { return m_nPageBytes; }

private:
    static constexpr unsigned long long kNone = ~0ull;
    // Reads the page starting `sector` sectors into the file; false when nothing could be read.
    bool Load(unsigned long long sector);

    IStorageDevice* m_pDevice;
    unsigned long long m_llStartSector;
    unsigned m_nSectorSize;
    unsigned m_nPageBytes;
    unsigned long long m_llPageSector = kNone; // file-relative sector at the page's start
    std::size_t m_nHeldBytes = 0;              // bytes the device gave for this page
    // 129 sectors, left unset until a page is read into it (a buffer is
    // made for every candidate sized).
    std::unique_ptr<unsigned char[]> m_page;
    std::size_t m_nPageSize = 0;
};
