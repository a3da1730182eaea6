#include "engine/carver/analysers/MovAnalyzer.h"

#include "engine/carver/RawFileBuffer.h"
#include "engine/carver/RawUtility.h"
#include "engine/carver/analysers/PictureWindow.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>

namespace {

using bytes::Bytes;

std::string_view Text(Bytes b, std::size_t at, std::size_t n) {
    return bytes::Has(b, at, n) ? std::string_view(reinterpret_cast<const char*>(b.data() + at), n)
                                : std::string_view();
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// True when the bytes at `at` begin, case-insensitively, with one of the texts.
const char* StartsNoCase(Bytes b, std::size_t at, std::initializer_list<const char*> texts) {
    for (const char* t : texts)
        if (EqualNoCase(Text(b, at, std::strlen(t)), t)) return t;
    return nullptr;
}

bool IsFtyp(Bytes head) {
    return Text(head, 4, 4) == "ftyp";
}

// Screen recordings carry a "free" box at byte 28.
unsigned VideoRule(Bytes head) {
    return EqualNoCase(Text(head, 28, 4), "free") ? BruteForce::MovAnalyzer::kTrecType
                                                  : BruteForce::MovAnalyzer::kMp4Type;
}

// The text up to its first NUL, a-z upper-cased, made safe; empty when it
// still holds a character a file name should not.
std::string CleanName(Bytes b) {
    std::string s(reinterpret_cast<const char*>(b.data()), b.size());
    s.resize(std::strlen(s.c_str()));
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    s = ApiStrFilterBadFileName(s);
    return ApiIsInvalidCharInFileName(s) ? std::string() : s;
}

constexpr const char* kStreamBoxes[] = {"ftyp", "moov", "mdat", "free", "skip", "wide", "uuid",
                                        "udta", "trak", "pnot", "pdin", "meta", "mfra", "moof",
                                        "mvex", "mvhd", "meoc", "TSCM", "TSCR"};
constexpr const char* kFileBoxes[] = {"mdat", "moov", "free", "moof", "mfra", "uuid"};

} // namespace

// ---- whole-file walk --------------------------------------------------------

bool CRawBoxFileAnalyser::GetFileSize(CRawFileInfo& info, IStorageDevice* device) {
    if (!device || info.m_llStartSector < 0) return false;
    const unsigned long long start = static_cast<unsigned long long>(info.m_llStartSector);
    const unsigned long long total = device->GetTotalSectors();
    if (start >= total) return false;
    const unsigned long long room = (total - start) * device->GetSectorSize();
    RawFileBuffer file(device, start);
    const unsigned char* p = file.Fetch(0, 8);
    if (!p) return false;
    // The walk counts in 64 bits: box chains pass 4 GiB.
    unsigned long long walk = bytes::Be32(Bytes(p, 8), 0);
    if (walk < 1) return false;
    for (int i = 0; i < kMaxBoxes && walk < room; ++i) {
        const bool whole = room - walk >= 16;
        p = file.Fetch(walk, whole ? 16 : 8);
        if (!p) break;
        const Bytes box(p, whole ? 16 : 8);
        unsigned long long size = bytes::Be32(box, 0);
        if (size < 1) break;
        // The type, or that of a box following an 8-byte one.
        const auto typed = [&](std::string_view name) {
            return EqualNoCase(Text(box, 4, 4), name) || EqualNoCase(Text(box, 12, 4), name);
        };
        if (size == 1) {
            if (!typed("mdat")) break;
            if (!whole) break;
            size = bytes::Be64(box, 8);
            if (size < 1) return false;
            if (size < 16) break;
        } else if (std::none_of(std::begin(kFileBoxes), std::end(kFileBoxes), typed)) {
            break;
        }
        walk += std::min(size, room - walk);
    }
    if (walk == 0) return false;
    info.m_ullFileSize = std::min(walk, room);
    return true;
}

int FileMP4Analyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
    const auto* walked = dynamic_cast<const BruteForce::MovAnalyzer::MovRawFileInfo*>(&info);
    if (!device || info.m_llStartSector < 0) return 0;
    const unsigned long long start = static_cast<unsigned long long>(info.m_llStartSector);
    const unsigned long long total = device->GetTotalSectors();
    const unsigned long long room = start < total ? (total - start) * device->GetSectorSize() : 0;
    const unsigned long long reached =
        walked ? std::min(static_cast<unsigned long long>(walked->m_llWalk), room) : 0;
    const bool sized = CRawBoxFileAnalyser::GetFileSize(info, device);
    // The device walk knows fewer box types than the streaming one: where it
    // stops sooner, what the stream walked stands.
    if (walked && walked->m_nBoxes > 1 && reached > 0 && (!sized || info.m_ullFileSize < reached)) {
        info.m_ullFileSize = reached;
        return 1;
    }
    return sized ? 1 : 0;
}

