#include "tests/fuzz/CarveFamily.h"

#include "tests/fuzz/FuzzScan.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace salvor::fuzz {
namespace {

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

constexpr std::size_t kMaxSectors = 512;
constexpr int kMaxHits = 8;
constexpr std::size_t kMaxShown = 256;

} // namespace

void DriveAnalyser(IRawFileAnalyser& analyser, const std::uint8_t* data, std::size_t size, unsigned long long cap) {
    if (size < 5 + 512) return;
    const unsigned ss = data[0] & 1 ? 4096 : 512;
    std::uint32_t seed;
    std::memcpy(&seed, data + 1, 4);
    const std::size_t sectors = std::min<std::size_t>((size - 5) / ss, kMaxSectors);
    if (sectors == 0) return;
    std::vector<std::uint8_t> image(data + 5, data + 5 + sectors * ss);
    const std::size_t deviceBytes = image.size();
    image.resize(deviceBytes + 4096, 0);
    MemoryDevice device(std::span<const std::uint8_t>(image.data(), deviceBytes), ss, 0);

    int hits = 0;
    for (std::size_t s = 0; s < sectors && hits < kMaxHits; ++s) {
        std::uint8_t* sector = image.data() + s * ss;
        const std::uint64_t room = deviceBytes - s * ss;
        const CRawWindow window(image.data(), image.data() + image.size(), sector, room);
        CRawFileInfo blank;
        blank.m_Window = window;
        const auto context0 = CRawFileInfo::SearchContext::For(sector, ss, 0, static_cast<long long>(sectors), &window);
        int hit;
        if (ISpecialRawFileAnalyser* special = analyser.GetSpecialRawFile())
            hit = special->AnalyseBufferEx(sector, blank, ss, static_cast<long long>(s), context0.m_llWindowStart,
                                           context0.m_llWindowEnd);
        else
            hit = analyser.AnalyseBuffer(sector, blank);
        if (!hit) continue;
        ++hits;
        Check(blank.m_ullFileSize <= cap && blank.m_ullFileSize <= room);
        std::unique_ptr<CRawFileInfo> r(analyser.CreateRawFileInfo());
        if (!r) continue;
        r->m_ullFileSize = blank.m_ullFileSize;
        r->m_eRawFileType = blank.m_eRawFileType;
        r->m_llStartSector = static_cast<long long>(s);
        r->m_pAnalyser = &analyser;
        bool sizeLater = r->m_ullFileSize == 0 && !r->WhetherImplementGuess();
        if (r->m_ullFileSize == 0 && r->WhetherImplementGuess()) {
            // Removed at a point the seed chooses, or shown to its end.
            const std::size_t removeAt = s + (seed >> (hits % 4 * 8) & 0xFF);
            sizeLater = true;
            bool left = false;
            for (std::size_t t = s; t < sectors && t < s + kMaxShown; ++t) {
                std::uint8_t* p = image.data() + t * ss;
                const CRawWindow w(image.data(), image.data() + image.size(), p, deviceBytes - t * ss);
                auto c = CRawFileInfo::SearchContext::For(p, ss, 0, static_cast<long long>(sectors), &w);
                left = true;
                if (t == removeAt) {
                    r->WillBeRemove(p, static_cast<long long>(t));
                    break;
                }
                const int result = r->CalcRawSize(p, static_cast<int>(ss), static_cast<long long>(t), c);
                Check(r->m_ullFileSize <= cap);
                if (result == 1) {
                    sizeLater = r->m_ullFileSize == 0;
                    if (sizeLater) r->WillBeRemove(p, static_cast<long long>(t));
                    break;
                }
                left = false;
            }
            // Still followed at the device's end: the carver's end of scan lets it go.
            if (!left) r->WillBeRemove(nullptr, -1);
            Check(r->m_ullFileSize <= cap);
        }
        // A size the walk reached may pass the device's end (the carver cuts
        // it there); one the analyser gives from the device may not.
        if (sizeLater && r->m_pAnalyser) {
            const int sized = r->m_pAnalyser->GetRawFileSize(*r, &device);
            Check(r->m_ullFileSize <= cap && (!sized || r->m_ullFileSize <= room));
        }
    }
}

} // namespace salvor::fuzz
