#include "engine/carver/analysers/ZipAnalyser.h"

#include "engine/carver/RawFileBuffer.h"
#include "engine/carver/RawUtility.h"
#include "engine/carver/metadata/OfficeTagFromXML.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

constexpr std::uint32_t kLocal = 0x04034B50, kCentral = 0x02014B50, kEnd = 0x06054B50, kEnd64 = 0x06064B50,
                        kLocator = 0x07064B50;

bool Begins(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

bool BeginsNoCase(std::string_view s, std::string_view p) {
    if (s.size() < p.size()) return false;
    for (std::size_t i = 0; i < p.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(s[i])) != std::tolower(static_cast<unsigned char>(p[i])))
            return false;
    return true;
}

// Whether the Zip64 locator at t[loc] names a Zip64 end record that ends
// where the locator begins, counted from this archive's start (t's first byte
// being `base` bytes into it): another archive's locator, counted from its
// own start, names bytes that are no such record.
bool OwnZip64Locator(bytes::Bytes t, long long base, std::size_t loc) {
    if (bytes::Le32(t, loc) != kLocator) return false;
    const std::uint64_t named = bytes::Le64(t, loc + 8);
    const long long at = static_cast<long long>(named) - base;
    if (named > (1ull << 62) || at < 0 || static_cast<std::uint64_t>(at) + 56 > loc) return false;
    const bytes::Bytes r = t.subspan(static_cast<std::size_t>(at));
    return bytes::Le32(r, 0) == kEnd64 && bytes::Le64(r, 4) + 12 == loc - static_cast<std::uint64_t>(at) &&
           bytes::Le64(r, 40) + bytes::Le64(r, 48) == named;
}

// The end of the archive whose end record lies wholly in t and starts at or
// after `from`, t's first byte being `base` bytes into the archive: a record
// whose directory offset and size point back at it (or a Zip64 one whose
// locator precedes it and names the Zip64 record before it), with its
// comment; 0 when none.
unsigned long long EndRecordIn(bytes::Bytes t, long long base, std::size_t from) {
    static constexpr unsigned char kSig[] = {'P', 'K', 5, 6};
    for (std::size_t i = from; i + 22 <= t.size();) {
        const unsigned char* m = Apimemstr(t.data() + i, static_cast<long long>(t.size() - i), kSig, 4);
        if (!m) return 0;
        i = static_cast<std::size_t>(m - t.data());
        if (i + 22 > t.size()) return 0;
        const bytes::Bytes r = t.subspan(i, 22);
        const long long at = base + static_cast<long long>(i);
        const std::uint32_t size = bytes::Le32(r, 12), offset = bytes::Le32(r, 16);
        const bool same = bytes::Le16(r, 4) == 0 && bytes::Le16(r, 6) == 0 && bytes::Le16(r, 8) == bytes::Le16(r, 10);
        bool points = at >= 0 && std::uint64_t{size} + offset == static_cast<std::uint64_t>(at);
        if (!points && same && (offset == 0xFFFFFFFF || size == 0xFFFFFFFF || bytes::Le16(r, 10) == 0xFFFF) && i >= 20)
            points = OwnZip64Locator(t, base, i - 20);
        if (same && points) return static_cast<unsigned long long>(at) + 22 + bytes::Le16(r, 20);
        i += 4;
    }
    return 0;
}

std::string_view Text(bytes::Bytes b) { return {reinterpret_cast<const char*>(b.data()), b.size()}; }

std::string_view FirstName(bytes::Bytes head) {
    const std::size_t n = bytes::Le16(head, 26);
    return bytes::Has(head, 30, n) ? Text(head.subspan(30, n)) : std::string_view();
}

// The compressed size of a Zip64 member: its extra field's 0x0001 entry
// holds the uncompressed size first when the header's field is saturated.
unsigned long long Zip64Packed(bytes::Bytes extra, bool unpackedSaturated) {
    for (std::size_t at = 0; bytes::Has(extra, at, 4);) {
        const unsigned id = bytes::Le16(extra, at), len = bytes::Le16(extra, at + 2);
        if (id == 1) {
            const std::size_t field = at + 4 + (unpackedSaturated ? 8 : 0);
            return field + 8 <= at + 4 + len ? bytes::Le64(extra, field) : ~0ull;
        }
        at += 4 + std::size_t{len};
    }
    return ~0ull;
}

