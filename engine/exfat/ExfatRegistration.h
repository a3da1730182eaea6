#pragma once
// Fills the exFAT slots of the factory registry (the volume recogniser and
// the quick and the deep searcher). Called once at start-up.
void RegisterExfatLibrary();
