#include "savedscan/RestoreFileNode.h"

#include "engine/common/DataRunList.h"
#include "engine/include/DataRecovery.h"

#include <algorithm>
#include <bit>
#include <cstring>

// ---- reading ------------------------------------------------------------------

CFrameReader::CFrameReader(IRSData& rs) : m_rs(rs), m_unread(rs.GetFrameRemaining()) {}

std::uint64_t CFrameReader::Remaining() const { return (m_buffer.size() - m_pos) + m_unread; }

void CFrameReader::Need(std::uint64_t n, const char* what) const {
    if (Remaining() < n) throw CSavedScanDamage{what};
}

void CFrameReader::Fill(std::size_t n) {
    if (m_buffer.size() - m_pos >= n) return;
    Need(n, "a field past the end of its frame");
    m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_pos));
    m_pos = 0;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(m_unread, std::max(kChunk, n)));
    const std::size_t had = m_buffer.size();
    m_buffer.resize(had + want);
    // A short read raises the container's own error.
    m_rs.ReadCurFrame(m_buffer.data() + had, static_cast<unsigned>(want));
    m_unread -= want;
}

void CFrameReader::Read(void* out, std::size_t n) {
    if (n == 0) return;
    Fill(n);
    std::memcpy(out, m_buffer.data() + m_pos, n);
    m_pos += n;
}

std::uint16_t CFrameReader::U16() {
    std::uint8_t b[2];
    Read(b, 2);
    return static_cast<std::uint16_t>(b[0] | b[1] << 8);
}

std::uint32_t CFrameReader::U32() {
    std::uint8_t b[4];
    Read(b, 4);
    return std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 | std::uint32_t{b[3]} << 24;
}

std::uint64_t CFrameReader::U64() {
    const std::uint64_t low = U32();
    return low | std::uint64_t{U32()} << 32;
}

// ---- volume cache ------------------------------------------------------------------

CSavedVolumeCache& CSavedVolumeCache::instance() {
    static CSavedVolumeCache* const cache = new CSavedVolumeCache;
    return *cache;
}

void CSavedVolumeCache::SetOpener(int searcherType, Opener opener) { m_openers[searcherType] = std::move(opener); }

void CSavedVolumeCache::SetReaderMaker(int searcherType, ReaderMaker maker) {
    m_makers[searcherType] = std::move(maker);
}

void CSavedVolumeCache::Clear() { m_volumes.clear(); }

namespace {
const FileSystemEntry::SavedVolumeOpener* TableOpener(int searcherType) {
    const FileSystemEntry* entry = FileSystems().ForSearcher(searcherType);
    return entry && entry->openSaved ? &entry->openSaved : nullptr;
}
} // namespace

void CSavedVolumeCache::EnterOnce(int searcherType, IStorageDevice* device) {
    if (m_volumes.count(searcherType)) return;
    const auto opener = m_openers.find(searcherType);
    ISavedVolume* volume = nullptr;
    if (opener != m_openers.end() && opener->second)
        volume = opener->second(device);
    else if (const auto* fromTable = TableOpener(searcherType))
        volume = (*fromTable)(device);
    m_volumes[searcherType].reset(volume);
}

ISavedVolume* CSavedVolumeCache::Volume(int searcherType) const {
    const auto it = m_volumes.find(searcherType);
    return it == m_volumes.end() ? nullptr : it->second.get();
}

void CSavedVolumeCache::AddPartition(int searcherType, const CSearchedPartitionInfo& record) {
    if (ISavedVolume* volume = Volume(searcherType)) volume->AddPartition(record);
}

IFileReader* CSavedVolumeCache::CreateReader(int searcherType, CFileNode* node) const {
    if (ISavedVolume* volume = Volume(searcherType)) return volume->CreateCompressedReader(node);
    const auto maker = m_makers.find(searcherType);
    if (maker != m_makers.end() && maker->second) return maker->second(node);
    if (m_openers.count(searcherType) && m_openers.at(searcherType)) return nullptr;
    // A type without an open volume (a deep scan's, say) still has the
    // readers that need none.
    const auto* fromTable = TableOpener(searcherType);
    const std::unique_ptr<ISavedVolume> bare(fromTable ? (*fromTable)(nullptr) : nullptr);
    return bare ? bare->CreateCompressedReader(node) : nullptr;
}

