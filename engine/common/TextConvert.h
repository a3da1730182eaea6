#pragma once
// Text conversion of names read from disk, and making them safe as file names.
#include <cstddef>
#include <cstdint>
#include <string>

// UTF-16LE bytes (a whole name, so surrogate pairs survive) to UTF-8. The text
// ends at the first NUL unit. An unpaired surrogate or other bad unit becomes
// U+FFFD rather than losing the rest of the name.
std::string Utf16LeToUtf8(const std::uint8_t* data, size_t bytes);
std::string Utf16LeToUtf8(const std::u16string& units);

// Text in a named character set (iconv names: "LATIN1", "GBK", "UTF-16BE", …)
// to UTF-8; bytes that cannot be converted become U+FFFD. Empty for an unknown set.
std::string CharsetToUtf8(const char* charset, const std::uint8_t* data, size_t bytes);

// Cuts UTF-8 text to at most maxBytes without splitting a character.
std::string TruncateUtf8(const std::string& text, size_t maxBytes);

// A name that stays inside its destination folder and can be created: "/",
// NUL, the control characters 0x01-0x1F and DEL become "_"; "", "." and ".."
// become "_", "_.", "_.."; a name over 255 bytes is cut at a character
// boundary, keeping its extension.
std::string MakeSafeFileName(const std::string& name);

// name with its ASCII letters in lower case: the name a destination that
// ignores case (FAT, exFAT) takes for it, as far as names are told apart here.
std::string AsciiLowerCase(std::string name);

// "name (n).ext" for n >= 2 (the name itself below that), within 255 bytes.
std::string NumberedFileName(const std::string& safeName, unsigned number);
