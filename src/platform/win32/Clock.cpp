#include "platform/Clock.h"

#include <windows.h>

namespace quorvel::platform {

namespace {

LocalTime FromSystemTime(const SYSTEMTIME& st, int millisecond) {
    return LocalTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, millisecond, st.wDayOfWeek, 0};
}

}  // namespace

LocalTime LocalNow() {
    SYSTEMTIME st{};
    GetLocalTime(&st);
    LocalTime t = FromSystemTime(st, st.wMilliseconds);
    // Windows counts the bias as UTC minus local time, and keeps the summer
    // shift apart from the zone's own bias.
    TIME_ZONE_INFORMATION tz{};
    LONG bias = 0;
    switch (GetTimeZoneInformation(&tz)) {
        case TIME_ZONE_ID_DAYLIGHT: bias = tz.Bias + tz.DaylightBias; break;
        case TIME_ZONE_ID_STANDARD: bias = tz.Bias + tz.StandardBias; break;
        case TIME_ZONE_ID_UNKNOWN: bias = tz.Bias; break;
        default: bias = 0; break;
    }
    t.UtcOffsetMinutes = -static_cast<int>(bias);
    return t;
}

namespace {

// FILETIME counts 100 ns steps since 1601-01-01 UTC.
constexpr long long kFileTimeUnixEpoch = 116444736000000000LL;
constexpr long long kFileTimeTicksPerMs = 10000;

long long MinutesOf(const SYSTEMTIME& st) {
    FILETIME ft{};
    if (!SystemTimeToFileTime(&st, &ft)) return 0;
    const long long ticks = static_cast<long long>((static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
    return ticks / (kFileTimeTicksPerMs * 1000 * 60);
}

}  // namespace

WallTime WallNow() {
    FILETIME ft{};
    GetSystemTimeAsFileTime(&ft);
    const long long ticks =
        static_cast<long long>((static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) -
        kFileTimeUnixEpoch;
    const long long ms = ticks / kFileTimeTicksPerMs;
    return WallTime{ms / 1000, static_cast<int>(ms % 1000)};
}

LocalTime ToLocalTime(const WallTime& at) {
    const unsigned long long ticks =
        static_cast<unsigned long long>(at.Seconds * 1000 * kFileTimeTicksPerMs + kFileTimeUnixEpoch);
    FILETIME ft{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME utc{};
    SYSTEMTIME st{};
    if (!FileTimeToSystemTime(&ft, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &st)) return LocalNow();
    LocalTime t = FromSystemTime(st, at.Millisecond);
    t.UtcOffsetMinutes = static_cast<int>(MinutesOf(st) - MinutesOf(utc));
    return t;
}

void SleepMilliseconds(int ms) {
    if (ms <= 0) return;
    Sleep(static_cast<DWORD>(ms));
}

}  // namespace quorvel::platform
