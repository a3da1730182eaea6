#include "tests/support/fs_Carve.h"

#include "engine/carver/BufferStorageDevice.h"
#include "engine/carver/CarverRegistration.h"
#include "engine/common/Bitmap.h"
#include "engine/common/Bytes.h"
#include "engine/controller/RecoveryControllers.h"
#include "engine/include/DataRecovery.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/include/Owned.h"
#include "engine/include/RecoveryFilter.h"
#include "engine/tree/DirectoryTreeBuilder.h"
#include "tests/support/ByteWriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <span>

namespace salvor::test {
namespace {

std::string Text(const std::uint8_t* p, std::size_t n) { return std::string(reinterpret_cast<const char*>(p), strnlen(reinterpret_cast<const char*>(p), n)); }

TestHeader ParseHeader(const std::uint8_t* p) {
    TestHeader h;
    const std::span<const std::uint8_t> fields(p, 16);
    h.size = static_cast<decltype(h.size)>(bytes::Le64(fields, 4));
    h.sectors = static_cast<decltype(h.sectors)>(bytes::Le32(fields, 12));
    h.name = Text(p + 16, 32);
    h.time = Text(p + 48, 20);
    h.tag = static_cast<signed char>(p[68]);
    h.value = Text(p + 72, 32);
    return h;
}

void Label(CRawFileInfo& r, const TestHeader& h) {
    r.m_strFileName = h.name;
    r.m_strFileTime = h.time;
    if (h.tag != -1 || !h.value.empty()) r.SetRawFileTagAndValue(static_cast<RAW_FILE_TAG>(h.tag), h.value);
}

// Follows a fixed number of sectors from its first one.
class TestStreamRecord : public CRawFileInfo {
public:
    TestStreamRecord(const TestHeader& h, IRawFileAnalyser* partner) : m_header(h), m_partner(partner) {}
    bool WhetherImplementGuess() override { return true; }
    int CalcRawSize(unsigned char*, int bytes, long long sector, SearchContext&) override {
        m_ullFileSize += static_cast<unsigned>(bytes);
        if (++m_seen < std::max<std::uint32_t>(m_header.sectors, 1)) return 2;
        m_ullFileSize = m_header.size;
        TestAnalyserLog().push_back("end " + std::to_string(m_llStartSector) + " " + std::to_string(sector));
        return 1;
    }
    void WillBeRemove(unsigned char*, long long sector) override {
        TestAnalyserLog().push_back("remove " + std::to_string(m_llStartSector) + " " + std::to_string(sector));
        if (m_partner) m_pAnalyser = m_partner;
    }

private:
    TestHeader m_header;
    IRawFileAnalyser* m_partner;
    std::uint32_t m_seen = 0;
};

class NoSleepClock : public ITreeBuilderClock {
public:
    long long NowSeconds() override { return 0; }
    void SleepSeconds(unsigned) override {}
};

// Stands in a deep searcher's slot to see the file-sector map and to mark
// used sectors in the bit map before the carver starts.
class CarveProbe : public ICompleteFileSystemSearchController {
public:
    CarveProbe(std::map<long long, unsigned>*& map, const CarveScan& scan) : m_map(map), m_scan(scan) {}
    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder*) override {}
    int GetSearchedPartitionInfo(CSearchedPartitionInfo**, int) override { return 0; }
    void SetDevice(IStorageDevice* device) override { m_device = device; }
    void SetBlockSize(int) override {}
    void SetBitmap(TBitmap* bitmap) override { m_bitmap = bitmap; }
    void SetFileSectorMap(std::map<long long, unsigned>* map) override { m_map = map; }
    int AnalyzeBlock(long long, long long) override { return 1; }
    int PreparetoSearch() override {
        if (!m_bitmap || m_scan.usedBits.empty()) return 1;
        const unsigned unit = std::max(1u, m_scan.bitUnit);
        m_bitmap->CreateBitmap(static_cast<long long>(m_device->GetTotalSectors() / unit + 1), unit);
        for (auto [first, count] : m_scan.usedBits) m_bitmap->SetBit(first, 1, static_cast<unsigned>(count));
        return 1;
    }

private:
    std::map<long long, unsigned>*& m_map;
    const CarveScan& m_scan;
    IStorageDevice* m_device = nullptr;
    TBitmap* m_bitmap = nullptr;
};

std::string PathBelowRoot(IFileNode* node, IFileNode** root) {
    std::string path = node->GetFileName();
    IFileNode* n = node;
    for (int guard = 0; n->GetParent() && guard < 64; ++guard) {
        n = n->GetParent();
        if (n->GetParent()) path = std::string(n->GetFileName()) + "/" + path;
    }
    *root = n;
    return path;
}

} // namespace