int FileMP4Analyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const Bytes head = info.WindowAt(sector).At(0, 12);
    if (head.empty() || !IsFtyp(head)) return 0;
    const std::string_view brand = Text(head, 4, 8);
    if (EqualNoCase(brand, "ftypisom") || EqualNoCase(brand, "ftypmp41") || EqualNoCase(brand, "ftypmp42"))
        info.m_eRawFileType = BruteForce::MovAnalyzer::kMp4Type;
    else if (EqualNoCase(brand, "ftypM4A "))
        info.m_eRawFileType = BruteForce::MovAnalyzer::kM4aType;
    else if (EqualNoCase(brand, "ftypM4V "))
        info.m_eRawFileType = BruteForce::MovAnalyzer::kM4vType;
    else
        return 0;
    info.m_ullFileSize = 0;
    return 1;
}

namespace BruteForce {

// ---- acceptance -------------------------------------------------------------

unsigned MovAnalyzer::getTypeByMajorBrand(Bytes head) {
    const std::string_view b = Text(head, 8, 4);
    if (b.size() != 4) return 0;
    const auto oneOf = [](char c, std::string_view set) { return set.find(c) != std::string_view::npos; };
    const auto compatible = [&](unsigned fallback) {
        // The compatible brands searched as one text, up to its first NUL.
        const unsigned n = (bytes::Be32(head, 0) - 16) / 4;
        const Bytes brands =
            head.size() >= 16 ? head.subspan(16, std::min<std::size_t>(4 * n, head.size() - 16)) : Bytes();
        std::string text(reinterpret_cast<const char*>(brands.data()), brands.size());
        text.resize(std::strlen(text.c_str()));
        if (text.find("M4A") != std::string::npos) return kM4aType;
        if (text.find("M4V") != std::string::npos) return kM4vType;
        if (text.find("avc1") != std::string::npos) return VideoRule(head);
        if (text.find("mp41") != std::string::npos) return n == 1 ? kM4aType : VideoRule(head);
        return fallback;
    };
    if (b.substr(0, 2) == "3g" && oneOf(b[2], "2eps")) return k3gpType;
    if (b == "KDDI") return k3gpType;
    if (b.substr(0, 3) == "M4A") return kM4aType;
    if (b.substr(0, 3) == "M4V") return kM4vType;
    if (b.substr(0, 2) == "F4" && oneOf(b[2], "ABNV")) return VideoRule(head);
    if (b == "MSNV" || b == "msnv" || b == "mmp4" || b == "avc1") return VideoRule(head);
    if (b.substr(0, 3) == "NDA") return VideoRule(head);
    if ((b.substr(0, 3) == "NDS" || b.substr(0, 3) == "NDX") && oneOf(b[3], "CHMPS")) return VideoRule(head);
    if (b.substr(0, 3) == "qt ") return kMovType;
    if (b == "iso2" || b == "isom") return compatible(kMovType);
    if (b.substr(0, 3) == "mp4") return compatible(VideoRule(head));
    return 0;
}

int MovAnalyzer::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const Bytes head = info.WindowAt(sector).At(0, 84);
    if (head.empty() || !IsFtyp(head)) return 0;
    if (bytes::Be32(head, 0) - 16u > 67u) return 0;
    unsigned type = getTypeByMajorBrand(head);
    m_nType = type;
    if (type == 0) {
        // A known brand in another letter case is no movie of ours.
        if (StartsNoCase(head, 4,
                         {"ftypisom", "ftyp3gp4", "ftyp3g2a", "ftypmmp4", "ftypM4A ", "ftypM4V ", "ftypmp41",
                          "ftypmp42"}))
            return 0;
        type = kMovType;
    }
    info.m_eRawFileType = type;
    info.m_ullFileSize = 0;
    return 1;
}

