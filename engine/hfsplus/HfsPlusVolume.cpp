#include "engine/hfsplus/HfsPlusVolume.h"

#include "engine/hfsplus/HfsPlusJournal.h"
#include "engine/include/StorageDevice.h"
#include "engine/utility/CatchExeception.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

using namespace bytes;

namespace hfsplus {

namespace {
// The largest catalog kept in memory.
constexpr std::uint64_t kMaxCache = 0x10000000;
// Overflow look-ups of one fork: far more than any real fork needs, and a
// bound on what a damaged extents tree can make the walk do.
constexpr unsigned kMaxOverflowRecords = 1u << 16;
// The alternate volume header of the volume that fills device: the 512 bytes
// 1024 before its end, taken only when they are a valid header of a volume
// that ends there (what lies after its last block is less than one block).
// Empty otherwise.
std::vector<std::uint8_t> AlternateVolumeHeader(IStorageDevice* device) {
    const unsigned sectorSize = device ? device->GetSectorSize() : 0;
    if (sectorSize < 512 || sectorSize % 512 != 0 || sectorSize > (1u << 16)) return {};
    const std::uint64_t total = device->GetTotalSectors();
    if (total > UINT64_MAX / sectorSize) return {};
    const std::uint64_t volumeBytes = total * sectorSize;
    if (volumeBytes < 2 * kVolumeHeaderOffset + kVolumeHeaderSize) return {};
    const std::uint64_t at = volumeBytes - kVolumeHeaderOffset;
    std::vector<std::uint8_t> sector(sectorSize);
    if (at % sectorSize + kVolumeHeaderSize > sectorSize ||
        device->ReadSector(sector.data(), static_cast<long long>(at / sectorSize), 1) == 0)
        return {};
    std::vector<std::uint8_t> header(sector.begin() + static_cast<std::ptrdiff_t>(at % sectorSize),
                                     sector.begin() +
                                         static_cast<std::ptrdiff_t>(at % sectorSize + kVolumeHeaderSize));
    if (!IsValidVolumeHeader(header.data(), kVolumeHeaderSize)) return {};
    const HFSPlusVolumeHeader h = ReadVolumeHeader(header);
    const std::uint64_t claimed = std::uint64_t{h.totalBlocks} * h.blockSize;
    if (claimed > volumeBytes || volumeBytes - claimed >= h.blockSize) return {};
    CatchExeception::WriteLog(
        "HFS+ volume header unreadable: the alternate header at byte %" PRIu64 " read instead\n", at);
    return header;
}

} // namespace

// ---- special files ----------------------------------------------------------

CHFSPlusRawfile::CHFSPlusRawfile(CHFSPlusVolume* volume, std::uint32_t fileId, const HFSPlusForkData& fork)
    : m_volume(volume), m_fileId(fileId) {
    if (!volume) {
        m_result = MakeResult(ResultLib::HfsPlus, 20, kErrNullArg);
        return;
    }
    m_extents = volume->ForkExtents(fileId, 0, fork, false, &m_result);
}

std::uint64_t CHFSPlusRawfile::Read(std::uint64_t offset, unsigned char* buffer, std::uint64_t length) {
    return RawRead(offset, buffer, length);
}

std::uint64_t CHFSPlusRawfile::RawRead(std::uint64_t offset, unsigned char* buffer, std::uint64_t length) {
    if (!m_volume || !m_volume->Header() || !buffer) {
        m_result = MakeResult(ResultLib::HfsPlus, 21, kErrMissing);
        return 0;
    }
    const std::uint64_t blockSize = m_volume->Header()->blockSize;
    std::uint64_t done = 0, base = 0;
    for (const HFSPlusExtentDescriptor& e : m_extents) {
        if (done == length) break;
        const std::uint64_t bytes = e.blockCount * blockSize;
        const std::uint64_t at = offset + done;
        if (at >= base + bytes) {
            base += bytes;
            continue;
        }
        const std::uint64_t inside = at - base;
        const std::uint64_t n = std::min(bytes - inside, length - done);
        const std::uint64_t got = m_volume->Read(e.startBlock * blockSize + inside, buffer + done, n);
        done += got;
        if (got != n) {
            m_result = MakeResult(ResultLib::HfsPlus, 22, kErrShortRead);
            CatchExeception::WriteLog("Location%" PRIu64 "Size%" PRIu64 "\n", offset, length - done);
            return done;
        }
        base += bytes;
    }
    if (done != length) {
        m_result = MakeResult(ResultLib::HfsPlus, 23, kErrInvalid);
        CatchExeception::WriteLog("Location%" PRIu64 "Size%" PRIu64 "\n", offset, length - done);
    }
    return done;
}

CHFSPlusFileCache::CHFSPlusFileCache(CHFSPlusVolume* volume, std::uint32_t fileId, const HFSPlusForkData& fork)
    : CHFSPlusRawfile(volume, fileId, fork) {
    if (!volume || !volume->Header()) return;
    std::uint64_t listed = 0;
    for (const HFSPlusExtentDescriptor& e : m_extents) listed += e.blockCount;
    // Never more than the device holds, whatever the fork claims.
    const std::uint64_t deviceBytes = volume->DeviceBytes();
    const std::uint64_t want = std::min({listed * volume->Header()->blockSize, kMaxCache, deviceBytes});
    m_cache.resize(want);
    if (RawRead(0, m_cache.data(), want) != want) std::vector<std::uint8_t>().swap(m_cache);
}

std::uint64_t CHFSPlusFileCache::Read(std::uint64_t offset, unsigned char* buffer, std::uint64_t length) {
    if (m_cache.empty() || offset >= m_cache.size() || !buffer) return RawRead(offset, buffer, length);
    const std::uint64_t n = std::min<std::uint64_t>(length, m_cache.size() - offset);
    std::memcpy(buffer, m_cache.data() + offset, n);
    return n;
}

// ---- volume -------------------------------------------------------------------

CHFSPlusVolume::CHFSPlusVolume(IStorageDevice* device, bool noCatalogCache)
    : m_device(device), m_result(MakeResult(ResultLib::HfsPlus, 30, kErrMissing)) {
    m_result = Open(noCatalogCache);
}

CHFSPlusVolume::~CHFSPlusVolume() = default;

ResultCode CHFSPlusVolume::Open(bool noCatalogCache) {
    if (!m_device) return HFS_ERROR(kErrNullArg);
    m_sectorSize = m_device->GetSectorSize();
    if (m_sectorSize == 0) return HFS_ERROR(kErrInvalid);
    std::vector<std::uint8_t> raw(kVolumeHeaderSize);
    // A header that cannot be read is answered by the alternate one at the
    // device's end (the device is the volume); one that reads but is not a
    // volume's is not: that is no HFS+ volume.
    if (Read(kVolumeHeaderOffset, raw.data(), raw.size()) != raw.size()) {
        raw = AlternateVolumeHeader(m_device);
        if (raw.empty()) return HFS_ERROR(kErrShortRead);
    }
    // Everything below divides by and multiplies with the header's sizes.
    if (!IsOpenableVolumeHeader(raw.data(), static_cast<unsigned short>(raw.size()))) return HFS_ERROR(kErrInvalid);
    m_header = ReadVolumeHeader(raw);
    if (m_header->IsJournaled() && m_header->journalInfoBlock >= m_header->totalBlocks)
        CatchExeception::WriteLog("HFS+ journal info block %u past the volume's %u blocks: opened without its journal\n",
                                  m_header->journalInfoBlock, m_header->totalBlocks);
    if (m_header->catalogFile.logicalSize != std::uint64_t{m_header->blockSize} * m_header->catalogFile.totalBlocks)
        CatchExeception::WriteLog("HFS+ catalog size %" PRIu64 " differs from its %u blocks: read by its extents\n",
                                  m_header->catalogFile.logicalSize, m_header->catalogFile.totalBlocks);

    m_journal = std::make_unique<CHFSPlusJournal>(this);
    m_extentsFile = std::make_unique<CHFSPlusRawfile>(this, kExtentsFileId, m_header->extentsFile);
    m_extentsTree = std::make_unique<CHFSPlusExtents>(m_extentsFile.get());
    if (m_header->attributesFile.totalBlocks != 0) {
        m_attributesFile = std::make_unique<CHFSPlusRawfile>(this, kAttributesFileId, m_header->attributesFile);
        m_attributesTree = std::make_unique<CHFSPlusAttribute>(m_attributesFile.get());
        if (!m_attributesTree->GetHeaderRec()) m_attributesTree.reset();
    }
    if (noCatalogCache) return HFS_ERROR(kErrInvalid);
    m_catalogFile = std::make_unique<CHFSPlusFileCache>(this, kCatalogFileId, m_header->catalogFile);
    m_catalogTree = std::make_unique<CHFSPlusCatalog>(m_catalogFile.get());
    if (!m_catalogTree->GetHeaderRec()) return HFS_ERROR(kErrInvalid);
    m_keyCompareType = m_catalogTree->GetHeaderRec()->keyCompareType;
    return 0;
}

std::uint64_t CHFSPlusVolume::Read(std::uint64_t offset, void* buffer, std::uint64_t length) {
    if (!m_device || !buffer || m_sectorSize == 0) {
        m_result = MakeResult(ResultLib::HfsPlus, 31, kErrDevice);
        return 0;
    }
    auto* out = static_cast<unsigned char*>(buffer);
    std::uint64_t done = 0;
    // One device sector of bounce buffer, whatever the sector size.
    std::vector<unsigned char> sector;
    auto fail = [&](std::uint32_t error) {
        m_result = MakeResult(ResultLib::HfsPlus, 32, error);
        CatchExeception::WriteLog("Location%" PRIu64 "Size:%" PRIu64 "\n", offset, length - done);
        return done;
    };
    auto readPartial = [&](std::uint64_t at, std::uint64_t n) {
        sector.resize(m_sectorSize);
        if (m_device->ReadSector(sector.data(), static_cast<long long>(at / m_sectorSize), 1) == 0) return false;
        std::memcpy(out + done, sector.data() + at % m_sectorSize, n);
        done += n;
        return true;
    };
    if (length == 0) return 0;
    if (offset % m_sectorSize != 0) {
        const std::uint64_t n = std::min<std::uint64_t>(m_sectorSize - offset % m_sectorSize, length);
        if (!readPartial(offset, n)) return fail(kErrDevice);
    }
    const std::uint64_t whole = (length - done) / m_sectorSize;
    if (whole > 0) {
        if (m_device->ReadSector(out + done, static_cast<long long>((offset + done) / m_sectorSize),
                                 static_cast<long long>(whole)) == 0)
            return fail(kErrDevice);
        done += whole * m_sectorSize;
    }
    if (done < length && !readPartial(offset + done, length - done)) return fail(kErrDevice);
    return done;
}

std::uint64_t CHFSPlusVolume::DeviceBytes() const {
    return m_device ? m_device->GetTotalSectors() * m_sectorSize : 0;
}

CHFSPlusBTreeOptionBase* CHFSPlusVolume::Tree(std::uint32_t fileId) {
    switch (fileId) {
    case kExtentsFileId: return m_extentsTree.get();
    case kCatalogFileId: return m_catalogTree.get();
    case kAttributesFileId: return m_attributesTree.get();
    default: return nullptr;
    }
}

ResultCode CHFSPlusVolume::Search(std::uint32_t fileId, const BTKey& key, HFSPlusSearchResult& result,
                                  std::vector<std::uint8_t>* data) {
    result = {};
    if (!m_header) return MakeResult(ResultLib::HfsPlus, 33, kErrNullArg);
    if (fileId != kExtentsFileId && fileId != kCatalogFileId && fileId != kAttributesFileId)
        return MakeResult(ResultLib::HfsPlus, 34, kErrFileId);
    CHFSPlusBTreeOptionBase* tree = Tree(fileId);
    if (!tree) return MakeResult(ResultLib::HfsPlus, 35, kErrMissing);
    return tree->Search(key, result, data);
}

std::vector<HFSPlusExtentDescriptor> CHFSPlusVolume::ForkExtents(std::uint32_t fileId, std::uint8_t forkType,
                                                                 const HFSPlusForkData& fork, bool useDeleted,
                                                                 ResultCode* failure) {
    std::vector<HFSPlusExtentDescriptor> out;
    std::uint32_t remaining = fork.totalBlocks, listed = 0;
    HFSPlusExtentRecord record = fork.extents;
    for (unsigned lookups = 0; remaining > 0; ++lookups) {
        // An extent that covers the rest ends the walk, whatever its count says.
        const std::uint32_t added = AppendExtents(record, remaining, out);
        listed += added;
        if (remaining == 0) break;
        // The extents file cannot continue in itself; a record that adds
        // nothing, or too many records, is damage.
        if (fileId == kExtentsFileId || (lookups > 0 && added == 0) || lookups >= kMaxOverflowRecords) {
            if (failure) *failure = MakeResult(ResultLib::HfsPlus, 36, kErrInvalid);
            break;
        }
        BTKey key;
        key.keyLength = 10;
        key.forkType = forkType;
        key.parentID = fileId;
        key.startBlock = listed;
        HFSPlusSearchResult found;
        std::vector<std::uint8_t> data;
        if (m_extentsTree && m_extentsTree->Search(key, found, &data) == 0 && found.found) {
            record = ReadExtentRecord(data, 0);
        } else if (!useDeleted || !FindDeleteExtent(key, found, record)) {
            if (failure) *failure = MakeResult(ResultLib::HfsPlus, 37, kErrInvalid);
            break;
        }
    }
    return out;
}

std::vector<std::uint8_t> CHFSPlusVolume::getAttribute(std::uint32_t fileId, const char* name) {
    if (!m_header || !name) return {};
    BTKey key;
    key.name = ASCIIToUnicode(name);
    key.keyLength = static_cast<std::uint16_t>(2 * key.name.size() + 12);
    key.parentID = fileId;
    HFSPlusAttrRecord record;
    HFSPlusSearchResult found;
    std::vector<std::uint8_t> data;
    if (m_attributesTree && m_attributesTree->Search(key, found, &data) == 0 && found.found) {
        if (!ReadAttributeRecord(data, record)) return {};
    } else if (!FindDeleteAttribute(key, found, record)) {
        return {};
    }
    if (record.recordType != kAttrInlineData) {
        return {};
    }
    return record.data;
}

bool CHFSPlusVolume::IsBelongToFile(std::uint32_t fileId, const HFSPlusForkData& fork, std::uint64_t offset) {
    if (!m_header) return false;
    const std::uint64_t blockSize = m_header->blockSize;
    for (const HFSPlusExtentDescriptor& e : ForkExtents(fileId, 0, fork, false))
        if (e.startBlock * blockSize <= offset && offset < (std::uint64_t{e.startBlock} + e.blockCount) * blockSize)
            return true;
    return false;
}

std::uint32_t CHFSPlusVolume::GetNodeBelongToFile(std::uint64_t offset) {
    if (!m_header) {
        m_result = MakeResult(ResultLib::HfsPlus, 38, kErrMissing);
        return 0;
    }
    const std::pair<std::uint32_t, const HFSPlusForkData*> order[] = {
        {kCatalogFileId, &m_header->catalogFile},
        {kExtentsFileId, &m_header->extentsFile},
        {kAttributesFileId, &m_header->attributesFile},
        {kAllocationFileId, &m_header->allocationFile},
        {kStartupFileId, &m_header->startupFile}};
    for (auto [id, fork] : order)
        if (IsBelongToFile(id, *fork, offset)) return id;
    return 0;
}

namespace {
template <typename Record>
bool FindDeleted(const std::list<DeletedEntry<Record>>& list, const BTKey& key,
                 const std::function<int(const BTKey&, const BTKey&)>& compare, HFSPlusSearchResult& result,
                 Record& record) {
    result.found = 0;
    for (const DeletedEntry<Record>& e : list)
        if (compare(e.key, key) == 0) {
            record = e.record;
            result.found = 1;
            return true;
        }
    return false;
}
} // namespace

bool CHFSPlusVolume::FindDeleteCatalog(const BTKey& key, HFSPlusSearchResult& result,
                                       HFSPlusCatalogRecord& record) const {
    const std::uint8_t type = m_keyCompareType;
    return FindDeleted(
        m_deletedCatalog, key, [type](const BTKey& a, const BTKey& b) { return CompareCatalogKey(a, b, type); }, result,
        record);
}

bool CHFSPlusVolume::FindDeleteExtent(const BTKey& key, HFSPlusSearchResult& result,
                                      HFSPlusExtentRecord& record) const {
    return FindDeleted(m_deletedExtents, key, CompareExtentKey, result, record);
}

bool CHFSPlusVolume::FindDeleteAttribute(const BTKey& key, HFSPlusSearchResult& result,
                                         HFSPlusAttrRecord& record) const {
    return FindDeleted(m_deletedAttributes, key, CompareAttributeKey, result, record);
}

void CHFSPlusVolume::DumpMap() const {
    CatchExeception::WriteLog("###Begin Dump Find Records###\n");
    for (const auto& e : m_deletedCatalog)
        CatchExeception::WriteLog("parent %u name %s\n", static_cast<unsigned>(e.key.parentID),
                                  CatalogNameToUtf8(e.key.name).c_str());
    CatchExeception::WriteLog("###End Dump Find Records###\n");
    CatchExeception::WriteLog("Dump Find Extents %zu, attributes %zu\n", m_deletedExtents.size(),
                              m_deletedAttributes.size());
}

// ---- recogniser -----------------------------------------------------------------

CHFSPlusVolumeAnalyze::CHFSPlusVolumeAnalyze(IStorageDevice* device, unsigned long long startSector) {
    const unsigned sectorSize = device ? device->GetSectorSize() : 0;
    if (sectorSize < 512 || sectorSize % 512 != 0 || sectorSize > (1u << 16)) return;
    std::vector<std::uint8_t> sector(sectorSize);
    std::size_t at = kVolumeHeaderOffset % sectorSize;
    if (device->ReadSector(sector.data(),
                           static_cast<long long>(startSector + kVolumeHeaderOffset / sectorSize), 1) == 0) {
        // Only a device that is the volume (startSector 0: a partition's,
        // or a volume listed whole) has its end where the volume's is.
        if (startSector != 0) return;
        sector = AlternateVolumeHeader(device);
        if (sector.empty()) return;
        at = 0;
    }
    if (sector.size() - at < kVolumeHeaderSize || !IsOpenableVolumeHeader(sector.data() + at, kVolumeHeaderSize))
        return;
    const HFSPlusVolumeHeader h = ReadVolumeHeader(Bytes(sector).subspan(at));
    m_kind = FS_HFSPLUS;
    m_totalSectors = std::uint64_t{h.totalBlocks} * h.blockSize / sectorSize;
    m_serial = h.VolumeId() ^ (std::uint64_t{h.createDate} << 32 | h.createDate);
}

void CHFSPlusVolumeAnalyze::GetLabel(char* buffer, int size) {
    if (buffer && size >= 1) std::memset(buffer, 0, static_cast<std::size_t>(std::min(size, 100)));
}

IVolumeAnalyze* CreateHFSPlusVolumeAnalyze(IStorageDevice* device, unsigned long long startSector) {
    return new CHFSPlusVolumeAnalyze(device, startSector);
}

} // namespace hfsplus
