#pragma once
// Adds the APFS entry (the volume recogniser and the deep searcher; APFS has
// no quick searcher) to the engine's file-system table; called once at
// start-up. False when the table has it already.
bool RegisterApfsLibrary();
