#include "tests/savedscan/FileHelpers.h"

#include <filesystem>
#include <fstream>
#include <iterator>

std::vector<std::uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

int FindOpenDescriptor(const std::string& path) {
    const std::string want = std::filesystem::canonical(path).string();
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const auto target = std::filesystem::read_symlink(entry.path(), ec);
        if (!ec && target.string() == want)
            return std::stoi(entry.path().filename().string());
    }
    return -1;
}
