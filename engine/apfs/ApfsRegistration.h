#pragma once
// Fills the APFS slots of the factory registry (the volume recogniser and the
// deep searcher; APFS has no quick searcher). Called once at start-up.
void RegisterApfsLibrary();
