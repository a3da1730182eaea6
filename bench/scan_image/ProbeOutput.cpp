#include "bench/scan_image/ProbeOutput.h"

#include "engine/common/TextConvert.h"
#include "engine/include/FileNode.h"

#include <sys/resource.h>

namespace {
// Upward walks end here even on a damaged (looping) tree.
constexpr int kMaxDepth = 4096;
} // namespace

std::string EscapeListingText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            if (c < 0x20 || c == 0x7F) {
                static const char kHex[] = "0123456789abcdef";
                out += "\\x";
                out += kHex[c >> 4];
                out += kHex[c & 15];
            } else {
                out += ch;
            }
        }
    }
    return out;
}

std::string NodePath(IFileNode* node, bool safe) {
    std::string path;
    int guard = 0;
    for (IFileNode* n = node; n && n->GetParent() && guard < kMaxDepth; n = n->GetParent(), ++guard) {
        const char* name = n->GetFileName();
        const std::string part = safe ? MakeSafeFileName(name ? name : "") : std::string(name ? name : "");
        path = path.empty() ? part : part + "/" + path;
    }
    return path;
}

int NodeSearcherType(IFileNode* node) {
    IFileNode* n = node;
    for (int guard = 0; n->GetParent() && guard < kMaxDepth; ++guard)
        n = n->GetParent();
    return n->GetSearcheType();
}

void PrintNodeLine(FILE* out, IFileNode* node) {
    const bool dir = node->IsDirectory() != 0;
    std::fprintf(out, "%d\t%c\t%lld\t%s%s\n", NodeSearcherType(node), node->IsDeleted() ? 'D' : 'L',
                 node->GetFileSize(), EscapeListingText(NodePath(node, false)).c_str(), dir ? "/" : "");
}

void ProbeTotals::Add(IFileNode* node) {
    ++nodes;
    if (node->IsDirectory()) return;
    ++files;
    deleted += node->IsDeleted() ? 1 : 0;
    const long long size = node->GetFileSize();
    bytes += size > 0 ? static_cast<unsigned long long>(size) : 0;
}

void PrintSummaryLine(FILE* out, const ProbeTotals& t) {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    std::fprintf(out, "nodes=%llu files=%llu deleted=%llu bytes=%llu seconds=%.3f MBps=%.1f peakMiB=%.1f",
                 t.nodes, t.files, t.deleted, t.bytes, t.seconds,
                 t.seconds > 0 ? t.scannedBytes / t.seconds / (1024.0 * 1024.0) : 0.0,
                 usage.ru_maxrss / 1024.0);
    if (t.notKept) std::fprintf(out, " notkept=%llu", t.notKept);
    if (t.written >= 0) std::fprintf(out, " written=%lld failed=%lld", t.written, t.failed);
    std::fprintf(out, "\n");
}