unsigned MimetypeKind(std::string_view after) {
    unsigned kind = 0;
    auto at = [&](std::string_view text, std::size_t last) {
        const std::size_t p = after.find(text);
        return p != std::string_view::npos && p <= last;
    };
    if (at("application/epub+", 47)) kind = FileZIPAnalyser::kEpub;
    if (at("application/vnd.oasis.opendocument.text", 25)) kind = FileZIPAnalyser::kOdt;
    if (at("application/vnd.oasis.opendocument.spreadsheet", 19)) kind = FileZIPAnalyser::kOds;
    if (at("application/vnd.oasis.opendocument.presentation", 18)) kind = FileZIPAnalyser::kOdp;
    return kind;
}

unsigned OfficeKind(std::string_view name, bool theme) {
    if (name == "word/_rels/document.xml.rels" || (theme && name == "word/theme/theme1.xml"))
        return FileZIPAnalyser::kDocx;
    if (name == "xl/_rels/workbook.xml.rels") return FileZIPAnalyser::kXlsx;
    if (name == "ppt/_rels/presentation.xml.rels") return FileZIPAnalyser::kPptx;
    return 0;
}

bool IsRecord(std::uint32_t sig) { return sig == kLocal || sig == kCentral || sig == kEnd || sig == kEnd64; }

// Bytes of one device in which no end-record signature begins, [from, to)
// from the device's start, as the end searches of this carve read them
// (forgotten when a carve starts). The members of an archive whose sizes
// follow their data, or a run of such headers, are each sized by a search
// over the same bytes: each is read once.
struct Searched {
    const IStorageDevice* device = nullptr;
    unsigned long long sectors = 0; // the device's size, which a carve never changes
    unsigned long long from = 0, to = 0;
};
Searched g_searched;

} // namespace

void FileZIPAnalyser::ForgetSearched() { g_searched = Searched{}; }

// The output is bounded, so a bomb costs no more than a cap.
unsigned long long DeflatedLength(RawFileBuffer& file, unsigned long long at, unsigned long long limit,
                                  unsigned long long deviceBytes, std::string* kept, std::size_t keepBytes) {
    constexpr unsigned long long kMaxOutput = 1ull << 28;
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return ~0ull;
    std::vector<unsigned char> out(1 << 15);
    unsigned long long used = 0;
    int rc = Z_OK;
    while (rc == Z_OK && used < limit && at + used < deviceBytes && z.total_out < kMaxOutput) {
        const std::size_t n = static_cast<std::size_t>(std::min<unsigned long long>(4096, deviceBytes - at - used));
        const unsigned char* p = file.Fetch(at + used, n);
        if (!p) break;
        z.next_in = const_cast<Bytef*>(p);
        z.avail_in = static_cast<uInt>(n);
        while (z.avail_in > 0 && rc == Z_OK && z.total_out < kMaxOutput) {
            const uLong before = z.total_out;
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            rc = inflate(&z, Z_NO_FLUSH);
            if (kept && kept->size() < keepBytes)
                kept->append(reinterpret_cast<const char*>(out.data()),
                             std::min<std::size_t>(z.total_out - before, keepBytes - kept->size()));
            if (rc == Z_BUF_ERROR) rc = Z_OK; // output was full; go on
        }
        used += n - z.avail_in;
    }
    const bool ended = rc == Z_STREAM_END;
    const unsigned long long length = z.total_in;
    inflateEnd(&z);
    return ended ? length : ~0ull;
}

