#pragma once
// Local clock and plain sleeping. Safe from any thread.

namespace quorvel::platform {

// One reading of the local wall clock, broken down. Local time follows the
// machine's time zone (TZ on POSIX).
struct LocalTime {
    int Year = 0;
    int Month = 1;        // 1..12
    int Day = 1;          // 1..31
    int Hour = 0;
    int Minute = 0;
    int Second = 0;
    int Millisecond = 0;
    int DayOfWeek = 0;    // 0 = Sunday
    int UtcOffsetMinutes = 0;  // local time minus UTC, east positive
};

LocalTime LocalNow();

// A cheap reading of the wall clock, for callers that break it down only when
// the second changes: seconds since 1970-01-01 UTC and the millisecond.
struct WallTime {
    long long Seconds = 0;
    int Millisecond = 0;
};

WallTime WallNow();
// The local time of a reading; LocalNow() is ToLocalTime(WallNow()).
LocalTime ToLocalTime(const WallTime& at);

void SleepMilliseconds(int ms);

}  // namespace quorvel::platform
