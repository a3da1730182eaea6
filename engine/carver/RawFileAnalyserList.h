#pragma once
// The registry of file-type analysers: two analyser sets, each keyed three
// ways. Set 0 serves the carver and is rebuilt with fresh analysers at the
// start of every carve; set 1 is built once and serves the FAT search's
// first-cluster revision, so per-carve state never reaches it.
//
// The sets are filled from three row tables in a fixed order. Each row names
// the analyser class that serves its key; a class gets a factory when its
// analyser is built, and until then its rows insert nothing.
#include "engine/carver/RawFileInfo.h"

#include <cstddef>
#include <functional>
#include <list>
#include <map>
#include <span>
#include <string_view>

// One row of a key table: the key (the sector's first 4 bytes, or first 2,
// read little-endian; 0 in the keyless list) and the analyser class.
struct RawAnalyserRow {
    unsigned key;
    const char* analyser;
};

enum class RawAnalyserTable { Map, Multimap, List };

// The rows in the order they are registered.
std::span<const RawAnalyserRow> RawAnalyserRows(RawAnalyserTable table);

// Makes a new analyser of a class, or null while the class is not built.
IRawFileAnalyser* CreateRawAnalyser(std::string_view analyserClass);

// Forgets the streams that analysers guard across sectors (the frames of
// an MP3, the pages of an Ogg stream): a carve starts with none.
void ResetCarveGuards();

class CRawFileAnalyserListSingle {
public:
    static constexpr int kSets = 2;
    // Makes the analyser of one row (null: the row inserts nothing).
    using RowFactory = std::function<IRawFileAnalyser*(RawAnalyserTable, std::size_t index, const RawAnalyserRow&)>;

    // The process-wide registry, made on the first call (with set 1) and
    // never released before process exit.
    static CRawFileAnalyserListSingle* CreateInstance();

    // Analysers keyed by a sector's first four bytes (little-endian u32).
    std::map<unsigned, IRawFileAnalyser*>& GetAnalyserMap(int set);
    // Analysers keyed by a sector's first two bytes (little-endian u16), in
    // registration order within a key.
    std::multimap<unsigned short, IRawFileAnalyser*>& GetAnalyserMultimap(int set);
    // Analysers without a key, in the order they are asked.
    std::list<IRawFileAnalyser*>& GetAnalyserList(int set);

    // Whether a file of a kind set 1 knows starts at this sector, asked as
    // the carver asks a sector (`bytes` of it, followed by a zero margin the
    // analysers may read into): a chain that walks into one has walked
    // into another file.
    bool StartsFile(unsigned char* sector, std::size_t bytes);

    // Frees set 0's analysers and builds it again from the row tables.
    void ReinitAnalyzeList(void* filter = nullptr);

    // Tests: how rows become analysers (empty: CreateRawAnalyser of the row's
    // class). Takes effect at the next ReinitAnalyzeList.
    static void SetRowFactory(RowFactory factory);

    ~CRawFileAnalyserListSingle();

private:
    struct Set {
        std::map<unsigned, IRawFileAnalyser*> map;
        std::multimap<unsigned short, IRawFileAnalyser*> multimap;
        std::list<IRawFileAnalyser*> list;
    };
    CRawFileAnalyserListSingle();
    Set& At(int set) { return m_sets[set == 0 ? 0 : 1]; }
    static void Build(Set& set, bool carve);
    static void Clear(Set& set);

    Set m_sets[kSets];
};
