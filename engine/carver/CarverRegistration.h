#pragma once
// Adds the carver's entry to the engine's file-system table; called once at
// start-up. False when the table has it already.
class ICompleteFileSystemSearchController;

// A new carver, released by the caller.
ICompleteFileSystemSearchController* CreateCarver();
bool RegisterCarverLibrary();
