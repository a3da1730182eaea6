#pragma once
// Adds the exFAT entry (the volume recogniser and the quick and the deep
// searcher) to the engine's file-system table; called once at start-up.
// False when the table has it already.
bool RegisterExfatLibrary();
