#include "engine/carver/metadata/OfficeTagFromXML.h"

#include <tinyxml.h>
#include <zlib.h>

#include <cstring>

namespace Orvex {

int OfficeTagFromXML::GetOfficeTagFromXML(bytes::Bytes member, FileProperty& out) {
    if (!bytes::Has(member, 0, 30)) return -1;
    const unsigned method = bytes::Le16(member, 8);
    const std::size_t packed = bytes::Le32(member, 18), size = bytes::Le32(member, 22);
    if (packed == 0 || size == 0 || packed > kMaxMember || size > kMaxMember || method > 10) return 0;
    const std::size_t data = 30 + std::size_t{bytes::Le16(member, 26)} + bytes::Le16(member, 28);
    if (!bytes::Has(member, data, packed)) return -1;
    std::string xml;
    if (!bDepress(member.subspan(data, packed), method, size, xml)) return 0;
    AnalyzeTag(xml, out);
    return 1;
}

bool OfficeTagFromXML::bDepress(bytes::Bytes data, unsigned method, std::size_t uncompressed, std::string& out) {
    if (uncompressed > kMaxMember) return false;
    if (method == 0) {
        out.assign(reinterpret_cast<const char*>(data.data()), std::min(data.size(), uncompressed));
        return true;
    }
    if (method != Z_DEFLATED) return false;
    out.assign(uncompressed, '\0');
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return false;
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    // The output never grows past the member's stated size.
    const int rc = inflate(&z, Z_FINISH);
    out.resize(z.total_out);
    inflateEnd(&z);
    return rc == Z_STREAM_END || (rc == Z_BUF_ERROR && z.avail_out == 0);
}

void OfficeTagFromXML::AnalyzeTag(const std::string& xml, FileProperty& out) {
    if (xml.compare(0, 2, "<?") != 0) return;
    TiXmlDocument doc;
    doc.Parse(xml.c_str(), nullptr, TIXML_ENCODING_UTF8);
    if (!doc.FirstChildElement()) return;
    TiXmlHandle core = TiXmlHandle(&doc).FirstChildElement("cp:coreProperties");
    auto text = [&](const char* name) -> std::string {
        const TiXmlElement* e = core.FirstChildElement(name).ToElement();
        const char* t = e ? e->GetText() : nullptr;
        return t && std::strlen(t) < 1024 ? std::string(t) : std::string();
    };
    // Texts stay UTF-8, as every name in the carver's trees is.
    const std::pair<const char*, std::string*> texts[] = {
        {"dc:title", &out.m_strTitle}, {"dc:creator", &out.m_strAuthor}, {"cp:lastModifiedBy", &out.m_strLastAuthor}};
    for (const auto& [name, field] : texts)
        if (std::string v = text(name); !v.empty()) *field = v;
    const std::pair<const char*, std::string*> times[] = {{"dcterms:created", &out.m_strCreated},
                                                          {"dcterms:modified", &out.m_strModified}};
    for (const auto& [name, field] : times)
        if (std::string v = FilterFileTime(text(name)); !v.empty()) *field = v;
}

std::string OfficeTagFromXML::FilterFileTime(std::string time) {
    for (std::size_t i = 1; i < time.size(); ++i) {
        const char c = time[i];
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))
            time[i] = ' ';
        else if (c == ':')
            time[i] = '-';
    }
    return time;
}

} // namespace Orvex
