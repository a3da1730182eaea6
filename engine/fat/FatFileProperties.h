#pragma once
// The directory-entry facts of one FAT file or folder, and their builder from
// raw 32-byte entries.
#include "engine/fat/FatBytes.h"
#include "engine/include/FileNode.h"

#include <cstdint>
#include <string>

// A DOS date and time as a file time (taken as local time). A date of 0 means
// "no date" and gives a zero time.
_FILETIME DosDateTimeToFileTime(std::uint16_t date, std::uint16_t time);

struct CFATFilePropertiesStruct {
    std::string name;           // UTF-8
    bool hasName = false;
    std::uint16_t nameLength = 0; // bytes, at the last SetFileName (capped at 0xFFFF)
    std::int64_t size = 0;
    std::uint16_t attribute = 0;
    _FILETIME creationTime;
    _FILETIME modificationTime;
    _FILETIME lastAccessTime;   // date only
    // Bit 0 deleted; bit 3 marks a synthetic lost folder whose descendants take
    // no first-cluster carry.
    std::uint8_t state = 0;
    // May be a pseudo cluster of 2^32 or more for an empty file.
    std::int64_t firstCluster = 0;
    std::int64_t parentFirstCluster = 0;
    std::int64_t metaDataSector = 0;
};

class CFATFileProperties : public IFileProperties {
public:
    static constexpr std::uint8_t kStateDeleted = 0x01;
    static constexpr std::uint8_t kStateLostFolder = 0x08;

    CFATFileProperties() = default;
    ~CFATFileProperties() override;
    CFATFileProperties(const CFATFileProperties&) = delete;
    // Copies name, state, attribute, both first clusters, the times and the
    // size; not the data runs or the metadata sector.
    CFATFileProperties& operator=(const CFATFileProperties& other);

    static CFATFileProperties* Create() { return new CFATFileProperties(); }
    static void Destory(IFileProperties* p) { delete p; }

    unsigned GetFileNameLength() override { return m_s.nameLength; }
    void SetFileName(const char* name) override;
    const char* GetFileName() override { return m_s.name.c_str(); }
    long long GetFileSize() override { return m_s.size; }
    unsigned GetAttribute() override { return m_s.attribute; }
    _FILETIME GetRawFileCreateTime() override { return {}; }
    _FILETIME GetCreationTime() override { return m_s.creationTime; }
    _FILETIME GetModificationTime() override { return m_s.modificationTime; }
    _FILETIME GetLastAccessTime() override { return m_s.lastAccessTime; }
    std::uint16_t GetState() override { return m_s.state; }
    void SetState(std::uint16_t state) override { m_s.state = static_cast<std::uint8_t>(state); }
    IDataRunList* GetDataRunList() override { return m_runs; }
    // A deep copy: the clone owns its own name and its own copy of the runs.
    IFileProperties* Clone() override;

    bool HasFileName() const { return m_s.hasName; }
    void SetFileSize(long long size) { m_s.size = size; }
    void SetAttribute(std::uint16_t attribute) { m_s.attribute = attribute; }
    void SetCreationTime(_FILETIME t) { m_s.creationTime = t; }
    void SetCreationTime(std::uint16_t date, std::uint16_t time) { m_s.creationTime = DosDateTimeToFileTime(date, time); }
    void SetCreationTime() { m_s.creationTime = {}; }
    void SetModificationTime(_FILETIME t) { m_s.modificationTime = t; }
    void SetModificationTime(std::uint16_t date, std::uint16_t time) {
        m_s.modificationTime = DosDateTimeToFileTime(date, time);
    }
    void SetModificationTime() { m_s.modificationTime = {}; }
    void SetLastAccessTime(_FILETIME t) { m_s.lastAccessTime = t; }
    void SetLastAccessTime(std::uint16_t date, std::uint16_t time) {
        m_s.lastAccessTime = DosDateTimeToFileTime(date, time);
    }
    void SetLastAccessTime() { m_s.lastAccessTime = {}; }
    // Takes ownership of runs (the previous list is released).
    void SetDataRunList(IDataRunList* runs);
    long long GetFirstClusterNum() const { return m_s.firstCluster; }
    void SetFirstClusterNum(long long c) { m_s.firstCluster = c; }
    long long GetParentFirstClusterNum() const { return m_s.parentFirstCluster; }
    void SetParentFirstClusterNum(long long c) { m_s.parentFirstCluster = c; }
    long long GetMetaDataSector() const { return m_s.metaDataSector; }
    void SetMetaDataSector(long long s) { m_s.metaDataSector = s; }

private:
    CFATFilePropertiesStruct m_s;
    IDataRunList* m_runs = nullptr;
};

class CFATFilePropertiesBuilder {
public:
    static constexpr std::size_t kMaxLongNameBytes = 2047; // UTF-16 bytes a composed long name may hold

    // Properties of the run of 32-byte entries (long-name pieces, then a short
    // entry); null when the run holds no short entry or its long name is too
    // long. The long name is joined whole from its UTF-16 pieces and converted
    // once; an invalid one gives way to the 8.3 name. The caller owns the result.
    static CFATFileProperties* BuildFATFilePropertyFromDirEntryBuffer(fat::Bytes entries);
    // Properties of one short entry under the given name; null for an empty name
    // or a short entry span.
    static CFATFileProperties* BuildFATFilePropertyFromDirEntry(const std::string& name, fat::Bytes entry);
};