int classZipSearch::GetBlockSize(bytes::Bytes rec, bool office, unsigned kind, Block& out) {
    out = Block{};
    if (!bytes::Has(rec, 0, 4)) return -1;
    const std::uint32_t sig = bytes::Le32(rec, 0);
    if (sig == kEnd) {
        if (!bytes::Has(rec, 0, 22)) return -1;
        out.length = 22 + std::uint64_t{bytes::Le16(rec, 20)}; // the archive's comment is part of it
        out.end = true;
        return 1;
    }
    if (sig == kEnd64) {
        if (!bytes::Has(rec, 0, 12)) return -1;
        const std::uint64_t size = bytes::Le64(rec, 4);
        if (size < 44 || size > (1u << 20)) return 0;
        out.length = 12 + size;
        return 1;
    }
    if (sig == kLocator) {
        out.length = 20;
        return 1;
    }
    const bool local = sig == kLocal;
    if (!local && sig != kCentral) return 0;
    const std::size_t fixed = local ? 30 : 46;
    if (!bytes::Has(rec, 0, fixed)) return -1;
    const std::size_t n = bytes::Le16(rec, local ? 26 : 28), m = bytes::Le16(rec, local ? 28 : 30);
    if (local && (bytes::Le16(rec, 8) > 10 || n >= 4097)) return 0;
    if (n > 1024) return 0;
    if (!bytes::Has(rec, fixed, n)) return -1;
    out.local = local;
    out.name.assign(Text(rec.subspan(fixed, n)));
    const std::string_view name = out.name;
    if (!local) {
        out.length = fixed + n + m + bytes::Le16(rec, 32);
        if (office) out.kind = OfficeKind(name, false);
        if (!out.kind && office && Begins(name, "Accounts/Outlook/")) out.kind = FileZIPAnalyser::kOlm;
        if (!out.kind && office && name.size() >= 5 && Begins(name, "word")) out.kind = FileZIPAnalyser::kDocx;
        return 1;
    }
    // Bit 3: the sizes follow the data in a descriptor.
    out.sizesKnown = (bytes::Le16(rec, 6) & 0x0008) == 0;
    unsigned long long packed = bytes::Le32(rec, 18);
    if (packed == 0xFFFFFFFFu) {
        if (!bytes::Has(rec, fixed + n, m)) return -1;
        packed = Zip64Packed(rec.subspan(fixed + n, m), bytes::Le32(rec, 22) == 0xFFFFFFFFu);
        if (packed == ~0ull) return 0;
    }
    out.length = fixed + n + m + packed;
    out.core = name == "docProps/core.xml";
    if (office) out.kind = OfficeKind(name, true);
    if (!out.kind && name.size() == 36) {
        // A tax return's members are named by a GUID.
        if (std::count(name.begin(), name.end(), '-') == 4) out.kind = FileZIPAnalyser::kTax;
        return 1;
    }
    const bool iwork = kind == FileZIPAnalyser::kPages || kind == FileZIPAnalyser::kKey;
    // The member's first bytes, where an iWork document's own files tell its application.
    const bytes::Bytes data = rec.subspan(std::min(rec.size(), fixed + n + m));
    const std::string_view head = Text(data.subspan(0, std::min<std::size_t>(data.size(), 256)));
    auto holds = [&](std::initializer_list<std::string_view> texts) {
        for (std::string_view s : texts)
            if (head.find(s) != std::string_view::npos) return true;
        return false;
    };
    if (!out.kind && office &&
        (Begins(name, "Accounts/Outlook/") || Begins(name, "Local/com.microsoft.__Messages/")))
        out.kind = FileZIPAnalyser::kOlm;
    else if (!out.kind && !office) {
        if (name.find("numbers/") != std::string_view::npos && !iwork) out.kind = FileZIPAnalyser::kNumbers;
        if (name == "Index/Slide1.iwa" || name == "Index/Slide2.iwa" || name == "index.apxl")
            out.kind = FileZIPAnalyser::kKey;
        if (!iwork && name == "buildVersionHistory.plist")
            out.kind = head.find("<string>pages-trunk") != std::string_view::npos ? FileZIPAnalyser::kPages
                                                                                  : FileZIPAnalyser::kNumbers;
        if (!iwork && (name == "Index/DocumentStylesheet.iwa" || name == "Index/Tables/HeaderStorageBuckt-1.iwa"))
            out.kind = holds({"imported-paragraph-style-", "layout-style-"}) ? FileZIPAnalyser::kPages
                                                                             : FileZIPAnalyser::kNumbers;
        if (!iwork && (name == "Index/Metadata.iwa" || name == "Metadata/Properties.plist"))
            out.kind = holds({"CalculationEngine", "DocumentMetadata", "Xrevision"}) ? FileZIPAnalyser::kPages
                                                                                    : FileZIPAnalyser::kNumbers;
    }
    if (!out.kind && !office && kind != 110 && kind != 111 && kind != 112) {
        if (Begins(name, "OEBPS/Text/chapter") || Begins(name, "OPS/chapter.html")) out.kind = FileZIPAnalyser::kEpub;
        if (name == "mimetype") {
            const bytes::Bytes after = rec.subspan(std::min(rec.size(), fixed + n));
            out.kind = MimetypeKind(Text(after.subspan(0, std::min<std::size_t>(after.size(), 64))));
        }
    }
    if (!out.kind && office && name.size() >= 5 && Begins(name, "word")) out.kind = FileZIPAnalyser::kDocx;
    return 1;
}

