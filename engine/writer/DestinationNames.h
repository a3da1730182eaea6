#pragma once
// Where each file of a recovery is written; the program and the probe both
// name files here, so a check of one checks the other. Under the destination
// one folder per file-system kind, its kind text and the first free
// four-digit number ("Fat_0001", "HFS+_0002", "0001" for a kind without a
// text), made once per kind and recovery; below it the node's found path from
// its volume's name down, every name made safe; a name already taken gets "_"
// and a four-digit count before its extension. A name the destination
// refuses (exFAT, FAT or Windows names cannot hold '?', ':', '*', '"', '|',
// '<', '>', the backslash) has those characters mapped to "_" as "/" is,
// and where that is refused too its trailing dots and spaces and a device
// name as its stem; names the destination takes stay as they are. A name
// made so (or numbered) never takes a name a sibling has as found, whichever
// is written first, and a folder so named never merges with another. Two
// volumes of one kind with the same name (twin labels, "New Volume", volumes
// a deep scan lists under one root, names that differ only in what a folder
// name cannot hold: "A/B" and "A_B", or "Data" and "DATA" on a destination
// that ignores case) never share a folder: the first on the disk keeps its name, the others get their
// positions added ("PONE (sector 206848)"), the name shortened to make room.
// Folders are entered without following links and files are created
// exclusively, so a found name never leaves the destination and no file
// replaces another.
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

class IFileNode;

// One recovery's names under one destination folder: the folder number of
// each kind (none yet: missing or below 1) and the folders made or found so
// far, so that each is made once. A recovery starts with an empty one.
struct RecoveryDestination {
    std::string folder;             // ends in "/"
    std::map<int, int> kindNumbers; // searcher type → kind folder number
    std::unordered_set<std::string> foldersMade;
    // The name each folder below a volume's took on the destination, by its
    // found path, and the destination paths (as the destination compares
    // names) of those that took another name than their own: a found name
    // never merges into one of them.
    std::unordered_map<std::string, std::string> folderNames;
    std::unordered_set<std::string> otherNamedFolders;
    // The names a folder node's children have as found (as the destination
    // compares names), for the folders asked so far, and how many they are.
    std::unordered_map<IFileNode*, std::unordered_set<std::string>> foundNames;
    std::size_t foundNameCount = 0;
    // The sector of the disk where a root's volume starts, −1 when unknown;
    // asked when a volume is noted and when a root's folder name is held by
    // another root.
    std::function<long long(IFileNode* root)> rootPosition;
    // The sector where a node's own volume starts, −1 when unknown; asked
    // when a volume is noted and when another volume under the node's root
    // holds the root's name (a deep scan's tree of one kind holds every
    // volume of that kind).
    std::function<long long(IFileNode* node)> volumePosition;
    // The volume folder of each volume met (its root, and its partition
    // where one root holds several), and which volume holds each name (by
    // its name as the destination compares names).
    using Volume = std::pair<IFileNode*, int>;
    std::map<Volume, std::string> rootFolders;
    std::map<std::pair<int, std::string>, Volume> folderRoots;
    // Whether the destination takes names that differ only in ASCII case for
    // one (FAT, exFAT, most NTFS mounts); probed once it has a kind folder.
    int foldsCase = -1; // −1 not probed yet
    // The volumes of the files to come, noted before the first is written:
    // of twins, the one that starts first on the disk keeps the plain name
    // whatever the order of the files.
    struct NotedVolume {
        int type;
        std::string name;              // its safe folder name
        bool asFound;                  // the name is the label as found
        long long rootStart, ownStart; // rootPosition, volumePosition
    };
    std::map<Volume, NotedVolume> noted;
};

// The kind text of a searcher type's folder: "HFS+_", "Fat_", "ExFat_",
// "RAW_", "" for the others.
const char* RecoveryKindText(int searcherType);

// name with "_" and count as four digits before its extension ("a.tar.gz" →
// "a.tar_0001.gz", "README" → "README_0001", ".profile" → ".profile_0001"),
// cut to 255 bytes at a character boundary before the count.
std::string NumberedRecoveryName(const std::string& name, unsigned count);

// A file reserved for a recovered node: created empty under its name in an
// open folder (closed with this object), and its whole path.
class CRecoveryFile {
public:
    CRecoveryFile() = default;
    ~CRecoveryFile();
    CRecoveryFile(const CRecoveryFile&) = delete;
    CRecoveryFile& operator=(const CRecoveryFile&) = delete;

    const std::string& Path() const { return m_path; }
    int Folder() const { return m_folder; }
    const std::string& Name() const { return m_name; }

private:
    friend bool CreateRecoveryFile(IFileNode*, RecoveryDestination&, CRecoveryFile&);
    std::string m_path, m_name;
    int m_folder = -1;
};

// Notes the volume of node (a file to be written by this recovery), so that
// twin volumes are named by where they lie, not by which is written first.
void NoteRecoveryVolume(IFileNode* node, RecoveryDestination& destination);

// Makes the folders down to node's under destination and creates node's file
// empty under the first free name; false (errno set where a call failed) for
// no node, a hidden node, a chain without a file-system root or longer than
// 1025 nodes (a loop), a folder that cannot be made or entered, and for a
// directory node, whose own folder is made.
bool CreateRecoveryFile(IFileNode* node, RecoveryDestination& destination, CRecoveryFile& file);
