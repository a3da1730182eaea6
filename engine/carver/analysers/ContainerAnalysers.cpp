#include "engine/carver/analysers/ContainerAnalysers.h"

#include "engine/carver/RawFileBuffer.h"
#include "engine/carver/RawUtility.h"
#include "engine/carver/analysers/PictureWindow.h"

#include <tinyxml.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

const unsigned char* FindKoly(const unsigned char* p, std::size_t n) {
    return Apimemstr(p, static_cast<long long>(n), reinterpret_cast<const unsigned char*>("koly"), 4);
}

bool BzipHead(bytes::Bytes h) { return h.size() >= 10 && std::memcmp(h.data(), "BZh11AY&SY", 10) == 0; }

} // namespace

// ---- disk images ------------------------------------------------------------

int FileDMGAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector || !BzipHead(info.WindowAt(sector).At(0, 10))) return 0;
    info.m_eRawFileType = kType;
    return 1;
}

int FileDMGAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
    const unsigned long long room = BruteForce::DeviceRoom(info, device);
    if (room == 0) return 0;
    RawFileBuffer file(device, static_cast<unsigned long long>(info.m_llStartSector));
    const unsigned long long ss = file.GetSectorSize();
    unsigned long long offset = 0, size = 0;
    for (; offset < kWalkLimit && size == 0; offset += ss) {
        const unsigned char* p = file.Fetch(offset, ss);
        if (!p) break;
        if (std::any_of(p + ss - 8, p + ss, [](unsigned char c) { return c != 0; })) continue;
        if (std::memcmp(p, "koly", 4) == 0) {
            size = offset + 512;
        } else if (offset >= 10241 && offset > ss) {
            const unsigned char* q = file.Fetch(offset - ss, ss);
            if (const unsigned char* k = q ? FindKoly(q, ss) : nullptr)
                size = offset - ss + static_cast<unsigned long long>(k - q) + 512;
        }
    }
    info.m_ullFileSize = std::min(size ? size : offset, room);
    info.m_eRawFileType = kType;
    return 1;
}

namespace Orvex {

int DMGRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long s, SearchContext& context) {
    if (!sector || sectorBytes <= 8) return 2;
    const long long offset = (s - m_llStartSector) * sectorBytes;
    if (offset >= 10 * kLimit) {
        m_ullFileSize = kLimit;
        return 1;
    }
    if (context.m_nTrailingZero < 8) return 2;
    if (!FindKoly(sector, static_cast<std::size_t>(sectorBytes) - 8)) {
        if (offset < 10241 || context.m_llWindowStart + 1 >= s) return 2;
        const bytes::Bytes half =
            BruteForce::HeldBytes(context, s, sectorBytes, -sectorBytes / 2, static_cast<std::size_t>(sectorBytes));
        if (half.empty() || !FindKoly(half.data(), half.size())) return 2;
    }
    return Settle(static_cast<unsigned long long>(offset + sectorBytes), s, "_");
}

} // namespace Orvex

// ---- installer packages -----------------------------------------------------

int FilePKGAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const bytes::Bytes h = info.WindowAt(sector).At(0, 4);
    if (h.empty() || (std::memcmp(h.data(), "xar!", 4) != 0 && std::memcmp(h.data(), "\x7FPKG", 4) != 0)) return 0;
    info.m_eRawFileType = kType;
    return 1;
}

bool FilePKGAnalyser::Inflate(const unsigned char* packed, std::size_t n, std::size_t unpacked, std::string& out) {
    if (unpacked > kTocLimit || n > unpacked) return false;
    std::vector<unsigned char> buf(unpacked + 512, 0);
    uLongf got = static_cast<uLongf>(buf.size());
    if (uncompress(buf.data(), &got, packed, static_cast<uLong>(n)) != Z_OK) return false;
    out.assign(reinterpret_cast<const char*>(buf.data()), got);
    return true;
}

namespace {

// Element nesting deeper than this is no table of contents; it is refused
// before the recursive parser sees it.
constexpr int kMaxDepth = 200;

bool ShallowEnough(const std::string& text) {
    int depth = 0;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] == '<') {
            const char c = text[i + 1];
            if (c == '/') --depth;
            else if (c != '?' && c != '!') ++depth;
            if (depth > kMaxDepth) return false;
        } else if (text[i] == '/' && text[i + 1] == '>') {
            --depth;
        }
    }
    return true;
}

