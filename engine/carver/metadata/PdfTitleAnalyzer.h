#pragma once
// Reads a PDF's document information (title, author, creator, producer and
// the two dates) from the text of one sector (and the one after it when it is
// buffered). Only literal string values are read; hexadecimal strings and
// escapes are not interpreted.
#include "engine/carver/metadata/FileProperty.h"

#include <string>

namespace BruteForce {

class PdfTitleAnalyzer {
public:
    static constexpr int kValueBytes = 512;

    // True when information was found in this text (moreData: the length
    // covers the following sector too).
    bool ObtainPerSecPDFInformation(const unsigned char* text, int length, bool moreData, FileProperty& info);

    // The literal string value after a key: between its first "(" and first
    // ")", within the first 512 bytes and before the first "/" after the key.
    static std::string ObtainPerInfo(const unsigned char* text, int length);
    // "D:YYYYMMDDHHmmSS…" as "YYYY-MM-DD HH-mm-SS"; empty when not that form.
    static std::string TimeChange(const std::string& date);

private:
    static bool RemoveNolessVec(const unsigned char* text, int length);
    static bool SeparateInformation(const unsigned char* text, int length, FileProperty& info);

    unsigned m_nLength = 0; // length of the text last examined
};

} // namespace BruteForce
