#include "engine/writer/FileTimes.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace {
constexpr std::uint64_t kTicksPerSecond = 10'000'000;
// Seconds from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kEpochDelta = 11'644'473'600;
} // namespace

std::int64_t FileTimeToUnixSeconds(std::uint64_t fileTime) {
    return static_cast<std::int64_t>(fileTime / kTicksPerSecond) - kEpochDelta;
}

std::optional<std::int64_t> NodeTimeSeconds(std::uint64_t fileTime) {
    if (fileTime == 0) return std::nullopt;
    return FileTimeToUnixSeconds(fileTime);
}

int ChangeFileCreateTs(const char* path, long seconds) {
    return ChangeFileCreateTs(AT_FDCWD, path, seconds);
}

int ChangeFileCreateTs(int dirFd, const char* path, long seconds) {
    if (!path || !*path) {
        errno = EINVAL;
        return -1;
    }
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(seconds);
    times[1].tv_nsec = 0;
    return utimensat(dirFd, path, times, 0) == 0 ? 0 : -1;
}
