#pragma once
// Where each file of a recovery is written; the program and the probe both
// name files here, so a check of one checks the other. Under the destination
// one folder per file-system kind, its kind text and the first free
// four-digit number ("Fat_0001", "HFS+_0002", "0001" for a kind without a
// text), made once per kind and recovery; below it the node's found path from
// its volume's name down, every name made safe; a name already taken gets "_"
// and a four-digit count before its extension. Two volumes of one kind with
// the same name (twin labels, "New Volume", or volumes a deep scan lists
// under one root) never share a folder: the first keeps its name, a later one
// gets its position added ("PONE (sector 206848)"). Folders are entered
// without following links and files are created exclusively, so a found name
// never leaves the destination and no file replaces another.
#include <functional>
#include <map>
#include <string>
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
    // The sector of the disk where a root's volume starts, −1 when unknown;
    // asked only when a root's folder name is held by another root.
    std::function<long long(IFileNode* root)> rootPosition;
    // The sector where a node's own volume starts, −1 when unknown; asked
    // only when another volume under the node's root holds the root's name
    // (a deep scan's tree of one kind holds every volume of that kind).
    std::function<long long(IFileNode* node)> volumePosition;
    // The volume folder of each volume met (its root, and its partition
    // where one root holds several), and which volume holds each name.
    using Volume = std::pair<IFileNode*, int>;
    std::map<Volume, std::string> rootFolders;
    std::map<std::pair<int, std::string>, Volume> folderRoots;
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

// Makes the folders down to node's under destination and creates node's file
// empty under the first free name; false (errno set where a call failed) for
// no node, a hidden node, a chain without a file-system root or longer than
// 1025 nodes (a loop), a folder that cannot be made or entered, and for a
// directory node, whose own folder is made.
bool CreateRecoveryFile(IFileNode* node, RecoveryDestination& destination, CRecoveryFile& file);
