#include "engine/carver/analysers/ChainAnalysers.h"

#include "engine/carver/RawFileAnalyserList.h"
#include "engine/carver/RawFileBuffer.h"
#include "engine/carver/analysers/StreamTail.h"
#include "engine/carver/analysers/StreamView.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <strings.h>
#include <vector>

namespace {

bytes::Bytes FetchBytes(RawFileBuffer& file, unsigned long long offset, std::size_t n) {
    const unsigned char* p = file.Fetch(offset, n);
    return p ? bytes::Bytes(p, n) : bytes::Bytes{};
}

bool IsTrack(bytes::Bytes b) { return b.size() >= 4 && strncasecmp(reinterpret_cast<const char*>(b.data()), "MTrk", 4) == 0; }

// What a MIDI file's chunk header is.
enum class MidiChunk {
    Track,   // "MTrk", one of those the header counts
    Extra,   // "MTrk" past the counted ones, or another chunk on a sector's first byte: one only if
             // it closes with an end-of-track event
    Other,   // another chunk of the file (a karaoke or XF chunk): four letters or digits, not too long
    NotMine, // the file has ended before it
};

constexpr unsigned long long kOtherChunkLimit = 1 << 20;

// Zeros after a sector handed to the registry, as the carver's buffer has.
constexpr std::size_t kSectorMargin = 4096;

bool AnotherFileStarts(bytes::Bytes sector) {
    if (sector.empty()) return false;
    std::vector<unsigned char> copy(sector.size() + kSectorMargin, 0);
    std::memcpy(copy.data(), sector.data(), sector.size());
    return CRawFileAnalyserListSingle::CreateInstance()->StartsFile(copy.data(), sector.size());
}

// `sector`: the whole sector when the chunk begins one, else empty.
MidiChunk JudgeChunk(bytes::Bytes chunk, unsigned tracks, unsigned counted, bytes::Bytes sector) {
    if (chunk.size() < 8) return MidiChunk::NotMine;
    MidiChunk kind = MidiChunk::Extra;
    if (IsTrack(chunk)) {
        if (counted == 0 || tracks < counted) return MidiChunk::Track;
    } else {
        // Another header chunk starts another file.
        if (std::memcmp(chunk.data(), "MThd", 4) == 0) return MidiChunk::NotMine;
        for (std::size_t i = 0; i < 4; ++i)
            if (!std::isalnum(chunk[i])) return MidiChunk::NotMine;
        if (bytes::Be32(chunk, 4) > kOtherChunkLimit) return MidiChunk::NotMine;
        kind = MidiChunk::Other;
    }
    if (sector.empty()) return kind;
    // Past the counted tracks, a chunk on a sector's first byte may be the
    // start of the file stored after this one ("FORM" of an AIFF, "8BPS" of
    // a PSD, "fLaC", "caff", "OTTO" of kinds not carved): a MIDI of whole
    // sectors is often followed by one. It is this file's own only as an XF
    // chunk, or when it closes with an end of track as a track does.
    if (AnotherFileStarts(sector)) return MidiChunk::NotMine;
    return kind == MidiChunk::Other && std::memcmp(chunk.data(), "XF", 2) != 0 ? MidiChunk::Extra : kind;
}

bool ClosesTrack(bytes::Bytes last3) { return last3.size() == 3 && last3[0] == 0xFF && last3[1] == 0x2F && last3[2] == 0; }

// 27 header bytes, the segment table and the segments.
unsigned long long OggPageBytes(bytes::Bytes page, unsigned segments) {
    unsigned long long n = 27 + segments;
    for (unsigned i = 0; i < segments; ++i) n += page[27 + i];
    return n;
}

bool IsOggPage(bytes::Bytes b) { return b.size() >= 27 && std::memcmp(b.data(), "OggS", 4) == 0; }

// Whether a whole page's checksum (at 22, taken over the page with that field
// as zeros) holds: random bytes after a stream's last page that begin with
// "OggS" are no page.
bool OggChecksumHolds(bytes::Bytes page) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t r = i << 24;
            for (int k = 0; k < 8; ++k) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
            t[i] = r;
        }
        return t;
    }();
    std::uint32_t crc = 0;
    for (std::size_t i = 0; i < page.size(); ++i) {
        const unsigned char c = i >= 22 && i < 26 ? 0 : page[i];
        crc = (crc << 8) ^ table[((crc >> 24) ^ c) & 0xFF];
    }
    return page.size() >= 27 && crc == bytes::Le32(page, 22);
}

} // namespace

