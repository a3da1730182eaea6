#include "engine/carver/analysers/RiffAnalysers.h"

#include "engine/carver/RawFileBuffer.h"
#include "engine/carver/analysers/StreamView.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

bool SameSign(const unsigned char* field, const char* sign) {
    for (int i = 0; i < 4; ++i) {
        const unsigned char a = field[i], b = static_cast<unsigned char>(sign[i]);
        if (a == 0 && b == 0) return true;
        if (std::tolower(a) != std::tolower(b)) return false;
    }
    return true;
}

// The whole chunk: its 8-byte header, its data and the pad byte of an odd size.
unsigned long long ChunkBytes(std::uint32_t size) { return std::uint64_t{size} + 8 + (size & 1); }

} // namespace

bool FileRIFFAnalyser::CompareSignString(const char* sign1, const char* sign2, const unsigned char* buffer) {
    if (!sign1 || !sign2 || !buffer || std::strlen(sign1) != 4 || std::strlen(sign2) != 4) return false;
    return SameSign(buffer + 8, sign1) && SameSign(buffer + 12, sign2);
}

int FileRIFFAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    unsigned type = kRiff;
    if (CompareSignString("WAVE", "fmt ", sector)) {
        type = kWav;
    } else if (CompareSignString("AVI ", "LIST", sector)) {
        type = kAvi;
    } else if (CompareSignString("ACON", "LIST", sector) || CompareSignString("ACON", "anih", sector)) {
        type = kAni;
    } else if (std::memcmp(sector + 8, "CMX1", 4) == 0 &&
               std::memcmp(sector + 20, "{Corel Binary Meta File}", 24) == 0) {
        type = kCmx;
    } else if (CompareSignString("CARC", "vrsn", sector)) {
        type = kClk;
    } else if (CompareSignString("CSL2", "vrsn", sector)) {
        type = kCsl;
    } else {
        for (const char* form : {"CDR7", "CDR8", "cdr8", "CDR9", "CDRA", "CDRB", "CDRC"})
            if (CompareSignString(form, "vrsn", sector)) type = kCdr;
    }
    info.m_eRawFileType = type;
    info.m_ullFileSize = 0;
    return 1;
}

int FileRIFFAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (!device || record.m_llStartSector < 0) return 0;
    RawFileBuffer file(device, static_cast<unsigned long long>(record.m_llStartSector));
    const unsigned char* head = file.Fetch(0, 16);
    if (!head) return 1;
    unsigned long long size = ChunkBytes(bytes::Le32(bytes::Bytes(head, 16), 4));
    // An AVI past 1 GiB goes on in "RIFF" chunks of form "AVIX", one after another.
    if (std::memcmp(head + 8, "AVI ", 4) == 0) {
        for (unsigned n = 0; n < kMaxAvix; ++n) {
            const unsigned char* next = file.Fetch(size, 12);
            if (!next || std::memcmp(next, "RIFF", 4) != 0 || std::memcmp(next + 8, "AVIX", 4) != 0) break;
            size += ChunkBytes(bytes::Le32(bytes::Bytes(next, 12), 4));
        }
    }
    // The chunk's own size, not rounded to sectors: what follows is not the file's.
    record.m_ullFileSize = std::min(size, BruteForce::DeviceRoom(device, record.m_llStartSector));
    return 1;
}

int CFileAIFAnalyzer::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector || std::memcmp(sector + 8, "AIF", 3) != 0) return 0;
    info.m_eRawFileType = kAiffType;
    return 1;
}

int CFileAIFAnalyzer::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (!device || record.m_llStartSector < 0) return 0;
    RawFileBuffer file(device, static_cast<unsigned long long>(record.m_llStartSector));
    const unsigned char* head = file.Fetch(0, 12);
    record.m_ullFileSize = 0;
    if (head && std::memcmp(head, "FORM", 4) == 0 && std::memcmp(head + 8, "AIF", 3) == 0)
        record.m_ullFileSize = std::min<unsigned long long>(std::uint64_t{bytes::Be32(bytes::Bytes(head, 12), 4)} + 8,
                                        BruteForce::DeviceRoom(device, record.m_llStartSector));
    return 1;
}

int FileAUAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    info.m_eRawFileType = kAuType;
    const bytes::Bytes head(sector, 12);
    const std::uint64_t offset = bytes::Be32(head, 4), size = bytes::Be32(head, 8);
    // A size past the device's end is not this file's.
    if (offset < 24 || size == 0xFFFFFFFF || offset + size > info.WindowAt(sector).BytesToDeviceEnd()) {
        info.m_ullFileSize = 0;
        return 0;
    }
    info.m_ullFileSize = offset + size;
    return 1;
}
