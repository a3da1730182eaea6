#pragma once
// The one routine through which disk, volume and image reads reach the system.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

// Reads byteCount bytes at byteOffset of descriptor into buffer, in pieces of
// at most 4 MiB, through a transfer buffer of this read's own (a read that
// runs out of time may write late, never into the caller's memory). Reads of
// several threads do not wait for each other. A piece that fails is
// zero-filled; a piece cut short by the end of the file keeps zeros after its
// last byte. Answers byteCount when every piece succeeded, else 0 (the pieces
// that succeeded are still filled).
long long VXReadAsyncData(void* buffer, int descriptor, long long byteOffset, long long byteCount);

inline constexpr long long kAsyncReadPiece = 0x400000;

namespace asyncread {

struct Transfer;
struct TransferDeleter {
    void operator()(Transfer* t) const;
};

// Page-aligned memory that reads land in directly, with no copy. A read the
// system has not answered in time may still write into it later, so the read
// routine keeps such a buffer and hands back a fresh one in its place.
class Buffer {
public:
    Buffer() = default;
    // Capacity for at least `bytes` (the old contents are not kept when it
    // grows); throws std::bad_alloc when the memory cannot be had.
    void Reserve(std::size_t bytes);
    unsigned char* data();
    const unsigned char* data() const;
    std::size_t capacity() const;

private:
    friend long long ReadIntoBuffer(Buffer& buffer, int descriptor, long long byteOffset, long long byteCount,
                                    int* error, std::chrono::milliseconds timeout, bool hooked);
    std::unique_ptr<Transfer, TransferDeleter> m_transfer;
};

// Reads byteCount bytes at byteOffset of descriptor into the start of buffer,
// which must hold them, in pieces of at most 4 MiB as VXReadAsyncData does and
// with the same answer: byteCount when every piece succeeded, else 0, failed
// pieces and the part past the end of the file zeros. A piece that runs out
// of time leaves its buffer behind (retired): buffer then holds a fresh one
// with the pieces read before it. On failure, error (when given) holds the
// system's error of the first piece that failed: ETIMEDOUT for a time-out,
// EINVAL for arguments the descriptor does not take (alignment, for one
// opened for direct I/O), EIO when nothing more could be read.
// A piece waits at most `timeout` in all (zero: the routine's time-out).
long long ReadInto(Buffer& buffer, int descriptor, long long byteOffset, long long byteCount, int* error = nullptr,
                   std::chrono::milliseconds timeout = std::chrono::milliseconds(0));

// As ReadInto, but never failed by the test seam's fault hook: a device's
// probes of whether it still answers ask the system itself.
long long ProbeInto(Buffer& buffer, int descriptor, long long byteOffset, long long byteCount, int* error,
                    std::chrono::milliseconds timeout);

// Closes a descriptor whose owner is done with it. A request on it that was
// given up may still be running: the descriptor then stays open until that
// request ends, so its number cannot be handed to another file while the
// system still reads through it.
void CloseWhenDone(int descriptor);
// Descriptors closed by their owners but kept open for such requests.
std::size_t DescriptorsLeftOpen();

// While a scope lives, reads made on its thread are given up once its flag is
// raised (from any thread): a wait for the system ends at once, as a time-out
// does (the request, still running, keeps its own buffer), and no further
// request is made (the error is ECANCELED). The flag must outlive the scope;
// a null flag gives nothing up. Scopes nest: the innermost one is in force.
class GiveUpScope {
public:
    explicit GiveUpScope(const std::atomic<bool>* flag);
    ~GiveUpScope();
    GiveUpScope(const GiveUpScope&) = delete;
    GiveUpScope& operator=(const GiveUpScope&) = delete;

private:
    const std::atomic<bool>* m_outer;
};
// Whether this thread's reads are given up now.
bool GivenUp();

// Test seams. The fault hook is asked before each piece is issued (absolute
// byte offset and length); answering true makes that piece fail as if the
// system refused it. Null removes it.
void SetFaultHook(std::function<bool(long long offset, long long length)> hook);
// How long one piece may take, all its steps together, before it is given
// up (30 s by default).
void SetTimeout(std::chrono::milliseconds timeout);
// Requests given up while still running; their memory is kept until the
// system has finished with them.
std::size_t RetiredCount();
// Frees the memory of retired requests that have since finished; answers how
// many are still outstanding.
std::size_t ReapRetired();

} // namespace asyncread
