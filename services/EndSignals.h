#pragma once
// The program's clean stop on SIGTERM (a logout or shutdown), SIGINT and
// SIGHUP: the signals are taken into the event loop rather than ending the
// process where it stands (the handler only writes the signal's number to a
// pipe, which the main thread reads); a recovery or a save is stopped as its
// Stop does, so that the file being written ends whole or is removed, and
// the process then ends as the signal would have ended it.

#include <chrono>
#include <functional>

class QObject;

namespace salvor::services {

// From now on each of the three signals calls onSignal(number) on the main
// thread (once per signal received), as long as context lives.
void routeEndSignals(QObject* context, std::function<void(int)> onSignal);

// A recovery or a save is still writing.
bool isWriting();

// Stops a running recovery and a save as their Stop does and calls end on
// the main thread once neither writes any more: at once when none did,
// otherwise after the recovery's worker has finished or removed its file
// (within a chunk) and a save's thread its file (within a folder).
// Leaving (the process ends after end): a writer that reports nothing for
// kSilentWriterLeftAfter (a read that hangs) is not waited for; the process
// ends with it, its file unfinished under its temporary name (a save
// overwritten in place keeps the old bytes aside and puts them back at the
// next start).
inline constexpr std::chrono::milliseconds kSilentWriterLeftAfter{1000};
void endAfterWriting(QObject* context, std::function<void()> end, bool leaving = false);

// Removes what is left unfinished of the files being written, then ends the
// process as the signal's default action does (the status a parent sees is
// that of the signal).
[[noreturn]] void endBySignal(int number);

} // namespace salvor::services
