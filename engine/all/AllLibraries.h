#pragma once
// The one list of the program's file-system libraries. The program, the scan
// probe, the benchmarks, the fuzz targets and the tests' helpers all fill the
// file-system table through it, so none of them can miss a library another has.

// Adds every library's entry to the table. The order is the recognition
// order: when two recognisers know a volume, the earlier library wins.
void RegisterAllLibraries();
