#pragma once
// The progress record and the progress sink a scan or a recovery reports to.
#include <cstdint>

struct _PROGRESS_INFO {
    std::uint32_t state;   // 2 running, 3 finished
    std::uint64_t total;   // units of the whole operation
    std::uint64_t current; // units done
    std::uint64_t result;  // result code of the operation (0 while running)
    std::uint8_t reserved[4096];
};
static_assert(sizeof(_PROGRESS_INFO) == 4128, "the progress record is 4128 bytes");

inline constexpr std::uint32_t PROGRESS_RUNNING = 2;
inline constexpr std::uint32_t PROGRESS_FINISHED = 3;

// A zeroed record filled with the given values.
_PROGRESS_INFO MakeProgress(std::uint32_t state, std::uint64_t total, std::uint64_t current,
                            std::uint64_t result = 0);

class IProgress {
public:
    virtual ~IProgress() = default;
    // Receives a report; the sender keeps the record.
    virtual void UpdateProgress(_PROGRESS_INFO* info) = 0;
    // Non-zero to go on, 0 when the user asked to stop.
    virtual int Continued() = 0;
    // Non-zero when the result trees are to be built although the scan stopped.
    virtual int shouldBuild() = 0;
};