std::uint64_t Number(const TiXmlElement* e, const char* name) {
    const TiXmlElement* c = e ? e->FirstChildElement(name) : nullptr;
    const char* t = c ? c->GetText() : nullptr;
    if (!t) return 0;
    std::uint64_t v = 0;
    for (; *t >= '0' && *t <= '9' && v < (std::uint64_t{1} << 58); ++t) v = v * 10 + static_cast<unsigned>(*t - '0');
    return v;
}

// Raises the heap end to the end of the element's data (offset + length),
// its "data" child wherever that stands among the children.
void SearchXmlNodeData(const TiXmlElement* file, std::uint64_t& end) {
    if (const TiXmlElement* data = file->FirstChildElement("data"))
        end = std::max(end, Number(data, "offset") + Number(data, "length"));
}

// Every file element from `first` on, its siblings and all nested ones, in
// document order (without recursion: the depth is the document's).
void RecursionSearch(const TiXmlElement* first, std::uint64_t& end) {
    std::vector<const TiXmlElement*> todo;
    const auto push = [&](const TiXmlElement* from) {
        std::vector<const TiXmlElement*> row;
        for (const TiXmlElement* f = from; f; f = f->NextSiblingElement("file")) row.push_back(f);
        todo.insert(todo.end(), row.rbegin(), row.rend());
    };
    push(first);
    while (!todo.empty()) {
        const TiXmlElement* f = todo.back();
        todo.pop_back();
        SearchXmlNodeData(f, end);
        push(f->FirstChildElement("file"));
    }
}

} // namespace

bool FilePKGAnalyser::HeapEnd(const std::string& toc, std::uint64_t& end) {
    end = 0;
    if (!ShallowEnough(toc)) return false;
    TiXmlDocument doc;
    doc.Parse(toc.c_str());
    const TiXmlElement* root = doc.FirstChildElement();
    const TiXmlElement* table = root ? root->FirstChildElement() : nullptr;
    if (!table || !table->FirstChildElement("file")) return false;
    if (const TiXmlElement* sum = table->FirstChildElement("checksum"))
        end = Number(sum, "offset") + Number(sum, "size");
    RecursionSearch(table->FirstChildElement("file"), end);
    return true;
}

bool FilePKGAnalyser::PkgSignFileSize(bytes::Bytes h, std::uint64_t& size) {
    if (h.size() < 32 || std::memcmp(h.data(), "\x7FPKG", 4) != 0) return false;
    if (bytes::Be16(h, 6) != 1 && bytes::Be16(h, 6) != 2) return false;
    size = bytes::Be64(h, 24);
    return size > 0 && size <= kLimit;
}

int FilePKGAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
    const unsigned long long room = BruteForce::DeviceRoom(info, device);
    if (room == 0) return 0;
    RawFileBuffer file(device, static_cast<unsigned long long>(info.m_llStartSector));
    const unsigned char* p = file.Fetch(0, 32);
    if (!p) return 0;
    const bytes::Bytes h(p, 32);
    const auto finish = [&](std::uint64_t size) {
        info.m_ullFileSize = std::min<std::uint64_t>(size, room);
        info.m_eRawFileType = kType;
        return 1;
    };
    if (std::uint64_t size = 0; PkgSignFileSize(h, size)) return finish(size);
    const std::uint64_t packed = bytes::Be64(h, 8), unpacked = bytes::Be64(h, 16);
    if (packed == 0 || packed > kTocLimit || unpacked > kTocLimit || packed > unpacked) return 0;
    std::vector<unsigned char> toc(packed);
    const unsigned page = file.GetPageBytes();
    for (std::uint64_t at = 0; at < packed; at += page) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(page, packed - at));
        const unsigned char* q = file.Fetch(kXarHeader + at, n);
        if (!q) return 0;
        std::memcpy(toc.data() + at, q, n);
    }
    std::string text;
    std::uint64_t heap = 0;
    if (!Inflate(toc.data(), toc.size(), static_cast<std::size_t>(unpacked), text) || !HeapEnd(text, heap)) return 0;
    const std::uint64_t base = kXarHeader + packed;
    return finish(base + heap <= kLimit ? base + heap : base);
}

// ---- cabinets ---------------------------------------------------------------

int FileCABAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const CRawWindow w = info.WindowAt(sector);
    const bytes::Bytes h = w.At(0, 26);
    info.m_eRawFileType = kType;
    info.m_ullFileSize = 0;
    if (h.empty() || bytes::Le32(h, 4) != 0 || bytes::Le32(h, 12) != 0 || bytes::Le32(h, 20) != 0 ||
        bytes::Le16(h, 24) != 0x0103)
        return 0;
    return BruteForce::SizedWithinDevice(info, w, bytes::Le32(h, 8), kType);
}
