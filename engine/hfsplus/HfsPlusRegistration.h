#pragma once
// Fills the HFS+ slots of the factory registry (recogniser and quick
// searcher). Called once at start-up.
void RegisterHfsPlusLibrary();
