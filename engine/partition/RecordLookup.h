#pragma once
// The record a device carries, with a distinct result code for each way of
// not finding it: no holder, a holder of another kind, an empty holder.
#include "engine/include/DeviceRecords.h"
#include "engine/include/ResultCode.h"
#include "engine/include/StorageDevice.h"

struct RecordCodes {
    ResultCode noData, wrongKind, noRecord;
};

template <class Data, class Record>
ResultCode LookupRecord(IStorageDevice* device, Record* (Data::*get)(), const RecordCodes& codes, Record*& out) {
    out = nullptr;
    IStorageDeviceData* data = device->GetPrivateData();
    if (!data)
        return codes.noData;
    auto* typed = dynamic_cast<Data*>(data);
    if (!typed)
        return codes.wrongKind;
    out = (typed->*get)();
    return out ? 0 : codes.noRecord;
}
