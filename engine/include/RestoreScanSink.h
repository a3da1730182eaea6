#pragma once
// The replay source of a loaded scan result. The application hands one to a
// recovery controller before the scan starts; the controller then replays
// the saved trees into its tree builder instead of searching the device, and
// takes the saved partition records from it for the file writers. The
// saved-scan code implements it.
#include "engine/include/SearchedPartitionInfo.h"

#include <vector>

class IDirecotryTreeBuilder;
class IProgress;
class IStorageDevice;

class RestoreScanSink {
public:
    virtual ~RestoreScanSink() = default;
    // Replays every saved tree into the builder (AddSearcherInfo, AddNode per
    // node, FlashBuild per tree), reporting through sink. The controllers do
    // not use the answer.
    virtual int SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder, IProgress* sink, IStorageDevice* device) = 0;
    // The restored partition records of a searcher type, an empty list for a
    // type without any. The records stay the sink's; callers copy them.
    virtual std::vector<CSearchedPartitionInfo*>& GetSearchedPartition(int searcherType) = 0;
};
