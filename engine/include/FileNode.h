#pragma once
// The interfaces of a found file or folder, its data runs and its
// directory-entry properties.
#include "engine/include/EngineTypes.h"

#include <cstdint>

class IFileReader;

// One extent of a file: start and length in clusters of its partition. A
// negative start marks a sparse run (reads as zeros).
struct DataRun {
    long long start = 0;
    long long length = 0;
};

// The ordered extents of a file. GetFirst/GetNext/IsDone walk one cursor kept
// in the list: a reader that may run beside another reader iterates its own
// Clone() (or ForEach, which keeps no cursor).
class IDataRunList {
public:
    virtual ~IDataRunList() = default;
    virtual DataRun* GetFirst() = 0;
    virtual DataRun* GetNext() = 0;
    virtual int IsDone() = 0;
    virtual int IsResident() = 0;
    virtual IDataRunList* Clone() = 0;
    virtual void AddDataRun(const DataRun* run) = 0;
    virtual long long GetOffset() = 0;
    virtual int GetDataRunListType() = 0;
    virtual void Release() = 0;
};

class IFileNode {
public:
    virtual ~IFileNode() = default;
    virtual int IsNodeShow() = 0;
    virtual void ShowNode(int show) = 0;
    virtual long long GetCurrentNodeID() = 0;
    virtual long long GetParentNodeID() = 0;
    virtual IFileNode* GetParent() = 0;
    virtual IFileNode* GetFirstChild() = 0;
    virtual IFileNode* GetNextNode() = 0;
    // UTF-8; never null ("" when the node has no name).
    virtual const char* GetFileName() = 0;
    virtual long long GetFileSize() = 0;
    virtual unsigned GetAttribute() = 0;
    virtual _FILETIME GetCreationTime() = 0;
    virtual _FILETIME GetModificationTime() = 0;
    virtual _FILETIME GetLastAccessTime() = 0;
    virtual int IsDirectory() = 0;
    virtual int IsDeleted() = 0;
    virtual _tagCheckedStatus GetCheckedStatus() = 0;
    virtual void SetCheck(_tagCheckedStatus status) = 0;
    virtual _tagSearcherType GetSearcheType() = 0;
    virtual const char* GetVolumeName() = 0;
    virtual int AddChild(IFileNode* child) = 0;
    virtual int AddNext(IFileNode* next) = 0;
    virtual void SetParentNodeID(long long id) = 0;
    virtual IFileNode* Clone() = 0;
    virtual void Release() = 0;
    virtual void MarkDeleted() = 0;
};

// The root of a found file-system tree; adds nothing.
class IFilesystemNode : public IFileNode {};

// Directory-entry properties held by FAT, NTFS and carved nodes.
class IFileProperties {
public:
    virtual ~IFileProperties() = default;
    virtual unsigned GetFileNameLength() = 0;
    virtual void SetFileName(const char* name) = 0;
    virtual const char* GetFileName() = 0;
    virtual long long GetFileSize() = 0;
    virtual unsigned GetAttribute() = 0;
    virtual _FILETIME GetRawFileCreateTime() = 0;
    virtual _FILETIME GetCreationTime() = 0;
    virtual _FILETIME GetModificationTime() = 0;
    virtual _FILETIME GetLastAccessTime() = 0;
    virtual std::uint16_t GetState() = 0;
    virtual void SetState(std::uint16_t state) = 0; // bit 0 set = deleted
    virtual IDataRunList* GetDataRunList() = 0;
    virtual IFileProperties* Clone() = 0;
};
