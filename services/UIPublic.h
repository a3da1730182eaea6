#pragma once
// Posting to the main thread, and the small formatting functions the tree
// items and the recovery paths use.
#include "engine/include/EngineTypes.h"

#include <QString>

#include <functional>
#include <string>

class IFileNode;

class VXUIPublic {
public:
    // Posts a notification named key through the default notification centre
    // on a later pass of the main thread's loop, never inside this call and
    // without waiting. Answers false when there is no application object.
    static bool NotifyMainThread(const std::string& key);

    // Runs task on a thread of its own, then posts key as NotifyMainThread
    // does. The post follows the task also when the task throws. Answers false
    // when no thread could be started (nothing runs or is posted then).
    static bool NotifyMainThreadByPostKey(const std::string& key, std::function<void()> task);

    // Seconds since 1970 of a file time (100-ns units since 1601).
    static long long convertWindowsTimeToUnixTime(_FILETIME time);
    // The local date (long form) and time (short form) in the user's locale.
    static QString FormatFileTimeToString(_FILETIME time);
    // The prefix of a searcher type's destination folder: 31 "HFS+_", 32
    // "Fat_", 33 "ExFat_", 34 "RAW_", "" for any other.
    static QString GetFileSystemStrByType(int searcherType);
    // "/" and a name for every node below the file-system root, led by "/"
    // and the root's volume name; "" for a null node or a parent chain that
    // does not end (a loop or more than kMaxNodeDepth levels).
    static QString GetPathByFileNode(IFileNode* node);

    // The name search's tests. A null or empty key matches everything; text
    // matches when it holds the key, ignoring case (both UTF-8).
    static bool IsStringInString(const char* key, const char* text);
    // A file: its name; a folder: any file or folder below it, walked with a
    // loop guard (a folder already on the walk is not entered again).
    static bool IsStringInFileNode(const char* key, IFileNode* node);
};
