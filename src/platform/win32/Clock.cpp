#include "platform/Clock.h"

#include <windows.h>

namespace quorvel::platform {

LocalTime LocalNow() {
    SYSTEMTIME st{};
    GetLocalTime(&st);
    LocalTime t;
    t.Year = st.wYear;
    t.Month = st.wMonth;
    t.Day = st.wDay;
    t.Hour = st.wHour;
    t.Minute = st.wMinute;
    t.Second = st.wSecond;
    t.Millisecond = st.wMilliseconds;
    t.DayOfWeek = st.wDayOfWeek;
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

void SleepMilliseconds(int ms) {
    if (ms <= 0) return;
    Sleep(static_cast<DWORD>(ms));
}

}  // namespace quorvel::platform
