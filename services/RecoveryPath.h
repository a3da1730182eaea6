#pragma once
// Where each file of a recovery is written: the destination namer of the
// engine's writer (engine/writer/DestinationNames.h), answered as the path
// the recovery hands to a file writer.
#include "engine/writer/DestinationNames.h"

// The path of node's file, created empty under destination (malloc'd UTF-8,
// the caller frees it), or null: no node, a hidden node, no file-system root
// (a looped parent chain), a directory node (its folder is made), a folder
// that cannot be made.
char* CreateRecoveryFilePathByNode(void* node, RecoveryDestination& destination);

// The same with the recovery operation's destination names, folder ending in
// "/" (VXUIRecovery keeps them for one recovery).
char* CreateRecoveryFilePathByNode(void* node, const char* folder);
