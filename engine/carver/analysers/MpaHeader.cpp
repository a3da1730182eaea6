#include "engine/carver/analysers/MpaHeader.h"

const std::uint32_t CMPAHeader::m_dwBitrates[2][3][15] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}},
};
const std::uint32_t CMPAHeader::m_dwSamplingRates[4][3] = {
    {11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};
const std::uint32_t CMPAHeader::m_dwSamplesPerFrames[2][3] = {{384, 1152, 1152}, {384, 1152, 576}};
const std::uint32_t CMPAHeader::m_dwCoefficients[2][3] = {{12, 144, 144}, {12, 144, 72}};
const std::uint32_t CMPAHeader::m_dwSlotSizes[3] = {4, 1, 1};
// Layer II, MPEG-1: (allowed in a two-channel mode, allowed in single channel) by bitrate index.
const bool CMPAHeader::m_bAllowedModes[16][2] = {
    {true, true},  {false, true}, {false, true}, {false, true}, {true, true},  {false, true},
    {true, true},  {true, true},  {true, true},  {true, true},  {true, true},  {true, false},
    {true, false}, {true, false}, {true, false}, {false, false}};

int CMPAHeader::Init(const unsigned char* h) {
    if (!h) return 0;
    m_nVersion = (h[1] >> 3) & 3;
    if (m_nVersion == 1) return 0;
    m_bLSF = m_nVersion != 3;
    const unsigned layerBits = (h[1] >> 1) & 3;
    if (layerBits == 0) return 0;
    m_nLayer = layerBits ^ 3;
    m_bCRC = (h[1] & 1) ? 0 : 1;

    const unsigned bitrateIndex = h[2] >> 4;
    if (bitrateIndex == 15) return 0;
    m_dwBitrate = m_dwBitrates[m_bLSF][m_nLayer][bitrateIndex] * 1000;
    if (m_dwBitrate == 0) return 0; // free format
    const unsigned rateIndex = (h[2] >> 2) & 3;
    if (rateIndex == 3) return 0;
    m_dwSamplesPerSec = m_dwSamplingRates[m_nVersion][rateIndex];
    m_dwPaddingSize = (h[2] >> 1) & 1;
    m_bPrivate = h[2] & 1;
    m_dwSamplesPerFrame = m_dwSamplesPerFrames[m_bLSF][m_nLayer];

    m_nChannelMode = h[3] >> 6;
    m_nModeExt = (h[3] >> 4) & 3;
    if (m_nChannelMode == 1) m_wBound = static_cast<std::uint16_t>(4 * m_nModeExt + 4);
    m_bCopyright = (h[3] >> 3) & 1;
    m_bOriginal = (h[3] >> 2) & 1;
    m_nEmphasis = h[3] & 3;
    if (m_nEmphasis == 2) return 0;

    if (m_nLayer == 1) {
        if (m_bLSF) {
            m_wAllocationTableIndex = 4;
        } else {
            const bool single = m_nChannelMode == 3;
            if (!m_bAllowedModes[bitrateIndex][single ? 1 : 0]) return 0;
            const unsigned perChannel = m_dwBitrate / 1000 / (single ? 1 : 2);
            switch (perChannel) {
            case 56:
            case 64:
            case 80: m_wAllocationTableIndex = 0; break;
            case 96:
            case 112:
            case 128:
            case 160:
            case 192: m_wAllocationTableIndex = m_dwSamplesPerSec == 48000 ? 0 : 1; break;
            case 32:
            case 48: m_wAllocationTableIndex = m_dwSamplesPerSec == 32000 ? 3 : 2; break;
            default: break;
            }
        }
    }
    return 1;
}

std::uint32_t CMPAHeader::CalcFrameSize() const {
    if (m_nLayer > 2 || m_dwSamplesPerSec == 0) return 0;
    return (m_dwCoefficients[m_bLSF][m_nLayer] * m_dwBitrate / m_dwSamplesPerSec + m_dwPaddingSize) *
           m_dwSlotSizes[m_nLayer];
}

int classMp3Search::GetSynchsafeInteger(const unsigned char* p, unsigned int* out) {
    if (!p || ((p[0] | p[1] | p[2] | p[3]) & 0x80)) return 0;
    if (out) *out = static_cast<unsigned>(p[0]) << 21 | static_cast<unsigned>(p[1]) << 14 | p[2] << 7 | p[3];
    return 1;
}