// ---- MIDI -------------------------------------------------------------------

int FileMIDAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const bytes::Bytes head(sector, 12);
    if (bytes::Be32(head, 4) != 6 || bytes::Be16(head, 8) > 2 || bytes::Be16(head, 10) == 0) return 0;
    info.m_eRawFileType = kMidType;
    return 1;
}

int FileMIDAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (!device || record.m_llStartSector < 0) return 0;
    RawFileBuffer file(device, static_cast<unsigned long long>(record.m_llStartSector));
    // No more tracks than the header counts.
    const unsigned count = bytes::Be16(FetchBytes(file, 0, 14), 10);
    const unsigned long long room = BruteForce::DeviceRoom(device, record.m_llStartSector);
    unsigned long long offset = 14;
    const unsigned ss = file.GetSectorSize();
    for (unsigned tracks = 0; offset <= kDeviceLimit;) {
        const bool aligned = ss && offset % ss == 0;
        const bytes::Bytes whole = aligned ? FetchBytes(file, offset, ss) : bytes::Bytes{};
        const bytes::Bytes chunk =
            aligned ? whole.first(std::min<std::size_t>(whole.size(), 8)) : FetchBytes(file, offset, 8);
        const MidiChunk kind = JudgeChunk(chunk, tracks, count, whole);
        if (kind == MidiChunk::NotMine) break;
        const unsigned long long next = offset + std::uint64_t{bytes::Be32(chunk, 4)} + 8;
        if (kind != MidiChunk::Track && next > room) break;
        if (kind == MidiChunk::Extra && (next < offset + 11 || !ClosesTrack(FetchBytes(file, next - 3, 3)))) break;
        if (kind != MidiChunk::Other) ++tracks;
        offset = next;
    }
    // The file ends with its last track, inside its last sector: what follows
    // there is another file's or old data.
    record.m_ullFileSize = std::min(std::min(offset, kDeviceLimit), BruteForce::DeviceRoom(device, record.m_llStartSector));
    record.m_eRawFileType = kMidType;
    return 1;
}

namespace RawSpeed {

int MIDRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                                SearchContext& ctx) {
    if (!sector || sectorBytes <= 0 || sectorNumber < m_llStartSector) return 2;
    const BruteForce::CStreamView view(*this, sectorBytes, sectorNumber, ctx);
    const long long r = static_cast<long long>(view.Before());
    if (m_nTrackCount == 0) m_nTrackCount = bytes::Be16(view.At(0, 12), 10);
    // A chunk said to run past the limit ends the file at the limit.
    if (r > m_llLimit) {
        const long long end = m_llProven >= 0 ? m_llProven : m_llNextChunk;
        return Settle(static_cast<unsigned long long>(std::min(end, m_llLimit)), sectorNumber, "_");
    }
    // Chunk headers up to 8 bytes past this sector are read here, but only
    // from bytes the device gave: one past the current block waits.
    const unsigned long long room = BruteForce::WindowRoom(ctx, r);
    while (m_llNextChunk <= r + sectorBytes + 8) {
        const unsigned long long at = static_cast<unsigned long long>(m_llNextChunk);
        const bool aligned = at % static_cast<unsigned>(sectorBytes) == 0;
        if (!view.Ready(at, aligned ? static_cast<std::size_t>(sectorBytes) : 8)) return 2;
        const bytes::Bytes chunk = view.At(at, 8);
        if (chunk.empty()) return 1; // no longer held: the classic partner sizes it
        if (m_llProven >= 0) {
            // The track before this header was past the counted ones.
            const bytes::Bytes last = view.At(at - 3, 3);
            if (last.empty()) return 1;
            if (!ClosesTrack(last)) return Settle(static_cast<unsigned long long>(m_llProven), sectorNumber, "_");
            m_llProven = -1;
        }
        const MidiChunk kind = JudgeChunk(chunk, m_nTracks, m_nTrackCount,
                                          aligned ? view.At(at, static_cast<std::size_t>(sectorBytes)) : bytes::Bytes{});
        const unsigned long long next = at + std::uint64_t{bytes::Be32(chunk, 4)} + 8;
        if (kind == MidiChunk::NotMine || (kind != MidiChunk::Track && next > room) ||
            (kind == MidiChunk::Extra && next < at + 11))
            return Settle(at, sectorNumber, "_");
        if (kind == MidiChunk::Extra) m_llProven = static_cast<long long>(at);
        if (kind != MidiChunk::Other) ++m_nTracks;
        m_llNextChunk = static_cast<long long>(next);
    }
    return 2;
}

} // namespace RawSpeed

