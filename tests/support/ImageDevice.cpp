#include "tests/support/ImageDevice.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace salvor::test {
namespace {

constexpr ResultCode kReadFailed = MakeResult(ResultLib::Device, 0, 1);
constexpr ResultCode kNotSupported = MakeResult(ResultLib::Device, 0, 3);
constexpr ResultCode kBadArgument = MakeResult(ResultLib::Device, 0, 5);

// pread until n bytes or end of file; answers the bytes read or -1.
long long ReadFully(int fd, unsigned char* p, unsigned long long n, unsigned long long off) {
    unsigned long long done = 0;
    while (done < n) {
        ssize_t r = ::pread(fd, p + done, n - done, static_cast<off_t>(off + done));
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (r == 0)
            break;
        done += static_cast<unsigned long long>(r);
    }
    return static_cast<long long>(done);
}

} // namespace

ImageDevice::ImageDevice(std::string path, unsigned sectorSize, unsigned long long startByte,
                         unsigned long long windowSectors)
    : path_(std::move(path)), sectorSize_(sectorSize ? sectorSize : 512), startByte_(startByte),
      window_(windowSectors) {
    Open(nullptr);
}

ImageDevice::~ImageDevice() { Close(); }

int ImageDevice::Open(char* path) {
    Close();
    if (path)
        path_ = path;
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    std::lock_guard lock(mutex_);
    if (fd_ < 0) {
        lastError_ = kReadFailed;
        totalSectors_ = 0;
        return 0;
    }
    struct stat st {};
    ::fstat(fd_, &st);
    unsigned long long size = static_cast<unsigned long long>(st.st_size);
    unsigned long long avail = size > startByte_ ? (size - startByte_) / sectorSize_ : 0;
    totalSectors_ = window_ ? window_ : avail;
    lastError_ = 0;
    return 1;
}

int ImageDevice::Close() {
    if (fd_ < 0)
        return 0;
    ::close(fd_);
    fd_ = -1;
    return 1;
}

ResultCode ImageDevice::IOCtl(unsigned long long, void*) {
    std::lock_guard lock(mutex_);
    lastError_ = kNotSupported;
    return 0;
}

ResultCode ImageDevice::GetLastError() {
    std::lock_guard lock(mutex_);
    return lastError_;
}

void ImageDevice::FailSector(long long sector) {
    std::lock_guard lock(mutex_);
    failures_.insert(sector);
}

void ImageDevice::FailSectors(long long first, long long count) {
    std::lock_guard lock(mutex_);
    for (long long s = first; s < first + count; ++s)
        failures_.insert(s);
}

void ImageDevice::ClearFailures() {
    std::lock_guard lock(mutex_);
    failures_.clear();
}

void ImageDevice::SetReadHook(std::function<void(long long, long long)> hook) {
    std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
}

void ImageDevice::ResetCounters() {
    reads_ = 0;
    sectorsRead_ = 0;
}

int ImageDevice::ReadSector(void* buffer, long long firstSector, long long count) {
    std::function<void(long long, long long)> hook;
    std::set<long long> failing;
    {
        std::lock_guard lock(mutex_);
        const unsigned long long total = totalSectors_;
        if (!buffer || firstSector < 0 || count < 1 || fd_ < 0 ||
            static_cast<unsigned long long>(firstSector) >= total ||
            static_cast<unsigned long long>(count) > total - static_cast<unsigned long long>(firstSector)) {
            lastError_ = kBadArgument;
            return 0;
        }
        hook = hook_;
        auto it = failures_.lower_bound(firstSector);
        for (; it != failures_.end() && *it < firstSector + count; ++it)
            failing.insert(*it);
    }
    if (hook)
        hook(firstSector, count);
    reads_.fetch_add(1);
    sectorsRead_.fetch_add(static_cast<unsigned long long>(count));

    auto* out = static_cast<unsigned char*>(buffer);
    const unsigned long long bytes = static_cast<unsigned long long>(count) * sectorSize_;
    const unsigned long long off = startByte_ + static_cast<unsigned long long>(firstSector) * sectorSize_;
    long long got = ReadFully(fd_, out, bytes, off);
    bool ok = got >= 0;
    if (got < 0)
        got = 0;
    // A window may reach past the end of the file: those bytes read as zeros.
    std::memset(out + got, 0, bytes - static_cast<unsigned long long>(got));
    for (long long s : failing)
        std::memset(out + static_cast<unsigned long long>(s - firstSector) * sectorSize_, 0, sectorSize_);
    ok = ok && failing.empty();
    std::lock_guard lock(mutex_);
    lastError_ = ok ? 0 : kReadFailed;
    return ok ? 1 : 0;
}

bool WriteStampedImage(const std::string& path, unsigned long long sectors, unsigned sectorSize) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    constexpr unsigned long long kChunk = 2048;
    std::vector<unsigned char> buf(kChunk * sectorSize);
    bool ok = true;
    for (unsigned long long s = 0; s < sectors && ok; s += kChunk) {
        unsigned long long n = std::min(kChunk, sectors - s);
        for (unsigned long long i = 0; i < n; ++i) {
            unsigned long long v = s + i;
            unsigned char* sec = buf.data() + i * sectorSize;
            for (unsigned off = 0; off + 8 <= sectorSize; off += 8)
                for (int b = 0; b < 8; ++b)
                    sec[off + b] = static_cast<unsigned char>(v >> (8 * b));
        }
        const unsigned char* p = buf.data();
        size_t left = n * sectorSize;
        while (left > 0) {
            ssize_t w = ::write(fd, p, left);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                ok = false;
                break;
            }
            p += w;
            left -= static_cast<size_t>(w);
        }
    }
    return (::close(fd) == 0) && ok;
}

bool HasStamp(const void* p, unsigned sectorSize, unsigned long long sector) {
    const auto* b = static_cast<const unsigned char*>(p);
    for (unsigned off = 0; off + 8 <= sectorSize; off += 8) {
        unsigned long long v = 0;
        for (int i = 0; i < 8; ++i)
            v |= static_cast<unsigned long long>(b[off + i]) << (8 * i);
        if (v != sector)
            return false;
    }
    return true;
}

bool IsZero(const void* p, std::size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    for (std::size_t i = 0; i < n; ++i)
        if (b[i])
            return false;
    return true;
}

} // namespace salvor::test
