#pragma once
// The ring of the last blocks the carver analysed, seen as a device: reads
// that lie wholly inside the ring come from memory, all others go to the real
// device. Analysers that size a candidate after the fact read through it.
#include "engine/include/StorageDevice.h"

#include <cstdint>
#include <vector>

class CBufferStorageDevice : public IStorageDevice {
public:
    CBufferStorageDevice() = default;

    // False (and nothing held) for a ring too large to allocate or a block of 0 sectors.
    bool InitBufferDevice(IStorageDevice* device, unsigned long long firstSector, unsigned sectorSize,
                          unsigned sectorsPerBlock, unsigned blocks);
    // Copies one block (sectors per block × sector size bytes) in as the
    // newest. A block that could not be read is added as unreadable: it keeps
    // the ring's sectors in step, and reads touching it go to the device.
    void AddBlockToBuffer(const char* block, bool readable = true);
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
    // True when a run of sectors held in the ring touches an unreadable block.
    bool TouchesUnreadable(std::uint64_t pos, std::uint64_t count) const;

    std::vector<unsigned char> m_pRing;
    std::vector<bool> m_unreadable; // per block position of the ring
    unsigned long long m_llFirstSector = 0;
    unsigned long long m_llHeldSectors = 0;
    unsigned m_nHead = 0;
    unsigned m_nBlockSectors = 0;
    unsigned m_nBlocks = 0;
    unsigned m_nCapacity = 0;
    unsigned m_bInit = 0;
    IStorageDevice* m_pDevice = nullptr;
    unsigned m_nSectorSize = 512;
    unsigned long long m_ullHits = 0;
};
