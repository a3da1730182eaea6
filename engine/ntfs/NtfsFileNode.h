#pragma once
// A found NTFS file in the shared node model: its directory-entry properties,
// the builder that reads them from a (multi-)record, the node of searcher
// type 35, and the readers of resident data.
#include "engine/common/FileNode.h"
#include "engine/ntfs/NtfsDataRuns.h"
#include "engine/ntfs/NtfsMultiRecord.h"

#include <algorithm>
#include <cstdint>
#include <list>
#include <memory>
#include <string>

class IStorageDevice;

struct CNTFSFilePropertiesStruct {
    std::string name; // UTF-8
    std::uint16_t nameLength = 0;
    std::int64_t size = 0;
    std::int64_t initialized = -1; // $DATA's initialized size; below 0: the whole size
    std::uint16_t attribute = 0;
    std::uint64_t creationTime = 0, modificationTime = 0, lastAccessTime = 0;
    std::uint16_t state = 0;
    std::int64_t recordStartSector = 0;
    std::shared_ptr<const CCompressedDataRunList> runs; // never changed once made: clones share it
    CExtendFileRecordInfoList extensions;
    std::uint64_t recordNumber = 0;
};

class CNTFSFileProperties : public IFileProperties {
public:
    static constexpr std::uint16_t kAttrDirectory = 0x10;
    static constexpr std::uint16_t kAttrEncrypted = 0x40;
    static constexpr std::uint16_t kAttrCompressed = 0x800;
    static constexpr std::uint16_t kStateDeleted = 0x01;

    static CNTFSFileProperties* Create() { return new CNTFSFileProperties(); }
    static void Destory(IFileProperties* p) { delete p; }
    void Init(const CNTFSFilePropertiesStruct& s) { m_s = s; }

    unsigned GetFileNameLength() override { return m_s.nameLength; }
    // A null name changes nothing; the length counts the terminating zero.
    void SetFileName(const char* name) override;
    const char* GetFileName() override { return m_s.name.c_str(); }
    long long GetFileSize() override { return m_s.size; }
    unsigned GetAttribute() override { return m_s.attribute; }
    _FILETIME GetRawFileCreateTime() override { return {}; }
    _FILETIME GetCreationTime() override { return _FILETIME::From(m_s.creationTime); }
    _FILETIME GetModificationTime() override { return _FILETIME::From(m_s.modificationTime); }
    _FILETIME GetLastAccessTime() override { return _FILETIME::From(m_s.lastAccessTime); }
    std::uint16_t GetState() override { return m_s.state; }
    void SetState(std::uint16_t state) override { m_s.state = state; }
    // A new list each time (the caller releases it); null when there is none.
    IDataRunList* GetDataRunList() override { return m_s.runs ? m_s.runs->Decompress() : nullptr; }
    IFileProperties* Clone() override { return new CNTFSFileProperties(*this); }

    void SetFileSize(long long size) { m_s.size = size; }
    // Bytes that hold written data; past them the file reads as zeros.
    long long GetInitializedSize() const {
        return m_s.initialized < 0 ? m_s.size : std::min<long long>(m_s.initialized, m_s.size);
    }
    // Below 0: the whole size holds written data.
    void SetInitializedSize(long long bytes) { m_s.initialized = bytes; }
    void SetAttribute(std::uint16_t a) { m_s.attribute = a; }
    // Keeps the list in compact form; a null list changes nothing.
    void SetDataRunList(IDataRunList* list);
    long long GetFileRecordStartSector() const { return m_s.recordStartSector; }
    void SetFileRecordStartSector(long long s) { m_s.recordStartSector = s; }
    const CExtendFileRecordInfoList& GetExtendFileRecordInfoList() const { return m_s.extensions; }
    void SetExtendFileRecordInfoList(const CExtendFileRecordInfoList& l) { m_s.extensions = l; }
    std::uint64_t GetFileRecordIndex() const { return m_s.recordNumber; }
    int GetFilePropertyiesType() const { return 0; }

private:
    CNTFSFilePropertiesStruct m_s;
};

// The name a file is shown under, of its first two $FILE_NAME attributes: the
// second when it is a Win32 name, else the first (empty when neither is
// valid); and the folder of that name, the other name's when the chosen
// one's is a metafile (a hard link's names may lie in different folders).
struct NtfsChosenName {
    ntfs::Bytes name;
    long long parent = -1;
};
NtfsChosenName ChooseFileName(ntfs::Bytes first, ntfs::Bytes second);