namespace SaveRestoreResult {

namespace {

// Run starts and lengths beyond this many clusters are damage: nothing real
// is that large, and sums of two of them stay far from overflow.
constexpr long long kMaxRunClusters = 1LL << 56;

std::string ReadName(CFrameReader& in, std::uint32_t length) {
    std::string name(length, '\0');
    in.Read(name.data(), length);
    name.resize(std::strlen(name.c_str())); // the text up to the first zero byte
    return name;
}

} // namespace

IFileNode* RestoreFileNode::Clone() { return new RestoreFileNode(*this); }

bool RestoreFileNode::ReadHeldData(long long offset, char* out, unsigned size, unsigned& got) {
    got = 0;
    if (!m_held) return false;
    if (offset >= 0 && static_cast<std::uint64_t>(offset) < m_held->size()) {
        got = static_cast<unsigned>(std::min<std::uint64_t>(size, m_held->size() - static_cast<std::uint64_t>(offset)));
        std::memcpy(out, m_held->data() + offset, got);
    }
    return true;
}

namespace {
IFileNode* TopOf(IFileNode* node) {
    IFileNode* top = node->GetParent();
    if (!top) return nullptr;
    for (int depth = 0; top->GetParent() && depth < (1 << 20); ++depth) top = top->GetParent();
    return top;
}
} // namespace

namespace {

// What a compressed file reads as when the volume a load opened has none of
// its data (a deleted file whose attributes are gone): nothing, as its scan
// read it, so that its copy is the scan's (failed, its bytes zeros).
class CUnreadableReader final : public IFileReader {
public:
    explicit CUnreadableReader(long long size) : m_size(size) {}
    unsigned ReadData(long long, char*, unsigned, int* error) override {
        if (error) *error = 0;
        return 0;
    }
    IFileReader* Clone() override { return new CUnreadableReader(m_size); }
    long long GetDataSize() const override { return m_size; }
    int IsCompressFile() override { return 1; }
    void Release() override { delete this; }

private:
    long long m_size;
};

} // namespace

IFileReader* RestoreFileNode::CreateCompressFileReader(void*) {
    IFileNode* top = TopOf(this);
    if (!top) return nullptr;
    IFileReader* reader = CSavedVolumeCache::instance().CreateReader(top->GetSearcheType(), this);
    if (!reader && m_size > 0 && top->GetSearcheType() == SEARCHER_HFSPLUS) reader = new CUnreadableReader(GetFileSize());
    return reader;
}

bool RestoreFileNode::IsSizeUnknown() {
    if (m_unplacedCompressed) return m_size == 0 && !IsDirectory();
    if (!IsCompressed() || m_size != 0 || IsDirectory()) return false;
    IFileNode* top = TopOf(this);
    ISavedVolume* volume = top ? CSavedVolumeCache::instance().Volume(top->GetSearcheType()) : nullptr;
    return volume && volume->IsSizeUnknown(this);
}

RestoreFileNode* RestoreFileNode::ReadFileNode(CFrameReader& in, RestoreFileNode* into) {
    std::unique_ptr<RestoreFileNode> made;
    if (!into) made = std::make_unique<RestoreFileNode>(), into = made.get();
    RestoreFileNode& n = *into;
    in.Need(kMinFileRecord, "a short file record");
    n.SetNodeID(static_cast<long long>(in.U64()));
    n.SetParentNodeID(static_cast<long long>(in.U64()));
    n.m_size = in.U64();
    if (n.m_size > static_cast<std::uint64_t>(INT64_MAX)) throw CSavedScanDamage{"a negative file size"};
    n.m_attribute = in.U16();
    n.m_created = in.U64();
    n.m_modified = in.U64();
    n.m_accessed = in.U64();
    n.m_isDirectory = in.U32();
    n.m_isDeleted = in.U32();
    const std::uint32_t runs = in.U32();
    const std::uint32_t resident = in.U32();
    if (std::uint64_t{runs} * kRunBytes > in.Remaining() - std::min<std::uint64_t>(in.Remaining(), kFileRecordTail))
        throw CSavedScanDamage{"more runs than the frame holds"};
    // A resident file has its data in its record and no runs.
    if (runs > 0 || resident != 0) {
        auto* list = new CDataRunList;
        list->SetResident(resident);
        n.SetDataRunList(list);
        for (std::uint32_t i = 0; i < runs; ++i) {
            DataRun run;
            run.start = static_cast<long long>(in.U64());
            run.length = static_cast<long long>(in.U64());
            if (run.length < 0 || run.length > kMaxRunClusters || run.start < -kMaxRunClusters ||
                run.start > kMaxRunClusters)
                throw CSavedScanDamage{"a run out of range"};
            list->AddDataRun(&run);
        }
    }
    const std::uint32_t nameLength = in.U32();
    if (nameLength > kMaxFileName) throw CSavedScanDamage{"a file name too long"};
    in.Need(std::uint64_t{nameLength} + kFileRecordTail - 4, "a file name past the end");
    n.m_name = ReadName(in, nameLength);
    in.U32(); // the shown flag: every loaded node is shown
    n.ShowNode(1);
    n.SetBelongedPartition(in.U16());
    n.SetMetaDataSector(static_cast<long long>(in.U64()));
    n.SetCompressed(in.U32() != 0 ? 1 : 0);
    made.release();
    return into;
}

std::unique_ptr<RestoreSystemNode> RestoreSystemNode::ReadSystemNode(CFrameReader& in) {
    auto root = std::make_unique<RestoreSystemNode>();
    ReadFileNode(in, root.get());
    in.Need(8, "a short root record");
    root->m_searcherType = in.U32();
    if (root->m_searcherType < SEARCHER_HFSPLUS || root->m_searcherType > SEARCHER_APFS)
        throw CSavedScanDamage{"an unknown searcher type"};
    const std::uint32_t length = in.U32();
    if (length > kMaxVolumeName) throw CSavedScanDamage{"a volume name too long"};
    in.Need(length, "a volume name past the end");
    root->m_volumeName = ReadName(in, length);
    return root;
}

// ---- node data ------------------------------------------------------------------

void CNodeData::Read(CFrameReader& in) {
    m_extras.clear();
    bool first = true;
    std::uint64_t last = 0;
    while (in.Remaining() > 0) {
        in.Need(kNodeDataHead, "a short node-data entry");
        const std::uint64_t ordinal = in.U64();
        const std::uint32_t kind = in.U32();
        const std::uint32_t length = in.U32();
        if (!first && ordinal < last) throw CSavedScanDamage{"node data out of order"};
        first = false;
        last = ordinal;
        in.Need(length, "node data past the end");
        CNodeExtra& extra = m_extras[ordinal];
        if (kind == kNodeDataInitialized) {
            if (length != 8 || extra.initialized >= 0) throw CSavedScanDamage{"a damaged initialized size"};
            extra.initialized = static_cast<long long>(in.U64());
            if (extra.initialized < 0) throw CSavedScanDamage{"a negative initialized size"};
        } else if (kind == kNodeDataResident) {
            if (length == 0 || length > kMaxResidentBytes || extra.resident)
                throw CSavedScanDamage{"damaged resident data"};
            auto bytes = std::make_shared<std::string>(length, '\0');
            in.Read(bytes->data(), length);
            extra.resident = std::move(bytes);
        } else if (kind == kNodeDataContent) {
            if (length != 4 || extra.content != 0) throw CSavedScanDamage{"a damaged content mark"};
            extra.content = in.U32();
            if (extra.content == 0) throw CSavedScanDamage{"a damaged content mark"};
        } else {
            // A later kind: passed over.
            std::vector<std::uint8_t> skip(std::min<std::uint32_t>(length, 1 << 16));
            for (std::uint32_t left = length; left > 0;) {
                const std::uint32_t n = std::min<std::uint32_t>(left, static_cast<std::uint32_t>(skip.size()));
                in.Read(skip.data(), n);
                left -= n;
            }
        }
    }
}

const CNodeExtra* CNodeData::Find(std::uint64_t ordinal) const {
    const auto it = m_extras.find(ordinal);
    return it == m_extras.end() ? nullptr : &it->second;
}

void CNodeData::Apply(const CNodeExtra& extra, RestoreFileNode& node) {
    if (extra.initialized > static_cast<long long>(node.m_size))
        throw CSavedScanDamage{"an initialized size past the file's end"};
    if (extra.resident) {
        IDataRunList* runs = node.GetDataRunList();
        if (node.m_isDirectory || extra.resident->size() != node.m_size || !runs || !runs->IsResident())
            throw CSavedScanDamage{"resident data of another size or node"};
        node.m_held = extra.resident;
    }
    if (extra.initialized >= 0) node.m_initialized = extra.initialized;
    if (extra.content != 0) {
        if (node.m_isDirectory) throw CSavedScanDamage{"a content mark of a folder"};
        node.m_content = extra.content;
    }
}

void CNodeData::Write(std::uint64_t ordinal, IFileNode* node, const std::string* resident, std::uint32_t content,
                      CRecordWriter& out) {
    auto* c = dynamic_cast<CFileNode*>(node);
    const long long size = node->GetFileSize();
    const long long initialized = c ? c->GetInitializedSize() : size;
    if (!node->IsDirectory() && initialized >= 0 && initialized < size) {
        out.U64(ordinal);
        out.U32(kNodeDataInitialized);
        out.U32(8);
        out.U64(static_cast<std::uint64_t>(initialized));
    }
    if (resident && !resident->empty() && resident->size() <= kMaxResidentBytes) {
        out.U64(ordinal);
        out.U32(kNodeDataResident);
        out.U32(static_cast<std::uint32_t>(resident->size()));
        out.Bytes(resident->data(), resident->size());
    }
    if (content != 0 && !node->IsDirectory()) {
        out.U64(ordinal);
        out.U32(kNodeDataContent);
        out.U32(4);
        out.U32(content);
    }
}

// ---- writing ------------------------------------------------------------------

std::string ShortenUtf8(const char* text, std::size_t max) {
    std::string s = text ? text : "";
    if (s.size() <= max) return s;
    std::size_t cut = max;
    // Back off over continuation bytes to the start of the cut sequence.
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
    s.resize(cut);
    return s;
}

void WriteFileNode(IFileNode* node, CRecordWriter& out) {
    auto* c = dynamic_cast<CFileNode*>(node);
    out.U64(static_cast<std::uint64_t>(node->GetCurrentNodeID()));
    out.U64(static_cast<std::uint64_t>(node->GetParentNodeID()));
    const long long size = node->GetFileSize();
    out.U64(size > 0 ? static_cast<std::uint64_t>(size) : 0);
    out.U16(static_cast<std::uint16_t>(node->GetAttribute()));
    out.U64(node->GetCreationTime().Value());
    out.U64(node->GetModificationTime().Value());
    out.U64(node->GetLastAccessTime().Value());
    out.U32(node->IsDirectory() ? 1 : 0);
    out.U32(node->IsDeleted() ? 1 : 0);
    // A copy of the list: its own cursor may be in use by a reader.
    IDataRunList* runs = c && c->GetDataRunList() ? c->GetDataRunList()->Clone() : nullptr;
    std::string runBytes;
    std::uint32_t count = 0;
    if (runs) {
        CRecordWriter r(runBytes);
        for (DataRun* run = runs->GetFirst(); run && count < UINT32_MAX / kRunBytes; run = runs->GetNext(), ++count) {
            r.U64(static_cast<std::uint64_t>(run->start));
            r.U64(static_cast<std::uint64_t>(run->length));
        }
    }
    out.U32(count);
    out.U32(runs ? static_cast<std::uint32_t>(runs->IsResident()) : 0);
    if (runs) runs->Release();
    out.Bytes(runBytes.data(), runBytes.size());
    const std::string name = ShortenUtf8(node->GetFileName(), kMaxFileName);
    out.U32(static_cast<std::uint32_t>(name.size()));
    out.Bytes(name.data(), name.size());
    out.U32(static_cast<std::uint32_t>(node->IsNodeShow()));
    out.U16(c ? c->GetBelongedPartition() : 0xFFFF);
    out.U64(static_cast<std::uint64_t>(c ? c->GetMetadataStartPosition() : -1));
    out.U32(c && c->IsCompressed() ? 1 : 0);
}

void WriteSystemNode(IFileNode* root, CRecordWriter& out) {
    WriteFileNode(root, out);
    out.U32(static_cast<std::uint32_t>(root->GetSearcheType()));
    const std::string volume = ShortenUtf8(root->GetVolumeName(), kMaxVolumeName);
    out.U32(static_cast<std::uint32_t>(volume.size()));
    out.Bytes(volume.data(), volume.size());
}

namespace {
template <class T>
void Put(std::uint8_t* at, T v) {
    const auto u = static_cast<std::uint64_t>(v);
    for (std::size_t i = 0; i < sizeof(T); ++i) at[i] = static_cast<std::uint8_t>(u >> (8 * i));
}
template <class T>
T Get(const std::uint8_t* at) {
    std::uint64_t u = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) u |= std::uint64_t{at[i]} << (8 * i);
    return static_cast<T>(u);
}
} // namespace

