#pragma once
// Win32-style time helpers the engine calls by those names.
#include <cstdint>

struct _SYSTEMTIME {
    std::uint16_t wYear = 0;
    std::uint16_t wMonth = 0;     // 1-12
    std::uint16_t wDayOfWeek = 0; // 0 Sunday
    std::uint16_t wDay = 0;
    std::uint16_t wHour = 0;
    std::uint16_t wMinute = 0;
    std::uint16_t wSecond = 0;
    std::uint16_t wMilliseconds = 0;
};

// Local time of now; 0xFFFFFFFF (nothing written) for a null record, else 0.
std::uint32_t GetLocalTime(_SYSTEMTIME* out);
// Local time of seconds since 1970 with milliseconds 0; a negative time or a
// null record writes nothing. Answers 0.
std::uint32_t ConverTime(long seconds, _SYSTEMTIME* out);
// Whole seconds since 1970 times 1000, as 32 bits.
std::uint32_t GetTickCount();
