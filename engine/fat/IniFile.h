#pragma once
// A small reader and writer of INI-style files: [section] lines and key=value
// items, kept in memory in name order. Keys and values are taken exactly as
// written (nothing is trimmed); letter case matters.
#include <cstdio>
#include <map>
#include <string>

class CIniFile {
public:
    CIniFile() = default;
    explicit CIniFile(const char* path) : m_path(path ? path : "") {}
    explicit CIniFile(const std::string& path) : m_path(path) {}

    // Replace the path (where given) and load; 0 on success, -1 on failure.
    int Init(const char* path);
    int Init(const std::string& path);
    int Init();
    int LoadFile();

    // 0 and the value when the section holds the key with a non-empty value,
    // else -1. Asking for a key the section lacks adds it with an empty value.
    int ReadItem(const std::string& section, const std::string& key, std::string& value);
    // Replaces an existing key's value and rewrites the file; -1 when the key is
    // not there (an absent section is added empty).
    int WriteItem(const std::string& section, const std::string& key, const std::string& value);
    int WriteFile();
    void Dump() const;

    // One line without its line feed (a carriage return before it stays); -1 at
    // end of file. A last line without a line feed is kept whole.
    static int ReadLine(std::FILE* file, std::string& line);
    // Cuts blanks and tabs from both ends; -1 when the text is or becomes empty.
    static int TrimString(std::string& text);

    const std::string& Path() const { return m_path; }

private:
    void Write(std::FILE* out) const;

    std::string m_path;
    std::map<std::string, std::map<std::string, std::string>> m_sections;
};
