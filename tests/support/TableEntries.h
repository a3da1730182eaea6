#pragma once
// Tests put fakes into the engine's file-system table through its own Add: an
// entry is replaced by emptying the table and adding every entry again, the
// replacement in its place, so the table's order and refusals stay as they are.
#include "engine/include/FactoryRegistry.h"

#include <utility>
#include <vector>

namespace salvor::test {

// A copy of the table's entry of the searcher type, or a new one named name.
inline FileSystemEntry EntryFor(_tagSearcherType type, const char* name) {
    if (const FileSystemEntry* e = FileSystems().ForSearcher(type)) return *e;
    FileSystemEntry e;
    e.name = name;
    e.searcherType = type;
    return e;
}

// Puts entry in the place of the table's entry of its searcher type (at the
// end when there is none).
inline void ReplaceEntry(FileSystemEntry entry) {
    std::vector<FileSystemEntry> entries = FileSystems().Entries();
    bool placed = false;
    for (FileSystemEntry& e : entries)
        if (e.searcherType == entry.searcherType) e = entry, placed = true;
    if (!placed) entries.push_back(std::move(entry));
    ResetFactories();
    for (FileSystemEntry& e : entries) FileSystems().Add(std::move(e));
}

// The deep searcher of the type made by deep; the entry's other parts stay.
inline void SetDeepMaker(_tagSearcherType type, const char* name, FileSystemEntry::Deep deep) {
    FileSystemEntry e = EntryFor(type, name);
    e.deep = std::move(deep);
    ReplaceEntry(std::move(e));
}

// The reader of resident data (NTFS's entry).
inline void SetResidentReader(FileSystemEntry::ResidentRead read) {
    FileSystemEntry e = EntryFor(SEARCHER_NTFS, "NTFS");
    e.readResident = std::move(read);
    ReplaceEntry(std::move(e));
}

} // namespace salvor::test
