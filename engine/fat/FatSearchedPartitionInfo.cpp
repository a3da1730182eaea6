#include "engine/fat/FatSearchedPartitionInfo.h"

CSearchedPartitionInfo* CFATSearchedPartitionInfo::Clone() const {
    auto* c = new CFATSearchedPartitionInfo(m_sectorSize);
    c->m_partitionIndex = m_partitionIndex;
    c->m_fileSystemType = m_fileSystemType;
    c->m_sectorsPerCluster = m_sectorsPerCluster;
    c->m_clusterOrigin = m_clusterOrigin;
    c->m_startSector = m_startSector;
    c->m_totalSectors = m_totalSectors;
    c->m_reservedSectors = m_reservedSectors;
    c->m_sectorsPerFat = m_sectorsPerFat;
    c->m_totalClusters = m_totalClusters;
    c->m_rootInfo = m_rootInfo;
    c->m_flag = m_flag;
    return c;
}
