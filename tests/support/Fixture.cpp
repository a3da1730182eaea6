#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace salvor::test {

int RunCommand(const std::string& command, std::string* output) {
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (!p) return -1;
    std::string out;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    const int status = pclose(p);
    if (output) *output = out;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string TestData() {
    const char* env = std::getenv("SALVOR_TEST_DATA");
    return env ? env : SALVOR_TEST_DATA_DIR;
}

std::string Fixture(const std::string& name) {
    const std::string root = SALVOR_FIXTURE_OUT;
    std::string out;
    const int rc = RunCommand("SALVOR_TEST_DATA='" + TestData() + "' '" SALVOR_SOURCE_DIR
                              "/tests/fixtures/make-fixture' '" + name + "' '" + root + "'", &out);
    if (rc == 0) return root + "/" + name;
    ADD_FAILURE() << "fixture '" << name << "' could not be made (exit " << rc << "):\n" << out;
    return {};
}

std::string FixtureFile(const std::string& name, const std::string& file) {
    const std::string dir = Fixture(name);
    return dir.empty() ? std::string() : dir + "/" + file;
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string Sha256File(const std::string& path) {
    std::string out;
    return RunCommand("sha256sum '" + path + "'", &out) == 0 && out.size() >= 64 ? out.substr(0, 64) : std::string();
}

int ExitStatusAsNobody(const std::function<int()>& body) {
    const passwd* nobody = getpwnam("nobody");
    const uid_t uid = nobody ? nobody->pw_uid : 65534;
    const gid_t gid = nobody ? nobody->pw_gid : 65534;
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(100);
        _exit(body());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "salvor-test-XXXXXX").string();
    if (mkdtemp(tmpl.data())) path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

} // namespace salvor::test