// ---- Ogg --------------------------------------------------------------------

int CFileOggAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    info.m_eRawFileType = kOggType;
    return 1;
}

int CFileOggAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (!device || record.m_llStartSector < 0) return 0;
    RawFileBuffer file(device, static_cast<unsigned long long>(record.m_llStartSector));
    const unsigned long long room = BruteForce::DeviceRoom(device, record.m_llStartSector);
    unsigned long long offset = 0;
    while (offset <= kDeviceLimit) {
        const bytes::Bytes head = FetchBytes(file, offset, 27);
        if (!IsOggPage(head)) break;
        const unsigned segments = head[26];
        const bytes::Bytes page = FetchBytes(file, offset, 27 + segments);
        if (page.empty()) break;
        const unsigned long long length = OggPageBytes(page, segments);
        // Pages after the first must be whole pages on the device (one the
        // reader cannot hold at once is taken as it is).
        if (offset > 0) {
            if (offset + length > room) break;
            const bytes::Bytes whole = FetchBytes(file, offset, static_cast<std::size_t>(length));
            if (!whole.empty() && !OggChecksumHolds(whole)) break;
        }
        offset += length;
    }
    record.m_ullFileSize = std::min({offset, kDeviceLimit, room});
    record.m_eRawFileType = kOggType;
    return 1;
}

namespace Orvex {

long long OGGRawFileInfo::m_i64OggStartSec = -1;

int OGGAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector || OGGRawFileInfo::m_i64OggStartSec >= 0) return 0;
    info.m_eRawFileType = CFileOggAnalyser::kOggType;
    return 1;
}

void OGGRawFileInfo::ReleaseGuard() {
    if (m_i64OggStartSec >= 0 && m_i64OggStartSec == m_llStartSector) m_i64OggStartSec = -1;
}

void OGGRawFileInfo::WillBeRemove(unsigned char* sector, long long sectorNumber) {
    ReleaseGuard();
    CPartneredRawFileInfo::WillBeRemove(sector, sectorNumber);
}

int OGGRawFileInfo::Finish(unsigned long long size, long long sectorNumber) {
    ReleaseGuard();
    if (size == 0) {
        m_ullFileSize = 0;
        return 1;
    }
    m_eRawFileType = CFileOggAnalyser::kOggType;
    return Settle(size, sectorNumber, "_");
}

int OGGRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& ctx) {
    if (!sector || sectorBytes <= 0 || sectorNumber < m_llStartSector) return Finish(0, sectorNumber);
    if (sectorNumber == m_llStartSector && m_i64OggStartSec < 0) m_i64OggStartSec = sectorNumber;
    const BruteForce::CStreamView view(*this, sectorBytes, sectorNumber, ctx);
    if (m_ullWalk > 0 && view.Covered() < m_ullWalk) return 2;
    const bool pastLimit = view.Before() >= 10 * m_ullLimit;
    for (unsigned pages = 0; !pastLimit && pages <= 512; ++pages) {
        if (m_ullWalk >= view.Covered()) return 2;
        // The page header and its segment table are read whole, so one
        // running past the current block waits for the next step.
        if (!view.Ready(m_ullWalk, 27 + 255)) return 2;
        const bytes::Bytes page = view.At(m_ullWalk, 27 + 255);
        if (page.empty()) return Finish(0, sectorNumber); // no longer held: the classic partner sizes it
        if (!IsOggPage(page) || page[26] == 0) break;
        const unsigned long long length = OggPageBytes(page, page[26]);
        // Pages after the first must be whole pages; one running past the
        // current block is checked in a later step.
        if (m_ullWalk > 0) {
            if (!view.Ready(m_ullWalk, length)) return 2;
            const bytes::Bytes whole = view.At(m_ullWalk, length);
            if (whole.empty()) return Finish(0, sectorNumber);
            if (!OggChecksumHolds(whole)) break;
        }
        m_ullWalk += length;
    }
    return Finish(pastLimit ? m_ullLimit : m_ullWalk, sectorNumber);
}

} // namespace Orvex

