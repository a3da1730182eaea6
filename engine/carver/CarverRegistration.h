#pragma once
// Fills the carver's slot of the engine's factory registry; called once at start-up.
class ICompleteFileSystemSearchController;

// A new carver, released by the caller.
ICompleteFileSystemSearchController* CreateCarver();
void RegisterCarverLibrary();
