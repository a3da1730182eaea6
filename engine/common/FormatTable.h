#pragma once
// Carved-format numbers and their extension texts, and the UTF-8 helpers the
// metadata readers use.
#include <cstddef>

// Row n is the extension text of format n, NUL-padded. Rows 147-1999 are empty.
inline constexpr unsigned kFormatTableRows = 2000;
inline constexpr unsigned kFormatCount = 147;
extern const char g_s_strFileExtName[kFormatTableRows][9];

// The extension text of a format ("" for a number past the table).
const char* FormatExtension(unsigned type);

// UTF-8 to UTF-16 units in a wchar_t array (a supplementary character becomes
// a surrogate pair). Answers the units written; 0 for empty or bad input.
long UTF8ToUNICODE(const unsigned char* src, long srcLen, wchar_t* dst, long dstLen);

// UTF-8 to the system's multibyte text. On Linux that text is UTF-8: the input
// is validated through UTF8ToUNICODE and written back whole characters only,
// NUL-terminated when room is left. Answers the bytes written, 0 on failure.
unsigned long UTF8ToANSI(const unsigned char* src, unsigned long srcLen, char* dst, unsigned long dstLen);
