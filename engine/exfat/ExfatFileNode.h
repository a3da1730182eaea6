#pragma once
// A file or folder found on an exFAT volume.
#include "engine/common/FileNode.h"

#include <algorithm>
#include <cstdint>
#include <string>

class CExFatFileNode : public CFileNode {
public:
    static constexpr std::uint32_t kFatInvalid = 0x40000000u; // no FAT chain: clusters are contiguous
    static constexpr std::uint32_t kDeleted = 0x80000000u;

    CExFatFileNode() = default;
    ~CExFatFileNode() override = default;

    const char* GetFileName() override { return m_name.c_str(); }
    long long GetFileSize() override { return m_size; }
    unsigned GetAttribute() override { return m_attributes & 0xFFFFu; }
    _FILETIME GetCreationTime() override { return m_creation; }
    _FILETIME GetModificationTime() override { return m_modification; }
    _FILETIME GetLastAccessTime() override { return m_access; }
    int IsDirectory() override { return (m_attributes & 0x10u) != 0; }
    int IsDeleted() override { return (m_attributes & kDeleted) != 0; }
    IFileNode* Clone() override;
    void MarkDeleted() override { m_attributes |= kDeleted; }
    void FilterFileNameByDot() override { m_name = CFileNode::FilterFileNameByDot(m_name); }
    void UpdateFileSize(long long size) override { m_size = size; }
    void SetFileName(const char* name) override {
        if (name) m_name = name;
    }

    void SetFileSize(long long size) { m_size = size; }
    // Bytes written so far (the stream's valid data length); the rest reads as zeros.
    void SetValidLength(long long length) { m_valid = length; }
    long long GetInitializedSize() override { return m_valid < 0 ? m_size : std::min(m_valid, m_size); }
    void SetFileAttributes(std::uint32_t bits) { m_attributes |= bits; }
    void SetFileTime(_FILETIME creation, _FILETIME modification, _FILETIME access) {
        m_creation = creation;
        m_modification = modification;
        m_access = access;
    }
    void SetFileDeleted() { m_attributes |= kDeleted; }
    void SetFileFatInvalid() { m_attributes |= kFatInvalid; }
    bool IsFatInvalid() const { return (m_attributes & kFatInvalid) != 0; }
    void SetID(long long id) { m_id = id; }
    void SetParentID(long long id) { m_parentId = id; }
    void SetFirstCluster(long long cluster) { m_firstCluster = cluster; }
    long long GetFirstCluster() const { return m_firstCluster; }
    // The whole attribute word (exFAT attributes, no-FAT-chain and deleted bits).
    std::uint32_t GetAttributeWord() const { return m_attributes; }

private:
    // Same name, size, attribute word, times and a copy of the runs; not the
    // links, ids or first cluster.
    CExFatFileNode(const CExFatFileNode& other);

    std::string m_name;
    long long m_size = 0;
    long long m_valid = -1; // below 0: the whole size
    std::uint32_t m_attributes = 0;
    _FILETIME m_creation{}, m_modification{}, m_access{};
    long long m_firstCluster = -1;
};
