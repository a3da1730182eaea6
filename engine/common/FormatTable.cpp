#include "engine/common/FormatTable.h"

#include <cstdint>
#include <string>

// Rows not listed are zero-initialised (empty texts).
const char g_s_strFileExtName[kFormatTableRows][9] = {
    "Raw", "3DS", "3GP", "ADP", "ANI", "AI", "ASF", "WMA", "WMV", "AU", "AVI", "BMP", "CAB", "CDR",
    "CHM", "CLK", "CMX", "CPT", "CRW", "CSL", "CUR", "DBX", "DLL", "DOC", "DWG", "DXF", "EMF",
    "EPS", "EXE", "FH11", "GIF", "GZ", "HLP", "HTM", "ICO", "JPG", "LZH", "MAX", "MID", "MDB",
    "MNY", "MOF", "MOV", "MP3", "MP4", "M4A", "M4V", "MPP", "OLE", "ONE", "PDF", "PNG", "PPT",
    "PUB", "PSD", "PSP", "PST", "QPW", "RAR", "RIFF", "RTF", "SHW", "SWF", "TAR", "TIF", "TTF",
    "VSD", "WAV", "WPD", "WPG", "WMF", "XLS", "ZIP", "DOCX", "XLSX", "PPTX", "ACCDB", "NEF", "NRW",
    "AAC", "AIFF", "APE", "OGG", "CR2", "SR2", "ARW", "RAW", "RW2", "DNG", "RAF", "FLV", "SVG",
    "SIT", "SITX", "RM", "RMVB", "MKV", "DCR", "KDC", "3FR", "ERF", "MEF", "MRW", "MDC", "PEF",
    "PTX", "SRW", "ORF", "X3F", "MPG", "PAGES", "KEY", "NUMBERS", "DMG", "EPUB", "FCPEVENT", "EMLX",
    "ITL", "IPA", "pkg", "OLM", "ABCDDB", "icns", "ODT", "ODS", "ODP", "MBOX", "INDD", "MUSE",
    "M2TS", "GPX", "PLIST", "IBA", "MOBI", "SIB", "JKS", "PSAFE3", "NGRR", "TREC", "ENEX", "IPT",
    "AAF", "MXF", "SKETCH", "AEP", "TAX", "MLV",
};

const char* FormatExtension(unsigned type) { return type < kFormatTableRows ? g_s_strFileExtName[type] : ""; }

long UTF8ToUNICODE(const unsigned char* src, long srcLen, wchar_t* dst, long dstLen) {
    if (!src || !dst || srcLen <= 0 || dstLen <= 0) return 0;
    long i = 0;
    long out = 0;
    while (i < srcLen && out < dstLen) {
        const unsigned char lead = src[i];
        if (lead < 0x80) {
            dst[out++] = lead;
            ++i;
            continue;
        }
        int extra;
        std::uint32_t cp;
        if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            cp = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            cp = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            cp = lead & 0x07;
        } else if ((lead & 0xFC) == 0xF8) {
            extra = 4;
            cp = lead & 0x03;
        } else if ((lead & 0xFE) == 0xFC) {
            extra = 5;
            cp = lead & 0x01;
        } else {
            return 0; // a continuation byte or 0xFE/0xFF cannot start a character
        }
        if (srcLen - i - 1 < extra) break; // the sequence is cut at the end of the source
        for (int k = 1; k <= extra; ++k) {
            const unsigned char c = src[i + k];
            if ((c & 0xC0) != 0x80) return 0;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (cp >= 0x110000) return out < 33 ? 0 : out;
        if (cp >= 0x10000) {
            if (dstLen - out < 2) break;
            cp -= 0x10000;
            dst[out++] = static_cast<wchar_t>(0xD800 + (cp >> 10));
            dst[out++] = static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
        } else {
            dst[out++] = static_cast<wchar_t>(cp);
        }
        i += extra + 1;
    }
    return out;
}

unsigned long UTF8ToANSI(const unsigned char* src, unsigned long srcLen, char* dst, unsigned long dstLen) {
    if (!src || !dst || srcLen == 0 || dstLen == 0) return 0;
    const long room = static_cast<long>(dstLen);
    std::wstring units(static_cast<size_t>(room) + 1, L'\0');
    const long n = UTF8ToUNICODE(src, static_cast<long>(srcLen), units.data(), room);
    if (n <= 0) return 0;
    unsigned long written = 0;
    for (long k = 0; k < n; ++k) {
        std::uint32_t cp = static_cast<std::uint32_t>(units[static_cast<size_t>(k)]);
        if (cp >= 0xD800 && cp <= 0xDBFF && k + 1 < n) {
            const std::uint32_t lo = static_cast<std::uint32_t>(units[static_cast<size_t>(k + 1)]);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                ++k;
            }
        }
        char buf[4];
        unsigned len;
        if (cp < 0x80) {
            buf[0] = static_cast<char>(cp);
            len = 1;
        } else if (cp < 0x800) {
            buf[0] = static_cast<char>(0xC0 | (cp >> 6));
            buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
            len = 2;
        } else if (cp < 0x10000) {
            buf[0] = static_cast<char>(0xE0 | (cp >> 12));
            buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
            len = 3;
        } else {
            buf[0] = static_cast<char>(0xF0 | (cp >> 18));
            buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
            len = 4;
        }
        if (dstLen - written < len) break; // whole characters only
        for (unsigned b = 0; b < len; ++b) dst[written++] = buf[b];
    }
    if (written < dstLen) dst[written] = '\0';
    return written;
}
