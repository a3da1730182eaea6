#pragma once
// Sizes a text file by searching its end marker sector by sector.
#include "engine/carver/RawFileInfo.h"

#include <cstdint>

struct SearchSignCodeInfo {
    unsigned char m_szSign[64] = {}; // marker bytes, zero-padded
    unsigned m_nSignLen = 0;
    unsigned long long m_ullMaxSize = 0; // 0 = 0xD000000 bytes
};

class SearchSignFileAnalyser {
public:
    static constexpr unsigned long long kDefaultLimit = 0xD000000;

    // Sets the record's size from its start sector on `device`: just past the
    // marker in the first sector ending in zero bytes that holds it (or where
    // it straddles into such a sector), else where the search stopped.
    // Answers 1; 0 only for a null device.
    static int SearchEndSignCode(CRawFileInfo& record, IStorageDevice* device, const SearchSignCodeInfo& sign,
                                 int caseSensitive);
};
