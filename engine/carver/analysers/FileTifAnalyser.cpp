#include "engine/carver/analysers/FileTifAnalyser.h"

#include "engine/carver/RawFileBuffer.h"
#include "engine/carver/RawUtility.h"
#include "engine/carver/metadata/ExifReader.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

namespace {

constexpr unsigned kMaxEntries = 512;
constexpr unsigned kMaxSubDirs = 14;
constexpr unsigned kMaxChain = 1024;
constexpr unsigned long long kSmallFile = 1048576;
constexpr unsigned long long kSmallFileCap = 0x2999999;

using tiff::IsJpegStart;
using tiff::TypeBytes;
using tiff::Upper;

} // namespace

unsigned FileTIFAnalyser::TypeByMake(const std::string& make, const std::string& model, bool dng, bool rw2,
                                     unsigned keep) {
    auto has = [](const std::string& text, const char* word) { return text.find(word) != std::string::npos; };
    if (dng) return 88;
    if (has(make, "NIKON")) return 77;
    if (has(make, "CANON")) return 83;
    if (has(make, "SONY")) return has(model, "DSC-R1") ? 84 : 85;
    if (has(make, "PANASONIC")) return !rw2 || has(model, "DMC-") ? 87 : 86;
    if (has(make, "LEICA")) return rw2 ? 86 : keep;
    if (has(make, "KODAK")) return has(model, "DCS Pro SLR") ? 97 : 98;
    if (has(make, "EPSON")) return 100;
    if (has(make, "HASSELBLAD")) return 99;
    if (has(make, "MAMIYA")) return 101;
    if (has(make, "PENTAX")) return 104;
    if (has(make, "SAMSUNG")) return 106;
    if (has(make, "OLYMPUS")) return 107;
    return keep;
}

int FileTIFAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const bytes::Bytes head = info.WindowAt(sector).At(0, 16);
    if (head.empty()) return 0;
    if (std::memcmp(head.data(), "FUJI", 4) == 0 && std::memcmp(head.data() + 4, "FILMCCD-RAW ", 12) != 0) return 0;
    info.m_eRawFileType = kTifType;
    return 1;
}

std::uint32_t FileTIFAnalyser::U32(const unsigned char* p) const {
    return m_bBigEndian ? bytes::Be32(bytes::Bytes(p, 4), 0) : bytes::Le32(bytes::Bytes(p, 4), 0);
}

std::uint16_t FileTIFAnalyser::U16(const unsigned char* p) const {
    return m_bBigEndian ? bytes::Be16(bytes::Bytes(p, 2), 0) : bytes::Le16(bytes::Bytes(p, 2), 0);
}

std::string FileTIFAnalyser::Text(unsigned long long at, std::uint64_t size, const unsigned char* inlineValue) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, 63));
    const unsigned char* p = size > 4 ? m_pBuffer->Fetch(at, n) : inlineValue;
    std::string s;
    for (std::size_t i = 0; p && i < n && p[i]; ++i) s.push_back(static_cast<char>(p[i]));
    return s;
}

std::uint32_t FileTIFAnalyser::LastElement(unsigned type, std::uint32_t count, std::uint32_t value,
                                           unsigned long long base) {
    if (count <= 1) return value;
    const unsigned bytes = TypeBytes(type);
    if (bytes != 2 && bytes != 4) return 0;
    const unsigned char* p = m_pBuffer->Fetch(base + value + std::uint64_t{count - 1} * bytes, bytes);
    if (!p) return 0;
    return bytes == 2 ? U16(p) : U32(p);
}

void FileTIFAnalyser::Tiles(unsigned long long base) {
    if (!m_tileOffsets.count || m_tileOffsets.count != m_tileCounts.count ||
        m_tileOffsets.bytes != m_tileCounts.bytes)
        return;
    if (m_tileOffsets.count == 1) {
        Raise(base + std::uint64_t{m_tileOffsets.offset} + m_tileCounts.offset);
        return;
    }
    // The last tile: the last element of each array.
    const std::uint32_t offset = LastElement(m_tileOffsets.type, m_tileOffsets.count, m_tileOffsets.offset, base);
    const std::uint32_t count = LastElement(m_tileCounts.type, m_tileCounts.count, m_tileCounts.offset, base);
    if (offset && count) Raise(base + std::uint64_t{offset} + count);
}

