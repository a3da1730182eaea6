// The partition-table reader (MBR with its EBR chain, GPT, APM) over a disk
// made of the input. Byte 0 picks the sector size and the recorded scheme;
// the rest is the disk. Every listed partition must lie on the disk.
#include "engine/include/DeviceRecords.h"
#include "engine/include/StorageDevice.h"
#include "engine/partition/PartitionTable.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

class MemoryDisk : public IStorageDevice {
public:
    MemoryDisk(const std::uint8_t* data, std::size_t size, unsigned sectorSize)
        : m_bytes(data, data + size), m_sectorSize(sectorSize) {}
    int Open(char*) override { return 1; }
    int Close() override { return 1; }
    int ReadSector(void* buffer, long long first, long long count) override {
        const unsigned long long total = GetTotalSectors();
        if (!buffer || first < 0 || count < 1 || static_cast<unsigned long long>(first) >= total ||
            static_cast<unsigned long long>(count) > total - static_cast<unsigned long long>(first)) {
            m_error = 0x10e000000000005ULL;
            return 0;
        }
        std::memcpy(buffer, m_bytes.data() + first * m_sectorSize, static_cast<std::size_t>(count) * m_sectorSize);
        m_error = 0;
        return 1;
    }
    unsigned GetSectorSize() override { return m_sectorSize; }
    unsigned long long GetTotalSectors() override { return m_bytes.size() / m_sectorSize; }
    ResultCode IOCtl(unsigned long long, void*) override { return 0x10e000000000003ULL; }
    IStorageDeviceData* GetPrivateData() override { return m_data.get(); }
    void SetPrivateData(IStorageDeviceData* data) override { m_data.reset(data); }
    int GetType() override { return DEVICE_DISK; }
    ResultCode GetLastError() override { return m_error; }

private:
    std::vector<std::uint8_t> m_bytes;
    unsigned m_sectorSize;
    ResultCode m_error = 0;
    std::unique_ptr<IStorageDeviceData> m_data;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    static const unsigned kSizes[] = {512, 1024, 2048, 4096};
    const unsigned sectorSize = kSizes[data[0] & 3];
    MemoryDisk disk(data + 1, size - 1, sectorSize);
    auto* rec = new CCollectDiskDeviceInfoStruct;
    rec->partitionScheme = (data[0] >> 2) & 3;
    rec->sectorSize = sectorSize;
    disk.SetPrivateData(CreateDiskDeviceData(rec));

    std::unique_ptr<IPartitionTableAnalyze> analyzer(CreatePartitionTableAnalyze());
    PartitionList list;
    analyzer->AnalyzePartitionTable(&disk, list);
    const unsigned long long total = disk.GetTotalSectors();
    for (const PartitionEntry& e : list) {
        if (e.startSector >= total || e.sectorCount > total - e.startSector)
            __builtin_trap();
        char text[37];
        GUIDToStr(e.typeGuid, text);
        if (std::strlen(text) != 36)
            __builtin_trap();
    }
    return 0;
}
