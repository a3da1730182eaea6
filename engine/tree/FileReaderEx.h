#pragma once
// A small reader of a found file's first bytes for any file system: clusters
// of its runs (sparse runs read as zeros), or resident data through the NTFS
// library's entry in the file-system table.
#include <cstdint>
#include <vector>

class CFileNode;
class CSearchedPartitionInfo;
class IStorageDevice;

class CFileReaderEx {
public:
    // Device and node given, a non-empty file with runs and a cluster size
    // that is not 0. clusterOrigin is the device sector of cluster 0.
    bool Open(IStorageDevice* device, CFileNode* node, long long clusterOrigin, unsigned sectorsPerCluster);
    bool Open(IStorageDevice* device, CFileNode* node, CSearchedPartitionInfo* partition);
    // Up to size bytes at offset, cut to the file's end; false at or past
    // the end, for a run outside the device or a failed device read.
    bool Read(long long offset, std::uint8_t* out, unsigned size, unsigned& read);
    bool ReadResidentData(long long offset, std::uint8_t* out, unsigned size, unsigned& read);

private:
    IStorageDevice* m_device = nullptr;
    CFileNode* m_node = nullptr;
    long long m_clusterBytes = 0;
    unsigned m_sectorsPerCluster = 0;
    long long m_fileSize = 0;
    long long m_origin = 0;
    std::vector<std::uint8_t> m_cluster;
};