void FileTIFAnalyser::GetSubIFDSize(unsigned long long dir, unsigned long long base) {
    for (unsigned links = 0; dir && links < kMaxChain; ++links) {
        if (m_nSubDirs + 1 > kMaxSubDirs) return;
        ++m_nSubDirs;
        const unsigned char* countBytes = m_pBuffer->Fetch(dir, 2);
        if (!countBytes) return;
        const unsigned n = U16(countBytes);
        if (n > kMaxEntries) return;
        const unsigned char* entries = n ? m_pBuffer->Fetch(dir + 2, 12 * n + 4) : m_pBuffer->Fetch(dir + 2, 4);
        if (!entries) return;
        unsigned long long jpegOffset = 0;
        for (unsigned e = 0; e < n; ++e) {
            const unsigned char* en = entries + 12 * e;
            const unsigned tag = U16(en), type = U16(en + 2);
            const std::uint32_t count = U32(en + 4), value = U32(en + 8);
            const std::uint64_t size = std::uint64_t{count} * TypeBytes(type);
            if (size > 4) Raise(base + value + size);
            switch (tag) {
            case 0x0111:
            case 0x0201: jpegOffset = base + LastElement(type, count, value, base); break;
            case 0x0117:
            case 0x0202:
                if (jpegOffset) Raise(jpegOffset + LastElement(type, count, value, base));
                break;
            case 0x0144: m_tileOffsets = {value, count, type, TypeBytes(type)}; break;
            case 0x0145:
                m_tileCounts = {value, count, type, TypeBytes(type)};
                Tiles(base);
                break;
            case 0x0280:
            case 0x83BB: Raise(base + value + size); break;
            case 0x8769: GetSubIFDSize(base + value, base); break;
            case 0x9003:
                if (m_strTime.empty()) m_strTime = Text(base + value, size, en + 8);
                break;
            case 0x927C: {
                const unsigned long long noteBase = m_bNikon ? 18 : m_bEpson ? 8 : 0;
                GetSubIFDSize(base + value + noteBase, base + value + noteBase);
                break;
            }
            case 0xC612: m_bDng = true; break;
            default: break;
            }
        }
        const std::uint32_t link = U32(entries + 12 * n);
        const unsigned long long next = link ? base + link + (m_bFuji ? 160 : 0) : 0;
        // A link that does not lead forward would walk the same chain again.
        if (next <= dir) return;
        dir = next;
    }
}

void FileTIFAnalyser::ReadFujiExif(RawFileBuffer& buffer, unsigned long long jpeg, CRawFileInfo& info) {
    const unsigned char* field = buffer.Fetch(jpeg + 4, 2);
    const unsigned length = field ? static_cast<unsigned>(field[0] << 8 | field[1]) : 0;
    const unsigned char* segment = length >= 2 ? buffer.Fetch(jpeg + 4, length) : nullptr;
    if (!segment) return;
    std::vector<unsigned char> copy(segment, segment + length);
    tag_ExifInfo exif;
    SetExitInfo(&exif);
    if (!EXIF_process_EXIF(copy.data(), 0, copy.data() + 2, length)) return;
    m_strModel = ApiStrFilterBadFileName(exif.cameraModel);
    m_strMake = exif.cameraMake[0] ? std::string(exif.cameraMake) : m_strModel;
    m_strTime = exif.dateTime;
    info.SetRawFileName(m_strModel);
    info.m_strFileTime = m_strTime;
    if (!m_strMake.empty()) info.SetRawFileTagAndValue(RAW_TAG_CAMERA, m_strMake);
}

