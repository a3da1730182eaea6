#pragma once
// --recover: every found file written through the engine's file writer.
#include <string>
#include <vector>

class IFileNode;
class IRecoveryController;

struct RecoverCounts {
    unsigned long long written = 0, failed = 0;
};

RecoverCounts RecoverFiles(IRecoveryController& controller, const std::vector<IFileNode*>& nodes,
                           const std::string& destination);
