#pragma once
// The program's log for the layers above the services (the windows and the
// program itself), which do not reach into the engine.

namespace salvor::services {

// Writes one line to the log as the engine's own lines are written (time
// stamp, cut at the log's message limit).
void writeLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace salvor::services
