#include "engine/ntfs/NtfsDataRuns.h"

#include "engine/include/Owned.h"
#include "engine/ntfs/NtfsFileRecord.h"

#include <algorithm>
#include <limits>

using namespace bytes;

namespace {

enum class Step { End, Run, Bad };

// Decodes the run at p. Wrapping arithmetic only: IsValid judges the values.
Step DecodeRun(Bytes b, std::size_t& p, std::uint64_t& previous, std::uint64_t& lcn, std::uint64_t& length,
               bool& sparse) {
    if (p >= b.size()) return Step::Bad;
    const unsigned h = b[p];
    if (h == 0) return Step::End;
    const unsigned lengthBytes = h & 15, offsetBytes = h >> 4;
    if (lengthBytes > 8 || offsetBytes > 8 || !Has(b, p + 1, lengthBytes + offsetBytes)) return Step::Bad;
    length = 0;
    for (unsigned i = 0; i < lengthBytes; ++i)
        length |= std::uint64_t{b[p + 1 + i]} << (8 * i);
    std::uint64_t offset = 0;
    for (unsigned i = 0; i < offsetBytes; ++i)
        offset |= std::uint64_t{b[p + 1 + lengthBytes + i]} << (8 * i);
    if (offsetBytes > 0 && offsetBytes < 8 && (offset >> (8 * offsetBytes - 1)) & 1)
        offset |= ~std::uint64_t{0} << (8 * offsetBytes);
    sparse = offsetBytes == 0;
    lcn = previous + offset;
    if (!sparse) previous = lcn;
    p += 1 + lengthBytes + offsetBytes;
    return Step::Run;
}

constexpr long long kMax = std::numeric_limits<long long>::max();

// start + offset for untrusted runs: wraps instead of overflowing.
long long Offset(long long start, long long offset) {
    return static_cast<long long>(static_cast<std::uint64_t>(start) + static_cast<std::uint64_t>(offset));
}

} // namespace

bool CNTFSDataRunList::IsValid(Bytes b) {
    std::size_t p = 0;
    std::uint64_t previous = 0, lcn = 0, length = 0;
    long long total = 0;
    bool sparse = false;
    for (;;) {
        const Step s = DecodeRun(b, p, previous, lcn, length, sparse);
        if (s == Step::End) return true;
        if (s == Step::Bad || p >= b.size()) return false; // no room for the terminator
        const long long len = static_cast<long long>(length);
        if (len <= 0 || total > kMax - len) return false;
        total += len;
        // The previous start is a cluster (0 .. 2^63 - 1), so a start that
        // left that range, wrapped or not, reads as negative here.
        if (!sparse && static_cast<long long>(lcn) < 0) return false;
    }
}

long long CNTFSDataRunList::GetTotalClusters(Bytes b) {
    if (!IsValid(b)) return -1;
    CNTFSDataRunList list;
    FormDataRunList(b, list);
    return list.GetTotalClusters();
}

void CNTFSDataRunList::FormDataRunList(Bytes b, CNTFSDataRunList& list, long long startVCN) {
    std::size_t p = 0;
    std::uint64_t previous = 0, lcn = 0, length = 0, vcn = static_cast<std::uint64_t>(startVCN);
    bool sparse = false;
    while (p < b.size() && DecodeRun(b, p, previous, lcn, length, sparse) == Step::Run) {
        list.m_runs.push_back({sparse ? -1 : static_cast<long long>(lcn), static_cast<long long>(vcn),
                               static_cast<long long>(length)});
        vcn += length;
    }
}

bool CNTFSDataRunList::InitFromBuffer(Bytes b) {
    m_runs.clear();
    if (!IsValid(b)) return false;
    FormDataRunList(b, *this);
    return true;
}

bool CNTFSDataRunList::AddDataRunsfromBuffer(Bytes b, long long startVCN) {
    if (!IsValid(b)) return false;
    FormDataRunList(b, *this, startVCN);
    return true;
}