int C3GPAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const Bytes head = info.WindowAt(sector).At(0, 12);
    if (head.empty() || !IsFtyp(head) || !StartsNoCase(head, 4, {"ftyp3g2a", "ftyp3gp", "ftypmmp4"}))
        return 0;
    info.m_eRawFileType = k3gpType;
    info.m_ullFileSize = 0;
    return 1;
}

int Mp4Analyzer::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const Bytes head = info.WindowAt(sector).At(0, 32);
    if (head.empty() || !IsFtyp(head)) return 0;
    const char* matched = StartsNoCase(head, 4, {"ftypisom", "ftypmmp4", "ftypM4A", "ftypM4V", "ftypmp4"});
    if (!matched) return 0;
    const std::string_view text = Text(head, 4, std::strlen(matched));
    unsigned type = text.find("M4A") != std::string_view::npos   ? MovAnalyzer::kM4aType
                    : text.find("M4V") != std::string_view::npos ? MovAnalyzer::kM4vType
                                                                 : VideoRule(head);
    m_nType = type;
    info.m_eRawFileType = type;
    info.m_ullFileSize = 0;
    return 1;
}

// ---- streaming walk ---------------------------------------------------------

MovAnalyzer::MovRawFileInfo::MovRawFileInfo(unsigned type, IRawFileAnalyser* classic) : m_pClassic(classic) {
    m_eRawFileType = type;
}

void MovAnalyzer::MovRawFileInfo::WillBeRemove(unsigned char*, long long sectorNumber) {
    endSearch(sectorNumber, nullptr, nullptr);
    m_pAnalyser = m_pClassic;
}

int MovAnalyzer::MovRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                                             SearchContext& context) {
    if (!sector || sectorBytes <= 0) return 2;
    if (m_llWalk >= 1 && sectorNumber < m_llStartSector) {
        endSearch(sectorNumber, nullptr, nullptr);
        return 1;
    }
    const long long base = (sectorNumber - m_llStartSector) * sectorBytes;
    if (m_llWalk - base >= sectorBytes) return 2;
    if (m_llWalk == 0 && Text(context.m_Window.At(0, 12), 8, 3) == "iso") m_nIso = 1;
    m_nSectorBytes = sectorBytes;
    const long long held = (context.m_llWindowEnd - sectorNumber) * sectorBytes;
    // 0: the bytes are at hand; 2: they come with a later sector; 1: they
    // were never held (a block that could not be read), so the walk ends.
    const auto fetch = [&](long long rel, std::size_t n, Bytes& out) {
        out = HeldBytes(context, sectorNumber, sectorBytes, rel, n);
        if (!out.empty()) return 0;
        return rel + static_cast<long long>(n) > held ? 2 : 1;
    };
    for (;;) {
        const long long rel = m_llWalk - base;
        if (rel >= sectorBytes) return 2;
        Bytes box;
        if (const int got = fetch(rel, 8, box); got == 2)
            return 2;
        else if (got == 1)
            break;
        unsigned long long size = bytes::Be32(box, 0);
        const std::string_view type = Text(box, 4, 4);
        if (size < 8 && size != 1) break;
        if (std::find(std::begin(kStreamBoxes), std::end(kStreamBoxes), type) == std::end(kStreamBoxes))
            break;
        if (size == 1) {
            // A 64-bit size follows the type; one smaller than its own
            // header would never move the walk on.
            if (const int got = fetch(rel, 16, box); got == 2)
                return 2;
            else if (got == 1)
                break;
            size = bytes::Be64(box, 8);
            if (size < 16) break;
        }
        if (type == "ftyp" && m_nBoxes > 1) break;
        if (size > static_cast<unsigned long long>(std::numeric_limits<long long>::max() - m_llWalk)) break;
        if (type == "moov") ++m_nMoovCount;
        ++m_nBoxes;
        m_llWalk += static_cast<long long>(size);
        m_ullFileSize = static_cast<unsigned long long>(m_llWalk);
        if (type == "moov" && held > rel) {
            const long long avail = std::min<long long>(held - rel, static_cast<long long>(size));
            if (avail >= std::min<long long>(static_cast<long long>(size), 1024))
                GetMovTagInfo(context.m_Window.At(rel, static_cast<std::size_t>(avail)));
        }
    }
    endSearch(sectorNumber, sector, &context);
    return 1;
}

