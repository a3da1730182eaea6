#pragma once
// What the fuzz targets share: a device over the fuzzer's bytes and a whole
// scan of it that checks what it shows and reads every shown file back.
#include "engine/include/DeviceRecords.h"
#include "engine/include/RecoveryController.h"
#include "engine/include/StorageDevice.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace salvor::fuzz {

// A read-only device over a byte buffer (borrowed). Whole sectors only: the
// bytes past the last whole sector are not part of the device.
class MemoryDevice : public IStorageDevice {
public:
    MemoryDevice(std::span<const std::uint8_t> bytes, unsigned sectorSize, int type)
        : m_bytes(bytes), m_sectorSize(sectorSize ? sectorSize : 512), m_type(type) {}
    int Open(char*) override { return 1; }
    int Close() override { return 1; }
    int ReadSector(void* buffer, long long firstSector, long long count) override;
    unsigned GetSectorSize() override { return m_sectorSize; }
    unsigned long long GetTotalSectors() override { return m_bytes.size() / m_sectorSize; }
    ResultCode IOCtl(unsigned long long, void*) override { return 0; }
    IStorageDeviceData* GetPrivateData() override { return m_data.get(); }
    void SetPrivateData(IStorageDeviceData* data) override { m_data.reset(data); }
    int GetType() override { return m_type; }
    ResultCode GetLastError() override { return m_lastError; }
    // Attaches a volume record naming the file-system kind (quick scans pick
    // their searcher from it).
    void SetVolumeKind(unsigned kind);

private:
    std::span<const std::uint8_t> m_bytes;
    unsigned m_sectorSize;
    int m_type;
    std::unique_ptr<IStorageDeviceData> m_data;
    ResultCode m_lastError = 0;
};

// A whole scan of bytes as a device (a volume of kind volumeKind when that is
// not 0) through a controller with a tree builder that never sleeps (a
// complete controller reads small blocks, so structures fall at block ends).
// Traps on a missing or looping node, more than one finished report, or a
// reader answering more than asked; then reads every shown file through the
// writer for the searcher type and writes a bounded number to a scratch file,
// whatever their size (failed reads skipped, not ending the file), trapping on
// a copy that outlives a time bound or takes more room than the input could fill.
void ScanBytes(std::span<const std::uint8_t> bytes, unsigned sectorSize, int deviceType, _RECOVERY_CONTROLLER_TYPE type,
               _SCAN_TYPE scanType, _tagSearcherType searcher, unsigned volumeKind = 0);

// Runs fill once per process (each lambda type has its own flag): the
// file-system table's entries a target needs.
template <typename F>
void Once(F&& fill) {
    static const bool done = (fill(), true);
    (void)done;
}

// Gives every exFAT file entry set in the bytes (at 32-byte steps) the
// checksum it should have, so that a mutated set is not simply refused: the
// checks a checksummed set is spared are fuzzed too. The odd-sized inputs of
// the exFAT targets go through this.
void ResealExfatSets(std::span<std::uint8_t> bytes);

// A sector size from a boot sector's field, 512 when the field is not one.
unsigned SectorSizeOr512(unsigned candidate);

} // namespace salvor::fuzz
