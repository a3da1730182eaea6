#pragma once
// SIGTERM (a logout or shutdown), SIGINT and SIGHUP are taken into the event
// loop rather than ending the process where it stands: the handler only
// writes the signal's number to a pipe, which the main thread reads.

#include <functional>

class QObject;

namespace salvor::app {

// From now on each of the three signals calls onSignal(number) on the main
// thread (once per signal received), as long as context lives.
void routeEndSignals(QObject* context, std::function<void(int)> onSignal);

// Ends the process as the signal's default action does (the status a parent
// sees is that of the signal).
[[noreturn]] void endBySignal(int number);

} // namespace salvor::app
