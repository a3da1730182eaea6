#include "engine/carver/analysers/MpegStreamAnalysers.h"

#include "engine/carver/RawFileBuffer.h"
#include "engine/carver/analysers/PictureWindow.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

using bytes::Bytes;

bool AllFF(Bytes b, std::size_t at) {
    return std::all_of(b.begin() + static_cast<std::ptrdiff_t>(at),
                       b.begin() + static_cast<std::ptrdiff_t>(at + 8),
                       [](unsigned char c) { return c == 0xFF; });
}

// The 13-bit packet identifier after a sync byte.
unsigned Pid(const std::array<unsigned char, 4>& header) {
    return static_cast<unsigned>(header[1] & 0x1F) << 8 | header[2];
}

bool IsPayloadStart(unsigned char c) {
    return c == 0x40 || c == 0x41 || c == 0x10 || c == 0x50;
}

bool Is(Bytes b, std::size_t at, std::initializer_list<unsigned char> want) {
    return bytes::Has(b, at, want.size()) &&
           std::equal(want.begin(), want.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
}

// Bytes 4..7 of a first pack that the program-stream analysers accept.
bool KnownPackStart(Bytes head) {
    static constexpr std::uint32_t kStarts[] = {0x21000100, 0x2100716F, 0x21000109, 0x44002C48,
                                                0x44000400, 0x44000404, 0x2FFFFF13};
    if (!bytes::Has(head, 0, 8)) return false;
    const std::uint32_t start = bytes::Be32(head, 0);
    if (start != 0x000001BA && start != 0x000001B3) return false;
    return std::find(std::begin(kStarts), std::end(kStarts), bytes::Be32(head, 4)) != std::end(kStarts);
}

// The kind of a pack header from its byte 4: 1 MPEG-1, 2 MPEG-2, 0 neither.
unsigned PackKind(Bytes pack) {
    if (!bytes::Has(pack, 4, 1)) return 0;
    if ((pack[4] & 0xF0) == 0x20) return 1;
    return (pack[4] & 0xC0) == 0x40 ? 2 : 0;
}

// The 33-bit system clock reference of a pack header (its base, in 90 kHz
// ticks), or -1 when the header is not whole.
long long PackClock(Bytes pack) {
    const unsigned kind = PackKind(pack);
    if (!bytes::Has(pack, 4, 6) || kind == 0) return -1;
    const auto b = [&](std::size_t i) { return static_cast<long long>(pack[4 + i]); };
    if (kind == 1)
        return (b(0) >> 1 & 7) << 30 | b(1) << 22 | (b(2) >> 1) << 15 | b(3) << 7 | b(4) >> 1;
    return (b(0) >> 3 & 7) << 30 | (b(0) & 3) << 28 | b(1) << 20 | (b(2) >> 3) << 15 | (b(2) & 3) << 13 |
           b(3) << 5 | b(4) >> 3;
}

// Bytes of a pack header of this kind before its packet (an MPEG-2 header
// also carries its stuffing), or 0 when they are not at hand.
std::size_t PackHeaderBytes(Bytes pack) {
    const unsigned kind = PackKind(pack);
    if (kind == 1) return 12;
    if (kind != 2 || !bytes::Has(pack, 13, 1)) return 0;
    return 14 + (pack[13] & 7);
}

} // namespace

namespace BruteForce {

// ---- transport streams ------------------------------------------------------

int CM2TSAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector || m_following->g_s_bNewM2TSFile) return 0;
    const Bytes h = info.WindowAt(sector).At(0, 208);
    if (h.empty()) return 0;
    if (h[4] == 0x47 && IsPayloadStart(h[5])) {
        if (h[196] != 0x47 || AllFF(h, 8) || AllFF(h, 200)) return 0;
        m_nHeaderOffset = 192;
    } else if (h[0] == 0x47 && IsPayloadStart(h[1])) {
        if (h[188] != 0x47 || AllFF(h, 8) || AllFF(h, 196)) return 0;
        m_nHeaderOffset = 188;
    } else {
        return 0;
    }
    info.m_eRawFileType = kM2tsType;
    return 1;
}

CRawFileInfo* CM2TSAnalyser::CreateRawFileInfo() {
    m_following->g_s_bNewM2TSFile = true;
    return new CM2TSFileInfo(m_following, m_nHeaderOffset);
}

CM2TSAnalyser::CM2TSFileInfo::CM2TSFileInfo(std::shared_ptr<Following> following, int packetBytes)
    : m_nHeaderOffset(packetBytes == 192 ? 192 : 188), m_llNextSync(packetBytes == 192 ? 4 : 0),
      m_llFirstSync(m_llNextSync), m_lastCounter(kPids, -1), m_following(std::move(following)) {
    m_eRawFileType = kM2tsType;
}

