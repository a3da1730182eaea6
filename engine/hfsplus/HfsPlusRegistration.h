#pragma once
// Fills the HFS+ slots of the factory registry (recogniser, quick
// and deep searchers). Called once at start-up.
void RegisterHfsPlusLibrary();
