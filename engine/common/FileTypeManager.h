#pragma once
// Maps a file extension to its category.
#include "engine/common/KeHashTable.h"
#include "engine/include/EngineTypes.h"

#include <map>
#include <string>

// The category extension lists, each extensions joined by ";". The
// application sets them from its file-type catalogue before the filter is made;
// they start with a built-in catalogue so the engine works on its own.
extern std::string strPics;
extern std::string strMusic;
extern std::string strMovies;
extern std::string strArchvie;
extern std::string strDocument;
extern std::string strIM;

class CFileTypeManager {
public:
    // Fills the table from the five lists; answers 1.
    int Initialize();
    // Sets the five lists from the application's catalogue: keys 1, 2, 4, 8
    // and 16 (pictures, music, movies, archives, documents); a missing key
    // leaves its list as it was. Tables filled earlier keep their contents
    // until they are initialised again.
    static void Initialze(const std::map<int, std::string>& lists);
    // The category of an extension (any case); 7 for null or unknown.
    FILE_TYPE_ID GetFileTypeID(const char* ext) const;

private:
    CKeHashTable<FILE_TYPE_ID, 2048> m_table;
};