void CM2TSAnalyser::CM2TSFileInfo::LetGo() {
    if (m_bHolder && m_following) m_following->g_s_bNewM2TSFile = false;
    m_bHolder = false;
}

void CM2TSAnalyser::CM2TSFileInfo::Hold(Bytes header) {
    Header h;
    if (header.size() >= 4) {
        std::copy(header.begin(), header.begin() + 4, h.bytes.begin());
        h.seen = true;
    }
    m_unproven.push_back(h);
    if (m_unproven.size() > kUnproven) {
        Learn(m_unproven.front());
        m_unproven.pop_front();
    }
}

void CM2TSAnalyser::CM2TSFileInfo::Learn(const Header& h) {
    if (!h.seen) return;
    m_lastCounter[Pid(h.bytes)] = static_cast<signed char>(h.bytes[3] & 0x0F);
    m_bLearned = true;
}

bool CM2TSAnalyser::CM2TSFileInfo::ContinuesStream(const Header& h) const {
    // A header out of sight, or a stream nothing was learned from, cannot be told apart.
    if (!h.seen || !m_bLearned) return true;
    const bool error = h.bytes[1] & 0x80;
    const bool reservedField = (h.bytes[3] & 0x30) == 0;
    if (error || reservedField) return false;
    const unsigned pid = Pid(h.bytes);
    // Null packets are stuffing, first seen where a Blu-ray stream pads its
    // last aligned unit of 32 packets.
    if (pid == kNullPid) return true;
    const int before = m_lastCounter[pid];
    if (before < 0) return false; // a PID the stream never carried
    // The counter follows its PID's last packet: the next value, or the same
    // one (a repeated packet, or one without payload).
    const int counter = h.bytes[3] & 0x0F;
    return counter == before || counter == ((before + 1) & 0x0F);
}

unsigned long long CM2TSAnalyser::CM2TSFileInfo::Unproven() {
    for (std::size_t i = 0; i < m_unproven.size(); ++i) {
        if (!ContinuesStream(m_unproven[i])) return m_unproven.size() - i;
        Learn(m_unproven[i]);
    }
    return 0;
}

int CM2TSAnalyser::CM2TSFileInfo::End() {
    LetGo();
    // Nothing is carved: answered as finished, so the carver lets the record go.
    if (m_ullFileSize < kMinSize) m_ullFileSize = 0;
    return 1;
}

int CM2TSAnalyser::CM2TSFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                                              SearchContext& context) {
    if (sectorBytes < 1) return 1;
    if (!sector || sectorNumber < m_llStartSector) return 2;
    const long long base = (sectorNumber - m_llStartSector) * sectorBytes;
    const unsigned long long packet = static_cast<unsigned>(m_nHeaderOffset);
    while (m_llNextSync < base + sectorBytes) {
        // A sync byte in a sector the record was not shown is read back
        // from the window, or the chain counts as broken.
        const Bytes sync = context.m_Window.At(m_llNextSync - base, 1);
        const long long last = m_llNextSync - m_nHeaderOffset; // sync byte of the packet before
        if (last >= m_llFirstSync) Hold(context.m_Window.At(last - base, 4));
        if (sync.empty() || sync[0] != 0x47) {
            // Bytes past the stream that merely hold sync bytes at the
            // stride are not more packets: the last ones must carry on the
            // stream's PIDs and counters.
            m_ullFileSize += static_cast<unsigned long long>(m_nPackets) * packet;
            m_ullFileSize -= Unproven() * packet;
            return End();
        }
        if (++m_nPackets == 32) {
            m_nPackets = 0;
            m_ullFileSize += 32 * packet;
            if (m_ullFileSize > kSizeCap) {
                m_ullFileSize = kSizeCap;
                LetGo();
                return 1;
            }
        }
        m_llNextSync += m_nHeaderOffset;
    }
    return 2;
}

} // namespace BruteForce

// ---- program streams --------------------------------------------------------

void MpegPsWalk::Begin(Bytes head) {
    const std::uint32_t v = bytes::Be32(head, 4);
    m_llHeaderLength = v == 0x44000400 || v == 0x44000404 || v == 0x44001480 || v == 0x44002C48 ? 14 : 12;
    m_nKind = bytes::Be32(head, 0) == 0x000001BA ? PackKind(head) : 0;
}

