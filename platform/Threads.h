#pragma once
// Detached worker threads with a chosen stack size.
#include <cstddef>
#include <functional>

namespace salvor::platform {

// The smallest stack a worker gets: the usual Linux default. Asking for less
// (the facade's workers ask for 2 MiB) would shrink it, and the searchers'
// recursion was sized against the default.
inline constexpr std::size_t kMinimumThreadStack = 8u * 1024u * 1024u;

// The stack a thread asking for requested bytes gets: at least
// kMinimumThreadStack and the system default, rounded up to whole pages.
std::size_t effectiveStackSize(std::size_t requested);

// Starts body on a new detached thread with effectiveStackSize(stackBytes).
// name (at most 15 characters are kept) shows in debuggers and top. Answers
// false when the thread could not be started; body is then not run.
bool startDetachedThread(std::function<void()> body, std::size_t stackBytes = 0, const char* name = nullptr);

} // namespace salvor::platform
