#pragma once
// Where each file of a recovery is written: a numbered folder per searcher
// type under the destination ("Fat_0001", …), the file's found path below it
// with every name made safe, and a numbered name ("photo_0001.jpg") when the
// name is taken. The file is created empty, exclusively, so that no two
// files of a recovery and no earlier file share a name.

// The path of the file to write (malloc'd UTF-8, the caller frees it), or
// null: no node or folder, a hidden node, no file-system root (a looped
// parent chain), a directory node (its folder is made), a folder that cannot
// be made. folder ends in "/".
char* CreateRecoveryFilePathByNode(void* node, const char* folder);

#include <string>

// name with "_" and count as four digits before its extension ("a.tar.gz" →
// "a.tar_0001.gz", "README" → "README_0001"), cut to 255 bytes at a
// character boundary before the count.
std::string NumberedRecoveryName(const std::string& name, unsigned count);
