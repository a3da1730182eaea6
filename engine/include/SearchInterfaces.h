#pragma once
// Contracts between the scan drivers, the searchers, the tree builder and the
// application's node sink.
#include "engine/include/EngineTypes.h"
#include "engine/include/FileNode.h"
#include "engine/include/Progress.h"
#include "engine/include/ResultCode.h"
#include "engine/include/SearchedPartitionInfo.h"

#include <map>

class IStorageDevice;
class IRecoveryFilter;
class TBitmap;

// The application's node sink.
class IDrirectoryTree {
public:
    virtual ~IDrirectoryTree() = default;
    // A batch of nodes of one tree, each already linked under its parent;
    // lostBatch is 1 for the last batch of a tree (nodes without a parent).
    virtual void ShowNodes(IFileNode** nodes, unsigned count, int lostBatch) = 0;
    // The root of a found tree, once, before its first batch; 1 when taken.
    virtual int ShowFilesystemNode(IFilesystemNode* root) = 0;
};

// Turns searcher finds into linked trees, one per searcher type.
class IDirecotryTreeBuilder {
public:
    virtual ~IDirecotryTreeBuilder() = default;
    virtual int Initialize(const char* volumeName, IDrirectoryTree* sink, IRecoveryFilter* filter) = 0;
    // 1 when the builder took the node (it then owns it); 0 leaves it the caller's.
    virtual int AddNode(IFileNode* node, _tagSearcherType type) = 0;
    virtual int AddSearcherInfo(_tagSearcherType type, long long rootId) = 0;
    virtual int FlashBuild(_tagSearcherType type) = 0;
    virtual void Release() = 0;
    virtual void SetPartitonDevice(CSearchedPartitionInfo* partition, IStorageDevice* device) = 0;
};

// The base of every searcher.
class IFileSystemSearchController {
public:
    virtual void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) = 0;
    // Answers the number of partitions; fills array with new records (owned by
    // the caller) when it is given and has room for n entries.
    virtual int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int n) = 0;
    virtual ~IFileSystemSearchController() = default;
};

// A searcher of one volume (quick scan).
class IQuickFileSystemSearchController : public IFileSystemSearchController {
public:
    virtual ResultCode QuickSearchFiles(IStorageDevice* volume, IProgress* sink) = 0;
    virtual void Release() { delete this; }
};

// A searcher of the deep scan, fed the device block by block.
class ICompleteFileSystemSearchController : public IFileSystemSearchController {
public:
    virtual void SetDevice(IStorageDevice* device) = 0;
    virtual void SetBlockSize(int sectors) = 0;
    virtual int PreparetoSearch() = 0;
    virtual void EndSearch(int /*build*/) {}
    virtual int AnalyzeBlock(long long firstSector, long long sectorCount) = 0;
    virtual void SetIProgressSink(IProgress*) {}
    virtual void SetBitmap(TBitmap*) {}
    virtual void SetFileSectorMap(std::map<long long, unsigned>*) {}
    virtual TBitmap* GetBitmap() { return nullptr; }
    virtual void SetActivePartition(bool) {}
    virtual void Release() { delete this; }
};
