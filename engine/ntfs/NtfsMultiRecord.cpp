#include "engine/ntfs/NtfsMultiRecord.h"

#include "engine/include/StorageDevice.h"

#include <algorithm>
#include <limits>
#include <set>

using namespace bytes;
using ntfs::Bytes;

namespace {

constexpr long long kMax = std::numeric_limits<long long>::max();
constexpr std::size_t kListEntryMin = 26;

bool ReadBytes(IStorageDevice& device, long long sector, std::size_t count, std::vector<std::uint8_t>& out) {
    const unsigned sectorSize = device.GetSectorSize();
    if (sectorSize == 0 || sector < 0) return false;
    out.assign(count * sectorSize, 0);
    return device.ReadSector(out.data(), sector, static_cast<long long>(count)) != 0;
}

} // namespace

CNTFSMultiFileRecord::CNTFSMultiFileRecord(Bytes base, long long sector, IStorageDevice* device,
                                           const CExtendFileRecordInfoList* list, unsigned recordSize)
    : m_base(base), m_sector(sector), m_device(device),
      m_recordSize(std::clamp<unsigned>(recordSize, 1024, ntfs::kMaxRecordSize)) {
    if (!m_base.IsValid() || !list || !device) return;
    for (const auto& info : *list)
        m_extensions.push_back({info, {}, false});
}

Bytes CNTFSMultiFileRecord::ExtensionBytes(Extension& e) {
    if (e.read) return e.bytes;
    e.read = true;
    const unsigned sectorSize = m_device->GetSectorSize();
    if (e.info.startSector < 0 || sectorSize == 0 || e.info.offsetInSector >= sectorSize) return {};
    const std::size_t sectors = (e.info.offsetInSector + m_recordSize + sectorSize - 1) / sectorSize;
    std::vector<std::uint8_t> raw;
    if (!ReadBytes(*m_device, e.info.startSector, sectors, raw)) return {};
    const CNTFSFileRecord record(Bytes(raw).subspan(e.info.offsetInSector, m_recordSize));
    if (record.IsValid()) e.bytes.assign(record.Data().begin(), record.Data().end());
    return e.bytes;
}

void CNTFSMultiFileRecord::IndexAttributes() {
    m_indexed = true;
    auto add = [&](Bytes record, int owner) {
        ntfs::WalkAttributes(record, [&](std::size_t off, Bytes attr) {
            m_byType[CNTFSFileRecordAttribute::GetType(attr)].push_back(
                {owner, static_cast<std::uint32_t>(off)});
            return true;
        });
    };
    add(m_base.Data(), -1);
    for (std::size_t i = 0; i < m_extensions.size(); ++i)
        add(ExtensionBytes(m_extensions[i]), static_cast<int>(i));
}

Bytes CNTFSMultiFileRecord::FindAttibute(std::uint32_t type, int index, unsigned* offsetInRecord,
                                         long long* recordSector, unsigned* offsetInSector) {
    if (!IsValid() || index < 0) return {};
    // The base record alone answers without reading any extension.
    const Bytes inBase = CNTFSFileRecord::FindAttibute(m_base.Data(), type, index);
    Place place{-1, CNTFSFileRecord::GetAttributeOffset(m_base.Data(), type, index)};
    if (inBase.empty()) {
        // Every attribute of the file, by type, in record order: a lookup is
        // then constant time however many extensions the file has.
        if (!m_indexed) IndexAttributes();
        const auto it = m_byType.find(type);
        if (it == m_byType.end() || static_cast<std::size_t>(index) >= it->second.size()) return {};
        place = it->second[static_cast<std::size_t>(index)];
    }
    const Extension* e = place.owner < 0 ? nullptr : &m_extensions[static_cast<std::size_t>(place.owner)];
    const Bytes record = e ? Bytes(e->bytes) : m_base.Data();
    if (offsetInRecord) *offsetInRecord = place.offset;
    if (recordSector) *recordSector = e ? e->info.startSector : m_sector;
    if (offsetInSector) *offsetInSector = e ? e->info.offsetInSector : 0;
    return record.subspan(place.offset, bytes::Le32(record, place.offset + 4));
}

std::optional<CExtendFileRecordInfoList>
CNTFSMultiFileRecord::GetExtendFileRecordInfoList(Bytes base, long long partitionStart,
                                                  unsigned sectorsPerCluster, IStorageDevice& device) {
    const CNTFSFileRecord record(base);
    if (!record.IsValid()) return std::nullopt;
    const Bytes attr = record.FindAttibute(ntfs::ATTR_ATTRIBUTE_LIST, 0);
    if (attr.empty()) return std::nullopt;
    std::vector<std::uint8_t> data;
    Bytes list;
    if (CNTFSFileRecordAttribute::IsResident(attr)) {
        list = CNTFSFileRecordAttribute::GetValue(attr);
    } else {
        const Bytes pairs = CNTFSFileRecordDataRunsAttribute::GetDataRunsBuffer(attr);
        const long long length = CNTFSFileRecordAttribute::GetInitializedDataSize(attr);
        const long long allocated = CNTFSFileRecordAttribute::GetAllocSizeofAttribute(attr);
        if (pairs.empty() || length < 1 || length > allocated ||
            allocated > static_cast<long long>(kMaxAttributeList))
            return std::nullopt;
        data.assign(static_cast<std::size_t>(allocated), 0);
        // A failed read leaves zeros, which end the walk.
        GetAttributeDatafromNonResidentAttributeBuffer(pairs, data, partitionStart, sectorsPerCluster,
                                                       device);
        list = Bytes(data).first(static_cast<std::size_t>(length));
    }
    CExtendFileRecordInfoList out;
    std::set<long long> seen;
    for (std::size_t off = 0; off < list.size();) {
        const std::size_t length = Le16(list, off + 4);
        // Lengths are unsigned and an entry must fit whole.
        if (Le32(list, off) == 0 || length < kListEntryMin || length > list.size() - off) break;
        const long long number = static_cast<long long>(Le64(list, off + 16) & ntfs::kRecordNumberMask);
        if (seen.insert(number).second) out.push_back({-1, 0, number});
        off += length;
    }
    if (out.empty()) return std::nullopt;
    return out;
}

