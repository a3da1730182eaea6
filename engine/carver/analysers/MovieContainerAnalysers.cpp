#include "engine/carver/analysers/MovieContainerAnalysers.h"

#include "engine/carver/analysers/PictureWindow.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

using bytes::Bytes;

bool Is(Bytes b, std::size_t at, std::string_view text) {
    return bytes::Has(b, at, text.size()) && std::memcmp(b.data() + at, text.data(), text.size()) == 0;
}

// An EBML variable-length number at `at`: its value and its length in
// bytes; false when no marker bit lies within 8 bytes. `unknown` is set for
// the all-ones value that stands for "size not known".
bool Vint(Bytes b, std::size_t at, unsigned long long& value, unsigned& length, bool& unknown) {
    if (!bytes::Has(b, at, 1)) return false;
    const unsigned char first = b[at];
    length = 1;
    while (length <= 8 && !(first & (0x80u >> (length - 1))))
        ++length;
    if (length > 8 || !bytes::Has(b, at, length)) return false;
    value = first & ((0x80u >> (length - 1)) - 1);
    for (unsigned i = 1; i < length; ++i)
        value = value << 8 | b[at + i];
    unknown = value == (1ull << (7 * length)) - 1;
    return true;
}

// Bytes from the sector's start to where its trailing zero bytes begin.
std::size_t ZeroTailStart(Bytes sector) {
    std::size_t n = sector.size();
    while (n > 0 && sector[n - 1] == 0)
        --n;
    return n;
}

} // namespace

int FileMKVAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const CRawWindow window = info.WindowAt(sector);
    const Bytes head = window.At(0, 512);
    if (head.empty()) return 0;
    unsigned long long value;
    unsigned length;
    bool unknown;
    if (!Vint(head, 4, value, length, unknown) || value > 512) return 0;
    const std::size_t p = length + static_cast<std::size_t>(value) + 4;
    const Bytes segment = window.At(static_cast<long long>(p), 12);
    if (p > 512 || segment.empty() || bytes::Be32(segment, 0) != 0x18538067) return 0;
    // The Segment's size, however many bytes it takes; "unknown" leaves
    // the file without a size.
    if (!Vint(segment, 4, value, length, unknown)) return 0;
    info.m_eRawFileType = kMkvType;
    if (unknown) return 1;
    return BruteForce::SizedWithinDevice(info, window, p + 4 + length + value, kMkvType);
}

int FileSWFAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const CRawWindow window = info.WindowAt(sector);
    const Bytes head = window.At(0, 8);
    if (head.empty() || head[3] > 32) return 0;
    const unsigned long long length = bytes::Le32(head, 4);
    if (Is(head, 0, "FWS")) return BruteForce::SizedWithinDevice(info, window, length, kSwfType);
    // A compressed movie is sized by its uncompressed length: the file is a
    // prefix of that.
    if (Is(head, 0, "CWS") && head[3] >= 6)
        return BruteForce::SizedWithinDevice(info, window, length + 8, kSwfType);
    return 0;
}

namespace RawSpeed {

int CSpanRawFileInfo::Settle(unsigned long long size, long long sectorNumber) {
    m_ullFileSize = size;
    char name[64];
    std::snprintf(name, sizeof name, "%lld-%lld_", m_llStartSector, sectorNumber);
    SetRawFileName(name);
    return 1;
}

// ---- MXF --------------------------------------------------------------------

bool MxfAnalyser::PacketLength(Bytes packet, unsigned long long& length, unsigned& header) {
    if (!bytes::Has(packet, 16, 1)) return false;
    const unsigned char ber = packet[16];
    if (ber < 0x80) {
        length = ber;
        header = 17;
        return true;
    }
    const unsigned n = ber & 0x7F;
    if (n == 0 || n > 8 || !bytes::Has(packet, 17, n)) return false;
    length = 0;
    for (unsigned i = 0; i < n; ++i)
        length = length << 8 | packet[17 + i];
    header = 17 + n;
    return true;
}

int MxfAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const Bytes head = info.WindowAt(sector).At(0, 64);
    if (head.empty() || bytes::Be32(head, 0) != 0x060E2B34 || !Is(head, 4, "\x02\x05\x01")) return 0;
    unsigned long long length;
    unsigned v;
    if (!PacketLength(head, length, v) || length < 32) return 0;
    // Major version 1 of the partition pack, and a header partition: body
    // and footer partitions (at a non-zero offset of their own) are parts of
    // a file, not its start.
    if (bytes::Be16(head, v) != 1 || bytes::Be64(head, v + 8) != 0) return 0;
    info.m_eRawFileType = kMxfType;
    return 1;
}

int MxfRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                                SearchContext& context) {
    if (!sector || sectorBytes <= 0 || sectorNumber < m_llStartSector) return 2;
    const long long base = (sectorNumber - m_llStartSector) * sectorBytes;
    if (base > kLimit) return 1;
    const long long held = (context.m_llWindowEnd - sectorNumber) * sectorBytes;
    // 0: at hand; 2: comes with a later sector; 1: never held (a block that
    // could not be read), so the file ends there.
    const auto fetch = [&](long long rel, std::size_t n, Bytes& out) {
        out = BruteForce::HeldBytes(context, sectorNumber, sectorBytes, rel, n);
        if (!out.empty()) return 0;
        return rel + static_cast<long long>(n) > held ? 2 : 1;
    };
    while (m_llWalk - base < sectorBytes) {
        if (m_llWalk > kLimit) return 2;
        const long long rel = m_llWalk - base;
        Bytes key;
        int got = fetch(rel, 4, key);
        if (got == 2) return 2;
        if (got == 1 || bytes::Be32(key, 0) != 0x060E2B34)
            return Settle(static_cast<unsigned long long>(m_llWalk), sectorNumber);
        if ((got = fetch(rel, 17, key)) == 0 && key[16] >= 0x80)
            got = fetch(rel, 17 + (key[16] & 0x7Fu), key);
        if (got == 2) return 2;
        unsigned long long length;
        unsigned header;
        if (got == 1 || !MxfAnalyser::PacketLength(key, length, header) ||
            length > static_cast<unsigned long long>(kLimit))
            return Settle(static_cast<unsigned long long>(m_llWalk), sectorNumber);
        m_llWalk += header + static_cast<long long>(length);
    }
    return 2;
}

// ---- MLV --------------------------------------------------------------------

int MLvAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const Bytes head = info.WindowAt(sector).At(0, 56);
    if (head.empty() || !Is(head, 0, "MLVI") || !Is(head, 52, "RAWI")) return 0;
    info.m_eRawFileType = kMlvType;
    return 1;
}

int MLvRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                                SearchContext& context) {
    static constexpr std::string_view kBlocks[] = {"MLVI", "RAWI", "INFO", "RTCI", "EXPO",
                                                   "LENS", "IDNT", "WBAL", "STYL", "WAVI",
                                                   "MARK", "VIDF", "NULL", "AUDF", "BKUP"};
    if (!sector || sectorBytes <= 0 || sectorNumber < m_llStartSector) return 2;
    const long long base = (sectorNumber - m_llStartSector) * sectorBytes;
    if (base > kLimit) return Settle(static_cast<unsigned long long>(m_llWalk), sectorNumber);
    const long long held = (context.m_llWindowEnd - sectorNumber) * sectorBytes;
    bool walked = false;
    while (m_llWalk - base < sectorBytes) {
        const long long rel = m_llWalk - base;
        const Bytes block = BruteForce::HeldBytes(context, sectorNumber, sectorBytes, rel, 8);
        if (block.empty() && rel + 8 > held) break;
        const std::uint32_t size = bytes::Le32(block, 4);
        const bool known =
            !block.empty() &&
            std::find(std::begin(kBlocks), std::end(kBlocks),
                      std::string_view(reinterpret_cast<const char*>(block.data()), 4)) != std::end(kBlocks);
        if (!known || size == 0) {
            // A zero tail after the last block's start is where a block cut
            // short by the recording's end really ends; an older one is not.
            const bool candidate = m_llEndCandidate > m_llLastBlock && m_llEndCandidate > 0;
            return Settle(static_cast<unsigned long long>(candidate ? m_llEndCandidate : m_llWalk),
                          sectorNumber);
        }
        m_llLastBlock = m_llWalk;
        m_llWalk += size;
        walked = true;
    }
    if (walked && context.m_nTrailingZero >= 16) {
        const Bytes whole = context.m_Window.At(0, static_cast<std::size_t>(sectorBytes));
        if (!whole.empty()) m_llEndCandidate = base + static_cast<long long>(ZeroTailStart(whole));
    }
    return 2;
}

// ---- After Effects projects ---------------------------------------------------

int AEPAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const Bytes head = info.WindowAt(sector).At(0, 12);
    if (head.empty() || !Is(head, 0, "RIFX") || !Is(head, 8, "Egg")) return 0;
    info.m_eRawFileType = kAepType;
    return 1;
}

int AEPRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                                SearchContext& context) {
    if (!sector || sectorBytes <= 0 || sectorNumber < m_llStartSector) return 2;
    const long long base = (sectorNumber - m_llStartSector) * sectorBytes;
    if (base > kLimit) return 1;
    if (m_llChunkEnd < 0) m_llChunkEnd = bytes::Be32(context.m_Window.At(0, 8), 4);
    if (m_llXmpFrom < 0) {
        if (m_llChunkEnd >= base + sectorBytes) return 2;
        // The XMP packet's opening, when it follows the chunk, must be read.
        const Bytes next =
            BruteForce::HeldBytes(context, sectorNumber, sectorBytes, m_llChunkEnd + 8 - base, 9);
        if (next.empty() && sectorNumber + 2 > context.m_llWindowEnd) return 2;
        if (next.empty() || std::memcmp(next.data(), "<?xpacket", 9) != 0)
            return Settle(static_cast<unsigned long long>(m_llChunkEnd + 8), sectorNumber);
        m_llXmpFrom = base + sectorBytes;
        return 2;
    }
    if (base < m_llXmpFrom) return 2;
    const Bytes whole = context.m_Window.At(0, static_cast<std::size_t>(sectorBytes));
    if (whole.empty()) return 2;
    const std::size_t data = ZeroTailStart(whole);
    if (whole.size() - data < 9) return 2;
    return Settle(static_cast<unsigned long long>(base + static_cast<long long>(data) + 8), sectorNumber);
}

} // namespace RawSpeed
