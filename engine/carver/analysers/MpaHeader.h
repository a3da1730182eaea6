#pragma once
// MPEG audio frame headers (MPEG-1, MPEG-2 and MPEG-2.5, Layers I to III):
// the four header bytes split into their fields, headers no real stream
// carries refused, and the frame's length in bytes. Also the 28-bit
// "synchsafe" sizes of ID3v2 tags.
#include <cstdint>

class CMPAHeader {
public:
    // 1 when the four bytes form a usable header. Byte 0 and the top three
    // bits of byte 1 (the sync bits) are not tested: callers test them.
    int Init(const unsigned char* header);
    // The frame's length in bytes, after a successful Init.
    std::uint32_t CalcFrameSize() const;

    bool m_bLSF = false;             // MPEG-2 or MPEG-2.5
    std::uint32_t m_nVersion = 0;    // version bits: 0 MPEG-2.5, 2 MPEG-2, 3 MPEG-1
    std::uint32_t m_nLayer = 0;      // 0 Layer I, 1 Layer II, 2 Layer III
    std::uint32_t m_nEmphasis = 0;
    std::uint32_t m_nChannelMode = 0; // 0 stereo, 1 joint stereo, 2 dual channel, 3 single channel
    std::uint32_t m_dwSamplesPerSec = 0;
    std::uint32_t m_dwSamplesPerFrame = 0;
    std::uint32_t m_dwBitrate = 0;   // bit/s
    std::uint32_t m_dwPaddingSize = 0;
    std::uint16_t m_wBound = 0;      // intensity-stereo bound, joint stereo only
    std::uint16_t m_wAllocationTableIndex = 0;
    std::uint8_t m_bCopyright = 0;
    std::uint8_t m_bPrivate = 0;
    std::uint8_t m_bOriginal = 0;
    std::uint8_t m_bCRC = 0;
    std::uint8_t m_nModeExt = 0;

    static const std::uint32_t m_dwBitrates[2][3][15];
    static const std::uint32_t m_dwSamplingRates[4][3];
    static const std::uint32_t m_dwSamplesPerFrames[2][3];
    static const std::uint32_t m_dwCoefficients[2][3];
    static const std::uint32_t m_dwSlotSizes[3];
    static const bool m_bAllowedModes[16][2];
};

class classMp3Search {
public:
    // 1 and *out = the 28-bit value when each of the four bytes is below 0x80.
    static int GetSynchsafeInteger(const unsigned char* p, unsigned int* out);
};
