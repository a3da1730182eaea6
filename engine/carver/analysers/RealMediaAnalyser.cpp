#include "engine/carver/analysers/RealMediaAnalyser.h"

#include "engine/carver/RawFileBuffer.h"
#include "engine/carver/RawUtility.h"
#include "engine/carver/analysers/PictureWindow.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace {

using bytes::Bytes;

constexpr unsigned char kEndMarker[20] = {'I', 'N', 'D', 'X', 0, 0, 0, 0x14, 0, 0,
                                          0,   0,   0,   0,   0, 2, 0, 0,    0, 0};

bool KnownChunk(Bytes chunk) {
    const std::string_view id(reinterpret_cast<const char*>(chunk.data()), 4);
    return id == "PROP" || id == "MDPR" || id == "CONT" || id == "DATA" || id == "INDX";
}

const unsigned char* Find(Bytes b, const char* text) {
    return Apimemstr(b.data(), static_cast<long long>(b.size()), reinterpret_cast<const unsigned char*>(text),
                     static_cast<long long>(std::strlen(text)));
}

enum class Chunk { Go, Wait, End };

// Where the packets of the data chunk at `at` (its size `size`) end, walked
// by their lengths; 0 when they cannot all be read or do not fit the chunk.
template <class Read> long long PacketsEnd(long long at, std::uint32_t size, const Read& read) {
    const Bytes head = read(at, 18);
    if (head.empty()) return 0;
    const std::uint32_t count = bytes::Be32(head, 10);
    long long p = at + 18;
    const long long end = at + size;
    for (std::uint32_t i = 0; i < count; ++i) {
        const Bytes packet = read(p, 4);
        const unsigned length = packet.empty() ? 0 : bytes::Be16(packet, 2);
        if (length < 12 || bytes::Be16(packet, 0) > 1 || p + length > end) return 0;
        p += length;
    }
    return p;
}

// One chunk from `walk`: read(offset, n) gives n bytes or empty. Every
// answer but Go leaves the walk at the end of the file.
template <class Read> Chunk NextChunk(long long& walk, const Read& read, bool& sawData) {
    const Bytes head = read(walk, 8);
    if (head.empty()) return Chunk::Wait;
    const std::uint32_t size = bytes::Be32(head, 4);
    if (!KnownChunk(head) || size == 0) return Chunk::End;
    if (std::memcmp(head.data(), "DATA", 4) == 0 && size > 18) {
        sawData = true;
        // The packets end the data (writers may count a few bytes more in
        // the chunk's size); two zero words may close it.
        if (read(walk + size - 1, 1).empty()) return Chunk::Wait;
        if (const long long end = PacketsEnd(walk, size, read)) {
            const Bytes close = read(end, 8);
            const bool zeros = !close.empty() && std::all_of(close.begin(), close.end(), [](unsigned char c) { return c == 0; });
            walk = zeros ? end + 8 : end;
            return zeros ? Chunk::End : Chunk::Go;
        }
    }
    if (std::memcmp(head.data(), "INDX", 4) != 0) {
        walk += size;
        return Chunk::Go;
    }
    const Bytes index = read(walk, 20);
    if (index.empty()) return Chunk::Wait;
    const long long next = bytes::Be32(index, 16);
    // An index whose header we do not know, or whose next-index field does
    // not lead on, is the file's last chunk; so is the final index, whose
    // size counts its entries.
    if (bytes::Be32(index, 8) == 0 && next != 0 && next > walk) {
        walk = next;
        return Chunk::Go;
    }
    walk += size;
    return Chunk::End;
}

} // namespace

bool FileRM_RMVBAnalyser::IsRmvb(Bytes head) {
    const unsigned char* mdpr = Find(head.first(std::min<std::size_t>(head.size(), 1024)), "MDPR");
    if (!mdpr) return false;
    const std::size_t at = static_cast<std::size_t>(mdpr - head.data());
    return Find(head.subspan(at, std::min<std::size_t>(160, head.size() - at)), "Video Stream") != nullptr;
}

