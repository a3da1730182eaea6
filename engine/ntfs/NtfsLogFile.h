#pragma once
// The log-file finder: the FILE-record images that $LogFile still holds, so
// that a deleted record which lost its size and runs gets them back.
#include "engine/ntfs/NtfsDataRuns.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CNTFSFileProperties;
class IStorageDevice;

class CFindFileFromLogFile {
public:
    CFindFileFromLogFile();
    ~CFindFileFromLogFile();
    // Locates $LogFile through MFT record 2 (at 2 x record size in the $MFT,
    // whatever the sector size). Device addresses are clusterOrigin (device
    // sectors) + LCN x cluster bytes. False when record 2 is not $LogFile.
    bool Init(IStorageDevice* device, const CNTFSDataRunList& mftRuns, std::uint64_t clusterBytes,
              std::uint32_t recordSize, long long clusterOrigin = 0);
    // Reads every page and keeps the FILE-record images with a size.
    void Analyzer();
    std::size_t GetLogPageCount() const { return m_pages; }
    std::size_t ImageCount() const { return m_images.size(); }
    // Gives a deleted record of size 0 the size and runs of its image: one
    // with the same name and parent, else the same name alone. False when
    // the log holds no such image.
    bool ReplaceFileRecordInfo(CNTFSFileProperties& properties, long long parent);
    void Reset();

    // The largest $LogFile read (Windows makes at most 4 GiB; 256 MiB covers
    // the defaults of every size of volume in use).
    static constexpr std::uint64_t kMaxLogBytes = 256ull << 20;

private:
    struct Image {
        std::unique_ptr<CNTFSFileProperties> properties;
        long long parent;
    };
    void WalkPage(std::vector<std::uint8_t>& page);
    bool ReadBytes(std::uint64_t byte, std::uint8_t* out, std::size_t n);

    IStorageDevice* m_device = nullptr;
    std::uint64_t m_clusterBytes = 0;
    long long m_origin = 0;
    CNTFSDataRunList m_logRuns;
    std::size_t m_pages = 0;
    std::vector<Image> m_images;
};
