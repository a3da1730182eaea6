// The carver's foundation on hostile sectors: the zero-tail record (units 1
// and 4, caps, an end marker), the end-marker search, page fetches at random
// offsets and lengths, the block ring under random adds and reads, and EPS
// acceptance through the scan window. Input: a parameter byte, a 4-byte cap,
// then the device's bytes (whole sectors).
#include "engine/carver/BufferStorageDevice.h"
#include "engine/carver/RawFileBuffer.h"
#include "engine/carver/SearchSignFileAnalyser.h"
#include "engine/carver/analysers/EpsAnalyser.h"
#include "tests/fuzz/FuzzScan.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

struct Input {
    const std::uint8_t* p;
    std::size_t n;
    std::size_t at = 0;
    std::uint32_t Next() { // a few bytes of the input, cycling
        std::uint32_t v = 0;
        for (int i = 0; i < 4 && n; ++i) v = v << 8 | p[at++ % n];
        return v;
    }
};

// Streams the sectors of image from `first` through the record until it finishes.
void Stream(CRawFileInfo& r, std::vector<std::uint8_t>& image, unsigned ss, std::size_t sectors, std::size_t first,
            unsigned long long cap) {
    std::uint64_t shown = 0;
    for (std::size_t s = first; s < sectors; ++s) {
        std::uint8_t* sector = image.data() + s * ss;
        const CRawWindow w(image.data(), image.data() + image.size(), sector, (sectors - s) * ss);
        auto c = CRawFileInfo::SearchContext::For(sector, ss, 0, static_cast<long long>(sectors), &w);
        shown += ss;
        const int result = r.CalcRawSize(sector, static_cast<int>(ss), static_cast<long long>(s), c);
        Check(r.m_ullFileSize <= cap && r.m_ullFileSize <= shown);
        if (result == 1) break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 16) return 0;
    const std::uint8_t flags = data[0];
    const unsigned ss = flags & 1 ? 4096 : 512;
    std::uint32_t cap32;
    std::memcpy(&cap32, data + 1, 4);
    const std::size_t sectors = std::min<std::size_t>((size - 5) / ss, 512);
    if (sectors == 0) return 0;
    // The carver's double buffer: the sectors, then a zero margin.
    std::vector<std::uint8_t> image(data + 5, data + 5 + sectors * ss);
    const std::size_t deviceBytes = image.size();
    image.resize(deviceBytes + 4096, 0);
    Input in{data + 5, size - 5};

    // EPS acceptance at every sector, text hits followed to their end.
    for (std::size_t s = 0; s < sectors; ++s) {
        BruteForce::CEPSAnalyser eps;
        CRawFileInfo blank;
        std::uint8_t* sector = image.data() + s * ss;
        blank.m_Window = CRawWindow(image.data(), image.data() + image.size(), sector, deviceBytes - s * ss);
        if (eps.AnalyseBuffer(sector, blank) != 1) continue;
        Check(blank.m_ullFileSize <= deviceBytes - s * ss);
        std::unique_ptr<CRawFileInfo> r(eps.CreateRawFileInfo());
        if (r->WhetherImplementGuess()) Stream(*r, image, ss, sectors, s, BruteForce::CEPSAnalyser::kTextCap);
    }

    // The zero-tail record with the input's unit, cap and (maybe) marker.
    CZeroEndRawFileInfo zero;
    zero.m_nUnit = flags & 2 ? 4 : 1;
    zero.m_ullMaxSize = cap32;
    if (flags & 4) zero.SetEndMark(data + 1, 1 + (flags >> 4) % 8);
    Stream(zero, image, ss, sectors, 0, cap32);

    // The end-marker search and the page reader on a device of these sectors.
    salvor::fuzz::MemoryDevice device(std::span<const std::uint8_t>(image.data(), deviceBytes), ss, 0);
    SearchSignCodeInfo sign;
    sign.m_nSignLen = 1 + (flags >> 3) % 16;
    for (unsigned i = 0; i < sign.m_nSignLen; ++i) sign.m_szSign[i] = static_cast<unsigned char>(in.Next());
    sign.m_ullMaxSize = cap32 % (deviceBytes * 2 + 1);
    CRawFileInfo record;
    record.m_llStartSector = static_cast<long long>(in.Next() % sectors);
    const unsigned long long limit = sign.m_ullMaxSize ? sign.m_ullMaxSize : SearchSignFileAnalyser::kDefaultLimit;
    Check(SearchSignFileAnalyser::SearchEndSignCode(record, &device, sign, flags & 8) == 1);
    Check(record.m_ullFileSize <= deviceBytes - record.m_llStartSector * ss && record.m_ullFileSize <= limit + ss);

    // Page fetches answer the device's bytes, and always do when they lie inside it.
    const std::uint64_t from = in.Next() % sectors;
    RawFileBuffer reader(&device, from);
    const std::uint64_t fileBytes = deviceBytes - from * ss;
    for (int i = 0; i < 16; ++i) {
        const std::uint64_t offset = in.Next() % (fileBytes + 2 * ss);
        const std::size_t n = 1 + in.Next() % (130 * ss);
        const unsigned char* f = reader.Fetch(offset, n);
        const bool inside = offset <= fileBytes && fileBytes - offset >= n && n <= 128u * ss;
        Check(inside == (f != nullptr));
        if (f) Check(std::memcmp(f, image.data() + from * ss + offset, n) == 0);
        const unsigned char* g = reader.GetRawFileBuffer(offset);
        Check((offset < fileBytes) == (g != nullptr));
        if (g) Check(*g == image[from * ss + offset]);
    }

    // The ring under random adds and reads answers the device's bytes.
    const unsigned perBlock = 1 + in.Next() % 4, blocks = 1 + in.Next() % 5;
    CBufferStorageDevice ring;
    Check(ring.InitBufferDevice(&device, 0, ss, perBlock, blocks));
    std::vector<std::uint8_t> out(ss * 8);
    std::size_t added = 0;
    for (int i = 0; i < 24; ++i) {
        const std::uint32_t op = in.Next();
        if (op % 3 == 0 && (added + 1) * perBlock <= sectors) {
            ring.AddBlockToBuffer(reinterpret_cast<const char*>(image.data() + added * perBlock * ss));
            ++added;
            continue;
        }
        const long long first = static_cast<long long>(op >> 8) % static_cast<long long>(sectors + 2) - 1;
        const long long count = 1 + (op >> 4) % 8;
        const bool inDevice = first >= 0 && first + count <= static_cast<long long>(sectors);
        const int ok = ring.ReadSector(out.data(), first, count);
        Check((ok != 0) == inDevice);
        if (ok) Check(std::memcmp(out.data(), image.data() + first * ss, count * ss) == 0);
    }
    return 0;
}