long long CNTFSDataRunList::GetLCN(long long vcn) const {
    for (const CDataRun& r : m_runs)
        if (vcn >= r.vcn && static_cast<std::uint64_t>(vcn) - static_cast<std::uint64_t>(r.vcn) <
                                static_cast<std::uint64_t>(r.length))
            return r.lcn < 0 ? -1 : Offset(r.lcn, vcn - r.vcn);
    return -1;
}

long long CNTFSDataRunList::GetVCN(long long lcn) const {
    for (const CDataRun& r : m_runs)
        if (r.lcn >= 0 && lcn >= r.lcn &&
            static_cast<std::uint64_t>(lcn) - static_cast<std::uint64_t>(r.lcn) <
                static_cast<std::uint64_t>(r.length))
            return Offset(r.vcn, lcn - r.lcn);
    return -1;
}

long long CNTFSDataRunList::GetTotalClusters() const {
    long long total = 0;
    for (const CDataRun& r : m_runs)
        if (r.length > 0) total = r.length > kMax - total ? kMax : total + r.length;
    return total;
}

void CNTFSDataRunList::GetDataRunList(CNTFSDataRunList& out) const {
    out.m_runs.insert(out.m_runs.end(), m_runs.begin(), m_runs.end());
}

void CNTFSDataRunList::Sort() {
    std::stable_sort(m_runs.begin(), m_runs.end(),
                     [](const CDataRun& a, const CDataRun& b) { return a.vcn < b.vcn; });
}

CResidentNTFSDataRunList::CResidentNTFSDataRunList(long long recordSector, long long offset)
    : m_offset(offset) {
    m_resident = 1;
    const DataRun run{recordSector, 1};
    AppendRun(run);
}

IDataRunList* CResidentNTFSDataRunList::Clone() {
    const std::vector<DataRun> runs = Runs();
    return new CResidentNTFSDataRunList(runs.empty() ? 0 : runs.front().start, m_offset);
}

IDataRunList* CNoneResidentNTFSDataRunList::Clone() {
    auto* copy = new CNoneResidentNTFSDataRunList;
    CopyRunsTo(*copy);
    return copy;
}

CResidentNTFSDataRunList* GetDataRunListfromResidentAttributeBuffer(Bytes attr, long long recordSector,
                                                                    unsigned attrOffset, long long* size) {
    if (!CNTFSFileRecordAttribute::IsValid(attr) || !CNTFSFileRecordAttribute::IsResident(attr))
        return nullptr;
    if (size) *size = CNTFSFileRecordAttribute::GetLengthOfAttribute(attr);
    return new CResidentNTFSDataRunList(recordSector,
                                        attrOffset + CNTFSFileRecordAttribute::GetOffsetToAttribute(attr));
}

CNoneResidentNTFSDataRunList* BuildNonResidentDataRunListfromNTFSDataRunList(const CNTFSDataRunList& list,
                                                                             long long* totalClusters) {
    if (list.IsEmpty()) return nullptr;
    auto* out = new CNoneResidentNTFSDataRunList;
    for (const CDataRun& r : list.Runs()) {
        const DataRun run{r.lcn, r.length};
        out->AddDataRun(&run);
    }
    if (totalClusters) *totalClusters = list.GetTotalClusters();
    return out;
}

