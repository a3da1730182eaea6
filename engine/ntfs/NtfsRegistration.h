#pragma once
// Adds the NTFS entry (the volume recogniser, the quick and deep searchers,
// the reader of resident data and what a loaded scan needs of its compressed
// files) to the engine's file-system table; called once at start-up. False
// when the table has it already.
bool RegisterNtfsLibrary();
