#pragma once
// Names in a destination folder that never replace anything: each found file
// or folder gets a name nobody has used yet, "name", "name (2).ext", …,
// created exclusively so that no file can overwrite another.
#include <string>
#include <unordered_map>

class CDestinationNames {
public:
    // Creates a new folder under parentFd named safeName or its first free
    // numbered form; answers a descriptor of it (the caller closes it) and the
    // name in taken, or -1 with errno set.
    int CreateFolder(int parentFd, const std::string& safeName, std::string& taken);
    // Creates a new empty file the same way, reserving its name; false with errno set.
    bool ReserveFile(int parentFd, const std::string& safeName, std::string& taken);

private:
    // Calls create(name) on safeName and its numbered forms until it does not
    // fail with EEXIST; answers its result.
    template <class Create>
    int FirstFree(int parentFd, const std::string& safeName, std::string& taken, Create create);

    // The next number worth trying per folder and name, so that many equal
    // names cost one attempt each.
    std::unordered_map<std::string, unsigned> m_next;
};