long long FileRM_RMVBAnalyser::FindEndMarker(Bytes b) {
    const unsigned char* hit = Apimemstr(b.data(), static_cast<long long>(b.size()), kEndMarker, 20);
    return hit ? hit - b.data() : -1;
}

int FileRM_RMVBAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    const Bytes head = sector ? info.WindowAt(sector).At(0, 4) : Bytes();
    if (head.empty() || std::memcmp(head.data(), ".RMF", 4) != 0) return 0;
    info.m_eRawFileType = kRmType;
    return 1;
}

int FileRM_RMVBAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
    if (!device || info.m_llStartSector < 0) return 0;
    const unsigned long long start = static_cast<unsigned long long>(info.m_llStartSector);
    const unsigned long long total = device->GetTotalSectors();
    if (start >= total) return 0;
    const unsigned long long ss = device->GetSectorSize() ? device->GetSectorSize() : 512;
    const unsigned long long room = (total - start) * ss;
    RawFileBuffer file(device, start);
    std::vector<unsigned char> head;
    for (unsigned long long at = 0; at < 1024 && at < room; at += ss) {
        const unsigned char* p = file.Fetch(at, static_cast<std::size_t>(ss));
        if (!p) return 0;
        head.insert(head.end(), p, p + ss);
    }
    if (head.size() < 8 || std::memcmp(head.data(), ".RMF", 4) != 0) return 0;
    const auto read = [&](long long offset, std::size_t n) {
        const unsigned char* p = file.Fetch(static_cast<unsigned long long>(offset), n);
        return p ? Bytes(p, n) : Bytes();
    };
    unsigned long long size = 0;
    // The chunks (a data chunk's size covers its packets) end the file
    // whether or not an index follows; a video file without a sized data
    // chunk is ended by its end marker instead.
    bool sawData = false;
    long long walk = bytes::Be32(Bytes(head.data(), 8), 4);
    // Every chunk moves the walk on by at least its header: bounded by the device.
    Chunk step = Chunk::Go;
    while (walk > 0 && static_cast<unsigned long long>(walk) < room && (step = NextChunk(walk, read, sawData)) == Chunk::Go) {
    }
    if (!IsRmvb(head) || sawData) {
        // A data chunk said to run past the device: the file was cut there.
        size = step == Chunk::Wait && sawData ? room : static_cast<unsigned long long>(std::max<long long>(walk, 0));
        info.m_eRawFileType = IsRmvb(head) ? kRmvbType : kRmType;
    } else {
        unsigned long long offset = 0;
        for (; offset <= kRmvbLimit && offset < room; offset += ss) {
            const unsigned char* p = file.Fetch(offset, static_cast<std::size_t>(ss));
            if (!p) break;
            if (p[ss - 1] | p[ss - 2] | p[ss - 3] | p[ss - 4]) continue;
            if (const long long at = FindEndMarker(Bytes(p, ss)); at >= 0) {
                size = offset + static_cast<unsigned long long>(at) + 20;
                break;
            }
            // A marker across the border with the previous sector.
            if (offset >= 32) {
                const unsigned char* q = file.Fetch(offset - 32, 64);
                if (const long long at = q ? FindEndMarker(Bytes(q, 64)) : -1; at >= 0) {
                    size = offset - 32 + static_cast<unsigned long long>(at) + 20;
                    break;
                }
            }
        }
        if (size == 0) {
            if (offset > kRmvbLimit)
                size = kRmvbLimit;
            else if (offset > ss)
                size = offset - ss;
        }
        info.m_eRawFileType = kRmvbType;
    }
    if (size == 0) return 0;
    info.m_ullFileSize = std::min(size, room);
    return 1;
}

