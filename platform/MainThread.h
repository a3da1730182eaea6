#pragma once
// Work for the main thread, over the QtCore event loop that the application and
// the tests both run: queued calls, delayed performs with cancellation, and a
// bounded wait that keeps the loop turning.
#include <chrono>
#include <cstdint>
#include <functional>

namespace salvor::platform {

// True on the thread of the application object (false when there is none).
bool isMainThread();

// Queues fn to run on a later pass of the main thread's event loop. It never
// runs inside this call, also when called on the main thread. Safe from any
// thread. Answers false, dropping fn, when there is no application object.
bool postToMainThread(std::function<void()> fn);

using PerformId = std::uint64_t;

// Runs fn on the main thread after delay. Safe from any thread: the request
// first hops to the main thread and only then arms its timer there. target, when
// given, groups requests for cancelPerforms(). Answers 0 when there is no
// application object.
PerformId performAfterDelay(std::chrono::milliseconds delay, std::function<void()> fn,
                            const void* target = nullptr);

// Cancels one pending request; nothing when it ran or was cancelled already.
void cancelPerform(PerformId id);
// Cancels every pending request made with target.
void cancelPerforms(const void* target);
// Number of requests not yet run or cancelled (tests).
std::size_t pendingPerforms();

// Turns the event loop (nested when called from a handler) until predicate
// answers true or timeout passes; answers the predicate's last answer.
bool runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);

} // namespace salvor::platform
