// Feeds arbitrary bytes to the scan-result container reader as a file, then
// writes what it could read into a fresh container and checks that it reads
// back identically; last, reads the bytes as a saved scan (frames and
// checksums, then the trees into a builder that frees every node).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "savedscan/SavedScanReplay.h"
#include "tests/savedscan/ContainerWalk.h"

namespace {

// An in-memory file reachable by path, so CStdFile opens it like any other.
class MemFile {
public:
    MemFile() : m_fd(::memfd_create("rsdata_fuzz", MFD_CLOEXEC)) {}
    ~MemFile() { ::close(m_fd); }
    bool Fill(const std::uint8_t* data, std::size_t size) {
        return m_fd >= 0 && ::ftruncate(m_fd, 0) == 0 &&
               (size == 0 || ::pwrite(m_fd, data, size, 0) == static_cast<ssize_t>(size));
    }
    std::string Path() const { return "/proc/self/fd/" + std::to_string(m_fd); }

private:
    int m_fd;
};

class FreeingBuilder : public IDirecotryTreeBuilder {
public:
    int Initialize(const char*, IDrirectoryTree*, IRecoveryFilter*) override { return 1; }
    int AddNode(IFileNode* node, _tagSearcherType) override {
        node->GetFileName();
        node->Release();
        return 1;
    }
    int AddSearcherInfo(_tagSearcherType, long long) override { return 1; }
    int FlashBuild(_tagSearcherType) override { return 1; }
    void Release() override {}
    void SetPartitonDevice(CSearchedPartitionInfo*, IStorageDevice*) override {}
};

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "rsdata_fuzz: %s\n", what);
    __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static MemFile input, copy;
    if (size > (1u << 20) || !input.Fill(data, size)) return 0;

    // Besides the fixed GUIDs, look for whatever the first frame header
    // names, so frame bodies get explored without guessing 16 bytes.
    std::vector<tagGUIDSIGN> guids = {rswalk::kFrameA, rswalk::kFrameB, rswalk::kFrameC};
    if (size >= 132 + 32) {
        tagGUIDSIGN g;
        std::memcpy(g.bytes, data + 132 + 16, 16);
        guids.push_back(g);
    }
    const unsigned piece = size > 0 ? 1u + data[size - 1] % 97u : 1u;
    const rswalk::WalkResult first = rswalk::WalkContainer(input.Path().c_str(), piece, guids);
    Check((first.errorCodes & 1u) == 0, "cursor and remaining count disagree");

    // Round trip: what was read must be written and read back unchanged.
    {
        CRSData rs(RS_MODE_WRITE);
        Check(rs.StartRS(copy.Path().c_str(), 1), "cannot open the copy");
        FILEHEADER h;
        h.status = FILE_STATUS_SAVED;
        Check(rs.WriteFileHeader(h), "header write");
        for (std::size_t i = 0; i < guids.size(); ++i) {
            if (!first.payloads[i]) continue;
            rs.OpenFrame(guids[i]);
            const auto& p = *first.payloads[i];
            Check(p.empty() || rs.WriteCurFrame(p.data(), static_cast<unsigned>(p.size())), "payload write");
            rs.CloseFrame();
        }
        Check(rs.EndRS(), "end");
    }
    const rswalk::WalkResult second = rswalk::WalkContainer(copy.Path().c_str(), 1 + piece % 13, guids);
    Check(second.headerValid, "copy header");
    for (std::size_t i = 0; i < guids.size(); ++i) {
        if (!first.payloads[i]) continue;
        // A repeated GUID finds the first frame written with it.
        std::size_t firstIndex = i;
        for (std::size_t j = 0; j < i; ++j)
            if (guids[j] == guids[i] && first.payloads[j]) {
                firstIndex = j;
                break;
            }
        Check(second.payloads[i] == first.payloads[firstIndex], "round trip differs");
    }

    // As a load reads it: the file's frames and checksums, then its trees.
    CRSData rs(RS_MODE_READ);
    if (!rs.StartRS(input.Path().c_str(), 0)) return 0;
    bool intact = false;
    try {
        intact = SavedFramesIntact(rs, input.Path().c_str());
    } catch (const CRSException&) {
    }
    try {
        rs.CloseFrame();
    } catch (const CRSException&) {
    }
    if (intact) {
        FreeingBuilder builder;
        CRestoredPartitions partitions;
        const std::uint32_t code =
            ReplayFileSystemNode(rs, builder, nullptr, ReplayTarget{true, {}, nullptr}, partitions, nullptr, nullptr);
        Check(code == SAVED_OK || code == SAVED_DAMAGED, "replay answered another code");
    }
    return 0;
}
