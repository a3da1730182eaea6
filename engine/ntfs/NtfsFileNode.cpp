#include "engine/ntfs/NtfsFileNode.h"

#include "engine/common/TextConvert.h"
#include "engine/include/Owned.h"
#include "engine/include/StorageDevice.h"
#include "engine/ntfs/CompressFileReader.h"

#include <algorithm>
#include <cstring>
#include <new>

using ntfs::Bytes;
using Attr = CNTFSFileRecordAttribute;
using FileName = CNTFSFileRecordFileNameAttribute;

namespace {
using ListPtr = Owned<IDataRunList>;

// Records below 5 are metafiles, never folders.
constexpr long long kFirstUserRecord = 5;
constexpr std::uint32_t kFileNameDirectory = 0x10000000;
constexpr std::uint16_t kDosBits = 0x01 | 0x02 | 0x04 | 0x20;
} // namespace

void CNTFSFileProperties::SetFileName(const char* name) {
    if (!name) return;
    m_s.name = name;
    m_s.nameLength = static_cast<std::uint16_t>(std::min<std::size_t>(m_s.name.size() + 1, 0xFFFF));
}

void CNTFSFileProperties::SetDataRunList(IDataRunList* list) {
    if (!list) return;
    m_s.runs = CCompressedDataRunList::Compress(list);
}

NtfsChosenName ChooseFileName(Bytes first, Bytes second) {
    const bool firstOk = FileName::IsValid(first), secondOk = FileName::IsValid(second);
    const bool takeSecond = secondOk && (!firstOk || FileName::GetFileNameNamespaceType(second) == 1);
    if (!takeSecond && !firstOk) return {};
    NtfsChosenName out{takeSecond ? second : first, -1};
    out.parent = FileName::GetFileRecordNumberofParentDirectory(out.name);
    if (out.parent < kFirstUserRecord && (takeSecond ? firstOk : secondOk)) {
        const long long other = FileName::GetFileRecordNumberofParentDirectory(takeSecond ? first : second);
        if (other >= kFirstUserRecord) out.parent = other;
    }
    return out;
}

bool CNTFSFilePropertiesBuilder::BuildFilePropertiesFrom0x30(CNTFSMultiFileRecord& record,
                                                             CNTFSFilePropertiesStruct& s, long long* parent) {
    const NtfsChosenName choice =
        ChooseFileName(record.FindAttibute(ntfs::ATTR_FILE_NAME, 0), record.FindAttibute(ntfs::ATTR_FILE_NAME, 1));
    const Bytes chosen = choice.name;
    if (chosen.empty()) return false;
    if (parent && choice.parent != -1) *parent = choice.parent;

    const Bytes raw = FileName::GetFileName(chosen);
    if (FileName::GetFileNameLength(chosen) == 0 || raw.empty()) return false;
    if (FileName::GetFlags(chosen) & kFileNameDirectory) s.attribute |= CNTFSFileProperties::kAttrDirectory;
    s.name = Utf16LeToUtf8(raw.data(), raw.size());
    s.nameLength = static_cast<std::uint16_t>(std::min<std::size_t>(std::strlen(s.name.c_str()), 0xFFFF));
    s.creationTime = FileName::GetCreationFileTime(chosen);
    s.modificationTime = FileName::GetModificationFileTime(chosen);
    s.lastAccessTime = FileName::GetLastAccessFileTime(chosen);
    s.size = FileName::GetFileRealSize(chosen);
    return true;
}

void CNTFSFilePropertiesBuilder::BuildFilePropertiesFrom0x10(CNTFSMultiFileRecord& record,
                                                             CNTFSFilePropertiesStruct& s) {
    using SI = CNTFSFileRecordStandardInformationAttribute;
    const Bytes si = record.FindAttibute(ntfs::ATTR_STANDARD_INFORMATION, 0);
    if (!SI::IsValid(si)) return;
    s.creationTime = SI::GetCreationFileTime(si);
    s.modificationTime = SI::GetModificationFileTime(si);
    s.lastAccessTime = SI::GetLastAccessFileTime(si);
    s.attribute |= static_cast<std::uint16_t>(SI::GetDosFilePermission(si) & kDosBits);
}