bool FileZIPAnalyser::ZipIpaFileType(bytes::Bytes head) {
    const std::string_view name = FirstName(head);
    for (std::string_view p : {"Payload", "iTunesArtwork", "iTunesMetadata.plist", "Container", "WatchKitSupport",
                               "META-INF"})
        if (BeginsNoCase(name, p)) return true;
    return false;
}

bool FileZIPAnalyser::JudgeMaybeOfficeType(bytes::Bytes head) {
    const std::string_view name = FirstName(head);
    for (std::string_view p : {"[Content_Types].xml", "docProps/app.xml", "word/theme/theme1.xml", "_rels/.rels",
                               "Categories.xml"})
        if (Begins(name, p)) return true;
    // The first text up to its first zero byte, normally inside the header.
    std::string_view text = Text(head.subspan(0, std::min<std::size_t>(head.size(), 4095)));
    text = text.substr(0, text.find('\0'));
    return (text.find("doc") != std::string_view::npos && text.find("mimetype") == std::string_view::npos) ||
           text.find("ppt") != std::string_view::npos;
}

bool FileZIPAnalyser::JudgeMaybeOfficeTypeClassic(bytes::Bytes head) {
    const std::string_view name = FirstName(head);
    return JudgeMaybeOfficeType(head) || name.find("doc") != std::string_view::npos ||
           name.find("ppt") != std::string_view::npos;
}

bool FileZIPAnalyser::JudgeDrawingType(bytes::Bytes head) { return Begins(FirstName(head), "content/riffData.cdr"); }

int FileZIPAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const bytes::Bytes head = info.WindowAt(sector).From(0);
    if (bytes::Le32(head, 0) != kLocal) return 0;
    info.m_eRawFileType = ZipIpaFileType(head) ? kIpa : kZip;
    return 1;
}

bool FileZIPAnalyser::ZIPRawFileInfo::FindDescriptor(const CRawWindow& window, long long sectorByte,
                                                     unsigned long long limit) {
    // Its signature, then the CRC and the two sizes, both the distance from
    // the data's start: stored bytes that only look like one never match.
    static constexpr unsigned char kSig[] = {'P', 'K', 7, 8};
    if (m_ullSeek + 16 > limit) return false;
    const bytes::Bytes t = window.At(static_cast<long long>(m_ullSeek) - sectorByte, limit - m_ullSeek);
    if (t.empty()) {
        // No longer held: the member's end is left to the classic sizer.
        m_ullStoredData = m_ullSeek = 0;
        return false;
    }
    for (std::size_t i = 0; i + 16 <= t.size();) {
        const unsigned char* m = Apimemstr(t.data() + i, static_cast<long long>(t.size() - i), kSig, 4);
        if (!m || static_cast<std::size_t>(m - t.data()) + 16 > t.size()) break;
        i = static_cast<std::size_t>(m - t.data());
        const unsigned long long at = m_ullSeek + i, length = at - m_ullStoredData;
        if (bytes::Le32(t, i + 8) == length && bytes::Le32(t, i + 12) == length) {
            m_ullNext = at + 16;
            m_ullFileSize = m_ullNext;
            m_ullStoredData = m_ullSeek = 0;
            m_bLastKnown = true;
            return true;
        }
        i += 1;
    }
    // A descriptor may begin in the last bytes not yet looked at whole.
    m_ullSeek = limit - 15;
    return false;
}

