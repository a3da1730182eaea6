#pragma once
// Fixtures are disk images built by the scripts under tests/fixtures/ with real
// tools, into the build tree, and cached there by the script's hash.
#include <functional>
#include <string>

namespace salvor::test {

// Builds (or reuses) the fixture NAME and answers its folder. On failure the
// current test fails with the script's message (a missing tool names its
// package) and the answer is empty.
std::string Fixture(const std::string& name);

// A file inside a fixture's folder, or "" when the fixture could not be made.
std::string FixtureFile(const std::string& name, const std::string& file);

// Folder of the public sample images kept in the repository (tests/data).
std::string TestData();

// Runs a shell command, answering its exit status and what it printed.
int RunCommand(const std::string& command, std::string* output = nullptr);

// A whole file's bytes, "" when it cannot be read.
std::string ReadWholeFile(const std::string& path);

// The sha256 of a file as lower-case hex, or "" when it cannot be read.
std::string Sha256File(const std::string& path);

// Runs body in a child process as user "nobody"; the child's exit status is
// body's answer, 100 when it could not become nobody, -1 when it did not end normally.
int ExitStatusAsNobody(const std::function<int()>& body);

// A fresh temporary folder, removed by the returned object's destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

} // namespace salvor::test