std::vector<std::string>& TestAnalyserLog() {
    static std::vector<std::string> log;
    return log;
}

std::vector<std::uint8_t> TestSector(const TestHeader& h, unsigned sectorSize) {
    std::vector<std::uint8_t> s(sectorSize, 0);
    std::memcpy(s.data(), h.magic.data(), std::min<std::size_t>(h.magic.size(), 4));
    PutLe64(s, 4, static_cast<std::uint64_t>(h.size));
    PutLe32(s, 12, static_cast<std::uint32_t>(h.sectors));
    std::memcpy(s.data() + 16, h.name.data(), std::min<std::size_t>(h.name.size(), 31));
    std::memcpy(s.data() + 48, h.time.data(), std::min<std::size_t>(h.time.size(), 19));
    s[68] = static_cast<std::uint8_t>(static_cast<signed char>(h.tag));
    std::memcpy(s.data() + 72, h.value.data(), std::min<std::size_t>(h.value.size(), 31));
    std::fill(s.end() - 4, s.end(), 0xEE); // never a zero tail
    return s;
}

CTestAnalyser::CTestAnalyser(TestKind kind, std::string magic, unsigned type) : m_kind(kind), m_magic(std::move(magic)) {
    m_nType = type;
    if (kind == TestKind::Streaming) m_partner = std::make_unique<CTestAnalyser>(TestKind::Classic, m_magic, type);
}

CTestAnalyser::~CTestAnalyser() = default;

int CTestAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector || std::memcmp(sector, m_magic.data(), std::min<std::size_t>(m_magic.size(), 4)) != 0) return 0;
    m_last = ParseHeader(sector);
    info.m_eRawFileType = m_nType;
    if (m_kind == TestKind::SizedAtHit) info.m_ullFileSize = m_last.size;
    return 1;
}

CRawFileInfo* CTestAnalyser::CreateRawFileInfo() {
    const bool streaming = m_kind == TestKind::Streaming || m_kind == TestKind::StreamingAlone;
    CRawFileInfo* r = streaming ? new TestStreamRecord(m_last, m_partner.get()) : new CRawFileInfo();
    Label(*r, m_last);
    return r;
}

int CTestAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    const long long start = record.m_llStartSector;
    std::string where = "device";
    if (auto* ring = dynamic_cast<CBufferStorageDevice*>(device)) {
        const unsigned long long first = ring->GetDeviceStartSector();
        const bool inside = start >= 0 && static_cast<unsigned long long>(start) >= first &&
                            static_cast<unsigned long long>(start) < first + ring->GetHeldSectors();
        where = inside ? "ring" : "ring-miss";
    }
    TestAnalyserLog().push_back("size " + std::to_string(start) + " " + where);
    std::vector<std::uint8_t> sector(device->GetSectorSize());
    if (!device->ReadSector(sector.data(), start, 1)) return 0;
    record.m_ullFileSize = ParseHeader(sector.data()).size;
    return 1;
}

ScopedTestAnalysers::ScopedTestAnalysers(std::map<std::string, Use> byKey) {
    CRawFileAnalyserListSingle::SetRowFactory(
        [byKey](RawAnalyserTable table, std::size_t index, const RawAnalyserRow& row) -> IRawFileAnalyser* {
            std::string key;
            if (table == RawAnalyserTable::List) {
                key = "list" + std::to_string(index);
            } else {
                const std::size_t n = table == RawAnalyserTable::Map ? 4 : 2;
                for (std::size_t i = 0; i < n; ++i) key += static_cast<char>(row.key >> (8 * i) & 0xFF);
            }
            const auto it = byKey.find(key);
            return it == byKey.end() ? nullptr : new CTestAnalyser(it->second.kind, key, it->second.type);
        });
    TestAnalyserLog().clear();
}

ScopedTestAnalysers::~ScopedTestAnalysers() { CRawFileAnalyserListSingle::SetRowFactory({}); }

// ---- scans ------------------------------------------------------------------

struct CarveScan::Private {
    NoSleepClock clock;
    Owned<IRecoveryFilter> filter{CreateFilter()};
    std::unique_ptr<CCompleteRecoveryController> controller = std::make_unique<CCompleteRecoveryController>();
    Owned<IDataRecovery> writer;
    std::map<long long, unsigned>* sectorMap = nullptr;
    IStorageDevice* device = nullptr;
    TempDir out;
    int written = 0;
};