namespace Orvex {

RM_RMVBRawFileInfo::RM_RMVBRawFileInfo(IRawFileAnalyser* classic) : CPartneredRawFileInfo(classic) {
    m_eRawFileType = FileRM_RMVBAnalyser::kRmType;
}

bool RM_RMVBRawFileInfo::bContinue(int sectorBytes, long long sectorNumber, const SearchContext& context) {
    const long long base = (sectorNumber - m_llStartSector) * sectorBytes;
    if (base >= 10 * m_llLimit) return false;
    if (sectorNumber == m_llStartSector) {
        const Bytes head = BruteForce::HeldBytes(context, sectorNumber, sectorBytes, 0, 1024);
        if (head.empty()) return false;
        m_bVideo = FileRM_RMVBAnalyser::IsRmvb(head);
    }
    if (!m_bRM) return GetRMVBFileSize(sectorBytes, sectorNumber, context);
    const bool more = GetRMFileSize(sectorBytes, sectorNumber, context);
    if (more || !m_bVideo || m_bSawData) return more;
    // No sized data chunk: the end marker ends the video file.
    m_bRM = 0;
    return true;
}

bool RM_RMVBRawFileInfo::GetRMFileSize(int sectorBytes, long long sectorNumber,
                                       const SearchContext& context) {
    const long long base = (sectorNumber - m_llStartSector) * sectorBytes;
    if (base >= 20 * m_llLimit) return false;
    if (sectorNumber == m_llStartSector) m_llWalk = bytes::Be32(context.m_Window.At(0, 8), 4);
    m_llCovered = base + sectorBytes;
    const long long held = (context.m_llWindowEnd - sectorNumber) * sectorBytes;
    bool lost = false;
    const auto read = [&](long long offset, std::size_t n) {
        const Bytes b = BruteForce::HeldBytes(context, sectorNumber, sectorBytes, offset - base, n);
        if (b.empty() && offset - base + static_cast<long long>(n) <= held) lost = true;
        return b;
    };
    // Each chunk moves the walk on by at least 1 byte, or jumps forward.
    while (m_llWalk < base + sectorBytes) {
        const Chunk step = NextChunk(m_llWalk, read, m_bSawData);
        if (step == Chunk::Go) continue;
        return step == Chunk::Wait && !lost;
    }
    return true;
}

bool RM_RMVBRawFileInfo::GetRMVBFileSize(int sectorBytes, long long sectorNumber,
                                         const SearchContext& context) {
    const long long base = (sectorNumber - m_llStartSector) * sectorBytes;
    if (base >= 20 * m_llLimit) return false;
    m_llCovered = base + sectorBytes;
    if (context.m_nTrailingZero < 8) {
        const Bytes around = BruteForce::HeldBytes(context, sectorNumber, sectorBytes, sectorBytes - 32, 64);
        const long long beyond = (context.m_llWindowEnd - sectorNumber - 1) * sectorBytes;
        if (beyond < 50 || around.empty()) return false;
        if (const long long at = FileRM_RMVBAnalyser::FindEndMarker(around); at >= 0) {
            // The marker is the file's last bytes, wherever the border cuts it.
            m_llWalk = base + sectorBytes - 32 + at + 20;
            return false;
        }
        return true;
    }
    const Bytes whole = context.m_Window.At(0, static_cast<std::size_t>(sectorBytes));
    if (const long long at = FileRM_RMVBAnalyser::FindEndMarker(whole); at >= 0) {
        m_llWalk = base + at + 20;
        return false;
    }
    return true;
}

int RM_RMVBRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                                    SearchContext& context) {
    if (!sector) return 1;
    if (sectorBytes <= 0 || sectorNumber < m_llStartSector) return 2;
    const long long base = (sectorNumber - m_llStartSector) * sectorBytes;
    if (base + sectorBytes < m_llWalk || bContinue(sectorBytes, sectorNumber, context)) return 2;
    if (m_llWalk <= 0) {
        m_ullFileSize = 0;
        return 1;
    }
    const long long size = base < 20 * m_llLimit ? m_llWalk : m_llLimit;
    m_eRawFileType = m_bVideo ? FileRM_RMVBAnalyser::kRmvbType : FileRM_RMVBAnalyser::kRmType;
    return Settle(static_cast<unsigned long long>(size), sectorNumber, "_");
}

} // namespace Orvex
