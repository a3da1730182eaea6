#pragma once
// Setting the times of a recovered file or folder.
//
// Linux has no call that sets a file's birth time, so a recovered file keeps
// the time it was written as its birth time; the found creation time goes to
// the modification time.
#include <cstdint>
#include <optional>

// Seconds since 1970-01-01 UTC of a FILETIME count (100 ns since 1601-01-01).
std::int64_t FileTimeToUnixSeconds(std::uint64_t fileTime);

// The seconds to set for a node's creation time, none for a time of 0.
std::optional<std::int64_t> NodeTimeSeconds(std::uint64_t fileTime);

// Sets the modification time of path (file or folder) to seconds since 1970,
// 0 ns; the access time is left as it is. 0 on success, -1 with errno set.
int ChangeFileCreateTs(const char* path, long seconds);
// The same for path relative to the folder dirFd.
int ChangeFileCreateTs(int dirFd, const char* path, long seconds);