bool MpegPsWalk::BeginsAnew(Bytes pack) const {
    if (!bytes::Has(pack, 0, 4) || bytes::Be32(pack, 0) != 0x000001BA) return false;
    const unsigned kind = PackKind(pack);
    if (m_nKind && kind && kind != m_nKind) return true;
    const std::size_t header = PackHeaderBytes(pack);
    const long long clock = PackClock(pack);
    return header && clock >= 0 && m_llLastClock >= 0 && clock < m_llLastClock &&
           bytes::Has(pack, header, 4) && bytes::Be32(pack, header) == 0x000001BB;
}

MpegPsWalk::Step MpegPsWalk::Next(const Reader& read) {
    const Bytes four = read(m_llWalk, 4);
    if (four.empty()) return Step::Wait;
    const std::uint32_t code = bytes::Be32(four, 0);
    if (code == 0x000001B3 || code == 0x000001BA) {
        long long clock = -1;
        if (code == 0x000001BA) {
            // A stream that begins anew right after this one is not its
            // next pack: this one ends before it.
            const Bytes pack = read(m_llWalk, 25); // header, stuffing and the next start code
            if (pack.empty()) return Step::Wait;
            if (m_llWalk > 0 && BeginsAnew(pack)) return Step::End;
            clock = PackClock(pack);
        }
        m_llZeroRun = 0;
        m_bSteppedBack = false;
        if (clock >= 0) m_llLastClock = clock;
        const long long packet = m_llWalk + m_llHeaderLength;
        const Bytes head = read(packet, 6);
        if (head.empty()) return Step::Wait;
        const std::uint16_t length = bytes::Be16(head, 4);
        m_nLastLength = length;
        // A pack's packet starts with a start code: random bytes after the
        // stream that only begin with a pack code end it before them.
        if (!Is(head, 0, {0x00, 0x00, 0x01})) return Step::End;
        if (bytes::Be32(head, 0) != 0x000001BB) {
            m_llWalk += length ? m_llHeaderLength + length + 6 : 4;
            return Step::Go;
        }
        // A system header: the packet after it must start a packet too.
        const long long follower = packet + length + 6;
        const Bytes next = read(follower, 6);
        if (next.empty()) return Step::Wait;
        m_llWalk = follower;
        if (!Is(next, 0, {0x00, 0x00, 0x01})) return Step::GiveUp;
        const std::uint16_t length2 = bytes::Be16(next, 4);
        m_nLastLength = length2;
        m_llWalk += length2 ? length2 + 6 : 4;
        return Step::Go;
    }
    if (code != 0 && code != 1) {
        m_llZeroRun = 0;
        if (code == 0x000001B9) {
            m_llWalk += 4;
            return Step::EndCode;
        }
        if (Is(four, 0, {0x00, 0x00, 0x01})) {
            m_bSteppedBack = false;
            const Bytes head = read(m_llWalk, 6);
            if (head.empty()) return Step::Wait;
            const std::uint16_t length = bytes::Be16(head, 4);
            m_nLastLength = length;
            m_llWalk += length ? length + 6 : 4;
            return Step::Go;
        }
        // A start code may sit two bytes back once; a second miss ends the
        // stream where the last packet ended (that packet is the stream's).
        if (++m_llMisses == 1 && m_llWalk >= 2) {
            m_llWalk -= 2;
            m_bSteppedBack = true;
            return Step::Go;
        }
        if (m_bSteppedBack) m_llWalk += 2;
        return Step::End;
    }
    m_bSteppedBack = false;
    ++m_llWalk;
    return ++m_llZeroRun >= kZeroRunLimit ? Step::Zeros : Step::Go;
}

int FileMPGAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector || !KnownPackStart(info.WindowAt(sector).At(0, 8))) return 0;
    info.m_eRawFileType = kMpgType;
    return 1;
}

int FileMPGAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
    if (!device || info.m_llStartSector < 0) return 0;
    const unsigned long long start = static_cast<unsigned long long>(info.m_llStartSector);
    const unsigned long long total = device->GetTotalSectors();
    if (start >= total) return 0;
    const unsigned long long room = (total - start) * device->GetSectorSize();
    RawFileBuffer file(device, start);
    const unsigned char* first = file.Fetch(0, 8);
    if (!first || !KnownPackStart(Bytes(first, 8))) return 0;
    MpegPsWalk walk;
    walk.Begin(Bytes(first, 8));
    const MpegPsWalk::Reader read = [&](long long offset, std::size_t n) {
        const unsigned char* p =
            offset >= 0 ? file.Fetch(static_cast<unsigned long long>(offset), n) : nullptr;
        return p ? Bytes(p, n) : Bytes();
    };
    unsigned long long size = 0;
    for (;;) {
        if (static_cast<unsigned long long>(walk.m_llWalk) > kDeviceLimit) {
            size = static_cast<unsigned long long>(walk.m_llWalk);
            break;
        }
        const MpegPsWalk::Step step = walk.Next(read);
        if (step == MpegPsWalk::Step::Go) continue;
        if (step == MpegPsWalk::Step::GiveUp && walk.m_llWalk < 102400) return 0;
        // The run of zeros is not the stream's: it ends where they begin.
        // Otherwise it ends with its last packet (or its end code): the
        // bytes after it in that sector are not its own.
        size = static_cast<unsigned long long>(step == MpegPsWalk::Step::Zeros ? walk.m_llWalk - walk.m_llZeroRun
                                                                                : walk.m_llWalk);
        break;
    }
    info.m_ullFileSize = std::min(size, room);
    info.m_eRawFileType = kMpgType;
    return info.m_ullFileSize > 0 ? 1 : 0;
}

namespace Orvex {

int MPGAnalyser::AnalyseBufferEx(unsigned char* sector, CRawFileInfo& info, long long, long long sectorNumber,
                                 long long, long long) {
    if (m_llLastStart >= 0 && sectorNumber >= m_llLastStart && sectorNumber - m_llLastStart < kMinDistance)
        return 0;
    if (!AnalyseBuffer(sector, info)) return 0;
    m_llLastStart = sectorNumber;
    return 1;
}

MPGRawFileInfo::MPGRawFileInfo(IRawFileAnalyser* classic) : CPartneredRawFileInfo(classic) {
    m_eRawFileType = FileMPGAnalyser::kMpgType;
}

void MPGRawFileInfo::initMPGFileInfoMemValue() {
    m_Walk = MpegPsWalk{};
    m_llCovered = 0;
    m_llSizeLimit = kSizeLimit;
}

bool MPGRawFileInfo::bContinue(int sectorBytes, long long sectorNumber, const SearchContext& context) {
    const long long base = (sectorNumber - m_llStartSector) * sectorBytes;
    if (base >= 10 * m_llSizeLimit) return false;
    if (sectorNumber == m_llStartSector) m_Walk.Begin(context.m_Window.At(0, 8));
    const long long end = base + sectorBytes;
    m_llCovered = end;
    const long long held = (context.m_llWindowEnd - sectorNumber) * sectorBytes;
    bool lost = false;
    const MpegPsWalk::Reader read = [&](long long offset, std::size_t n) {
        const Bytes b = BruteForce::HeldBytes(context, sectorNumber, sectorBytes, offset - base, n);
        // Bytes that should be at hand but are not (a block that could not
        // be read) end the stream; later ones are waited for.
        if (b.empty() && offset - base + static_cast<long long>(n) <= held) lost = true;
        return b;
    };
    for (int steps = 0; m_Walk.m_llWalk < end; ++steps) {
        MpegPsWalk::Step step = steps >= 1024 ? MpegPsWalk::Step::End : m_Walk.Next(read);
        if (step == MpegPsWalk::Step::Wait) {
            if (!lost) return true;
            step = MpegPsWalk::Step::End;
        }
        switch (step) {
        case MpegPsWalk::Step::Go:
            continue;
        case MpegPsWalk::Step::EndCode:
            return false;
        case MpegPsWalk::Step::GiveUp:
            if (m_Walk.m_llWalk <= 0x18FFF) m_Walk.m_llWalk = 0;
            return false;
        case MpegPsWalk::Step::Zeros:
            // The stream ends where the zeros begin.
            m_Walk.m_llWalk -= m_Walk.m_llZeroRun;
            return false;
        default:
            // It ends with its last packet, inside the sector.
            return false;
        }
    }
    return true;
}

int MPGRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                                SearchContext& context) {
    if (!sector) return 1;
    if (sectorBytes <= 0 || sectorNumber < m_llStartSector) return 2;
    if (bContinue(sectorBytes, sectorNumber, context)) return 2;
    if (m_Walk.m_llWalk <= 0) {
        m_ullFileSize = 0;
        return 1;
    }
    const long long base = (sectorNumber - m_llStartSector) * sectorBytes;
    const long long size = base < 10 * m_llSizeLimit ? m_Walk.m_llWalk : m_llSizeLimit;
    m_eRawFileType = FileMPGAnalyser::kMpgType;
    return Settle(static_cast<unsigned long long>(size), sectorNumber, "_");
}

} // namespace Orvex
