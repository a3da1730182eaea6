#pragma once
// Reads the SummaryInformation property set of a compound file (title,
// author, last author, created and last-saved times) from the bytes of one
// sector that begins with the property-set byte order FE FF.
#include "engine/carver/metadata/FileProperty.h"

#include <string>

class CSummaryInFormation {
public:
    // True when at least one of the five properties gave a non-empty text.
    bool GetFileInformation(const unsigned char* buf, FileProperty& out, int length);
    // FILETIME (100 ns since 1601) as "YYYY-MM-DD-HH-MM-SS" in local time; "" for 0.
    static std::string FileTimeText(unsigned long long filetime);

private:
    // One typed value at offset: its text, or its number (VT_I2). False when it cannot be read.
    bool GetDetailInformation(const unsigned char* buf, long long offset, int& number, std::string& text) const;

    int m_nLength = 0;
    int m_nCodePage = 0; // the set's codepage property, 0 when absent
};
