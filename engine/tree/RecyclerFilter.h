#pragma once
// Windows recycle bins: which found nodes belong to one, and the names that
// recycled files had before they were deleted ("$I" index files record them).
#include "engine/common/Bytes.h"
#include "engine/include/EngineTypes.h"

#include <cstdint>
#include <list>
#include <string>
#include <vector>

class CFileNode;
class IFileNode;
class IStorageDevice;
class CSearchedPartitionInfo;

class CRecyclerFilter {
public:
    // A folder named "Recycler", "Recycled", "$Recycle.Bin" or "$RECYCLE.BI0"
    // (any case).
    static bool IsRecycleBinFolder(IFileNode* node);
    // The node or one of its linked ancestors is a recycle-bin folder.
    static bool IsInRecycleBin(IFileNode* node);
    // "$I…" or "#I…": an index file recording a recycled file's former path.
    static bool IsIndexName(const char* name);
    // "$R…" or "#R…", but not the NTFS metafiles "$RmMetadata", "$Reparse",
    // "$Repair" (nor any piece of those names).
    static bool IsRecycledDataName(const char* name);

    // The file name an index file's first bytes record: the UTF-16LE text after
    // the last backslash of a drive path ("X:\…\name") within the first 512
    // bytes. Empty when the bytes hold no such path.
    static std::string ParseIndexFileName(bytes::Bytes data);

    // Reads up to `limit` bytes of a node's data through its runs (sectors per
    // cluster and cluster origin from the partition record; 2 and 0 without
    // one), or through the resident-data reader for in-record data. Bytes
    // past the file's end are not read. False when nothing could be read.
    static bool ReadNodeData(CFileNode* node, IStorageDevice* device, CSearchedPartitionInfo* partition,
                             std::size_t limit, std::vector<std::uint8_t>& out);

    // Gives a recycled data node ("$R…", not a recycle-bin folder itself) the
    // name its index file records. The index whose name matches the data
    // node's from the third character on is taken out of `indexes` and
    // answered: it is the caller's to release (null when none matched). The
    // name is set through SetFileName for exFAT trees and through the node's
    // IFileProperties for FAT and NTFS trees; other trees keep their names.
    // Any failure leaves the name as it is.
    static CFileNode* RestorFileName(CFileNode* data, std::list<CFileNode*>& indexes, _tagSearcherType treeType,
                                     IStorageDevice* device, CSearchedPartitionInfo* partition);
};
