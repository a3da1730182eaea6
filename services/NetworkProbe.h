#pragma once
// A plain HTTP GET with a hard time limit that covers the name lookup. The
// lookup and the request run on a detached thread; the caller waits on a
// condition with a deadline, so a resolver that hangs cannot hold it longer.
#include <QString>

#include <chrono>

// True when any byte of an answer arrives from url within limit. Only "http"
// addresses are understood; anything else answers false at once.
bool ProbeHttpAnswers(const QString& url, std::chrono::milliseconds limit);
