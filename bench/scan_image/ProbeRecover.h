#pragma once
// --recover: every found file written through the engine's file writer, each
// under its own safe name inside the destination, never onto the scanned data.
#include <string>
#include <vector>

class IFileNode;
class IRecoveryController;

// Why the destination may not be written for scanned (on the scanned volume),
// or "" when it may.
std::string RefuseDestination(const std::string& scanned, const std::string& destination);

struct RecoverCounts {
    unsigned long long written = 0, failed = 0; // failed: damaged files (kept) and files not written
    bool noSpace = false;                       // refused: the files' data does not fit
    bool deviceGone = false;                    // the device stopped answering: the recovery stopped there
};

// Writes every file among nodes under destination (made when missing),
// named as the program's recovery names them (engine/writer/DestinationNames.h),
// in its order: equal names get the same numbered forms, nothing is replaced.
// An end signal received (engine/utility/EndSignals.h) stops it as the
// program's Stop does: the file being written ends whole or is removed, and
// no further file is begun. A device that stops answering stops it too:
// the file it went under is removed, and the files written before stay.
RecoverCounts RecoverFiles(IRecoveryController& controller, const std::vector<IFileNode*>& nodes,
                           const std::string& destination);
