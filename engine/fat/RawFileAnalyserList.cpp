#include "engine/fat/RawFileAnalyserList.h"

CRawFileAnalyserListSingle* CRawFileAnalyserListSingle::CreateInstance() {
    static CRawFileAnalyserListSingle* instance = new CRawFileAnalyserListSingle();
    return instance;
}

std::map<unsigned, IRawFileAnalyser*>& CRawFileAnalyserListSingle::GetAnalyserMap(int set) { return At(set).map; }

std::multimap<unsigned short, IRawFileAnalyser*>& CRawFileAnalyserListSingle::GetAnalyserMultimap(int set) {
    return At(set).multimap;
}

std::list<IRawFileAnalyser*>& CRawFileAnalyserListSingle::GetAnalyserList(int set) { return At(set).list; }
