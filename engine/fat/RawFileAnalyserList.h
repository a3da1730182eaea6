#pragma once
// The carver's registry of file-type analysers as the FAT search sees it: two
// analyser sets, each keyed three ways. Until the carver registers its
// analysers the sets are empty, so only the FAT search's own PE test
// recognises content.
#include "engine/carver/RawFileInfo.h"

#include <list>
#include <map>

class CRawFileAnalyserListSingle {
public:
    static constexpr int kSets = 2;

    // The process-wide registry, made on the first call and never released.
    static CRawFileAnalyserListSingle* CreateInstance();

    // Analysers keyed by a sector's first four bytes (little-endian u32).
    std::map<unsigned, IRawFileAnalyser*>& GetAnalyserMap(int set);
    // Analysers keyed by a sector's first two bytes (little-endian u16).
    std::multimap<unsigned short, IRawFileAnalyser*>& GetAnalyserMultimap(int set);
    // Analysers without a key.
    std::list<IRawFileAnalyser*>& GetAnalyserList(int set);

private:
    struct Set {
        std::map<unsigned, IRawFileAnalyser*> map;
        std::multimap<unsigned short, IRawFileAnalyser*> multimap;
        std::list<IRawFileAnalyser*> list;
    };
    Set& At(int set) { return m_sets[set == 0 ? 0 : 1]; }

    Set m_sets[kSets];
};
