#pragma once
// 3D Studio meshes (a main chunk 4D 4D with the editor chunk 3D 3D at byte
// 16) and 3DS ROM images ("NCSD" at byte 256). A streaming record walks the
// mesh's chunks in steps of 88 bytes; a ROM image states its size. When the
// carver drops a mesh unfinished, the classic partner walks it on the device.
#include "engine/carver/analysers/PartneredRecord.h"

class File3DSAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned k3dsType = 1;
    static constexpr unsigned long long kDeviceLimit = 1000000000;

    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

namespace RawSpeed {

class New3DSRawFileInfo : public BruteForce::CPartneredRawFileInfo {
public:
    static constexpr long long kLimit = 200000000;
    static constexpr long long kStep = 88;

    explicit New3DSRawFileInfo(IRawFileAnalyser* classic) : CPartneredRawFileInfo(classic) {}
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& context) override;

    long long m_llWalk = 0;
    long long m_llLimit = kLimit;
    bool m_bMesh = false;
    bool m_bFirst = true;
    bool m_bHeader = true;
    std::uint16_t m_nId = 0;
    std::uint16_t m_nNextId = 0;
    std::uint16_t m_nLength = 0;
};

class New3DSAnalyser : public BruteForce::CPartneredAnalyser<New3DSRawFileInfo, File3DSAnalyser> {
public:
    static constexpr unsigned k3dsType = File3DSAnalyser::k3dsType;

    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    bool CouldStart(const unsigned char* sector, std::size_t bytes) override;
};

} // namespace RawSpeed