// Offsets in the 104-byte record: 0 reserved, 8 reference (0 on disk), 16
// partition index, 20 file-system kind, 24 sectors per cluster, 32 cluster
// origin, 40 start sector, 48 and 56 searcher fields, 64 sector size, 68
// searcher field, 72 total sectors, 80 searcher field, 88 score, 96 and 100
// searcher fields.
std::uint32_t FoldIdentity(std::uint64_t identity) {
    const auto folded = static_cast<std::uint32_t>(identity ^ (identity >> 32));
    return folded ? folded : 1;
}

std::uint16_t FoldIdentity16(std::uint64_t identity) {
    const std::uint32_t folded = FoldIdentity(identity);
    const auto half = static_cast<std::uint16_t>(folded ^ (folded >> 16));
    return half ? half : 1;
}

void WritePartition(const CSearchedPartitionInfo& p, CRecordWriter& out, const VolumeMark* mark) {
    std::uint8_t b[kPartitionRecordSize] = {};
    if (mark && mark->kind == VolumeMark::Kind::Identity) {
        Put(b, mark->identity);
        Put(b + 8, kVolumeIdentityTag);
    } else if (mark && mark->kind == VolumeMark::Kind::Files) {
        Put(b, static_cast<std::uint32_t>(mark->identity));
        for (std::size_t i = 0; i < kMarkFiles; ++i) Put(b + 4 + 2 * i, mark->files[i]);
        Put(b + 12, kFileMarkTag);
    } else if (mark && mark->kind == VolumeMark::Kind::Samples) {
        Put(b, static_cast<std::uint16_t>(mark->identity));
        for (std::size_t i = 0; i < kMarkSamples; ++i) b[2 + i] = mark->samples[i];
        Put(b + 12, kSampleMarkTag);
    }
    Put(b + 16, p.m_partitionIndex);
    Put(b + 20, p.m_fileSystemType);
    Put(b + 24, p.m_sectorsPerCluster);
    Put(b + 32, p.m_clusterOrigin);
    Put(b + 40, p.m_startSector);
    Put(b + 48, p.m_searcherField1);
    Put(b + 56, p.m_searcherField2);
    Put(b + 64, p.m_sectorSize);
    Put(b + 68, p.m_searcherField3);
    Put(b + 72, p.m_totalSectors);
    Put(b + 80, p.m_searcherField4);
    Put(b + 88, std::bit_cast<std::uint64_t>(p.m_score));
    Put(b + 96, p.m_searcherField5);
    Put(b + 100, p.m_searcherField6);
    out.Bytes(b, sizeof b);
}