class CNTFSFilePropertiesBuilder {
public:
    explicit CNTFSFilePropertiesBuilder(std::list<CNTFSFileProperties*>& out) : m_out(out) {}
    // Properties of the file whose base record lies at recordSector; null
    // without a base record or a usable name. parent (when given) receives the
    // parent folder's record number unless it is unknown. clusterSize in bytes.
    CNTFSFileProperties* BuildFileProperties(long long recordSector, CNTFSMultiFileRecord& record,
                                             unsigned clusterSize, long long* parent);
    // A negative size becomes the bytes of the non-resident runs.
    static void AdjustFileSizeAccordinttoDataRunsWhenFileSizeLessThanZero(CNTFSFileProperties& p,
                                                                           unsigned sectorsPerCluster);

private:
    bool BuildFilePropertiesFrom0x30(CNTFSMultiFileRecord& record, CNTFSFilePropertiesStruct& s,
                                     long long* parent);
    void BuildFilePropertiesFrom0x10(CNTFSMultiFileRecord& record, CNTFSFilePropertiesStruct& s);
    void BuildFilePropertiesFrom0x80(CNTFSMultiFileRecord& record, long long recordSector,
                                     CNTFSFilePropertiesStruct& s, unsigned clusterSize);
    std::list<CNTFSFileProperties*>& m_out;
};

class CNTFSFileNode : public CFileNode {
public:
    CNTFSFileNode() = default;
    ~CNTFSFileNode() override;

    const char* GetFileName() override { return m_props ? m_props->GetFileName() : ""; }
    long long GetFileSize() override { return m_props ? m_props->GetFileSize() : 0; }
    long long GetInitializedSize() override { return m_props ? m_props->GetInitializedSize() : 0; }
    unsigned GetAttribute() override { return m_props ? m_props->GetAttribute() : 0; }
    _FILETIME GetCreationTime() override { return m_props ? m_props->GetCreationTime() : _FILETIME{}; }
    _FILETIME GetModificationTime() override { return m_props ? m_props->GetModificationTime() : _FILETIME{}; }
    _FILETIME GetLastAccessTime() override { return m_props ? m_props->GetLastAccessTime() : _FILETIME{}; }
    int IsDirectory() override { return (GetAttribute() & CNTFSFileProperties::kAttrDirectory) ? 1 : 0; }
    int IsDeleted() override { return m_props && (m_props->GetState() & CNTFSFileProperties::kStateDeleted); }
    _tagSearcherType GetSearcheType() override { return SEARCHER_NTFS; }
    IFileNode* Clone() override;
    void MarkDeleted() override;
    IFileReader* CreateCompressFileReader(void* context) override;
    int IsCompressed() override { return (GetAttribute() & CNTFSFileProperties::kAttrCompressed) ? 1 : 0; }
    void FilterFileNameByDot() override;
    void SetFileName(const char* name) override {
        if (m_props) m_props->SetFileName(name);
    }
    IFileProperties* GetFileProperties() override { return m_props; }

    // Takes the properties: node id 0, parent 5, the record sector as the
    // metadata position and the properties' runs as the node's.
    void SetFileProperties(CNTFSFileProperties* properties);
    void SetCurrentNodeID(long long id) { SetNodeID(id); }
    void SetPrivateDataofSpecifiedFileSystem(void* p) { m_private = p; }
    void* GetPrivateDataofSpecifiedFileSystem() const { return m_private; }
    void SetMetadataStartPosition(long long s) { SetMetaDataSector(s); }

private:
    CNTFSFileProperties* m_props = nullptr;
    void* m_private = nullptr;
};

// The unnamed $DATA value of a file's resident data: bytes [offset, offset +
// capacity) of it go to out, length receives the whole value's length. 1 when
// something was copied; 0 for a folder, a file without resident data or an
// unreadable record.
int GetResidentDataRunsStream(CNTFSFileNode& node, IStorageDevice& device, long long offset, long long* length,
                              std::uint8_t* out, std::uint32_t capacity, std::uint32_t* copied = nullptr);
int GetResidentDataRunsStream(std::uint64_t recordSector, IStorageDevice& device, long long offset,
                              long long* length, std::uint8_t* out, std::uint32_t capacity,
                              std::uint32_t* copied = nullptr);
