#pragma once
// The node of a carved file or of a folder of the carved-file trees, and its
// directory-entry properties. A carved file has one data run from its start
// sector over its size, in device sectors.
#include "engine/carver/RawFileInfo.h"
#include "engine/common/FileNode.h"

#include <string>
#include <vector>

// What one carve numbers: folder ids of the tree by category, file ids (one
// counter for every category, so ids never repeat within the tree), the
// per-format name counters and the ids of the label tree. Made fresh for each
// carve.
struct CRawCarveState {
    static constexpr unsigned kFirstFolderId = 10;
    static constexpr long long kFirstFileId = 10000;
    static constexpr long long kFirstLabelId = 2001;

    unsigned nextFolderId = kFirstFolderId;
    long long nextFileId = kFirstFileId;
    long long nextLabelId = kFirstLabelId;
    std::vector<int> countPerType = std::vector<int>(2000, 0);
    unsigned sectorSize = 512; // of the carved device: the unit of the data runs
};

// A time text of the form year month day hour minute second, separated by
// blanks, "-" or ":" (EXIF and document dates), taken as local time; 0 when
// it has fewer than six pieces or a piece is out of range.
_FILETIME RawTimeTextToFileTime(const std::string& text);

class CRAWFileProperties : public IFileProperties {
public:
    static constexpr unsigned kMaskFlag = 0x1CF;

    CRAWFileProperties() = default;
    ~CRAWFileProperties() override;
    CRAWFileProperties(const CRAWFileProperties&) = delete;
    CRAWFileProperties& operator=(const CRAWFileProperties&) = delete;

    static CRAWFileProperties* Create() { return new CRAWFileProperties(); }
    static void Destory(CRAWFileProperties* p) { delete p; }

    unsigned GetFileNameLength() override { return m_bHasName ? static_cast<unsigned>(m_strName.size() + 1) : 0; }
    void SetFileName(const char*) override {}
    const char* GetFileName() override { return m_bHasName ? m_strName.c_str() : nullptr; }
    long long GetFileSize() override { return static_cast<long long>(m_ullSize); }
    unsigned GetAttribute() override { return m_nAttribute; }
    _FILETIME GetRawFileCreateTime() override { return RawTimeTextToFileTime(m_strTime); }
    _FILETIME GetCreationTime() override { return {}; }
    _FILETIME GetModificationTime() override { return {}; }
    _FILETIME GetLastAccessTime() override { return {}; }
    std::uint16_t GetState() override { return m_nState; }
    void SetState(std::uint16_t state) override { m_nState = static_cast<std::uint8_t>(state); }
    IDataRunList* GetDataRunList() override { return m_pRuns; }
    IFileProperties* Clone() override { return this; }

    unsigned char GetCheckState() const { return m_nCheck; }
    void SetCheckState(unsigned char state) { m_nCheck = state; }
    unsigned GetMaskFlag() const { return kMaskFlag; }
    unsigned char GetMatchState() const { return m_nMatch; }
    int SetMatchState(int state) { return m_nMatch = static_cast<unsigned char>(state), 1; }

    // Size, time text and one run {start, size in sectors of sectorSize,
    // rounded up}; a record of size 0 (a folder) gets no run.
    int InitRawFileProperties(CRawFileInfo& record, unsigned sectorSize);
    void SetRawFileName(const std::string& name);
    void SetRawFileTime(const std::string& text) { m_strTime = text; }
    void SetAttribute(unsigned short attribute) { m_nAttribute = attribute; }
    const std::string& GetTimeText() const { return m_strTime; }
    int GetFilePropertyiesType() const { return 3; }

private:
    std::string m_strName;
    bool m_bHasName = false;
    unsigned long long m_ullSize = 0;
    unsigned short m_nAttribute = 0;
    unsigned char m_nCheck = 0;
    unsigned char m_nMatch = 0;
    unsigned char m_nState = 0;
    std::string m_strTime;
    IDataRunList* m_pRuns = nullptr;
};

class CRAWFileNode : public CFileNode {
public:
    static constexpr unsigned kFolder = 16;
    static constexpr unsigned kFile = 32;
    // Longest metadata name kept in a file name, in bytes.
    static constexpr std::size_t kMaxNameBytes = 200;

    CRAWFileNode() = default;
    ~CRAWFileNode() override;

    // Fills the node from a record: a folder (attribute 16) is named by the
    // record's name, a file by BuildFileName. False for a null record.
    bool Initilaize(CRawFileInfo* record, unsigned attribute, long long parentId, long long id,
                    CRawCarveState& state);
    // "<metadata name><counter>.<ext>" when the record gives a usable name,
    // else "FILE<counter>.<ext>"; the format's counter then grows.
    static std::string BuildFileName(unsigned type, const std::string& metadataName, CRawCarveState& state);
    // The metadata name as a file name stem: leading dots and blanks removed
    // (the tree refuses names starting with "."), cut to kMaxNameBytes on a
    // character boundary; "" when it is not UTF-8.
    static std::string UsableName(const std::string& name);

    const char* GetFileName() override { return m_strName.c_str(); }
    long long GetFileSize() override { return m_pProperties ? m_pProperties->GetFileSize() : 0; }
    unsigned GetAttribute() override { return m_pProperties ? m_pProperties->GetAttribute() : kFolder; }
    _FILETIME GetCreationTime() override { return GetLastAccessTime(); }
    _FILETIME GetModificationTime() override { return GetLastAccessTime(); }
    _FILETIME GetLastAccessTime() override { return m_time; }
    int IsDirectory() override { return (GetAttribute() & kFolder) != 0; }
    int IsDeleted() override { return 0; }
    IFileNode* Clone() override { return this; }
    void MarkDeleted() override {}
    void FilterFileNameByDot() override {}
    IFileProperties* GetFileProperties() override { return m_pProperties; }

private:
    CRAWFileProperties* m_pProperties = nullptr;
    std::string m_strName;
    _FILETIME m_time{};
};
