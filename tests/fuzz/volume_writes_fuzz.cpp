// Where a volume made since a save has written (FAT, exFAT, ext, xfs,
// minix, bfs, btrfs, ISO 9660) on arbitrary bytes. The input places pieces
// on a device of zeros, so that structures can lie where their file systems
// put them (the btrfs superblock at 64 KiB, its chunk tree at 1 MiB): a u32
// of the device's size in sectors (at most 64 MiB), then pieces of a u32
// byte offset, a u16 length and that many bytes. The ranges told lie
// within the device, in order, apart, and none empty.
#include "engine/include/DeviceRecords.h"
#include "engine/include/StorageDevice.h"
#include "savedscan/VolumeWrites.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

std::uint32_t Le(const std::uint8_t* p, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

class PiecesDevice final : public IStorageDevice {
public:
    struct Piece {
        std::uint64_t offset;
        const std::uint8_t* bytes;
        std::size_t length;
    };
    PiecesDevice(std::uint64_t sectors, std::vector<Piece> pieces) : m_sectors(sectors), m_pieces(std::move(pieces)) {}
    int Open(char*) override { return 1; }
    int Close() override { return 1; }
    int ReadSector(void* buffer, long long first, long long count) override {
        if (first < 0 || count <= 0 || static_cast<std::uint64_t>(first + count) > m_sectors) return 0;
        auto* out = static_cast<std::uint8_t*>(buffer);
        const std::uint64_t from = static_cast<std::uint64_t>(first) * 512, to = from + static_cast<std::uint64_t>(count) * 512;
        std::memset(out, 0, static_cast<std::size_t>(to - from));
        for (const Piece& p : m_pieces) {
            const std::uint64_t a = std::max(from, p.offset), b = std::min(to, p.offset + p.length);
            if (a < b) std::memcpy(out + (a - from), p.bytes + (a - p.offset), static_cast<std::size_t>(b - a));
        }
        return static_cast<int>(count);
    }
    unsigned GetSectorSize() override { return 512; }
    unsigned long long GetTotalSectors() override { return m_sectors; }
    ResultCode IOCtl(unsigned long long, void*) override { return 0; }
    IStorageDeviceData* GetPrivateData() override { return m_data.get(); }
    void SetPrivateData(IStorageDeviceData* data) override { m_data.reset(data); }
    int GetType() override { return DEVICE_VOLUME; }
    ResultCode GetLastError() override { return 0; }

private:
    std::uint64_t m_sectors;
    std::vector<Piece> m_pieces;
    std::unique_ptr<IStorageDeviceData> m_data;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const std::uint64_t sectors = std::min<std::uint64_t>(Le(data, 4), 131072);
    std::vector<PiecesDevice::Piece> pieces;
    for (std::size_t at = 4; at + 6 <= size && pieces.size() < 256;) {
        const std::uint64_t offset = Le(data + at, 4);
        const std::size_t length = std::min<std::size_t>(Le(data + at + 4, 2), size - at - 6);
        pieces.push_back({offset, data + at + 6, length});
        at += 6 + length;
    }
    PiecesDevice device(sectors, std::move(pieces));
    const auto ranges = VolumeWrittenSectors(&device);
    long long last = -1;
    for (const auto& [first, end] : ranges)
        if (first < 0 || first >= end || first <= last || static_cast<unsigned long long>(end) > sectors) __builtin_trap();
        else last = end;
    return 0;
}
