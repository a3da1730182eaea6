#pragma once
// Fills the FAT slots of the engine's factory registry; called once at start-up.
void RegisterFatLibrary();
