#pragma once
// What the program does before its delegate starts, apart from Qt's own set-up:
// the engine learns every file system it can scan. A library of its own, so
// the tests start the engine exactly as the program does.

namespace salvor::app {

void startUp();

} // namespace salvor::app
