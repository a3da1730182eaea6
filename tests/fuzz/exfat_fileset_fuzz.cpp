// The exFAT deep search's fragment analyser: the input as consecutive
// sectors, each analysed with the two after it (zeros past the end) as the
// deep searcher does, then every finished fragment checked and linked.
//
// Input: one byte of geometry (sector shift 9-12 in bits 0-1; bit 2 starts
// the walk at a sector further on, as a later block would), then the sectors
// (their entry sets resealed when the input's size is odd).
#include "engine/exfat/ExfatFileSet.h"
#include "tests/fuzz/FuzzScan.h"

using namespace exfat;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const unsigned shift = 9 + (data[0] & 3);
    const std::size_t ss = std::size_t{1} << shift;
    const std::int64_t origin = (data[0] & 4) ? 1000 : 0;
    const std::size_t sectors = (size - 1 + ss - 1) / ss;
    std::vector<std::uint8_t> disk((sectors + 2) * ss, 0);
    std::copy(data + 1, data + size, disk.begin());
    if (size % 2) salvor::fuzz::ResealExfatSets(disk);

    CFDTPreAnaylze analyser;
    analyser.PrepareAnayze(shift, 25, origin + sectors + 64);
    std::vector<std::unique_ptr<CFileSet>> done;
    auto collect = [&] {
        std::unique_ptr<CFileSet> f;
        while (analyser.GetFileSet(f)) done.push_back(std::move(f));
    };
    for (std::size_t i = 0; i < sectors; ++i) {
        const Bytes bytes(disk.data() + i * ss, 3 * ss);
        if (analyser.Analyze(origin + static_cast<std::int64_t>(i), bytes)) collect();
    }
    collect();

    std::int64_t lastEnd = origin;
    for (const auto& f : done) {
        // Fragments come in device order, never overlap and lie on the input.
        if (f->sectorCount == 0 || f->firstSector < lastEnd ||
            f->End() > origin + static_cast<std::int64_t>(sectors))
            __builtin_trap();
        lastEnd = f->End();
        if (f->lowBound == 0) __builtin_trap();
        for (const auto* list : {&f->inUse, &f->deleted})
            for (const _tagFileBaseInfo& r : *list)
                if (r.name.empty() || r.name.size() > kMaxNameBytes) __builtin_trap();
        for (std::size_t k = 1; k < f->subFolders.size(); ++k)
            if (f->subFolders[k - 1] > f->subFolders[k]) __builtin_trap();
        analyser.GetNext(f->firstSector);
        analyser.GetLast(f->firstSector);
    }
    if (analyser.SavedHeads() > CFDTPreAnaylze::kMaxSaved || analyser.SavedTails() > CFDTPreAnaylze::kMaxSaved)
        __builtin_trap();
    for (std::size_t k = 0; k + 1 < done.size(); ++k) done[k]->Link(done[k + 1].get());
    analyser.FinisAnayze();
    return 0;
}
