#pragma once
// A test device over a regular image file: a chosen sector size, an optional
// byte offset and sector window, sectors whose reads fail on demand, and
// counters of the reads that reached the file.
#include "engine/include/DeviceRecords.h"
#include "engine/include/StorageDevice.h"
#include "tests/support/RecordingSinks.h" // Locked()

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace salvor::test {

class ImageDevice : public IStorageDevice {
public:
    // windowSectors 0 covers the file from startByte to its end (whole sectors).
    explicit ImageDevice(std::string path, unsigned sectorSize = 512, unsigned long long startByte = 0,
                         unsigned long long windowSectors = 0);
    ~ImageDevice() override { Close(); }
    ImageDevice(const ImageDevice&) = delete;
    ImageDevice& operator=(const ImageDevice&) = delete;

    bool IsOpen() const { return fd_ >= 0; }

    // Open(nullptr) reopens the stored path.
    int Open(char* path) override;
    int Close() override;
    // Fails with error 5 for a null buffer, a negative first sector, a count
    // below 1 or a range past the window. A failing sector is zero-filled, the
    // others are read, and the answer is 0 with error 1.
    int ReadSector(void* buffer, long long firstSector, long long count) override;
    unsigned GetSectorSize() override { return sectorSize_; }
    unsigned long long GetTotalSectors() override { return totalSectors_; }
    ResultCode IOCtl(unsigned long long, void*) override; // not supported (error 3)
    IStorageDeviceData* GetPrivateData() override { return data_.get(); }
    // The device owns the record, as every device does.
    void SetPrivateData(IStorageDeviceData* data) override { data_.reset(data); }
    int GetType() override { return type_; }
    ResultCode GetLastError() override { return Locked(mutex_, [&] { return lastError_; }); }
    int IsPermitted() override { return permitted_; }

    void SetType(int type) { type_ = type; }
    void SetPermitted(int permitted) { permitted_ = permitted; }

    // Sectors (window-relative) whose reads fail.
    void FailSector(long long sector) { FailSectors(sector, 1); }
    void FailSectors(long long first, long long count) {
        Locked(mutex_, [&] { for (long long s = first; s < first + count; ++s) failures_.insert(s); });
    }
    void ClearFailures() { Locked(mutex_, [&] { failures_.clear(); }); }
    // As a disk does: a read that touches a failing sector gives none of the
    // sectors asked for (all zeros), not just the failing ones.
    void SetWholeReadsFail(bool whole) { wholeReadsFail_ = whole; }

    // Called before every read that reaches the file, on the reading thread
    // (e.g. to add a delay or to count concurrent readers).
    void SetReadHook(std::function<void(long long first, long long count)> hook) {
        Locked(mutex_, [&] { hook_ = std::move(hook); });
    }

    // Reads that reached the file and the sectors they covered; refused
    // requests count neither.
    unsigned long long Reads() const { return reads_.load(); }
    unsigned long long SectorsRead() const { return sectorsRead_.load(); }
    void ResetCounters() { reads_ = sectorsRead_ = 0; }

private:
    std::string path_;
    unsigned sectorSize_;
    unsigned long long startByte_;
    unsigned long long window_;
    unsigned long long totalSectors_ = 0;
    int fd_ = -1;
    int type_ = 0;
    int permitted_ = 1;
    std::unique_ptr<IStorageDeviceData> data_;
    mutable std::mutex mutex_; // guards failures_, hook_ and lastError_
    std::set<long long> failures_;
    std::function<void(long long, long long)> hook_;
    ResultCode lastError_ = 0;
    std::atomic<bool> wholeReadsFail_{false};
    std::atomic<unsigned long long> reads_{0};
    std::atomic<unsigned long long> sectorsRead_{0};
};

// Writes an image of `sectors` sectors where each sector is filled with its own
// number as repeated little-endian u64 values. Answers false on I/O failure.
bool WriteStampedImage(const std::string& path, unsigned long long sectors, unsigned sectorSize = 512);

// True when the sector-sized bytes at p all hold the stamp of `sector`.
bool HasStamp(const void* p, unsigned sectorSize, unsigned long long sector);

// True when n bytes at p are all zero.
bool IsZero(const void* p, std::size_t n);

} // namespace salvor::test
