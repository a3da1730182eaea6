#pragma once
// Fills the NTFS slots of the factory registry (the volume recogniser and the
// reader of resident data, the quick and deep searchers). Called once at
// start-up.
void RegisterNtfsLibrary();
