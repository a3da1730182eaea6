#include "engine/utility/TimeUtils.h"

#include <sys/time.h>

#include <ctime>

namespace {

void FillFromTm(const std::tm& t, _SYSTEMTIME* out) {
    out->wYear = static_cast<std::uint16_t>(t.tm_year + 1900);
    out->wMonth = static_cast<std::uint16_t>(t.tm_mon + 1);
    out->wDayOfWeek = static_cast<std::uint16_t>(t.tm_wday);
    out->wDay = static_cast<std::uint16_t>(t.tm_mday);
    out->wHour = static_cast<std::uint16_t>(t.tm_hour);
    out->wMinute = static_cast<std::uint16_t>(t.tm_min);
    out->wSecond = static_cast<std::uint16_t>(t.tm_sec);
}

} // namespace

std::uint32_t GetLocalTime(_SYSTEMTIME* out) {
    if (!out)
        return 0xFFFFFFFFu;
    timeval tv{};
    gettimeofday(&tv, nullptr);
    std::tm t{};
    time_t secs = tv.tv_sec;
    localtime_r(&secs, &t);
    FillFromTm(t, out);
    // Milliseconds of the current second (not the microseconds modulo 1000).
    out->wMilliseconds = static_cast<std::uint16_t>(tv.tv_usec / 1000);
    return 0;
}

std::uint32_t ConverTime(long seconds, _SYSTEMTIME* out) {
    if (seconds < 0 || !out)
        return 0;
    std::tm t{};
    time_t secs = static_cast<time_t>(seconds);
    if (!localtime_r(&secs, &t))
        return 0;
    FillFromTm(t, out);
    out->wMilliseconds = 0;
    return 0;
}

std::uint32_t GetTickCount() {
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(std::time(nullptr)) * 1000u);
}