bool FileZIPAnalyser::ZIPRawFileInfo::Walk(const CRawWindow& window, long long sectorByte, unsigned long long limit,
                                           bool& finished) {
    if (m_ullStoredData && !FindDescriptor(window, sectorByte, limit)) return true;
    while (m_bLastKnown && !finished && m_ullNext < limit) {
        const long long rel = static_cast<long long>(m_ullNext) - sectorByte;
        classZipSearch::Block b;
        const int r = classZipSearch::GetBlockSize(window.From(rel), m_bOffice, m_eRawFileType, b);
        if (r < 0) return false; // the rest comes with a later sector
        // A record reaching past the device, or past any archive this
        // carver takes, ends the walk where it begins.
        const std::uint64_t toEnd = window.BytesToDeviceEnd();
        const bool pastDevice = toEnd != CRawWindow::kUnknownEnd &&
                                m_ullNext + b.length > static_cast<unsigned long long>(sectorByte) + toEnd;
        if (r == 0 || b.length > kWalkLimit || m_ullNext + b.length > kWalkLimit || pastDevice) {
            finished = true;
            break;
        }
        if (m_strTagValue.empty() && !b.name.empty() && m_ullNext == 0) {
            m_strTagValue = b.name.substr(0, 20);
            m_bFirstKnown = b.sizesKnown;
        }
        if (b.local) m_bLastKnown = b.sizesKnown;
        m_strFileTime.clear();
        if (b.kind && m_eRawFileType != kIpa) m_eRawFileType = b.kind;
        if (b.core && m_llCoreAt < 0) m_llCoreAt = static_cast<long long>(m_ullNext);
        const bytes::Bytes head = window.From(rel);
        if (b.local && !b.sizesKnown && bytes::Le16(head, 8) == 0 && bytes::Le32(head, 18) != 0xFFFFFFFFu) {
            // A stored member whose sizes follow it (as a stream is written):
            // the walk goes on after its descriptor.
            m_ullStoredData = m_ullNext + 30 + bytes::Le16(head, 26) + bytes::Le16(head, 28);
            m_ullSeek = m_ullStoredData;
            m_ullNext += b.length;
            m_ullFileSize = m_ullNext;
            if (!FindDescriptor(window, sectorByte, limit)) break;
            continue;
        }
        m_ullNext += b.length;
        m_ullFileSize = m_ullNext;
        finished = b.end;
    }
    return true;
}

int FileZIPAnalyser::ZIPRawFileInfo::CalcRawSize(unsigned char* sector, int sectorSize, long long s,
                                                 SearchContext& context) {
    if (!sector || sectorSize <= 0) return 2;
    const unsigned long long ss = static_cast<unsigned>(sectorSize);
    const long long sectorByte = (s - m_llStartSector) * sectorSize;
    if (static_cast<unsigned long long>(sectorByte) > 20 * m_ullCap) {
        m_strFileName = std::to_string(m_llStartSector) + "-" + std::to_string(s) + "_";
        m_ullFileSize = m_ullCap;
        return 1;
    }
    const CRawWindow& window = context.m_Window;
    if (s == m_llStartSector) {
        const bytes::Bytes head = window.From(0);
        classZipSearch::Block b;
        if (classZipSearch::GetBlockSize(head, false, m_eRawFileType, b) != 1 || !b.local) return 1;
        m_bOffice = JudgeMaybeOfficeType(head);
        if (!m_bOffice && JudgeDrawingType(head)) m_eRawFileType = kCdr;
        if (m_bOffice) m_ullCap = 20000000;
    }
    bool finished = false;
    const bool walked = Walk(window, sectorByte, sectorByte + ss, finished);
    // A record whose header the window no longer holds cannot be walked.
    if (!walked && static_cast<long long>(m_ullNext) < sectorByte - static_cast<long long>(ss)) finished = true;

    if (m_llCoreAt >= 0 && !m_bCoreRead) {
        const int r = Orvex::OfficeTagFromXML::GetOfficeTagFromXML(window.From(m_llCoreAt - sectorByte), m_Info);
        if (r == 1) m_bCoreRead = true;
        if (r >= 0 || window.From(m_llCoreAt - sectorByte).empty()) m_llCoreAt = -2; // read, or never readable
    }

    if (!finished) {
        // The end record wherever it lies, across the sector border too, so
        // whatever follows the archive does not matter.
        // The sector before is held too, for the Zip64 record before the locator.
        const long long back = sectorByte > 0 && s - 1 >= context.m_llWindowStart ? static_cast<long long>(ss) : 0;
        const bytes::Bytes t = window.At(-back, ss + static_cast<unsigned long long>(back));
        if (const unsigned long long end = EndRecordIn(t, sectorByte - back, back > 21 ? back - 21 : 0)) {
            const std::uint64_t toEnd = window.BytesToDeviceEnd();
            m_ullFileSize = toEnd == CRawWindow::kUnknownEnd
                                ? end
                                : std::min<unsigned long long>(end, static_cast<unsigned long long>(sectorByte) + toEnd);
            finished = true;
        }
    }
    const unsigned z = context.m_nTrailingZero;
    if (!finished && !(m_bFirstKnown && m_bLastKnown && m_eRawFileType != kIpa) && z >= 20) {
        static constexpr unsigned char kPk[] = {'P', 'K'};
        const int e = BruteForce::RawUtility::FindMagicInBuffer(sector, sectorSize, static_cast<int>(z), kPk, 2);
        if (e >= 2) {
            const long long p = e - 2;
            const bytes::Bytes rec = window.At(p, 22);
            if (bytes::Le32(rec, 0) == kEnd) {
                // A comment said to run past the device ends with it.
                const std::uint64_t toEnd = window.BytesToDeviceEnd();
                m_ullFileSize = static_cast<unsigned long long>(
                    sectorByte + std::min<long long>(p + 22 + bytes::Le16(rec, 20),
                                                     toEnd == CRawWindow::kUnknownEnd ? (1LL << 62) : static_cast<long long>(toEnd)));
                finished = true;
            } else if (bytes::Le32(rec, 0) == kCentral && z > 21) {
                m_ullFileSize = static_cast<unsigned long long>(sectorByte + p + 48);
                finished = true;
            }
        }
        if (finished && m_bOffice) {
            const std::string_view text(reinterpret_cast<const char*>(sector), ss);
            std::size_t best = std::string_view::npos;
            for (auto [name, kind] : {std::pair{std::string_view("\0word/", 6), kDocx},
                                      std::pair{std::string_view("\0ppt/", 5), kPptx},
                                      std::pair{std::string_view("\0xl/", 4), kXlsx}})
                if (const std::size_t at = text.find(name); at < best) {
                    best = at;
                    m_eRawFileType = kind;
                }
        }
    }
    if (!finished) return 2;
    // An Office package whose members carry their sizes after the data was
    // ended by the end record's signature alone: the classic sizer walks it
    // member by member, which also types it and reads its core properties.
    if (m_bOffice && !m_bCoreRead && !(m_bFirstKnown && m_bLastKnown)) {
        m_ullFileSize = 0;
        return 1;
    }
    if (s >= m_llStartSector + 2 || m_ullFileSize > 0) FillFileInfo(s, sectorSize, z);
    return 1;
}

