#pragma once
// The ring of the last blocks the carver analysed, seen as a device: reads
// that lie wholly inside the ring come from memory, all others go to the real
// device. Analysers that size a candidate after the fact read through it.
//
// The ring also holds the block being analysed, so each block is copied once:
// it has two slots more than the blocks it answers for (one for the block
// being analysed, one for the block after it, which may be filled ahead), the
// next block is written into the free slot, and the slots lie in device order
// in memory, so the newest block held sits right before the free slot (a copy
// of it does when the slots wrap around), followed by bytes that read as zeros
// while the block is analysed.
#include "engine/include/StorageDevice.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

class CBufferStorageDevice : public IStorageDevice {
public:
    CBufferStorageDevice() = default;
    ~CBufferStorageDevice() override;
    CBufferStorageDevice(const CBufferStorageDevice&) = delete;
    CBufferStorageDevice& operator=(const CBufferStorageDevice&) = delete;

    // False (and nothing held) for a ring too large to allocate or a block of 0 sectors.
    // marginBytes: the zeros the free slot is followed by while a block is written there.
    bool InitBufferDevice(IStorageDevice* device, unsigned long long firstSector, unsigned sectorSize,
                          unsigned sectorsPerBlock, unsigned blocks, std::size_t marginBytes = 0);
    // Copies one block (sectors per block × sector size bytes) in as the
    // newest. A block that could not be read is added as unreadable: it keeps
    // the ring's sectors in step, and reads touching it go to the device.
    void AddBlockToBuffer(const char* block, bool readable = true);

    // The free slot, for the next block to be written into (null when the
    // ring is not set up). With newestBefore the newest block held is placed
    // right before it; the margin after it reads as zeros until
    // RestoreAfterFreeSlot, and reads through the ring never touch it.
    unsigned char* PrepareFreeSlot(bool newestBefore);
    // The slot the block after the next goes into once the next is taken in:
    // no block held uses it, so it may be filled ahead, from HiddenBytes() on
    // (the margin hides its start while the free slot is filled).
    unsigned char* NextFreeSlot();
    std::size_t HiddenBytes() const { return m_hidden.size(); }
    // Gives back what the margin after the free slot hid.
    void RestoreAfterFreeSlot();
    // Takes the block written into the free slot as the newest.
    void CommitFreeSlot(bool readable = true);

    int IsFullBuffer() const { return m_bInit && m_llHeldSectors == m_nCapacity; }
    unsigned long long GetDeviceStartSector() const { return m_llFirstSector; }
    unsigned long long GetHeldSectors() const { return m_llHeldSectors; }
    // Reads served from memory since InitBufferDevice.
    unsigned long long GetHits() const { return m_ullHits; }

    int Open(char*) override { return 1; }
    int Close() override;
    int ReadSector(void* buffer, long long firstSector, long long count) override;
    unsigned GetSectorSize() override { return m_nSectorSize ? m_nSectorSize : 512; }
    // The real device's size: analysers reading through the ring judge the
    // end of the device, not of the ring.
    unsigned long long GetTotalSectors() override;
    ResultCode IOCtl(unsigned long long, void*) override { return 0; }
    IStorageDeviceData* GetPrivateData() override { return nullptr; }
    void SetPrivateData(IStorageDeviceData*) override {}
    int GetType() override { return 3; }
    ResultCode GetLastError() override { return 0; }

private:
    std::size_t BlockBytes() const { return std::size_t{m_nBlockSectors} * m_nSectorSize; }
    // The blocks held, the free slot and the one after it.
    std::uint64_t Slots() const { return std::uint64_t{m_nBlocks} + 2; }
    unsigned char* Slot(std::uint64_t slot) { return m_area.get() + BlockBytes() * (1 + slot); }
    // The slot of a sector the ring holds.
    std::uint64_t SlotOf(unsigned long long sector) const {
        return ((sector - m_llBaseSector) / m_nBlockSectors) % Slots();
    }

    struct FreeArea {
        void operator()(unsigned char* p) const { std::free(p); }
    };
    // The copy of the newest block, the slots, the zero margin: tens of
    // megabytes.
    std::unique_ptr<unsigned char, FreeArea> m_area;
    std::vector<bool> m_unreadable; // per slot
    std::vector<unsigned char> m_hidden; // what the margin hides of the slot after the free one
    long long m_hiddenSlot = -1;
    unsigned long long m_llBaseSector = 0; // the first block's first sector
    unsigned long long m_llFirstSector = 0;
    unsigned long long m_llHeldSectors = 0;
    std::uint64_t m_ullCommitted = 0; // blocks taken in
    unsigned m_nBlockSectors = 0;
    unsigned m_nBlocks = 0;
    unsigned m_nCapacity = 0;
    std::size_t m_nMarginBytes = 0;
    unsigned m_bInit = 0;
    IStorageDevice* m_pDevice = nullptr;
    unsigned m_nSectorSize = 512;
    unsigned long long m_ullHits = 0;
};
