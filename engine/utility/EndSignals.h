#pragma once
// SIGTERM (a logout or shutdown), SIGINT and SIGHUP taken by the program
// rather than ending the process where it stands: the handler only records
// the signal and writes its number to a pipe, so that the program can stop
// what it writes (the file being written ends whole or is removed) and then
// end as the signal would have ended it.

// Installs the handler for the three signals (once; later calls do nothing).
void CatchEndSignals();
// The pipe's end to read the numbers from (one byte per signal received,
// non-blocking), -1 before CatchEndSignals or when it failed.
int EndSignalsReadFd();
// The first end signal received, 0 while none was.
int ReceivedEndSignal();
// Ends the process as the signal's default action does (the status a parent
// sees is that of the signal).
[[noreturn]] void EndBySignal(int number);
