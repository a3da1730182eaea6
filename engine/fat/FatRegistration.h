#pragma once
// Adds the FAT entry to the engine's file-system table; called once at
// start-up. False when the table has it already.
bool RegisterFatLibrary();
