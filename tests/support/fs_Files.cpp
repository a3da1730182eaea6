// The file helpers of fs_Scan.h (apart, so that tests without scans need no controller).
#include "tests/support/fs_Scan.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace salvor::test {

std::string ReadText(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::map<std::string, std::string> Sha256Manifest(const std::string& file) {
    std::map<std::string, std::string> out;
    std::istringstream in(ReadText(file));
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() < 66) continue;
        const auto from = line.find_first_not_of(" \t/", 64);
        if (from != std::string::npos) out[line.substr(from)] = line.substr(0, 64);
    }
    return out;
}

std::vector<std::uint8_t> ReadBytes(const std::string& file, std::uint64_t offset, std::size_t n) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::uint8_t> out(n);
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(n));
    out.resize(static_cast<std::size_t>(in.gcount()));
    return out;
}

bool WriteBytes(const std::string& file, std::uint64_t offset, const std::vector<std::uint8_t>& bytes) {
    std::fstream f(file, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

std::string CopyOf(const std::string& file, const TempDir& dir, const std::string& name) {
    const std::string copy = dir.file(name);
    std::error_code ec;
    std::filesystem::copy_file(file, copy, std::filesystem::copy_options::overwrite_existing, ec);
    EXPECT_FALSE(ec) << "cannot copy " << file << ": " << ec.message();
    return copy;
}

std::string DfirImage(const std::string& gzName, const std::string& dir) {
    const std::string src = TestData() + "/dfir_ntfs/" + gzName;
    const bool tgz = gzName.ends_with(".tgz");
    const std::string img = dir + "/" + gzName.substr(0, gzName.size() - 3) + (tgz ? "raw" : "");
    std::string out;
    if (RunCommand(tgz ? "tar -xzf '" + src + "' -C '" + dir + "'" : "gzip -dc '" + src + "' > '" + img + "'",
                   &out) == 0)
        return img;
    ADD_FAILURE() << "cannot decompress " << src << ": " << out;
    return {};
}

ScopedTz::ScopedTz(const char* tz) {
    if (const char* old = std::getenv("TZ")) had_ = true, old_ = old;
    setenv("TZ", tz, 1);
    tzset();
}

ScopedTz::~ScopedTz() {
    if (had_)
        setenv("TZ", old_.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

} // namespace salvor::test
