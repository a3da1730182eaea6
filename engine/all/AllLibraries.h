#pragma once
// The one list of the program's file-system libraries. The program, the scan
// probe, the benchmarks, the fuzz targets and the tests' helpers all fill the
// factory slots through it, so none of them can miss a library another has.

// Registers every file-system library, in the recognition order of
// CVolumeAnalyzeController (the first recogniser that knows a volume wins).
void RegisterAllLibraries();