void MovAnalyzer::MovRawFileInfo::GetMovTagInfo(Bytes box) {
    static constexpr unsigned char kExif[] = {'E', 'x', 'i', 'f'};
    const std::size_t searched = std::min<std::size_t>(box.size(), 1024);
    const unsigned char* hit = Apimemstr(box.data(), static_cast<long long>(searched), kExif, 4);
    if (!hit) return;
    const Bytes tiff = box.subspan(static_cast<std::size_t>(hit - box.data()));
    if (tiff.size() < 6) return;
    const Bytes order = tiff.subspan(6);
    if (Text(order, 0, 2) == "II")
        m_bLittleEndian = 1;
    else if (Text(order, 0, 2) == "MM")
        m_bLittleEndian = 0;
    else
        return;
    const bool le = m_bLittleEndian != 0;
    const auto u16 = [&](std::size_t at) { return le ? bytes::Le16(order, at) : bytes::Be16(order, at); };
    const auto u32 = [&](std::size_t at) { return le ? bytes::Le32(order, at) : bytes::Be32(order, at); };
    const std::size_t ifd = u32(4);
    if (!bytes::Has(order, ifd, 2)) return;
    const unsigned count = u16(ifd);
    if (count < 1 || count > 512 || (order.size() - ifd - 2) / 12 < count) return;
    for (unsigned i = 0; i < count; ++i) {
        const std::size_t entry = ifd + 2 + 12 * std::size_t{i};
        const unsigned tag = u16(entry);
        if (tag != 271 && tag != 272 && tag != 306) continue;
        const std::size_t value = u32(entry + 8);
        if (!bytes::Has(order, value, 63)) continue;
        const Bytes text = order.subspan(value, 63);
        if (tag == 306) {
            std::string time(reinterpret_cast<const char*>(text.data()), text.size());
            time.resize(std::strlen(time.c_str()));
            if (time.size() >= 10 && time.size() <= 40) m_strFileTime = time;
            continue;
        }
        std::string name = CleanName(text);
        if (tag == 271) {
            m_strMake = name.size() >= 1 && name.size() <= 30 ? name : std::string();
            if (!m_strMake.empty()) SetRawFileTagAndValue(RAW_TAG_MOV, m_strMake);
        } else {
            m_strModel = name;
            if (m_strMake.empty() && !m_strModel.empty()) {
                m_strMake = m_strModel;
                SetRawFileTagAndValue(RAW_TAG_MOV, m_strMake);
                m_strModel.clear();
            }
        }
    }
}

void MovAnalyzer::MovRawFileInfo::SearchPhoneName(long long s, const SearchContext& context) {
    if (s - 2 < context.m_llWindowStart) return;
    static constexpr unsigned char kTrex[] = {'t', 'r', 'e', 'x'};
    Bytes near = HeldBytes(context, s, m_nSectorBytes, -16, 512);
    if (near.empty()) return;
    if (Apimemstr(near.data(), static_cast<long long>(near.size()), kTrex, 4)) {
        // Fragmented movies end in their movie-extends box: the name lies further back.
        if (s - 3 < context.m_llWindowStart) return;
        near = HeldBytes(context, s, m_nSectorBytes, -1298, 1024);
        if (near.empty()) return;
    }
    for (std::size_t i = 0; i < near.size(); ++i) {
        for (std::string_view sign : {std::string_view("iPhone "), std::string_view("iPad ")}) {
            if (Text(near, i, sign.size()) != sign) continue;
            const Bytes text = near.subspan(i, std::min<std::size_t>(20, near.size() - i));
            m_strMake = CleanName(text);
            if (!m_strMake.empty()) SetRawFileTagAndValue(RAW_TAG_MOV, m_strMake);
            return;
        }
    }
}

void MovAnalyzer::MovRawFileInfo::endSearch(long long sectorNumber, const unsigned char* buffer,
                                            const SearchContext* context) {
    if (m_nBoxes <= 1) {
        m_ullFileSize = 0;
        return;
    }
    if (m_eRawFileType == kMovType && m_nMoovCount == 1 && m_nIso)
        m_eRawFileType = kMp4Type;
    else if (m_strMake.empty() && buffer && context)
        SearchPhoneName(sectorNumber, *context);
    if (!m_strModel.empty())
        SetRawFileName(m_strModel);
    else if (m_strMake.empty())
        SetRawFileTagAndValue(RAW_TAG_NONE, "");
    m_ullFileSize = static_cast<unsigned long long>(m_llWalk);
}

} // namespace BruteForce
