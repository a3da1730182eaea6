#include "engine/fat/IniFile.h"

#include <memory>

namespace {
struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;
} // namespace

int CIniFile::Init(const char* path) {
    m_path = path ? path : "";
    return LoadFile();
}

int CIniFile::Init(const std::string& path) {
    m_path = path;
    return LoadFile();
}

int CIniFile::Init() { return LoadFile(); }

int CIniFile::ReadLine(std::FILE* file, std::string& line) {
    line.clear();
    char buffer[1024];
    bool any = false;
    while (std::fgets(buffer, sizeof buffer, file)) {
        any = true;
        line += buffer;
        if (!line.empty() && line.back() == '\n') {
            line.pop_back();
            return 0;
        }
    }
    return any ? 0 : -1;
}

int CIniFile::TrimString(std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        text.clear();
        return -1;
    }
    const auto last = text.find_last_not_of(" \t");
    text = text.substr(first, last - first + 1);
    return 0;
}

int CIniFile::LoadFile() {
    FilePtr file(std::fopen(m_path.c_str(), "r"));
    if (!file) return -1;
    std::string line;
    std::string section;
    bool inSection = false;
    while (ReadLine(file.get(), line) == 0) {
        const auto open = line.find('[');
        if (open != std::string::npos) {
            const auto close = line.find(']');
            if (close == std::string::npos) return -1;
            section = close > open ? line.substr(open + 1, close - open - 1) : std::string();
            // An empty name opens no section: items after it are refused.
            inSection = !section.empty();
            if (inSection) m_sections[section];
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        if (!inSection) return -1;
        m_sections[section][line.substr(0, eq)] = line.substr(eq + 1);
    }
    return 0;
}

int CIniFile::ReadItem(const std::string& section, const std::string& key, std::string& value) {
    auto s = m_sections.find(section);
    if (s == m_sections.end()) return -1;
    const std::string& v = s->second[key];
    if (v.empty()) return -1;
    value = v;
    return 0;
}

int CIniFile::WriteItem(const std::string& section, const std::string& key, const std::string& value) {
    auto& items = m_sections[section];
    auto it = items.find(key);
    if (it == items.end()) return -1;
    it->second = value;
    return WriteFile();
}

void CIniFile::Write(std::FILE* out) const {
    for (const auto& [name, items] : m_sections) {
        std::fprintf(out, "[%s]\n", name.c_str());
        for (const auto& [key, value] : items) std::fprintf(out, "%s=%s\n", key.c_str(), value.c_str());
        std::fputs("\n", out);
    }
}

int CIniFile::WriteFile() {
    FilePtr file(std::fopen(m_path.c_str(), "w"));
    if (!file) return -1;
    Write(file.get());
    return std::ferror(file.get()) ? -1 : 0;
}

void CIniFile::Dump() const { Write(stdout); }
