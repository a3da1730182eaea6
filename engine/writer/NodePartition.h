#pragma once
// Which of a search's partitions a found node belongs to: a node's clusters
// mean nothing without that partition's geometry.
#include "engine/include/FileNode.h"

#include <vector>

class CFileNode;
class CSearchedPartitionInfo;

// The node's metadata sector lies strictly inside the partition.
bool IsMetaDataInRange(const CSearchedPartitionInfo& partition, CFileNode& node);
// The node has runs and every allocated run lies on the partition's sectors.
bool IsDataRunListInRange(const CSearchedPartitionInfo& partition, const std::vector<DataRun>& runs);
// The cluster size implied by the node's size and runs matches the partition's.
bool IsClusterSuit(unsigned sectorsPerCluster, CFileNode& node, const std::vector<DataRun>& runs);

// The runs of a list, read from a copy so the list's own cursor is untouched.
std::vector<DataRun> CopyRuns(IDataRunList* list);

// The partition of node among the first count records (best score first):
// the one carrying the node's partition index, else the first whose sectors,
// runs and cluster size fit the node, else the first. Null for a null node or
// an empty list.
CSearchedPartitionInfo*
GetNodePartition(CFileNode* node, const std::vector<CSearchedPartitionInfo*>& partitions, unsigned count);