unsigned long long FileTIFAnalyser::GetTiffSize(CRawFileInfo& info, IStorageDevice* device) {
    m_strModel.clear();
    m_strTime.clear();
    m_strMake.clear();
    m_eTag = RAW_TAG_CAMERA;
    m_ullSizeSoFar = m_ullJpegOffset = m_ullJpegSize = m_ullPreviewOffset = m_ullPreviewSize = 0;
    m_tileOffsets = m_tileCounts = {};
    m_bFuji = m_bDng = m_bNikon = m_bEpson = m_bBigEndian = m_bA100 = false;
    m_ullA100SubImages = m_ullA100Private = 0;
    m_nSubDirs = 1;
    if (!device || info.m_llStartSector < 0) return 0;
    RawFileBuffer buffer(device, static_cast<unsigned long long>(info.m_llStartSector));
    m_pBuffer = &buffer;
    const unsigned char* head = buffer.Fetch(0, 16);
    if (!head) return 0;
    unsigned long long base = 0;
    if (std::memcmp(head, "FUJIFILMCCD-RAW ", 16) == 0) {
        const unsigned char* fuji = buffer.Fetch(0, 160);
        if (!fuji) return 0;
        info.m_eRawFileType = 89;
        m_bFuji = true;
        const bytes::Bytes h(fuji, 160);
        const std::uint64_t offset = bytes::Be32(h, 84), length = bytes::Be32(h, 88);
        if (offset >= 524289 && (offset > kMaxOffset || length > kMaxOffset)) return 0;
        ReadFujiExif(buffer, offset, info);
        m_ullSizeSoFar = offset + length;
        for (std::size_t pair : {92u, 100u}) Raise(std::uint64_t{bytes::Be32(h, pair)} + bytes::Be32(h, pair + 4));
        m_ullSizeSoFar += bytes::Be32(h, 132);
        base = 160;
    }
    const unsigned char* tiff = buffer.Fetch(base, 8);
    if (!tiff) return 0;
    const bool rw2 = tiff[0] == 'I' && tiff[1] == 'I' && tiff[2] == 'U' && tiff[3] == 0;
    m_bBigEndian = tiff[0] == 'M' && tiff[1] == 'M';
    if (rw2) info.m_eRawFileType = 86;
    unsigned long long dir = base + U32(tiff + 4), walked = 0;
    bool fujiDirRead = false;
    for (unsigned links = 0; links < kMaxChain; ++links) {
        if (dir > kMaxOffset) break;
        const unsigned char* countBytes = buffer.Fetch(dir, 2);
        const unsigned n = countBytes ? U16(countBytes) : 0;
        if (n == 0 || n > kMaxEntries) break;
        const unsigned char* entries = buffer.Fetch(dir + 2, 12 * n + 4);
        if (!entries) break;
        std::vector<unsigned char> copy(entries, entries + 12 * n + 4); // nested reads move the page
        fujiDirRead = m_bFuji;
        bool stop = false;
        unsigned long long jpegOffset = 0;
        for (unsigned e = 0; e < n && !stop; ++e) {
            const unsigned char* en = copy.data() + 12 * e;
            const unsigned tag = U16(en), type = U16(en + 2);
            const std::uint32_t count = U32(en + 4), value = U32(en + 8);
            const std::uint64_t size = std::uint64_t{count} * TypeBytes(type);
            const unsigned long long at = base + value;
            if (size > 4) Raise(at + size);
            switch (tag) {
            case 0x002E: {
                const unsigned char* p = buffer.Fetch(at + 16, 4);
                if (p) GetSubIFDSize(at + U32(p) + 12, at + 12);
                break;
            }
            case 0x010F: {
                std::string make = ApiStrFilterBadFileName(Upper(Text(at, size, en + 8)));
                if (ApiIsInvalidCharInFileName(make) || make.size() >= 31) make.clear();
                m_strMake = make;
                if (!make.empty()) info.SetRawFileTagAndValue(RAW_TAG_CAMERA, make);
                if (make.find("EPSON") != std::string::npos) m_bEpson = true;
                break;
            }
            case 0x0110: {
                std::string model = Text(at, size, en + 8);
                if (model.size() >= 41) model.clear();
                model = ApiStrFilterBadFileName(model);
                if (ApiIsInvalidCharInFileName(model)) model.clear();
                m_strModel = model;
                if (m_strMake.empty() && !model.empty()) info.SetRawFileTagAndValue(RAW_TAG_CAMERA, model);
                if (model.rfind("NIKON", 0) == 0) m_bNikon = true;
                if (model.rfind("DSLR-A100", 0) == 0) m_bA100 = true;
                stop = m_bFuji;
                break;
            }
            case 0x0111:
            case 0x0201: {
                jpegOffset = value == 0xFFFFFFFFu ? 0 : base + LastElement(type, count, value, base);
                if (count <= 1 && IsJpegStart(buffer.Fetch(jpegOffset, 4))) m_ullPreviewOffset = jpegOffset;
                break;
            }
            case 0x0117:
            case 0x0202: {
                std::uint64_t bytes = LastElement(type, count, value, base);
                if (m_bFuji && count <= 1 && bytes >= 160) bytes -= 160;
                if (m_ullPreviewOffset && m_ullPreviewOffset == jpegOffset) m_ullPreviewSize = bytes;
                if (jpegOffset && bytes) Raise(jpegOffset + bytes);
                else jpegOffset = 0;
                break;
            }
            case 0x0132: m_strTime = Text(at, size, en + 8); break;
            case 0x0144: m_tileOffsets = {value, count, type, TypeBytes(type)}; break;
            case 0x0145:
                m_tileCounts = {value, count, type, TypeBytes(type)};
                Tiles(base);
                break;
            case 0x014A:
                if (m_bA100) {
                    m_ullA100SubImages = at;
                    break;
                }
                for (std::uint32_t i = 0; i < std::min<std::uint32_t>(count, kMaxEntries); ++i) {
                    const std::uint32_t sub = count == 1 ? value : LastElement(type, i + 1, value, base);
                    if (sub) GetSubIFDSize(base + sub, 0);
                }
                break;
            case 0x83BB:
                if (m_strMake.find("KODAK") != std::string::npos &&
                    m_strModel.find("DCS Pro SLR") != std::string::npos && size == 0) {
                    if (const unsigned char* p = buffer.Fetch(at, 4)) Raise(at + U32(p));
                }
                break;
            case 0x8769: GetSubIFDSize(at, 0); break;
            case 0x935C: Raise(at + size); break;
            case 0xC612: m_bDng = true; break;
            case 0xC634:
                if (m_bA100) {
                    const unsigned char* skip = buffer.Fetch(at + 4, 2);
                    const unsigned char* length = skip ? buffer.Fetch(at + U16(skip) + 4, 4) : nullptr;
                    if (length) {
                        m_ullA100Private = bytes::Le32(bytes::Bytes(length, 4), 0); // stored little-endian
                        Raise(m_ullA100SubImages + m_ullA100Private);
                    }
                }
                break;
            default: break;
            }
        }
        walked = std::max(walked, dir + 2 + 12ull * n + 4);
        if (m_bFuji) break;
        const std::uint32_t link = U32(copy.data() + 12 * n);
        if (link == 0) break;
        walked = std::max(walked, base + link);
        if (base + link <= dir) break; // a link backwards
        dir = base + link;
    }
    m_pBuffer = nullptr;
    if (fujiDirRead) {
        info.SetRawFileName(m_strMake.empty() ? m_strModel : m_strMake + "_" + m_strModel);
        info.m_strFileTime = m_strTime;
        return m_ullSizeSoFar;
    }
    Raise(walked);
    info.m_eRawFileType = TypeByMake(m_strMake, m_strModel, m_bDng, rw2, rw2 ? 86 : kTifType);
    std::string name = ApiStrFilterBadFileName(m_strModel);
    if (!m_strMake.empty()) name = name.empty() ? m_strMake : m_strMake + "_" + name;
    info.SetRawFileName(name);
    info.m_strFileTime = m_strTime;
    if (!m_strMake.empty()) info.SetRawFileTagAndValue(RAW_TAG_CAMERA, m_strMake);
    else m_eTag = RAW_TAG_NONE;
    unsigned long long size = m_ullSizeSoFar + (m_bFuji ? 160 : 0);
    const unsigned long long ss = device->GetSectorSize() ? device->GetSectorSize() : 512;
    // A small file whose directories were walked ends with its farthest
    // byte's sector, whatever follows it.
    if (size > 64 && size < 10240 && !m_bFuji) return (size + ss - 1) / ss * ss;
    if (size < 10240 || size > kMaxOffset) size = kFallbackSize;
    size = (size + ss - 1) / ss * ss;
    if (size < kSmallFile) {
        // A small file ends at a sector with a zero tail.
        RawFileBuffer tail(device, static_cast<unsigned long long>(info.m_llStartSector));
        const unsigned char* last = tail.Fetch(size - ss, ss);
        auto zeroTail = [&](const unsigned char* s) {
            return std::all_of(s + ss - 16, s + ss, [](unsigned char c) { return c == 0; });
        };
        if (last && !zeroTail(last)) {
            while (size <= kSmallFileCap) {
                const unsigned char* next = tail.Fetch(size, ss);
                if (!next) break;
                // The zero-tailed sector holds the file's last bytes: it belongs to the file.
                size += ss;
                if (zeroTail(next)) break;
            }
        }
    }
    return size;
}

int FileTIFAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
    m_strModel.clear();
    m_strTime.clear();
    const unsigned long long size = GetTiffSize(info, device);
    // Never past the device's end (the fallback size may well be).
    const unsigned long long sectors = device ? device->GetTotalSectors() : 0;
    const unsigned long long start = static_cast<unsigned long long>(std::max(info.m_llStartSector, 0ll));
    const unsigned long long ss = device && device->GetSectorSize() ? device->GetSectorSize() : 512;
    info.m_ullFileSize = std::min(size, sectors > start ? (sectors - start) * ss : 0);
    return 1;
}

namespace tiff {

unsigned TypeBytes(unsigned type) {
    static constexpr unsigned kTypeBytes[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
    return type >= 1 && type <= 12 ? kTypeBytes[type] : 0;
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool IsJpegStart(const unsigned char* p) {
    return p && p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF && (p[3] == 0xE0 || p[3] == 0xE1 || p[3] == 0xDB);
}

} // namespace tiff
