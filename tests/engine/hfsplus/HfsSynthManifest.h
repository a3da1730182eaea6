#pragma once
// The synthetic volumes' manifests, written by their generator: one line per
// file, "sha256<TAB>L or D<TAB>path<TAB>id".
#include "tests/support/fs_Scan.h"

#include <sstream>
#include <string>
#include <vector>

namespace hfstest {

struct ManifestLine {
    std::string sha;
    bool deleted;
    std::string path;
    long long id;
};
inline std::vector<ManifestLine> SynthManifest(const std::string& name) {
    std::vector<ManifestLine> out;
    std::istringstream in(salvor::test::ReadText(salvor::test::FixtureFile("hfs_synth", name + ".manifest.txt")));
    for (std::string sha, state, path, id; std::getline(in, sha, '\t') && std::getline(in, state, '\t') &&
                                          std::getline(in, path, '\t') && std::getline(in, id);)
        out.push_back({sha, state == "D", path, std::stoll(id)});
    return out;
}
// The id of the first line naming path; -1 without one.
inline long long IdOf(const std::string& name, const std::string& path) {
    for (const ManifestLine& m : SynthManifest(name))
        if (m.path == path) return m.id;
    return -1;
}

} // namespace hfstest