void CNTFSFilePropertiesBuilder::BuildFilePropertiesFrom0x80(CNTFSMultiFileRecord& record, long long recordSector,
                                                             CNTFSFilePropertiesStruct& s, unsigned clusterSize) {
    CNTFSDataRunList runs;
    for (int i = 0;; ++i) {
        unsigned offset = 0, inSector = 0;
        long long sector = recordSector;
        const Bytes attr = record.FindAttibute(ntfs::ATTR_DATA, i, &offset, &sector, &inSector);
        if (attr.empty()) break;
        if (Attr::IsNamed(attr)) continue;
        if (Attr::IsCompressed(attr)) s.attribute |= CNTFSFileProperties::kAttrCompressed;
        if (Attr::IsEncrypted(attr)) s.attribute |= CNTFSFileProperties::kAttrEncrypted;
        if (Attr::IsResident(attr)) {
            long long size = 0;
            ListPtr list(GetDataRunListfromResidentAttributeBuffer(attr, sector, inSector + offset, &size));
            if (!list) continue;
            s.size = size;
            s.runs = CCompressedDataRunList::Compress(list.get());
            return;
        }
        long long real = 0, vcn = 0;
        if (!CNTFSFileRecordAnalyzer::AddDataRunListfromNonResidentAttributeBuffer(attr, &real, vcn, runs) || vcn != 0)
            continue;
        // Only the first piece of the attribute holds the sizes.
        s.initialized = Attr::GetInitializedDataSize(attr);
        if (!(s.size > 0 && real <= s.size)) s.size = real;
    }
    runs.Sort();
    long long clusters = 0;
    ListPtr list(BuildNonResidentDataRunListfromNTFSDataRunList(runs, &clusters));
    if (s.size < 0) s.size = 0;
    if (clusterSize != 0 && clusterSize % 512 == 0 && list) {
        long long allocated = 0;
        if (__builtin_mul_overflow(static_cast<long long>(clusterSize), clusters, &allocated)) allocated = 0;
        s.size = std::min<long long>(s.size, allocated);
        if (s.size == 0) s.size = allocated;
    }
    s.runs = list ? CCompressedDataRunList::Compress(list.get()) : nullptr;
}

CNTFSFileProperties* CNTFSFilePropertiesBuilder::BuildFileProperties(long long recordSector,
                                                                     CNTFSMultiFileRecord& record,
                                                                     unsigned clusterSize, long long* parent) {
    if (!record.IsValid() || record.GetBaseRecord().IsExtendFileRecord()) return nullptr;
    CNTFSFilePropertiesStruct s;
    if (!BuildFilePropertiesFrom0x30(record, s, parent)) return nullptr;
    BuildFilePropertiesFrom0x10(record, s);
    s.recordStartSector = recordSector;
    if (!record.IsinUse()) s.state |= CNTFSFileProperties::kStateDeleted;
    BuildFilePropertiesFrom0x80(record, recordSector, s, clusterSize);
    s.recordNumber = static_cast<std::uint64_t>(record.GetMainFileRecordIndex());
    // An encrypted file is not read as compressed.
    if ((s.attribute & CNTFSFileProperties::kAttrCompressed) && (s.attribute & CNTFSFileProperties::kAttrEncrypted))
        s.attribute &= static_cast<std::uint16_t>(~CNTFSFileProperties::kAttrCompressed);
    auto* p = new (std::nothrow) CNTFSFileProperties();
    if (!p) return nullptr;
    p->Init(s);
    m_out.push_back(p);
    return p;
}

void CNTFSFilePropertiesBuilder::AdjustFileSizeAccordinttoDataRunsWhenFileSizeLessThanZero(
    CNTFSFileProperties& p, unsigned sectorsPerCluster) {
    if (p.GetFileSize() >= 0) return;
    ListPtr list(p.GetDataRunList());
    if (!list || list->IsResident()) return;
    long long clusters = 0;
    for (DataRun* r = list->GetFirst(); r; r = list->GetNext())
        if (r->length > 0 && __builtin_add_overflow(clusters, r->length, &clusters)) return;
    long long size = 0;
    if (!__builtin_mul_overflow(clusters, static_cast<long long>(sectorsPerCluster) * 512, &size))
        p.SetFileSize(size);
}

CNTFSFileNode::~CNTFSFileNode() { CNTFSFileProperties::Destory(m_props); }

void CNTFSFileNode::SetFileProperties(CNTFSFileProperties* properties) {
    if (properties != m_props) CNTFSFileProperties::Destory(m_props);
    m_props = properties;
    SetNodeID(0);
    SetParentNodeID(5);
    if (!m_props) return;
    SetMetaDataSector(m_props->GetFileRecordStartSector());
    SetDataRunList(m_props->GetDataRunList());
}

