#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>

namespace salvor::test {

int RunCommand(const std::string& command, std::string* output) {
    std::string cmd = command + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    std::array<char, 4096> buf{};
    std::string out;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
    int status = pclose(p);
    if (output) *output = out;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string TestData() {
    if (const char* env = std::getenv("SALVOR_TEST_DATA")) return env;
    return SALVOR_TEST_DATA_DIR;
}

std::string Fixture(const std::string& name) {
    const std::string root = SALVOR_FIXTURE_OUT;
    std::string out;
    std::string cmd = std::string("SALVOR_TEST_DATA='") + TestData() + "' '" SALVOR_SOURCE_DIR
                      "/tests/fixtures/make-fixture' '" + name + "' '" + root + "'";
    int rc = RunCommand(cmd, &out);
    if (rc != 0) {
        ADD_FAILURE() << "fixture '" << name << "' could not be made (exit " << rc << "):\n" << out;
        return {};
    }
    return root + "/" + name;
}

std::string FixtureFile(const std::string& name, const std::string& file) {
    std::string dir = Fixture(name);
    return dir.empty() ? std::string() : dir + "/" + file;
}

std::string Sha256File(const std::string& path) {
    std::string out;
    if (RunCommand("sha256sum '" + path + "'", &out) != 0 || out.size() < 64) return {};
    return out.substr(0, 64);
}

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "salvor-test-XXXXXX").string();
    if (char* p = mkdtemp(tmpl.data())) path_ = p;
}

TempDir::~TempDir() {
    if (!path_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
}

} // namespace salvor::test
