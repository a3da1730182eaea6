#include "engine/ntfs/NtfsSearchRecords.h"

#include "engine/ntfs/NtfsFileNode.h"

bool CCommonFileRecordInfo::InitFromBuffer(const CNTFSFileRecord& record, long long sector) {
    if (!record.IsValid()) return false;
    m_directory = record.IsFolder() ? 1 : 0;
    if (record.HasXPNumberOfthisMFTRecord()) m_number = record.GetXPNumberOfthisMFTRecord();
    const long long parent = ChooseFileName(record.FindAttibute(ntfs::ATTR_FILE_NAME, 0),
                                            record.FindAttibute(ntfs::ATTR_FILE_NAME, 1))
                                 .parent;
    m_parent = parent >= 5 ? parent : -1;
    m_sector = sector;
    return true;
}

bool CCommonFileRecordPositionInfo::Merge(long long sector) {
    if (m_count < 1 || sector != m_first + 2 * m_count) return false;
    ++m_count;
    return true;
}