CarveScan::CarveScan(IStorageDevice& device) : d(std::make_unique<Private>()) {
    d->device = &device;
    ResetFactories();
    RegisterCarverLibrary();
    // In FAT's place, marking the sectors of its files as FAT's searcher does.
    FileSystemEntry probe;
    probe.name = "FAT";
    probe.searcherType = SEARCHER_FAT;
    probe.deepTurn = 2;
    probe.deep = [this] { return new CarveProbe(d->sectorMap, *this); };
    probe.prepare = [](ICompleteFileSystemSearchController& s, const SearcherContext& c) {
        s.SetFileSectorMap(c.fileSectorMap);
    };
    FileSystems().Add(std::move(probe));
    d->filter->SetFilterTypes(FILTER_ALL);
    d->filter->SetScanType(SCAN_DEEP);
    d->controller->SetTreeBuilderFactory([this](bool replay) { return CreateTreeBuilder(replay, &d->clock); });
    d->controller->Initialize(d->filter.get());
}

CarveScan::~CarveScan() {
    d->writer.reset();
    d->controller.reset();
    ResetFactories();
}

ResultCode CarveScan::Run() {
    d->controller->SetBlockSectors(blockSectors);
    return d->controller->StartDataRecovery(d->device, &progress, &tree);
}

std::vector<CarvedNode> CarveScan::Files() const {
    std::vector<CarvedNode> out;
    for (IFileNode* n : tree.AllNodes()) {
        if (!n || n->IsDirectory()) continue;
        CarvedNode c;
        IFileNode* root = nullptr;
        c.path = PathBelowRoot(n, &root);
        c.tree = root->GetSearcheType();
        c.size = n->GetFileSize();
        c.time = n->GetLastAccessTime().Value();
        c.node = n;
        if (auto* f = dynamic_cast<CFileNode*>(n); f && f->GetDataRunList()) {
            IDataRunList* runs = f->GetDataRunList()->Clone();
            if (DataRun* r = runs->GetFirst()) c.start = r->start, c.runSectors = r->length;
            runs->Release();
        }
        out.push_back(c);
    }
    return out;
}

std::vector<std::string> CarveScan::Folders() const {
    std::vector<std::string> out;
    for (IFileNode* n : tree.AllNodes()) {
        if (!n || !n->IsDirectory() || !n->GetParent()) continue;
        IFileNode* root = nullptr;
        const std::string path = PathBelowRoot(n, &root);
        out.push_back(std::to_string(root->GetSearcheType()) + ":" + path + "/");
    }
    return out;
}

std::map<long long, unsigned> CarveScan::SectorMap() const { return d->sectorMap ? *d->sectorMap : std::map<long long, unsigned>{}; }

std::string CarveScan::Recover(IFileNode* node) {
    if (!d->writer) d->writer.reset(d->controller->GetDataRecovery(SEARCHER_RAW));
    if (!d->writer || !node) return {};
    IFileReader* reader = d->writer->SetRecoverNode(node);
    if (!reader) return {};
    reader->Release();
    const std::string dest = d->out.file(std::string("f").append(std::to_string(d->written++)));
    RecordingProgress p;
    return IsFailure(d->writer->RecoverTo(dest.c_str(), &p, 0)) ? std::string() : dest;
}

std::vector<std::uint8_t> CarveScan::Read(IFileNode* node) {
    const std::string path = Recover(node);
    if (path.empty()) return {};
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string JudgeCarve(const std::vector<std::uint8_t>& sample, const std::vector<std::uint8_t>& carved,
                       unsigned sectorSize, std::uint64_t extra, std::uint64_t cap) {
    const auto prefix = [](const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
        return a.size() <= b.size() && std::equal(a.begin(), a.end(), b.begin());
    };
    if (carved == sample) return {};
    if (cap && carved.size() == cap && prefix(carved, sample)) return {};
    if (carved.size() > sample.size()) {
        if (!prefix(sample, carved)) return "differs within the sample";
        const std::uint64_t more = carved.size() - sample.size();
        if (more <= std::max<std::uint64_t>(sectorSize, extra)) return {};
        return std::to_string(more) + " bytes past the sample";
    }
    if (!prefix(carved, sample)) return "differs within the sample";
    if (std::all_of(sample.begin() + static_cast<std::ptrdiff_t>(carved.size()), sample.end(),
                    [](std::uint8_t b) { return b == 0; }))
        return {};
    return std::to_string(sample.size() - carved.size()) + " bytes short";
}

} // namespace salvor::test
