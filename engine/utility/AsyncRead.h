#pragma once
// The one routine through which disk, volume and image reads reach the system.
#include <chrono>
#include <cstddef>
#include <functional>

// Reads byteCount bytes at byteOffset of descriptor into buffer, in pieces of
// at most 4 MiB through one process-wide transfer buffer, under one
// process-wide lock. A piece that fails is zero-filled; a piece cut short by
// the end of the file keeps zeros after its last byte. Answers byteCount when
// every piece succeeded, else 0 (the pieces that succeeded are still filled).
long long VXReadAsyncData(void* buffer, int descriptor, long long byteOffset, long long byteCount);

inline constexpr long long kAsyncReadPiece = 0x400000;

namespace asyncread {

// Test seams. The fault hook is asked before each piece is issued (absolute
// byte offset and length); answering true makes that piece fail as if the
// system refused it. Null removes it.
void SetFaultHook(std::function<bool(long long offset, long long length)> hook);
// How long one piece may take before it is given up (30 s by default).
void SetTimeout(std::chrono::milliseconds timeout);
// Requests given up while still running; their memory is kept until the
// system has finished with them.
std::size_t RetiredCount();
// Frees the memory of retired requests that have since finished; answers how
// many are still outstanding.
std::size_t ReapRetired();

} // namespace asyncread
