#pragma once
// Text and search helpers shared by the analysers.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

// Trailing blanks removed, then each of 0x01 \ / : ? " < > | * CR LF turned into "_".
std::string ApiStrFilterBadFileName(const std::string& text);
// True when the text holds anything but a-z A-Z 0-9, blank and , - . @ _.
bool ApiIsInvalidCharInFileName(const std::string& text);
// First occurrence of needle in haystack, or null (also for empty or oversized needles).
const unsigned char* Apimemstr(const unsigned char* haystack, long long haystackLength, const unsigned char* needle,
                               long long needleLength);
// At each position from the start, the first pattern (in the set's order) that
// fits and matches; its length goes to matchedLength. Null when none does.
const unsigned char* Apimemstr(const unsigned char* haystack, long long length,
                               const std::map<std::string, int>& patterns, int& matchedLength);

namespace BruteForce {

class RawUtility {
public:
    static std::uint32_t EXIF_Get32s(const unsigned char* p, bool littleEndian);
    static std::uint16_t EXIF_Get16s(const unsigned char* p, bool littleEndian);
    // Searches backwards from position length - back for magic (a position
    // holding 0 never matches); the position just past the match, else 0.
    static int FindMagicInBuffer(const unsigned char* buffer, int length, int back, const unsigned char* magic,
                                 int magicLength);
    // 0 for all-zero bytes, else the end of the data before the zero tail,
    // found by bisection (rounded up to even for the power-of-two lengths in use).
    static int Binary_Compare(const unsigned char* buffer, int length);
};

} // namespace BruteForce
