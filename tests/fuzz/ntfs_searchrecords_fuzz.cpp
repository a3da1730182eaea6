// The records the NTFS searches keep: made from a FILE record (every kind,
// each one's saved form restored and saved again to the same bytes), or
// restored from a saved form (what a record takes, it saves back unchanged).
// Input: one byte choosing the mode (bit 0: saved form; bit 1: a 4096-byte
// record), then the record or the saved form.
#include "engine/ntfs/NtfsSearchRecords.h"

#include <vector>

namespace {
template <typename Record>
void RoundTrip(const Record& r) {
    ntfs::RecordStream saved, again;
    r.Save(saved);
    Record back;
    ntfs::Bytes in(saved);
    if (!back.Restore(in) || !in.empty()) __builtin_trap();
    back.Save(again);
    if (again != saved) __builtin_trap();
}

template <typename Record>
void FromSaved(ntfs::Bytes bytes) {
    Record r;
    ntfs::Bytes in = bytes;
    if (!r.Restore(in)) {
        if (in.size() != bytes.size()) __builtin_trap(); // a refusal consumes nothing
        return;
    }
    ntfs::RecordStream saved;
    r.Save(saved);
    const std::size_t used = bytes.size() - in.size();
    if (saved.size() != used || !std::equal(saved.begin(), saved.end(), bytes.begin())) __builtin_trap();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const ntfs::Bytes rest(data + 1, size - 1);
    if (data[0] & 1) {
        FromSaved<CSearchedNTFSPartitionInfo>(rest);
        FromSaved<CMetaFileInfo>(rest);
        FromSaved<CLogFileInfo>(rest);
        FromSaved<CMFTMirrInfo>(rest);
        FromSaved<CAttrDefFileInfo>(rest);
        FromSaved<CUpCaseFileInfo>(rest);
        FromSaved<CMFTInfo>(rest);
        FromSaved<CBitmapFileInfo>(rest);
        FromSaved<CCommonFileRecordInfo>(rest);
        FromSaved<CCommonFileRecordPositionInfo>(rest);
        FromSaved<CFolderIndexAllocationInfo>(rest);
        return 0;
    }
    const std::size_t recordSize = (data[0] & 2) ? 4096 : 1024;
    std::vector<std::uint8_t> bytes(rest.begin(), rest.begin() + std::min(rest.size(), recordSize));
    bytes.resize(recordSize, 0);
    const CNTFSFileRecord record(bytes);
    constexpr long long kSector = 1000;
    for (unsigned ss : {512u, 4096u}) {
        if (auto mft = CMFTInfo::Build(record, kSector, ss)) {
            if (mft->GetFirstClusterNO() == -1 || mft->GetSectorsPerCluster() == 0) __builtin_trap();
            RoundTrip(*mft);
        }
        if (auto mirr = CMFTMirrInfo::Build(record, kSector, ss)) RoundTrip(*mirr);
        CLogFileInfo log;
        if (log.InitFromBuffer(record, kSector, ss)) RoundTrip(log);
        CFolderIndexAllocationInfo folder;
        if (folder.InitFromBuffer(bytes, kSector, ss)) {
            if (folder.GetMFTFileRecordNumber() == -1 || folder.GetMFTFileRecordNumber() == 5) __builtin_trap();
            folder.GetLCN(folder.GetFirstClusterNO());
            RoundTrip(folder);
        }
    }
    CAttrDefFileInfo attrDef;
    if (attrDef.InitFromBuffer(record, kSector)) RoundTrip(attrDef);
    CBitmapFileInfo bitmap;
    if (bitmap.InitFromBuffer(record, kSector)) {
        if (bitmap.GetFileSize() < 1) __builtin_trap();
        RoundTrip(bitmap);
    }
    CCommonFileRecordInfo common;
    if (common.InitFromBuffer(record, kSector)) RoundTrip(common);
    return 0;
}
