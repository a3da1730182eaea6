// Feeds arbitrary bytes as the trees of a scan-result file (the payload of
// its FileSystemNode frame, in a valid container) to the record readers and
// the replay, into a builder that takes and frees every node, or (bit 2 of
// the first byte) into the real tree builder, which links the loaded nodes
// by their saved ids. The first byte's value modulo 3 picks a whole-disk
// replay, a volume's replay or a quick-scan volume's. The same bytes are
// read as the frame of where the scanned disk's volumes were.
#include "savedscan/RSData.h"
#include "savedscan/RestoreFileNode.h"
#include "savedscan/SavedScanReplay.h"
#include "engine/include/RecoveryFilter.h"
#include "engine/tree/DirectoryTreeBuilder.h"

#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

class MemFile {
public:
    MemFile() : m_fd(::memfd_create("savedscan_replay_fuzz", MFD_CLOEXEC)) {}
    ~MemFile() { ::close(m_fd); }
    std::string Path() const { return "/proc/self/fd/" + std::to_string(m_fd); }
    bool Empty() { return m_fd >= 0 && ::ftruncate(m_fd, 0) == 0; }

private:
    int m_fd;
};

class FreeingBuilder : public IDirecotryTreeBuilder {
public:
    int Initialize(const char*, IDrirectoryTree*, IRecoveryFilter*) override { return 1; }
    int AddNode(IFileNode* node, _tagSearcherType type) override {
        if (type < SEARCHER_HFSPLUS || type > SEARCHER_APFS || !node->IsNodeShow()) __builtin_trap();
        node->GetFileName();
        node->Release();
        return 1;
    }
    int AddSearcherInfo(_tagSearcherType, long long) override { return 1; }
    int FlashBuild(_tagSearcherType) override { return 1; }
    void Release() override {}
    void SetPartitonDevice(CSearchedPartitionInfo*, IStorageDevice*) override {}
};

struct StillClock : ITreeBuilderClock {
    long long NowSeconds() override { return 0; }
    void SleepSeconds(unsigned) override {}
};

struct ShowAll : IRecoveryFilter {
    int ShowNormalFiles() const override { return 1; }
    void SetScanType(_SCAN_TYPE) override {}
    int IsFileNodeValid(IFileNode*) override { return 1; }
    void SetFilterTypes(unsigned) override {}
    _FILTER_TYPE GetNodeFileType(IFileNode*) override { return FILTER_OTHER; }
    void Release() override {}
};

// Walks every shown tree to its ends, as the windows do.
struct WalkingSink : IDrirectoryTree {
    void ShowNodes(IFileNode** nodes, unsigned count, int) override {
        for (unsigned i = 0; i < count; ++i)
            for (IFileNode* n = nodes[i]; n && n->GetParent(); n = n->GetParent())
                if (++steps > (1u << 26)) __builtin_trap(); // a parent loop
    }
    int ShowFilesystemNode(IFilesystemNode*) override { return 1; }
    unsigned long long steps = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static MemFile file;
    if (size < 1 || size > (1u << 20) || !file.Empty()) return 0;
    const std::string path = file.Path();
    {
        CRSData rs(RS_MODE_WRITE);
        if (!rs.StartRS(path.c_str(), 0)) return 0;
        FILEHEADER header;
        header.status = FILE_STATUS_SAVED;
        rs.WriteFileHeader(header);
        rs.OpenFrame(_frFileSystemNode);
        rs.WriteCurFrame(data + 1, static_cast<unsigned>(size - 1));
        rs.CloseFrame();
        // The same bytes as where the scanned disk's volumes were.
        rs.OpenFrame(_frVolumes);
        rs.WriteCurFrame(data + 1, static_cast<unsigned>(size - 1));
        rs.CloseFrame();
        rs.EndRS();
    }
    ReplayTarget target;
    target.wholeDisk = data[0] % 3 == 0;
    target.volumeName = "VOL";
    if (data[0] % 3 == 2) target.pairedOnly = true, target.paired = data[0] >> 3;
    CRSData rs(RS_MODE_READ);
    if (!rs.StartRS(path.c_str(), 0)) return 0;
    // What a quick load pairs volumes by: the same frame, read to its end.
    try {
        ListSavedRoots(rs);
    } catch (const CSavedScanDamage&) {
    } catch (const CRSException&) {
    }
    try {
        rs.CloseFrame();
    } catch (const CRSException&) {
    }
    try {
        const LaidVolumes laid = ReadLaidVolumes(rs);
        for (const auto& [start, sectors] : laid.volumes)
            if (start < 0 || sectors > static_cast<unsigned long long>(LLONG_MAX - start)) __builtin_trap();
        for (const long long start : laid.blocks)
            if (start < -1) __builtin_trap();
    } catch (const CSavedScanDamage&) {
    } catch (const CRSException&) {
    }
    try {
        rs.CloseFrame();
    } catch (const CRSException&) {
    }
    FreeingBuilder freeing;
    StillClock clock;
    ShowAll filter;
    WalkingSink sink;
    CDirectoryTreeBuilder real(true, &clock);
    real.Initialize("VOL", &sink, &filter);
    IDirecotryTreeBuilder& builder = data[0] & 4 ? static_cast<IDirecotryTreeBuilder&>(real) : freeing;
    CRestoredPartitions partitions;
    const std::uint32_t code = ReplayFileSystemNode(rs, builder, nullptr, target, partitions, nullptr, nullptr);
    if (code != SAVED_OK && code != SAVED_DAMAGED) __builtin_trap();
    if (code == SAVED_OK)
        for (int type = SEARCHER_HFSPLUS; type <= SEARCHER_APFS; ++type)
            for (CSearchedPartitionInfo* p : partitions.List(type))
                if (p->GetSectorSize() % 512 != 0 || p->m_privateData) __builtin_trap();
    return 0;
}
