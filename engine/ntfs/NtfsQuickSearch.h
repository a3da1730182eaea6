#pragma once
// The NTFS quick searcher: reads the boot sector, finds $MFT (through
// $MFTMirr when its own record is damaged) and walks every record of it,
// handing one node per named base record, live or deleted, to the tree
// builder as searcher type 35 under record 5, the root folder.
#include "engine/include/ResultCode.h"
#include "engine/include/SearchedPartitionInfo.h"
#include "engine/include/SearchInterfaces.h"
#include "engine/ntfs/NtfsDataRuns.h"
#include "engine/ntfs/NtfsLogFile.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace ntfs {
inline constexpr std::uint8_t kResultLib = 0x12;
inline constexpr ResultCode kNoDeviceOrSink = MakeResult(kResultLib, 0x65, 5);
inline constexpr ResultCode kNoBootSector = MakeResult(kResultLib, 0x75, 0x10);
inline constexpr ResultCode kNoMft = MakeResult(kResultLib, 0x7E, 0x11);
// Some sectors of $MFT could not be read: the records they hold are not
// listed, every other one is.
inline constexpr ResultCode kRecordsUnreadable = MakeResult(kResultLib, 0x80, 0x17);

IQuickFileSystemSearchController* CreateNTFSQuickSearcher();
} // namespace ntfs

class CNTFSQuickSearch : public IQuickFileSystemSearchController {
public:
    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
    int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int n) override;
    // Ends with the finished record once a sink is given; answers 0 when the
    // records were read (also after a stop), kRecordsUnreadable when some
    // could not be (the others are listed), else the failure.
    ResultCode QuickSearchFiles(IStorageDevice* device, IProgress* sink) override;

    const CNTFSDataRunList& MftRuns() const { return m_mft; }
    // The $MFT's runs in VCN order, each VCN and each cluster taken once (the
    // first run naming it wins), none past `clusters` VCNs when that is above 0.
    static CNTFSDataRunList TakeEachRangeOnce(const std::vector<CDataRun>& runs, long long clusters);
    const CFindFileFromLogFile& LogFinder() const { return m_log; }
    // Records of $MFT that could not be read during the last search (neither
    // from $MFT nor, for its first records, from $MFTMirr).
    long long UnreadableRecords() const { return m_unreadable; }

private:
    ResultCode Prepare();
    // Reads record 0 at a device byte position; true when it is the $MFT
    // record and its runs were taken.
    bool ReadMftRecord(std::uint64_t byte);
    bool ReadBytes(std::uint64_t byte, std::uint8_t* out, std::size_t n);
    void ReadRecords();
    // Reads the record at MFT byte `mftByte` from $MFTMirr into `out`; false
    // past what the mirror keeps, or when it cannot be read there either.
    bool ReadFromMirror(std::uint64_t mftByte, std::uint8_t* out);
    // One record at MFT byte position `mftByte`, read from device byte `at`.
    void BuildNode(const std::uint8_t* rec, std::uint64_t mftByte, std::uint64_t at);

    IDirecotryTreeBuilder* m_builder = nullptr;
    IStorageDevice* m_device = nullptr;
    IProgress* m_sink = nullptr;
    unsigned m_sectorSize = 512;
    // Device sectors per cluster; clusters smaller than a device sector give 0.
    unsigned m_spc = 1;
    std::uint64_t m_clusterBytes = 0;
    std::uint32_t m_recordSize = 1024;
    CNTFSDataRunList m_mft;
    std::vector<std::uint8_t> m_scratch;
    std::unique_ptr<CSearchedPartitionInfo> m_record;
    CFindFileFromLogFile m_log;
    long long m_unreadable = 0;
    std::uint64_t m_mirror = 0; // device byte of $MFTMirr, 0 when unknown
};
