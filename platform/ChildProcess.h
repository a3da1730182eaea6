#pragma once
// Runs a helper program for a bounded time and collects what it prints: the
// program gets no terminal input, its errors are dropped, and at the deadline
// it is killed with everything it started. It is always waited for, so no
// zombie is left, whatever way it ended.
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace salvor::platform {

struct ChildResult {
    bool started = false;
    bool timedOut = false;
    bool exitedZero = false; // ended by itself with status 0
    bool truncated = false;  // printed more than the cap allowed
    std::string output;      // standard output, at most the cap
};

// argv[0] is the program's path (no search of PATH). Blocks the calling
// thread; safe from several threads at once.
ChildResult runChildWithDeadline(const std::vector<std::string>& argv, std::chrono::milliseconds deadline,
                                 std::size_t maxOutput);

} // namespace salvor::platform
