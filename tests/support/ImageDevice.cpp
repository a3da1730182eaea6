#include "tests/support/ImageDevice.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

namespace salvor::test {
namespace {

constexpr ResultCode kReadFailed = MakeResult(ResultLib::Device, 0, 1);
constexpr ResultCode kNotSupported = MakeResult(ResultLib::Device, 0, 3);
constexpr ResultCode kBadArgument = MakeResult(ResultLib::Device, 0, 5);

// The stamp of sector s at byte i of the sector (little-endian u64s).
unsigned char StampByte(unsigned long long s, unsigned i) { return static_cast<unsigned char>(s >> (8 * (i % 8))); }

} // namespace

ImageDevice::ImageDevice(std::string path, unsigned sectorSize, unsigned long long startByte,
                         unsigned long long windowSectors)
    : path_(std::move(path)), sectorSize_(sectorSize ? sectorSize : 512), startByte_(startByte),
      window_(windowSectors) {
    Open(nullptr);
}

int ImageDevice::Open(char* path) {
    Close();
    if (path) path_ = path;
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    const auto size = static_cast<unsigned long long>(fd_ >= 0 && ::fstat(fd_, &st) == 0 ? st.st_size : 0);
    std::lock_guard lock(mutex_);
    totalSectors_ = fd_ < 0 ? 0 : window_ ? window_ : size > startByte_ ? (size - startByte_) / sectorSize_ : 0;
    lastError_ = fd_ < 0 ? kReadFailed : 0;
    return fd_ >= 0;
}

int ImageDevice::Close() {
    if (fd_ < 0) return 0;
    ::close(fd_);
    fd_ = -1;
    return 1;
}

ResultCode ImageDevice::IOCtl(unsigned long long, void*) {
    Locked(mutex_, [&] { lastError_ = kNotSupported; });
    return 0;
}

int ImageDevice::ReadSector(void* buffer, long long firstSector, long long count) {
    std::function<void(long long, long long)> hook;
    std::set<long long> failing;
    {
        std::lock_guard lock(mutex_);
        const auto first = static_cast<unsigned long long>(firstSector);
        if (!buffer || firstSector < 0 || count < 1 || fd_ < 0 || first >= totalSectors_ ||
            static_cast<unsigned long long>(count) > totalSectors_ - first) {
            lastError_ = kBadArgument;
            return 0;
        }
        hook = hook_;
        failing.insert(failures_.lower_bound(firstSector), failures_.lower_bound(firstSector + count));
    }
    if (hook) hook(firstSector, count);
    reads_.fetch_add(1);
    sectorsRead_.fetch_add(static_cast<unsigned long long>(count));

    auto* out = static_cast<unsigned char*>(buffer);
    const unsigned long long bytes = static_cast<unsigned long long>(count) * sectorSize_;
    const unsigned long long off = startByte_ + static_cast<unsigned long long>(firstSector) * sectorSize_;
    unsigned long long got = 0;
    bool ok = true;
    while (got < bytes) {
        const ssize_t r = ::pread(fd_, out + got, bytes - got, static_cast<off_t>(off + got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            ok = r == 0;
            break;
        }
        got += static_cast<unsigned long long>(r);
    }
    // A window may reach past the end of the file: those bytes read as zeros.
    std::memset(out + got, 0, bytes - got);
    if (wholeReadsFail_ && !failing.empty()) std::memset(out, 0, bytes);
    for (long long s : failing)
        std::memset(out + static_cast<unsigned long long>(s - firstSector) * sectorSize_, 0, sectorSize_);
    ok = ok && failing.empty();
    Locked(mutex_, [&] { lastError_ = ok ? 0 : kReadFailed; });
    return ok ? 1 : 0;
}

bool WriteStampedImage(const std::string& path, unsigned long long sectors, unsigned sectorSize) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<char> sector(sectorSize);
    for (unsigned long long s = 0; s < sectors && out; ++s) {
        for (unsigned i = 0; i < sectorSize; ++i) sector[i] = static_cast<char>(StampByte(s, i));
        out.write(sector.data(), sectorSize);
    }
    out.close();
    return !out.fail();
}

bool HasStamp(const void* p, unsigned sectorSize, unsigned long long sector) {
    const auto* b = static_cast<const unsigned char*>(p);
    for (unsigned i = 0; i < sectorSize / 8 * 8; ++i)
        if (b[i] != StampByte(sector, i)) return false;
    return true;
}

bool IsZero(const void* p, std::size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    return std::all_of(b, b + n, [](unsigned char c) { return c == 0; });
}

} // namespace salvor::test
