#pragma once
// Reading a found file's bytes and writing them to a destination.
#include "engine/include/Progress.h"
#include "engine/include/ResultCode.h"

class IFileNode;
class IStorageDevice;
class IFileSystemSearchController;

class IFileReader {
public:
    virtual ~IFileReader() = default;
    // Bytes delivered, 0 on failure (error, when given, receives a reason).
    virtual unsigned ReadData(long long offset, char* buffer, unsigned size, int* error) = 0;
    virtual IFileReader* Clone() = 0;
    virtual long long GetDataSize() const = 0;
    virtual int IsCompressFile() = 0;
    virtual void Release() = 0;
};

class IDataRecovery {
public:
    virtual ~IDataRecovery() = default;
    virtual ResultCode Initialize(IFileSystemSearchController* searcher, IStorageDevice* device) = 0;
    // A clone of the prepared reader (the caller releases it), or null.
    virtual IFileReader* SetRecoverNode(IFileNode* node) = 0;
    virtual ResultCode RecoverTo(const char* path, IProgress* sink, int byteCount) = 0;
    virtual unsigned ReadSmallJPG(char* out, unsigned capacity) = 0;
    virtual void Release() = 0;
};
