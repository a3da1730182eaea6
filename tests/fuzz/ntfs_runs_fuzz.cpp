// Mapping pairs: validity, decoding (which must stay inside the bytes even
// for invalid pairs), cluster lookups, and the compact form's round trip:
// Decompress(Compress(runs)) gives the runs back.
#include "engine/include/Owned.h"
#include "engine/ntfs/NtfsDataRuns.h"

#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const bytes::Bytes pairs(data, size);
    const bool valid = CNTFSDataRunList::IsValid(pairs);
    CNTFSDataRunList decoded;
    CNTFSDataRunList::FormDataRunList(pairs, decoded, 7);
    const long long total = CNTFSDataRunList::GetTotalClusters(pairs);
    if (valid != (total >= 0)) __builtin_trap();
    if (!valid) return 0;
    CNTFSDataRunList list;
    if (!list.InitFromBuffer(pairs) || list.GetTotalClusters() != total) __builtin_trap();
    CNoneResidentNTFSDataRunList runs;
    for (const CDataRun& r : list.Runs()) {
        if (r.length <= 0 || (r.lcn < -1)) __builtin_trap();
        if (r.lcn >= 0 && (list.GetLCN(r.vcn) != r.lcn || !list.IsLCNContained(r.lcn))) __builtin_trap();
        const DataRun run{r.lcn, r.length};
        runs.AddDataRun(&run);
    }
    const auto compact = CCompressedDataRunList::Compress(&runs);
    if (list.IsEmpty() != !compact) __builtin_trap();
    if (!compact) return 0;
    Owned<IDataRunList> back(compact->Decompress());
    if (!back || static_cast<CDataRunList*>(back.get())->Runs().size() != list.Runs().size())
        __builtin_trap();
    std::size_t i = 0;
    for (const DataRun& r : static_cast<CDataRunList*>(back.get())->Runs()) {
        const CDataRun& want = list.Runs()[i++];
        if (r.start != want.lcn || r.length != want.length) __builtin_trap();
    }
    CNTFSDataRunList again;
    if (!again.InitFromBuffer(compact->GetBytes()) || !again.IsEqual(list)) __builtin_trap();
    return 0;
}