namespace {

// The fewest bytes (1 to 8) that hold v as a two's-complement number.
unsigned SignedBytes(long long v) {
    for (unsigned n = 1; n < 8; ++n) {
        const long long limit = 1LL << (8 * n - 1);
        if (v >= -limit && v < limit) return n;
    }
    return 8;
}

void PutLe(std::vector<std::uint8_t>& out, std::uint64_t v, unsigned n) {
    for (unsigned i = 0; i < n; ++i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

} // namespace

std::unique_ptr<CCompressedDataRunList> CCompressedDataRunList::Compress(IDataRunList* list) {
    if (!list) return nullptr;
    const bool resident = list->GetDataRunListType() == 1;
    const long long offset = list->GetOffset();
    if (resident ? (offset <= 0 || offset > 0xFFFF) : offset != 0) return nullptr;
    // Walk a copy: the caller's cursor may be in use.
    Owned<IDataRunList> runs(list->Clone());
    if (!runs) return nullptr;
    auto compact = std::make_unique<CCompressedDataRunList>();
    compact->m_offset = static_cast<std::uint16_t>(offset);
    long long previous = 0;
    for (DataRun* r = runs->GetFirst(); r && !runs->IsDone(); r = runs->GetNext()) {
        if (r->length <= 0) return nullptr;
        const unsigned lengthBytes = SignedBytes(r->length);
        const bool sparse = r->start < 0;
        const long long delta = sparse ? 0 : r->start - previous; // both >= 0: no overflow
        const unsigned offsetBytes = sparse ? 0 : SignedBytes(delta);
        compact->m_bytes.push_back(static_cast<std::uint8_t>(offsetBytes << 4 | lengthBytes));
        PutLe(compact->m_bytes, static_cast<std::uint64_t>(r->length), lengthBytes);
        PutLe(compact->m_bytes, static_cast<std::uint64_t>(delta), offsetBytes);
        if (!sparse) previous = r->start;
    }
    if (compact->m_bytes.empty()) return nullptr;
    compact->m_bytes.push_back(0);
    return compact;
}

std::size_t CCompressedDataRunList::GetCompressedDataRunSize() const {
    std::size_t p = 0;
    while (p < m_bytes.size() && m_bytes[p] != 0)
        p += 1 + (m_bytes[p] & 15) + (m_bytes[p] >> 4);
    return std::min(p + 1, m_bytes.size());
}

IDataRunList* CCompressedDataRunList::Decompress() const {
    if (m_bytes.empty()) return nullptr;
    CNTFSDataRunList decoded;
    CNTFSDataRunList::FormDataRunList(Bytes(m_bytes).first(GetCompressedDataRunSize()), decoded);
    if (m_offset != 0) {
        const CDataRun first = decoded.IsEmpty() ? CDataRun{} : decoded.Runs().front();
        auto* resident = new CResidentNTFSDataRunList(first.lcn, m_offset);
        return resident;
    }
    return BuildNonResidentDataRunListfromNTFSDataRunList(decoded, nullptr);
}

Bytes CNTFSFileRecordDataRunsAttribute::GetDataRunsBuffer(Bytes attr) {
    if (!CNTFSFileRecordAttribute::IsValidNonResidentAttribute(attr)) return {};
    const std::size_t length = std::min<std::size_t>(CNTFSFileRecordAttribute::GetLength(attr), attr.size());
    const std::size_t off = CNTFSFileRecordAttribute::GetDataRunsOffset(attr);
    return attr.subspan(off, length - off);
}

long long CNTFSFileRecordDataRunsAttribute::GetStartVCN(Bytes attr) {
    return CNTFSFileRecordAttribute::GetStartVCN(attr);
}

long long CNTFSFileRecordDataRunsAttribute::GetTotalClusters(Bytes attr) {
    return CNTFSDataRunList::GetTotalClusters(GetDataRunsBuffer(attr));
}

bool CNTFSFileRecordDataRunsAttribute::GetDataRunList(Bytes attr, CNTFSDataRunList& list) {
    return CNTFSDataRunList::IsValid(GetDataRunsBuffer(attr)) &&
           list.AddDataRunsfromBuffer(GetDataRunsBuffer(attr), GetStartVCN(attr));
}

namespace {

// real / clusters / sector size, rounded up to the next power of two up to
// 128; 0 above 128 or when the quotient is 0.
unsigned SectorsPerClusterFor(long long real, long long clusters, unsigned sectorSize) {
    if (sectorSize == 0 || sectorSize % 512 != 0) sectorSize = 512;
    if (real < 1 || clusters < 1) return 0;
    const long long perCluster = real / clusters; // bytes per cluster, rounded down
    const long long bytesPer = perCluster + (real % clusters != 0 ? 1 : 0);
    const long long n = bytesPer / sectorSize + (bytesPer % sectorSize != 0 ? 1 : 0);
    if (n == 0) return 0;
    for (unsigned spc = 1; spc <= 128; spc *= 2)
        if (spc >= n) return spc;
    return 0;
}

} // namespace

unsigned CNTFSFileRecordDataRunsAttribute::GetSectorsPerCluster(Bytes attr, unsigned sectorSize) {
    const long long clusters = GetTotalClusters(attr);
    return SectorsPerClusterFor(CNTFSFileRecordAttribute::GetInitializedDataSize(attr), clusters, sectorSize);
}

bool CNTFSFileRecordAnalyzer::AddDataRunListfromNonResidentAttributeBuffer(Bytes attr, long long* realSize,
                                                                           long long& startVCN,
                                                                           CNTFSDataRunList& list) {
    if (!CNTFSFileRecordAttribute::IsValid(attr) || CNTFSFileRecordAttribute::IsResident(attr) ||
        CNTFSFileRecordAttribute::IsNamed(attr))
        return false;
    const Bytes pairs = CNTFSFileRecordDataRunsAttribute::GetDataRunsBuffer(attr);
    if (pairs.empty()) return false;
    startVCN = CNTFSFileRecordAttribute::GetStartVCN(attr);
    if (realSize) *realSize = CNTFSFileRecordAttribute::GetRealSizeOfAttribute(attr);
    return list.AddDataRunsfromBuffer(pairs, startVCN);
}

bool CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecord(const CNTFSFileRecord& record,
                                                           CNTFSDataRunList& list, bool check,
                                                           long long* realSize) {
    if (!record.IsValid()) return false;
    for (int i = 0;; ++i) {
        const Bytes attr = record.FindAttibute(ntfs::ATTR_DATA, i);
        if (attr.empty()) return true;
        if (CNTFSFileRecordAttribute::IsNamed(attr)) continue;
        if (CNTFSFileRecordAttribute::IsResident(attr)) return false;
        const long long first = CNTFSFileRecordAttribute::GetStartVCN(attr);
        if (check && !CNTFSFileRecordAttribute::IsCompressed(attr)) {
            const long long last = CNTFSFileRecordAttribute::GetLastVCN(attr);
            const long long clusters = CNTFSFileRecordDataRunsAttribute::GetTotalClusters(attr);
            // first >= 0, so first - 1 cannot wrap; the count is compared unsigned.
            if (clusters < 0 || first < 0 || last < first - 1 ||
                static_cast<std::uint64_t>(last - first) + 1 != static_cast<std::uint64_t>(clusters))
                return false;
        }
        long long vcn = 0, real = 0;
        if (AddDataRunListfromNonResidentAttributeBuffer(attr, &real, vcn, list) && vcn == 0 && realSize)
            *realSize = real;
    }
}

bool CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(Bytes buffer, CNTFSDataRunList& list,
                                                                 bool check, long long* realSize) {
    return AddDataRunListfromFileRecord(CNTFSFileRecord(buffer), list, check, realSize);
}

bool CNTFSFileRecordAnalyzer::GetSectorsPerClusterfrom0x80(const CNTFSFileRecord& record,
                                                           unsigned& sectorsPerCluster, unsigned sectorSize) {
    CNTFSDataRunList runs;
    long long real = 0;
    if (!AddDataRunListfromFileRecord(record, runs, true, &real)) return false;
    // No clusters, no cluster size (the size is divided by them).
    const long long clusters = runs.GetTotalClusters();
    if (clusters < 1) return false;
    sectorsPerCluster = SectorsPerClusterFor(real, clusters, sectorSize);
    return true;
}

bool CNTFSFileRecordAnalyzer::IsValidFolderFileRecordHavingIndexAllocation(Bytes buffer) {
    const CNTFSFileRecord record(buffer);
    if (!record.IsValid() || !record.IsFolder()) return false;
    const Bytes ia = record.FindAttibute(ntfs::ATTR_INDEX_ALLOCATION, 0);
    return !ia.empty() && !CNTFSFileRecordAttribute::IsResident(ia);
}