std::unique_ptr<CSearchedPartitionInfo> ReadPartition(const std::uint8_t* b) {
    const auto sectorSize = Get<std::uint32_t>(b + 64);
    if (sectorSize == 0 || sectorSize % 512 != 0 || sectorSize > 65536) return nullptr;
    auto p = std::make_unique<CSearchedPartitionInfo>(512);
    p->m_partitionIndex = Get<std::uint16_t>(b + 16);
    p->m_fileSystemType = Get<std::uint32_t>(b + 20);
    p->m_sectorsPerCluster = Get<std::uint32_t>(b + 24);
    p->m_clusterOrigin = Get<std::int64_t>(b + 32);
    p->m_startSector = Get<std::int64_t>(b + 40);
    p->m_searcherField1 = Get<std::int64_t>(b + 48);
    p->m_searcherField2 = Get<std::int64_t>(b + 56);
    p->m_sectorSize = sectorSize;
    p->m_searcherField3 = Get<std::uint32_t>(b + 68);
    p->m_totalSectors = Get<std::uint64_t>(b + 72);
    p->m_searcherField4 = Get<std::int64_t>(b + 80);
    p->m_score = std::bit_cast<double>(Get<std::uint64_t>(b + 88));
    p->m_searcherField5 = Get<std::uint32_t>(b + 96);
    p->m_searcherField6 = Get<std::uint32_t>(b + 100);
    return p;
}

VolumeMark ReadPartitionMark(const std::uint8_t* b) {
    VolumeMark mark;
    if (Get<std::uint64_t>(b + 8) == kVolumeIdentityTag) {
        mark.kind = VolumeMark::Kind::Identity;
        mark.identity = Get<std::uint64_t>(b);
    } else if (Get<std::uint32_t>(b + 12) == kFileMarkTag) {
        mark.kind = VolumeMark::Kind::Files;
        mark.identity = Get<std::uint32_t>(b);
        for (std::size_t i = 0; i < kMarkFiles; ++i) mark.files[i] = Get<std::uint16_t>(b + 4 + 2 * i);
    } else if (Get<std::uint32_t>(b + 12) == kSampleMarkTag) {
        mark.kind = VolumeMark::Kind::Samples;
        mark.identity = Get<std::uint16_t>(b);
        for (std::size_t i = 0; i < kMarkSamples; ++i) mark.samples[i] = b[2 + i];
    }
    return mark;
}

} // namespace SaveRestoreResult