// ---- FLV --------------------------------------------------------------------

namespace Orvex {

bool FlvTagWalk::Step(bytes::Bytes field, unsigned long long& pos) {
    const long long prev = bytes::Be32(field, 0);
    if (prev == std::max<long long>(lastSize, 1)) {
        pos += 4;
        return true;
    }
    const long long size = bytes::Be32(field, 4) & 0xFFFFFF;
    const unsigned type = bytes::U8(field, 4);
    // Every tag carries a stream id of 0: bytes after the last tag that only
    // happen to hold a tag type are not one more tag.
    const bool streamZero = bytes::Has(field, 12, 3) && (bytes::Be32(field, 11) & 0xFFFFFF) == 0;
    if ((type != 8 && type != 9 && type != 18) || !streamZero) {
        pos += 4;
        return true;
    }
    if (prev == expected) {
        expected = size + 11;
    } else if (expected != 0) {
        // A previous-tag size that does not fit: the file ends after this tag.
        pos += static_cast<unsigned long long>(size) + 15;
        return true;
    } else {
        expected = prev;
    }
    lastSize = size;
    pos += static_cast<unsigned long long>(size) + 15;
    return false;
}

} // namespace Orvex

int FileFLVAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector || std::memcmp(sector, "FLV", 3) != 0) return 0;
    info.m_eRawFileType = kFlvType;
    return 1;
}

int FileFLVAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (!device || record.m_llStartSector < 0) return 0;
    RawFileBuffer file(device, static_cast<unsigned long long>(record.m_llStartSector));
    const bytes::Bytes head = FetchBytes(file, 0, 13);
    if (head.empty() || head[3] != 1 || bytes::Be32(head, 9) != 0) return 0;
    Orvex::FlvTagWalk walk;
    unsigned long long pos = 9;
    while (pos <= kDeviceLimit) {
        // The previous-tag size and the next tag's header; near the device's
        // end only the size may be there, and no tag follows it.
        bytes::Bytes field = FetchBytes(file, pos, 15);
        if (field.empty()) field = FetchBytes(file, pos, 4);
        if (field.empty() || walk.Step(field, pos)) break;
    }
    record.m_ullFileSize = std::min({pos, kDeviceLimit, BruteForce::DeviceRoom(device, record.m_llStartSector)});
    record.m_eRawFileType = kFlvType;
    return 1;
}

namespace Orvex {

int FLVRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& ctx) {
    if (!sector || sectorBytes <= 0 || sectorNumber < m_llStartSector) return 1;
    const BruteForce::CStreamView view(*this, sectorBytes, sectorNumber, ctx);
    if (sectorNumber == m_llStartSector) {
        const bytes::Bytes head = view.At(0, 13);
        if (head.empty() || head[3] != 1 || bytes::Be32(head, 9) != 0) return 1;
        m_ullWalk = 9;
    }
    if (view.Covered() < m_ullWalk) return 2;
    const bool pastLimit = view.Before() >= 10 * m_ullLimit;
    bool ended = pastLimit;
    for (unsigned tags = 0; !ended; ++tags) {
        if (tags > 1024) break;
        if (m_ullWalk >= view.Covered()) return 2;
        if (!view.Ready(m_ullWalk, 15)) return 2;
        const bytes::Bytes field = view.At(m_ullWalk, 15);
        if (field.empty()) {
            m_ullFileSize = 0;
            return 1; // no longer held: the classic partner sizes it
        }
        ended = m_walk.Step(field, m_ullWalk);
    }
    return Settle(pastLimit ? m_ullLimit : m_ullWalk, sectorNumber, "_");
}

} // namespace Orvex
