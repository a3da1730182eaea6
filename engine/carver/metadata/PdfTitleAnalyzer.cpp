#include "engine/carver/metadata/PdfTitleAnalyzer.h"

#include "engine/carver/RawUtility.h"
#include "engine/common/TextConvert.h"

#include <algorithm>
#include <cstring>

namespace BruteForce {
namespace {

constexpr std::size_t kCutAbove = 25;

bool TextLike(unsigned char c) {
    if ((c >= '1' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
    return std::strchr("\xFE\xFF\r ()-./:<>", c) != nullptr || c == 0;
}

// Index of needle in text[0, length), or -1.
long long Find(const unsigned char* text, long long length, const char* needle) {
    const auto* at = Apimemstr(text, length, reinterpret_cast<const unsigned char*>(needle),
                               static_cast<long long>(std::strlen(needle)));
    return at ? at - text : -1;
}

// A name-like value: at least 2 bytes of letters, digits, blank, ( - . _.
bool JudeLegalInfo(const std::string& v) {
    if (v.size() < 2) return false;
    return std::all_of(v.begin(), v.end(), [](unsigned char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
               std::strchr(" (-._", c) != nullptr;
    });
}

std::string CleanText(std::string v) {
    v = ApiStrFilterBadFileName(v); // trailing blanks go, bad file-name characters become "_"
    return JudeLegalInfo(v) ? v : std::string();
}

} // namespace

bool PdfTitleAnalyzer::RemoveNolessVec(const unsigned char* text, int length) {
    if (!text || length < 4) return false;
    const int q = length / 4;
    for (int at : {0, q - 1, 2 * q - 1, 3 * q - 1})
        if (at >= 0 && at < length && TextLike(text[at])) return true;
    return false;
}

bool PdfTitleAnalyzer::ObtainPerSecPDFInformation(const unsigned char* text, int length, bool moreData,
                                                  FileProperty& info) {
    (void)moreData; // the caller's length already covers the buffered sector
    if (!RemoveNolessVec(text, length)) return false;
    const long long obj = Find(text, length, "obj");
    if (obj < 0) return false;
    const long long rest = length - obj;
    if (rest < 0) return false;
    m_nLength = static_cast<unsigned>(rest);
    return SeparateInformation(text + obj, static_cast<int>(rest), info);
}

std::string PdfTitleAnalyzer::ObtainPerInfo(const unsigned char* text, int length) {
    if (!text || length <= 0) return {};
    const int scan = std::min(length, kValueBytes);
    long long open = -1, close = -1;
    // The key's own "/" is at 0; the value ends at the next one.
    for (int i = 0; i < scan; ++i) {
        if (text[i] == '/' && i > 0) break;
        if (text[i] == '(' && open < 0) open = i + 1;
        if (text[i] == ')' && close < 0) close = i;
    }
    if (open < 0 || close < 0 || close < open || close > length) return {};
    const unsigned char* span = text + open;
    const std::size_t n = static_cast<std::size_t>(close - open);
    if (n >= 2 && span[0] == 0xFE && span[1] == 0xFF) {
        if (n > static_cast<std::size_t>(kValueBytes)) return {};
        std::string utf8 = CharsetToUtf8("UTF-16BE", span + 2, n - 2);
        return utf8.substr(0, utf8.find('\0'));
    }
    const auto* nul = static_cast<const unsigned char*>(std::memchr(span, 0, n));
    return std::string(reinterpret_cast<const char*>(span), nul ? static_cast<std::size_t>(nul - span) : n);
}

std::string PdfTitleAnalyzer::TimeChange(const std::string& d) {
    if (d.size() < 17) return {};
    for (std::size_t i = 2; i < 16; ++i)
        if (d[i] < '0' || d[i] > '9') return {};
    return d.substr(2, 4) + "-" + d.substr(6, 2) + "-" + d.substr(8, 2) + " " + d.substr(10, 2) + "-" +
           d.substr(12, 2) + "-" + d.substr(14, 2);
}

bool PdfTitleAnalyzer::SeparateInformation(const unsigned char* text, int length, FileProperty& info) {
    enum { Author, Creator, Created, Modified, Producer, Title, Keys };
    static constexpr const char* kKeys[Keys] = {"/Author", "/Creator", "/CreationDate", "/ModDate", "/Producer", "/Title"};
    long long at[Keys];
    for (int k = 0; k < Keys; ++k) at[k] = Find(text, length, kKeys[k]);
    const bool ok = (at[Author] >= 0 && at[Creator] >= 0) ||
                    (at[Created] >= 0 && (at[Author] >= 0 || at[Creator] >= 0 || at[Modified] >= 0));
    if (!ok) return false;
    // A dictionary cut by the end of the text would be taken without the
    // keys that follow the cut; a later sector sees it whole.
    const long long last = *std::max_element(std::begin(at), std::end(at));
    if (Find(text + last, length - last, ">>") == -1) return false;
    std::string* field[Keys] = {&info.m_strLastAuthor, &info.m_strAuthor, &info.m_strCreated,
                                &info.m_strModified, &info.m_strProducer, &info.m_strTitle};
    for (int k = 0; k < Keys; ++k) {
        if (at[k] < 0) continue;
        std::string v = ObtainPerInfo(text + at[k], static_cast<int>(length - at[k]));
        if (k == Created || k == Modified) {
            *field[k] = TimeChange(v);
            continue;
        }
        v = CleanText(TruncateUtf8(v, kCutAbove));
        // A title with digits is more often a file or job name than a title.
        if (k == Title && v.find_first_of("0123456789") != std::string::npos) v.clear();
        if (!v.empty() || k == Title) *field[k] = v;
    }
    return !info.m_strAuthor.empty() || !info.m_strCreated.empty() || !info.m_strLastAuthor.empty() ||
           !info.m_strModified.empty();
}

} // namespace BruteForce