long long CNTFSMultiFileRecord::GetFileRecordStartSectorfromMFTNumber(
    long long recordNumber, unsigned sectorsPerCluster, long long partitionStart,
    const CNTFSDataRunList& mftRuns, unsigned recordSize, unsigned sectorSize, unsigned* offsetInSector) {
    if (recordNumber < 0 || recordSize == 0 || sectorSize == 0 || sectorsPerCluster == 0 ||
        partitionStart < 0)
        return -1;
    if (recordNumber > static_cast<long long>(ntfs::kRecordNumberMask)) return -1;
    const long long clusterBytes = static_cast<long long>(sectorsPerCluster) * sectorSize;
    const long long byte = recordNumber * static_cast<long long>(recordSize); // < 2^48 * 2^32
    const long long lcn = mftRuns.GetLCN(byte / clusterBytes);
    if (lcn < 0 || lcn > (kMax - clusterBytes) / clusterBytes) return -1;
    const long long device = lcn * clusterBytes + byte % clusterBytes;
    const long long sector = device / sectorSize;
    if (sector > kMax - partitionStart) return -1;
    if (offsetInSector) *offsetInSector = static_cast<unsigned>(device % sectorSize);
    return partitionStart + sector;
}

void CNTFSMultiFileRecord::CalcFileRecordStartSectorinExtendFileRecordInfoList(
    CExtendFileRecordInfoList& list, unsigned sectorsPerCluster, long long partitionStart,
    const CNTFSDataRunList& mftRuns, unsigned recordSize, unsigned sectorSize) {
    for (auto& e : list)
        e.startSector =
            GetFileRecordStartSectorfromMFTNumber(e.recordNumber, sectorsPerCluster, partitionStart, mftRuns,
                                                  recordSize, sectorSize, &e.offsetInSector);
}

void CNTFSMultiFileRecord::RemoveMainFileRecordInfofromFileRecordInfoList(CExtendFileRecordInfoList& list,
                                                                          long long sector,
                                                                          unsigned offsetInSector) {
    std::erase_if(
        list, [&](const auto& e) { return e.startSector == sector && e.offsetInSector == offsetInSector; });
}

std::optional<CExtendFileRecordInfoList>
CNTFSMultiFileRecord::InitExtendFileRecord(Bytes base, long long sector, unsigned sectorsPerCluster,
                                           long long partitionStart, IStorageDevice& device,
                                           const CNTFSDataRunList& mftRuns, unsigned recordSize) {
    auto list = GetExtendFileRecordInfoList(base, partitionStart, sectorsPerCluster, device);
    if (!list) return list;
    CalcFileRecordStartSectorinExtendFileRecordInfoList(*list, sectorsPerCluster, partitionStart, mftRuns,
                                                        recordSize, device.GetSectorSize());
    // The list names the base record too; a base record that knows its own
    // number is dropped by number (it may share its sector with others).
    const CNTFSFileRecord record(base);
    const bool ownNumber = record.HasXPNumberOfthisMFTRecord();
    const long long own = record.GetXPNumberOfthisMFTRecord();
    std::erase_if(*list, [&](const auto& e) {
        return e.startSector < 0 || (ownNumber ? e.recordNumber == own : e.startSector == sector);
    });
    return list;
}

bool CNTFSMultiFileRecord::GetAttributeDatafromNonResidentAttributeBuffer(Bytes pairs,
                                                                          std::span<std::uint8_t> out,
                                                                          long long partitionStart,
                                                                          unsigned sectorsPerCluster,
                                                                          IStorageDevice& device) {
    CNTFSDataRunList runs;
    const unsigned sectorSize = device.GetSectorSize();
    if (!runs.InitFromBuffer(pairs) || sectorSize == 0 || sectorsPerCluster == 0) return false;
    const std::size_t clusterBytes = std::size_t{sectorsPerCluster} * sectorSize;
    std::size_t done = 0;
    std::vector<std::uint8_t> piece;
    for (const CDataRun& r : runs.Runs()) {
        if (static_cast<std::uint64_t>(r.length) > (out.size() - done) / clusterBytes) break;
        const std::size_t bytes = static_cast<std::size_t>(r.length) * clusterBytes;
        if (r.lcn >= 0) {
            if (r.lcn > (kMax - partitionStart) / sectorsPerCluster) return false;
            if (!ReadBytes(device, r.lcn * sectorsPerCluster + partitionStart, bytes / sectorSize, piece))
                return false;
            std::copy(piece.begin(), piece.end(), out.begin() + static_cast<std::ptrdiff_t>(done));
        }
        done += bytes;
    }
    return true;
}

namespace NTFSPublicFunction {

bool IsClusterNOMatch(long long sector, long long cluster, long long partitionStart,
                      unsigned sectorsPerCluster) {
    if (sectorsPerCluster == 0 || (sectorsPerCluster != 1 && sectorsPerCluster % 2 != 0)) return false;
    const long long rel = sector - partitionStart;
    return rel >= 0 && rel % sectorsPerCluster == 0 && rel / sectorsPerCluster == cluster;
}

} // namespace NTFSPublicFunction