IFileNode* CNTFSFileNode::Clone() {
    auto* copy = new (std::nothrow) CNTFSFileNode();
    if (!copy) return nullptr;
    if (m_props) {
        auto* props = dynamic_cast<CNTFSFileProperties*>(m_props->Clone());
        if (!props) {
            copy->Release();
            return nullptr;
        }
        copy->SetFileProperties(props);
    }
    copy->SetDataRunList(m_dataRuns ? m_dataRuns->Clone() : nullptr);
    copy->m_private = m_private;
    return copy;
}

void CNTFSFileNode::MarkDeleted() {
    if (m_props) m_props->SetState(m_props->GetState() | CNTFSFileProperties::kStateDeleted);
}

IFileReader* CNTFSFileNode::CreateCompressFileReader(void* /*context*/) {
    return new (std::nothrow) CCompressFileReader();
}

void CNTFSFileNode::FilterFileNameByDot() {
    if (!m_props) return;
    const std::string name = CFileNode::FilterFileNameByDot(std::string(m_props->GetFileName()));
    m_props->SetFileName(name.c_str());
}

namespace {

// The unnamed $DATA value of the file whose base record lies at sector, with
// its extension records. Records smaller than a sector share it: the record
// number, when known, picks the file's own.
int CopyResidentValue(std::uint64_t recordSector, IStorageDevice& device, const CExtendFileRecordInfoList* extensions,
                      long long number, long long offset, long long* length, std::uint8_t* out,
                      std::uint32_t capacity, std::uint32_t* copied) {
    if (!length || !out || offset < 0) return 0;
    const unsigned sectorSize = device.GetSectorSize();
    if (sectorSize == 0 || recordSector > static_cast<std::uint64_t>(LLONG_MAX)) return 0;
    // The header's allocated size tells how many sectors the record takes.
    std::vector<std::uint8_t> raw(sectorSize);
    if (!device.ReadSector(raw.data(), static_cast<long long>(recordSector), 1)) return 0;
    const std::uint32_t recordSize = CNTFSFileRecord::GetAllocatedSize(raw);
    if (recordSize < 1024 || recordSize > ntfs::kMaxRecordSize || recordSize % 512) return 0;
    std::size_t at = 0;
    for (std::size_t o = recordSize; number >= 0 && o + recordSize <= sectorSize; o += recordSize)
        if (bytes::Le32(raw, o + 44) == static_cast<std::uint64_t>(number)) at = o;
    const unsigned sectors = (recordSize + sectorSize - 1) / sectorSize;
    raw.resize(static_cast<std::size_t>(sectors) * sectorSize);
    if (sectors > 1 && !device.ReadSector(raw.data(), static_cast<long long>(recordSector), sectors)) return 0;
    CNTFSMultiFileRecord record(Bytes(raw).subspan(at, recordSize), static_cast<long long>(recordSector), &device,
                                extensions, recordSize);
    if (!record.IsValid()) return 0;
    for (int i = 0;; ++i) {
        const Bytes attr = record.FindAttibute(ntfs::ATTR_DATA, i);
        if (attr.empty()) return 0;
        if (Attr::IsNamed(attr)) continue;
        if (!Attr::IsResident(attr)) return 0;
        const Bytes value = Attr::GetValue(attr);
        if (value.empty() || offset >= static_cast<long long>(value.size())) return 0;
        const std::size_t n = std::min<std::size_t>(value.size() - static_cast<std::size_t>(offset), capacity);
        std::memcpy(out, value.data() + offset, n);
        *length = static_cast<long long>(value.size());
        if (copied) *copied = static_cast<std::uint32_t>(n);
        return n > 0 ? 1 : 0;
    }
}

} // namespace

int GetResidentDataRunsStream(CNTFSFileNode& node, IStorageDevice& device, long long offset, long long* length,
                              std::uint8_t* out, std::uint32_t capacity, std::uint32_t* copied) {
    auto* props = dynamic_cast<CNTFSFileProperties*>(node.GetFileProperties());
    if (!props || (props->GetAttribute() & CNTFSFileProperties::kAttrDirectory)) return 0;
    const long long sector = props->GetFileRecordStartSector();
    if (sector < 0) return 0;
    return CopyResidentValue(static_cast<std::uint64_t>(sector), device, &props->GetExtendFileRecordInfoList(),
                             static_cast<long long>(props->GetFileRecordIndex()), offset, length, out, capacity,
                             copied);
}

int GetResidentDataRunsStream(std::uint64_t recordSector, IStorageDevice& device, long long offset,
                              long long* length, std::uint8_t* out, std::uint32_t capacity, std::uint32_t* copied) {
    return CopyResidentValue(recordSector, device, nullptr, -1, offset, length, out, capacity, copied);
}
