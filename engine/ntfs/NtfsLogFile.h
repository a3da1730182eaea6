#pragma once
// The log-file finder: what $LogFile still knows of FILE records, so that a
// deleted record which lost its size and runs gets them back. Two kinds of log
// records serve: whole FILE-record images, and records whose saved bytes
// rewrote part of a record (the mapping pairs of its $DATA among them).
#include "engine/ntfs/NtfsDataRuns.h"
#include "engine/ntfs/NtfsLogRecord.h"
#include "engine/ntfs/NtfsMultiRecord.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

class CNTFSFileProperties;
class IStorageDevice;

class CFindFileFromLogFile {
public:
    CFindFileFromLogFile();
    ~CFindFileFromLogFile();
    // Locates $LogFile through MFT record 2 (at 2 x record size in the $MFT,
    // mapped by mftRuns). Every cluster is read at clusterOrigin (the device
    // sector of cluster 0) + cluster x cluster bytes. False when record 2 is
    // not the $LogFile record or its runs are unusable.
    bool Init(IStorageDevice* device, const CNTFSDataRunList& mftRuns, std::uint64_t clusterBytes,
              std::uint32_t recordSize, long long clusterOrigin = 0);
    // Reads every page (record pages from page 4 on, the last page's last
    // record joined with page 4) and keeps the FILE-record images with a size
    // and the log records that carry saved record bytes.
    void Analyzer();
    // The walk of Analyzer over pages already read, in log order (for a
    // finder given its geometry by Init, or by SetGeometry).
    void TakePage(std::span<std::uint8_t> page, bool visit = true);
    void SetGeometry(std::uint64_t clusterBytes, std::uint32_t recordSize);

    std::size_t GetLogPageCount() const { return m_pages; }
    std::size_t RecordCount() const { return m_walker.RecordCount(); }
    std::size_t ImageCount() const { return m_images.size(); }
    std::size_t SavedCount() const { return m_saved.size(); }

    // Gives a record of size 0 its content back. `record` is the FILE record
    // as read (number: its MFT record number), `parent` the parent folder's
    // record number its properties builder reported, `extensions` its
    // extension records (their sectors are device sectors, read as they
    // stand). An image with the same name and parent (else the
    // same name alone) gives its size; runs come from the record's $DATA
    // rebuilt with the saved log bytes, else from the image. Without an image
    // only a deleted file is rebuilt, its size then whole clusters. False
    // when nothing applies.
    bool ReplaceFileRecordInfo(ntfs::Bytes record, long long number, CNTFSFileProperties& properties,
                               long long parent, const CExtendFileRecordInfoList* extensions = nullptr);
    void Reset();
    // Pieces merged by VCN: overlaps are cut, holes between pieces become
    // sparse runs. Empty when a run passes the device or the clusters overflow.
    static CNTFSDataRunList MergeByVcn(CNTFSDataRunList pieces, std::uint64_t deviceClusters,
                                       std::uint64_t clusterBytes);

    // The most of a $LogFile read (Windows makes at most 4 GiB; 256 MiB covers
    // the defaults of every size of volume in use): a longer one is read up
    // to it.
    static constexpr std::uint64_t kMaxLogBytes = 256ull << 20;
    // The log record fields of saved record bytes, from the record's start.
    static constexpr std::size_t kDataOffset = 56, kDataLength = 58, kRecordOffset = 64,
                                 kAttributeOffset = 66, kClusterBlockOffset = 68, kTargetVcn = 72;

private:
    struct Image {
        std::unique_ptr<CNTFSFileProperties> properties;
        long long parent;
    };
    // Saved bytes for one place of one record.
    struct Saved {
        long long number;
        std::uint16_t recordOffset, attributeOffset;
        std::vector<std::uint8_t> data;
    };
    void TakeRecord(bytes::Bytes record, std::uint64_t length);
    // The unnamed $DATA runs of one record with its saved bytes applied.
    void RebuildRuns(ntfs::Bytes record, long long number, bool compressed, CNTFSDataRunList& runs) const;
    bool ReadBytes(std::uint64_t byte, std::uint8_t* out, std::size_t n, bool fromOrigin = true);

    IStorageDevice* m_device = nullptr;
    std::uint64_t m_clusterBytes = 0;
    std::uint32_t m_recordSize = 1024;
    long long m_origin = 0;
    CNTFSDataRunList m_logRuns;   // as far as it is read
    std::uint64_t m_lastPage = 0; // the byte of the log's own last page
    std::size_t m_pages = 0;
    std::vector<Image> m_images;
    std::vector<Saved> m_saved;
    bool m_sorted = true; // m_saved by record number
    CLogRecordWalker m_walker;
};
