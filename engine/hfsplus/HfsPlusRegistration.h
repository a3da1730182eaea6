#pragma once
// Adds the HFS+ entry (recogniser, quick and deep searchers, the volume a
// loaded scan keeps open) to the engine's file-system table; called once at
// start-up. False when the table has it already.
bool RegisterHfsPlusLibrary();