void FileZIPAnalyser::ZIPRawFileInfo::WillBeRemove(unsigned char*, long long s) {
    FillFileInfo(s < 0 ? m_llStartSector : s, 512, 0);
    // The classic sizer walks the archive from the device.
    m_ullFileSize = 0;
}

void FileZIPAnalyser::ZIPRawFileInfo::NameFromCore(const FileProperty& core) {
    m_Info = core;
    m_bCoreRead = true;
    m_bOffice = true;
    m_bNamed = false;
    m_strTagValue.clear();
    m_eTag = RAW_TAG_NONE;
    FillFileInfo(m_llStartSector, 512, 0);
}

void FileZIPAnalyser::ZIPRawFileInfo::FillFileInfo(long long s, int sectorSize, unsigned zeroTail) {
    if (m_bNamed) return;
    m_bNamed = true;
    const FileProperty& i = m_Info;
    const bool any = !i.m_strTitle.empty() || !i.m_strAuthor.empty() || !i.m_strLastAuthor.empty() ||
                     !i.m_strModified.empty() || !i.m_strCreated.empty();
    if (m_bCoreRead && m_bOffice && any) {
        const std::string tag = !i.m_strLastAuthor.empty() ? i.m_strLastAuthor
                                : !i.m_strAuthor.empty()   ? i.m_strAuthor
                                                           : std::string("unKnown");
        if (!i.m_strModified.empty()) m_strFileTime = i.m_strModified;
        std::string body;
        for (const std::string* f : {&i.m_strTitle, &i.m_strLastAuthor, &i.m_strAuthor})
            if (!f->empty()) {
                body = *f == i.m_strTitle && f->size() >= 25 ? f->substr(0, 24) : *f;
                if (!i.m_strModified.empty()) body += "_" + i.m_strModified;
                break;
            }
        if (body.empty()) body = !i.m_strModified.empty() ? i.m_strModified : i.m_strCreated;
        m_strFileName = tag + "_" + body;
        if (m_eRawFileType >= kDocx && m_eRawFileType <= kPptx)
            SetRawFileTagAndValue(RAW_TAG_OFFICE, tag);
        else
            m_strTagValue.clear();
    } else if (!(m_bCoreRead && m_bOffice)) {
        // The first member's name is no label.
        m_strTagValue.clear();
        m_strFileName = std::to_string(m_llStartSector) + "-" + std::to_string(s) + "_";
    } else {
        m_strTagValue.clear();
    }
    if (m_ullFileSize == 0 && s >= m_llStartSector)
        m_ullFileSize = static_cast<unsigned long long>(sectorSize) * static_cast<unsigned long long>(s + 1 - m_llStartSector) - zeroTail;
}

int FileZIPAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
    if (!device || info.m_llStartSector < 0 ||
        static_cast<unsigned long long>(info.m_llStartSector) >= device->GetTotalSectors())
        return 0;
    RawFileBuffer file(device, static_cast<unsigned long long>(info.m_llStartSector));
    auto fetch = [&](unsigned long long at, std::size_t n) {
        const unsigned char* p = file.Fetch(at, n);
        return p ? bytes::Bytes(p, n) : bytes::Bytes();
    };
    const bytes::Bytes first = fetch(0, 30);
    if (bytes::Le32(first, 0) != kLocal) return 0;
    const bool office = JudgeMaybeOfficeTypeClassic(fetch(0, std::min<std::size_t>(file.GetSectorSize(), 512)));
    unsigned kind = info.m_eRawFileType == kIpa ? kIpa : kZip;
    if (!office && JudgeDrawingType(fetch(0, std::min<std::size_t>(file.GetSectorSize(), 512)))) kind = kCdr;
    const unsigned long long deviceBytes =
        (device->GetTotalSectors() - static_cast<unsigned long long>(info.m_llStartSector)) * file.GetSectorSize();
    auto* streamed = dynamic_cast<ZIPRawFileInfo*>(&info);
    FileProperty core;
    bool coreRead = false;
    unsigned long long at = 0;
    while (at <= kWalkLimit) {
        // The name and the bytes after it, which tell a stored "mimetype" member's kind.
        bytes::Bytes head;
        for (std::size_t n : {30u + 1024u + 64u, 46u, 30u, 22u})
            if (head.empty()) head = fetch(at, n);
        classZipSearch::Block b;
        int r = classZipSearch::GetBlockSize(head, office, kind, b);
        if (r < 0) {
            // The name and extra field: at most 64 KiB more.
            const std::size_t want = 46 + 1024 + 65535 + 1024;
            bytes::Bytes more;
            for (std::size_t n = want; more.empty() && n >= 64; n /= 2) more = fetch(at, n);
            r = classZipSearch::GetBlockSize(more, office, kind, b);
        }
        if (r != 1 || b.length > kWalkLimit || at + b.length > deviceBytes) break;
        if (b.kind && kind != kIpa) kind = b.kind;
        if (b.end) {
            at += b.length;
            info.m_eRawFileType = kind;
            info.m_ullFileSize = at;
            if (streamed && coreRead) streamed->NameFromCore(core);
            return 1;
        }
        const bool wantCore = b.core && office && !coreRead && streamed && !streamed->m_bCoreRead;
        if (b.local && b.sizesKnown && wantCore) {
            const bytes::Bytes member = fetch(at, static_cast<std::size_t>(std::min<unsigned long long>(b.length, 30 + 2048 + 10240)));
            coreRead = Orvex::OfficeTagFromXML::GetOfficeTagFromXML(member, core) == 1;
        }
        if (b.local && !b.sizesKnown && bytes::Le16(head, 8) == Z_DEFLATED) {
            // Sizes after the data: the deflate stream tells where the data
            // ends, and the descriptor (its signature optional) follows.
            const unsigned long long data = at + 30 + bytes::Le16(head, 26) + bytes::Le16(head, 28);
            std::string xml;
            const unsigned long long len = DeflatedLength(file, data, kWalkLimit - std::min(data, kWalkLimit),
                                                          deviceBytes, wantCore ? &xml : nullptr,
                                                          Orvex::OfficeTagFromXML::kMaxMember);
            unsigned long long next = 0;
            if (len != ~0ull) {
                const unsigned long long end = data + len;
                const bytes::Bytes d = fetch(end, 4);
                const bool signed_ = !d.empty() && bytes::Le32(d, 0) == 0x08074B50;
                for (unsigned long long skip : {signed_ ? 16ull : 12ull, signed_ ? 24ull : 20ull}) {
                    const bytes::Bytes n = fetch(end + skip, 4);
                    if (!n.empty() && IsRecord(bytes::Le32(n, 0))) {
                        next = end + skip;
                        break;
                    }
                }
            }
            if (next) {
                if (wantCore && !xml.empty()) {
                    Orvex::OfficeTagFromXML::AnalyzeTag(xml, core);
                    coreRead = true;
                }
                at = next;
                continue;
            }
        }
        if (b.local && !b.sizesKnown) {
            // Sizes after the data: the end record found by its signature.
            const unsigned long long base = static_cast<unsigned long long>(info.m_llStartSector) * file.GetSectorSize();
            Searched& known = g_searched;
            const unsigned long long sectors = device->GetTotalSectors();
            if (known.device != device || known.sectors != sectors) known = Searched{device, sectors, 0, 0};
            for (unsigned long long u = at; u <= kSearchLimit && u + 4 <= deviceBytes; u += 512) {
                // Units already searched are passed over, on the same grid;
                // searched to the device's end, nothing is left to read.
                if (known.from <= base + u && base + u < known.to && known.to + 3 >= base + deviceBytes) break;
                if (known.from <= base + u && base + u < known.to && (known.to - base - u) / 512 > 0) {
                    u += ((known.to - base - u) / 512 - 1) * 512;
                    continue;
                }
                // A unit and the end record that may begin in its last bytes.
                const std::size_t unitBytes = static_cast<std::size_t>(std::min(512ull + 22, deviceBytes - u));
                bytes::Bytes unit = fetch(u, unitBytes);
                if (unit.empty()) break;
                const unsigned char sig[] = {'P', 'K', 5, 6};
                const long long span = std::min<long long>(512 + 3, static_cast<long long>(unit.size()));
                {
                    // Up to its first signature, the unit holds none.
                    const unsigned char* e = span >= 4 ? Apimemstr(unit.data(), span, sig, 4) : nullptr;
                    const unsigned long long clean = e ? static_cast<unsigned long long>(e - unit.data())
                                                       : static_cast<unsigned long long>(std::max<long long>(span - 3, 0));
                    if (known.from <= base + u && base + u <= known.to)
                        known.to = std::max(known.to, base + u + clean);
                    else
                        known = Searched{device, sectors, base + u, base + u + clean};
                }
                for (long long from = 0; !unit.empty() && from < span;) {
                    const unsigned char* e = Apimemstr(unit.data() + from, span - from, sig, 4);
                    if (!e) break;
                    const std::size_t p = static_cast<std::size_t>(e - unit.data());
                    // The end record of an archive stored in this one: its
                    // directory lies right before it counted from a local
                    // header further in, not from this archive's start.
                    const unsigned long long end = u + p;
                    unsigned long long directory =
                        std::uint64_t{bytes::Le32(unit, p + 12)} + bytes::Le32(unit, p + 16);
                    if (bytes::Le32(unit, p + 16) == 0xFFFFFFFFu && end >= 20 + 56) {
                        // A Zip64 archive's: its directory ends at the Zip64
                        // record, which its locator names.
                        const bytes::Bytes z = fetch(end - 20 - 56, 56 + 20);
                        if (bytes::Le32(z, 0) == kEnd64 && bytes::Le32(z, 56) == kLocator &&
                            bytes::Le64(z, 64) < (1ull << 62))
                            directory = 20 + 56 + bytes::Le64(z, 64);
                    }
                    if (directory < end && bytes::Le32(fetch(end - directory, 4), 0) == kLocal) {
                        unit = fetch(u, unitBytes); // the page reader may have moved
                        from = static_cast<long long>(p) + 4;
                        continue;
                    }
                    unit = fetch(u, unitBytes);
                    if (unit.empty()) break;
                    info.m_eRawFileType = kind;
                    // A comment said to run past the device ends with it.
                    info.m_ullFileSize = std::min(u + p + 22 + bytes::Le16(unit, p + 20), deviceBytes);
                    if (streamed && coreRead) streamed->NameFromCore(core);
                    return 1;
                }
            }
            return 0;
        }
        at += b.length;
    }
    // No end record: the archive is taken to run to the first sector ending
    // in zeros, from the sector where the walk stopped.
    if (at == 0) return 0;
    const unsigned long long ss = file.GetSectorSize();
    unsigned long long size = at;
    const unsigned long long rounded = at / ss * ss;
    const bytes::Bytes stop = fetch(rounded, static_cast<std::size_t>(ss));
    if (!stop.empty() && bytes::Le32(stop, ss - 4) != 0 && rounded <= kZeroTailLimit) {
        unsigned long long u = rounded;
        for (; u <= kZeroTailLimit; u += ss) {
            const bytes::Bytes sector = fetch(u, static_cast<std::size_t>(ss));
            if (sector.empty()) break;
            if (std::all_of(sector.end() - 16, sector.end(), [](unsigned char c) { return c == 0; })) {
                u += ss - 16;
                break;
            }
        }
        size = std::max(at, std::min(u, deviceBytes));
    }
    info.m_eRawFileType = kind;
    info.m_ullFileSize = size;
    return 1;
}
