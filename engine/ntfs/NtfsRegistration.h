#pragma once
// Fills the NTFS slots of the factory registry (the volume recogniser). Called
// once at start-up.
void RegisterNtfsLibrary();
