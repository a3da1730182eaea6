// INDX records: header, update sequence over every sector and its round trip,
// the entry walk and the owning folder; the same bytes as an index root value.
#include "engine/ntfs/NtfsFileRecord.h"
#include "engine/ntfs/NtfsIndexRecord.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> rec(data, data + size);
    std::vector<std::uint8_t> copy = rec;
    if (CIndexRecord::UnfixupIndexRecord(copy)) {
        CIndexRecord::CheckIndexEntries(copy);
        CIndexRecord::FixupIndexRecord(copy);
        if (copy != rec) __builtin_trap();
    }
    const bool valid = CIndexRecord::IsValid(rec);
    const long long parent = CIndexRecord::GetParentFileReference(rec);
    if (!valid && parent != -1) __builtin_trap();
    CIndexRecord::WalkEntries(rec, CStandardIndexHeader::GetOffsetofIndexEntries(rec), rec.size(),
                              [](bytes::Bytes e) { return CIndexRecord::IsValidEntry(e) || true; });
    // As the value of a resident index root.
    std::vector<std::uint8_t> attr(24, 0);
    attr[0] = 0x90;
    attr[16] = static_cast<std::uint8_t>(size), attr[17] = static_cast<std::uint8_t>(size >> 8);
    attr[20] = 24;
    attr.insert(attr.end(), rec.begin(),
                rec.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(size, 4000)));
    attr[4] = static_cast<std::uint8_t>(attr.size()), attr[5] = static_cast<std::uint8_t>(attr.size() >> 8);
    CNTFSFileRecordIndexRootAttribute::GetMFTFileRecordNumberfrom0x90(attr);
    return 0;
}
