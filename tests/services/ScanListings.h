#pragma once
// The files of a scan as the facade's path view lists them, and the same
// files as The Sleuth Kit's listings of a fixture name them, in one form.
#include "services/UIController.h"

#include <cctype>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace salvor::test {

inline std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// One found file as both sides can name it: path below the root without
// regard to ASCII case (8.3 names are read without the NT lower-case flag),
// the erased first byte of a deleted name (TSK "_") left out, size (-1 when
// not compared), deleted flag.
using FileKey = std::tuple<std::string, long long, bool>;
inline FileKey Key(std::string path, long long size, bool deleted) {
    path = Lower(path);
    if (deleted) path[path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1] = '_';
    return {path, size, deleted};
}

// The files of the path view's file lists, per root name.
inline std::map<std::string, std::set<FileKey>> PathViewFiles(const OpNodeList& roots, bool sizes = false) {
    std::map<std::string, std::set<FileKey>> out;
    std::vector<OpNodeRef> items;
    for (const OpNodeEntry& e : roots) items.push_back(e.item());
    for (std::size_t i = 0; i < items.size(); ++i) {
        OpNodeList files;
        VXUIController::shared().GetFileNodeToArray(files, items[i]);
        for (const OpNodeEntry& f : files) {
            IFileNode* n = f.file();
            std::string path = n->GetFileName();
            for (n = n->GetParent(); n && n->GetParent(); n = n->GetParent()) path = n->GetFileName() + ("/" + path);
            out[n->GetFileName()].insert(Key(path, sizes ? f.file()->GetFileSize() : -1, f.file()->IsDeleted()));
        }
        if (items[i]->children())
            for (const OpNodeEntry& c : *items[i]->children()) items.push_back(c.item());
    }
    return out;
}

// The regular files of a listing: fls -r -p lines ("r/r [*] inode:<TAB>path"),
// or the fixtures' istat manifests ("r/r inode L|D size …<TAB>path", sizes).
inline std::set<FileKey> FlsFiles(const std::string& file, bool sizes = false) {
    std::set<FileKey> out;
    std::ifstream in(file);
    std::string head, path;
    while (std::getline(in, head, '\t') && std::getline(in, path)) {
        if (head.rfind("r/r", 0) != 0 || path.find('$') != std::string::npos || path.find("(Volume Label") != std::string::npos)
            continue;
        std::istringstream h(head);
        std::string type, inode, flag;
        long long size = -1;
        if (sizes) h >> type >> inode >> flag >> size;
        out.insert(Key(path, size, head.find('*') != std::string::npos || flag == "D"));
    }
    return out;
}

} // namespace salvor::test
