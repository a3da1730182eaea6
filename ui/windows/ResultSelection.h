#pragma once
// The rules of the results window's search and tick handling that need no
// window: the normalisation of a typed search text, when a text starts a
// search, the tri-state of a list of found files, select-all, the strip's
// load range and the free-space check before a recovery.
#include "services/TreeItems.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>

namespace salvor::windows {

// The key searched for a typed text: a run of "Â  " (the way some keyboards
// type a non-breaking space) becomes one space, then one space is dropped at
// each end. Everything else stays.
QString GetSearchText(const QString& text);

// The key to search for when the field holds fieldText and the facade's key
// is currentKey; none when the request starts nothing (one or two spaces, or
// the key already searched, so clearing an empty field does nothing).
std::optional<QString> searchRequest(const QString& fieldText, const QString& currentKey);

// 0 when sum is 0, 2 when every counted file is ticked (sum is 2 x count),
// else 1.
int tickStateOf(std::uint64_t sum, std::uint64_t count);

// The tri-state of a list of found files; folders do not count, child items
// count with their own state.
int listTickState(const OpNodeList& entries);

// The tri-state of a tree item: a group root counts its children (file
// entries that are no folders and child items); any other item, and no item,
// the files of its list.
int cellNodeState(const OpNodeData* item, const OpNodeList& files);

// Select-all: a fully ticked list (state 2) is unticked, any other ticked;
// folders are left as they are. Answers the state given.
int setAllTicks(const OpNodeList& files, int currentState);

// The header check box image of a tri-state.
QString checkboxImageForState(int state);

// The entries [first, end) of the preview strip to load around selected: all
// of a strip under 11 items, else 100 before and 100 after the selection.
std::pair<std::int64_t, std::int64_t> stripLoadRange(std::int64_t count, std::int64_t selected);

// The bytes needed for size bytes of files: 105 %, rounded down, without
// overflow (saturating at the largest value).
std::uint64_t spaceNeededFor(std::uint64_t size);
// What an ordinary user may still write under path (statvfs f_bavail x
// f_frsize, saturating); none when the file system cannot be asked.
std::optional<std::uint64_t> freeSpaceForPath(const QString& path);
// The free space the results window asks for: freeSpaceForPath unless a
// test put another answer in its place (none restores it).
using FreeSpaceQuery = std::function<std::optional<std::uint64_t>(const QString&)>;
void setFreeSpaceQuery(FreeSpaceQuery query);
std::optional<std::uint64_t> queryFreeSpace(const QString& path);
// Whether a recovery of size bytes fits: the free space must exceed the need.
bool hasSpaceFor(std::uint64_t freeBytes, std::uint64_t size);

} // namespace salvor::windows
