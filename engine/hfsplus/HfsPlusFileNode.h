#pragma once
// A file or folder of an HFS+ volume, made from one catalog key and record.
#include "engine/common/FileNode.h"
#include "engine/hfsplus/HfsPlusKeys.h"

#include <string>

namespace hfsplus {
class CHFSPlusVolume;
}

class CHFSPlusFileNode : public CFileNode {
public:
    enum : std::uint8_t { kDeleted = 1, kDirectory = 2, kCompressed = 4 };

    // A node of the quick scan: live catalog (deleted false) or journal record.
    CHFSPlusFileNode(hfsplus::CHFSPlusVolume* volume, const hfsplus::BTKey& key,
                     const hfsplus::HFSPlusCatalogRecord& record, bool deleted);
    // A node of the deep scan, placed by its metadata sector and partition.
    CHFSPlusFileNode(hfsplus::CHFSPlusVolume* volume, long long metadataSector, unsigned short partitionIndex,
                     const hfsplus::BTKey& key, const hfsplus::HFSPlusCatalogRecord& record);

    const char* GetFileName() override { return m_name.c_str(); }
    long long GetFileSize() override { return static_cast<long long>(m_size); }
    unsigned GetAttribute() override { return 0; }
    _FILETIME GetCreationTime() override { return TimeConvert(m_createDate); }
    _FILETIME GetModificationTime() override { return TimeConvert(m_contentModDate); }
    _FILETIME GetLastAccessTime() override { return TimeConvert(m_accessDate); }
    int IsDirectory() override { return (m_flags & kDirectory) != 0; }
    int IsDeleted() override { return (m_flags & kDeleted) != 0; }
    // The tree builder's duplicate test tells versions of an HFS+ file apart
    // by creation date and size; it asks the node for its kind.
    _tagSearcherType GetSearcheType() override { return SEARCHER_HFSPLUS; }
    IFileNode* Clone() override;
    void MarkDeleted() override { m_flags |= kDeleted; }
    int IsCompressed() override { return (m_flags & kCompressed) != 0; }
    void FilterFileNameByDot() override { m_name = CFileNode::FilterFileNameByDot(m_name); }
    void UpdateFileSize(long long size) override { m_size = static_cast<std::uint64_t>(size); }
    void SetFileName(const char* name) override {
        if (name) m_name = name;
    }
    // A reader expanding a compressed file, or null for other files.
    IFileReader* CreateCompressFileReader(void* context) override;
    // A compressed file's size becomes the one its decmpfs attribute gives.
    void UpdateNodeInfo() override;
    // A compressed file whose decmpfs attribute could not be read (no volume,
    // or the attribute is gone): its size says nothing of its bytes.
    bool IsSizeUnknown() override { return IsCompressed() && !m_sizeRead; }
    hfsplus::CHFSPlusVolume* Volume() const { return m_volume; }
    // The resource fork's own length (a compressed file's stored bytes).
    std::uint64_t ResourceForkSize() const { return m_forkSize; }

    // Seconds since 1904 as 100-ns units since 1601; 0 stays 0.
    static _FILETIME TimeConvert(std::uint32_t date);

private:
    CHFSPlusFileNode(const CHFSPlusFileNode& other);
    void CreateFileNode(long long metadataSector, unsigned short partitionIndex, const hfsplus::BTKey& key,
                        const hfsplus::HFSPlusCatalogRecord& record, bool deleted);

    std::uint32_t m_createDate = 0;
    hfsplus::CHFSPlusVolume* m_volume;
    std::string m_name;
    std::uint64_t m_size = 0, m_forkSize = 0;
    std::uint32_t m_contentModDate = 0, m_accessDate = 0;
    std::uint8_t m_flags = 0;
    bool m_sizeRead = false; // a compressed file's expanded size came from its attribute
};

// The fork's extents as a run list in allocation blocks: the eight of the
// fork, then overflow records from the live tree or the deleted list.
IDataRunList* BuildFileDataRun(hfsplus::CHFSPlusVolume* volume, std::uint32_t fileId, std::uint8_t forkType,
                               const hfsplus::HFSPlusForkData& fork);
