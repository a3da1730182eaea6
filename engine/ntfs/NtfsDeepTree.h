#pragma once
// The trees of the NTFS deep scan: for each kept partition, the $MFT finds
// that belong to it, every FILE record the scan saw inside it read again and
// turned into a node, the walk from the root folder (record 5) outwards, and
// the folders the walk does not reach handed over under their own parents.
#include "engine/include/SearchInterfaces.h"
#include "engine/ntfs/NtfsFileNode.h"
#include "engine/ntfs/NtfsSearchRecords.h"

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

class IStorageDevice;

// One FILE record of a partition and the properties read from it.
struct NtfsFoundRecord {
    CCommonFileRecordInfo info;
    std::unique_ptr<CNTFSFileProperties> properties;
};

// One $MFT of the partition and the records it holds.
struct CMFTDirectoryTreeBuildInfo {
    CMFTInfo* mft = nullptr; // borrowed from the deep search's $MFT list
    std::vector<NtfsFoundRecord> records;
};

class CMFTDirectoryTreeBuilder {
public:
    // The MFT record number of a record at `sector` in that $MFT (partition
    // at `start`), -1 when the $MFT does not hold that sector at a record's start.
    static long long GetMFTNumber(long long sector, const CMFTInfo& mft, long long start, unsigned spc);

    // Hands the records to the tree builder as nodes of partition `j`:
    // breadth first from the root folder, then the folders the walk missed
    // with their children; with `handRest`, every record still left too,
    // under its parent's id.
    // Node ids are idBase | record number (idBase 0: the record numbers).
    static void BuildDirectoryTree(std::vector<NtfsFoundRecord>& records, IDirecotryTreeBuilder* builder, int j,
                                   bool handRest, long long idBase = 0);
};

class CNTFSDirectoryTreeBuilder {
public:
    // Builds the tree of one kept partition; always null (the tree's root is
    // the builder's own for record 5).
    IFilesystemNode* BuildDirectoryTree(CNTFSIntelligentSearchInfo* info, CSearchedPartitionInfo* partition,
                                        IStorageDevice* device, int j, IProgress* sink,
                                        IDirecotryTreeBuilder* builder);

    // The number of volumes kept: with more than one, each gets a folder of
    // its own under the tree's root.
    void SetVolumeCount(std::size_t n) { m_volumes = n; }

    // With several volumes, volume j's ids are (j + 1) << kVolumeIdShift |
    // record number, and its root folder (record 5) is a folder of the tree.
    static constexpr int kVolumeIdShift = 40;
    static constexpr int kMaxVolumes = 1 << 20;

    // Read blocks are at most this long (a record cut at the end is read whole).
    static constexpr long long kBlockMaxSectors = 128;

private:
    std::string VolumeLabel();
    void HandVolumeFolder(long long idBase);
    void OrganizeMatchedMFTInfo();
    void ReadFileProperties();
    void ReadFilePropertiesfromBlock(long long sector, long long count);
    void BuildRecord(ntfs::Bytes rec, long long sector, CMFTDirectoryTreeBuildInfo* owner);

    CNTFSIntelligentSearchInfo* m_info = nullptr;
    CSearchedNTFSPartitionInfo* m_partition = nullptr;
    IStorageDevice* m_device = nullptr;
    IDirecotryTreeBuilder* m_builder = nullptr;
    int m_j = 0;
    std::size_t m_volumes = 1;
    long long m_start = 0;
    unsigned m_spc = 0;
    unsigned m_ss = 512;
    unsigned m_spr = 2;
    std::vector<std::unique_ptr<CMFTDirectoryTreeBuildInfo>> m_builds;
    std::vector<NtfsFoundRecord> m_loose;
    std::vector<std::uint8_t> m_block;
    std::set<std::string> m_volumeNames; // the volume folders named so far, as destinations compare names
};
