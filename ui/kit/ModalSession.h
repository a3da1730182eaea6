#pragma once
// Modal runs: the application runs one window modally at a time, on a stack
// of nested event loops. stopModal() ends the run innermost at the time of the
// call; when that run is not the one turning the loop any more (its handler
// opened another run), it ends as soon as the runs above it have returned.
// A run also ends when its window is destroyed or hidden by code.
#include <QObject>

class QWidget;

namespace salvor::kit {

// The answers of runModal() that no caller gave.
inline constexpr int kModalResponseStop = -1000;  // stopModal() without a code
inline constexpr int kModalResponseAbort = -1001; // the window went away

// Shows window application-modal, raises and activates it, and turns the
// event loop until the run ends; answers the code given to stopModal().
int runModal(QWidget* window);

// Ends the innermost run with code. Nothing when no run is active.
void stopModal(int code = kModalResponseStop);
// Ends the run of window (innermost or not) with code; answers whether it had one.
bool stopModalFor(QWidget* window, int code = kModalResponseStop);

// Number of runs on the stack, and the window of the innermost one (or none).
int modalDepth();
QWidget* modalWindow();
bool isRunningModal(const QWidget* window);

// Releases a controller or window: later (deleteLater) while a modal run is on
// the stack, because its loop may still be inside the object's handler, else now.
void releaseObject(QObject* object);

} // namespace salvor::kit
