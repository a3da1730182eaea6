// NTFS FILE records: header, fix-up round trip, the attribute walks and every
// attribute reader, the run readers, metafile tests, and the attribute list
// and extension lookups of a multi-record file (extensions read from the input).
// Input: one byte choosing the record size (1024 or 4096), then the record,
// then any bytes read as the device that holds the extensions and lists.
#include "engine/ntfs/NtfsIndexRecord.h"
#include "engine/ntfs/NtfsMultiRecord.h"
#include "tests/fuzz/FuzzScan.h"

#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const unsigned recordSize = (data[0] & 1) ? 4096 : 1024;
    std::vector<std::uint8_t> rec(data + 1, data + 1 + std::min(size - 1, std::size_t{recordSize}));
    rec.resize(recordSize, 0);

    // The fix-up round trip gives back the on-disk bytes.
    std::vector<std::uint8_t> copy = rec;
    if (CNTFSFileRecord::UnfixupFileRecord(copy)) {
        CNTFSFileRecord::FixupFileRecord(copy);
        if (copy != rec) __builtin_trap();
    }
    CNTFSFileRecordHeader::IsValid(rec);
    const bool valid = CNTFSFileRecord::IsValid(rec);
    const CNTFSFileRecord held(rec);
    if (held.IsValid() != valid) __builtin_trap();
    const ntfs::Bytes bytes = held.IsValid() ? held.Data() : ntfs::Bytes(rec);
    ntfs::WalkAttributes(bytes, [&](std::size_t off, ntfs::Bytes attr) {
        if (off + attr.size() > bytes.size()) __builtin_trap();
        CNTFSFileRecordAttribute::IsValid(bytes.subspan(off));
        CNTFSFileRecordAttribute::GetValue(attr);
        CNTFSFileRecordAttribute::GetName(attr);
        CNTFSFileRecordStandardInformationAttribute::IsValid(attr);
        CNTFSFileRecordStandardInformationAttribute::GetDosFilePermission(attr);
        CNTFSFileRecordFileNameAttribute::IsValid(attr);
        CNTFSFileRecordFileNameAttribute::GetFileNameUtf8(attr);
        CNTFSFileRecordFileNameAttribute::IsFileNameEqual(attr, u"$MFT");
        CNTFSFileRecordIndexRootAttribute::GetMFTFileRecordNumberfrom0x90(attr);
        CNTFSDataRunList runs;
        CNTFSFileRecordDataRunsAttribute::GetDataRunList(attr, runs);
        CNTFSFileRecordDataRunsAttribute::GetSectorsPerCluster(attr, 512);
        return true;
    });
    for (std::uint32_t type : {0x10u, 0x30u, 0x80u, 0xA0u}) {
        const int n = CNTFSFileRecord::GetAttibuteCountofSpecifiedType(bytes, type);
        for (int i = 0; i <= n; ++i)
            if (CNTFSFileRecord::FindAttibute(bytes, type, i).empty() != (i == n)) __builtin_trap();
    }
    CNTFSDataRunList runs;
    long long real = 0;
    unsigned spc = 0;
    CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecord(held, runs, true, &real);
    CNTFSFileRecordAnalyzer::GetSectorsPerClusterfrom0x80(held, spc);
    CNTFSFileRecordAnalyzer::IsValidFolderFileRecordHavingIndexAllocation(rec);
    CMetaFileRecordTypeAnalyzer::IsValidMetaFileRecord(held);
    CIsMetaFileRecord::IsMetaFileRecord(rec);

    // The rest of the input is the device: $MFT runs of the record itself.
    const std::size_t rest = size - 1 - std::min(size - 1, std::size_t{recordSize});
    salvor::fuzz::MemoryDevice device({data + size - rest, rest}, 512, 2);
    CNTFSDataRunList mft;
    mft.AddRun({0, 0, static_cast<long long>(rest / 512)});
    const auto list = CNTFSMultiFileRecord::InitExtendFileRecord(rec, 1000, 1, 0, device, mft, recordSize);
    CNTFSMultiFileRecord file(rec, 1000, &device, list ? &*list : nullptr, recordSize);
    for (int i = 0; i < 64 && !file.FindAttibute(0x30, i).empty(); ++i) {
    }
    file.FindAttibute(0x80, 1);
    return 0;
}
