#pragma once
// Which files of a quick scan a deep scan of the same device found again.
// Listed together, each file must be listed, counted and recovered once: a
// file is the same when it lies in the same volume (the device sector of its
// first cluster), under the same path from its root, with the same size and
// on the same device sectors. Nothing else (names of roots, counts) decides.
#include <cstdint>
#include <set>

class IFileNode;
class ScanSession;

struct FoundAgain {
    // Quick roots every file of which the deep listing holds: not listed.
    std::set<IFileNode*> quickRoots;
    std::uint64_t quickFiles = 0, quickBytes = 0; // what those roots held
    // Deep files a quick root that stays listed holds too: hidden, not counted.
    std::set<IFileNode*> deepFiles;
    std::uint64_t deepBytes = 0;
    // Deep roots left without a file of their own: not listed.
    std::set<IFileNode*> deepRoots;
};

// quick: the quick scan's session kept beside deep, the deep scan's session
// of the same device. Both scans' nodes must stand while it runs.
FoundAgain FindFoundAgain(const ScanSession& deep, const ScanSession& quick);
